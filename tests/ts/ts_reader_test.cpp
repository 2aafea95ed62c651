// Transport-stream reader on built streams: tables, PES reassembly, the PES
// header reader, format detection, 192-byte packets, and readings that must
// not depend on how the input is cut.
#include <gtest/gtest.h>

#include <cstring>

#include "ts_recorder.h"

using namespace ts_test;

namespace {

bytes text(const char* s) { return bytes(s, s + std::strlen(s)); }

template <typename T>
const T& typed(const ts_descriptor& d) {
    const T* t = std::get_if<T>(&d.parsed);
    if (!t) throw std::runtime_error("descriptor " + std::to_string(d.tag) + " not read as expected");
    return *t;
}

// ---------------------------------------------------------------------------
// PSI.

TEST(TsPsi, SectionsAcrossPacketsSharedPmtPidAndDescriptors) {
    bytes languages;
    for (int i = 0; i < 60; ++i) sb::append(languages, {'e', 'n', 'g', 1});  // 240 bytes: the section spans packets
    const bytes program_info = tb::descriptor(0x05, text("HDMV"));
    const std::vector<tb::stream> streams1 = {
        {0x1B, 0x1011, sb::concat({tb::descriptor(0x28, {0x64, 0x00, 0x28, 0x3F}), tb::descriptor(0x2A, {0x7E, 0x1F}),
                                   tb::descriptor(0x0E, {0xC0, 0x12, 0x34}), tb::descriptor(0x11, {0xFF})})},
        {0x81, 0x1100, sb::concat({tb::descriptor(0x81, {0x08, 0x3E, 0x2F, 0x65}), tb::descriptor(0x0A, languages)})},
        {0x06, 0x1101, sb::concat({tb::descriptor(0x6A, {0xC0, 0x44, 0x08}), tb::descriptor(0x7A, {0x43, 0x10, 0x01, 0x02})})},
    };
    tb::mux m;
    m.psi(pat_pid, {tb::pat(7, 0, {{0, 0x10}, {1, pmt_pid}, {2, pmt_pid}, {3, pmt_pid}})});
    // Program 1's PMT takes a packet and a half; programs 2 and 3 start in
    // its second packet (pointer_field > 0, two sections in one packet).
    m.psi(pmt_pid, {tb::pmt(1, 4, 0x1011, program_info, streams1), tb::pmt(2, 0, 0x1FFF, {}, {{0x03, 0x200, {}}}),
                    tb::pmt(3, 0, 0x201, {}, {{0x0F, 0x201, {}}})});
    ASSERT_EQ(m.packets(), 3u);

    ts_reader reader;
    recorder r;
    reader.add_observer(r);
    read(reader, m.data());
    EXPECT_TRUE(r.errors.empty()) << r.trace;
    ASSERT_EQ(r.pats.size(), 1u);
    EXPECT_EQ(r.pats[0].transport_stream_id, 7);
    EXPECT_EQ(r.pats[0].network_pid, 0x10);
    ASSERT_EQ(r.pats[0].programs.size(), 3u);
    ASSERT_EQ(r.pmts.size(), 3u);
    EXPECT_EQ(r.pmts[1].program_number, 2);
    EXPECT_EQ(r.pmts[1].pcr_pid, 0x1FFF);
    EXPECT_EQ(r.pmts[2].streams.at(0).stream_type, 0x0F);
    EXPECT_EQ(reader.stream_type(0x201), 0x0F);
    EXPECT_EQ(reader.stream_type(pmt_pid), -1);

    const ts_pmt& p = r.pmts[0];
    EXPECT_EQ(p.version_number, 4);
    EXPECT_EQ(p.pcr_pid, 0x1011);
    EXPECT_EQ(p.pid, pmt_pid);
    EXPECT_EQ(p.offset, 2 * 188);  // completed in the third packet of the stream
    ASSERT_EQ(p.program_info.size(), 1u);
    EXPECT_EQ(typed<registration_info>(p.program_info[0]).format_identifier, 0x48444D56u);
    ASSERT_EQ(p.streams.size(), 3u);

    const auto& video = p.streams[0].descriptors;
    ASSERT_EQ(video.size(), 4u);
    EXPECT_EQ(video[0].tag, 0x28);  // AVC descriptors kept raw
    EXPECT_EQ(video[0].data, (bytes{0x64, 0x00, 0x28, 0x3F}));
    EXPECT_TRUE(std::holds_alternative<std::monostate>(video[1].parsed));
    EXPECT_EQ(typed<maximum_bitrate_info>(video[2]).maximum_bitrate, 0x001234u);
    EXPECT_EQ(typed<maximum_bitrate_info>(video[2]).bytes_per_second(), 0x1234u * 50);
    EXPECT_TRUE(typed<std_info>(video[3]).leak_valid);

    const auto& atsc = p.streams[1].descriptors;
    const atsc_ac3_info& a = typed<atsc_ac3_info>(atsc[0]);
    EXPECT_EQ(a.sample_rate_code, 0);
    EXPECT_EQ(a.bsid, 8);
    EXPECT_EQ(a.bit_rate_code, 0x0F);
    EXPECT_EQ(a.surround_mode, 2);
    EXPECT_EQ(a.bsmod, 1);
    EXPECT_EQ(a.num_channels, 7);
    EXPECT_TRUE(a.full_svc);
    const language_info& lang = typed<language_info>(atsc[1]);
    ASSERT_EQ(lang.languages.size(), 60u);
    EXPECT_EQ(lang.languages[59].code, "eng");
    EXPECT_EQ(lang.languages[59].audio_type, 1);

    const auto& dvb = p.streams[2].descriptors;
    const dvb_ac3_info& ac3 = typed<dvb_ac3_info>(dvb[0]);
    EXPECT_FALSE(ac3.enhanced);
    EXPECT_EQ(ac3.component_type, 0x44);
    EXPECT_EQ(ac3.bsid, 0x08);
    EXPECT_EQ(ac3.mainid, -1);
    const dvb_ac3_info& eac3 = typed<dvb_ac3_info>(dvb[1]);
    EXPECT_TRUE(eac3.enhanced);
    EXPECT_EQ(eac3.bsid, 0x10);      // bsid_flag
    EXPECT_EQ(eac3.substream2, 0x01);
    EXPECT_EQ(eac3.substream3, 0x02);
    EXPECT_EQ(eac3.component_type, -1);
    EXPECT_EQ(eac3.mixinfoexists, 0);
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
    m.psi(0x1001, {tb::pmt(2, 0, 0x300, {}, {{0x05, 0x300, {}}})});
    m.pes(0x300, audio_pes(6, 10));  // private sections: not PES

    ts_reader reader;
    recorder r;
    reader.add_observer(r);
    read(reader, m.data());
    EXPECT_TRUE(r.errors.empty()) << r.trace;
    ASSERT_EQ(r.pats.size(), 2u);
    EXPECT_EQ(r.pats[1].version_number, 3);
    ASSERT_EQ(r.pats[1].programs.size(), 2u);
    EXPECT_EQ(r.pats[1].programs[1].pmt_pid, 0x1001);
    ASSERT_EQ(r.pmts.size(), 4u);
    EXPECT_EQ(r.pmts[1].streams[1].stream_type, 0x04);
    EXPECT_EQ(r.pmts[2].version_number, 1);
    EXPECT_EQ(r.pmts[3].program_number, 2);
    ASSERT_EQ(reader.pat(), &*reader.pat());
    EXPECT_EQ(reader.pmt(1)->version_number, 1);
    EXPECT_EQ(reader.stream_type(audio_pid), -1);

    ASSERT_EQ(r.pes.size(), 2u);
    EXPECT_EQ(r.pes[0].pes.pid, audio_pid);
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
    tb::packet_fields pcr;
    pcr.af = tb::adaptation{};
    pcr.af->pcr_base = 0x1FFFFFFFFull;
    pcr.af->pcr_ext = 299;
    pcr.af->random_access = true;
    m.pes(video_pid, v1, pcr);
    // A header with a PES extension, of which the first packet carries 5 bytes.
    sb::pes_fields f;
    f.pts = 0x100000000ull;
    f.extension = bytes{0x10, 0x60, 0xE8};  // P-STD_buffer: scale 1, size 232
    const bytes split = sb::pes_packet(0xC0, f, sb::payload_bytes(30));
    tb::packet_fields narrow;
    narrow.af = tb::adaptation{};
    narrow.af->private_data = bytes(184 - 5 - 3, 0xAA);
    m.pes(audio_pid, split, narrow);
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
    EXPECT_EQ(first.end_reason, ts_pes_end_reason::length_reached);
    EXPECT_EQ(first.ts_packets, 3u);
    EXPECT_EQ(first.header.stream_id, 0xC0);
    EXPECT_EQ(first.header.stream_name, "audio_stream");
    EXPECT_EQ(first.header.length, 408);
    EXPECT_EQ(first.header.pts, 90000u);
    EXPECT_EQ(first.header.dts, absent_ts);
    EXPECT_EQ(first.header.data_alignment_indicator, 1);
    EXPECT_EQ(first.header.starting_offset, 2 * 188);
    EXPECT_EQ(first.header.ends_at, 5 * 188);  // its last byte ends the third packet
    EXPECT_EQ(first.stream_type, 0x03);
    EXPECT_EQ(first.program_number, 1);

    EXPECT_EQ(v[0]->payload, payload_of(v1));
    EXPECT_TRUE(v[0]->pes.complete);
    EXPECT_EQ(v[0]->pes.end_reason, ts_pes_end_reason::next_unit_start);
    EXPECT_EQ(v[0]->pes.header.length, 0);
    EXPECT_EQ(v[0]->pes.header.pts, 7200u);
    EXPECT_EQ(v[0]->pes.header.dts, 3600u);
    EXPECT_EQ(v[0]->pes.ts_packets, 6u);
    EXPECT_EQ(v[2]->pes.end_reason, ts_pes_end_reason::end_of_input);
    EXPECT_TRUE(v[2]->pes.complete);
    EXPECT_EQ(v[2]->pes.header.starting_offset, static_cast<int64_t>(before_last));

    EXPECT_EQ(a[1]->payload, sb::payload_bytes(30));
    EXPECT_EQ(a[1]->pes.ts_packets, 2u);
    EXPECT_EQ(a[1]->pes.header.pts, 0x100000000ull);
    EXPECT_EQ(a[1]->pes.header.std_buffer_size_bytes, 232 * 1024);
    EXPECT_EQ(a[1]->pes.header.extension_data, 1);
    EXPECT_EQ(a[2]->pes.header.stream_id, 0xBE);
    EXPECT_EQ(a[2]->pes.header.pts_dts_flag, -1);
    EXPECT_EQ(a[2]->payload, bytes(20, 0xFF));
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
    EXPECT_EQ(p.stream_id, 0xFD);
    EXPECT_EQ(p.length, static_cast<int32_t>(h.size() - 6));
    EXPECT_EQ(p.pes_scrambling_code, 1);
    EXPECT_EQ(x.pes_priority, 1);
    EXPECT_EQ(p.data_alignment_indicator, 0);
    EXPECT_EQ(p.copyright, 1);
    EXPECT_EQ(p.original_or_copy, 1);
    EXPECT_EQ(p.pts, 0x1ABCDEF01ull);
    EXPECT_EQ(p.dts, 0x012345678ull);
    EXPECT_EQ(x.escr_base, 0u);
    EXPECT_EQ(x.escr_extension, 0);
    EXPECT_EQ(p.es_rate, 0x2AAAAA);
    EXPECT_EQ(p.trick_mode, 3);
    EXPECT_EQ(x.trick_mode_byte, 0x6B);
    EXPECT_EQ(p.additional_copy_info, 0x55);
    EXPECT_EQ(p.previous_pes_packet_crc, 0xBEEF);
    EXPECT_EQ(x.pes_private_data, 1);
    EXPECT_EQ(x.program_packet_sequence_counter, 5);
    EXPECT_EQ(x.mpeg1_mpeg2_identifier, 1);
    EXPECT_EQ(x.original_stuff_length, 3);
    EXPECT_EQ(p.std_buffer_scale, 0);
    EXPECT_EQ(p.std_buffer_size, 0x100);
    EXPECT_EQ(p.std_buffer_size_bytes, 0x100 * 128);
    EXPECT_EQ(x.pes_extension_field_length, 2);
    EXPECT_EQ(x.stream_id_extension, 0x71);
    EXPECT_EQ(x.stuffing_bytes, 3);
    EXPECT_EQ(x.marker_errors, 0);

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

TEST(TsFormat, PacketsOf192BytesGiveArrivalTimeStamps) {
    tb::mux m;
    add_tables(m);
    m.pes(audio_pid, audio_pes(1, 400));
    const bytes ts = m.data();
    const recorder plain = read_all(ts);
    const recorder r = read_all(tb::m2ts(ts, 0x3FFFFFF0, 10, 2), stream_format::transport_192);
    EXPECT_TRUE(r.errors.empty()) << r.trace;
    ASSERT_EQ(r.packets.size(), 5u);
    EXPECT_EQ(r.packets[4].offset, 4 * 192);
    EXPECT_EQ(r.packets[4].sync_offset, 4 * 192 + 4);
    EXPECT_EQ(r.packets[0].arrival_time_stamp, 0x3FFFFFF0);
    EXPECT_EQ(r.packets[2].arrival_time_stamp, 4);  // 30 bits wrap
    EXPECT_EQ(r.packets[2].copy_permission_indicator, 2);
    EXPECT_EQ(r.packets[2].payload_start, 8);
    ASSERT_EQ(r.pes.size(), 1u);
    EXPECT_EQ(r.pes[0].payload, plain.pes[0].payload);
    EXPECT_EQ(r.pes[0].pes.header.starting_offset, 2 * 192);
    EXPECT_EQ(r.pes[0].pes.header.ends_at, 5 * 192);
}

// A stream with tables, both kinds of PES packet, a PCR and a few faults.
bytes busy_stream() {
    tb::mux m;
    tb::packet_fields null;
    null.pid = null_pid;
    m.add(null, bytes(184, 0xFF));
    add_tables(m);
    tb::packet_fields pcr;
    pcr.af = tb::adaptation{};
    pcr.af->pcr_base = 1234567;
    for (int i = 0; i < 4; ++i) {
        m.pes(video_pid, video_pes(3600 * i, 3600 * i, 700 + 50 * i), pcr);
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
        const bytes data = format == stream_format::transport_188 ? busy_stream() : tb::m2ts(busy_stream(), 5, 7);
        const recorder whole = read_all(data, format);
        ASSERT_GE(whole.errors.size(), 4u) << whole.trace;
        ASSERT_GE(whole.pes.size(), 6u);
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

TEST(TsReader, ObserversAllToldAndFeedingFromOneRefused) {
    struct refeeding : ts_observer {
        ts_reader* reader = nullptr;
        bool refused = false;
        void on_pat(const ts_reader&, const ts_pat&) override {
            const uint8_t b = 0;
            try {
                reader->feed(&b, 1);
            } catch (const std::logic_error&) {
                refused = true;
            }
        }
    };
    tb::mux m;
    add_tables(m);
    ts_reader reader;
    recorder first, second;
    refeeding third;
    third.reader = &reader;
    reader.add_observer(first);
    reader.add_observer(second);
    reader.add_observer(third);
    reader.remove_observer(second);
    read(reader, m.data());
    EXPECT_EQ(first.pats.size(), 1u);
    EXPECT_TRUE(second.trace.empty());
    EXPECT_TRUE(third.refused);
    EXPECT_EQ(reader.bytes_fed(), static_cast<int64_t>(m.data().size()));
    EXPECT_EQ(reader.packets_read(), 2u);
}

}  // namespace
