// The psdump command: arguments, usage, pack count, the standard-error
// reports, extraction files and exit statuses, run as a real process.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <thread>

#include "stream_builder.h"
#include "test_util.h"
#include "ts_builder.h"

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

// A transport stream with a fault of every kind, each followed by packets
// that must still be read: PAT and a PMT whose descriptors are read into
// fields; a video PES packet with a PCR, cut by a scrambled packet; three
// audio PES packets, the second missing its middle packet; a packet with
// transport_error_indicator set; a PAT whose CRC_32 fails; ten bytes of
// junk; then an audio PES packet and an unbounded video PES packet.
struct damaged_ts {
    bytes data;
    int64_t gap_at = 0;   // the packet after the missing one
    int64_t junk_at = 0;  // where sync is lost
    size_t packets = 0;
    bytes video, audio;   // the payload bytes each PID delivers
};

damaged_ts damaged_transport_stream() {
    using tb::audio_pid, tb::video_pid;
    tb::mux m;
    m.psi(0x0000, {tb::pat(1, 0, {{1, tb::pmt_pid}})});
    const bytes hdmv = {'H', 'D', 'M', 'V'};
    m.psi(tb::pmt_pid,
          {tb::pmt(1, 0, video_pid, tb::descriptor(0x05, hdmv),
                   {{0x02, video_pid, concat({tb::descriptor(0x0E, {0xC0, 0x03, 0xE8}), tb::descriptor(0x11, {0xFF})})},
                    {0x03, audio_pid, concat({tb::descriptor(0x0A, {'e', 'n', 'g', 0x03}), tb::descriptor(0x52, {0x07})})},
                    {0x06, 0x102, tb::descriptor(0x6A, {0xC0, 0x44, 0x08})},
                    {0x86, 0x103, {}}})});
    damaged_ts t;
    const bytes video1 = tb::video_pes(3600, 0, 300);
    m.pes(video_pid, video1, tb::with_af(video_pid, tb::with_pcr(900, 7)));
    const bytes audio1 = tb::audio_pes(9000, 200, 1), audio2 = tb::audio_pes(12600, 400, 2);
    m.pes(audio_pid, audio1);
    const size_t audio2_at = m.data().size();
    m.pes(audio_pid, audio2);  // three packets; the second is taken out below
    tb::packet_fields f;
    f.pid = 0x1FF0;
    f.tei = true;
    m.add(f, bytes(184, 0x11));
    f = {};
    f.pid = video_pid;
    f.scrambling = 2;
    m.add(f, bytes(184, 0x22));
    bytes bad_pat = tb::pat(1, 0, {{1, tb::pmt_pid}});
    bad_pat.back() ^= 0x01;
    m.psi(0x0000, {bad_pat});
    const size_t junk_at = m.data().size();
    const bytes audio3 = tb::audio_pes(16200, 100, 3), video2 = tb::video_pes(7200, 3600, 50);
    m.pes(audio_pid, audio3);
    m.pes(video_pid, video2);

    t.data = m.data();
    t.data.erase(t.data.begin() + audio2_at + 188, t.data.begin() + audio2_at + 2 * 188);
    t.gap_at = static_cast<int64_t>(audio2_at + 188);
    t.junk_at = static_cast<int64_t>(junk_at - 188);
    t.data.insert(t.data.begin() + t.junk_at, 10, 0x00);
    t.packets = m.packets() - 1;
    const bytes audio2_payload = tb::payload_of(audio2);
    t.video = concat({tb::payload_of(video1), tb::payload_of(video2)});
    t.audio = concat({tb::payload_of(audio1), bytes(audio2_payload.begin(), audio2_payload.begin() + 184 - 14),
                      tb::payload_of(audio3)});
    return t;
}

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
        const int fd = tu::open_fifo_for_writing(fifo);  // a minute for psdump to open it
        ASSERT_GE(fd, 0);
        const uint8_t video[] = {0x00, 0x00, 0x01, 0xB3, 0x16, 0x00};
        EXPECT_EQ(::write(fd, video, sizeof video), static_cast<ssize_t>(sizeof video));
        close(fd);
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

