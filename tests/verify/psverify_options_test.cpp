// psverify's command line: --help and --version answer on standard output
// with status 0; a wrong command line is one line on standard error and
// status 2.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "test_util.h"

namespace {

tu::run_result psverify(const std::vector<std::string>& args) {
    std::vector<std::string> argv{PSVERIFY_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return tu::run(argv, ".");
}

TEST(PsverifyOptions, HelpListsEveryOptionOnStandardOutput) {
    // --help wins wherever it stands, also after a file.
    for (const auto& args : {std::vector<std::string>{"--help"}, {"--json", "x.mpg", "--help"}}) {
        tu::run_result r = psverify(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out.rfind("usage: psverify [--json] [--dvb] [--max-events N] [--files-from LIST] [FILE...]\n", 0), 0u)
            << r.out;
        for (const char* option : {"\n  --json ", "\n  --max-events N ", "\n  --files-from LIST ", "\n  --help ",
                                   "\n  --version ", "\n  -- "})
            EXPECT_NE(r.out.find(option), std::string::npos) << option;
    }
}

TEST(PsverifyOptions, VersionIsTheProjectVersion) {
    tu::run_result r = psverify({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string("psverify ") + TOOLS_VERSION + "\n");
    EXPECT_EQ(r.err, "");
}

TEST(PsverifyOptions, AListThatCannotBeReadIsOneLineAndStatusTwo) {
    tu::run_result r = psverify({"--files-from", "/nonexistent/list.txt"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "psverify: /nonexistent/list.txt: No such file or directory\n");
}

TEST(PsverifyOptions, WrongCommandLineIsOneLineOnStandardError) {
    for (const auto& args : {std::vector<std::string>{"--frobnicate", "x.mpg"}, {"-h"}, {}, {"--max-events"},
                             {"--max-events", "-1", "x.mpg"}, {"--max-events", "many", "x.mpg"},
                             {"--files-from"}, {"--files-from", "a", "--files-from", "b"}}) {
        tu::run_result r = psverify(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_NE(r.err.find("usage: psverify"), std::string::npos) << r.err;
    }
    EXPECT_NE(psverify({"--frobnicate", "x.mpg"}).err.find("unknown option '--frobnicate'"), std::string::npos);
}

TEST(PsverifyOptions, AfterDoubleDashAnOptionNameIsAFile) {
    tu::run_result r = psverify({"--", "--help"});
    EXPECT_EQ(r.status, 2);  // no file of that name
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("psverify: --help: "), std::string::npos) << r.err;
}

}  // namespace
