// psverify's command line.  The options and their one-line descriptions are
// listed once, in `option_help`; the manual page (man/psverify.1.scd) says
// the same at length, and a test checks that it names every option.
#include "options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#ifndef TOOLS_VERSION
#error "TOOLS_VERSION (the project's version, set in CMake) is not defined"
#endif

namespace {

constexpr const char* usage_line = "usage: psverify [--json] [--dvb] [--max-events N] [--files-from LIST] [FILE...]";

struct option_help_struct {
    const char* name;
    const char* text;
};

constexpr option_help_struct option_help[] = {
    {"--json", "write one JSON document instead of the text report"},
    {"--dvb", "size transport streams' AC-3 buffers as DVB does (5,696 bytes, not 2,592)"},
    {"--max-events N", "list at most N events per stream (default 10), count the rest"},
    {"--files-from LIST", "also check the files LIST names, one per line ('-': standard input)"},
    {"--help", "print this help and exit"},
    {"--version", "print the name and version and exit"},
    {"--", "take every later argument as a FILE, even one starting with '-'"},
};
static_assert(default_max_events == 10, "the help text names the default");

// One line on standard error: what is wrong, when there is more to say than
// the usage, then the usage.
[[noreturn]] void usage_error(const std::string& problem = "") {
    if (problem.empty())
        std::fprintf(stderr, "%s\n", usage_line);
    else
        std::fprintf(stderr, "psverify: %s; %s\n", problem.c_str(), usage_line);
    std::exit(2);
}

[[noreturn]] void print_help() {
    std::printf("%s\n"
                "Replays each MPEG program stream, MPEG-1 system stream or transport stream FILE\n"
                "through the decoder buffers of its elementary streams (the P-STD, the STD or the\n"
                "T-STD) and reports underflows, overflows and the other breaches of the model.\n"
                "\n"
                "Options:\n",
                usage_line);
    for (const option_help_struct& o : option_help) std::printf("  %-16s %s\n", o.name, o.text);
    std::printf("\n"
                "Exit status: 0 when every file conforms, 1 when a modelled stream underflows or\n"
                "overflows, 2 when a file cannot be read or checked (no pack, or a transport\n"
                "stream without PCR), or on a usage error.\n"
                "See psverify(1).\n");
    std::exit(std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 2);
}

[[noreturn]] void print_version() {
    std::printf("psverify %s\n", TOOLS_VERSION);
    std::exit(std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 2);
}

}  // namespace

options_struct parse_options(int argc, char** argv) {
    options_struct o;
    bool files_only = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (!files_only && a == "--help") {
            print_help();
        } else if (!files_only && a == "--version") {
            print_version();
        } else if (!files_only && a == "--json") {
            o.json = true;
        } else if (!files_only && a == "--dvb") {
            o.dvb = true;
        } else if (!files_only && a == "--max-events") {
            if (i + 1 >= argc) usage_error("--max-events needs a number");
            char* end = nullptr;
            errno = 0;
            const long long n = std::strtoll(argv[++i], &end, 10);
            if (errno || !end || *end || end == argv[i] || n < 0)
                usage_error("--max-events needs a whole number of 0 or more, not '" + std::string(argv[i]) + "'");
            o.max_events = n;
        } else if (!files_only && a == "--files-from") {
            if (i + 1 >= argc) usage_error("--files-from needs a file that lists the files");
            if (!o.files_from.empty()) usage_error("--files-from can be given once");
            o.files_from = argv[++i];
            if (o.files_from.empty()) usage_error("--files-from needs a file that lists the files");
        } else if (!files_only && a == "--") {
            files_only = true;
        } else if (!files_only && a.size() > 1 && a[0] == '-') {
            usage_error("unknown option '" + a + "'");
        } else {
            o.files.push_back(a);
        }
    }
    if (o.files.empty() && o.files_from.empty()) usage_error();
    return o;
}
