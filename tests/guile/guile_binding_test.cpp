// The Guile binding against the real Guile 3 library: the primitives seen
// from Scheme, the catching of Scheme errors, the conversions, the glue's
// registry, and (through a separate driver process) the start-up failures.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "config.h"
#include "guile_binding.h"
#include "test_util.h"

namespace {

// The written form of the value of `expression`, or "no value" when the
// evaluation failed.
std::string written(const std::string& expression) {
    std::string text = "(object->string (begin " + expression + "))";
    char* value = GH_SCM2NEWSTR(GH_EVAL_STR(text.c_str()), nullptr);
    std::string out = value ? value : "no value";
    std::free(value);
    return out;
}

std::string captured_eval(const std::string& text) {
    testing::internal::CaptureStdout();
    GH_EVAL_STR(text.c_str());
    return testing::internal::GetCapturedStdout();
}

TEST(Primitives, LeftShift) {
    EXPECT_EQ(written("(plugins-left-shift 1 4)"), "16");
    EXPECT_EQ(written("(plugins-left-shift 1 32)"), "1");
    EXPECT_EQ(written("(plugins-left-shift 1 33)"), "2");
    EXPECT_EQ(written("(plugins-left-shift (expt 2 31) 1)"), "0");
    EXPECT_EQ(written("(plugins-left-shift #xff 28)"), "4026531840");
}

TEST(Primitives, BitExtract) {
    EXPECT_EQ(written("(plugins-bit-extract 291 12 4)"), "1");
    EXPECT_EQ(written("(plugins-bit-extract 291 8 4)"), "2");
    EXPECT_EQ(written("(plugins-bit-extract 291 4 4)"), "3");
    EXPECT_EQ(written("(plugins-bit-extract 291 12 8)"), "18");
    EXPECT_EQ(written("(plugins-bit-extract #xdeadbeef 8 8)"), "239");
    EXPECT_EQ(written("(plugins-bit-extract #xdeadbeef 32 0)"), "0");
    EXPECT_EQ(written("(plugins-bit-extract #xdeadbeef 32 32)"), "3735928559");
    EXPECT_EQ(written("(plugins-bit-extract #xdeadbeef 32 8)"), "222");
    // Counts 33 to 36 are in the table with all bits set; larger counts
    // are treated the same way.
    EXPECT_EQ(written("(plugins-bit-extract #xdeadbeef 36 36)"), "3735928559");
    EXPECT_EQ(written("(plugins-bit-extract #xdeadbeef 100 100)"), "3735928559");
    // The shift is the 32-bit difference modulo 32: top 0, count 8 shifts
    // by 24.
    EXPECT_EQ(written("(plugins-bit-extract #xdeadbeef 0 8)"), "222");
}

TEST(Primitives, ArgumentsBeyond32BitsAreTakenModulo) {
    EXPECT_EQ(written("(plugins-bit-extract (+ (expt 2 40) 5) 32 32)"), "5");
    EXPECT_EQ(written("(plugins-bit-extract -1 8 8)"), "255");
}

TEST(Primitives, BadArgumentsRaiseSchemeErrors) {
    unsigned long before = guile_errors_caught();
    std::string out = captured_eval("(plugins-left-shift \"a\" 1)");
    EXPECT_NE(out.find("Scheme error: "), std::string::npos) << out;
    EXPECT_NE(out.find("plugins-left-shift"), std::string::npos) << out;
    EXPECT_NE(out.find("Wrong type"), std::string::npos) << out;
    out = captured_eval("(plugins-bit-extract 1 2)");
    EXPECT_NE(out.find("Wrong number of arguments"), std::string::npos) << out;
    out = captured_eval("(plugins-bit-extract 1 2 2.5)");
    EXPECT_NE(out.find("plugins-bit-extract"), std::string::npos) << out;
    EXPECT_EQ(guile_errors_caught(), before + 3);
    // The interpreter is still usable.
    EXPECT_EQ(written("(plugins-left-shift 3 1)"), "6");
}

TEST(Evaluation, LastValueOfSeveralExpressions) {
    EXPECT_EQ(GH_SCM2INT(GH_EVAL_STR("(define eval-test-x 4) (set! eval-test-x 5) (* eval-test-x 10)")), 50);
    EXPECT_EQ(written("eval-test-x"), "5");
}

TEST(Evaluation, SchemeErrorsAreCaughtAndReported) {
    struct row {
        const char* text;
        const char* message;
    } rows[] = {
        {"(error \"boom\" 1 2)", "Scheme error: boom 1 2\n"},
        {"(car 5)", "Scheme error: In procedure car: Wrong type"},
        {"undefined-variable-here", "Scheme error: Unbound variable: undefined-variable-here\n"},
        {"(throw 'custom 1 2)", "Scheme error: Throw to key `custom' with args `(1 2)'.\n"},
        {"(+ 1", "unexpected end of input"},
        {"(raise-exception 'odd)", "Scheme error: "},
        {"(let loop ((n 0)) (loop (+ n 1) 2))", "Wrong number of arguments"},
    };
    for (const row& r : rows) {
        unsigned long before = guile_errors_caught();
        std::string out = captured_eval(r.text);
        EXPECT_NE(out.find(r.message), std::string::npos) << r.text << " gave " << out;
        EXPECT_EQ(guile_errors_caught(), before + 1) << r.text;
    }
    EXPECT_EQ(written("(+ 1 2)"), "3");
}

TEST(Evaluation, AFailedEvaluationGivesFalse) {
    testing::internal::CaptureStdout();
    SCM value = GH_EVAL_STR("(error \"x\")");
    testing::internal::GetCapturedStdout();
    GH_NEW_PROCEDURE2_0("test-same?", [](SCM a, SCM b) { return GH_ULONG2SCM(a == b ? 1 : 0); });
    // #f is what the handler returned.
    char* text = GH_SCM2NEWSTR(value, nullptr);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(written("(test-same? #f #f)"), "1");
}

TEST(Evaluation, SchemeOutputStaysInOrderWithTheProgramsOutput) {
    testing::internal::CaptureStdout();
    std::printf("before ");
    GH_EVAL_STR("(display \"scheme\") (error \"late\")");
    std::printf("after\n");
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "before schemeScheme error: late\nafter\n");
}

