// The buffer model on streams built byte by byte, so that every access unit,
// arrival and decoding time is known exactly.  Packs use a mux rate of
// 54,000 (2,700,000 bytes/s): one byte every 10 ticks.
#include "replay_fixture.h"

namespace {

using sb::bytes;

bytes pack(uint64_t scr, std::initializer_list<bytes> packets, uint32_t mux = 54000) {
    bytes b = sb::pack_header(scr, 0, mux);
    for (const bytes& p : packets) sb::append(b, p);
    return b;
}
bytes pes(uint8_t id, const bytes& payload, std::optional<uint64_t> pts = {}, std::optional<uint64_t> dts = {}) {
    sb::pes_fields f;
    f.pts = pts;
    f.dts = dts;
    return sb::pes_packet(id, f, payload);
}
// Sequence header (12 bytes) with the given frame_rate_code; picture header (8 bytes).
bytes seq(uint8_t rate_code) { return {0, 0, 1, 0xB3, 0x0B, 0x00, 0x90, uint8_t(0x20 | rate_code), 0xFF, 0xFF, 0xE0, 0}; }
bytes pic() { return {0, 0, 1, 0x00, 0x00, 0x0F, 0xFF, 0xF8}; }
bytes data(size_t n) { return sb::payload_bytes(n); }
bytes cat(std::initializer_list<bytes> parts) { return sb::concat(parts); }
// MPEG audio frame of `length` bytes whose header begins FF h1 h2.
bytes frame(uint8_t h1, uint8_t h2, size_t length) {
    bytes b{0xFF, h1, h2, 0x00};
    b.resize(length, 0x55);
    return b;
}
bytes part(const bytes& b, size_t from, size_t n) { return bytes(b.begin() + from, b.begin() + from + n); }
constexpr int64_t none = no_decode_time;
int64_t ticks(int64_t t90) { return t90 * 300; }

// Video: units begin at sequence headers and pictures; a time stamp belongs
// to the first unit whose first byte lies in its packet.
TEST_F(BufferReplayTest, VideoPacketsSplitIntoAccessUnits) {
    bytes pics;
    for (int i = 0; i < 12; ++i) sb::append(pics, cat({pic(), data(2)}));
    load(cat({pack(1000, {pes(0xE0, cat({seq(3), pic(), data(20), {0, 0}}), 8200, 4600)}),
              pack(1100, {pes(0xE0, cat({{1, 0}, data(6), pic(), data(10)}))}),
              pack(1200, {pes(0xE0, cat({data(5), {0, 0, 1}}), 24600)}),
              pack(1300, {pes(0xE0, cat({{0}, data(3)}))}),
              pack(1400, {pes(0xE0, cat({data(4), {0, 0}}))}),
              pack(1500, {pes(0xE0, cat({{1, 0}, data(2), pic(), data(2)}), 80000)}),
              pack(1600, {pes(0xE0, pics, 90000, 86400)})}));
    // Decoding times count from the first SCR (1000); 25 frames/s.
    auto at = [](int64_t t90) { return ticks(t90 - 1000); };
    const int64_t period = ticks(3600);
    split twelve{{0, at(80000)}};
    for (int i = 0; i < 12; ++i) twelve.push_back({10, at(86400) + i * period});
    EXPECT_EQ(splits(0xE0),
              (std::vector<split>{
                  {{0, none}, {42, at(4600)}},
                  // The start code split over two packets: its unit begins
                  // at the later payload and, its packet having no stamp,
                  // is one period on.
                  {{0, at(4600)}, {8, at(4600) + period}, {18, at(4600) + 2 * period}},
                  // A stamped packet where only "00 00 01" of a start code
                  // lies: its stamp goes to that unit in the next packet.
                  {{8, at(4600) + 2 * period}},
                  {{0, at(24600)}, {4, at(24600)}},
                  {{6, at(24600)}},
                  // Here the later packet has the stamp: it belongs to the
                  // unit that starts in it.
                  {{0, at(24600)}, {4, at(24600) + period}, {10, at(80000)}},
                  twelve,
              }));
    EXPECT_EQ(track(0xE0).parse_info.frame_period, period);
}

TEST_F(BufferReplayTest, ReservedFrameRateStopsTheSplitUntilAValidSequenceHeader) {
    load(cat({pack(0, {pes(0xE0, cat({seq(9), pic(), data(4)}), 3000)}),
              pack(100, {pes(0xE0, cat({pic(), data(4), seq(3), pic(), data(4), pic(), data(2)}), 6000)}),
              pack(200, {pes(0xE0, cat({pic(), data(10)}), 9000)})}));
    // The file ends in the last packet: it cannot be read again.
    bytes file = tu::read_bytes(path);
    file.resize(file.size() - 5);
    tu::write_file(path, file);
    EXPECT_EQ(splits(0xE0), (std::vector<split>{{{24, none}},
                                                {{12, ticks(3000)}, {24, ticks(6000)}, {10, ticks(9600)}},
                                                {}}));
    EXPECT_EQ(track(0xE0).au_time, ticks(9600));
    EXPECT_EQ(track(0xE0).parse_info.start_code_register, 0xFFF80108u);  // the second payload's last bytes
}

// Audio: frames follow each other by their lengths; a lost sync word is
// searched for again.
TEST_F(BufferReplayTest, AudioPacketsSplitIntoFrames) {
    const bytes l2 = frame(0xFD, 0xA4, 576), l2p = frame(0xFD, 0xA6, 577);  // Layer II 48 kHz 192 kbit/s
    const bytes l3 = frame(0xFB, 0x90, 417), l3p = frame(0xFB, 0x92, 418);  // Layer III 44.1 kHz 128 kbit/s
    const bytes l1 = frame(0xFF, 0xC4, 384);                                // Layer I 48 kHz 384 kbit/s
    const bytes free_format = frame(0xFD, 0x04, 24);
    load(cat({pack(0, {pes(0xC0, cat({l2, l2p, l3, l3p, l1, part(l2, 0, 100)}), 9000)}),
              pack(100, {pes(0xC0, cat({part(l2, 100, 476), part(l2, 0, 2)}))}),
              pack(200, {pes(0xC0, cat({part(l2, 2, 574), {0x12, 0x34, 0x56, 0x78, 0x12, 0x34, 0x56}, l2, {0xFF}}),
                             30000)}),
              pack(300, {pes(0xC0, cat({part(l2, 1, 575), free_format}))}),
              pack(400, {pes(0xC0, data(30), 50000)}), pack(500, {pes(0xC0, data(10))})}));
    // Durations: Layer II 2160, Layer III 2351 (at 44.1 kHz), Layer I 720.
    EXPECT_EQ(splits(0xC0),
              (std::vector<split>{
                  {{0, none}, {576, ticks(9000)}, {577, ticks(11160)}, {417, ticks(13320)}, {418, ticks(15671)},
                   {384, ticks(18022)}, {100, ticks(18742)}},
                  {{476, ticks(18742)}, {2, ticks(20902)}},  // the header goes on in the next packet
                  {{581, ticks(20902)}, {576, ticks(30000)}, {1, ticks(32160)}},
                  {{599, ticks(32160)}},  // free format: not split
                  {{30, ticks(32160)}},
                  {{10, ticks(50000)}},  // but its stamps still time the frame in progress
              }));
    EXPECT_EQ(track(0xC0).au_time, ticks(50000));
}

// A picture's time stamp travels in the packet where its picture start code
// begins (ISO/IEC 13818-1, 2.4.3.7), even when the sequence and group
// headers that open its access unit came in the packet before.
TEST_F(BufferReplayTest, StampInThePacketAfterTheHeadersTimesTheWholeUnit) {
    const bytes gop{0, 0, 1, 0xB8, 0x00, 0x08, 0x00, 0x00};
    // The first unit's picture arrives at 4000 / 90 kHz, after its
    // decoding time 3000: late.  The second unit, opened the same way, is
    // on time.
    load(cat({pack(0, {pes(0xE0, cat({seq(3), gop}))}), pack(4000, {pes(0xE0, cat({pic(), data(100)}), 3000)}),
              pack(4100, {pes(0xE0, cat({seq(3), gop}))}), pack(4200, {pes(0xE0, cat({pic(), data(50)}), 90000)})}));
    replay();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].decoding_stamp, 3000u);
    EXPECT_EQ(events[0].late_bytes, 108);  // the picture's packet; the headers came in time
    EXPECT_EQ(track(0xE0).access_units, 2);
    // The second unit, headers included, is still waiting for 90000.
    EXPECT_EQ(track(0xE0).occupancy, 20 + 58);
}

