// The T-STD replay on built streams whose every byte's arrival time is
// known, against figures worked out by hand from 13818-1 2.4.2: the PCR
// interpolation of 2.4.2.2, TBn leaking at Rxn, and Bn giving up access
// units at their time stamps.  The real multiplexers' streams are checked
// in tstd_evidence_test.sh.
#include <gtest/gtest.h>

#include <cstdio>

#include "pcr_clock.h"
#include "ticks.h"
#include "ts_builder.h"
#include "tstd_replay.h"

namespace {

using sb::bytes;

// Every packet takes 0.25 ms (6,750 ticks): 6.016 Mbit/s.
constexpr int64_t ticks_per_packet = 6750;
constexpr int64_t first_pcr = 27000000;  // 1 s

// MPEG-1 Layer II, 48 kHz, 192 kbit/s: 576-byte frames of 24 ms (2,160 at 90 kHz).
bytes mp2_frames(int n) {
    bytes out;
    for (int i = 0; i < n; ++i) sb::append(out, sb::audio_frame({0xFF, 0xFD, 0xA4, 0x00}, 576));
    return out;
}

struct built {
    tb::mux m;
    // PCR-only packets on `pcr_pid` every eighth packet; null packets
    // elsewhere until `until`.  The PCR stands for byte 10 of its packet.
    void fill_to(size_t until, uint16_t pcr_pid = tb::video_pid) {
        while (m.packets() < until) {
            const int64_t i = static_cast<int64_t>(m.packets());
            if (i % 8 == 0) {
                const int64_t pcr = first_pcr + i * ticks_per_packet;
                m.add(tb::with_af(pcr_pid, tb::with_pcr(static_cast<uint64_t>(pcr / 300), static_cast<uint16_t>(pcr % 300)), false));
            } else {
                tb::packet_fields f;
                f.pid = 0x1FFF;
                m.add(f, bytes(184, 0xFF));
            }
        }
    }
    // An audio PES packet over exactly `packets` packets, back to back.
    void audio_burst(int packets, uint64_t pts) {
        sb::pes_fields f;
        f.pts = pts;
        const bytes header_probe = sb::pes_packet(0xC0, f, {});
        const size_t payload = static_cast<size_t>(packets) * 184 - header_probe.size();
        bytes frames = mp2_frames(static_cast<int>(payload / 576) + 1);
        frames.resize(payload);
        m.pes(tb::audio_pid, sb::pes_packet(0xC0, f, frames));
    }
};

struct run_result {
    tstd_report report;
    std::vector<buffer_event_struct> events;
};

void keep(const buffer_event_struct& e, void* ctx) { static_cast<std::vector<buffer_event_struct>*>(ctx)->push_back(e); }

run_result replay(const bytes& ts) {
    run_result r;
    tstd_replay replay(tstd_settings{}, keep, &r.events);
    FILE* fp = fmemopen(const_cast<uint8_t*>(ts.data()), ts.size(), "rb");
    EXPECT_TRUE(fp);
    EXPECT_TRUE(replay.run(fp, nullptr, 0, stream_format::transport_188, nullptr));
    std::fclose(fp);
    r.report = replay.report();
    return r;
}

const tstd_stream_result& stream_of(const run_result& r, uint16_t pid) {
    for (const tstd_stream_result& s : r.report.streams)
        if (s.pid == pid) return s;
    throw std::runtime_error("no such PID");
}

// The 90 kHz time stamp of packet index `i`'s first byte.
uint64_t stamp_at(int64_t i, int64_t extra_90khz = 0) {
    return static_cast<uint64_t>((first_pcr + i * ticks_per_packet) / 300 + extra_90khz);
}

TEST(TstdReplay, TransportBufferLeaksAtRxBetweenInterpolatedArrivals) {
    // Audio leaves TBn at Rx = 2 Mbit/s (250,000 bytes/s) while 188-byte
    // packets come at 6.016 Mbit/s.  After n packets back to back TBn holds
    // 188 n - 250,000 x (188 n - 1) x (6,750 / 188) / 27e6 bytes:
    //   n = 4: 752 - 249.67 = 502.3 -> 503 bytes, within its 512;
    //   n = 5: 940 - 312.17 = 627.8 -> 628 bytes, 116 above.
    built b;
    tb::add_tables(b.m);
    b.fill_to(16);
    b.audio_burst(4, stamp_at(16, 45000));  // decoded half a second later: never late
    b.fill_to(64);
    b.audio_burst(5, stamp_at(64, 45000));
    b.fill_to(200);
    const run_result r = replay(b.m.data());

    const tstd_stream_result& audio = stream_of(r, tb::audio_pid);
    ASSERT_EQ(audio.status, tstd_status::modelled);
    ASSERT_EQ(audio.buffers.size(), 2u);
    EXPECT_EQ(audio.buffers[0].stage, stage_tb);
    EXPECT_EQ(audio.buffers[0].largest, 628);
    EXPECT_EQ(audio.buffers[0].overflow_episodes, 1);
    EXPECT_EQ(audio.buffers[1].stage, stage_b);
    EXPECT_EQ(audio.buffers[1].size, 3584);
    EXPECT_EQ(audio.underflow_units, 0);
    ASSERT_EQ(r.events.size(), 1u);
    const buffer_event_struct& e = r.events[0];
    EXPECT_EQ(e.kind, buffer_event_struct::overflow);
    EXPECT_EQ(e.stage, stage_tb);
    EXPECT_EQ(e.excess, 116);
    // It began with the burst's fifth packet (packet 68), at its last byte;
    // the clock counts from byte 10 of packet 8, the first PCR's.
    EXPECT_EQ(e.packet_offset, 68 * 188);
    EXPECT_NEAR(ticks_to_seconds(e.time), ((68 - 8) * 188 + 187 - 10) * (6750.0 / 188) / 27e6, 1e-7);
}

TEST(TstdReplay, AccessUnitsNotWholeAtTheirTimeStampUnderflow) {
    // Two frames decoded 0 and 24 ms after packet 0 arrive 40 ms after it:
    // both are late (one underflow each); a third frame stamped well ahead
    // is not.
    built b;
    tb::add_tables(b.m);
    b.fill_to(160);
    {
        sb::pes_fields f;
        f.pts = stamp_at(0);
        b.m.pes(tb::audio_pid, sb::pes_packet(0xC0, f, mp2_frames(2)));
    }
    b.fill_to(200);
    {
        sb::pes_fields f;
        f.pts = stamp_at(200, 9000);
        b.m.pes(tb::audio_pid, sb::pes_packet(0xC0, f, mp2_frames(1)));
    }
    b.fill_to(400);
    const run_result r = replay(b.m.data());
    const tstd_stream_result& audio = stream_of(r, tb::audio_pid);
    EXPECT_EQ(audio.access_units, 3);
    EXPECT_EQ(audio.underflow_units, 2);
    int underflows = 0;
    for (const buffer_event_struct& e : r.events)
        if (e.kind == buffer_event_struct::underflow) {
            EXPECT_EQ(e.stage, stage_b);
            EXPECT_EQ(e.decoding_stamp, underflows == 0 ? stamp_at(0) : stamp_at(0, 2160));
            ++underflows;
        }
    EXPECT_EQ(underflows, 2);
    // The video PID only carries the PCR: no verdict of its own.
    EXPECT_EQ(stream_of(r, tb::video_pid).status, tstd_status::no_stamps);
}

TEST(TstdReplay, VideoThatComesTooEarlyFillsEbThenOverflowsMb) {
    // MPEG-2 MP@ML with vbv_buffer_size 112: EB 229,376 bytes, MB 10,000
    // (BSmux 0.004 x 15 Mbit/s + BSoh 15 Mbit/s / 750, bits to bytes), Rbx
    // 15 Mbit/s.  Three pictures of 100,000, 100,000 and 60,000 bytes, due
    // 1 s after packet 0 and 40 ms apart, all arrive within 0.4 s at 6 Mbit/s:
    // EB fills (MB passes on faster than bytes come), then the last 30,624
    // bytes wait in MB, 20,624 above its size, until the first picture is
    // decoded and 20,624 bytes have gone on at Rbx.
    constexpr uint16_t pcr_pid = 0x1FF;
    built b;
    b.m.psi(0x0000, {tb::pat(1, 0, {{1, tb::pmt_pid}})});
    b.m.psi(tb::pmt_pid, {tb::pmt(1, 0, pcr_pid, {}, {{0x02, tb::video_pid, {}}})});
    b.fill_to(9, pcr_pid);  // the first PCR: packet 8
    bytes first = sb::mpeg2_sequence(10000, 112, 0x48);
    sb::append(first, sb::picture(100000 - first.size()));
    const bytes pictures[] = {first, sb::picture(100000), sb::picture(60000)};
    for (int k = 0; k < 3; ++k) {
        sb::pes_fields f;
        f.pts = stamp_at(0, 90000 + 3600 * k);
        bytes body = sb::pes_header(f);
        sb::append(body, pictures[k]);
        b.m.pes(tb::video_pid, sb::packet(0xE0, body, 0));  // unbounded, as video may be
    }
    b.fill_to(b.m.packets() + 800, pcr_pid);
    const run_result r = replay(b.m.data());
    const tstd_stream_result& video = stream_of(r, tb::video_pid);
    ASSERT_EQ(video.status, tstd_status::modelled);
    EXPECT_STREQ(video.params_from, "sequence header");
    ASSERT_EQ(video.buffers.size(), 3u);
    EXPECT_EQ(video.buffers[1].size, 10000);
    EXPECT_EQ(video.buffers[1].largest, 30624);
    EXPECT_EQ(video.buffers[1].overflow_episodes, 1);
    EXPECT_EQ(video.buffers[2].size, 229376);
    EXPECT_EQ(video.buffers[2].largest, 229376);
    EXPECT_EQ(video.buffers[2].overflow_episodes, 0);
    EXPECT_EQ(video.access_units, 3);
    EXPECT_EQ(video.underflow_units, 0);
    ASSERT_EQ(r.events.size(), 1u);
    EXPECT_EQ(r.events[0].stage, stage_mb);
    EXPECT_EQ(r.events[0].excess, 20624);
    // The clock counts from packet 8; the first picture leaves EB at 1 s
    // after packet 0.
    const double decoded = 1.0 - 8.0 * ticks_per_packet / 27e6;
    EXPECT_NEAR(ticks_to_seconds(r.events[0].end_time), decoded + 20624 * 8 / 15e6, 2e-6);
}

TEST(TstdReplay, ProgramWithoutPcrIsNotVerified) {
    built b;
    b.m.psi(0x0000, {tb::pat(1, 0, {{1, tb::pmt_pid}})});
    b.m.psi(tb::pmt_pid, {tb::pmt(1, 0, 0x1FFF, {}, {{0x03, tb::audio_pid, {}}})});
    sb::pes_fields f;
    f.pts = 90000;
    b.m.pes(tb::audio_pid, sb::pes_packet(0xC0, f, mp2_frames(1)));
    const run_result r = replay(b.m.data());
    EXPECT_EQ(r.report.pcr_pids, 0);
    EXPECT_EQ(stream_of(r, tb::audio_pid).status, tstd_status::no_pcr);
}

TEST(PcrTimeline, InterpolatesUnwrapsAndCarriesOnAcrossBrokenTimeBases) {
    pcr_timeline t;
    const int64_t top = pcr_period_ticks;
    // 1,880 bytes per 27,000 ticks; the PCR wraps between the 2nd and 3rd.
    t.add(10, top - 27000, false);
    t.add(1890, top - 0, false);  // equals 0 after the wrap: stored as top
    t.add(3770, 27000 - 0, false);
    // A discontinuity: the new time base starts at 5 s; the clock runs on at
    // the last rate, and 1,880 bytes later the PCRs count from there.
    t.add(5650, 5 * 27000000, true);
    t.add(7530, 5 * 27000000 + 27000, false);
    ASSERT_TRUE(t.timed());
    EXPECT_EQ(t.time_at(10), 0);
    EXPECT_EQ(t.time_at(950), 13500);
    EXPECT_EQ(t.time_at(2830), 40500);  // across the wrap
    // Stamps near the wrap: 90 kHz values just before and after it.
    EXPECT_EQ(t.stamp_ticks((uint64_t{1} << 33) - 90), 0);
    EXPECT_EQ(t.stamp_ticks(90), 54000);
    EXPECT_EQ(t.time_at(5650), 81000);
    EXPECT_EQ(t.time_at(6590), 94500);
    // After the discontinuity a stamp of the new base maps beside its PCRs,
    // and one of the old base, still on its way, where it was before.
    EXPECT_EQ(t.stamp_ticks(5 * 90000 + 90), 81000 + 27000);
    EXPECT_EQ(t.stamp_ticks(90), 54000);
    EXPECT_EQ(t.transport_rate_bps(), 15040000);
    // Past the last PCR the last rate carries on.
    EXPECT_EQ(t.time_at(9410), 135000);
}

}  // namespace
