// Runs the built streamsend programs against real sockets on 127.0.0.1:4800.
// All tests here use that one port, so CTest runs them one at a time.

#include "sender_harness.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

namespace fs = std::filesystem;
using namespace sender_test;

namespace {

const std::string kSender = STREAMSEND_PROGRAM;            // UDP, looping
const std::string kTcpOnce = STREAMSEND_TCP_ONCE_PROGRAM;  // TCP, one pass, one attempt
const std::string kTcpLoop = STREAMSEND_TCP_LOOP_PROGRAM;  // TCP, looping, retrying

constexpr std::size_t kBlock = 510;
const std::string kConnecting = "Connecting to 127.0.0.1 on port 4800\n";
const std::string kLooping = "Looping back to start";

std::size_t blocks_per_pass(const std::string& content) {
    return (content.size() + kBlock - 1) / kBlock;
}

// The block the sender sends as its `index`-th datagram (counting from 0).
std::string expected_block(const std::string& content, std::size_t index) {
    return content.substr(index % blocks_per_pass(content) * kBlock, kBlock);
}

::testing::AssertionResult follow_file(const std::vector<Datagram>& datagrams,
                                       const std::string& content) {
    for (const Datagram& d : datagrams) {
        if (d.bytes != expected_block(content, d.index)) {
            return ::testing::AssertionFailure()
                   << "datagram " << d.index << " (" << d.bytes.size()
                   << " bytes) is not block " << d.index % blocks_per_pass(content)
                   << " of the " << content.size() << "-byte file";
        }
    }
    return ::testing::AssertionSuccess();
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::size_t count_of(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

// The throughput report for `bytes` sent after `secs` whole seconds, without
// its line end.
std::string report_line(long long bytes, double secs) {
    const double rate = static_cast<double>(bytes * 8) / secs;
    char line[256];
    std::snprintf(line, sizeof line, "Throughput %f bps or %f Mbps (%d bytes after %f secs", rate,
                  rate / 1e6, static_cast<int>(bytes), secs);
    return line;
}

// Reads the byte count and elapsed time from a line that is exactly a
// throughput report for them.
bool parse_report(const std::string& line, long long* bytes, double* secs) {
    if (std::sscanf(line.c_str(), "Throughput %*s bps or %*s Mbps (%lld bytes after %lf secs",
                    bytes, secs) != 2) {
        return false;
    }
    // Elapsed time is counted in whole seconds.
    return *secs >= 0 && *secs < 30 && *secs == std::floor(*secs) && line == report_line(*bytes, *secs);
}

::testing::AssertionResult is_report(const std::string& line, long long bytes) {
    long long shown = 0;
    double secs = 0;
    if (!parse_report(line, &shown, &secs)) {
        return ::testing::AssertionFailure() << "not a throughput report: \"" << line << "\"";
    }
    if (shown != bytes) {
        return ::testing::AssertionFailure() << "expected " << bytes << " bytes: \"" << line << "\"";
    }
    return ::testing::AssertionSuccess();
}

// Lines printed while sending: an end-of-file message per pass and, once 500
// blocks have gone out, throughput reports.
::testing::AssertionResult only_loop_messages(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        long long bytes = 0;
        double secs = 0;
        if (line != kLooping && !parse_report(line, &bytes, &secs)) {
            return ::testing::AssertionFailure() << "unexpected line \"" << line << "\"";
        }
    }
    return ::testing::AssertionSuccess();
}

class Streamsend : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "streamsend-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    // Writes a file of `size` pseudo-random bytes and returns its path.
    std::string make_file(const std::string& name, std::size_t size, std::string* content) {
        std::mt19937 random(static_cast<unsigned>(size * 7919 + name.size()));
        content->resize(size);
        for (char& c : *content) {
            c = static_cast<char>(random() & 0xff);
        }
        const std::string path = (dir_ / name).string();
        std::ofstream(path, std::ios::binary).write(content->data(), static_cast<std::streamsize>(size));
        return path;
    }

    // Receives until the datagram at sequence position `index` (or later) arrived.
    static bool receive_through(Child& child, UdpReceiver& rx, std::size_t index, double seconds = kWaitLimit) {
        return pump(
            child, rx.fd(), [&] { rx.read_available(); },
            [&] { return !rx.received.empty() && rx.received.back().index >= index; }, seconds);
    }

    fs::path dir_;
};

// ------------------------------------------------------------------ command line

TEST_F(Streamsend, FatalArgumentCasesPrintTheirTextAndExit255) {
    std::string content;
    const std::string good = make_file("good.mpg", 1000, &content);
    const std::string missing = (dir_ / "missing.mpg").string();

    struct Case {
        std::vector<std::string> args;
        std::string output;
    };
    const std::vector<Case> cases = {
        {{}, "No Input file -- " + kSender + " -fFILE\n"},
        // "-f" alone names the empty path.
        {{"-f"}, "Could not open: "},
        {{"-f" + missing}, "Could not open: " + missing},
        // Positions 2 and 4 are skipped unseen; short and empty arguments are ignored.
        {{"a", "-f" + good, "", "-f" + good}, "Ignoring a\nIgnoring \nNo Input file -- " + kSender + " -fFILE\n"},
        {{"x", "y", "f"}, "Ignoring x\nIgnoring f\nNo Input file -- " + kSender + " -fFILE\n"},
        // A later unopenable file ends the run even after a good one.
        {{"-f" + good, "skipped", "-f" + missing},
         "Using file " + good + "\nCould not open: " + missing},
    };
    for (const Case& c : cases) {
        const Finished run = run_to_end(kSender, c.args);
        std::string shown;
        for (const auto& a : c.args) {
            shown += " '" + a + "'";
        }
        SCOPED_TRACE("arguments:" + shown);
        EXPECT_FALSE(run.timed_out);
        EXPECT_EQ(run.exit_code, 255);
        EXPECT_EQ(run.output, c.output);
    }
}

TEST_F(Streamsend, OddPositionsNameFilesWhateverTheirFirstCharacter) {
    std::string first_content;
    std::string last_content;
    const std::string first = make_file("first.mpg", 2000, &first_content);
    const std::string last = make_file("last.mpg", 700, &last_content);
    const std::string missing = (dir_ / "missing.mpg").string();

    UdpReceiver rx;
    ASSERT_TRUE(rx.ok()) << rx.error();
    Child child(kSender, {"zz", "-f" + missing, "-f" + first, "-y", "Xf" + last, "ignored", "f"});
    ASSERT_TRUE(child.started());
    ASSERT_TRUE(receive_through(child, rx, 5));
    child.stop(SIGTERM);

    EXPECT_EQ(child.output.substr(0, child.output.find(kConnecting) + kConnecting.size()),
              "Ignoring zz\nUsing file " + first + "\nUsing file " + last + "\nIgnoring f\n" + kConnecting);
    // The last file named is the one sent.
    EXPECT_TRUE(follow_file(rx.received, last_content));
}

// ------------------------------------------------------------------ datagrams

class StreamsendBlocks : public Streamsend, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(StreamsendBlocks, DatagramsCarryTheFileBlockByBlockAndWrap) {
    std::string content;
    const std::string path = make_file("stream.mpg", GetParam(), &content);
    const std::size_t per_pass = blocks_per_pass(content);
    const std::size_t last_index = std::max<std::size_t>(3 * per_pass, 25);