TEST(Evaluation, Files) {
    tu::temp_dir dir;
    std::string path = dir.file("half.scm");
    {
        FILE* fp = std::fopen(path.c_str(), "w");
        std::fputs("(define half-loaded 'yes)\n(car '())\n(define never-loaded 'yes)\n", fp);
        std::fclose(fp);
    }
    testing::internal::CaptureStdout();
    GH_EVAL_FILE(path.c_str());
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("Scheme error in " + path + ": In procedure car", 0), 0u) << out;
    EXPECT_EQ(written("half-loaded"), "yes");
    EXPECT_EQ(written("(defined? 'never-loaded)"), "#f");

    testing::internal::CaptureStdout();
    GH_EVAL_FILE(dir.file("absent.scm").c_str());
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("No such file or directory"), std::string::npos) << out;
}

TEST(Conversions, Int) {
    EXPECT_EQ(GH_SCM2INT(GH_EVAL_STR("-5")), -5);
    EXPECT_EQ(GH_SCM2INT(GH_EVAL_STR("2147483647")), 2147483647);
    testing::internal::CaptureStdout();
    EXPECT_EQ(GH_SCM2INT(GH_EVAL_STR("(expt 2 31)")), 0);
    EXPECT_EQ(GH_SCM2INT(GH_EVAL_STR("\"7\"")), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Scheme value is not a 32-bit integer; 0 used\nScheme value is not a 32-bit integer; 0 used\n");
}

TEST(Conversions, StringsAndValues) {
    size_t length = 0;
    char* s = GH_SCM2NEWSTR(GH_EVAL_STR("(string-append \"ab\" \"c\")"), &length);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "abc");
    EXPECT_EQ(length, 3u);
    std::free(s);
    EXPECT_EQ(GH_SCM2NEWSTR(GH_EVAL_STR("'abc"), nullptr), nullptr);

    GH_NEW_PROCEDURE2_0("test-char-and-max", [](SCM, SCM) { return GH_CHAR2SCM('a'); });
    GH_NEW_PROCEDURE3_0("test-max", [](SCM, SCM, SCM) { return GH_ULONG2SCM(0xFFFFFFFFu); });
    EXPECT_EQ(written("(test-char-and-max 1 2)"), "#\\a");
    EXPECT_EQ(written("(test-max 1 2 3)"), "4294967295");
}

