// The replay over real streams: the sample streams, which their
// multiplexers made to satisfy the decoder buffers, and one content
// multiplexed by mplex at a rate it can carry and at one it cannot.
#include <map>

#include "replay_fixture.h"

namespace {

struct real_stream {
    std::string file;
    std::vector<uint32_t> tracked;
    bool starves = false;
};

void PrintTo(const real_stream& s, std::ostream* os) { *os << s.file; }

class RealStreamTest : public BufferReplayTest, public ::testing::WithParamInterface<real_stream> {};

TEST_P(RealStreamTest, ReplayReportsWhatTheMultiplexerReported) {
    load_file(GetParam().file);
    ASSERT_EQ(rp->n_buffer_track_streams, static_cast<int>(GetParam().tracked.size()));
    int32_t largest[max_buffer_tracks] = {};
    ASSERT_TRUE(open_buffer_replay(*rp));
    while (buffer_replay_step(*rp))
        for (int i = 0; i < rp->n_buffer_track_streams; ++i)
            largest[i] = std::max(largest[i], rp->buffer_occupied[i].interval_max.occupancy);
    std::string out;
    for (const buffer_event_struct& e : events) out += format_buffer_event(e) + "\n";
    for (int i = 0; i < rp->n_buffer_track_streams; ++i) {
        const buffer_occupancy_struct& r = rp->buffer_occupied[i];
        SCOPED_TRACE(r.stream_id);
        EXPECT_EQ(r.stream_id, GetParam().tracked[i]);
        EXPECT_LE(largest[i], r.buffer_size);
        // Video, MPEG audio and AC-3 are entered.
        EXPECT_GT(largest[i], 1000);
    }
    // Replayed while it is parsed, as psverify does, the stream gives the
    // same events and the same largest occupancies.
    std::vector<buffer_event_struct> streaming_events;
    auto srp = replay_while_parsing(GetParam().file, streaming_events);
    std::string streamed;
    for (const buffer_event_struct& e : streaming_events) streamed += format_buffer_event(e) + "\n";
    EXPECT_EQ(streamed, out);
    for (int i = 0; i < rp->n_buffer_track_streams; ++i) {
        const buffer_occupancy_struct& r = rp->buffer_occupied[i];
        bool found = false;
        for (int k = 0; k < srp->n_buffer_track_streams; ++k) {
            const buffer_occupancy_struct& s = srp->buffer_occupied[k];
            if (s.stream_id != r.stream_id || s.sub_stream_id != r.sub_stream_id) continue;
            found = true;
            EXPECT_EQ(s.largest_occupancy, r.largest_occupancy) << std::hex << r.stream_id;
            EXPECT_EQ(s.access_units, r.access_units) << std::hex << r.stream_id;
            EXPECT_EQ(s.buffer_size, r.buffer_size) << std::hex << r.stream_id;
        }
        EXPECT_TRUE(found) << std::hex << r.stream_id;
    }

    if (GetParam().starves) {
        EXPECT_NE(out.find("Underflow in 0xe0"), std::string::npos);
        EXPECT_NE(out.find("Underflow in 0xc0"), std::string::npos);
    } else {
        EXPECT_EQ(out, "");
    }
}

const std::string data = TEST_DATA_DIR "/", own = BUFFER_TEST_DATA_DIR "/";
INSTANTIATE_TEST_SUITE_P(
    Streams, RealStreamTest,
    ::testing::Values(real_stream{data + "mpeg1_ffmpeg.mpg", {0xE0, 0xC0}},
                      real_stream{data + "mpeg1_vcd_mplex.mpg", {0xE0, 0xC0}},
                      real_stream{data + "mpeg1_generic_mplex.mpg", {0xE0, 0xC0}},
                      real_stream{data + "mpeg2_bframes_ffmpeg.mpg", {0xE0, 0xC0}},
                      real_stream{data + "mpeg2_two_audio_ffmpeg.mpg", {0xE0, 0xC0, 0xC1}},
                      real_stream{data + "mpeg2_generic_mplex.mpg", {0xE0, 0xC0}},
                      real_stream{data + "svcd_ffmpeg.mpg", {0xE0, 0xC0}},
                      real_stream{data + "dvd_ac3_ffmpeg.vob", {0xE0, 0xBD}},
                      real_stream{data + "dvd_nav_mplex.vob", {0xE0, 0xC0, 0xBD}},
                      real_stream{own + "enough_rate_mplex.mpg", {0xE0, 0xC0}},
                      real_stream{own + "low_rate_mplex.mpg", {0xE0, 0xC0}, true}));

// The replay enters the bytes that need no slot and no removal scan in bulk;
// it must leave the model exactly as one add_byte_to_buffer call per byte
// does.
TEST_F(BufferReplayTest, BulkEntryMatchesBytewiseEntry) {
    for (const std::string& file : {own + "low_rate_mplex.mpg", data + "mpeg1_vcd_mplex.mpg"}) {
        SCOPED_TRACE(file);
        load_file(file);
        const std::string bulk = replay();

        auto ref = std::make_unique<buffer_replay_struct>();
        std::vector<buffer_event_struct> ref_events;
        ref->event_hook = collect_event;
        ref->event_ctx = &ref_events;
        setup_buffer_tracks(*ref);
        ASSERT_TRUE(open_buffer_replay(*ref));
        for (const auto& pack : _all_packs_array) {
            const pack_clock_struct clock = next_pack_clock(*ref, *pack);
            const int64_t t = clock.arrival;
            const float per_byte = pack->bytes_per_second > 0 ? float(27000000.0 / pack->bytes_per_second) : 0.0f;
            if (t >= ref->next_sample) take_buffer_sample(*ref, t);
            for (const packet_struct& p : pack->packets) {
                buffer_occupancy_struct* r = nullptr;
                for (int i = 0; i < ref->n_buffer_track_streams; ++i)
                    if (ref->buffer_occupied[i].stream_id == p.stream_id) r = &ref->buffer_occupied[i];
                if (!r) continue;
                get_offsets(ref->reader, *r, p, clock, ref->offsets);
                int64_t n = p.starting_offset + (_mpeg_systems_format ? 9 : 6) + p.pes_header_data_length - pack->offset - 8;
                r->packet_offset = p.starting_offset;
                for (int e = 0; e < ref->offsets.n_entries; ++e)
                    for (int k = 0; k < ref->offsets.n_bytes[e]; ++k, ++n)
                        add_byte_to_buffer(ref->offsets.au_dts[e], t + static_cast<int64_t>(per_byte * static_cast<float>(n)), *r);
            }
        }
        finish_buffer_events(*ref);
        std::string bytewise;
        for (const buffer_event_struct& e : ref_events) bytewise += format_buffer_event(e) + "\n";
        EXPECT_EQ(bulk, bytewise);
        close_buffer_replay(*ref);
        for (int i = 0; i < rp->n_buffer_track_streams; ++i) {
            const buffer_occupancy_struct &a = rp->buffer_occupied[i], &b = ref->buffer_occupied[i];
            EXPECT_EQ(a.occupancy, b.occupancy);
            EXPECT_EQ(a.next_removal, b.next_removal);
            EXPECT_EQ(a.interval_max.occupancy, b.interval_max.occupancy);
            EXPECT_EQ(a.interval_max.arrival, b.interval_max.arrival);
            EXPECT_EQ(a.interval_min.arrival, b.interval_min.arrival);
            ASSERT_EQ(ring_point_count(a), ring_point_count(b));
            for (int n = 0; n < ring_point_count(a); ++n) {
                EXPECT_EQ(ring_point(a, n).occupancy, ring_point(b, n).occupancy);
                EXPECT_EQ(ring_point(a, n).seconds, ring_point(b, n).seconds);
            }
        }
    }
}

}  // namespace
