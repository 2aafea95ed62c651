// The H.264 and AAC (ADTS) splitters against ffprobe's reading of streams
// ffmpeg makes at test time: as many access units as ffprobe counts frames,
// each decoded at ffprobe's packet DTS.  Units without a stamp of their own
// must come out at the same times from the frame period (VUI timing, ADTS
// frame duration), so every stream is also split with most stamps dropped.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "es/au_splitter.h"
#include "ts_reader.h"
#include "test_util.h"

namespace {

// One splitter and the decoding times of the units that began in it.
struct unit_log {
    explicit unit_log(int32_t format) { init_au_splitter(s, format); }
    void feed(const uint8_t* p, size_t n, std::optional<int64_t> stamp_90k) {
        std::optional<es_stamp_struct> stamp;
        if (stamp_90k) stamp = es_stamp_struct{*stamp_90k * 300, static_cast<uint64_t>(*stamp_90k)};
        split_access_units(s, p, static_cast<int64_t>(n), stamp, split);
        int64_t bytes = 0;
        for (int e = 0; e < split.n_entries; ++e) {
            bytes += split.n_bytes[e];
            if (e > 0) dts.push_back(split.au_dts[e]);
        }
        EXPECT_EQ(bytes, static_cast<int64_t>(n)) << "every byte goes to one unit";
    }
    au_splitter_struct s;
    au_split_struct split;
    std::vector<int64_t> dts;
};

// Feeds each PES packet's payload to two splitters of its PID: one with
// every stamp, one with the stamp of every third packet only.
struct pes_feeder : ts_observer {
    struct pid_logs {
        explicit pid_logs(int32_t format) : all(format), sparse(format) {}
        unit_log all, sparse;
        std::vector<uint8_t> payload;
        std::optional<int64_t> stamp;
        int packets = 0;
    };
    std::map<uint16_t, pid_logs> pids;

    pid_logs& logs(const ts_pes& pes) {
        const int32_t format = au_format_of(es_kind_of_stream_type(pes.stream_type));
        return pids.try_emplace(pes.pid, format).first->second;
    }
    void on_pes_begin(const ts_reader&, const ts_pes& pes) override {
        pid_logs& l = logs(pes);
        l.payload.clear();
        const uint64_t t = pes.header.dts != absent_ts ? pes.header.dts : pes.header.pts;
        l.stamp = t != absent_ts ? std::optional<int64_t>(static_cast<int64_t>(t)) : std::nullopt;
    }
    void on_pes_payload(const ts_reader&, const ts_pes& pes, const uint8_t* p, size_t n) override {
        std::vector<uint8_t>& b = logs(pes).payload;
        b.insert(b.end(), p, p + n);
    }
    void on_pes_end(const ts_reader&, const ts_pes& pes) override {
        pid_logs& l = logs(pes);
        l.all.feed(l.payload.data(), l.payload.size(), l.stamp);
        l.sparse.feed(l.payload.data(), l.payload.size(), l.packets++ % 3 == 0 ? l.stamp : std::nullopt);
    }
};

class EsSplitters : public ::testing::Test {
protected:
    void SetUp() override {
        ffmpeg = tu::find_program("ffmpeg");
        ffprobe = tu::find_program("ffprobe");
        if (ffmpeg.empty() || ffprobe.empty()) GTEST_SKIP() << "ffmpeg or ffprobe not installed";
    }
    // Runs ffmpeg with `args` in the test's directory; false when it fails
    // (an encoder missing).
    bool make(std::vector<std::string> args) {
        args.insert(args.begin(), {ffmpeg, "-nostdin", "-v", "error", "-y"});
        return tu::run(args, dir.path().string()).status == 0;
    }
    // ffprobe's entries, one a line, for stream `select` of `file`.
    std::vector<std::string> probe(const std::string& file, const std::string& select, const std::string& entries,
                                   bool count_frames = false) {
        std::vector<std::string> args{ffprobe, "-v", "error", "-select_streams", select, "-show_entries", entries,
                                      "-of", "csv=p=0", file};
        if (count_frames) args.insert(args.begin() + 1, "-count_frames");
        const tu::run_result r = tu::run(args, dir.path().string());
        EXPECT_EQ(r.status, 0) << r.err;
        std::vector<std::string> lines;
        std::istringstream in(r.out);
        for (std::string line; std::getline(in, line);)
            if (!line.empty()) lines.push_back(line);
        return lines;
    }
    int64_t frame_count(const std::string& file, const std::string& select) {
        return std::stoll(probe(file, select, "stream=nb_read_frames", true).at(0));
    }
    std::vector<int64_t> dts_ticks(const std::string& file, const std::string& select) {
        std::vector<int64_t> out;
        for (const std::string& d : probe(file, select, "packet=dts")) out.push_back(std::stoll(d) * 300);
        return out;
    }
    uint16_t pid_of(const std::string& file, const std::string& select) {
        return static_cast<uint16_t>(std::stoul(probe(file, select, "stream=id").at(0), nullptr, 16));
    }
    pes_feeder read_ts(const std::string& file) {
        pes_feeder feeder;
        ts_reader reader;
        reader.add_observer(feeder);
        const std::vector<uint8_t> data = tu::read_bytes(dir.file(file));
        reader.feed(data.data(), data.size());
        reader.finish();
        return feeder;
    }
    // Feeds `data` to `log` in chunks whose sizes cycle through `sizes`,
    // with `stamp` on the first chunk only.
    static void feed_chunks(unit_log& log, const std::vector<uint8_t>& data, const std::vector<size_t>& sizes,
                            int64_t stamp) {
        for (size_t at = 0, k = 0; at < data.size(); ++k) {
            const size_t n = std::min(sizes[k % sizes.size()], data.size() - at);
            log.feed(data.data() + at, n, at == 0 ? std::optional<int64_t>(stamp) : std::nullopt);
            at += n;
        }
    }

