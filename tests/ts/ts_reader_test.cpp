// Transport-stream reader on built streams: tables, PES reassembly, the PES
// header reader, format detection, 192-byte packets, and readings that must
// not depend on how the input is cut.
#include <gtest/gtest.h>

#include <cstring>

#include "ts_recorder.h"

using namespace ts_test;

namespace {

bytes text(const char* s) { return bytes(s, s + std::strlen(s)); }

// A descriptor as one line: the tag, then its typed fields or raw bytes.
std::string describe(const ts_descriptor& d) {
    char b[160];
    if (auto* r = std::get_if<registration_info>(&d.parsed)) {
        std::snprintf(b, sizeof b, "registration %08x", r->format_identifier);
    } else if (auto* l = std::get_if<language_info>(&d.parsed)) {
        std::snprintf(b, sizeof b, "language %zu %s/%d", l->languages.size(), l->languages.back().code.c_str(),
                      l->languages.back().audio_type);
    } else if (auto* s = std::get_if<std_info>(&d.parsed)) {
        std::snprintf(b, sizeof b, "STD leak_valid=%d", s->leak_valid);
    } else if (auto* m = std::get_if<maximum_bitrate_info>(&d.parsed)) {
        std::snprintf(b, sizeof b, "maximum_bitrate %llu B/s", (unsigned long long)m->bytes_per_second());
    } else if (auto* a = std::get_if<dvb_ac3_info>(&d.parsed)) {
        std::snprintf(b, sizeof b, "%s %d %d %d %d %d %d %d %d", a->enhanced ? "E-AC-3" : "AC-3", a->component_type,
                      a->bsid, a->mainid, a->asvc, a->mixinfoexists, a->substream1, a->substream2, a->substream3);
    } else if (auto* a = std::get_if<atsc_ac3_info>(&d.parsed)) {
        std::snprintf(b, sizeof b, "ATSC AC-3 %d %d %d %d %d %d %d", a->sample_rate_code, a->bsid, a->bit_rate_code,
                      a->surround_mode, a->bsmod, a->num_channels, a->full_svc);
    } else {
        std::string raw = "raw " + std::to_string(d.tag) + ":";
        for (uint8_t x : d.data) raw += " " + std::to_string(x);
        return raw;
    }
    return b;
}

// ---------------------------------------------------------------------------
// PSI.

TEST(TsPsi, SectionsAcrossPacketsSharedPmtPidAndDescriptors) {
    bytes languages;
    for (int i = 0; i < 60; ++i) sb::append(languages, {'e', 'n', 'g', 1});  // 240 bytes: the section spans packets
    const std::vector<tb::stream> streams1 = {
        {0x1B, 0x1011, sb::concat({tb::descriptor(0x28, {0x64, 0x00, 0x28, 0x3F}), tb::descriptor(0x2A, {0x7E, 0x1F}),
                                   tb::descriptor(0x0E, {0xC0, 0x12, 0x34}), tb::descriptor(0x11, {0xFF})})},
        {0x81, 0x1100, sb::concat({tb::descriptor(0x81, {0x08, 0x3E, 0x2F, 0x65}), tb::descriptor(0x0A, languages)})},
        {0x06, 0x1101,
         sb::concat({tb::descriptor(0x6A, {0xC0, 0x44, 0x08}), tb::descriptor(0x7A, {0x43, 0x10, 0x01, 0x02}),
                     tb::descriptor(0x7A, {0x80})})},  // component_type flagged, missing: raw only
    };
    tb::mux m;
    m.psi(pat_pid, {tb::pat(7, 0, {{0, 0x10}, {1, pmt_pid}, {2, pmt_pid}, {3, pmt_pid}})});
    // Program 1's PMT takes a packet and a half; programs 2 and 3 start in
    // its second packet (pointer_field > 0, two sections in one packet).
    m.psi(pmt_pid, {tb::pmt(1, 4, 0x1011, tb::descriptor(0x05, text("HDMV")), streams1),
                    tb::pmt(2, 0, 0x1FFF, {}, {{0x03, 0x200, {}}}), tb::pmt(3, 0, 0x201, {}, {{0x0F, 0x201, {}}})});
    ASSERT_EQ(m.packets(), 3u);

    ts_reader reader;
    recorder r;
    reader.add_observer(r);
    read(reader, m.data());
    EXPECT_TRUE(r.errors.empty()) << r.trace;
    ASSERT_EQ(r.pats.size(), 1u);
    EXPECT_EQ(r.pats[0].network_pid, 0x10);
    EXPECT_EQ(r.pats[0].programs.size(), 3u);
    ASSERT_EQ(r.pmts.size(), 3u);
    EXPECT_EQ(r.pmts[1].pcr_pid, 0x1FFF);
    EXPECT_EQ(reader.stream_type(0x201), 0x0F);
    EXPECT_EQ(reader.stream_type(pmt_pid), -1);

    const ts_pmt& p = r.pmts[0];
    EXPECT_EQ(p.version_number, 4);
    EXPECT_EQ(p.pcr_pid, 0x1011);
    EXPECT_EQ(p.offset, 2 * 188);  // completed in the third packet of the stream
    std::vector<std::string> seen = {describe(p.program_info.at(0))};
    for (const auto& es : p.streams)
        for (const auto& d : es.descriptors) seen.push_back(describe(d));
    const std::vector<std::string> expected = {
        "registration 48444d56",
        "raw 40: 100 0 40 63",  // AVC video and AVC timing and HRD descriptors: raw
        "raw 42: 126 31",
        "maximum_bitrate 233000 B/s",
        "STD leak_valid=1",
        "ATSC AC-3 0 8 15 2 1 7 1",
        "language 60 eng/1",
        "AC-3 68 8 -1 -1 -1 -1 -1 -1",
        "E-AC-3 -1 16 -1 -1 0 -1 1 2",
        "raw 122: 128",
    };
    EXPECT_EQ(seen, expected);
}

TEST(TsPsi, TablesFollowedAndReportedWhenTheyChange) {
    tb::mux m;
    m.pes(video_pid, video_pes(1, 1, 10));  // before any table: not followed
    add_tables(m);
    add_tables(m);  // repeated: nothing new
    // The same version with other contents: told again.
    m.psi(pmt_pid, {tb::pmt(1, 0, video_pid, {}, {{0x02, video_pid, {}}, {0x04, audio_pid, {}}})});
    // A table not yet applicable: ignored.
    m.psi(pmt_pid, {tb::section(0x02, 1, 1, bytes{0xE1, 0x00, 0xF0, 0x00}, false)});
    bytes audio = audio_pes(5, 400);
    m.pes(audio_pid, bytes(audio.begin(), audio.begin() + 200));
    // Version 1 drops the audio PID while its PES packet is in progress.
    m.psi(pmt_pid, {tb::pmt(1, 1, video_pid, {}, {{0x02, video_pid, {}}})});
    m.pes(audio_pid, bytes(audio.begin() + 200, audio.end()));
    m.pes(video_pid, video_pes(2, 2, 10));
    // A PAT in two sections (programs 1 and 2), reported once both are in.
    m.psi(pat_pid, {tb::pat(1, 3, {{1, pmt_pid}}, 0, 1)});
    m.psi(pat_pid, {tb::pat(1, 3, {{2, 0x1001}}, 1, 1)});
    m.psi(0x1001, {tb::pmt(2, 0, 0x300, {}, {{0x05, 0x300, {}}, {0x86, 0x301, tb::descriptor(0x05, text("CUEI"))}})});
    m.pes(0x300, audio_pes(6, 10));  // private sections: not PES
    m.psi(0x301, {tb::section(0xFC, 0, 0, bytes(20, 0))});  // SCTE 35 splice information: sections, not PES

    ts_reader reader;
    recorder r;
    reader.add_observer(r);
    read(reader, m.data());
    EXPECT_TRUE(r.errors.empty()) << r.trace;
    ASSERT_EQ(r.pats.size(), 2u);
    ASSERT_EQ(r.pats[1].programs.size(), 2u);
    EXPECT_EQ(r.pats[1].programs[1].pmt_pid, 0x1001);
    ASSERT_EQ(r.pmts.size(), 4u);
    EXPECT_EQ(r.pmts[1].streams[1].stream_type, 0x04);
    EXPECT_EQ(r.pmts[2].version_number, 1);
    EXPECT_EQ(reader.pmt(1)->version_number, 1);
    EXPECT_EQ(reader.stream_type(audio_pid), -1);
    EXPECT_EQ(reader.stream_type(0x301), 0x86);

    ASSERT_EQ(r.pes.size(), 2u);
    EXPECT_EQ(r.pes[0].pes.stream_type, 0x04);
    EXPECT_EQ(r.pes[0].pes.end_reason, ts_pes_end_reason::pid_dropped);
    EXPECT_FALSE(r.pes[0].pes.complete);
    EXPECT_EQ(r.pes[1].pes.header.pts, 2u);
}

// ---------------------------------------------------------------------------
// PES packets.

TEST(TsPes, BoundedUnboundedAndHeaderAcrossPackets) {
    tb::mux m;
    add_tables(m);
    const bytes audio = audio_pes(90000, 400);
    const bytes v1 = video_pes(7200, 3600, 1000);
    const bytes v2 = video_pes(10800, 7200, 300);
    m.pes(audio_pid, audio);
    m.pes(video_pid, v1, tb::with_af(video_pid, tb::with_pcr(0x1FFFFFFFFull, 299)));
    // A header with a PES extension, of which the first packet carries 5 bytes.
    sb::pes_fields f;
    f.pts = 0x100000000ull;
    f.extension = bytes{0x10, 0x60, 0xE8};  // P-STD_buffer: scale 1, size 232
    const bytes split = sb::pes_packet(0xC0, f, sb::payload_bytes(30));
    tb::adaptation narrow;
    narrow.private_data = bytes(184 - 5 - 3, 0xAA);
    m.pes(audio_pid, split, tb::with_af(audio_pid, narrow));
    m.pes(audio_pid, sb::packet(0xBE, bytes(20, 0xFF)));  // padding: no optional header
    m.pes(video_pid, v2);
    const size_t before_last = m.data().size();
    m.pes(video_pid, video_pes(14400, 10800, 50));

    recorder r = read_all(m.data());
    EXPECT_TRUE(r.errors.empty()) << r.trace;
    ASSERT_EQ(r.pcrs.size(), 1u);
    EXPECT_EQ(r.pcrs[0].second.value_27mhz(), 0x1FFFFFFFFull * 300 + 299);
    const auto a = r.pes_on(audio_pid);
    const auto v = r.pes_on(video_pid);
    ASSERT_EQ(a.size(), 3u);
    ASSERT_EQ(v.size(), 3u);

    const ts_pes& first = a[0]->pes;
    EXPECT_EQ(a[0]->payload, payload_of(audio));
    EXPECT_TRUE(first.complete);
    EXPECT_EQ(first.ts_packets, 3u);
    EXPECT_EQ(first.header.length, 408);
    EXPECT_EQ(first.header.dts, absent_ts);
    EXPECT_EQ(first.header.starting_offset, 2 * 188);
    EXPECT_EQ(first.header.ends_at, 5 * 188);  // its last byte ends the third packet
    EXPECT_EQ(first.stream_type, 0x03);

    EXPECT_EQ(v[0]->payload, payload_of(v1));
    EXPECT_TRUE(v[0]->pes.complete);
    EXPECT_EQ(v[0]->pes.end_reason, ts_pes_end_reason::next_unit_start);
    EXPECT_EQ(v[0]->pes.header.dts, 3600u);
    EXPECT_EQ(v[0]->pes.ts_packets, 6u);
    EXPECT_EQ(v[2]->pes.end_reason, ts_pes_end_reason::end_of_input);
    EXPECT_TRUE(v[2]->pes.complete);
    EXPECT_EQ(v[2]->pes.header.starting_offset, static_cast<int64_t>(before_last));

    EXPECT_EQ(a[1]->payload, sb::payload_bytes(30));
    EXPECT_EQ(a[1]->pes.ts_packets, 2u);
    EXPECT_EQ(a[1]->pes.header.pts, 0x100000000ull);
    EXPECT_EQ(a[1]->pes.header.std_buffer_size_bytes, 232 * 1024);
    EXPECT_EQ(a[2]->pes.header.pts_dts_flag, -1);
    EXPECT_EQ(a[2]->payload, bytes(20, 0xFF));
}

TEST(TsPacket, HeaderAndAdaptationFieldFields) {
    tb::mux m;
    tb::packet_fields f;
    f.pid = 0x1ABC;
    f.priority = true;
    f.af = tb::adaptation{};
    f.af->es_priority = true;
    f.af->pcr_base = 0x155555555ull;
    f.af->pcr_ext = 0x1AA;
    f.af->opcr_base = 1;
    f.af->splice_countdown = -3;
    f.af->private_data = bytes(5, 0x12);
    // ltw (valid, offset 0x1234), piecewise_rate 0x2ABCDE, seamless splice
    // type 9 with DTS_next_AU 0x1DEADBEEF, one reserved byte.
    f.af->extension = sb::concat({{0xE0, 0x92, 0x34, 0xEA, 0xBC, 0xDE}, sb::time_stamp(9, 0x1DEADBEEF), {0x00}});
    m.add(f, bytes(100, 0x01));
    const recorder r = read_all(m.data());
    EXPECT_TRUE(r.errors.empty()) << r.trace;
    ASSERT_EQ(r.packets.size(), 1u);
    const ts_packet_info& p = r.packets[0];
    EXPECT_EQ(p.pid, 0x1ABC);
    EXPECT_TRUE(p.transport_priority);
    EXPECT_EQ(p.payload_size, 100);
    const ts_adaptation_field& a = p.adaptation_field;
    EXPECT_TRUE(a.es_priority_indicator);
    EXPECT_EQ(a.pcr->value_27mhz(), 0x155555555ull * 300 + 0x1AA);
    EXPECT_EQ(a.opcr->base, 1u);
    EXPECT_EQ(a.splice_countdown, -3);
    EXPECT_EQ(a.private_data_length, 5);
    EXPECT_EQ(a.extension_length, 12);
    EXPECT_EQ(a.ltw_valid, 1);
    EXPECT_EQ(a.ltw_offset, 0x1234);
    EXPECT_EQ(a.piecewise_rate, 0x2ABCDE);
    EXPECT_EQ(a.splice_type, 9);
    EXPECT_EQ(a.dts_next_au, 0x1DEADBEEFull);
    EXPECT_EQ(a.stuffing_bytes, 184u - 100 - 1 - (1 + 6 + 6 + 1 + 6 + 13));
}

TEST(TsPes, UnboundedPayloadDeliveredAsPacketsArrive) {
    tb::mux m;
    add_tables(m);
    m.pes(video_pid, video_pes(0, 0, 1 << 20));
    const bytes& data = m.data();
    ts_reader reader;
    recorder r;
    reader.add_observer(r);
    reader.feed(data.data(), data.size() / 2);
    ASSERT_EQ(r.pes.size(), 1u);
    EXPECT_FALSE(r.pes[0].ended);
    EXPECT_GT(r.pes[0].payload.size(), (1u << 20) / 2 - 2 * 188);
    reader.feed(data.data() + data.size() / 2, data.size() - data.size() / 2);
    reader.finish();
    EXPECT_EQ(r.pes[0].payload.size(), 1u << 20);
    EXPECT_TRUE(r.pes[0].pes.complete);
}

TEST(PesHeader, EveryFieldAndEveryCut) {
    sb::pes_fields f;
    f.scrambling = 1;
    f.priority = 1;
    f.copyright = 1;
    f.original = 1;
    f.pts = 0x1ABCDEF01ull;
    f.dts = 0x012345678ull;
    f.escr = true;
    f.es_rate = 0x2AAAAA;
    f.trick_mode_byte = 0x6B;  // slow_motion, rep_cntrl 11
    f.additional_copy_info = 0x55;
    f.crc = 0xBEEF;
    bytes ext = {0xB1};  // private data, sequence counter, P-STD buffer, extension 2
    ext.insert(ext.end(), 16, 0x00);
    sb::append(ext, {0x85, 0xC3, 0x40 | 0x00 | 0x01, 0x00, 0x82, 0x71, 0xFF});
    f.extension = ext;
    f.stuffing = 3;
    const bytes h = sb::pes_packet(0xFD, f, bytes(4, 0x00));
    const size_t size = h.size() - 4;

    for (size_t n = 0; n < size; ++n) {
        packet_struct p;
        pes_header_extra x;
        size_t need = 0;
        ASSERT_EQ(parse_pes_header(h.data(), n, p, need, x), pes_header_result::need_more) << n;
        EXPECT_GT(need, n);
        EXPECT_LE(need, size);
    }
    packet_struct p;
    pes_header_extra x;
    size_t need = 0;
    ASSERT_EQ(parse_pes_header(h.data(), h.size(), p, need, x), pes_header_result::complete);
    EXPECT_EQ(need, size);
    const int64_t fields[] = {p.stream_id, p.length, p.pes_scrambling_code, x.pes_priority,
                              p.data_alignment_indicator, p.copyright, p.original_or_copy,
                              static_cast<int64_t>(p.pts), static_cast<int64_t>(p.dts),
                              static_cast<int64_t>(x.escr_base), x.escr_extension, p.es_rate, p.trick_mode,
                              x.trick_mode_byte, p.additional_copy_info, p.previous_pes_packet_crc, x.pes_private_data,
                              x.program_packet_sequence_counter, x.mpeg1_mpeg2_identifier, x.original_stuff_length,
                              p.std_buffer_scale, p.std_buffer_size_bytes, x.pes_extension_field_length,
                              x.stream_id_extension, x.stuffing_bytes, x.marker_errors};
    const int64_t expected[] = {0xFD, static_cast<int64_t>(h.size() - 6), 1, 1, 0, 1, 1, 0x1ABCDEF01, 0x012345678,
                                0, 0, 0x2AAAAA, 3, 0x6B, 0x55, 0xBEEF, 1, 5, 1, 3, 0, 0x100 * 128, 2, 0x71, 3, 0};
    for (size_t i = 0; i < std::size(fields); ++i) EXPECT_EQ(fields[i], expected[i]) << "field " << i;

    // Headers that cannot be read.
    auto refused = [](bytes b) {
        packet_struct q;
        pes_header_extra y;
        size_t n = 0;
        return parse_pes_header(b.data(), b.size(), q, n, y) == pes_header_result::invalid && y.fault;
    };
    sb::pes_fields one_flag;
    one_flag.pts_dts_flags = 1;
    EXPECT_TRUE(refused(sb::pes_packet(0xE0, one_flag, {})));
    sb::pes_fields short_length;
    short_length.pts = 1;
    short_length.header_data_length = 4;
    EXPECT_TRUE(refused(sb::pes_packet(0xE0, short_length, bytes(10, 0))));
    EXPECT_TRUE(refused(sb::packet(0xE0, {0x40, 0x00, 0x00})));  // no '10'
    EXPECT_TRUE(refused({0x00, 0x00, 0x02}));
    EXPECT_TRUE(refused(sb::packet(0xB9, {})));
}

// ---------------------------------------------------------------------------
// Formats, 192-byte packets, chunking.

TEST(TsFormat, DetectedFromContent) {
    tb::mux m;
    add_tables(m);
    for (int i = 0; i < 3; ++i) m.pes(audio_pid, audio_pes(i, 400));
    const bytes ts = m.data();
    const bytes m2ts = tb::m2ts(ts, 0, 1000);
    const bytes ps = sb::concat({sb::pack_header(1, 0, 1000), sb::pes_packet(0xE0, {}, sb::payload_bytes(100))});
    const bytes mpeg1 = sb::concat({sb::mpeg1_pack_header(1, 1000), sb::mpeg1_packet(0xE0, {}, sb::payload_bytes(10))});
    struct detection {
        bytes head;
        stream_format expected;
    };
    const detection cases[] = {
        {ts, stream_format::transport_188},
        {m2ts, stream_format::transport_192},
        {sb::concat({bytes(100, 0x47), ts}), stream_format::transport_188},  // junk in front
        {bytes(ts.begin(), ts.begin() + 2 * 188), stream_format::transport_188},
        {bytes(ts.begin(), ts.begin() + 188), stream_format::unknown},  // one packet proves nothing
        {sb::concat({bytes(7, 0x00), ps}), stream_format::program_stream},
        {mpeg1, stream_format::program_stream},
        {sb::payload_bytes(4000), stream_format::unknown},
        {bytes(4000, 0x00), stream_format::unknown},
        {{}, stream_format::unknown},
    };
    for (const detection& c : cases)
        EXPECT_EQ(detect_stream_format(c.head.data(), c.head.size()), c.expected)
            << stream_format_name(c.expected) << " of " << c.head.size() << " bytes";
    // Random bytes with a sync byte every 188 for four packets only.
    bytes four = sb::payload_bytes(188 * 8);
    for (size_t i = 0; i < 4; ++i) four[i * 188] = 0x47;
    EXPECT_EQ(detect_stream_format(four.data(), four.size()), stream_format::unknown);
}

// A stream with tables, both kinds of PES packet, a PCR and a few faults.
bytes busy_stream() {
    tb::mux m;
    tb::packet_fields null;
    null.pid = null_pid;
    m.add(null, bytes(184, 0xFF));
    add_tables(m);
    for (int i = 0; i < 4; ++i) {
        m.pes(video_pid, video_pes(3600 * i, 3600 * i, 700 + 50 * i), tb::with_af(video_pid, tb::with_pcr(1234567)));
        m.pes(audio_pid, audio_pes(1000 * i, 300 + i));
    }
    bytes d = m.data();
    d.insert(d.begin() + 5 * 188, 77, 0x47);                   // junk
    d[(10 * 188) + 77 + 1] |= 0x80;                           // a transport error
    const bytes again(d.begin() + 14 * 188 + 77, d.begin() + 15 * 188 + 77);
    d.insert(d.begin() + 15 * 188 + 77, again.begin(), again.end());  // a duplicate
    d.erase(d.begin() + 20 * 188 + 77, d.begin() + 21 * 188 + 77);  // a lost packet
    d.erase(d.end() - 33, d.end());
    return d;
}

TEST(TsReader, ChunkingAndOtherReadersMakeNoDifference) {
    for (stream_format format : {stream_format::transport_188, stream_format::transport_192}) {
        const bool m2ts = format == stream_format::transport_192;
        const bytes data = m2ts ? tb::m2ts(busy_stream(), 0x3FFFFFF0, 7, 2) : busy_stream();
        const recorder whole = read_all(data, format);
        ASSERT_GE(whole.errors.size(), 4u) << whole.trace;
        ASSERT_GE(whole.pes.size(), 6u);
        if (m2ts) {
            const ts_packet_info& p = whole.packets.at(3);
            EXPECT_EQ(p.offset, 3 * 192);
            EXPECT_EQ(p.sync_offset, 3 * 192 + 4);
            EXPECT_EQ(p.copy_permission_indicator, 2);
            EXPECT_EQ(whole.packets[2].arrival_time_stamp, 0x3FFFFFFE);
            EXPECT_EQ(p.arrival_time_stamp, 5);  // 30 bits wrap
        }
        for (size_t chunk : {1, 2, 3, 7, 187, 188, 189, 192, 1000, 4096})
            EXPECT_EQ(read_all(data, format, chunk).trace, whole.trace) << "chunks of " << chunk;

        // Two readers fed in turns, one byte at a time, each as if alone.
        const bytes other = busy_stream();
        const recorder other_whole = read_all(other);
        ts_reader a(format), b;
        recorder ra, rb;
        a.add_observer(ra);
        b.add_observer(rb);
        for (size_t i = 0; i < std::max(data.size(), other.size()); ++i) {
            if (i < data.size()) a.feed(&data[i], 1);
            if (i < other.size()) b.feed(&other[i], 1);
        }
        a.finish();
        b.finish();
        EXPECT_EQ(ra.trace, whole.trace);
        EXPECT_EQ(rb.trace, other_whole.trace);
    }
}

}  // namespace