// Frame lengths and durations from the standards' arithmetic: AC-3 at
// 48 kHz and 192 kbit/s is 384 words of 1536 samples; MPEG-2 audio at 24 kHz
// and 64 kbit/s is 384 bytes per 1152 samples in Layer II and 192 bytes per
// 576 samples in Layer III.
TEST_F(BufferReplayTest, AudioOfEveryKindSplitsIntoItsFrames) {
    auto ac3 = [](size_t length) {
        bytes b{0x0B, 0x77, 0x12, 0x34, 0x14};  // fscod 0 (48 kHz), frmsizecod 20 (192 kbit/s)
        b.resize(length, 0x55);
        return b;
    };
    const bytes dvd_ac3{0x80, 0x02, 0x00, 0x01}, dvd_lpcm{0xA0, 0x01, 0x00, 0x04, 0x00, 0x00, 0x00};
    const bytes l2 = frame(0xF5, 0x84, 384), l3 = frame(0xF3, 0x84, 192);  // ID bit 0, 24 kHz, 64 kbit/s
    load(cat({pack(0, {pes(0xBD, cat({dvd_ac3, ac3(768), part(ac3(768), 0, 100)}), 9000),
                       pes(0xD0, cat({l2, l2, l3}), 9000), pes(0xBD, cat({dvd_lpcm, data(40)}), 9000)}),
              pack(100, {pes(0xBD, cat({{0x80, 0x01, 0x02, 0xAD}, part(ac3(768), 100, 668), ac3(768)}), 20000)})}));
    ASSERT_EQ(rp->n_buffer_track_streams, 3);
    EXPECT_EQ(rp->buffer_occupied[0].sub_stream_id, 0x80);
    EXPECT_EQ(rp->buffer_occupied[2].sub_stream_id, 0xA0);
    EXPECT_EQ(rp->buffer_occupied[2].format, format_not_modelled);
    EXPECT_EQ(splits(0xD0), (std::vector<split>{{{0, none}, {384, ticks(9000)}, {384, ticks(13320)},
                                                 {192, ticks(17640)}}}));
    // The four sub-stream header bytes go with the frame in progress.
    EXPECT_EQ(splits(0xBD, 0x80), (std::vector<split>{{{4, none}, {768, ticks(9000)}, {100, ticks(11880)}},
                                                      {{672, ticks(11880)}, {768, ticks(20000)}}}));
    EXPECT_EQ(splits(0xBD, 0xA0), std::vector<split>{split{}});  // LPCM: not entered
    EXPECT_EQ(buffer_replay_verdict(*rp), "Buffers: conformant; not modelled: 0xbd/0xa0 (LPCM)");
}