TEST_F(PsdumpTest, HostileStreamsInEveryMode) {
    // An unknown stream_id is named on standard error in every mode.
    pes_fields f;
    const std::string unknown =
        write("u.mpg", concat({pack_header(0, 0, 1), pes_packet(0xC0, f, payload_bytes(3)), pack_header(1, 0, 1),
                               pes_packet(0x42, f, payload_bytes(3))}));
    for (const char* word : {"json", "elisp", "cl-lisp", "extract_streams"}) {
        tu::run_result r = psdump({unknown, word});
        EXPECT_EQ(r.status, 1) << word;
        EXPECT_EQ(r.err, "psdump: unknown stream_id 0x42 at offset 0x28\n") << word;
    }

    // A stream error in a pack whose line has grown past a megabyte: the
    // JSON lines before it are whole, and no part of its line is written.
    bytes big = concat({pack_header(0, 0, 1), pes_packet(0xE0, f, payload_bytes(10))});
    const bytes padding = packet(0xBE, {});
    append(big, pack_header(1, 0, 1));
    for (int i = 0; i < 20000; ++i) append(big, padding);  // about 2 MB of JSON
    pes_fields bad;
    bad.extension = bytes{0x20, 0x05, 0x06};  // counter bytes without their marker bits
    append(big, pes_packet(0xE0, bad, payload_bytes(3)));
    tu::run_result r = psdump({write("big.mpg", big), "json"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out.size();
    EXPECT_EQ(r.out.rfind("{\"offset\":0,", 0), 0u);
    EXPECT_EQ(r.out.back(), '\n');

    // In json mode every message goes to standard error.
    r = psdump({dir_.file("missing.mpg"), "json"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("Could not open"), std::string::npos);

    // A multiplexer that writes a system header after the packets of a
    // pack (mplex -f 0): every pack is read, every header counted.
    r = psdump({TEST_DATA_DIR "/mpeg1_generic_mplex.mpg", "print_pack_count"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Total Packs = 20\n"), std::string::npos);
    size_t headers = 0;
    for (size_t at = r.out.find("System Header ["); at != std::string::npos; at = r.out.find("System Header [", at + 1))
        ++headers;
    EXPECT_EQ(headers, 53u);  // as tests/data/README.md counts them
}

// ---------------------------------------------------------------------------
// Transport streams.

TEST_F(PsdumpTest, TransportStreamReadToTheEndWithEveryFaultInPlace) {
    const damaged_ts t = damaged_transport_stream();
    const std::string stream = write("damaged.ts", t.data);
    tu::run_result r = psdump({stream, "print_pack_count"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "psdump: 5 stream errors\n");
    const std::string& out = r.out;
    EXPECT_EQ(out.rfind("PAT [0x0]\n\ttransport_stream_id = 1\n\tversion_number = 0\n\tProgram 1\n"
                        "\t\tprogram_map_PID = 0x1000\nPMT [0xbc]\n", 0), 0u) << out;
    const std::string pmt =
        "\tPID = 0x1000\n\tprogram_number = 1\n\tversion_number = 0\n\tPCR_PID = 0x100\n"
        "\tDescriptor\n\t\tdescriptor_tag = 0x05 (registration_descriptor)\n\t\tdescriptor_length = 4\n"
        "\t\tformat_identifier = \"HDMV\" (0x48444d56)\n"
        "\tStream\n\t\tstream_type = 0x02 (MPEG-2 video)\n\t\telementary_PID = 0x100\n"
        "\t\tDescriptor\n\t\t\tdescriptor_tag = 0x0e (maximum_bitrate_descriptor)\n\t\t\tdescriptor_length = 3\n"
        "\t\t\tmaximum_bitrate = 1000 (400000 bit/s)\n"
        "\t\tDescriptor\n\t\t\tdescriptor_tag = 0x11 (STD_descriptor)\n\t\t\tdescriptor_length = 1\n"
        "\t\t\tleak_valid_flag = 1\n"
        "\tStream\n\t\tstream_type = 0x03 (MPEG-1 audio)\n\t\telementary_PID = 0x101\n"
        "\t\tDescriptor\n\t\t\tdescriptor_tag = 0x0a (ISO_639_language_descriptor)\n\t\t\tdescriptor_length = 4\n"
        "\t\t\tISO_639_language_code = \"eng\"\n\t\t\taudio_type = 3 (visual impaired commentary)\n"
        "\t\tDescriptor\n\t\t\tdescriptor_tag = 0x52 (stream_identifier_descriptor)\n\t\t\tdescriptor_length = 1\n"
        "\t\t\tdata = 07\n"
        "\tStream\n\t\tstream_type = 0x06 (PES private data)\n\t\telementary_PID = 0x102\n"
        "\t\tDescriptor\n\t\t\tdescriptor_tag = 0x6a (AC-3_descriptor)\n\t\t\tdescriptor_length = 3\n"
        "\t\t\tcomponent_type = 0x44\n\t\t\tbsid = 0x08\n"
        "\tStream\n\t\tstream_type = 0x86 (SCTE 35 splice information)\n\t\telementary_PID = 0x103\n"
        "PCR [0x178]\n\tPID = 0x100\n\tprogram_clock_reference_base = 900\n"
        "\tprogram_clock_reference_extension = 7\n\tPCR = 270007 (27 MHz)\n";
    EXPECT_NE(out.find(pmt), std::string::npos) << out;
    // The second audio PES packet: told when it breaks, with what it got.
    const std::string gap = "Error [0x" + tu::hex(t.gap_at) + "]\n\tkind = continuity\n\tPID = 0x101\n"
                            "\tcontinuity_counter = 4\n\tmissing_packets = 1\n"
                            "\tmessage = continuity_counter 4: 1 packets missing\n"
                            "PES [0x" + tu::hex(t.gap_at - 188) + "]\n\tPID = 0x101\n";
    EXPECT_NE(out.find(gap), std::string::npos) << out;
    EXPECT_NE(out.find("\tpayload_bytes = 170\n\tTS_packets = 1\n"
                       "\tend = incomplete (packets of its PID are missing)\n"), std::string::npos);
    EXPECT_NE(out.find("\tend = incomplete (a packet of its PID is scrambled)\n"), std::string::npos);
    const std::string sync = "Error [0x" + tu::hex(t.junk_at) + "]\n\tkind = sync_loss\n\tlost_at = 0x" +
                             tu::hex(t.junk_at) + "\n\tregained_at = 0x" + tu::hex(t.junk_at + 10) +
                             "\n\tskipped_bytes = 10\n";
    EXPECT_NE(out.find(sync), std::string::npos) << out;
    for (const char* kind : {"transport_error", "scrambled", "section_crc"})
        EXPECT_NE(out.find(std::string("\tkind = ") + kind + "\n"), std::string::npos) << kind;
    // After every fault the stream is read on to its end.
    const std::string tail = "\tPTS = 7200\n\tDTS = 3600\n\tpayload_bytes = 50\n\tTS_packets = 1\n"
                             "\tend = complete (end of the input)\nTotal TS Packets = " +
                             std::to_string(t.packets) + "\n";
    ASSERT_GE(out.size(), tail.size());
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);

    // JSON Lines: the same records in the same order at the same offsets.
    tu::run_result j = psdump({stream, "json", "print_pack_count"});
    EXPECT_EQ(j.status, 1);
    EXPECT_EQ(j.err, "Total TS Packets = " + std::to_string(t.packets) + "\npsdump: 5 stream errors\n");
    std::string from_text, from_json;
    for (size_t at = 0; (at = out.find('[', at)) != std::string::npos; ++at) {
        const size_t line = out.rfind('\n', at) + 1;  // 0 for the first line
        if (out[line] != '\t') from_text += out.substr(line, out.find('\n', at) - line) + "\n";
    }
    for (size_t at = 0; at < j.out.size(); at = j.out.find('\n', at) + 1) {
        const std::string type = j.out.substr(at + 9, j.out.find('"', at + 9) - at - 9);
        const size_t offset = j.out.find("\"offset\":", at) + 9;
        std::string name = type == "error" ? "Error" : type;
        if (type != "error") std::transform(name.begin(), name.end(), name.begin(), ::toupper);
        from_json += name + " [0x" + tu::hex(std::stoll(j.out.substr(offset))) + "]\n";
    }
    EXPECT_EQ(from_json, from_text);
    EXPECT_NE(j.out.find("{\"type\":\"error\",\"offset\":" + std::to_string(t.gap_at) +
                         ",\"kind\":\"continuity\",\"pid\":257,\"continuity_counter\":4,\"missing_packets\":1,"
                         "\"message\":\"continuity_counter 4: 1 packets missing\"}\n"),
              std::string::npos);
    EXPECT_NE(j.out.find("{\"tag\":10,\"length\":4,\"data\":\"656e6703\",\"languages\":[{\"code\":\"eng\","
                         "\"audio_type\":3}]}"),
              std::string::npos);

    // The Lisp export reads program streams only: one line, nothing on
    // standard output, not even the prelude.
    r = psdump({stream, "elisp", "extract_streams"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "psdump: " + stream + " is a transport stream; the Lisp export reads program streams\n");
    EXPECT_FALSE(std::filesystem::exists(dir_.file("pid0x0100.es")));
}

TEST_F(PsdumpTest, TransportStreamExtractionByPid) {
    const damaged_ts t = damaged_transport_stream();
    // Read from a FIFO: the format is told from the bytes read once.
    const std::string fifo = dir_.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] {
        const int fd = tu::open_fifo_for_writing(fifo);
        for (size_t at = 0; fd >= 0 && at < t.data.size();) {
            const ssize_t n = ::write(fd, t.data.data() + at, std::min<size_t>(1000, t.data.size() - at));
            if (n <= 0) break;
            at += static_cast<size_t>(n);
        }
        if (fd >= 0) close(fd);
    });
    tu::run_options limited;
    limited.timeout_seconds = 20;
    tu::run_result r =
        tu::run_with({"psdump", fifo, "extract_streams", "json"}, dir_.path().string(), PSDUMP_PATH, limited);
    writer.join();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(tu::read_bytes(dir_.file("pid0x0100.es")), t.video);
    EXPECT_EQ(tu::read_bytes(dir_.file("pid0x0101.es")), t.audio);
    EXPECT_FALSE(std::filesystem::exists(dir_.file("pid0x0103.es")));  // sections, not PES

    // Appended to, as for program streams; a file that cannot be written
    // is named once, the others are written whole, and the status is 2.
    const std::string stream = write("s.ts", t.data);
    std::filesystem::remove(dir_.file("pid0x0101.es"));
    std::filesystem::create_directory(dir_.file("pid0x0101.es"));
    r = psdump({stream, "extract_streams"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "psdump: pid0x0101.es: Is a directory\npsdump: 5 stream errors\n");
    EXPECT_EQ(tu::read_bytes(dir_.file("pid0x0100.es")), concat({t.video, t.video}));
}
