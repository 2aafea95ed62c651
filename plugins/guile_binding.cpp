// Run-time binding to Guile 3.
//
// The program never links the interpreter: load_guile opens the shared
// library with dlopen and resolves the scm_ functions it needs with dlsym.
// The gh_ slots point at small wrappers of ours built on those functions.
// Evaluations run under a catch-all handler, so a Scheme error ends at the
// wrapper: it is printed on standard output and the wrapper returns #f.
// Every evaluation also runs under a time limit (see "Time limit" below).
#include "guile_binding.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "config.h"
#include "parser.h"
#include "plugin_hooks.h"

void* g_guile_lib = nullptr;
bool plugin_extensions_are_available = false;

SCM (*GH_EVAL_FILE)(const char* path) = nullptr;
uint32_t (*GH_SCM2ULONG)(SCM value) = nullptr;
SCM (*GH_EVAL_STR)(const char* text) = nullptr;
int32_t (*GH_SCM2INT)(SCM value) = nullptr;
char* (*GH_SCM2NEWSTR)(SCM value, size_t* length) = nullptr;
SCM (*GH_ULONG2SCM)(uint32_t value) = nullptr;
SCM (*GH_NEW_PROCEDURE2_0)(const char* name, SCM (*fn)(SCM, SCM)) = nullptr;
SCM (*GH_NEW_PROCEDURE3_0)(const char* name, SCM (*fn)(SCM, SCM, SCM)) = nullptr;
SCM (*GH_CHAR2SCM)(char c) = nullptr;
void (*GH_ENTER)(int argc, char** argv, main_prog_fn body) = nullptr;