    tu::temp_dir dir;
    std::string ffmpeg, ffprobe;
};

TEST_F(EsSplitters, TransportStreamUnitsMatchFfprobe) {
    if (!make({"-f", "lavfi", "-i", "testsrc=size=320x240:rate=25", "-f", "lavfi", "-i", "sine=sample_rate=48000",
               "-t", "3", "-c:v", "libx264", "-x264-params", "nal-hrd=cbr", "-b:v", "1M", "-maxrate", "1M",
               "-bufsize", "1M", "-c:a", "aac", "-f", "mpegts", "-pes_payload_size", "0", "x.ts"}))
        GTEST_SKIP() << "ffmpeg cannot encode H.264 and AAC";
    pes_feeder fed = read_ts("x.ts");
    for (const std::string select : {"v:0", "a:0"}) {
        SCOPED_TRACE(select);
        ASSERT_TRUE(fed.pids.count(pid_of("x.ts", select)));
        const pes_feeder::pid_logs& l = fed.pids.at(pid_of("x.ts", select));
        EXPECT_EQ(l.all.s.access_units, frame_count("x.ts", select));
        const std::vector<int64_t> expected = dts_ticks("x.ts", select);
        EXPECT_EQ(l.all.dts, expected);
        EXPECT_EQ(l.sparse.dts, expected);
    }
    const au_splitter_struct& video = fed.pids.at(pid_of("x.ts", "v:0")).all.s;
    ASSERT_TRUE(video.has_sps);
    EXPECT_EQ(video.sps.level_idc, std::stoi(probe("x.ts", "v:0", "stream=level").at(0)));
    EXPECT_EQ(video.sps.nal_hrd_bit_rate_bps, 1000000);
    EXPECT_EQ(video.sps.nal_hrd_cpb_size_bits, 1000000);
    const au_splitter_struct& audio = fed.pids.at(pid_of("x.ts", "a:0")).all.s;
    ASSERT_TRUE(audio.has_adts_header);
    EXPECT_EQ(audio.adts_header.channel_configuration, std::stoi(probe("x.ts", "a:0", "stream=channels").at(0)));
}

// Without access unit delimiters (removed from the byte stream), in chunks
// of odd sizes so that start codes and slice headers straddle calls; only
// the first chunk has a stamp.
TEST_F(EsSplitters, H264WithoutDelimitersInChunks) {
    if (!make({"-f", "lavfi", "-i", "testsrc=size=320x240:rate=25", "-t", "2", "-c:v", "libx264", "-g", "12", "-slices", "3",
               "-f", "mpegts", "v.ts"}) ||
        !make({"-i", "v.ts", "-c", "copy", "-bsf:v", "h264_metadata=aud=remove", "-f", "h264", "v.h264"}))
        GTEST_SKIP() << "ffmpeg cannot encode H.264";
    const std::vector<uint8_t> es = tu::read_bytes(dir.file("v.h264"));
    const std::vector<int64_t> expected = dts_ticks("v.ts", "v:0");
    ASSERT_FALSE(expected.empty());
    for (const std::vector<size_t>& sizes : {std::vector<size_t>{1, 2, 3, 5, 700}, std::vector<size_t>{184, 4000}}) {
        unit_log log(format_h264);
        feed_chunks(log, es, sizes, expected[0] / 300);
        EXPECT_FALSE(log.s.parse_info.h264_has_aud);
        EXPECT_EQ(log.s.access_units, frame_count("v.ts", "v:0"));
        EXPECT_EQ(log.dts, expected);
    }
}

// ADTS frames in chunks that cut headers, and junk between two frames: the
// splitter finds the next frame again and keeps its times.
TEST_F(EsSplitters, AdtsInChunksAndAfterJunk) {
    if (!make({"-f", "lavfi", "-i", "sine=sample_rate=48000", "-ac", "2", "-t", "2", "-c:a", "aac", "-f", "mpegts",
               "a.ts"}) ||
        !make({"-i", "a.ts", "-c", "copy", "-f", "adts", "a.aac"}))
        GTEST_SKIP() << "ffmpeg cannot encode AAC";
    std::vector<uint8_t> es = tu::read_bytes(dir.file("a.aac"));
    const std::vector<int64_t> expected = dts_ticks("a.ts", "a:0");
    ASSERT_FALSE(expected.empty());
    {
        unit_log log(format_aac_adts);
        feed_chunks(log, es, {3, 5, 2, 11, 400}, expected[0] / 300);
        EXPECT_EQ(log.s.access_units, frame_count("a.ts", "a:0"));
        EXPECT_EQ(log.dts, expected);
        EXPECT_EQ(log.s.adts_header.channel_configuration, 2);
    }
    // Junk after the first frame: zeros, then a false syncword.
    adts_header_info first;
    ASSERT_TRUE(read_adts_header(es.data(), es.size(), first));
    const std::vector<uint8_t> junk{0, 0, 0, 0xFF, 0xF1, 0, 0, 0, 0, 0};
    es.insert(es.begin() + first.frame_length, junk.begin(), junk.end());
    unit_log log(format_aac_adts);
    feed_chunks(log, es, {6, 1, 300}, expected[0] / 300);
    EXPECT_EQ(log.dts, expected);
}

}  // namespace
