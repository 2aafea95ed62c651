;;; Plug-in registry of tarvel_viewer.
;;;
;;; The analyser evaluates this file once at start-up, then talks to it
;;; through the procedures below:
;;;
;;;   (remove-all-plugins)                 empties the registry
;;;   (add-plugin P) / (remove-plugin P)   switches plug-in object P on / off
;;;   (number-of-plugins)                  active plug-ins
;;;   (number-of-streamable-plugins)       active plug-ins that take payloads
;;;                                        while the stream is parsed
;;;   (execute-file-read-plugins NAME ID)  runs the active plug-ins that want
;;;                                        stream ID on the extracted file NAME
;;;
;;; A plug-in object is a procedure of one message symbol.  Every plug-in
;;; answers 'description (a thunk giving its description string) and
;;; 'configure (a thunk run when the user activates it).  The registry also
;;; asks:
;;;
;;;   'streams     a thunk giving the kind of stream the plug-in reads:
;;;                'video (stream ids #xe0-#xef), 'audio (#xc0-#xdf) or
;;;                'any; a plug-in without an answer gets every stream
;;;   'file-read   a procedure (file-name stream-id) run on an extracted file
;;;   'streamable  a thunk giving #t when the plug-in takes payloads while
;;;                the stream is parsed
;;;
;;; A plug-in answers messages it does not know with #f.  The primitives
;;; plugins-left-shift and plugins-bit-extract are defined after this file
;;; has been evaluated: use them inside procedures only.

(use-modules (ice-9 binary-ports)
             (rnrs bytevectors))

(define %active-plugins '())

;; The answer of PLUGIN to MESSAGE, or #f when it has none or fails.
(define (plugin-answer plugin message)
  (catch #t
    (lambda () (plugin message))
    (lambda (key . args) #f)))

;; Runs THUNK; an error raised by a plug-in is printed and the registry
;; goes on with the next plug-in.
(define (plugin-guarded what thunk)
  (catch #t
    thunk
    (lambda (key . args)
      (display "Plugin error in ")
      (display what)
      (display ": ")
      (print-exception (current-output-port) #f key args)
      (force-output))))

(define (remove-all-plugins)
  (set! %active-plugins '()))

(define (add-plugin plugin)
  (if (not (memq plugin %active-plugins))
      (set! %active-plugins (append %active-plugins (list plugin)))))

(define (remove-plugin plugin)
  (set! %active-plugins (delq plugin %active-plugins)))

(define (number-of-plugins)
  (length %active-plugins))

(define (plugin-streamable? plugin)
  (let ((answer (plugin-answer plugin 'streamable)))
    (and (procedure? answer) (eq? (answer) #t))))

(define (number-of-streamable-plugins)
  (let loop ((plugins %active-plugins) (n 0))
    (cond ((null? plugins) n)
          ((plugin-streamable? (car plugins)) (loop (cdr plugins) (+ n 1)))
          (else (loop (cdr plugins) n)))))

;; Kind of stream a stream id stands for.
(define (stream-kind stream-id)
  (cond ((and (>= stream-id #xe0) (<= stream-id #xef)) 'video)
        ((and (>= stream-id #xc0) (<= stream-id #xdf)) 'audio)
        (else 'other)))

(define (plugin-wants-stream? plugin stream-id)
  (let* ((answer (plugin-answer plugin 'streams))
         (kind (if (procedure? answer) (answer) 'any)))
    (or (eq? kind 'any) (eq? kind (stream-kind stream-id)))))

(define (plugin-name plugin)
  (let ((answer (plugin-answer plugin 'description)))
    (if (procedure? answer) (answer) "plug-in")))

(define (execute-file-read-plugins file-name stream-id)
  (for-each
   (lambda (plugin)
     (if (plugin-wants-stream? plugin stream-id)
         (let ((reader (plugin-answer plugin 'file-read)))
           (if (procedure? reader)
               (plugin-guarded (plugin-name plugin)
                               (lambda () (reader file-name stream-id)))))))
   %active-plugins))

;;; Helpers for plug-ins that decode extracted streams.

;; The whole content of FILE-NAME as a bytevector (empty when it is empty).
(define (plugin-read-file file-name)
  (let* ((port (open-file file-name "rb"))
         (data (get-bytevector-all port)))
    (close-port port)
    (if (eof-object? data) (make-bytevector 0) data)))

;; The offset of the next start code prefix 00 00 01 at or after START in
;; DATA, or #f.
(define (plugin-next-start-code data start)
  (let ((end (- (bytevector-length data) 2)))
    (let loop ((i start))
      (cond ((>= i end) #f)
            ((not (= (bytevector-u8-ref data (+ i 2)) 1))
             ;; The byte two ahead is not 01: no prefix can end before it,
             ;; unless it is 00 and begins one.
             (loop (if (= (bytevector-u8-ref data (+ i 2)) 0) (+ i 1) (+ i 3))))
            ((and (= (bytevector-u8-ref data i) 0)
                  (= (bytevector-u8-ref data (+ i 1)) 0))
             i)
            (else (loop (+ i 1)))))))

;; The 32-bit word of the four bytes at OFFSET, most significant byte
;; first; bytes past the end read as 0.
(define (plugin-word data offset)
  (let ((len (bytevector-length data)))
    (let loop ((k 0) (word 0))
      (if (= k 4)
          word
          (let ((b (if (< (+ offset k) len) (bytevector-u8-ref data (+ offset k)) 0)))
            (loop (+ k 1) (logior (plugins-left-shift word 8) b)))))))
