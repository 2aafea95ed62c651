// Records of the clock relationships plot: hand-made packs, and real streams
// checked against the time stamps ffprobe reports and the SCRs of an
// independent scan of the pack headers.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "clocks_model.h"
#include "parser.h"
#include "probe_file.h"
#include "test_util.h"

namespace {

struct pkt {
    uint8_t id;
    uint64_t pts;
};

std::unique_ptr<pack_struct> make_pack(uint32_t scr, std::initializer_list<pkt> packets) {
    auto p = new_pack_struct();
    p->scr = scr;
    for (const pkt& k : packets) {
        auto packet = new_packet_struct();
        packet->stream_id = k.id;
        packet->pts = k.pts;
        add_packet_to_pack(*p, std::move(*packet));
    }
    return p;
}

struct records {
    std::vector<clock_relationship> video, audio;
};

records compute(const pack_list& packs) {
    records r;
    compute_clock_relationships(packs, r.video, r.audio);
    return r;
}

TEST(ClockRecords, LatestTimeStampsAreCarriedFromPackToPack) {
    pack_list packs;
    packs.push_back(make_pack(1000, {}));                                  // before any PTS
    packs.push_back(make_pack(2000, {{0xC0, 1500}}));                       // audio only so far
    packs.push_back(make_pack(3000, {{0xE0, 5000}, {0xE0, absent_ts}}));    // absent PTS keeps 5000
    packs.push_back(make_pack(4000, {{0xE0, 3000}, {0xE0, 9000}, {0xC0, absent_ts}}));  // last PTS wins
    packs.push_back(make_pack(5000, {{0xBE, 1}, {0xBD, 2}}));              // other streams
    records r = compute(packs);

    ASSERT_EQ(r.video.size(), 5u);
    ASSERT_EQ(r.audio.size(), 5u);
    const int32_t video[] = {1000, 2000, 3000 - 5000, 4000 - 9000, 5000 - 9000};
    const int32_t audio[] = {1000, 2000 - 1500, 3000 - 1500, 4000 - 1500, 5000 - 1500};
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(r.video[i].difference, video[i]);
        EXPECT_EQ(r.audio[i].difference, audio[i]);
        EXPECT_EQ(r.video[i].pack_index, i);
        EXPECT_EQ(r.audio[i].pack_index, i);
        EXPECT_FLOAT_EQ(r.video[i].seconds, (i + 1) * 1000 / 90000.0f);
        EXPECT_EQ(r.video[i].seconds, r.audio[i].seconds);
    }
}

TEST(ClockRecords, SecondAudioAndVideoStreamsNeverContribute) {
    pack_list packs;
    packs.push_back(make_pack(90000, {{0xE1, 100}, {0xC1, 200}, {0xEF, 300}, {0xDF, 400}}));
    packs.push_back(make_pack(180000, {{0xC0, 170000}, {0xC1, 10}, {0xE1, 20}}));
    records r = compute(packs);
    EXPECT_EQ(r.video[0].difference, 90000);  // follows scr alone
    EXPECT_EQ(r.video[1].difference, 180000);
    EXPECT_EQ(r.audio[0].difference, 90000);
    EXPECT_EQ(r.audio[1].difference, 10000);
    EXPECT_FLOAT_EQ(r.video[1].seconds, 2.0f);
}

TEST(ClockRecords, DifferencesUseTheLow32BitsIn32BitArithmetic) {
    pack_list packs;
    // PTS with bit 32 set: only its low 32 bits count.
    packs.push_back(make_pack(100, {{0xE0, (uint64_t{1} << 32) | 50}}));
    // SCR just past the 32-bit wrap, PTS just before it: a small positive
    // difference, not a huge negative one.
    packs.push_back(make_pack(10, {{0xE0, 0xFFFFFFF0u}, {0xC0, 0xFFFFFFFFu}}));
    // PTS 0 is not "greater than 0": the latest PTS stays as it was.
    packs.push_back(make_pack(30, {{0xE0, 0}}));
    records r = compute(packs);
    EXPECT_EQ(r.video[0].difference, 50);
    EXPECT_EQ(r.video[1].difference, 26);
    EXPECT_EQ(r.audio[1].difference, 11);
    EXPECT_EQ(r.video[2].difference, 46);
    EXPECT_EQ(r.audio[2].difference, 31);
}

