#include "sender_harness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <thread>

namespace sender_test {

namespace {

double seconds_until(Clock::time_point deadline) {
    return std::chrono::duration<double>(deadline - Clock::now()).count();
}

Clock::time_point deadline_after(double seconds) {
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(
                              std::chrono::duration<double>(seconds));
}

int poll_ms(Clock::time_point deadline, int cap_ms) {
    const double left = seconds_until(deadline);
    if (left <= 0) {
        return 0;
    }
    const int ms = static_cast<int>(left * 1000) + 1;
    return ms < cap_ms ? ms : cap_ms;
}

sockaddr_in test_address() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Binds to 127.0.0.1:4800, waiting a little if another run still holds the port.
bool bind_test_port(int fd, const char* kind, std::string* error) {
    const sockaddr_in address = test_address();
    const auto deadline = deadline_after(kWaitLimit);
    for (;;) {
        if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
            return true;
        }
        if (errno != EADDRINUSE || seconds_until(deadline) <= 0) {
            *error = std::string("cannot bind ") + kind + " 127.0.0.1:4800 (" +
                     std::strerror(errno) +
                     "); the port is needed by these tests, stop whatever holds it";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

}  // namespace

// ---------------------------------------------------------------- Child

Child::Child(const std::string& program, const std::vector<std::string>& args) {
    std::vector<std::string> words{program};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return;
    }
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        // Never outlive the test, even if the test process itself is killed.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(127);
        }
        dup2(fds[1], STDOUT_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return;
    }
    pid_ = pid;
    out_ = fds[0];
    fcntl(out_, F_SETFL, fcntl(out_, F_GETFL) | O_NONBLOCK);
}

Child::~Child() {
    stop(SIGKILL);
    if (out_ >= 0) {
        close(out_);
    }
}

void Child::read_available() {
    if (out_ < 0) {
        return;
    }
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(out_, buffer, sizeof buffer);
        if (got > 0) {
            output.append(buffer, static_cast<std::size_t>(got));
            continue;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got == 0) {
            close(out_);  // end of output
            out_ = -1;
        }
        return;
    }
}

bool Child::wait_exit(double seconds) {
    const auto deadline = deadline_after(seconds);
    while (!reaped_) {
        read_available();
        if (waitpid(pid_, &status_, WNOHANG) == pid_) {
            reaped_ = true;
            break;
        }
        if (seconds_until(deadline) <= 0) {
            return false;
        }
        if (out_ >= 0) {
            pollfd p{out_, POLLIN, 0};
            poll(&p, 1, poll_ms(deadline, 20));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    read_available();
    return true;
}

void Child::stop(int signal) {
    if (pid_ <= 0 || reaped_) {
        return;
    }
    kill(pid_, signal);
    while (waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    read_available();
}

int Child::exit_code() const {
    return reaped_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

int Child::term_signal() const {
    return reaped_ && WIFSIGNALED(status_) ? WTERMSIG(status_) : 0;
}

Finished run_to_end(const std::string& program, const std::vector<std::string>& args,
                    double seconds) {
    Finished result;
    Child child(program, args);
    if (!child.started()) {
        result.output = "<could not start " + program + ">";
        return result;
    }
    if (!child.wait_exit(seconds)) {
        result.timed_out = true;
        child.stop(SIGKILL);
    }
    result.output = child.output;
    result.exit_code = child.exit_code();
    return result;
}

bool read_stream(int fd, std::string& received) {
    char buffer[65536];
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got <= 0) return false;
    received.append(buffer, static_cast<std::size_t>(got));
    return true;
}

bool pump(Child& child, int fd, const std::function<void()>& on_readable,
          const std::function<bool()>& done, double seconds) {
    const auto deadline = deadline_after(seconds);
    for (;;) {
        child.read_available();
        if (done()) {
            return true;
        }
        if (seconds_until(deadline) <= 0) {
            return false;
        }
        pollfd fds[2];
        nfds_t count = 0;
        if (fd >= 0) {
            fds[count++] = pollfd{fd, POLLIN, 0};
        }
        if (child.output_fd() >= 0) {
            fds[count++] = pollfd{child.output_fd(), POLLIN, 0};
        }
        if (count == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        if (poll(fds, count, poll_ms(deadline, 50)) > 0 && fd >= 0 &&
            (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            on_readable();
        }
    }
}

// ---------------------------------------------------------------- UdpReceiver

UdpReceiver::UdpReceiver() {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        error_ = std::string("socket: ") + std::strerror(errno);
        return;
    }
    // The sender bursts up to 490 datagrams between pauses; give them room.
    const int size = 8 << 20;
    if (setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    const int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
    setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    if (!bind_test_port(fd_, "UDP", &error_)) {
        close(fd_);
        fd_ = -1;
    }
}

UdpReceiver::~UdpReceiver() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

void UdpReceiver::read_available() {
    for (;;) {
        char data[2048];
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec)) + CMSG_SPACE(sizeof(std::uint32_t))];
        iovec io{data, sizeof data};
        msghdr message{};
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t got = recvmsg(fd_, &message, MSG_DONTWAIT);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if ((message.msg_flags & MSG_TRUNC) != 0) {
            truncated = true;
        }
        Datagram datagram;
        datagram.bytes.assign(data, static_cast<std::size_t>(got));
        std::uint32_t dropped = 0;
        bool stamped = false;
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level != SOL_SOCKET) {
                continue;
            }
            if (c->cmsg_type == SO_RXQ_OVFL) {
                std::memcpy(&dropped, CMSG_DATA(c), sizeof dropped);
            } else if (c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec stamp;
                std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
                datagram.when = static_cast<double>(stamp.tv_sec) + stamp.tv_nsec / 1e9;
                stamped = true;
            }
        }
        if (!stamped) {
            timespec now;
            clock_gettime(CLOCK_REALTIME, &now);
            datagram.when = static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
        }
        datagram.index = received.size() + dropped;
        received.push_back(std::move(datagram));
    }
}

// ---------------------------------------------------------------- TcpPort

TcpPort::TcpPort(bool listening) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        error_ = std::string("socket: ") + std::strerror(errno);
        return;
    }
    const int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (!bind_test_port(fd_, "TCP", &error_) || (listening && !listen())) {
        close(fd_);
        fd_ = -1;
    }
}

TcpPort::~TcpPort() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

bool TcpPort::listen() {
    if (::listen(fd_, 4) != 0) {
        error_ = std::string("listen on 127.0.0.1:4800: ") + std::strerror(errno);
        return false;
    }
    return true;
}

int TcpPort::accept(double seconds) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(seconds * 1000)) <= 0) {
        return -1;
    }
    return accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
}

// ---------------------------------------------------------------- misc

int count_sockets(pid_t pid) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* listing = opendir(dir.c_str());
    if (listing == nullptr) {
        return -1;
    }
    int sockets = 0;
    while (const dirent* entry = readdir(listing)) {
        char target[PATH_MAX];
        const std::string link = dir + "/" + entry->d_name;
        const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
        if (length > 0 && std::string(target, static_cast<std::size_t>(length)).rfind("socket:", 0) == 0) {
            ++sockets;
        }
    }
    closedir(listing);
    return sockets;
}

}  // namespace sender_test
