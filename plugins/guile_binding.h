// Run-time binding to the Guile interpreter.  The library is opened with
// dlopen; the gh_ entry points below are a thin layer of ours over Guile's
// scm_ functions, resolved by name.  Every evaluation catches Scheme errors
// at this boundary and reports them on standard output, so no Scheme error
// ever unwinds through GTK or C++ frames.
#pragma once

#include <cstddef>
#include <cstdint>

struct scm_unused_struct;
typedef scm_unused_struct* SCM;

using main_prog_fn = void (*)(int argc, char** argv);

// Handle of the loaded library, or null.
extern void* g_guile_lib;
// True once the glue file has been found and evaluated.
extern bool plugin_extensions_are_available;

// Entry slots; null until resolved.  They work inside GH_ENTER only:
// outside it an evaluation is refused with a message and gives null, a
// conversion gives 0 or null.
//
// GH_EVAL_FILE and GH_EVAL_STR catch any Scheme error raised by the
// evaluation, print it and return #f.  An evaluation still running after
// tarvel_scheme_time_limit seconds is stopped, reported as a Scheme error
// that names the file or the text, and gives #f.  GH_SCM2INT never raises:
// a value that is not a 32-bit integer is reported and gives 0.  GH_SCM2NEWSTR
// gives null for a value that is not a string; otherwise a malloc'ed UTF-8
// copy (release it with free).  GH_SCM2ULONG takes any exact integer
// modulo 2^32 and raises a Scheme wrong-type error for anything else, so it
// is for native procedures called from Scheme only.
extern SCM (*GH_EVAL_FILE)(const char* path);
extern uint32_t (*GH_SCM2ULONG)(SCM value);
extern SCM (*GH_EVAL_STR)(const char* text);
extern int32_t (*GH_SCM2INT)(SCM value);
extern char* (*GH_SCM2NEWSTR)(SCM value, size_t* length);
extern SCM (*GH_ULONG2SCM)(uint32_t value);
extern SCM (*GH_NEW_PROCEDURE2_0)(const char* name, SCM (*fn)(SCM, SCM));
extern SCM (*GH_NEW_PROCEDURE3_0)(const char* name, SCM (*fn)(SCM, SCM, SCM));
extern SCM (*GH_CHAR2SCM)(char c);
extern void (*GH_ENTER)(int argc, char** argv, main_prog_fn body);

// Opens the library and resolves the nine gh_ slots (messages on failure).
// The names tried are "libguile.so", then the versioned names of Guile 3;
// when the environment variable TARVEL_VIEWER_GUILE_LIBRARY is set, only
// the name it holds is tried (used by tests and to run without plug-ins).
void load_guile();
// Resolves "gh_enter" into GH_ENTER; false when it cannot be resolved.
bool resolve_gh_enter();
// Closes the library if it is loaded.
void close_guile();
// Evaluates the glue file and registers the primitives (inside gh_enter).
void init_plugins();

// True while the program runs inside GH_ENTER.
bool guile_is_entered();
// Number of Scheme errors caught and reported by the layer so far; a caller
// compares it before and after a step to learn whether the step failed.
// Evaluations stopped at the time limit and refused files count too.
unsigned long guile_errors_caught();
// Number of evaluations stopped at the time limit so far.
unsigned long guile_time_limits_hit();

// Largest Scheme source file GH_EVAL_FILE reads; larger files, and files
// that are not regular files, are refused with a message and count as an
// error.
inline constexpr long max_scheme_file_size = 1024L * 1024L;

SCM plugins_left_shift(SCM value, SCM shift);
SCM plugins_bit_extract(SCM value, SCM top, SCM count);
