// The psdump command: arguments, usage, pack count, the standard-error
// reports, extraction files and exit statuses, run as a real process.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <thread>

#include "stream_builder.h"
#include "test_util.h"

using namespace sb;

namespace {

const std::string usage_tail = " [mpeg_file] {[print_pack_count] [extract_streams] [cl-lisp]}\n";

class PsdumpTest : public ::testing::Test {
protected:
    tu::run_result psdump(std::vector<std::string> args, const std::string& name = "psdump") {
        args.insert(args.begin(), name);
        return tu::run(args, dir_.path().string(), PSDUMP_PATH);
    }
    std::string write(const std::string& name, const bytes& data) {
        std::string path = dir_.file(name);
        tu::write_file(path, data);
        return path;
    }
    tu::temp_dir dir_;
};

bytes two_pack_stream() {
    pes_fields f;
    f.pts = 9000;
    return concat({pack_header(0, 0, 1), pes_packet(0xE0, f, payload_bytes(40, 1)), pack_header(1, 0, 1),
                   pes_packet(0xC0, f, payload_bytes(20, 2))});
}

}  // namespace

TEST_F(PsdumpTest, UsageAndOpenFailures) {
    tu::run_result r = psdump({}, "./my-dumper");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Usage: ./my-dumper" + usage_tail);
    EXPECT_EQ(r.err, "");

    r = psdump({dir_.file("nope.mpg"), "cl-lisp", "print_pack_count"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Could not open " + dir_.file("nope.mpg") + "\nUsage: psdump" + usage_tail);
    EXPECT_EQ(r.err, "");

    // The first argument is always the stream path, even when it is an
    // option word.
    r = psdump({"cl-lisp", dir_.file("x.mpg")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Could not open cl-lisp\nUsage: psdump" + usage_tail);
}

TEST_F(PsdumpTest, PackCountAndEmptyFiles) {
    std::string stream = write("s.mpg", two_pack_stream());
    tu::run_result r = psdump({stream, "print_pack_count", "junk", "PRINT_Pack_Count"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    const std::string count = "Total Packs = 2\n";
    ASSERT_GE(r.out.size(), 2 * count.size());
    EXPECT_EQ(r.out.substr(r.out.size() - 2 * count.size()), count + count);
    EXPECT_EQ(r.out.rfind("Pack [0x0]\n\tscr = 0:0\n", 0), 0u);

    // Two arguments only: the word is the path, and no count is printed.
    std::string named = write("print_pack_count", two_pack_stream());
    r = psdump({"print_pack_count"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find("Total Packs"), std::string::npos);
    EXPECT_NE(r.out.find("Pack [0x"), std::string::npos);

    std::string empty = write("empty.mpg", {});
    r = psdump({empty, "print_pack_count"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Total Packs = 0\n");
    EXPECT_EQ(r.err, "Not an ISO 1172-1 or ISO 13818-1 stream\n");

    std::string video = write("video.m2v", {0x00, 0x00, 0x01, 0xB3, 0x16, 0x00, 0xF0, 0x15});
    r = psdump({video});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Not an ISO 1172-1 or ISO 13818-1 stream\nLooks like an MPEG video stream\n");

    // Three bytes of a sequence header are not enough.
    std::string short_video = write("short.m2v", {0x00, 0x00, 0x01});
    r = psdump({short_video});
    EXPECT_EQ(r.err, "Not an ISO 1172-1 or ISO 13818-1 stream\n");
}

TEST_F(PsdumpTest, EndCodeStopsTheScan) {
    bytes data = concat({two_pack_stream(), start_code(0xB9), pack_header(7, 0, 1), pack_header(8, 0, 1)});
    tu::run_result r = psdump({write("s.mpg", data), "print_pack_count"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Total Packs = 2\n"), std::string::npos);
}

TEST_F(PsdumpTest, StreamErrorsEndWithStatusOne) {
    // An unknown stream_id: the dump up to its stream_id, then status 1, no
    // pack count and no report.
    pes_fields f;
    bytes header = pack_header(0, 0, 1);
    bytes data = concat({header, pes_packet(0x42, f, payload_bytes(3))});
    tu::run_result r = psdump({write("u.mpg", data), "print_pack_count"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Pack [0x0]\n\tscr = 0:0\n\tmux = 1 - (50 bytes/second) \n\tstuffing = 0\n"
                     "\t\tPacket [0xe]\n\t\t\tstream_id = 0x42  ");
    EXPECT_EQ(r.err, "psdump: unknown stream_id 0x42 at offset 0xe\n");

    // The same stream in MPEG-1 form.
    mpeg1_fields m;
    data = concat({mpeg1_pack_header(0, 1), mpeg1_packet(0x42, m, payload_bytes(3))});
    r = psdump({write("u1.mpg", data)});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Pack [0x0]\n\tscr = 0\n\tmux = 1 - (50 bytes/second) \n"
                     "\t\tPacket [0xc]\n\t\t\tstream_id = 0x42  ");

    // A failed marker bit: the message once, then status 1.  The text dump
    // keeps it in place; the exports send it to standard error so that
    // their output stays loadable up to the pack before the error.
    pes_fields bad;
    bad.extension = bytes{0x20, 0x05, 0x06};
    data = concat({pack_header(9, 0, 1), pes_packet(0xC0, f, payload_bytes(3)), header,
                   pes_packet(0xE0, bad, payload_bytes(3))});
    const std::string message = "\nError\n Expecting marker bits around 0x33";
    std::string stream = write("m.mpg", data);
    r = psdump({stream});
    EXPECT_EQ(r.status, 1);
    ASSERT_GE(r.out.size(), message.size());
    EXPECT_EQ(r.out.find(message), r.out.size() - message.size());
    r = psdump({stream, "cl-lisp", "extract_streams"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, message);
    EXPECT_EQ(tu::read_bytes(dir_.file("0xc0.mpeg")), payload_bytes(3));  // complete at the exit
    const std::string first_pack_end = "(setf packs (list current-pack))\n\n";
    EXPECT_EQ(r.out.find(first_pack_end), r.out.size() - first_pack_end.size());
    r = psdump({stream, "json"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, message);
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1);  // the first pack's line, whole
}

TEST_F(PsdumpTest, ExtractStreamsAppendsAcrossRuns) {
    std::string stream = write("s.mpg", two_pack_stream());
    tu::run_result r = psdump({stream, "Extract_Streams"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(tu::read_bytes(dir_.file("0xe0.mpeg")), payload_bytes(40, 1));
    EXPECT_EQ(tu::read_bytes(dir_.file("0xc0.mpeg")), payload_bytes(20, 2));
    r = psdump({stream, "extract_streams"});
    EXPECT_EQ(tu::read_bytes(dir_.file("0xc0.mpeg")), concat({payload_bytes(20, 2), payload_bytes(20, 2)}));
}

TEST_F(PsdumpTest, LispWordsTurnTheTextDumpOff) {
    std::string stream = write("s.mpg", two_pack_stream());
    tu::run_result r = psdump({stream, "CL-Lisp"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find("Pack ["), std::string::npos);
    EXPECT_EQ(r.out.rfind("(defvar packs nil)\n", 0), 0u);
    EXPECT_NE(r.out.find("(setf current-pack (make-pack 0 0 0 1 0))\n"), std::string::npos);

    // A stream file whose name is an option word is both.
    write("elisp", two_pack_stream());
    r = psdump({"elisp", "x"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find("Pack ["), std::string::npos);
    EXPECT_NE(r.out.find("(setq packs (list current-pack))\n"), std::string::npos);
}

TEST_F(PsdumpTest, FifoWithoutPacksIsReadOnce) {
    // The start of the stream is reported from what the scan read: a FIFO
    // cannot be opened a second time once its writer is gone.
    std::string fifo = dir_.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] {
        for (int tries = 0; tries < 6000; ++tries) {  // a minute for psdump to open it
            int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) {
                const uint8_t video[] = {0x00, 0x00, 0x01, 0xB3, 0x16, 0x00};
                EXPECT_EQ(::write(fd, video, sizeof video), static_cast<ssize_t>(sizeof video));
                close(fd);
                return;
            }
            usleep(10000);
        }
    });
    tu::run_options limited;
    limited.timeout_seconds = 60;
    tu::run_result r = tu::run_with({"psdump", fifo}, dir_.path().string(), PSDUMP_PATH, limited);
    writer.join();
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Not an ISO 1172-1 or ISO 13818-1 stream\nLooks like an MPEG video stream\n");
}

TEST_F(PsdumpTest, WriteErrorsEndWithStatusTwo) {
    std::string stream = write("s.mpg", two_pack_stream());
    tu::run_options full;
    full.stdout_path = "/dev/full";
    for (const char* word : {"print_pack_count", "cl-lisp", "json"}) {
        tu::run_result r = tu::run_with({"psdump", stream, word}, dir_.path().string(), PSDUMP_PATH, full);
        EXPECT_EQ(r.status, 2) << word;
        EXPECT_EQ(r.err, "psdump: write error: No space left on device\n") << word;
    }

    // An extraction file that cannot be opened, and one that cannot be
    // written: each is reported once, the other streams are extracted whole.
    pes_fields f;
    bytes data = concat({pack_header(0, 0, 1), pes_packet(0xE0, f, payload_bytes(40, 1)),
                         pes_packet(0xC0, f, payload_bytes(20, 2)), pack_header(1, 0, 1),
                         pes_packet(0xE0, f, payload_bytes(40, 3)), pes_packet(0xC0, f, payload_bytes(20, 4)),
                         pes_packet(0xBD, f, payload_bytes(30, 5))});
    stream = write("three.mpg", data);
    std::filesystem::create_directory(dir_.file("0xe0.mpeg"));
    std::filesystem::create_symlink("/dev/full", dir_.file("0xc0.mpeg"));
    tu::run_result r = psdump({stream, "extract_streams", "json"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "psdump: 0xe0.mpeg: Is a directory\npsdump: 0xc0.mpeg: No space left on device\n");
    EXPECT_EQ(tu::read_bytes(dir_.file("0xbd.mpeg")), payload_bytes(30, 5));
}

TEST_F(PsdumpTest, ExtractionInADirectoryWithoutWritePermission) {
    // Write permission binds only an unprivileged user: as root the run
    // drops to "nobody"; where that cannot run psdump the case is skipped.
    std::string stream = write("s.mpg", two_pack_stream());
    std::string locked = dir_.file("locked");
    std::filesystem::create_directory(locked);
    chmod(dir_.path().c_str(), 0755);
    chmod(stream.c_str(), 0644);
    chmod(locked.c_str(), 0555);
    std::vector<std::string> argv = {"psdump", stream, "extract_streams", "print_pack_count"};
    std::string program = PSDUMP_PATH;
    if (geteuid() == 0) {
        argv = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", PSDUMP_PATH, stream,
                "extract_streams", "print_pack_count"};
        program = "/usr/bin/setpriv";
        if (access(program.c_str(), X_OK) != 0) GTEST_SKIP() << "setpriv is not installed";
    }
    tu::run_result r = tu::run_with(argv, locked, program, tu::run_options{});
    if (r.status != 2 && r.out.empty()) GTEST_SKIP() << "psdump cannot run as an unprivileged user here: " << r.err;
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "psdump: 0xe0.mpeg: Permission denied\npsdump: 0xc0.mpeg: Permission denied\n");
    EXPECT_NE(r.out.find("Total Packs = 2\n"), std::string::npos);
    EXPECT_TRUE(std::filesystem::is_empty(locked));
}

TEST_F(PsdumpTest, MemoryStaysFlatOnAnEntryFlood) {
    // One pack whose system header lists 64 MiB of buffer bounds (16 MiB
    // in the much slower sanitizer build; still 130 MB if they were kept).
#ifdef TOOLS_SANITIZED
    const size_t flood_size = 16u << 20;
#else
    const size_t flood_size = 64u << 20;
#endif
    bytes data = pack_header(0, 0, 1);
    system_header_fields h;
    append(data, system_header(h));
    const bytes entry = {0xE0, 0xE0, 0xE8};
    data.reserve(data.size() + flood_size + 8);
    for (size_t i = 0; i < flood_size / entry.size(); ++i) append(data, entry);
    append(data, start_code(0xB9));
    std::string flood = write("flood.mpg", data);
    data = {};
    std::string small = write("small.mpg", two_pack_stream());

    tu::run_options to_null;
    to_null.stdout_path = "/dev/null";
    for (const char* word : {"print_pack_count", "json"}) {
        tu::run_result base = tu::run_with({"psdump", small, word}, dir_.path().string(), PSDUMP_PATH, to_null);
        tu::run_result r = tu::run_with({"psdump", flood, word}, dir_.path().string(), PSDUMP_PATH, to_null);
        EXPECT_EQ(r.status, 0) << word;
        EXPECT_LT(r.max_rss_kb, base.max_rss_kb + 12 * 1024) << word;
    }
}