TEST(Glue, Registry) {
    const char* setup =
        "(define (test-plugin kind streamable log)"
        "  (lambda (message)"
        "    (case message"
        "      ((description) (lambda () (symbol->string kind)))"
        "      ((streams) (lambda () kind))"
        "      ((streamable) (lambda () streamable))"
        "      ((file-read) (lambda (name id)"
        "                     (set-cdr! log (cons (list name id) (cdr log)))))"
        "      (else #f))))"
        "(define video-log (list 'log)) (define audio-log (list 'log)) (define any-log (list 'log))"
        "(define video (test-plugin 'video #t video-log))"
        "(define audio (test-plugin 'audio #f audio-log))"
        "(define any (test-plugin 'any #f any-log))"
        "(remove-all-plugins)";
    GH_EVAL_STR(setup);
    EXPECT_EQ(written("(number-of-plugins)"), "0");
    GH_EVAL_STR("(add-plugin video) (add-plugin audio) (add-plugin video) (add-plugin any)");
    EXPECT_EQ(written("(number-of-plugins)"), "3");
    EXPECT_EQ(written("(number-of-streamable-plugins)"), "1");

    GH_EVAL_STR("(execute-file-read-plugins  \"0xe0.mpeg\" #xe0)");
    GH_EVAL_STR("(execute-file-read-plugins  \"0xc1.mpeg\" #xc1)");
    GH_EVAL_STR("(execute-file-read-plugins  \"0xbd.mpeg\" #xbd)");
    EXPECT_EQ(written("(cdr video-log)"), "((\"0xe0.mpeg\" 224))");
    EXPECT_EQ(written("(cdr audio-log)"), "((\"0xc1.mpeg\" 193))");
    EXPECT_EQ(written("(cdr any-log)"), "((\"0xbd.mpeg\" 189) (\"0xc1.mpeg\" 193) (\"0xe0.mpeg\" 224))");

    GH_EVAL_STR("(remove-plugin video)");
    EXPECT_EQ(written("(number-of-plugins)"), "2");
    EXPECT_EQ(written("(number-of-streamable-plugins)"), "0");
    GH_EVAL_STR("(remove-all-plugins)");
    EXPECT_EQ(written("(number-of-plugins)"), "0");
}

TEST(Glue, AFailingPluginDoesNotStopTheOthers) {
    GH_EVAL_STR(
        "(define seen '())"
        "(define (failing m) (if (eq? m 'file-read) (lambda (n i) (car '())) #f))"
        "(define (working m) (if (eq? m 'file-read) (lambda (n i) (set! seen (cons n seen))) #f))"
        "(remove-all-plugins) (add-plugin failing) (add-plugin working)");
    unsigned long before = guile_errors_caught();
    std::string out = captured_eval("(execute-file-read-plugins  \"0xe0.mpeg\" #xe0)");
    EXPECT_NE(out.find("Plugin error in plug-in: In procedure car"), std::string::npos) << out;
    EXPECT_EQ(written("seen"), "(\"0xe0.mpeg\")");
    EXPECT_EQ(guile_errors_caught(), before);
    GH_EVAL_STR("(remove-all-plugins)");
}

// ---------------------------------------------------------------------------
// Start-up paths, each in a fresh process of the driver.
tu::run_result run_driver(const std::string& library, const std::string& root,
                          const std::vector<std::string>& expressions = {}) {
    if (library.empty())
        unsetenv("TARVEL_VIEWER_GUILE_LIBRARY");
    else
        setenv("TARVEL_VIEWER_GUILE_LIBRARY", library.c_str(), 1);
    // A driver that hangs is ended, and its test fails, after 60 s.
    std::vector<std::string> argv = {"timeout", "60", GUILE_HOST_DRIVER, root};
    argv.insert(argv.end(), expressions.begin(), expressions.end());
    tu::temp_dir cwd;
    tu::run_result r = tu::run(argv, cwd.path().string(), "/usr/bin/timeout");
    unsetenv("TARVEL_VIEWER_GUILE_LIBRARY");
    return r;
}