// The size in force: the stream's own field from its first packet on, even
// before the packet that carries it; else the system header's entry for the
// stream; else its wildcard entry for the kind.
TEST_F(BufferReplayTest, BufferSizeComesFromTheStreamThenTheSystemHeader) {
    sb::system_header_fields h;
    h.bounds = {{0xB8, 0, 20}, {0xC1, 0, 40}, {0xB9, 1, 200}, {0xE0, 1, 100}};
    bytes first = pack(0, {pes(0xE0, cat({pic(), data(300)}), 90000), pes(0xC0, data(4), 100),
                           pes(0xC1, data(4), 100), pes(0xE1, data(4), 100)});
    const bytes header = sb::system_header(h);
    first.insert(first.begin() + 14, header.begin(), header.end());
    sb::pes_fields with_field;
    with_field.extension = bytes{0x10, 0x40, 0x02};  // P-STD_buffer_flag; scale 0, size 2
    load(cat({first, pack(100, {sb::pes_packet(0xE0, with_field, data(4))})}));
    // The first packet of 0xE0 already overflows the 256 bytes: it waits
    // for the field, in the window's replay as while parsing.
    replay();
    const int32_t sizes[] = {256, 2560, 5120, 204800};
    const int32_t sources[] = {size_from_stream, size_from_wildcard, size_from_system_header, size_from_wildcard};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(rp->buffer_occupied[i].buffer_size, sizes[i]) << i;
        EXPECT_EQ(rp->buffer_occupied[i].size_source, sources[i]) << i;
    }
    std::vector<buffer_event_struct> streamed;
    auto srp = replay_while_parsing(path, streamed);
    for (const auto* ev : {&events, &streamed}) {
        ASSERT_EQ(ev->size(), 1u);
        EXPECT_EQ((*ev)[0].packet_offset, 14 + 24);  // after the pack and system headers
        EXPECT_EQ((*ev)[0].excess, 308 + 4 - 256);
    }
    for (int i = 0; i < 4; ++i) EXPECT_EQ(srp->buffer_occupied[i].buffer_size, sizes[i]) << i;
}

