// Helpers for driving streamsend from tests: launching it with its standard
// output on a pipe, and receiving what it sends on 127.0.0.1:4800.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sender_test {

constexpr std::uint16_t kPort = 4800;

using Clock = std::chrono::steady_clock;

// A launched program.  Its standard output is collected in `output`; the
// process is killed and reaped when the object goes away, whatever happened.
class Child {
public:
    Child(const std::string& program, const std::vector<std::string>& args);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    int output_fd() const { return out_; }

    // Reads whatever output is available now (never blocks).
    void read_available();
    // Waits for the process to end, collecting its output; false on timeout.
    bool wait_exit(double seconds);
    // Sends `signal` and reaps the process.
    void stop(int signal);

    bool exited() const { return reaped_; }
    // Exit status as the shell sees it, or -1 when killed by a signal.
    int exit_code() const;
    // Signal that ended the process, or 0.
    int term_signal() const;

    std::string output;

private:
    pid_t pid_ = -1;
    int out_ = -1;
    bool reaped_ = false;
    int status_ = 0;
};

// How long a test waits for something that must happen: far above what a
// loaded machine needs, since every wait ends as soon as its condition
// holds.
inline constexpr double kWaitLimit = 60.0;

// Runs a program that is expected to end by itself within `seconds`.
struct Finished {
    std::string output;
    int exit_code = -1;
    bool timed_out = false;
};
Finished run_to_end(const std::string& program, const std::vector<std::string>& args,
                    double seconds = kWaitLimit);

// Waits until `done` holds or `seconds` pass, collecting the child's output and
// calling `on_readable` whenever `fd` (if >= 0) has data.  Returns done().
bool pump(Child& child, int fd, const std::function<void()>& on_readable,
          const std::function<bool()>& done, double seconds);

// Appends what a stream socket has ready to `received`; false when the peer
// has closed the connection (or the read failed).
bool read_stream(int fd, std::string& received);

struct Datagram {
    std::string bytes;
    std::size_t index = 0;  // position in the sender's sequence, counting lost ones
    double when = 0;        // arrival time in seconds (kernel time stamp)
};

// A UDP socket bound to 127.0.0.1:4800 with a large receive buffer.  Each
// datagram gets its sequence position from the socket's drop counter, so a
// datagram lost on an overloaded machine does not shift the others.
class UdpReceiver {
public:
    UdpReceiver();
    ~UdpReceiver();
    UdpReceiver(const UdpReceiver&) = delete;
    UdpReceiver& operator=(const UdpReceiver&) = delete;

    bool ok() const { return fd_ >= 0; }
    const std::string& error() const { return error_; }
    int fd() const { return fd_; }

    // Reads every queued datagram into `received` (never blocks).
    void read_available();

    std::vector<Datagram> received;
    bool truncated = false;  // a datagram larger than any block arrived

private:
    int fd_ = -1;
    std::string error_;
};

// A TCP socket bound to 127.0.0.1:4800; listening only when asked, so that a
// connection attempt is refused until listen() is called.
class TcpPort {
public:
    explicit TcpPort(bool listening);
    ~TcpPort();
    TcpPort(const TcpPort&) = delete;
    TcpPort& operator=(const TcpPort&) = delete;

    bool ok() const { return fd_ >= 0; }
    const std::string& error() const { return error_; }
    bool listen();
    // Accepts one connection within `seconds`; -1 on timeout.  The caller
    // owns the descriptor.
    int accept(double seconds);

private:
    int fd_ = -1;
    std::string error_;
};

// Number of sockets the process holds open.
int count_sockets(pid_t pid);

}  // namespace sender_test
