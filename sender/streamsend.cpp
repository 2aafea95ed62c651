// streamsend: plays a stream file into a socket on the local machine, block by
// block and paced, so that a receiver on a fixed port gets a steady feed.  The
// file is read as opaque bytes.  Every 500 blocks the throughput achieved since
// the socket was set up is reported.  An input that cannot be looped over (a
// directory, an empty file, a pipe or FIFO at its end) ends the run with one
// line and status 1 instead of spinning.
//
// Two behaviours are chosen when the program is built (both on by default):
//   STREAMSEND_USE_DATAGRAMS  1: one UDP datagram per block;
//                             0: a TCP connection carries the blocks.
//   STREAMSEND_LOOP_STREAM    1: socket set-up is retried for ever and the file
//                                starts again at its end;
//                             0: a failed set-up or the end of the file ends
//                                the run.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#ifndef STREAMSEND_USE_DATAGRAMS
#define STREAMSEND_USE_DATAGRAMS 1
#endif
#ifndef STREAMSEND_LOOP_STREAM
#define STREAMSEND_LOOP_STREAM 1
#endif

namespace {

constexpr bool use_datagrams = STREAMSEND_USE_DATAGRAMS != 0;
constexpr bool loop_stream = STREAMSEND_LOOP_STREAM != 0;

constexpr int destination_port = 4800;
constexpr const char* destination_address = "127.0.0.1";

constexpr std::size_t block_size = 510;   // bytes read per block
constexpr std::size_t buffer_size = 512;  // room in the block buffer
constexpr int pause_after_block = 10;     // block of each cycle followed by the pause
constexpr useconds_t pause_microseconds = 300000;
constexpr int report_interval = 500;      // blocks per cycle / per throughput report
constexpr unsigned retry_delay_seconds = 3;

// Everything the program keeps while it runs.
struct RunState {
    FILE* input = nullptr;
    std::string input_path;
    int sock = -1;
    sockaddr_in destination{};
    std::time_t start_time = 0;
    std::int64_t total_sent = 0;  // bytes sent since the socket was set up
    int block_counter = 0;        // 1..500, then back to 0
};

// Prints a message and flushes it at once: the program usually runs until it
// is stopped from outside, and its output often goes to a pipe or a file.
__attribute__((format(printf, 1, 2))) void say(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

// Prints the text unchanged and ends the process with status -1 (255).
[[noreturn]] void fatal_exit(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
    std::exit(-1);
}

// Ends the run on an input that cannot be played in a loop, with one line
// saying why and status 1.
[[noreturn]] void refuse_input(const std::string& path, const char* reason) {
    say("Cannot replay %s: %s\n", path.c_str(), reason);
    std::exit(1);
}

FILE* open_input_file(const char* path) {
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        const std::string text = std::string("Could not open: ") + path;
        fatal_exit(text.c_str());
    }
    // A directory opens but never yields a byte, and an empty file has
    // nothing to send: looping over either would only spin.
    struct stat st {};
    if (fstat(fileno(file), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            refuse_input(path, "it is a directory");
        }
        if (loop_stream && S_ISREG(st.st_mode) && st.st_size == 0) {
            refuse_input(path, "it is empty");
        }
    }
    say("Using file %s\n", path);
    return file;
}

// Makes one attempt at setting up the sending socket.  Returns the descriptor,
// or -1 when any step fails; a socket made by a failed attempt is closed here so
// that retrying does not pile up descriptors.
int open_sender_socket(int port, const char* address, sockaddr_in* destination) {
    say("Connecting to %s on port %d\n", address, port);

    const int sock = socket(AF_INET, use_datagrams ? SOCK_DGRAM : SOCK_STREAM, 0);
    if (sock < 0) {
        return -1;
    }

    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(static_cast<std::uint16_t>(port));
    target.sin_addr.s_addr = inet_addr(address);
    if (target.sin_addr.s_addr == INADDR_NONE) {
        close(sock);
        return -1;
    }

    int result;
    if constexpr (use_datagrams) {
        // Any local address, a port chosen by the system.
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(0);
        local.sin_addr.s_addr = htonl(INADDR_ANY);
        result = bind(sock, reinterpret_cast<const sockaddr*>(&local), sizeof local);
    } else {
        result = connect(sock, reinterpret_cast<const sockaddr*>(&target), sizeof target);
    }
    if (result < 0) {
        close(sock);
        return -1;
    }

    *destination = target;
    return sock;
}

// Sends one block.  Returns false when the run has to stop: a stream send that
// did not take the whole block.  A failed datagram is dropped silently.
bool send_block(RunState& run, const unsigned char* block, std::size_t length) {
    if constexpr (use_datagrams) {
        const ssize_t sent = sendto(run.sock, block, length, 0,
                                    reinterpret_cast<const sockaddr*>(&run.destination),
                                    sizeof run.destination);
        if (sent > 0) {
            run.total_sent += sent;
        }
        return true;
    } else {
        // A peer that went away must end the run with "Send failed", not kill
        // the process with SIGPIPE.
        const ssize_t sent = send(run.sock, block, length, MSG_NOSIGNAL);
        if (sent < static_cast<ssize_t>(length)) {
            say("Send failed");
            return false;
        }
        run.total_sent += sent;
        return true;
    }
}

void report_throughput(const RunState& run) {
    const double elapsed = std::difftime(std::time(nullptr), run.start_time);
    // Within the first second elapsed is 0 and the rate prints as "inf".
    const double rate = static_cast<double>(run.total_sent * 8) / elapsed;
    // The byte count shows the low 32 bits of the total only.
    const auto low_bits = static_cast<std::int32_t>(static_cast<std::uint32_t>(run.total_sent));
    say("Throughput %f bps or %f Mbps (%d bytes after %f secs\n", rate, rate / 1e6,
        static_cast<int>(low_bits), elapsed);
}

void set_up_socket(RunState& run) {
    for (;;) {
        run.sock = open_sender_socket(destination_port, destination_address, &run.destination);
        if (run.sock >= 0) {
            return;
        }
        if constexpr (!loop_stream) {
            fatal_exit("Unable to initialize socket\n");
        }
        say("Unable to connect.  Will try again\n");
        sleep(retry_delay_seconds);
    }
}

void send_loop(RunState& run) {
    unsigned char block[buffer_size];
    // Bytes read since the file was (re)started: a pass that reads nothing
    // would loop without end.
    std::int64_t read_this_pass = 0;
    for (;;) {
        const std::size_t length = std::fread(block, 1, block_size, run.input);
        read_this_pass += static_cast<std::int64_t>(length);
        if (length == 0) {
            // End of file or a read error.
            if constexpr (loop_stream) {
                // A pipe or FIFO cannot be started again: it is played once,
                // as long as its writer feeds it, and then the run ends.
                if (std::fseek(run.input, 0, SEEK_SET) != 0) {
                    const std::string reason = std::string("it cannot be rewound (") + std::strerror(errno) + ")";
                    refuse_input(run.input_path, reason.c_str());
                }
                if (read_this_pass == 0) {
                    refuse_input(run.input_path, std::ferror(run.input) ? "it cannot be read" : "it is empty");
                }
                say("Looping back to start\n");
                std::clearerr(run.input);
                read_this_pass = 0;
                continue;
            }
            say("Reading done\n");
            return;
        }

        if (!send_block(run, block, length)) {
            return;
        }

        ++run.block_counter;
        if (run.block_counter == report_interval) {
            report_throughput(run);
            run.block_counter = 0;
        } else if (run.block_counter == pause_after_block) {
            usleep(pause_microseconds);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    RunState run;
    const char* program = (argc > 0 && argv[0] != nullptr) ? argv[0] : "";

    // Arguments at positions 1, 3, 5, ... are examined; the one after each is
    // skipped.  A second character 'f' names the input file (the first
    // character is not looked at).
    for (int i = 1; i < argc; i += 2) {
        const char* arg = argv[i];
        if (arg[0] != '\0' && arg[1] == 'f') {
            FILE* file = open_input_file(arg + 2);
            if (run.input != nullptr) {
                std::fclose(run.input);  // the last file named is the one sent
            }
            run.input = file;
            run.input_path = arg + 2;
        } else {
            say("Ignoring %s\n", arg);
        }
    }

    if (run.input == nullptr) {
        say("No Input file -- %s -fFILE\n", program);
        return -1;
    }

    set_up_socket(run);
    run.start_time = std::time(nullptr);

    send_loop(run);

    std::fclose(run.input);
    close(run.sock);
    return 0;
}