namespace {

// ---------------------------------------------------------------------------
// The scm_ functions of Guile 3 the layer uses, with their C signatures.
using catch_body = SCM (*)(void* data);
using catch_handler = SCM (*)(void* data, SCM key, SCM args);

struct scm_api {
    SCM (*c_eval_string)(const char* text);
    SCM (*c_primitive_load)(const char* path);
    SCM (*internal_catch)(SCM tag, catch_body body, void* body_data, catch_handler handler, void* handler_data);
    SCM (*call_2)(SCM proc, SCM a, SCM b);
    int (*is_string)(SCM value);
    char* (*to_utf8_stringn)(SCM value, size_t* length);
    SCM (*flush_all_ports)();
    SCM (*gc_protect_object)(SCM value);
    int (*is_exact_integer)(SCM value);
    SCM (*logand)(SCM a, SCM b);
    uint32_t (*to_uint32)(SCM value);
    SCM (*from_uint32)(uint32_t value);
    void (*wrong_type_arg)(const char* subr, int pos, SCM bad);
    int (*is_signed_integer)(SCM value, intmax_t min, intmax_t max);
    int32_t (*to_int32)(SCM value);
    SCM (*c_define_gsubr)(const char* name, int req, int opt, int rst, void* fn);
    SCM (*c_make_char)(int32_t c);
    void* (*with_guile)(void* (*fn)(void*), void* data);
    SCM (*call_0)(SCM proc);
    SCM (*c_make_gsubr)(const char* name, int req, int opt, int rst, void* fn);
    SCM (*current_thread)();
    SCM (*system_async_mark_for_thread)(SCM proc, SCM thread);
};

scm_api scm{};

struct scm_symbol {
    const char* name;
    void** where;
};

template <typename F>
scm_symbol sym(const char* name, F& fn) {
    return {name, reinterpret_cast<void**>(&fn)};
}

// ---------------------------------------------------------------------------
// State of the interpreter as the layer sees it.
bool entered = false;           // inside GH_ENTER
bool helpers_ready = false;     // the values below are set
SCM scm_false = nullptr;        // #f
SCM scm_true = nullptr;         // #t, the catch-all tag
SCM error_formatter = nullptr;  // (key args) -> text of the error
SCM bounded_runner = nullptr;   // () -> runs the current body inside the limit prompt
SCM limit_interrupt = nullptr;  // () -> aborts to that prompt once the limit has passed
unsigned long errors_caught = 0;
unsigned long time_limits_hit = 0;

// Text of a Scheme procedure that turns a caught error into the text Guile
// itself would print for it, without a frame.
constexpr const char* error_formatter_text =
    "(lambda (key args)"
    "  (call-with-output-string"
    "    (lambda (port) (print-exception port #f key args))))";

// ---------------------------------------------------------------------------
// Time limit.
//
// Every evaluation runs inside a prompt with a tag of its own.  A watchdog
// thread waits for the deadline of the running evaluation; when it passes,
// the watchdog queues an interrupt on the evaluating thread, which the
// interpreter runs at its next safe point (a call or a loop back-edge, also
// inside a sleep).  The interrupt aborts to the prompt.  Plug-in code cannot
// hold it with a catch-all: catches see throws, not aborts to another tag.
// While the evaluation still runs, the interrupt is queued again every
// second, so an unwind handler that loops in turn is stopped too.  Code that
// blocks interrupts, or waits in a system call the interpreter does not
// wake, is beyond its reach.
constexpr const char* runner_maker_text =
    "(lambda (tag body)"
    "  (lambda () (call-with-prompt tag body (lambda (k) #f))))";
constexpr const char* interrupt_maker_text =
    "(lambda (tag overdue?)"
    "  (lambda () (if (overdue?) (abort-to-prompt tag))))";

// What the watchdog shares with the evaluating thread, under `lock`.
struct watchdog_state {
    std::mutex lock;
    std::condition_variable changed;
    bool started = false;
    bool running = false;         // an outermost evaluation is running
    unsigned long generation = 0;  // counts the outermost evaluations
    std::chrono::steady_clock::time_point deadline;
    SCM thread = nullptr;          // the evaluating thread
    bool overdue = false;          // the running evaluation passed its deadline
};
// Made on first use and never released: the watchdog thread waits on it
// until the process ends.
watchdog_state* watchdog = nullptr;

struct bounded_call {
    catch_body body = nullptr;
    void* data = nullptr;
};
bounded_call current_call;  // the body the runner's prompt encloses
int evaluation_depth = 0;   // bounded calls in progress on the evaluating thread
bool limit_reached = false;  // set by the interrupt when it aborts

void* queue_interrupt(void*) {
    SCM thread;
    {
        std::lock_guard<std::mutex> hold(watchdog->lock);
        if (!watchdog->running) return nullptr;
        thread = watchdog->thread;
    }
    scm.system_async_mark_for_thread(limit_interrupt, thread);
    return nullptr;
}

void watch() {
    using std::chrono::steady_clock;
    std::unique_lock<std::mutex> hold(watchdog->lock);
    for (;;) {
        watchdog->changed.wait(hold, [] { return watchdog->running; });
        const unsigned long generation = watchdog->generation;
        auto same_evaluation = [generation] { return watchdog->running && watchdog->generation == generation; };
        if (watchdog->changed.wait_until(hold, watchdog->deadline, [&] { return !same_evaluation(); })) continue;
        watchdog->overdue = true;
        watchdog->deadline = steady_clock::now() + std::chrono::seconds(1);
        hold.unlock();
        // Queuing allocates, which the interpreter allows only in a thread
        // it knows.
        scm.with_guile(queue_interrupt, nullptr);
        hold.lock();
    }
}

void start_deadline() {
    if (!watchdog) watchdog = new watchdog_state;
    std::lock_guard<std::mutex> hold(watchdog->lock);
    if (!watchdog->started) {
        std::thread(watch).detach();
        watchdog->started = true;
    }
    const std::chrono::duration<double> limit(tarvel_scheme_time_limit);
    watchdog->deadline =
        std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(limit);
    watchdog->thread = scm.current_thread();
    watchdog->overdue = false;
    watchdog->running = true;
    ++watchdog->generation;
    watchdog->changed.notify_all();
}

void stop_deadline() {
    std::lock_guard<std::mutex> hold(watchdog->lock);
    watchdog->running = false;
    watchdog->overdue = false;
    watchdog->changed.notify_all();
}

// The interrupt's question; a stale interrupt, queued for an evaluation
// that has ended meanwhile, finds no overdue evaluation and does nothing.
SCM evaluation_is_overdue() {
    bool overdue;
    {
        std::lock_guard<std::mutex> hold(watchdog->lock);
        overdue = watchdog->running && watchdog->overdue;
    }
    if (overdue && evaluation_depth > 0) {
        limit_reached = true;
        return scm_true;
    }
    return scm_false;
}

SCM run_current_body() { return current_call.body(current_call.data); }

void ensure_helpers() {
    if (helpers_ready) return;
    scm_false = scm.c_eval_string("#f");
    scm_true = scm.c_eval_string("#t");
    error_formatter = scm.gc_protect_object(scm.c_eval_string(error_formatter_text));
    SCM tag = scm.c_eval_string("(make-prompt-tag \"scheme-time-limit\")");
    SCM body = scm.c_make_gsubr("run-bounded-body", 0, 0, 0, reinterpret_cast<void*>(run_current_body));
    SCM overdue = scm.c_make_gsubr("evaluation-overdue?", 0, 0, 0, reinterpret_cast<void*>(evaluation_is_overdue));
    bounded_runner = scm.gc_protect_object(scm.call_2(scm.c_eval_string(runner_maker_text), tag, body));
    limit_interrupt = scm.gc_protect_object(scm.call_2(scm.c_eval_string(interrupt_maker_text), tag, overdue));
    helpers_ready = true;
}

bool inside_interpreter(const char* what) {
    if (entered) return true;
    std::printf("Scheme is not running: %s ignored\n", what);
    return false;
}

// ---------------------------------------------------------------------------
// Catching.  The body runs under a catch of every key; the handler only
// records what was thrown, the report is made after the catch has returned.
struct caught {
    bool failed = false;
    bool timed_out = false;
    SCM key = nullptr;
    SCM args = nullptr;
};

SCM record_error(void* data, SCM key, SCM args) {
    auto* c = static_cast<caught*>(data);
    c->failed = true;
    c->key = key;
    c->args = args;
    return scm_false;
}

SCM call_runner(void*) { return scm.call_0(bounded_runner); }

// Runs `body` under the catch and within the time limit; the outermost
// call starts the deadline, nested ones share it.
SCM run_caught(catch_body body, void* data, caught* c) {
    const bounded_call saved = current_call;
    current_call = {body, data};
    if (evaluation_depth++ == 0) start_deadline();
    limit_reached = false;
    SCM result = scm.internal_catch(scm_true, call_runner, nullptr, record_error, c);
    c->timed_out = limit_reached;
    limit_reached = false;
    if (--evaluation_depth == 0) stop_deadline();
    current_call = saved;
    return c->timed_out ? scm_false : result;
}

struct format_call {
    SCM key;
    SCM args;
};

SCM format_body(void* data) {
    auto* f = static_cast<format_call*>(data);
    return scm.call_2(error_formatter, f->key, f->args);
}

SCM flush_body(void*) { return scm.flush_all_ports(); }

// Output written through Scheme ports goes out before anything the program
// prints next, so the two streams on standard output stay in order.
void flush_scheme_output() {
    caught ignored;
    run_caught(flush_body, nullptr, &ignored);
}

// Prints a caught error as "Scheme error<where>: <text>".
void report_error(const caught& c, const std::string& where) {
    ++errors_caught;
    format_call f{c.key, c.args};
    caught ignored;
    SCM text = run_caught(format_body, &f, &ignored);
    std::string message = "unprintable error";
    if (text && scm.is_string(text)) {
        if (char* s = scm.to_utf8_stringn(text, nullptr)) {
            message = s;
            std::free(s);
        }
    }
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
    std::printf("Scheme error%s: %s\n", where.c_str(), message.c_str());
    std::fflush(stdout);
}

// Prints an evaluation stopped at the time limit; `source` is the text
// evaluated, or empty when `where` already names the file.
void report_time_limit(const std::string& where, const char* source) {
    ++errors_caught;
    ++time_limits_hit;
    std::printf("Scheme error%s: time limit of %g s exceeded%s%s\n", where.c_str(), tarvel_scheme_time_limit,
                source ? ", evaluation stopped: " : ", evaluation stopped", source ? source : "");
    std::fflush(stdout);
}

// Runs `body` with standard output in order around it; a Scheme error or
// the time limit is reported and gives #f.
SCM evaluate(catch_body body, void* data, const std::string& where, const char* source = nullptr) {
    ensure_helpers();
    std::fflush(stdout);
    caught c;
    SCM result = run_caught(body, data, &c);
    flush_scheme_output();
    if (c.timed_out) {
        report_time_limit(where, source);
        return scm_false;
    }
    if (c.failed) {
        report_error(c, where);
        return scm_false;
    }
    return result;
}

// Why a Scheme source file may not be loaded, or null when it may: only a
// regular file of at most max_scheme_file_size bytes is read (a link to a
// device or a FIFO would otherwise be read without end).
const char* scheme_file_refusal(const char* path) {
    struct stat st;
    if (stat(path, &st) != 0) return nullptr;  // the load reports a missing file
    if (!S_ISREG(st.st_mode)) return "not a regular file";
    if (st.st_size > max_scheme_file_size) return "larger than 1 MB";
    return nullptr;
}

// ---------------------------------------------------------------------------
// The gh_ layer.
SCM eval_string_body(void* data) { return scm.c_eval_string(static_cast<const char*>(data)); }
SCM load_file_body(void* data) { return scm.c_primitive_load(static_cast<const char*>(data)); }

SCM gh_eval_file(const char* path) {
    if (!inside_interpreter("evaluation of a file")) return nullptr;
    if (const char* refusal = scheme_file_refusal(path)) {
        ++errors_caught;
        std::printf("Scheme file refused, %s: %s\n", refusal, path);
        std::fflush(stdout);
        return scm_false;
    }
    return evaluate(load_file_body, const_cast<char*>(path), std::string(" in ") + path);
}

SCM gh_eval_str(const char* text) {
    if (!inside_interpreter("evaluation")) return nullptr;
    return evaluate(eval_string_body, const_cast<char*>(text), "", text);
}

// Raises a Scheme wrong-type error unless `value` is an exact integer.
// Only ever reached from native procedures called by Scheme, whose frames
// hold nothing to clean up.
void require_exact_integer(const char* subr, int position, SCM value) {
    if (!scm.is_exact_integer(value)) scm.wrong_type_arg(subr, position, value);
}

uint32_t to_u32_modulo(SCM value) {
    return scm.to_uint32(scm.logand(value, scm.from_uint32(0xFFFFFFFFu)));
}

uint32_t gh_scm2ulong(SCM value) {
    if (!value || !entered) return 0;
    require_exact_integer("gh_scm2ulong", 1, value);
    return to_u32_modulo(value);
}

int32_t gh_scm2int(SCM value) {
    if (!value || !entered) return 0;
    if (scm.is_signed_integer(value, INT32_MIN, INT32_MAX)) return scm.to_int32(value);
    std::printf("Scheme value is not a 32-bit integer; 0 used\n");
    return 0;
}

char* gh_scm2newstr(SCM value, size_t* length) {
    if (!value || !entered || !scm.is_string(value)) return nullptr;
    return scm.to_utf8_stringn(value, length);
}

SCM gh_ulong2scm(uint32_t value) { return entered ? scm.from_uint32(value) : nullptr; }

struct define_call {
    const char* name;
    int required;
    void* fn;
};

SCM define_body(void* data) {
    auto* d = static_cast<define_call*>(data);
    return scm.c_define_gsubr(d->name, d->required, 0, 0, d->fn);
}

SCM define_procedure(const char* name, int required, void* fn) {
    if (!inside_interpreter(name)) return nullptr;
    define_call d{name, required, fn};
    return evaluate(define_body, &d, std::string(" defining ") + name);
}

SCM gh_new_procedure2_0(const char* name, SCM (*fn)(SCM, SCM)) {
    return define_procedure(name, 2, reinterpret_cast<void*>(fn));
}

SCM gh_new_procedure3_0(const char* name, SCM (*fn)(SCM, SCM, SCM)) {
    return define_procedure(name, 3, reinterpret_cast<void*>(fn));
}

SCM gh_char2scm(char c) { return entered ? scm.c_make_char(static_cast<unsigned char>(c)) : nullptr; }

struct enter_call {
    int argc;
    char** argv;
    main_prog_fn body;
};

void* enter_trampoline(void* data) {
    auto* call = static_cast<enter_call*>(data);
    bool was_entered = entered;
    entered = true;
    call->body(call->argc, call->argv);
    entered = was_entered;
    return nullptr;
}

void gh_enter(int argc, char** argv, main_prog_fn body) {
    enter_call call{argc, argv, body};
    scm.with_guile(enter_trampoline, &call);
}

// ---------------------------------------------------------------------------
// Resolution.  A slot is filled when every scm_ function its wrapper needs
// was found in the library.
bool resolve_all(std::initializer_list<scm_symbol> needs) {
    bool all = true;
    for (const scm_symbol& s : needs) {
        *s.where = dlsym(g_guile_lib, s.name);
        if (!*s.where) all = false;
    }
    return all;
}

// What every evaluating wrapper needs: evaluation, the catch, the time limit
// and the report.
bool resolve_evaluation() {
    return resolve_all({
        sym("scm_c_eval_string", scm.c_eval_string),
        sym("scm_internal_catch", scm.internal_catch),
        sym("scm_call_2", scm.call_2),
        sym("scm_is_string", scm.is_string),
        sym("scm_to_utf8_stringn", scm.to_utf8_stringn),
        sym("scm_flush_all_ports", scm.flush_all_ports),
        sym("scm_gc_protect_object", scm.gc_protect_object),
        sym("scm_call_0", scm.call_0),
        sym("scm_c_make_gsubr", scm.c_make_gsubr),
        sym("scm_current_thread", scm.current_thread),
        sym("scm_system_async_mark_for_thread", scm.system_async_mark_for_thread),
    });
}

void clear_slots() {
    GH_EVAL_FILE = nullptr;
    GH_SCM2ULONG = nullptr;
    GH_EVAL_STR = nullptr;
    GH_SCM2INT = nullptr;
    GH_SCM2NEWSTR = nullptr;
    GH_ULONG2SCM = nullptr;
    GH_NEW_PROCEDURE2_0 = nullptr;
    GH_NEW_PROCEDURE3_0 = nullptr;
    GH_CHAR2SCM = nullptr;
    GH_ENTER = nullptr;
    scm = scm_api{};
    helpers_ready = false;
}

// Resolves the nine slots in the order of the gh_ interface; true when all
// of them could be filled.
bool resolve_slots() {
    bool all = true;
    auto fill = [&all](auto& slot, auto wrapper, bool resolved) {
        slot = resolved ? wrapper : nullptr;
        if (!resolved) all = false;
    };
    // The lists are resolved one by one (no short cut), so every slot whose
    // functions are there is filled.
    bool eval = resolve_evaluation();
    fill(GH_EVAL_FILE, gh_eval_file, resolve_all({sym("scm_c_primitive_load", scm.c_primitive_load)}) && eval);
    fill(GH_SCM2ULONG, gh_scm2ulong,
         resolve_all({sym("scm_is_exact_integer", scm.is_exact_integer), sym("scm_logand", scm.logand),
                      sym("scm_to_uint32", scm.to_uint32), sym("scm_from_uint32", scm.from_uint32),
                      sym("scm_wrong_type_arg", scm.wrong_type_arg)}));
    fill(GH_EVAL_STR, gh_eval_str, eval);
    fill(GH_SCM2INT, gh_scm2int,
         resolve_all({sym("scm_is_signed_integer", scm.is_signed_integer), sym("scm_to_int32", scm.to_int32)}));
    fill(GH_SCM2NEWSTR, gh_scm2newstr,
         resolve_all({sym("scm_is_string", scm.is_string), sym("scm_to_utf8_stringn", scm.to_utf8_stringn)}));
    fill(GH_ULONG2SCM, gh_ulong2scm, resolve_all({sym("scm_from_uint32", scm.from_uint32)}));
    bool define = resolve_all({sym("scm_c_define_gsubr", scm.c_define_gsubr)}) && eval;
    fill(GH_NEW_PROCEDURE2_0, gh_new_procedure2_0, define);
    fill(GH_NEW_PROCEDURE3_0, gh_new_procedure3_0, define);
    fill(GH_CHAR2SCM, gh_char2scm, resolve_all({sym("scm_c_make_char", scm.c_make_char)}));
    return all;
}

// Library names tried in order; the environment variable replaces them.
constexpr const char* library_names[] = {"libguile.so", "libguile-3.0.so.1", "libguile-3.0.so"};
constexpr const char* library_variable = "TARVEL_VIEWER_GUILE_LIBRARY";

// Mask table of plugins_bit_extract: entry n has the low n bits set, and
// the entries past 32 have all bits set.
constexpr uint32_t bit_masks[37] = {
    0x00000000u, 0x00000001u, 0x00000003u, 0x00000007u, 0x0000000Fu, 0x0000001Fu, 0x0000003Fu, 0x0000007Fu,
    0x000000FFu, 0x000001FFu, 0x000003FFu, 0x000007FFu, 0x00000FFFu, 0x00001FFFu, 0x00003FFFu, 0x00007FFFu,
    0x0000FFFFu, 0x0001FFFFu, 0x0003FFFFu, 0x0007FFFFu, 0x000FFFFFu, 0x001FFFFFu, 0x003FFFFFu, 0x007FFFFFu,
    0x00FFFFFFu, 0x01FFFFFFu, 0x03FFFFFFu, 0x07FFFFFFu, 0x0FFFFFFFu, 0x1FFFFFFFu, 0x3FFFFFFFu, 0x7FFFFFFFu,
    0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu,
};

}  // namespace