TEST(BufferArithmetic, PendingTableHolds300UnitsAndReusesTheLowestFreeSlot) {
    auto r = std::make_unique<buffer_occupancy_struct>();
    init_buffer_track(*r, 0xE0);
    for (int i = 0; i < 301; ++i) add_byte_to_buffer(1000000 + i, 0, *r);
    EXPECT_EQ(r->occupancy, 301);
    EXPECT_EQ(r->current_slot, 299);
    EXPECT_EQ(r->pending[299].bytes, 2);  // no slot left: joins the slot last opened
    r->buffer_size = 152;
    EXPECT_FALSE(add_byte_to_buffer(2000000, 1000149, *r));  // frees the units decoded by then
    EXPECT_EQ(r->occupancy, 152);
    EXPECT_EQ(r->next_removal, 1000150);
    EXPECT_TRUE(add_byte_to_buffer(3000000, 1000149, *r));
    EXPECT_EQ(r->current_slot, 0);
    EXPECT_EQ(r->interval_max.occupancy, 301);
    EXPECT_EQ(r->interval_min.occupancy, 1);
}

TEST_F(BufferReplayTest, UnderflowIsReportedOncePerLateAccessUnit) {
    load(cat({pack(1000, {pes(0xE0, data(5))}),  // before any time stamp: never late
              pack(1001, {pes(0xE0, cat({pic(), data(52)}), 1003)}),
              pack(1010, {pes(0xE0, data(3))}, 0)}));  // mux rate 0: every byte at the SCR
    // Decoding at 900 ticks (PTS 1003); payload byte k of the second pack
    // arrives at 500 + 10 k, so bytes 41 to 59 are late, and the three bytes
    // of the unit that arrive at 3000 ticks.
    EXPECT_EQ(replay(), "Underflow in 0xe0 at 0.000034 s: access unit decoded at 1003 (90 kHz), 22 bytes late, "
                        "the last by 0.000078 s (packet at 0x2a)\n");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].time, 910);
    EXPECT_EQ(events[0].lateness, 2100);
    EXPECT_EQ(track(0xE0).underflow_units, 1);
    EXPECT_EQ(track(0xE0).occupancy, 0);  // late bytes pass through
}

TEST_F(BufferReplayTest, OverflowIsReportedOncePerEpisode) {
    sb::system_header_fields h;
    h.bounds = {{0xE0, 0, 1}};  // 128 bytes
    bytes first = pack(0, {pes(0xE0, cat({pic(), data(192)}), 90000)});
    const bytes header = sb::system_header(h);
    first.insert(first.begin() + 14, header.begin(), header.end());
    load(cat({first, pack(100, {pes(0xE0, data(100))}), pack(100000, {pes(0xE0, cat({pic(), data(10)}), 190000)}),
              pack(100100, {pes(0xE0, cat({pic(), data(300)}), 290000)})}));
    // 300 bytes wait for their decoding at 1 s; the fourth pack's picture
    // overflows again and leaves, after the stream's end, at 290000 / 90 kHz.
    EXPECT_EQ(replay(),
              "Overflow in 0xe0 from 0.000060 s to 1.000000 s: up to 172 bytes above its 128-byte buffer (packet at 0x1d)\n"
              "Overflow in 0xe0 from 1.112270 s to 3.222222 s: up to 198 bytes above its 128-byte buffer (packet at 0x1aa)\n");
    EXPECT_EQ(track(0xE0).overflow_episodes, 2);
}

TEST_F(BufferReplayTest, SamplesEvery10msAndWaitsForARedrawEveryFifth) {
    // The stream gives its buffer size at once, so nothing waits for it.
    sb::pes_fields sized;
    sized.pts = 900000;
    sized.extension = bytes{0x10, 0x7F, 0xFF};
    bytes s = pack(0, {sb::pes_packet(0xE0, sized, cat({pic(), data(12)}))});
    for (int i = 1; i <= 5; ++i) sb::append(s, pack(900 * i, {pes(0xE0, data(10))}));
    load(s);
    ASSERT_TRUE(open_buffer_replay(*rp));
    rp->analysis_state = analysis_running;
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(rp->analysis_state, analysis_running);
        ASSERT_TRUE(buffer_replay_step(*rp));
    }
    ASSERT_TRUE(buffer_replay_step(*rp));
    EXPECT_EQ(rp->analysis_state, analysis_waiting_redraw);
    const buffer_occupancy_struct& r = track(0xE0);
    ASSERT_EQ(ring_point_count(r), 10);
    auto seconds = [](int64_t t) { return static_cast<float>(t / 27e6); };
    EXPECT_EQ(ring_point(r, 0).occupancy, 1);
    EXPECT_EQ(ring_point(r, 0).seconds, seconds(230));
    EXPECT_EQ(ring_point(r, 1).occupancy, 20);
    EXPECT_EQ(ring_point(r, 1).seconds, seconds(420));
    EXPECT_EQ(ring_point(r, 9).occupancy, 60);
    EXPECT_EQ(ring_point(r, 9).seconds, seconds(1080240));
}

