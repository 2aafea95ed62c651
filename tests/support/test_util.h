// Small helpers for tests: temporary directories, files and running a
// program with its output captured.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace tu {

namespace fs = std::filesystem;

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class temp_dir {
public:
    temp_dir() {
        std::string tmpl = (fs::temp_directory_path() / "mpegtools-test-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
    }
    ~temp_dir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    const fs::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    fs::path path_;
};

inline void write_file(const std::string& path, const std::vector<uint8_t>& data) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::vector<uint8_t> read_bytes(const std::string& path) {
    std::string s = read_file(path);
    return std::vector<uint8_t>(s.begin(), s.end());
}

// `value` in lower-case hexadecimal digits, without a prefix.
inline std::string hex(int64_t value) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%llx", static_cast<unsigned long long>(value));
    return buf;
}

struct run_result {
    int status = -1;  // exit status, or -1 when killed by a signal
    std::string out;
    std::string err;
    long max_rss_kb = 0;     // peak resident memory of the program
    bool timed_out = false;  // killed after run_options::timeout_seconds
};

struct run_options {
    std::string stdin_path = "/dev/null";
    std::string stdout_path;  // empty: captured into run_result::out
    int timeout_seconds = 0;  // 0: no limit; otherwise killed after it
};

// Runs `argv` (argv[0] is the program path as typed) in `cwd` with standard
// error captured and standard input and output as `options` say.
inline run_result run_with(const std::vector<std::string>& argv, const std::string& cwd,
                           const std::string& program_path, const run_options& options) {
    temp_dir io;
    std::string out_path = options.stdout_path.empty() ? io.file("out") : options.stdout_path;
    std::string err_path = io.file("err");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, options.stdin_path.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::string old_cwd = fs::current_path().string();
    fs::current_path(cwd);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid;
    std::string exe = program_path.empty() ? argv[0] : program_path;
    int rc = posix_spawn(&pid, exe.c_str(), &actions, nullptr, args.data(), environ);
    fs::current_path(old_cwd);
    posix_spawn_file_actions_destroy(&actions);
    run_result r;
    if (rc != 0) throw std::runtime_error("cannot start " + exe);
    int wstatus = 0;
    struct rusage usage {};
    for (int waited_ms = 0;; waited_ms += 10) {
        pid_t done = wait4(pid, &wstatus, options.timeout_seconds > 0 ? WNOHANG : 0, &usage);
        if (done == pid || (done < 0 && errno != EINTR)) break;
        if (options.timeout_seconds > 0 && waited_ms >= options.timeout_seconds * 1000) {
            kill(pid, SIGKILL);
            r.timed_out = true;
        }
        usleep(10000);
    }
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    r.max_rss_kb = usage.ru_maxrss;
    if (options.stdout_path.empty()) r.out = read_file(out_path);
    r.err = read_file(err_path);
    return r;
}

// The path of a program found on PATH, or "" when it is not there.
inline std::string find_program(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    for (size_t start = 0; start <= dirs.size();) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        const std::string dir = dirs.substr(start, end - start);
        const std::string candidate = dir + "/" + name;
        if (!dir.empty() && access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return "";
}

// Opens a FIFO for writing once a reader has opened it, waiting for that up
// to `seconds`; the descriptor is blocking.  -1 when no reader came.
inline int open_fifo_for_writing(const std::string& path, int seconds = 60) {
    for (int waited_ms = 0; waited_ms < seconds * 1000; waited_ms += 10) {
        const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) {
            fcntl(fd, F_SETFL, 0);
            return fd;
        }
        usleep(10000);
    }
    return -1;
}

// Runs `argv` in `cwd` with standard input empty and standard output and
// standard error captured.
inline run_result run(const std::vector<std::string>& argv, const std::string& cwd,
                      const std::string& program_path = "") {
    return run_with(argv, cwd, program_path, run_options{});
}

}  // namespace tu
