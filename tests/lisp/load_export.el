;;; load_export.el --- load a psdump export into Emacs and check its packs

;; Usage: emacs --batch -Q -l load_export.el EXPORT FACTS PACK-COUNT CHECKER
;;
;; EXPORT is psdump's Emacs-Lisp output, FACTS the datum that stream_facts
;; wrote for the same stream, PACK-COUNT the count psdump printed and CHECKER
;; check_packs.lisp.  Exits 0 when every pack matches, 1 otherwise; a form
;; that does not load ends Emacs with an error status of its own.

;; The export compiles its functions with (compile 'NAME); Emacs Lisp
;; compiles one function with byte-compile.
(defalias 'compile #'byte-compile)

(defun check-report (line)
  (message "%s" line))

(defvar load-export-args command-line-args-left)
(setq command-line-args-left nil)

;; `load' looks for relative names along load-path, not in the working
;; directory.
(defun load-export-file (n)
  (expand-file-name (nth n load-export-args)))

(load (load-export-file 0) nil t t)
(load (load-export-file 3) nil t t)

(let* ((facts (with-temp-buffer
                (insert-file-contents (load-export-file 1))
                (read (current-buffer))))
       (mismatches (check-packs packs facts
                                (string-to-number (nth 2 load-export-args)))))
  (message "emacs: %s: %d packs, %d mismatches"
           (file-name-nondirectory (nth 0 load-export-args)) (length packs) mismatches)
  (kill-emacs (if (= mismatches 0) 0 1)))
