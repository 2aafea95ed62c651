// A stand-in for the Guile library that exports the functions the binding
// resolves, doing nothing.  Built twice: without scm_with_guile (the entry
// is missing) and without scm_c_eval_string (a slot cannot be filled).
#include <cstdint>

struct scm_unused_struct;
typedef scm_unused_struct* SCM;

extern "C" {
#ifndef STUB_WITHOUT_EVAL
SCM scm_c_eval_string(const char*) { return nullptr; }
#endif
SCM scm_c_primitive_load(const char*) { return nullptr; }
SCM scm_internal_catch(SCM, void*, void*, void*, void*) { return nullptr; }
SCM scm_call_2(SCM, SCM, SCM) { return nullptr; }
int scm_is_string(SCM) { return 0; }
char* scm_to_utf8_stringn(SCM, void*) { return nullptr; }
SCM scm_flush_all_ports() { return nullptr; }
SCM scm_gc_protect_object(SCM x) { return x; }
int scm_is_exact_integer(SCM) { return 0; }
SCM scm_logand(SCM, SCM) { return nullptr; }
uint32_t scm_to_uint32(SCM) { return 0; }
SCM scm_from_uint32(uint32_t) { return nullptr; }
void scm_wrong_type_arg(const char*, int, SCM) {}
int scm_is_signed_integer(SCM, intmax_t, intmax_t) { return 0; }
int32_t scm_to_int32(SCM) { return 0; }
SCM scm_c_define_gsubr(const char*, int, int, int, void*) { return nullptr; }
SCM scm_c_make_char(int32_t) { return nullptr; }
SCM scm_call_0(SCM) { return nullptr; }
SCM scm_c_make_gsubr(const char*, int, int, int, void*) { return nullptr; }
SCM scm_current_thread() { return nullptr; }
SCM scm_system_async_mark_for_thread(SCM, SCM) { return nullptr; }
#ifndef STUB_WITHOUT_ENTER
void* scm_with_guile(void* (*fn)(void*), void* data) { return fn(data); }
#endif
}
