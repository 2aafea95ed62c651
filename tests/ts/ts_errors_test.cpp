// Faults in a transport stream: each case builds a stream with one kind of
// fault, then checks the errors reported and what was (not) delivered.
#include <gtest/gtest.h>

#include <functional>

#include "ts_recorder.h"

using namespace ts_test;
using kind = stream_error_kind;

namespace {

struct error_case {
    const char* name;
    std::function<bytes()> build;
    std::vector<kind> errors;
    std::function<void(const recorder&)> check;
};

// Tables, then `n` audio PES packets of 400 bytes (3 packets each).
tb::mux audio_stream(int n) {
    tb::mux m;
    add_tables(m);
    for (int i = 0; i < n; ++i) m.pes(audio_pid, audio_pes(1000 + i, 400, static_cast<uint8_t>(i)));
    return m;
}

bytes remove_packets(bytes data, size_t first, size_t count) {
    data.erase(data.begin() + first * 188, data.begin() + (first + count) * 188);
    return data;
}

bytes repeat_packet(bytes data, size_t index, int times) {
    bytes p(data.begin() + index * 188, data.begin() + (index + 1) * 188);
    for (int i = 0; i < times; ++i) data.insert(data.begin() + (index + 1) * 188, p.begin(), p.end());
    return data;
}

// Packet index of the tables' end: PAT and PMT take one packet each.
constexpr size_t first_pes_packet = 2;

const error_case cases[] = {
    {"junk_between_packets",
     [] {
         bytes d = audio_stream(2).data();
         bytes junk(50, 0x47);  // sync bytes, but not at the period
         junk[0] = 0x00;
         d.insert(d.begin() + 3 * 188, junk.begin(), junk.end());
         return d;
     },
     {kind::sync_loss},
     [](const recorder& r) {
         ASSERT_EQ(r.losses.size(), 1u);
         EXPECT_EQ(r.losses[0].lost_at, 3 * 188);
         EXPECT_EQ(r.losses[0].regained_at, 3 * 188 + 50);
         EXPECT_EQ(r.errors[0].offset, 3 * 188);
         EXPECT_EQ(r.packets.size(), 8u);
         EXPECT_EQ(r.packets[3].offset, 3 * 188 + 50);
         EXPECT_EQ(r.pes.size(), 2u);  // nothing lost
     }},
    {"junk_at_start_and_broken_sync_byte",
     [] {
         bytes d = audio_stream(3).data();
         d[6 * 188] = 0x00;  // second packet of the second PES
         d.insert(d.begin(), 13, 0x00);
         return d;
     },
     {kind::sync_loss, kind::sync_loss, kind::continuity},
     [](const recorder& r) {
         ASSERT_EQ(r.losses.size(), 2u);
         EXPECT_EQ(r.losses[0].lost_at, 0);
         EXPECT_EQ(r.losses[0].regained_at, 13);
         EXPECT_EQ(r.losses[1].lost_at, 13 + 6 * 188);
         EXPECT_EQ(r.losses[1].regained_at, 13 + 7 * 188);
         EXPECT_EQ(r.packets.size(), 10u);
         ASSERT_EQ(r.pes.size(), 3u);
         EXPECT_FALSE(r.pes[1].pes.complete);
         EXPECT_EQ(r.pes[1].pes.end_reason, ts_pes_end_reason::continuity);
     }},
    {"continuity_gap_counts_missing_packets",
     [] {
         tb::mux m = audio_stream(1);
         m.pes(audio_pid, video_pes(0, 0, 900));  // 5 packets on one PID (stream_id aside)
         m.pes(audio_pid, audio_pes(2000, 100));
         return remove_packets(m.data(), first_pes_packet + 4, 2);
     },
     {kind::continuity},
     [](const recorder& r) {
         EXPECT_EQ(r.errors[0].offset, (first_pes_packet + 4) * 188);
         EXPECT_EQ(r.errors[0].pid, audio_pid);
         EXPECT_EQ(r.packets[first_pes_packet + 4].missing_packets, 2);
         ASSERT_EQ(r.pes.size(), 3u);
         EXPECT_TRUE(r.pes[0].pes.complete);
         // The broken packet is ended at the gap with what came before it,
         // and the bytes after the gap are not spliced onto it.
         EXPECT_FALSE(r.pes[1].pes.complete);
         EXPECT_EQ(r.pes[1].pes.end_reason, ts_pes_end_reason::continuity);
         EXPECT_EQ(r.pes[1].pes.ts_packets, 1u);
         EXPECT_TRUE(r.pes[2].pes.complete);
         EXPECT_EQ(r.pes[2].payload, sb::payload_bytes(100));
     }},
    {"repeated_packets",
     [] {
         // Three PES packets; in the first a packet repeated once (a
         // duplicate), in the second once with another payload, in the
         // third twice.  From the end, so that the indices hold.
         bytes d = repeat_packet(audio_stream(3).data(), 9, 2);
         d = repeat_packet(d, 6, 1);
         d[7 * 188 + 100] ^= 0xFF;
         return repeat_packet(d, 3, 1);
     },
     {kind::continuity, kind::continuity},
     [](const recorder& r) {
         EXPECT_TRUE(r.packets[4].duplicate);
         EXPECT_EQ(r.pes[0].payload, sb::payload_bytes(400, 0));
         EXPECT_EQ(r.pes[0].pes.ts_packets, 3u);
         EXPECT_FALSE(r.packets[8].duplicate);
         EXPECT_EQ(r.packets[8].missing_packets, 15);
         EXPECT_TRUE(r.packets[12].duplicate);
         EXPECT_EQ(r.packets[13].missing_packets, 15);
         EXPECT_EQ(r.pes.size(), 3u);
         EXPECT_TRUE(r.pes[0].pes.complete);
         EXPECT_FALSE(r.pes[1].pes.complete || r.pes[2].pes.complete);
     }},
    {"no_check_for_discontinuity_adaptation_only_and_null_packets",
     [] {
         tb::mux m;
         add_tables(m);
         m.pes(audio_pid, audio_pes(1, 10));
         m.add(tb::with_af(audio_pid, tb::with_pcr(12345), false));
         m.pes(audio_pid, audio_pes(2, 10));
         tb::adaptation jump;
         jump.discontinuity = true;
         tb::packet_fields jumping = tb::with_af(audio_pid, jump);
         jumping.cc = 9;
         m.pes(audio_pid, audio_pes(3, 10), jumping);
         for (uint8_t cc : {3, 3, 12}) {
             tb::packet_fields null;
             null.pid = null_pid;
             null.cc = cc;
             m.add(null, bytes(184, 0xFF));
         }
         m.pes(audio_pid, audio_pes(4, 10));
         return m.data();
     },
     {},
     [](const recorder& r) {
         EXPECT_EQ(r.pes.size(), 4u);
         ASSERT_EQ(r.pcrs.size(), 1u);
         EXPECT_EQ(r.pcrs[0].second.value_27mhz(), 12345u * 300);
     }},
    {"section_crc_error_table_not_used",
     [] {
         tb::mux m;
         bytes bad = tb::pat(1, 0, {{1, 0x200}});
         bad[9] ^= 0x01;  // program_map_PID 0x201
         m.psi(pat_pid, {bad});
         add_tables(m);
         return m.data();
     },
     {kind::section_crc},
     [](const recorder& r) {
         EXPECT_EQ(r.errors[0].pid, 0);
         ASSERT_EQ(r.pats.size(), 1u);
         EXPECT_EQ(r.pats[0].programs[0].pmt_pid, pmt_pid);
     }},
    {"empty_section_then_table_in_the_same_packet",
     [] {
         tb::mux m;
         tb::packet_fields f;
         f.pid = pat_pid;
         f.pusi = true;
         bytes payload = sb::concat({{0x00, 0x00, 0xB0, 0x00}, tb::pat(1, 0, {{1, pmt_pid}})});
         payload.resize(184, 0xFF);
         m.add(f, payload);
         return m.data();
     },
     {kind::malformed},
     [](const recorder& r) { EXPECT_EQ(r.pats.size(), 1u); }},
    {"transport_error_breaks_pes",
     [] {
         bytes d = audio_stream(2).data();
         d[(first_pes_packet + 1) * 188 + 1] |= 0x80;
         return d;
     },
     {kind::transport_error, kind::continuity},
     [](const recorder& r) {
         ASSERT_EQ(r.pes.size(), 2u);
         EXPECT_EQ(r.pes[0].pes.end_reason, ts_pes_end_reason::transport_error);
         EXPECT_FALSE(r.pes[0].pes.complete);
         EXPECT_EQ(r.pes[0].payload.size(), 184u - 14);  // the first packet's part only
         EXPECT_TRUE(r.pes[1].pes.complete);
         EXPECT_EQ(r.packets[first_pes_packet + 2].missing_packets, 1);
     }},
    {"scrambled_run_reported_once_never_assembled",
     [] {
         bytes d = audio_stream(3).data();
         for (size_t i : {first_pes_packet + 2, first_pes_packet + 3, first_pes_packet + 4}) d[i * 188 + 3] |= 0x80;
         return d;
     },
     {kind::scrambled},
     [](const recorder& r) {
         ASSERT_EQ(r.pes.size(), 2u);  // the second one began in a scrambled packet
         EXPECT_EQ(r.pes[0].pes.end_reason, ts_pes_end_reason::scrambled);
         EXPECT_TRUE(r.pes[1].pes.complete);
         EXPECT_EQ(r.pes[1].pes.header.pts, 1002u);
     }},
    {"malformed_adaptation_fields",
     [] {
         tb::mux m = audio_stream(1);
         tb::adaptation too_long;  // 183 with payload
         too_long.length = 183;
         m.pes(audio_pid, audio_pes(2, 10), tb::with_af(audio_pid, too_long));
         tb::adaptation short_pcr = tb::with_pcr(1);  // PCR flagged in a 3-byte field
         short_pcr.length = 3;
         m.pes(audio_pid, audio_pes(3, 10), tb::with_af(audio_pid, short_pcr));
         tb::adaptation af_only;  // no payload, but not 183
         af_only.length = 100;
         m.add(tb::with_af(audio_pid, af_only, false));
         m.pes(audio_pid, audio_pes(4, 10));
         return m.data();
     },
     {kind::malformed, kind::malformed, kind::malformed},
     [](const recorder& r) {
         EXPECT_TRUE(r.pcrs.empty());
         ASSERT_EQ(r.pes.size(), 2u);
         EXPECT_EQ(r.pes[1].pes.header.pts, 4u);
         EXPECT_TRUE(r.packets[first_pes_packet + 3].adaptation_field.malformed);
         EXPECT_EQ(r.packets[first_pes_packet + 3].payload_size, 0);
     }},
    {"bounded_pes_cut_short_and_overlong",
     [] {
         tb::mux m;
         add_tables(m);
         bytes a = audio_pes(1, 400);
         a[5] += 20;  // PES_packet_length 20 more than there is
         m.pes(audio_pid, a);
         bytes b = audio_pes(2, 400);
         b[5] -= 30;  // 30 bytes past its end
         m.pes(audio_pid, b);
         m.pes(audio_pid, audio_pes(3, 10));
         return m.data();
     },
     {kind::malformed, kind::malformed},
     [](const recorder& r) {
         ASSERT_EQ(r.pes.size(), 3u);
         EXPECT_FALSE(r.pes[0].pes.complete);
         EXPECT_EQ(r.pes[0].pes.end_reason, ts_pes_end_reason::next_unit_start);
         EXPECT_EQ(r.pes[0].payload, sb::payload_bytes(400));
         EXPECT_TRUE(r.pes[1].pes.complete);
         const bytes all = sb::payload_bytes(400);
         EXPECT_EQ(r.pes[1].payload, bytes(all.begin(), all.end() - 30));
         EXPECT_TRUE(r.pes[2].pes.complete);
     }},
    {"bad_pes_headers_and_pointer_field",
     [] {
         tb::mux m;
         add_tables(m);
         m.pes(audio_pid, sb::packet(0xB0, bytes(20, 0x80)));  // not a stream_id
         m.pes(audio_pid, bytes{0x00, 0x01, 0x01, 0xC0, 0x00, 0x03, 0x80, 0x00, 0x00});  // no start code
         sb::pes_fields f;
         f.pts = 5;
         bytes marker = sb::pes_packet(0xC0, f, bytes(10, 0x11));
         marker[13] &= 0xFE;  // a PTS marker bit
         m.pes(audio_pid, marker);
         tb::packet_fields pointer;
         pointer.pid = pat_pid;
         pointer.pusi = true;
         m.add(pointer, bytes(184, 190));  // pointer_field 190
         m.pes(audio_pid, audio_pes(6, 10));
         return m.data();
     },
     {kind::unknown_stream_id, kind::malformed, kind::marker_bit, kind::malformed},
     [](const recorder& r) {
         ASSERT_EQ(r.pes.size(), 2u);
         EXPECT_EQ(r.pes[0].payload, bytes(10, 0x11));  // read despite the marker bit
         EXPECT_EQ(r.pes[0].pes.extra.marker_errors, 1);
     }},
    {"input_ends_inside_packet_and_pes",
     [] {
         bytes d = audio_stream(1).data();
         d.erase(d.end() - 100, d.end());
         return d;
     },
     {kind::malformed, kind::malformed},
     [](const recorder& r) {
         EXPECT_EQ(r.errors[0].offset, (first_pes_packet + 2) * 188);
         ASSERT_EQ(r.pes.size(), 1u);
         EXPECT_EQ(r.pes[0].pes.end_reason, ts_pes_end_reason::end_of_input);
         EXPECT_FALSE(r.pes[0].pes.complete);
     }},
    {"no_sync_at_all",
     [] { return sb::payload_bytes(5000); },
     {kind::sync_loss},
     [](const recorder& r) {
         ASSERT_EQ(r.losses.size(), 1u);
         EXPECT_EQ(r.losses[0].regained_at, -1);
         EXPECT_EQ(r.losses[0].skipped_bytes, 5000);
         EXPECT_TRUE(r.packets.empty());
     }},
};

class TsErrors : public ::testing::TestWithParam<error_case> {};

TEST_P(TsErrors, ReportedAndContained) {
    const error_case& c = GetParam();
    const bytes data = c.build();
    const recorder r = read_all(data);
    EXPECT_EQ(r.error_kinds(), c.errors) << r.trace;
    if (c.check) c.check(r);
    // Whatever the fault, every PES packet that began has ended, and a
    // complete bounded one has exactly its length.
    for (const pes_record& p : r.pes) {
        EXPECT_TRUE(p.ended);
        EXPECT_EQ(p.payload.size(), p.pes.payload_bytes);
        if (p.pes.complete && p.pes.header.length > 0) {
            EXPECT_EQ(p.pes.header_bytes + p.payload.size(), p.pes.header.length + 6u);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, TsErrors, ::testing::ValuesIn(cases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
