// psverify on streams that ffmpeg and mplex make at test time: their own
// warnings while multiplexing, and ffprobe's frame counts, are the
// reference.  The JSON report is read with jq.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <thread>

#include "stream_builder.h"
#include "test_util.h"

namespace {

const std::string psverify = PSVERIFY_PATH;

// Where `tool` is on the PATH; empty when it is not there.
std::string which(const std::string& tool) {
    std::string p = tu::run({"/bin/sh", "-c", "command -v " + tool}, ".").out;
    return p.substr(0, p.find('\n'));
}

class PsverifyTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {"ffmpeg", "ffprobe", "mplex", "jq"})
            if (which(tool).empty()) GTEST_SKIP() << "needs ffmpeg, ffprobe, mplex (mjpegtools) and jq";
    }
    // Runs ffmpeg with `args`; its standard error (the multiplexer's
    // warnings) is returned.
    std::string ffmpeg(const std::vector<std::string>& args) {
        std::vector<std::string> argv{"ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "warning", "-y",
                                      "-fflags", "+bitexact", "-threads", "1"};
        argv.insert(argv.end(), args.begin(), args.end());
        tu::run_result r = tu::run(argv, dir.path().string(), which("ffmpeg"));
        EXPECT_EQ(r.status, 0) << r.err;
        return r.err;
    }
    tu::run_result check(std::vector<std::string> args) {
        args.insert(args.begin(), psverify);
        return tu::run(args, dir.path().string());
    }
    // `filter` applied by jq to the JSON report of `file`.
    std::string json(const std::string& file, const std::string& filter) {
        tu::run_result r = check({"--json", file});
        tu::write_file(dir.file("report.json"), std::vector<uint8_t>(r.out.begin(), r.out.end()));
        tu::run_result q = tu::run({"jq", "-c", filter, dir.file("report.json")}, ".", which("jq"));
        EXPECT_EQ(q.status, 0) << r.out << q.err;
        return q.out.substr(0, q.out.find_last_not_of('\n') + 1);
    }
    // Frames of stream `index` as ffprobe counts them.
    std::string probe_frames(const std::string& file, int index) {
        std::string n = tu::run({"ffprobe", "-v", "error", "-count_frames", "-select_streams", std::to_string(index),
                                 "-show_entries", "stream=nb_read_frames", "-of", "csv=p=0", file},
                                dir.path().string(), which("ffprobe"))
                            .out;
        return n.substr(0, n.find_first_of("\n,"));
    }
    std::string path(const std::string& name) { return dir.file(name); }
    tu::temp_dir dir;
};

