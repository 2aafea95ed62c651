// Real transport streams, made by ffmpeg at test time (MPEG-2 video and MP2
// audio, 188- and 192-byte packets), read whole and checked against what
// ffprobe says of the same file: PES packets per PID with their PTS and
// DTS, and the video elementary stream that ffmpeg extracts.
//
// ffprobe lists audio frames, not PES packets; ffmpeg puts one frame in each
// audio PES packet when it is told `-pes_payload_size 0` (by default it
// gathers two MP2 frames), so the two counts can be compared.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <sstream>

#include "test_util.h"
#include "ts_recorder.h"

using namespace ts_test;

namespace {

struct time_stamps {
    int64_t pts;
    int64_t dts;  // the PTS again when the packet has no DTS, as ffprobe gives it
    bool operator==(const time_stamps&) const = default;
};

std::ostream& operator<<(std::ostream& out, const time_stamps& t) { return out << t.pts << "/" << t.dts; }

struct probed {
    std::map<uint16_t, std::vector<time_stamps>> packets;  // by PID
    std::map<int, uint16_t> pids;                          // by stream index: 0 video, 1 audio
};

// ffprobe's packets per PID, from `-show_entries stream=index,id
// -show_entries packet=stream_index,pts,dts -of csv`.
probed probe_packets(const std::string& ffprobe, const std::string& file,
                                                           const std::string& dir) {
    const tu::run_result r = tu::run({ffprobe, "-v", "error", "-show_entries", "stream=index,id", "-show_entries",
                                      "packet=stream_index,pts,dts", "-of", "csv", file},
                                     dir);
    EXPECT_EQ(r.status, 0) << r.err;
    std::map<int, uint16_t> pid_of_index;  // the streams come after the packets
    std::vector<std::pair<int, time_stamps>> packets;
    std::istringstream lines(r.out);
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> f;
        std::istringstream fields(line);
        for (std::string s; std::getline(fields, s, ',');) f.push_back(s);
        if (f.size() >= 3 && f[0] == "stream")
            pid_of_index[std::stoi(f[1])] = static_cast<uint16_t>(std::stoul(f[2], nullptr, 16));
        if (f.size() >= 4 && f[0] == "packet") {
            const int64_t mask = (int64_t{1} << 33) - 1;
            const int64_t pts = f[2] == "N/A" ? -1 : std::stoll(f[2]) & mask;
            const int64_t dts = f[3] == "N/A" ? pts : std::stoll(f[3]) & mask;
            packets.push_back({std::stoi(f[1]), {pts, dts}});
        }
    }
    probed out;
    for (const auto& [index, stamps] : packets) out.packets[pid_of_index.at(index)].push_back(stamps);
    out.pids = pid_of_index;
    return out;
}

class TsRealStream : public ::testing::TestWithParam<bool> {};

TEST_P(TsRealStream, AgreesWithFfprobeAndFfmpeg) {
    const bool m2ts = GetParam();
    const std::string ffmpeg = tu::find_program("ffmpeg"), ffprobe = tu::find_program("ffprobe");
    if (ffmpeg.empty() || ffprobe.empty()) GTEST_SKIP() << "ffmpeg or ffprobe not installed";
    tu::temp_dir dir;
    const std::string stream = dir.file(m2ts ? "out.m2ts" : "out.ts");
    std::vector<std::string> make = {ffmpeg, "-nostdin", "-v", "error", "-f", "lavfi", "-i",
                                     "testsrc=size=352x288:rate=25", "-f", "lavfi", "-i", "sine", "-t", "2",
                                     "-c:v", "mpeg2video", "-c:a", "mp2", "-f", "mpegts", "-pes_payload_size", "0"};
    if (m2ts) make.insert(make.end(), {"-mpegts_m2ts_mode", "1"});
    make.push_back(stream);
    tu::run_result made = tu::run(make, dir.path().string());
    ASSERT_EQ(made.status, 0) << made.err;
    for (const char* out : {"v.m2v", "a.mp2"}) {
        const bool is_video = out[0] == 'v';
        made = tu::run({ffmpeg, "-nostdin", "-v", "error", "-i", stream, "-map", is_video ? "0:v" : "0:a", "-c",
                        "copy", "-f", is_video ? "mpeg2video" : "mp2", dir.file(out)},
                       dir.path().string());
        ASSERT_EQ(made.status, 0) << made.err;
    }

    const bytes data = tu::read_bytes(stream);
    const stream_format format = detect_stream_format(data.data(), std::min<size_t>(data.size(), 65536));
    ASSERT_EQ(format, m2ts ? stream_format::transport_192 : stream_format::transport_188);
    const recorder r = read_all(data, format, 4000);
    EXPECT_TRUE(r.errors.empty()) << r.errors.at(0).message;
    ASSERT_EQ(r.pmts.size(), 1u);
    EXPECT_FALSE(r.pcrs.empty());

    const probed probe = probe_packets(ffprobe, stream, dir.path().string());
    ASSERT_EQ(probe.packets.size(), 2u);
    for (const auto& [pid, expected] : probe.packets) {
        SCOPED_TRACE("PID " + std::to_string(pid));
        std::vector<time_stamps> read;
        for (const pes_record* p : r.pes_on(pid)) {
            EXPECT_TRUE(p->pes.complete);
            const packet_struct& h = p->pes.header;
            const int64_t pts = h.pts == absent_ts ? -1 : static_cast<int64_t>(h.pts);
            read.push_back({pts, h.dts == absent_ts ? pts : static_cast<int64_t>(h.dts)});
        }
        EXPECT_GT(read.size(), 40u);
        EXPECT_EQ(read, expected);
    }

    // The payloads of each PID, end to end, are the elementary stream.
    for (const char* out : {"v.m2v", "a.mp2"}) {
        const uint16_t pid = probe.pids.at(out[0] == 'v' ? 0 : 1);
        bytes es;
        for (const pes_record* p : r.pes_on(pid)) sb::append(es, p->payload);
        const bytes extracted = tu::read_bytes(dir.file(out));
        ASSERT_GT(extracted.size(), 20000u) << out;
        EXPECT_TRUE(es == extracted) << out << ": " << es.size() << " bytes read, " << extracted.size() << " extracted";
    }
}

INSTANTIATE_TEST_SUITE_P(Ffmpeg, TsRealStream, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? std::string("m2ts") : std::string("ts"); });

}  // namespace
