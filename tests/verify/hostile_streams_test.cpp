// psverify on streams built to be awkward: more streams than a table would
// hold, packs of a million packets, streams that never give their buffer
// size, and an unknown stream too short for its header.  Every check runs
// the real program.
#include <gtest/gtest.h>

#include "stream_builder.h"
#include "test_util.h"

using namespace sb;

namespace {

class HostileStreams : public ::testing::Test {
protected:
    tu::run_result verify(std::vector<std::string> args, const tu::run_options& options = {}) {
        args.insert(args.begin(), "psverify");
        return tu::run_with(args, dir.path().string(), PSVERIFY_PATH, options);
    }
    std::string write(const std::string& name, const bytes& data) {
        std::string path = dir.file(name);
        tu::write_file(path, data);
        return path;
    }
    tu::temp_dir dir;
};

// A video packet whose own buffer field says 1 KiB while it brings 4,000
// bytes of one picture decoded 5 s later: an overflow and nothing else.
bytes overflowing_video() {
    pes_fields f;
    f.pts = 450000;
    f.extension = bytes{0x10, 0x60, 0x01};  // P-STD_buffer_scale 1, size 1 (1,024 bytes)
    bytes es = {0x00, 0x00, 0x01, 0xB3, 0x16, 0x01, 0x20, 0x13, 0x00, 0x00, 0x01, 0x00};
    es.resize(4000, 0x00);
    return pes_packet(0xE0, f, es);
}

}  // namespace

TEST_F(HostileStreams, EveryStreamIsTrackedAndCounted) {
    // 48 small streams in front of the overflowing one: 31 audio ids and
    // 17 private_stream_1 sub-streams.
    bytes data = pack_header(0, 0, 1000);
    pes_fields f;
    f.pts = 3000;
    for (int id = 0xC1; id <= 0xDF; ++id) append(data, pes_packet(static_cast<uint8_t>(id), f, payload_bytes(8)));
    for (int sub = 0x80; sub <= 0x90; ++sub) {
        bytes p = payload_bytes(8);
        p[0] = static_cast<uint8_t>(sub);
        append(data, pes_packet(0xBD, f, p));
    }
    append(data, overflowing_video());
    const std::string file = write("many.mpg", data);

    tu::run_result r = verify({file});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("NOT conformant"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Overflow in 0xe0"), std::string::npos) << r.out;
    // One row per stream: the 48 small ones, unmodelled or not, and 0xe0;
    // the sub-streams that are not audio are said to be not modelled.
    EXPECT_NE(r.out.find("\n  0xe0 "), std::string::npos);
    EXPECT_NE(r.out.find("\n  0xdf "), std::string::npos);
    EXPECT_NE(r.out.find("\n  0xbd/0x90 "), std::string::npos);
    EXPECT_NE(r.out.find("streams not modelled"), std::string::npos) << r.out;
    tu::run_result j = verify({"--json", file});
    EXPECT_NE(j.out.find("\"conformant\":false"), std::string::npos);
    EXPECT_NE(j.out.find("\"streams_not_modelled\":"), std::string::npos);
    EXPECT_EQ(j.status, 1);
}

TEST_F(HostileStreams, MemoryStaysFlat) {
    // Peak memory of psverify over `file`, as GNU time reports it: measured
    // in a child of time, so none of this process's memory counts.
    const std::string report = dir.file("rss.txt");
    auto peak_kb = [&](const std::string& file) {
        tu::run_options quiet;
        quiet.stdout_path = "/dev/null";
        tu::run_with({"time", "-f", "%M", "-o", report, PSVERIFY_PATH, file}, dir.path().string(), "/usr/bin/time",
                     quiet);
        // After "Command exited with non-zero status N" when it did.
        const std::string text = tu::read_file(report);
        const size_t line = text.find_last_of('\n', text.size() >= 2 ? text.size() - 2 : 0);
        return std::stol(text.substr(line == std::string::npos ? 0 : line + 1));
    };

    // One pack of a million padding packets (6 MB).
    bytes flood = pack_header(0, 0, 1000);
    const bytes padding = packet(0xBE, {});
    flood.reserve(flood.size() + padding.size() * 1000000);
    for (int i = 0; i < 1000000; ++i) append(flood, padding);
    const std::string flood_file = write("flood.mpg", flood);
    flood = {};  // not in the memory the program is measured with
    EXPECT_LT(peak_kb(flood_file), 64 * 1024) << "padding flood";

    // Two video streams that never give their buffer size, each with 400
    // packets of 64,000 bytes holding a picture start code every 4 bytes
    // (16,000 access units a packet): their packets may wait for the size,
    // but not without bound.
    bytes starts;
    for (int i = 0; i < 16000; ++i) append(starts, {0x00, 0x00, 0x01, 0x00});
    bytes waiting;
    pes_fields f;
    for (int n = 0; n < 400; ++n) {
        append(waiting, pack_header(static_cast<uint64_t>(n) * 90, 0, 60000));
        f.pts = 900000 + static_cast<uint64_t>(n) * 90;
        for (int s = 0; s < 2; ++s) append(waiting, pes_packet(static_cast<uint8_t>(0xE0 + s), f, starts));
    }
    const std::string waiting_file = write("waiting.mpg", waiting);
    waiting = {};
    starts = {};
    EXPECT_LT(peak_kb(waiting_file), 64 * 1024) << "packets waiting for their buffer size";
}

TEST_F(HostileStreams, AShortUnknownPacketLeavesTheNextPackAlone) {
    const bytes data = concat({pack_header(0, 0, 1000), packet(0x42, {0x00}), pack_header(90, 0, 1000),
                               pes_packet(0xE0, pes_fields{}, payload_bytes(10))});
    tu::run_result r = verify({"--json", write("short.mpg", data)});
    EXPECT_NE(r.out.find("\"packs\":2,"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"unknown_stream_ids\":1,"), std::string::npos) << r.out;
}

TEST_F(HostileStreams, AFileNameThatIsNotUtf8GivesValidJson) {
    const std::string file = write("caf\xe9.mpg", concat({pack_header(0, 0, 1000), overflowing_video()}));
    tu::run_result r = verify({"--json", file});
    tu::write_file(dir.file("report.json"), std::vector<uint8_t>(r.out.begin(), r.out.end()));
    // Python's strict reader: the document decodes as UTF-8 and parses, and
    // the byte reads back as the Latin-1 letter.
    tu::run_result check = tu::run(
        {"python3", "-c",
         "import json,sys; d=json.loads(open(sys.argv[1],'rb').read().decode('utf-8','strict'));"
         "print(d['files'][0]['file'].endswith('caf\\u00e9.mpg'))",
         dir.file("report.json")},
        dir.path().string(), "/usr/bin/python3");
    EXPECT_EQ(check.out, "True\n") << r.out << check.err;
}

TEST_F(HostileStreams, ATransportStreamIsNamedAsOne) {
    // Three null packets: sync bytes every 188 bytes.
    bytes ts;
    for (int i = 0; i < 3; ++i) {
        bytes packet(188, 0xFF);
        packet[0] = 0x47;
        packet[1] = 0x1F;
        packet[2] = 0xFF;
        packet[3] = 0x10;
        append(ts, packet);
    }
    tu::run_result r = verify({write("x.ts", ts)});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("x.ts: a transport stream"), std::string::npos) << r.err;
}
