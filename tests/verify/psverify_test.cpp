// psverify on streams that ffmpeg and mplex make at test time: their own
// warnings while multiplexing, and ffprobe's frame counts and sizes, are the
// reference; on streams built byte by byte, times worked out by hand from
// ISO/IEC 13818-1 2.5.2.  The JSON report is read with jq.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <sstream>
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
    // `filter` applied by jq to the JSON report of `file` (psverify given
    // `options` too).
    std::string json(const std::string& file, const std::string& filter, std::vector<std::string> options = {}) {
        options.insert(options.begin(), "--json");
        options.push_back(file);
        tu::run_result r = check(options);
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
    // Sizes of the frames of stream `index` as ffprobe's parser splits them,
    // as a JSON array.
    std::string probe_frame_sizes(const std::string& file, int index) {
        std::istringstream lines(tu::run({"ffprobe", "-v", "error", "-select_streams", std::to_string(index),
                                          "-show_entries", "packet=size", "-of", "csv=p=0", file},
                                         dir.path().string(), which("ffprobe"))
                                     .out);
        std::string sizes, line;
        while (std::getline(lines, line))
            if (!line.empty()) sizes += (sizes.empty() ? "" : ",") + line.substr(0, line.find(','));
        return "[" + sizes + "]";
    }
    std::string path(const std::string& name) { return dir.file(name); }
    std::string write(const std::string& name, const sb::bytes& stream) {
        tu::write_file(path(name), stream);
        return path(name);
    }
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

// The numbers of a JSON array of numbers.
std::vector<double> numbers(std::string array) {
    std::replace(array.begin(), array.end(), ',', ' ');
    std::istringstream in(array.substr(1, array.size() - 2));
    std::vector<double> out;
    for (double x; in >> x;) out.push_back(x);
    return out;
}

// Audio whose frames differ from those at 48 kHz: MPEG-1 Layer II at
// 44.1 kHz (a padding byte in some frames), AC-3 at 44.1 kHz (odd frame size
// codes a word longer), MPEG-2 Layer III at 24 kHz (576 samples a frame).
// In ffmpeg's streams every frame ffprobe counts is there.  In built streams
// whose every byte arrives late, each frame is reported on its own: its
// bytes as many as ffprobe's parser cuts, its decoding time one frame
// (samples / sampling rate) after the one before.
TEST_F(PsverifyTest, AudioAtOtherRatesFrameByFrame) {
    for (const auto& [name, coding] : {std::pair<std::string, std::vector<std::string>>{
                                           "ac3.vob", {"-c:a", "ac3", "-ar", "44100", "-f", "vob"}},
                                       {"mp3.mpg", {"-c:a", "libmp3lame", "-ar", "24000", "-f", "mpeg"}},
                                       {"mp2.mpg", {"-c:a", "mp2", "-ar", "44100", "-f", "mpeg"}}}) {
        SCOPED_TRACE(name);
        ffmpeg(cat({small_video, tone(48000), {"-c:v", "mpeg2video"}, coding, {path(name)}}));
        EXPECT_EQ(json(path(name), ".files[0].streams[1].access_units | tostring"),
                  "\"" + probe_frames(path(name), 1) + "\"");
    }

    struct built {
        std::string name;
        std::vector<sb::bytes> payloads;  // one packet each; the first has the time stamp
        uint8_t stream_id;
        double frame_seconds;
    };
    sb::bytes mp2, ac3, mp3;
    // 128 kbit/s: 417 bytes, 418 with the padding bit.
    for (bool padded : {true, true, false, true})
        sb::append(mp2, sb::audio_frame({0xFF, 0xFD, static_cast<uint8_t>(padded ? 0x82 : 0x80), 0xC4},
                                        padded ? 418 : 417));
    // 192 kbit/s: frame size codes 20 and 21, 417 and 418 words.
    for (uint8_t code : {20, 21, 20, 21})
        sb::append(ac3, sb::audio_frame({0x0B, 0x77, 0x00, 0x00, static_cast<uint8_t>(0x40 | code), 0x40},
                                        code == 20 ? 834 : 836));
    // 32 kbit/s: 96 bytes.
    for (int i = 0; i < 4; ++i) sb::append(mp3, sb::audio_frame({0xFF, 0xF3, 0x44, 0xC4}, 96));
    const uint64_t scr = 90000, pts = scr - 45000;
    for (const built& b : {
             // The second frame's first byte ends the first packet: where
             // the first frame ends decides whose byte it is.
             built{"mp2_late.mpg", {sb::bytes(mp2.begin(), mp2.begin() + 419), sb::bytes(mp2.begin() + 419, mp2.end())},
                   0xC0, 1152 / 44100.0},
             built{"ac3_late.vob", {sb::dvd_audio_payload(0x80, 4, ac3)}, 0xBD, 1536 / 44100.0},
             built{"mp3_late.mpg", {sb::bytes(mp3.begin(), mp3.begin() + 192), sb::bytes(mp3.begin() + 192, mp3.end())},
                   0xC0, 576 / 24000.0}}) {
        SCOPED_TRACE(b.name);
        sb::bytes stream = sb::pack_header(scr, 0, 1000);
        for (size_t i = 0; i < b.payloads.size(); ++i) {
            sb::pes_fields f;
            if (i == 0) f.pts = pts;
            sb::append(stream, sb::pes_packet(b.stream_id, f, b.payloads[i]));
        }
        const std::string file = write(b.name, stream);
        const std::string sizes = probe_frame_sizes(file, 0);
        ASSERT_EQ(numbers(sizes).size(), 4u) << sizes;
        EXPECT_EQ(json(file, "[.files[0].streams[0].events[] | .late_bytes]"), sizes);
        EXPECT_EQ(json(file, ".files[0].streams[0] | [.access_units, .underflow_units]"), "[4,4]");
        const std::vector<double> times = numbers(json(file, "[.files[0].streams[0].events[] | .decoding_time_90khz]"));
        ASSERT_EQ(times.size(), 4u);
        // Each frame's duration may be cut to a whole 90 kHz tick.
        for (size_t k = 0; k < times.size(); ++k)
            EXPECT_NEAR(times[k], pts + k * b.frame_seconds * 90000, k) << "frame " << k;
    }
}

// A stream that only overflows, on packs whose SCR extensions are not zero:
// NOT conformant with exit status 1, and the episode's times as 13818-1
// 2.5.2 gives them.  A pack's SCR (base * 300 + extension, 27 MHz) is when
// its byte 8, the last of the SCR base, arrives; the bytes after it follow
// at program_mux_rate * 50 bytes/s.  Times are seconds from the first SCR.
TEST_F(PsverifyTest, OverflowOnlyOnPacksWithScrExtensions) {
    const uint64_t base0 = 90000, base1 = 90900, pts = base1 + 90000;
    const uint32_t ext0 = 100, ext1 = 299, mux = 1000;
    // MPEG-1 Layer II at 64 kbit/s and 48 kHz: 192 bytes and 24 ms a frame;
    // 30 of them fill the 4,096-byte buffer long before the first is
    // decoded, and every byte arrives in time.
    sb::bytes frames;
    for (int i = 0; i < 30; ++i) sb::append(frames, sb::audio_frame({0xFF, 0xFD, 0x44, 0xC4}, 192));
    sb::pes_fields stamped;
    stamped.pts = pts;
    const std::string file =
        write("overflow.mpg", sb::concat({sb::pack_header(base0, ext0, mux), sb::packet(0xBE, sb::bytes(100, 0xFF)),
                                          sb::pack_header(base1, ext1, mux), sb::pes_packet(0xC0, stamped, frames)}));

    auto seconds = [](uint64_t base, uint32_t ext) { return (base * 300.0 + ext) / 27e6; };
    const double first_scr = seconds(base0, ext0), byte_time = 1.0 / (mux * 50.0);
    // The 4,097th byte: payload byte 4096, after the pack header (14 bytes),
    // the packet's start code and length (6) and its header with the PTS (8).
    const double begins = seconds(base1, ext1) - first_scr + (14 + 6 + 8 + 4096 - 8) * byte_time;
    // Within 4,096 bytes again when the ninth frame leaves, 8 frames after
    // the PTS.
    const double ends = seconds(pts, 0) - first_scr + 8 * 1152 / 48000.0;
    const std::vector<double> episode =
        numbers(json(file, "[.files[0].streams[0].events[] | .time, .end_time, .excess]"));
    ASSERT_EQ(episode.size(), 3u);  // times in whole microseconds
    EXPECT_NEAR(episode[0], begins, 1e-6);
    EXPECT_NEAR(episode[1], ends, 1e-6);
    EXPECT_EQ(episode[2], 30 * 192 - 4096);
    EXPECT_EQ(json(file, ".files[0] | [.conformant, (.streams[0] | .buffer_size, .underflow_units, .overflow_episodes)]"),
              "[false,4096,0,1]");
    tu::run_result text = check({file});
    EXPECT_EQ(text.status, 1);
    EXPECT_NE(text.out.find("overflow.mpg: 2 packs, NOT conformant"), std::string::npos) << text.out;
    EXPECT_EQ(check({"--json", file}).status, 1);
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