// ---------------------------------------------------------------------------
void load_guile() {
    g_guile_lib = nullptr;
    clear_slots();

    // The library is never unmapped once opened: the interpreter starts
    // threads of its own and registers exit handlers, which must stay valid
    // after close_guile until the process ends.
    constexpr int flags = RTLD_NOW | RTLD_NODELETE;
    std::string error = "no library name to try";
    if (const char* only = std::getenv(library_variable)) {
        g_guile_lib = dlopen(only, flags);
        if (!g_guile_lib) error = dlerror();
    } else {
        for (const char* name : library_names) {
            g_guile_lib = dlopen(name, flags);
            if (g_guile_lib) break;
            error = dlerror();
        }
    }
    if (!g_guile_lib) {
        std::printf("Could not load guile library:\n%s", error.c_str());
        std::printf("Plugins will not be available\n");
        return;
    }

    if (!resolve_slots()) {
        std::printf("Could not load resolve all guile library functions\n");
        std::printf("Plugins will not be available\n");
        plugin_extensions_are_available = false;
        dlclose(g_guile_lib);
        g_guile_lib = nullptr;
        clear_slots();
    }
}

bool resolve_gh_enter() {
    GH_ENTER = nullptr;
    if (!g_guile_lib) return false;
    if (!resolve_all({sym("scm_with_guile", scm.with_guile)})) return false;
    GH_ENTER = gh_enter;
    return true;
}

