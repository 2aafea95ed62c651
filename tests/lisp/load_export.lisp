;;;; Loads a psdump export into Common Lisp and checks its packs.
;;;;
;;;; Usage: sbcl --script load_export.lisp EXPORT FACTS PACK-COUNT CHECKER
;;;;
;;;; EXPORT is psdump's Common-Lisp output, FACTS the datum that stream_facts
;;;; wrote for the same stream, PACK-COUNT the count psdump printed and
;;;; CHECKER check_packs.lisp.  Exits 0 when every pack matches, 1 otherwise;
;;;; a form that does not load ends the script with an error.

(defun check-report (line)
  (format t "~a~%" line))

(defvar *load-export-args* (rest sb-ext:*posix-argv*))

(load (first *load-export-args*))
(load (fourth *load-export-args*))

(let* ((facts (with-open-file (in (second *load-export-args*))
                (read in)))
       (mismatches (check-packs packs facts
                                (parse-integer (third *load-export-args*)))))
  (format t "sbcl: ~a: ~d packs, ~d mismatches~%"
          (file-namestring (first *load-export-args*)) (length packs) mismatches)
  (finish-output)
  (sb-ext:exit :code (if (= mismatches 0) 0 1)))
