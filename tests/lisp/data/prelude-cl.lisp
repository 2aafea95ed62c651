(defvar packs nil)
(defvar current-pack nil)
(defvar current-packet nil)
(defvar current-system-header nil)
(defvar current-buffer-info nil)
(defvar packs-tail nil)
(defvar packs-tail-head nil)


;; pack field constants
(defconstant *pack-offset*           0)
(defconstant *pack-scr*              1)
(defconstant *pack-ext*              2)
(defconstant *pack-mux*              3)
(defconstant *pack-stuffing*         4)
(defconstant *pack-packets*          5)
(defconstant *pack-system-headers*   6)
;; packet field constants
(defconstant *packet-stream-id*                0)
(defconstant *packet-stream-name*              1)
(defconstant *packet-length*                   2)
(defconstant *packet-starting-offset*          3)
(defconstant *packet-ends-at*                  4)
(defconstant *packet-header-stuffing-bytes*    5)
(defconstant *packet-pes-scrambling-code*      6)
(defconstant *packet-data-alignment-indicator* 7)
(defconstant *packet-copyright*                8)
(defconstant *packet-original-or-copy*         9)
(defconstant *packet-std-buffer-scale*         10)
(defconstant *packet-std-buffer-size*          11)
(defconstant *packet-pts*                      12)
(defconstant *packet-dts*                      13)
(defconstant *packet-dts-dts-flag*             14)
(defconstant *packet-pes-header-data-length*   15)
(defconstant *packet-es-rate*                  16)
(defconstant *packet-trick-mode*               17)
(defconstant *packet-additional-copy-info*     18)
(defconstant *packet-previous-pes-packet-crc*  19)
(defconstant *packet-extension-data*           20)

;; system header field constants
(defconstant *system-header-starting-offset*          0)
(defconstant *system-header-header-length*            1)
(defconstant *system-header-rate-bound*               2)
(defconstant *system-header-audio-bound*              3)
(defconstant *system-header-fixed-flag*               4)
(defconstant *system-header-csps-flag*                5)
(defconstant *system-header-system-audio-lock-flag*   6)
(defconstant *system-header-system-video-lock-flag*   7)
(defconstant *system-header-video-bound*              8)
(defconstant *system-header-packet-rate-restriction*  9)
(defconstant *system-header-buffer-info*              10)

(defun make-pack (offset scr ext mux stuffing)
   (vector offset scr ext mux stuffing nil nil))

(compile 'make-pack)
(defun make-packet (stream-id stream-name length starting-offset ends-at
                    header-stuffing-bytes pes-scrambling-code data-alignment-indicator
                    copyright original-or-copy std-buffer-scale std-buffer-size 
                    pts dts pts-dts-flag pes-header-data-length es-rate trick-mode additional-copy-info
                    previous-pes-packet-crc extension-data)
   (vector stream-id stream-name length starting-offset ends-at header-stuffing-bytes 
           pes-scrambling-code data-alignment-indicator copyright original-or-copy std-buffer-scale
           std-buffer-size pts dts pts-dts-flag pes-header-data-length es-rate trick-mode
           additional-copy-info previous-pes-packet-crc extension-data))

(compile 'make-packet)
(defun make-buffer-info (stream-id std-buffer-bound-scale std-buffer-size-bound actual-std-size)
   (vector stream-id std-buffer-bound-scale std-buffer-size-bound actual-std-size))

(compile 'make-buffer-info)
(defun make-system-header (starting-offset header-length rate-bound audio-bound fixed-flag
                           csps-flag system-audio-lock-flag system-video-lock-flag video-bound
                           packet-rate-restriction)
   (vector starting-offset header-length rate-bound audio-bound fixed-flag csps-flag
           system-audio-lock-flag system-video-lock-flag video-bound packet-rate-restriction
           nil))

(compile 'make-system-header)
(defun add-buffer-info-to-system-header (sys buf)
   (let ((info (svref sys *system-header-buffer-info* )))
      (if info
          (setf (svref sys *system-header-buffer-info*) (append info (list buf) ))
         (setf (svref sys *system-header-buffer-info*) (list buf) ))) 
   sys)

(compile 'add-buffer-info-to-system-header)
(defun add-packet-to-pack (pack packet)
   (let ((packets (svref pack *pack-packets* )))
      (if  packets
          (setf (svref pack *pack-packets*) (append packets (list packet) ))
         (setf (svref pack *pack-packets*) (list packet))))
   pack)

(compile 'add-packet-to-pack)
(defun add-system-header-to-pack (pack sys)
   (let ((hdr (svref pack *pack-system-headers* )))
      (if  hdr
          (setf (svref pack *pack-system-headers*) (append hdr (list sys)))
         (setf (svref pack *pack-system-headers*) (list sys))))
   pack)

(compile 'add-system-header-to-pack)
(defun add-pack-to-packs (pack)
   (let ((cell (list pack)))
      (if (not (and packs-tail (eq packs-tail-head packs) (null (cdr packs-tail))))
          (setq packs-tail (last packs)))
      (if packs-tail
          (setf (cdr packs-tail) cell)
         (setq packs cell))
      (setq packs-tail cell)
      (setq packs-tail-head packs)
      packs))

(compile 'add-pack-to-packs)
