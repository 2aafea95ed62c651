(defvar packs nil)
(defvar current-pack nil)
(defvar current-packet nil)
(defvar current-system-header nil)
(defvar current-buffer-info nil)
(defvar packs-tail nil)
(defvar packs-tail-head nil)


;; pack field constants
(defconst *pack-offset*           0)
(defconst *pack-scr*              1)
(defconst *pack-ext*              2)
(defconst *pack-mux*              3)
(defconst *pack-stuffing*         4)
(defconst *pack-packets*          5)
(defconst *pack-system-headers*   6)
;; packet field constants
(defconst *packet-stream-id*                0)
(defconst *packet-stream-name*              1)
(defconst *packet-length*                   2)
(defconst *packet-starting-offset*          3)
(defconst *packet-ends-at*                  4)
(defconst *packet-header-stuffing-bytes*    5)
(defconst *packet-pes-scrambling-code*      6)
(defconst *packet-data-alignment-indicator* 7)
(defconst *packet-copyright*                8)
(defconst *packet-original-or-copy*         9)
(defconst *packet-std-buffer-scale*         10)
(defconst *packet-std-buffer-size*          11)
(defconst *packet-pts*                      12)
(defconst *packet-dts*                      13)
(defconst *packet-dts-dts-flag*             14)
(defconst *packet-pes-header-data-length*   15)
(defconst *packet-es-rate*                  16)
(defconst *packet-trick-mode*               17)
(defconst *packet-additional-copy-info*     18)
(defconst *packet-previous-pes-packet-crc*  19)
(defconst *packet-extension-data*           20)

;; system header field constants
(defconst *system-header-starting-offset*          0)
(defconst *system-header-header-length*            1)
(defconst *system-header-rate-bound*               2)
(defconst *system-header-audio-bound*              3)
(defconst *system-header-fixed-flag*               4)
(defconst *system-header-csps-flag*                5)
(defconst *system-header-system-audio-lock-flag*   6)
(defconst *system-header-system-video-lock-flag*   7)
(defconst *system-header-video-bound*              8)
(defconst *system-header-packet-rate-restriction*  9)
(defconst *system-header-buffer-info*              10)

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
   (let ((info (aref sys *system-header-buffer-info* )))
      (if info
          (aset sys *system-header-buffer-info* (append info (list buf) ))
         (aset sys *system-header-buffer-info* (list buf) )))
   sys)

(compile 'add-buffer-info-to-system-header)
(defun add-packet-to-pack (pack packet)
   (let ((packets (aref pack *pack-packets* )))
      (if  packets
          (aset pack *pack-packets* (append packets (list packet) ))
         (aset pack *pack-packets* (list packet))))
   pack)

(compile 'add-packet-to-pack)
(defun add-system-header-to-pack (pack sys)
   (let ((hdr (aref pack *pack-system-headers* )))
      (if  hdr
          (aset pack *pack-system-headers* (append hdr (list sys)))
         (aset pack *pack-system-headers* (list sys))))
   pack)

(compile 'add-system-header-to-pack)
(defun add-pack-to-packs (pack)
   (let ((cell (list pack)))
      (if (not (and packs-tail (eq packs-tail-head packs) (null (cdr packs-tail))))
          (setq packs-tail (last packs)))
      (if packs-tail
          (setcdr packs-tail cell)
         (setq packs cell))
      (setq packs-tail cell)
      (setq packs-tail-head packs)
      packs))

(compile 'add-pack-to-packs)