TEST(ClockRecords, NoPacksGiveNoRecords) {
    records r;
    r.video.resize(3);
    r.audio.resize(3);
    compute_clock_relationships({}, r.video, r.audio);
    EXPECT_TRUE(r.video.empty());
    EXPECT_TRUE(r.audio.empty());
}

// ---------------------------------------------------------------------------
// Real streams.

struct scanned_pack {
    int64_t offset;
    uint64_t scr;  // 33-bit SCR base
};

// Pack headers found by looking at the bytes only: a pack start code followed
// by a well-formed SCR field (marker bits set) of either stream format.
std::vector<scanned_pack> scan_pack_headers(const std::vector<uint8_t>& d) {
    std::vector<scanned_pack> out;
    for (size_t i = 0; i + 9 <= d.size(); ++i) {
        if (d[i] != 0 || d[i + 1] != 0 || d[i + 2] != 1 || d[i + 3] != 0xBA) continue;
        const uint8_t* b = &d[i + 4];
        uint64_t scr;
        if ((b[0] & 0xC0) == 0x40) {
            if (!(b[0] & 0x04) || !(b[2] & 0x04) || !(b[4] & 0x04)) continue;
            scr = (uint64_t{b[0] & 0x38u} << 27) | (uint64_t{b[0] & 0x03u} << 28) | (uint64_t{b[1]} << 20) |
                  (uint64_t{b[2] & 0xF8u} << 12) | (uint64_t{b[2] & 0x03u} << 13) | (uint64_t{b[3]} << 5) |
                  (b[4] >> 3);
        } else if ((b[0] & 0xF0) == 0x20) {
            if (!(b[0] & 0x01) || !(b[2] & 0x01) || !(b[4] & 0x01)) continue;
            scr = (uint64_t{b[0] & 0x0Eu} << 29) | (uint64_t{b[1]} << 22) | (uint64_t{b[2] & 0xFEu} << 14) |
                  (uint64_t{b[3]} << 7) | (b[4] >> 1);
        } else {
            continue;
        }
        out.push_back({static_cast<int64_t>(i), scr});
    }
    return out;
}

class ClockRecordsOnRealStream : public ::testing::TestWithParam<const char*> {};