    UdpReceiver rx;
    ASSERT_TRUE(rx.ok()) << rx.error();
    Child child(kSender, {"-f" + path});
    ASSERT_TRUE(child.started());
    ASSERT_TRUE(receive_through(child, rx, last_index))
        << "got " << rx.received.size() << " datagrams; output:\n" << child.output;
    child.stop(SIGTERM);

    // The program does not end by itself: it was still running when stopped.
    EXPECT_EQ(child.term_signal(), SIGTERM);
    EXPECT_FALSE(rx.truncated);
    EXPECT_EQ(rx.received.front().index, 0u);
    EXPECT_TRUE(follow_file(rx.received, content));

    // Start-up messages, then one message per end of file reached.
    const std::string start = "Using file " + path + "\n" + kConnecting;
    ASSERT_EQ(child.output.substr(0, start.size()), start);
    const auto rest = lines_of(child.output.substr(start.size()));
    EXPECT_TRUE(only_loop_messages(rest));
    EXPECT_GE(count_of(rest, kLooping), last_index / per_pass);
}

// Shorter than a block, one byte short, exact, one over, and several blocks.
INSTANTIATE_TEST_SUITE_P(FileSizes, StreamsendBlocks,
                         ::testing::Values(1, 100, 509, 510, 511, 1021, 5000));

// An input that cannot be played in a loop ends the run with one line and
// status 1 instead of printing the end-of-file message without end.
TEST_F(Streamsend, InputsThatCannotBeReplayedAreRefused) {
    std::string content;
    const std::string empty = make_file("empty.mpg", 0, &content);
    const std::string directory = dir_.string();
    struct Case {
        std::string path;
        std::string output;
    };
    const std::vector<Case> cases = {
        {empty, "Cannot replay " + empty + ": it is empty\n"},
        {directory, "Cannot replay " + directory + ": it is a directory\n"},
        // Not a regular file, but seekable: found empty at its first end.
        {"/dev/null", "Using file /dev/null\n" + kConnecting + "Cannot replay /dev/null: it is empty\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const Finished run = run_to_end(kSender, {"-f" + c.path}, kWaitLimit);
        EXPECT_FALSE(run.timed_out);
        EXPECT_EQ(run.exit_code, 1);
        EXPECT_EQ(run.output, c.output);
    }
}

TEST_F(Streamsend, FifoIsPlayedOnceThenRefused) {
    std::string content;
    make_file("unused", 1000, &content);
    const std::string fifo = (dir_ / "fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

    UdpReceiver rx;
    ASSERT_TRUE(rx.ok()) << rx.error();
    Child child(kSender, {"-f" + fifo});
    ASSERT_TRUE(child.started());
    {
        // Opening blocks until the sender has opened its end; closing it
        // leaves the sender with a FIFO whose writer has gone.
        std::ofstream writer(fifo, std::ios::binary);
        writer.write(content.data(), static_cast<std::streamsize>(content.size()));
    }
    ASSERT_TRUE(child.wait_exit(kWaitLimit)) << child.output;
    rx.read_available();

    EXPECT_EQ(child.exit_code(), 1);
    EXPECT_EQ(child.output, "Using file " + fifo + "\n" + kConnecting + "Cannot replay " + fifo +
                                ": it cannot be rewound (Illegal seek)\n");
    ASSERT_EQ(rx.received.size(), 2u);
    EXPECT_TRUE(follow_file(rx.received, content));
}

TEST_F(Streamsend, PausesAfterTheTenthBlockOfEachCycle) {
    std::string content;
    const std::string path = make_file("stream.mpg", 5000, &content);

    UdpReceiver rx;
    ASSERT_TRUE(rx.ok()) << rx.error();
    Child child(kSender, {"-f" + path});
    ASSERT_TRUE(child.started());
    ASSERT_TRUE(receive_through(child, rx, 520));
    child.stop(SIGTERM);
    ASSERT_TRUE(follow_file(rx.received, content));

    std::map<std::size_t, double> when;
    for (const Datagram& d : rx.received) {
        when[d.index] = d.when;
    }
    // The first blocks come in one burst, so none of them can have been lost.
    for (std::size_t i = 0; i <= 10; ++i) {
        ASSERT_EQ(when.count(i), 1u) << "datagram " << i << " missing";
    }
    const double pause = 0.29;  // 0.3 s less a little for time stamp rounding
    EXPECT_LT(when[9] - when[0], pause) << "pause before the 10th block";
    EXPECT_GE(when[10] - when[9], pause) << "no pause after the 10th block";
    EXPECT_LT(when[10] - when[9], 3.0);

    // No pause within the rest of the first cycle and the first ten blocks of
    // the second; then the next one after block 510.
    const auto before = std::prev(when.upper_bound(509));
    const auto after = when.lower_bound(510);
    ASSERT_NE(after, when.end());
    EXPECT_LT(before->second - when[10], pause)
        << "a pause between datagrams 10 and " << before->first;
    EXPECT_GE(after->second - before->second, pause) << "no pause in the second cycle";
}

TEST_F(Streamsend, ReportsCumulativeThroughputEvery500Blocks) {
    std::string content;
    const std::string path = make_file("stream.mpg", 5000, &content);  // 10 blocks

    UdpReceiver rx;
    ASSERT_TRUE(rx.ok()) << rx.error();
    Child child(kSender, {"-f" + path});
    ASSERT_TRUE(child.started());
    // Run until a report comes at least one whole second after start-up, so
    // that a finite rate is shown (earlier ones may show "inf").
    const auto finite_report = [&] {
        for (const std::string& line : lines_of(child.output)) {
            long long bytes = 0;
            double secs = 0;
            if (line.rfind("Throughput", 0) == 0 && (!parse_report(line, &bytes, &secs) || secs >= 1)) {
                return true;
            }
        }
        return false;
    };
    ASSERT_TRUE(pump(child, rx.fd(), [&] { rx.read_available(); }, finite_report, kWaitLimit))
        << child.output;
    child.stop(SIGTERM);

    // 50 passes of 10 blocks per report; the block count runs on across the
    // end of the file, and the total is never reset.
    const auto lines = lines_of(child.output);
    ASSERT_GE(lines.size(), 2u + 49 + 1);
    EXPECT_EQ(lines[0], "Using file " + path);
    EXPECT_EQ(lines[1] + "\n", kConnecting);
    std::size_t reports = 0;
    std::size_t next_report = 51;
    for (std::size_t i = 2; i < lines.size(); ++i) {
        if (i != next_report) {
            ASSERT_EQ(lines[i], kLooping) << "line " << i;
            continue;
        }
        ++reports;
        ASSERT_TRUE(is_report(lines[i], 250000LL * static_cast<long long>(reports))) << "report " << reports;
        next_report = i + 51;
    }
    long long bytes = 0;
    double secs = 0;
    ASSERT_GE(reports, 1u);
    ASSERT_TRUE(parse_report(lines[next_report - 51], &bytes, &secs));
    EXPECT_GE(secs, 1.0) << "the last report still shows no elapsed time";
}

// ------------------------------------------------------------------ stream socket

TEST_F(Streamsend, TcpBuildSendsTheFileOnceAndEnds) {
    std::string content;
    const std::string path = make_file("stream.mpg", 500 * kBlock + 123, &content);

    TcpPort port(true);
    ASSERT_TRUE(port.ok()) << port.error();
    Child child(kTcpOnce, {"-f" + path});
    ASSERT_TRUE(child.started());
    const int conn = port.accept(kWaitLimit);
    ASSERT_GE(conn, 0) << "no connection; output:\n" << child.output;
    std::string received;
    bool closed = false;
    pump(
        child, conn,
        [&] {
            if (!read_stream(conn, received)) closed = true;
        },
        [&] { return closed; }, kWaitLimit);
    close(conn);
    ASSERT_TRUE(child.wait_exit(kWaitLimit));

    EXPECT_EQ(child.exit_code(), 0);
    EXPECT_TRUE(closed);
    EXPECT_EQ(received.size(), content.size());
    EXPECT_TRUE(received == content) << "the bytes received differ from the file";
    const auto lines = lines_of(child.output);
    ASSERT_EQ(lines.size(), 4u) << child.output;
    EXPECT_EQ(lines[0], "Using file " + path);
    EXPECT_EQ(lines[1] + "\n", kConnecting);
    EXPECT_TRUE(is_report(lines[2], 500 * kBlock));
    EXPECT_EQ(lines[3], "Reading done");
    EXPECT_EQ(child.output.back(), '\n');
}

TEST_F(Streamsend, TcpBuildGivesUpWhenRefused) {
    std::string content;
    const std::string path = make_file("stream.mpg", 1000, &content);

    TcpPort port(false);  // bound but not listening: connections are refused
    ASSERT_TRUE(port.ok()) << port.error();
    const Finished run = run_to_end(kTcpOnce, {"-f" + path});
    EXPECT_EQ(run.exit_code, 255);
    EXPECT_EQ(run.output, "Using file " + path + "\n" + kConnecting + "Unable to initialize socket\n");
}

TEST_F(Streamsend, TcpReceiverClosingEndsWithSendFailed) {
    std::string content;
    // Long enough that the pauses keep the sender busy for seconds.
    const std::string path = make_file("stream.mpg", 3000 * kBlock, &content);

    TcpPort port(true);
    ASSERT_TRUE(port.ok()) << port.error();
    Child child(kTcpOnce, {"-f" + path});
    ASSERT_TRUE(child.started());
    const int conn = port.accept(kWaitLimit);
    ASSERT_GE(conn, 0) << "no connection; output:\n" << child.output;
    // Take the burst before the first pause, then hang up while the sender waits.
    std::string received;
    pump(
        child, conn,
        [&] { read_stream(conn, received); },
        [&] { return received.size() >= 10 * kBlock; }, kWaitLimit);
    close(conn);
    ASSERT_TRUE(child.wait_exit(kWaitLimit)) << child.output;

    EXPECT_EQ(child.term_signal(), 0) << "killed by a signal";
    EXPECT_EQ(child.exit_code(), 0);
    EXPECT_EQ(child.output, "Using file " + path + "\n" + kConnecting + "Send failed");
}

TEST_F(Streamsend, RetriesSetUpWithoutKeepingFailedSockets) {
    std::string content;
    const std::string path = make_file("stream.mpg", 700, &content);

    TcpPort port(false);
    ASSERT_TRUE(port.ok()) << port.error();
    Child child(kTcpLoop, {"-f" + path});
    ASSERT_TRUE(child.started());
    const std::string refused =
        "Using file " + path + "\n" + kConnecting + "Unable to connect.  Will try again\n";
    ASSERT_TRUE(pump(child, -1, [] {}, [&] { return child.output.size() >= refused.size(); }, kWaitLimit));
    EXPECT_EQ(child.output, refused);

    // The next attempt, three seconds later, finds a listener.
    ASSERT_TRUE(port.listen()) << port.error();
    const int conn = port.accept(kWaitLimit);
    ASSERT_GE(conn, 0) << "no second attempt; output:\n" << child.output;
    std::string received;
    pump(
        child, conn,
        [&] { read_stream(conn, received); },
        [&] { return received.size() >= 5 * content.size(); }, kWaitLimit);
    const int sockets = count_sockets(child.pid());
    close(conn);
    child.stop(SIGTERM);

    EXPECT_EQ(sockets, 1) << "sockets of failed attempts are still open";
    ASSERT_GE(received.size(), 5 * content.size());
    for (std::size_t pass = 0; pass < 5; ++pass) {
        EXPECT_TRUE(received.compare(pass * content.size(), content.size(), content) == 0)
            << "pass " << pass << " differs from the file";
    }
    const std::string connected = refused + kConnecting;
    ASSERT_EQ(child.output.substr(0, connected.size()), connected);
    const auto rest = lines_of(child.output.substr(connected.size()));
    EXPECT_GE(count_of(rest, kLooping), 4u);
    EXPECT_TRUE(only_loop_messages(rest));
}

}  // namespace