TEST(StartUp, NormalPathFindsTheLibraryAndTheGlue) {
    tu::run_result r = run_driver("", DATA_DIR, {"(plugins-bit-extract 291 12 8)"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "plugins available: yes\n=> 18\nend\n");
}

TEST(StartUp, LibraryMissing) {
    tu::run_result r = run_driver("libtarvel-no-such-guile.so", DATA_DIR, {"1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "Could not load guile library:\n"
              "libtarvel-no-such-guile.so: cannot open shared object file: No such file or directory"
              "Plugins will not be available\n"
              "plugins available: no\n=> not evaluated\nend\n");
}

TEST(StartUp, LibraryLackingFunctions) {
    for (const char* library : {STUB_WITHOUT_EVAL, "libm.so.6"}) {
        tu::run_result r = run_driver(library, DATA_DIR, {"1"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out,
                  "Could not load resolve all guile library functions\n"
                  "Plugins will not be available\n"
                  "plugins available: no\n=> not evaluated\nend\n")
            << library;
    }
}

TEST(StartUp, EntryMissing) {
    // Every slot resolves but the entry does not: the body runs directly,
    // silently, without plug-ins.
    tu::run_result r = run_driver(STUB_WITHOUT_ENTER, DATA_DIR, {"1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "plugins available: no\n=> not evaluated\nend\n");
}

TEST(StartUp, GlueMissing) {
    tu::temp_dir root;
    tu::run_result r = run_driver("", root.path().string(), {"(+ 1 2)"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Could not open plugins directory \"" + root.path().string() +
                         "/guile_glue/plugins.scm\". \n"
                         "Plugins will not be available \n"
                         "plugins available: no\n=> 3\nend\n");
}

TEST(StartUp, RootTooLongForThePathBuffer) {
    std::string root = "/" + std::string(600, 'r');
    tu::run_result r = run_driver("", root);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Plugins will not be available \nplugins available: no\n"), std::string::npos) << r.out;
}

// Writes `text` as the glue file under `root`; returns its path.
std::string write_glue(const tu::temp_dir& root, const std::string& text) {
    std::filesystem::create_directory(root.path() / "guile_glue");
    std::string glue = root.file("guile_glue/plugins.scm");
    std::ofstream(glue) << text;
    return glue;
}

TEST(StartUp, GlueRaisingAnErrorAtLoad) {
    tu::temp_dir root;
    std::string glue = write_glue(root, "(define (number-of-plugins) 0)\n(error \"glue broken\")\n");
    tu::run_result r = run_driver("", root.path().string(), {"(number-of-plugins)", "(plugins-left-shift 1 4)"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Scheme error in " + glue + ": glue broken\n" +
                         "plugins available: yes\n=> 0\n=> 16\nend\n");
}

TEST(StartUp, GlueThatLoopsOrCannotBeReadIsStopped) {
    // The time limit comes from the configuration file under HOME.
    tu::temp_dir home;
    std::filesystem::create_directory(home.path() / ".tarvel_tools");
    std::ofstream(home.file(".tarvel_tools/tarvel_viewer.config")) << "scheme_time_limit = 1\n";
    const char* old_home = std::getenv("HOME");
    const std::string saved_home = old_home ? old_home : "/";
    setenv("HOME", home.path().c_str(), 1);

    tu::temp_dir root;
    std::string glue = write_glue(root, "(define (number-of-plugins) 0)\n(let loop () (loop))\n");
    auto start = std::chrono::steady_clock::now();
    tu::run_result r = run_driver("", root.path().string(), {"(number-of-plugins)", "(let loop () (loop))"});
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Scheme error in " + glue + ": time limit of 1 s exceeded, evaluation stopped\n" +
                         "plugins available: yes\n=> 0\n"
                         "Scheme error: time limit of 1 s exceeded, evaluation stopped: "
                         "(object->string (begin (let loop () (loop))))\n"
                         "=> no value\nend\n");
    EXPECT_LT(seconds, 5.0);

    // A glue file that is a device is never read.
    std::filesystem::remove(glue);
    std::filesystem::create_symlink("/dev/zero", glue);
    r = run_driver("", root.path().string());
    EXPECT_EQ(r.out, "Scheme file refused, not a regular file: " + glue +
                         "\nPlugins will not be available \nplugins available: no\nend\n");
    setenv("HOME", saved_home.c_str(), 1);
}

TEST(StartUp, GlueRemovesOldExtractedStreams) {
    tu::temp_dir cwd;
    for (const char* name : {"0xe0.mpeg", "0xc0.mpeg", "keep.mpeg"}) tu::write_file(cwd.file(name), {1, 2});
    unsetenv("TARVEL_VIEWER_GUILE_LIBRARY");
    tu::run_result r = tu::run({GUILE_HOST_DRIVER, DATA_DIR}, cwd.path().string());
    EXPECT_EQ(r.out, "plugins available: yes\nend\n");
    EXPECT_FALSE(std::filesystem::exists(cwd.file("0xe0.mpeg")));
    EXPECT_FALSE(std::filesystem::exists(cwd.file("0xc0.mpeg")));
    EXPECT_TRUE(std::filesystem::exists(cwd.file("keep.mpeg")));
}

int tests_result = 1;

void run_tests(int, char**) {
    init_plugins();
    if (!plugin_extensions_are_available) {
        std::fprintf(stderr, "The glue file in %s could not be loaded\n", DATA_DIR);
        return;
    }
    tests_result = RUN_ALL_TESTS();
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    tarvel_viewer_root_dir = DATA_DIR;
    unsetenv("TARVEL_VIEWER_GUILE_LIBRARY");
    load_guile();
    if (!g_guile_lib || !resolve_gh_enter()) {
        std::fprintf(stderr, "These tests need Guile 3 (Debian package guile-3.0-libs)\n");
        return 1;
    }
    GH_ENTER(argc, argv, run_tests);
    close_guile();
    return tests_result;
}