TEST_P(ClockRecordsOnRealStream, MatchScrOfPackHeadersAndPtsReportedByFfprobe) {
    const std::string name = GetParam();
    const std::string base = std::string(TEST_DATA_DIR) + "/" + name;
    const std::string stream = base + (name.rfind("dvd", 0) == 0 ? ".vob" : ".mpg");
    const std::vector<uint8_t> bytes = tu::read_bytes(stream);
    const probe::file probed = probe::read(base + ".probe.txt");
    const std::vector<probe::packet>& probe = probed.packets;
    ASSERT_EQ(probed.size, static_cast<int64_t>(bytes.size())) << "stale probe file for " << stream;
    const std::vector<scanned_pack> packs = scan_pack_headers(bytes);
    ASSERT_FALSE(packs.empty());

    // Expected records: every PES packet belongs to the last pack header in
    // front of it.
    std::vector<int32_t> want_video, want_audio;
    uint32_t video_pts = 0, audio_pts = 0;
    // Every audio stream ffprobe times (AC-3 sub-streams count as 0xBD).
    std::map<unsigned, std::vector<int32_t>> want_series;
    std::map<unsigned, uint32_t> series_pts;
    auto series_id = [](unsigned id) { return id >= 0x80 && id <= 0x87 ? 0xBDu : id & 0xFFu; };
    for (const probe::packet& p : probe)
        if (p.pts > 0 && ((p.id >= 0x1c0 && p.id <= 0x1df) || (p.id >= 0x80 && p.id <= 0x87)))
            series_pts[series_id(p.id)] = 0;
    size_t next = 0;
    int video_stamps = 0, audio_stamps = 0;
    for (size_t k = 0; k < packs.size(); ++k) {
        const int64_t end = k + 1 < packs.size() ? packs[k + 1].offset : INT64_MAX;
        for (; next < probe.size() && probe[next].pos < end; ++next) {
            ASSERT_GT(probe[next].pos, packs[k].offset);
            if (probe[next].pts <= 0) continue;
            if (probe[next].id == 0x1e0) video_pts = static_cast<uint32_t>(probe[next].pts), ++video_stamps;
            if (probe[next].id == 0x1c0) audio_pts = static_cast<uint32_t>(probe[next].pts), ++audio_stamps;
            auto s = series_pts.find(series_id(probe[next].id));
            if (s != series_pts.end()) s->second = static_cast<uint32_t>(probe[next].pts);
        }
        const uint32_t scr = static_cast<uint32_t>(packs[k].scr);
        for (auto& [id, pts] : series_pts) want_series[id].push_back(static_cast<int32_t>(scr - pts));
        want_video.push_back(static_cast<int32_t>(scr - video_pts));
        want_audio.push_back(static_cast<int32_t>(scr - audio_pts));
    }
    ASSERT_EQ(next, probe.size());

    delete_parser_structs();
    init_parser_structs();
    _pack_sink = collect_pack;
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();  // the parser reports a few lines
    parse_mpeg_file(stream.c_str());
    std::fflush(stdout);
    ::testing::internal::GetCapturedStdout();

    records r = compute(_all_packs_array);
    ASSERT_EQ(r.video.size(), packs.size());
    for (size_t k = 0; k < packs.size(); ++k) {
        SCOPED_TRACE("pack " + std::to_string(k) + " at " + std::to_string(packs[k].offset));
        EXPECT_EQ(r.video[k].difference, want_video[k]);
        EXPECT_EQ(r.audio[k].difference, want_audio[k]);
        EXPECT_EQ(r.video[k].seconds, static_cast<float>(static_cast<uint32_t>(packs[k].scr) / 90000.0));
        EXPECT_EQ(r.audio[k].pack_index, static_cast<int32_t>(k));
    }
    const std::vector<clocks_audio_series> series =
        compute_audio_clock_series(_all_packs_array, stream_file_packet_is_ac3, nullptr);
    ASSERT_EQ(series.size(), want_series.size());
    for (const clocks_audio_series& one : series) {
        ASSERT_TRUE(want_series.count(one.stream_id)) << std::hex << int(one.stream_id);
        EXPECT_EQ(one.ac3, one.stream_id == 0xBD);
        std::vector<int32_t> got;
        for (const clock_relationship& point : one.points) got.push_back(point.difference);
        EXPECT_EQ(got, want_series[one.stream_id]) << std::hex << int(one.stream_id);
    }
    // The check only means something where the streams carry time stamps.
    EXPECT_GT(video_stamps, 0);
    if (name != "dvd_ac3_ffmpeg") {
        EXPECT_GT(audio_stamps, 0);
    }
    delete_parser_structs();
}

INSTANTIATE_TEST_SUITE_P(SampleStreams, ClockRecordsOnRealStream,
                         ::testing::Values("mpeg1_ffmpeg", "mpeg1_vcd_mplex", "mpeg1_generic_mplex",
                                           "mpeg2_bframes_ffmpeg", "mpeg2_two_audio_ffmpeg", "dvd_ac3_ffmpeg",
                                           "svcd_ffmpeg", "dvd_nav_mplex", "mpeg2_generic_mplex"));

}  // namespace
