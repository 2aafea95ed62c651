;; Compares the packs that a loaded export rebuilt (the list `packs') with
;; the facts of the stream found by an independent walk of its bytes (see
;; stream_facts.cpp for their layout).
;;
;; Written in the subset that Emacs Lisp and Common Lisp share, so the same
;; file checks both dialects.  The loader defines `check-report', which
;; prints one line, before loading this file.

(defvar check-failures 0)

(defun check-slot (where got want)
  (cond ((equal got want) t)
        (t (setq check-failures (+ check-failures 1))
           (check-report (prin1-to-string (list where 'got got 'want want)))
           nil)))

;; Slots 0 to 3 and 10 to 19 of a packet are filled by the parser; a
;; presence flag is the symbol t or nil, never a number.
(defun check-flag (where value)
  (check-slot where (or (eq value t) (eq value nil)) t))

(defun check-buffer-infos (where got want)
  (if (check-slot (list where 'count) (length got) (length want))
      (dotimes (i (length want))
        (let ((b (nth i got))
              (w (nth i want)))
          (check-slot (list where i 'vector) (vectorp b) t)
          (check-slot (list where i 'length) (length b) 4)
          (dotimes (k 4)
            (check-slot (list where i k) (aref b k) (nth k w)))))))

(defun check-system-header (where got want)
  (check-slot (list where 'length) (length got) 11)
  (dotimes (k 10)
    (check-slot (list where k) (aref got k) (nth k want)))
  ;; A header without entries keeps nil, not an empty vector.
  (check-buffer-infos (list where 'buffer-info) (aref got 10) (nth 10 want)))

(defun check-packet (where got want stream-format)
  (check-slot (list where 'length) (length got) 21)
  (check-slot (list where 'stream-id) (aref got 0) (nth 0 want))
  (if (nth 1 want)
      (check-slot (list where 'stream-name) (aref got 1) (nth 1 want))
    (check-slot (list where 'stream-name) (stringp (aref got 1)) t))
  (check-slot (list where 'length) (aref got 2) (nth 2 want))
  (check-slot (list where 'starting-offset) (aref got 3) (nth 3 want))
  (check-slot (list where 'ends-at) (aref got 4) (nth 4 want))
  (check-slot (list where 'pts) (aref got 12) (nth 5 want))
  (check-slot (list where 'dts) (aref got 13) (nth 6 want))
  (dotimes (k 3)
    (check-flag (list where 'flag (+ 7 k)) (aref got (+ 7 k))))
  (dotimes (k 5)
    (check-flag (list where 'flag (+ 16 k)) (aref got (+ 16 k))))
  ;; MPEG-1 packets have none of the MPEG-2 header flags.
  (if (= stream-format 1)
      (check-slot (list where 'data-alignment-indicator) (aref got 7) nil)))

(defun check-pack (index got want stream-format)
  (let ((where (list 'pack index)))
    (check-slot (list where 'vector) (vectorp got) t)
    (check-slot (list where 'length) (length got) 7)
    (dotimes (k 5)
      (check-slot (list where k) (aref got k) (nth k want)))
    (let ((headers (aref got 6))
          (wanted (nth 5 want)))
      (if (check-slot (list where 'system-headers) (length headers) (length wanted))
          (dotimes (i (length wanted))
            (check-system-header (list where 'system-header i) (nth i headers)
                                 (nth i wanted)))))
    (let ((packets (aref got 5))
          (wanted (nth 6 want)))
      (if (check-slot (list where 'packets) (length packets) (length wanted))
          (dotimes (i (length wanted))
            (check-packet (list where 'packet i) (nth i packets) (nth i wanted)
                          stream-format))))))

;; FACTS is the datum of stream_facts; PACK-COUNT the count psdump printed.
;; Returns the number of mismatches.
(defun check-packs (got facts pack-count)
  (check-slot 'pack-count (length got) pack-count)
  (check-slot 'walked-pack-count (length got) (nth 1 facts))
  (let ((wanted (nth 2 facts)))
    (if (= (length got) (length wanted))
        (dotimes (i (length wanted))
          (check-pack i (nth i got) (nth i wanted) (nth 0 facts)))))
  check-failures)
