// Lisp export: prints the stream model as an Emacs-Lisp or Common-Lisp
// program that rebuilds it.  The dialect is Emacs Lisp while `_export_elisp`
// is on, Common Lisp otherwise.
#pragma once

#include "model.h"

// Declarations, slot constants and the constructor / adder functions.
void export_lisp_prelude();
// The forms that rebuild one completed pack and add it to `packs`.  The
// first pack of the process starts the list, every later one is added at
// its end.
void export_lisp_pack(const pack_struct& pack);

// The dialect: Emacs Lisp while `_export_elisp` is on, Common Lisp
// otherwise (`_export_CL_lisp` tells that it was chosen).
extern bool _export_elisp;
extern bool _export_CL_lisp;

// True until the first pack's forms have been printed; a process exports one
// stream.
extern bool _export_first_pack;
// Makes the next pack the first again (for tests that export several streams
// in one process).
void export_lisp_reset_first_pack();
