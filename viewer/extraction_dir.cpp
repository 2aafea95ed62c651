// The analyser's private directory for extraction files.  The parser writes
// the plug-ins' "0x<id>.mpeg" files there, and every clearing of them
// happens there, so files of the same name in the user's working directory
// are never touched.  The directory goes when the program ends: at the end
// of main_prog, at exit(), and on SIGINT, SIGTERM or SIGHUP.
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "parser.h"
#include "shell.h"

namespace {

// Paths the signal handler may remove, prepared beforehand: a handler may
// only call functions such as unlink and rmdir, not walk a directory.
std::array<std::array<char, 512>, 256> extraction_paths;
std::array<char, 512> directory_path;
volatile sig_atomic_t directory_made = 0;

void remove_prepared_paths() {
    for (const auto& path : extraction_paths) unlink(path.data());
    rmdir(directory_path.data());
}

void signal_cleanup(int sig) {
    if (directory_made) remove_prepared_paths();
    // Ends the process as the signal itself would have.
    signal(sig, SIG_DFL);
    raise(sig);
}

void exit_cleanup() { remove_extraction_directory(); }

}  // namespace

bool make_extraction_directory() {
    const char* tmp = std::getenv("TMPDIR");
    std::string base = tmp && *tmp ? tmp : "/tmp";
    std::string templ = base + "/tarvel_viewer.XXXXXX";
    if (templ.size() + 16 >= directory_path.size() || !mkdtemp(templ.data())) {
        templ = "/tmp/tarvel_viewer.XXXXXX";
        if (!mkdtemp(templ.data())) {
            std::fprintf(stderr, "Could not create a directory for the extracted streams: %s\n",
                         std::strerror(errno));
            return false;
        }
    }
    _extraction_directory = templ;
    std::snprintf(directory_path.data(), directory_path.size(), "%s", templ.c_str());
    for (int id = 0; id < 256; ++id)
        std::snprintf(extraction_paths[id].data(), extraction_paths[id].size(), "%s",
                      extraction_file_path(static_cast<uint8_t>(id)).c_str());
    directory_made = 1;

    static bool handlers_installed = false;
    if (!handlers_installed) {
        handlers_installed = true;
        std::atexit(exit_cleanup);
        struct sigaction action {};
        action.sa_handler = signal_cleanup;
        sigemptyset(&action.sa_mask);
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &action, nullptr);
    }
    return true;
}

void clear_extraction_files() {
    if (!_extraction_directory.empty()) delete_extracted_streams();
}

void remove_extraction_directory() {
    if (!directory_made) return;
    directory_made = 0;
    delete_extracted_streams();
    remove_prepared_paths();
    _extraction_directory.clear();
}