const std::vector<std::string> small_video{"-f", "lavfi", "-i", "testsrc2=size=176x144:rate=25:duration=2"};
std::vector<std::string> tone(int rate) {
    return {"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=" + std::to_string(rate) + ":duration=2"};
}
std::vector<std::string> cat(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// ffmpeg's DVD multiplexer at a ladder of mux rates for 448 kbit/s AC-3:
// where it warns "buffer underflow st=N", stream N underflows here too, and
// a rate well above the last warning is clean.
TEST_F(PsverifyTest, AgreesWithTheMultiplexersOnStarvedAndFedStreams) {
    for (const char* rate : {"600k", "800k", "1200k"}) {
        SCOPED_TRACE(rate);
        const std::string file = path(std::string("ac3_") + rate + ".vob");
        const std::string warnings =
            ffmpeg(cat({small_video, tone(48000), {"-c:v", "mpeg2video", "-b:v", "300k", "-c:a", "ac3", "-b:a", "448k",
                                                   "-f", "vob", "-muxrate", rate, file}}));
        const bool video_starved = warnings.find("underflow st=0") != std::string::npos;
        const bool audio_starved = warnings.find("underflow st=1") != std::string::npos;
        EXPECT_EQ(json(file, "[.files[0].streams[] | .underflow_units > 0]"),
                  std::string("[") + (video_starved ? "true" : "false") + "," + (audio_starved ? "true" : "false") + "]");
        EXPECT_EQ(json(file, ".files[0].streams[1] | [.label, .kind, .buffer_source]"),
                  R"(["0xbd/0x80","AC-3","stream"])");
        EXPECT_EQ(json(file, ".files[0].streams[1].access_units | tostring"), "\"" + probe_frames(file, 1) + "\"");
        EXPECT_EQ(check({file}).status, video_starved || audio_starved ? 1 : 0);
    }
    // mplex at a rate it warns of under-runs at, and at one it does not
    // (see tests/buffer_analysis/data/make_rate_streams.sh).
    tu::run_result low = check({BUFFER_TEST_DATA_DIR "/low_rate_mplex.mpg"});
    EXPECT_EQ(low.status, 1);
    EXPECT_NE(low.out.find("Underflow in 0xe0"), std::string::npos);
    EXPECT_EQ(check({BUFFER_TEST_DATA_DIR "/enough_rate_mplex.mpg"}).status, 0);
}

// Full-resolution DVD from both multiplexers, and MPEG-2 audio at 24 kHz,
// which ffmpeg multiplexes without a warning: clean, with every frame
// ffprobe counts.
TEST_F(PsverifyTest, FullResolutionDvdAndLowRateAudioAreClean) {
    const std::vector<std::string> full{"-f", "lavfi", "-i", "testsrc2=size=720x576:rate=25:duration=2"};
    EXPECT_EQ(ffmpeg(cat({full, tone(48000), {"-target", "pal-dvd", path("ff.vob")}})), "");
    ffmpeg(cat({full, {"-c:v", "mpeg2video", "-b:v", "3500k", "-maxrate", "5000k", "-bufsize", "1835008", "-g", "15",
                       "-f", "mpeg2video", path("v.m2v")}}));
    ffmpeg(cat({tone(48000), {"-c:a", "ac3", "-b:a", "448k", path("a.ac3")}}));
    tu::run_result mux = tu::run({"mplex", "-f", "8", "-o", path("mplex.vob"), path("v.m2v"), path("a.ac3")},
                                 dir.path().string(), which("mplex"));
    ASSERT_NE(mux.err.find("no under-runs detected"), std::string::npos) << mux.err;
    for (const char* file : {"ff.vob", "mplex.vob"}) {
        SCOPED_TRACE(file);
        EXPECT_EQ(check({path(file)}).status, 0);
        EXPECT_EQ(json(path(file), "[.files[0].streams[] | [.label, .buffer_source, .largest_occupancy <= .buffer_size]]"),
                  R"([["0xe0","stream",true],["0xbd/0x80","stream",true]])");
    }
    const std::string warnings = ffmpeg(cat(
        {small_video, tone(24000), {"-c:v", "mpeg2video", "-c:a", "mp2", "-b:a", "64k", "-f", "mpeg", path("lsf.mpg")}}));
    EXPECT_EQ(warnings.find("underflow"), std::string::npos);
    EXPECT_EQ(check({path("lsf.mpg")}).status, 0);
    EXPECT_EQ(json(path("lsf.mpg"), ".files[0].streams[1].access_units | tostring"),
              "\"" + probe_frames(path("lsf.mpg"), 1) + "\"");
}

// Files that cannot be checked get one line on standard error and exit
// status 2; the others are still checked, and a FIFO is read like a file.
TEST_F(PsverifyTest, UnreadableFilesAndEventLimits) {
    const std::string good = BUFFER_TEST_DATA_DIR "/low_rate_mplex.mpg";
    tu::write_file(path("empty.mpg"), std::vector<uint8_t>(100, 0));
    tu::run_result r = check({path("missing.mpg"), dir.path().string(), path("empty.mpg"), good});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 3) << r.err;
    EXPECT_NE(r.err.find("missing.mpg: No such file or directory"), std::string::npos);
    EXPECT_NE(r.err.find("Is a directory"), std::string::npos);
    EXPECT_NE(r.err.find("empty.mpg: no pack found"), std::string::npos);
    EXPECT_NE(r.out.find("low_rate_mplex.mpg: 142 packs, NOT conformant"), std::string::npos);

    // Three late video units; with one shown, a line tells of the other two.
    r = check({"--max-events", "1", good});
    EXPECT_NE(r.out.find("... 2 more events of 0xe0 not shown"), std::string::npos) << r.out;
    EXPECT_EQ(json(good, "[.files[0].streams[] | [.underflow_units, (.events | length), .events_not_shown]]"),
              "[[3,3,0],[1,1,0]]");

    // Both marker bits of a program_packet_sequence_counter clear: the
    // parser's two messages go to standard error, the JSON stays whole.
    sb::pes_fields bad;
    bad.pts = 9000;
    bad.extension = sb::bytes{0x20, 0x00, 0x00};
    tu::write_file(path("marker.mpg"), sb::concat({sb::pack_header(0, 0, 1000), sb::pes_packet(0xE0, bad, {1, 2, 3})}));
    EXPECT_EQ(json(path("marker.mpg"), ".files[0] | [.marker_errors, .stream_errors, .conformant]"), "[2,2,true]");

    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    std::thread writer([&] {
        std::ofstream(path("fifo"), std::ios::binary) << tu::read_file(good);
    });
    tu::run_result from_fifo = check({"--json", path("fifo")});
    writer.join();
    tu::run_result from_file = check({"--json", good});
    EXPECT_EQ(from_fifo.status, 1);
    EXPECT_EQ(from_fifo.out.substr(from_fifo.out.find("\"packs\"")), from_file.out.substr(from_file.out.find("\"packs\"")));
}

}  // namespace