void close_guile() {
    if (!g_guile_lib) return;
    dlclose(g_guile_lib);
    g_guile_lib = nullptr;
    clear_slots();
}

bool guile_is_entered() { return entered; }

unsigned long guile_errors_caught() { return errors_caught; }

unsigned long guile_time_limits_hit() { return time_limits_hit; }

void init_plugins() {
    if (!g_guile_lib || !entered) {
        plugin_extensions_are_available = false;
        return;
    }
    char glue_path[512];
    int n = std::snprintf(glue_path, sizeof glue_path, "%s/guile_glue/plugins.scm", tarvel_viewer_root_dir.c_str());

    // A path cut by the buffer names another file: it counts as missing.
    bool fits = n >= 0 && static_cast<size_t>(n) < sizeof glue_path;
    FILE* fp = fits ? std::fopen(glue_path, "rb") : nullptr;
    if (!fp) {
        std::printf("Could not open plugins directory \"%s\". \n", glue_path);
        std::printf("Plugins will not be available \n");
        plugin_extensions_are_available = false;
        return;
    }
    std::fclose(fp);
    if (const char* refusal = scheme_file_refusal(glue_path)) {
        std::printf("Scheme file refused, %s: %s\n", refusal, glue_path);
        std::printf("Plugins will not be available \n");
        plugin_extensions_are_available = false;
        return;
    }

    plugin_extensions_are_available = true;
    GH_EVAL_FILE(glue_path);
    delete_extracted_streams();
    GH_NEW_PROCEDURE2_0("plugins-left-shift", plugins_left_shift);
    GH_NEW_PROCEDURE3_0("plugins-bit-extract", plugins_bit_extract);
    install_streamable_plugins_hook();
}

SCM plugins_left_shift(SCM value, SCM shift) {
    require_exact_integer("plugins-left-shift", 1, value);
    require_exact_integer("plugins-left-shift", 2, shift);
    uint32_t v = GH_SCM2ULONG(value);
    uint32_t s = GH_SCM2ULONG(shift);
    return GH_ULONG2SCM(v << (s % 32));
}

SCM plugins_bit_extract(SCM value, SCM top, SCM count) {
    require_exact_integer("plugins-bit-extract", 1, value);
    require_exact_integer("plugins-bit-extract", 2, top);
    require_exact_integer("plugins-bit-extract", 3, count);
    uint32_t v = GH_SCM2ULONG(value);
    uint32_t t = GH_SCM2ULONG(top);
    uint32_t n = GH_SCM2ULONG(count);
    uint32_t mask = n < 37 ? bit_masks[n] : 0xFFFFFFFFu;
    return GH_ULONG2SCM((v >> ((t - n) % 32)) & mask);
}
