// The stream-header readers against ffmpeg's own reading of the streams its
// encoders write (its trace_headers filter prints every field) and against
// ffprobe's frame count.
#include <gtest/gtest.h>

#include <map>
#include <regex>

#include "stream_headers.h"
#include "test_util.h"

namespace {

class StreamHeaders : public ::testing::Test {
protected:
    void SetUp() override {
        if (tu::run({"/bin/sh", "-c", "command -v ffmpeg"}, ".").status != 0) GTEST_SKIP() << "needs ffmpeg";
    }
    void make(const std::vector<std::string>& args) {
        std::vector<std::string> argv{"/bin/sh", "-c", ""};
        std::string cmd = "ffmpeg -nostdin -loglevel error -y -fflags +bitexact -threads 1";
        for (const std::string& a : args) cmd += " '" + a + "'";
        argv[2] = cmd;
        ASSERT_EQ(tu::run(argv, dir.path().string()).status, 0) << cmd;
    }
    // The first value of every field ffmpeg's trace_headers prints for `file`.
    std::map<std::string, int64_t> traced(const std::string& file) {
        tu::run_result r = tu::run({"/bin/sh", "-c", "ffmpeg -nostdin -hide_banner -i " + file +
                                                         " -c copy -bsf:v trace_headers -f null - 2>&1"},
                                   dir.path().string());
        std::map<std::string, int64_t> fields;
        const std::regex line(R"(\]\s+\d+\s+(\w+)(?:\[0\])?\s+[01]+ = (\d+))");
        for (std::sregex_iterator it(r.out.begin(), r.out.end(), line), end; it != end; ++it)
            fields.emplace((*it)[1], std::stoll((*it)[2]));
        return fields;
    }
    std::vector<uint8_t> bytes(const std::string& name) {
        std::string s = tu::read_file(dir.file(name));
        return {s.begin(), s.end()};
    }
    tu::temp_dir dir;
};

}  // namespace

TEST_F(StreamHeaders, H264SpsWithNalHrd) {
    // High 4:4:4 (testsrc is RGB): the chroma and scaling-list branch too.
    make({"-f", "lavfi", "-i", "testsrc=size=320x240:rate=25", "-t", "1", "-c:v", "libx264", "-b:v", "1500k",
          "-maxrate", "1500k", "-bufsize", "900k", "-x264-params", "nal-hrd=cbr", "-level", "3.0", "-f", "h264",
          "t.264"});
    std::map<std::string, int64_t> f = traced("t.264");
    const std::vector<uint8_t> es = bytes("t.264");
    h264_sps_info sps;
    bool found = false;
    for (size_t i = 0; i + 4 < es.size() && !found; ++i)
        if (es[i] == 0 && es[i + 1] == 0 && es[i + 2] == 1 && (es[i + 3] & 0x1F) == 7)
            found = read_h264_sps(es.data() + i + 3, es.size() - i - 3, sps);
    ASSERT_TRUE(found);
    EXPECT_EQ(sps.profile_idc, f["profile_idc"]);
    EXPECT_EQ(sps.level_idc, f["level_idc"]);
    EXPECT_EQ(sps.time_scale, f["time_scale"]);
    ASSERT_TRUE(sps.nal_hrd_bit_rate_bps && sps.nal_hrd_cpb_size_bits);
    EXPECT_EQ(*sps.nal_hrd_bit_rate_bps, (f["bit_rate_value_minus1"] + 1) << (6 + f["bit_rate_scale"]));
    EXPECT_EQ(*sps.nal_hrd_cpb_size_bits, (f["cpb_size_value_minus1"] + 1) << (4 + f["cpb_size_scale"]));
    EXPECT_TRUE(sps.nal_hrd_cbr);
    EXPECT_EQ(sps.width, 320);
}

TEST_F(StreamHeaders, Mpeg2SequenceAndAdts) {
    make({"-f", "lavfi", "-i", "testsrc=size=720x576:rate=25", "-t", "1", "-c:v", "mpeg2video", "-b:v", "5M",
          "-maxrate", "8M", "-bufsize", "1835008", "-f", "mpeg2video", "t.m2v"});
    std::map<std::string, int64_t> f = traced("t.m2v");
    const std::vector<uint8_t> es = bytes("t.m2v");
    video_sequence_info v;
    ASSERT_TRUE(read_video_sequence(es.data(), es.size(), v));
    EXPECT_EQ(v.bit_rate_bps, ((f["bit_rate_extension"] << 18) | f["bit_rate_value"]) * 400);
    EXPECT_EQ(v.vbv_buffer_size, (f["vbv_buffer_size_extension"] << 10) | f["vbv_buffer_size_value"]);
    EXPECT_EQ(v.profile_and_level, f["profile_and_level_indication"]);
    EXPECT_EQ(v.profile(), 4);  // Main
    EXPECT_EQ(v.level(), 8);    // Main
    EXPECT_EQ(v.width, 720);

    // ADTS: every frame's header read in turn, frame by frame, gives the
    // count ffprobe gives.
    make({"-f", "lavfi", "-i", "sine=sample_rate=44100", "-ac", "2", "-t", "1", "-c:a", "aac", "-f", "adts", "t.aac"});
    const std::vector<uint8_t> aac = bytes("t.aac");
    int frames = 0;
    adts_header_info h;
    for (size_t at = 0; at < aac.size() && read_adts_header(aac.data() + at, aac.size() - at, h); at += h.frame_length)
        ++frames;
    EXPECT_EQ(h.sampling_hz, 44100);
    EXPECT_EQ(h.channel_configuration, 2);
    const std::string probed = tu::run({"/bin/sh", "-c", "ffprobe -v error -count_frames -show_entries "
                                                         "stream=nb_read_frames -of csv=p=0 t.aac"},
                                       dir.path().string())
                                   .out;
    EXPECT_EQ(std::to_string(frames) + "\n", probed);
}