TEST(BufferArithmetic, SamplesGoToTheRingInTimeOrderAndItKeeps99) {
    auto rp = std::make_unique<buffer_replay_struct>();
    rp->n_buffer_track_streams = 1;
    buffer_occupancy_struct& r = rp->buffer_occupied[0];
    init_buffer_track(r, 0xC0);
    r.interval_max = {9, 270000};
    r.interval_min = {3, 540000};
    take_buffer_sample(*rp, 0);
    r.interval_max = r.interval_min = {5, 810000};
    take_buffer_sample(*rp, 0);
    ASSERT_EQ(ring_point_count(r), 4);
    EXPECT_EQ(ring_point(r, 0).occupancy, 9);  // the largest came first
    EXPECT_EQ(ring_point(r, 1).occupancy, 3);
    EXPECT_EQ(ring_point(r, 1).seconds, 0.02f);
    take_buffer_sample(*rp, 0);  // nothing since: nothing added
    EXPECT_EQ(ring_point_count(r), 4);
    for (int i = 0; i < 96; ++i) append_ring_point(r, {100 + i, 0.0f});
    ASSERT_EQ(ring_point_count(r), 99);
    EXPECT_EQ(ring_point(r, 0).occupancy, 3);  // the oldest went first
    EXPECT_EQ(ring_point(r, 98).occupancy, 195);
}

TEST_F(BufferReplayTest, TracksEveryStreamAndDrawsTheFirstFourStamped) {
    sb::system_header_fields h1, h2;
    h1.bounds = {{0xE0, 1, 300}, {0xC0, 0, 16}, {0xB9, 1, 1}};  // 0xB9: every video stream without its own
    h2.bounds = {{0xC0, 0, 8}, {0xC1, 0, 64}};                  // from where it stands
    auto with_header = [](bytes p, const sb::system_header_fields& h) {
        bytes sh = sb::system_header(h);
        p.insert(p.begin() + 14, sh.begin(), sh.end());
        return p;
    };
    load(cat({with_header(pack(0, {pes(0xE0, data(4), 100), pes(0xC2, data(4)), pes(0xC0, data(4), 100)}), h1),
              with_header(pack(100, {pes(0xE1, data(4), 200), pes(0xC1, data(4), 200), pes(0xC3, data(4), 200)}), h2)}));
    replay();
    // Every stream, in the order of its first payload; 0xc2 and 0xc3 have
    // the default; 0xc0 had h1's bound until h2 came.
    ASSERT_EQ(rp->n_buffer_track_streams, 6);
    const uint32_t ids[] = {0xE0, 0xC2, 0xC0, 0xE1, 0xC1, 0xC3};
    const int32_t sizes[] = {307200, 4096, 1024, 1024, 8192, 4096};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(rp->buffer_occupied[i].stream_id, ids[i]);
        EXPECT_EQ(rp->buffer_occupied[i].buffer_size, sizes[i]);
    }
    // The window draws the first four with time stamps.
    EXPECT_EQ(graphed_tracks(*rp), (std::vector<int>{0, 2, 3, 4}));
    load(pack(0, {pes(0xE0, data(4))}));
    EXPECT_EQ(rp->n_buffer_track_streams, 1);
    EXPECT_TRUE(graphed_tracks(*rp).empty());
}

TEST_F(BufferReplayTest, DecodingTimesFollowTheArrivalClockAcrossTheSCRWrap) {
    const uint64_t scr0 = 0xFFFFFF00;  // bit 32 of the SCR is not kept
    load(cat({pack(scr0, {pes(0xE0, data(4))}), pack(scr0 + 0x200, {pes(0xE0, cat({pic(), data(2)}), scr0 + 0x300)}),
              pack(scr0 + 0x500, {pes(0xE0, cat({pic(), data(2)}), scr0 + 0x900)})}));
    EXPECT_EQ(replay(), "");
    EXPECT_EQ(track(0xE0).occupancy, 10);  // the first picture left at 0x300
}

}  // namespace
