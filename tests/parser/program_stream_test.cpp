// Program streams: pack headers, system headers, PES packets, the text dump
// and the model the parser builds from them.
#include "parse_fixture.h"

using namespace sb;

namespace {

const char* const pes_flag_lines_plain =
    "\t\t\tpes_scrambling_control = 0\n"
    "\t\t\tdata_alignment_indicator = 0\n"
    "\t\t\tcopyright = 0\n"
    "\t\t\toriginal_or_copy = 0\n";

}  // namespace

TEST_F(ParserTest, FullPackDumpAndModel) {
    system_header_fields sh;
    sh.bounds = {{0xE0, 1, 232}, {0xC0, 0, 32}, {0xBD, 1, 58}};
    pes_fields video;
    video.alignment = 1;
    video.pts = 0x1FFFFFFFFull;
    video.dts = 0x100000000ull;
    video.extension = bytes{0x10, 0x60, 0xE8};
    video.stuffing = 2;
    bytes payload = payload_bytes(20);

    bytes header = pack_header(0x123456789ull, 341, 25200, 7);
    bytes sys = system_header(sh);
    bytes vid = pes_packet(0xE0, video, payload);
    bytes pad = packet(0xBE, bytes(10, 0xFF));
    bytes stream = concat({header, sys, vid, pad, start_code(0xB9)});

    const int64_t sys_at = static_cast<int64_t>(header.size());
    const int64_t vid_at = sys_at + static_cast<int64_t>(sys.size());
    const int64_t pad_at = vid_at + static_cast<int64_t>(vid.size());

    std::string expected = "Pack [0x0]\n"
                           "\tscr = 591751049:341\n"
                           "\tmux = 25200 - (1260000 bytes/second) \n"
                           "\tstuffing = 7\n"
                           "\t\tSystem Header [" + hex(sys_at) + "]\n"
                           "\t\t\tlength = 15\n"
                           "\t\t\trate_bound = 1000\n"
                           "\t\t\taudio_bound = 1\n"
                           "\t\t\tfixed_flag  = 0\n"
                           "\t\t\tcsps_flag   = 0\n"
                           "\t\t\tsystem_audio_lock_flag = 1\n"
                           "\t\t\tsystem_video_lock_flag = 1\n"
                           "\t\t\tvideo_bound = 1\n"
                           "\t\t\tpacket_rate_restriction = 1\n"
                           "\t\t\t\tstream_id = 0xe0\n"
                           "\t\t\t\tp-std buffer_bound_scale = 1\n"
                           "\t\t\t\tp-std buffer_size_bound  = 232 - (237568)\n"
                           "\t\t\t\tstream_id = 0xc0\n"
                           "\t\t\t\tp-std buffer_bound_scale = 0\n"
                           "\t\t\t\tp-std buffer_size_bound  = 32 - (4096)\n"
                           "\t\t\t\tstream_id = 0xbd\n"
                           "\t\t\t\tp-std buffer_bound_scale = 1\n"
                           "\t\t\t\tp-std buffer_size_bound  = 58 - (59392)\n"
                           "\t\tPacket [" + hex(vid_at) + "]\n"
                           "\t\t\tstream_id = 0xe0  (video_stream)\n"
                           "\t\t\tpes_packet_length = 38 (ends @ " + hex(pad_at) + ")\n"
                           "\t\t\tpes_scrambling_control = 0\n"
                           "\t\t\tdata_alignment_indicator = 1\n"
                           "\t\t\tcopyright = 0\n"
                           "\t\t\toriginal_or_copy = 0\n"
                           "\t\t\tPTS_DTS_flags = 3\n"
                           "\t\t\tESCR_flag = 0\n"
                           "\t\t\tES_rate_flag = 0\n"
                           "\t\t\tDSM_trick_mode_flag = 0\n"
                           "\t\t\tadditional_copy_info_flag = 0\n"
                           "\t\t\tPES_CRC_flag = 0\n"
                           "\t\t\tPES_extension_flag = 1\n"
                           "\t\t\tpes_header_data_length = 15\n"
                           "\t\t\tPTS = -1\n"
                           "\t\t\tDTS = 0\n"
                           "\t\t\textension_data -\n"
                           "\t\t\t\tprivate_data_flag = 0\n"
                           "\t\t\t\tpack_header_field_flag = 0\n"
                           "\t\t\t\tprogram_packet_sequence_counter_flag = 0\n"
                           "\t\t\t\tP-STD_buffer_flag = 1\n"
                           "\t\t\t\tPES_extension_flag_2 = 0\n"
                           "\t\t\t\tP-STD_buffer_scale = 1\n"
                           "\t\t\t\tP-STD_buffer_size = 232\n"
                           "\t\t\t\tP-STD_actual_buffer_size = 237568\n"
                           "\t\t\tSKIPPING_HEADER_INFO \n"
                           "\t\t\tSKIPPING_HEADER_INFO \n"
                           "\t\tPacket [" + hex(pad_at) + "]\n"
                           "\t\t\tstream_id = 0xbe  (padding_stream)\n"
                           "\t\t\tpes_packet_length = 10 (ends @ " + hex(pad_at + 16) + ")\n";
    EXPECT_EQ(parse(stream), expected);

    ASSERT_EQ(_n_all_packs(), 1);
    EXPECT_EQ(_n_packs, 1u);
    EXPECT_EQ(_mpeg_systems_format, 1);
    const pack_struct& p = pack(0);
    EXPECT_EQ(p.offset, 0);
    EXPECT_EQ(p.scr, 0x23456789u);  // bit 32 of the base is dropped
    EXPECT_EQ(p.scr_base, 0x123456789ull);  // and kept whole beside it
    EXPECT_EQ(p.ext, 341);
    EXPECT_EQ(p.stuffing, 7);
    ASSERT_EQ(p.system_headers.size(), 1u);
    const system_header_struct& h = p.system_headers[0];
    EXPECT_EQ(h.starting_offset, sys_at);
    ASSERT_EQ(h.buffer_info.size(), 3u);
    EXPECT_EQ(h.buffer_info[0].actual_std_size, 237568);
    EXPECT_EQ(h.buffer_info[1].actual_std_size, 4096);
    EXPECT_EQ(h.buffer_info[2].stream_id, 0xBD);

    ASSERT_EQ(p.packets.size(), 2u);
    const packet_struct& v = p.packets[0];
    EXPECT_EQ(v.stream_name, "video_stream");
    EXPECT_EQ(v.starting_offset, vid_at);
    EXPECT_EQ(v.ends_at, pad_at);
    EXPECT_EQ(v.pts, 0x1FFFFFFFFull);  // all 33 bits kept
    EXPECT_EQ(v.dts, 0x100000000ull);
    EXPECT_EQ(v.pts_dts_flag, 3);
    EXPECT_EQ(v.std_buffer_scale, 1);
    EXPECT_EQ(v.std_buffer_size, 232);
    EXPECT_EQ(v.std_buffer_size_bytes, 237568);
    EXPECT_EQ(v.extension_data, 1);
    EXPECT_EQ(v.es_rate, -1);
    EXPECT_EQ(v.header_stuffing_bytes, 0);
    // The payload starts right after the optional header.
    EXPECT_EQ(v.starting_offset + 9 + v.pes_header_data_length, v.ends_at - 20);

    const packet_struct& pd = p.packets[1];
    EXPECT_EQ(pd.stream_name, "padding_stream");
    EXPECT_EQ(pd.pts, absent_ts);
    EXPECT_EQ(pd.dts, absent_ts);
    EXPECT_EQ(pd.es_rate, -1);
    EXPECT_EQ(pd.extension_data, -1);
    EXPECT_EQ(pd.pes_header_data_length, -1);
    EXPECT_EQ(pd.header_stuffing_bytes, 0);
}

TEST_F(ParserTest, OptionalHeaderFieldsAndFlags) {
    pes_fields a;
    a.scrambling = 2;
    a.copyright = 1;
    a.original = 1;
    a.pts = 90000;
    a.escr = true;
    a.es_rate = 1;
    a.additional_copy_info = 0x55;
    a.crc = 0xBEEF;
    pes_fields b;
    b.es_rate = 4194303;
    pes_fields c;
    c.pts_dts_flags = 1;  // "PTS and DTS forbidden" value: nothing is read
    pes_fields d;
    d.pts = 1234;
    d.header_data_length = 10;
    d.stuffing = 5;

    bytes stream = concat({pack_header(0, 0, 100), pes_packet(0xC0, a, payload_bytes(4)),
                           pes_packet(0xC1, b, payload_bytes(4)), pes_packet(0xE0, c, payload_bytes(4)),
                           pes_packet(0xE1, d, payload_bytes(4))});
    std::string out = parse(stream);

    ASSERT_EQ(_n_all_packs(), 1);
    const packet_struct& pa = packet_at(0, 0);
    EXPECT_EQ(pa.pes_scrambling_code, 2);
    EXPECT_EQ(pa.copyright, 1);
    EXPECT_EQ(pa.original_or_copy, 1);
    EXPECT_EQ(pa.data_alignment_indicator, 0);
    EXPECT_EQ(pa.pts, 90000u);
    EXPECT_EQ(pa.dts, absent_ts);
    EXPECT_EQ(pa.pts_dts_flag, 2);
    EXPECT_EQ(pa.es_rate, 1);
    EXPECT_EQ(pa.additional_copy_info, 0x55);
    EXPECT_EQ(pa.previous_pes_packet_crc, 0xBEEF);
    EXPECT_EQ(pa.extension_data, -1);
    EXPECT_EQ(pa.trick_mode, -1);
    EXPECT_NE(out.find("\t\t\tPTS_DTS_flags = 2\n"
                       "\t\t\tESCR_flag = 1\n"
                       "\t\t\tES_rate_flag = 1\n"
                       "\t\t\tDSM_trick_mode_flag = 0\n"
                       "\t\t\tadditional_copy_info_flag = 1\n"
                       "\t\t\tPES_CRC_flag = 1\n"
                       "\t\t\tPES_extension_flag = 0\n"
                       "\t\t\tpes_header_data_length = 17\n"
                       "\t\t\tPTS = 90000\n"
                       "\t\t\tes_rate = 1\n"
                       "\t\t\tadditional_copy_info = 85\n"
                       "\t\t\tprevious_PES_packet_CRC = 48879\n"
                       "\t\tPacket ["),
              std::string::npos)
        << out;

    EXPECT_EQ(packet_at(0, 1).es_rate, 4194303);

    const packet_struct& pc = packet_at(0, 2);
    EXPECT_EQ(pc.pts_dts_flag, 1);
    EXPECT_EQ(pc.pts, absent_ts);
    EXPECT_EQ(pc.dts, absent_ts);

    const packet_struct& pd = packet_at(0, 3);
    EXPECT_EQ(pd.pes_header_data_length, 10);
    EXPECT_EQ(pd.pts, 1234u);
    // Five header bytes are not decoded: one progress line each.
    std::string five_skips;
    for (int i = 0; i < 5; ++i) five_skips += "\t\t\tSKIPPING_HEADER_INFO \n";
    EXPECT_EQ(out.substr(out.rfind("\t\t\tPTS = 1234\n")), "\t\t\tPTS = 1234\n" + five_skips);

    // With a Lisp export chosen the progress lines are left out.
    delete_parser_structs();
    parser_settings lisp;
    lisp.text_dump = false;
    lisp.cl_lisp = true;
    EXPECT_EQ(parse(stream, lisp), "");
    // They belong to the text dump: the analyser's console stays quiet.
    parser_settings analyser;
    analyser.text_dump = false;
    delete_parser_structs();
    EXPECT_EQ(parse(stream, analyser), "");
}

TEST_F(ParserTest, TrickModeLinesAreAlwaysPrintedOutsideLispExport) {
    struct mode_case {
        uint8_t byte;
        const char* lines;
    } cases[] = {
        {0x1F, " (fast_forward)\n\t\t\t\tfield_id = 3\n\t\t\t\tintra_slice_refresh = 1\n"
               "\t\t\t\tfrequency_truncation = 3\n"},
        {0x35, " (slow_motion)\n\t\t\t\trep_cntrl = 21\n"},
        {0x4E, " (freeze_frame)\n\t\t\t\tfield_id = 1\n\t\t\t\treserved = 6\n"},
        {0x62, " (fast_reverse)\n\t\t\t\tfield_id = 0\n\t\t\t\tintra_slice_refresh = 0\n"
               "\t\t\t\tfrequency_truncation = 2\n"},
        {0x9F, " (slow_reverse)\n\t\t\t\trep_cntrl = 31\n"},
        {0xA0, " (reserved)\n"},
        {0xC0, " (reserved)\n"},
        {0xFF, " (reserved)\n"},
    };
    for (const auto& c : cases) {
        pes_fields f;
        f.trick_mode_byte = c.byte;
        bytes stream = concat({pack_header(0, 0, 1), pes_packet(0xE0, f, payload_bytes(3))});
        parser_settings analyser;
        analyser.text_dump = false;
        delete_parser_structs();
        EXPECT_EQ(parse(stream, analyser), "") << int(c.byte);
        EXPECT_EQ(packet_at(0, 0).trick_mode, c.byte >> 5);

        delete_parser_structs();
        std::string dump = parse(stream);
        EXPECT_NE(dump.find("\t\t\ttrick_mode_control = " + std::to_string(c.byte >> 5) + c.lines), std::string::npos)
            << dump;

        parser_settings lisp;
        lisp.text_dump = false;
        lisp.elisp = true;
        delete_parser_structs();
        EXPECT_EQ(parse(stream, lisp), "");
    }
}

TEST_F(ParserTest, PesExtensionFieldsAndMarkers) {
    // Private data, pack header field, sequence counter, P-STD and extension
    // field 2, all present and well formed.
    bytes ext = {0xF1};
    append(ext, bytes(16, 0xAA));                  // PES_private_data
    append(ext, bytes{3, 0x11, 0x22, 0x33});        // pack_field_length + bytes
    append(ext, bytes{0x80 | 0x2A, 0x80 | 0x40 | 0x05});  // counter 42, MPEG1 id 1, stuff 5
    append(ext, bytes{0x40 | 0x1F, 0xFF});           // scale 0, size 0x1FFF
    append(ext, bytes{0x80 | 2, 0x00, 0x00});        // extension field of two bytes
    pes_fields f;
    f.extension = ext;
    bytes stream = concat({pack_header(0, 0, 1), pes_packet(0xE0, f, payload_bytes(5))});
    parser_settings analyser;
    analyser.text_dump = false;
    // The extension's lines belong to the text dump; the analyser's
    // console shows only stream errors.
    EXPECT_EQ(parse(stream, analyser), "");
    const packet_struct& p = packet_at(0, 0);
    EXPECT_EQ(p.std_buffer_scale, 0);
    EXPECT_EQ(p.std_buffer_size, 0x1FFF);
    EXPECT_EQ(p.std_buffer_size_bytes, 0x1FFF << 7);
    EXPECT_EQ(p.ends_at - 5, p.starting_offset + 9 + p.pes_header_data_length);

    // Both counter bytes with bit 7 clear: the message twice, then the
    // analyser reads on.
    pes_fields bad;
    bad.extension = bytes{0x20, 0x05, 0x06};
    bytes header = pack_header(0, 0, 1);
    bytes bad_stream = concat({header, pes_packet(0xE0, bad, payload_bytes(2))});
    const int64_t q0_next = static_cast<int64_t>(header.size()) + 11;  // start code, length, 3 flags, x, q0
    delete_parser_structs();
    EXPECT_EQ(parse(bad_stream, analyser), "\nError\n Expecting marker bits around " + hex(q0_next) +
                                               "\nError\n Expecting marker bits around " + hex(q0_next + 1));
    ASSERT_EQ(_n_all_packs(), 1);
    EXPECT_EQ(pack(0).packets.size(), 1u);

    // P-STD without its '01' prefix and an extension field 2 without its
    // marker bit.
    pes_fields bad2;
    bad2.extension = bytes{0x11, 0x20, 0x10, 0x01, 0x00};
    delete_parser_structs();
    std::string out = parse(concat({header, pes_packet(0xE0, bad2, payload_bytes(2))}), analyser);
    EXPECT_EQ(out, "\nError\n Expecting marker bits around " + hex(q0_next) +
                       "\nError\n Expecting marker bits around " + hex(q0_next + 2));
}

TEST_F(ParserTest, StreamNamesAndUnknownIds) {
    struct name_case {
        uint8_t id;
        const char* name;
        bool optional_header;
    } cases[] = {
        {0xBC, "program_stream_map", false},
        {0xBD, "private_stream_1", true},
        {0xBE, "padding_stream", false},
        {0xBF, "private_stream_2", false},
        {0xC0, "audio_stream", true},
        {0xDF, "audio_stream", true},
        {0xE0, "video_stream", true},
        {0xEF, "video_stream", true},
        {0xF0, "ECM_stream", false},
        {0xF1, "EMM_stream", false},
        {0xF2, "ITU-T Rec.H220.0|ISO/IEC 13818-1 Annex B|ISO/IEC 13818-6DSMCC", false},
        {0xF3, "ISO/IEC_13522_stream", true},
        {0xF4, "ITU-T Rec.H.222.1 type A", true},
        {0xF5, "ITU-T Rec.H.222.1 type B", true},
        {0xF6, "ITU-T Rec.H.222.1 type C", true},
        {0xF7, "ITU-T Rec.H.222.1 type D", true},
        {0xF8, "ITU-T Rec.H.222.1 type E", false},
        {0xF9, "ancillary_stream", true},
        {0xFA, "reserved_data_stream", true},
        {0xFE, "reserved_data_stream", true},
        {0xFF, "program_stream_directory", false},
        {0x42, "ERROR. Unknown stream_id", true},
        {0x05, "ERROR. Unknown stream_id", true},
    };
    bytes stream = pack_header(0, 0, 1);
    pes_fields f;
    f.pts = 7;
    for (const auto& c : cases) {
        if (c.optional_header)
            append(stream, pes_packet(c.id, f, payload_bytes(3)));
        else
            append(stream, packet(c.id, payload_bytes(8)));
    }
    parser_settings analyser;
    analyser.text_dump = false;
    EXPECT_EQ(parse(stream, analyser), "");
    ASSERT_EQ(_n_all_packs(), 1);
    ASSERT_EQ(pack(0).packets.size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        const packet_struct& p = pack(0).packets[i];
        EXPECT_EQ(p.stream_id, cases[i].id);
        EXPECT_EQ(p.stream_name, cases[i].name);
        EXPECT_EQ(p.pts, cases[i].optional_header ? 7u : absent_ts) << cases[i].name;
    }
}

TEST_F(ParserTest, DriverScansResynchronisesAndStopsAtEndCode) {
    // Nothing that looks like a pack: no packs, no output.
    EXPECT_EQ(parse(bytes{0x00, 0x00, 0x01, 0xB3, 0x12, 0x34}), "");
    EXPECT_EQ(_n_packs, 0u);
    EXPECT_EQ(_n_all_packs(), 0);

    // Garbage before, between and after packs; a pack whose packet length
    // is too short leaves bytes behind that are skipped silently.
    bytes first = pack_header(0x10000000ull, 0, 1);  // bit 28 of the SCR base set
    bytes short_packet = packet(0xC0, concat({pes_header({}), payload_bytes(10)}), 5);
    bytes garbage = {0x12, 0x00, 0x00, 0x00, 0x01, 0x34};
    bytes second = pack_header(5, 0, 1, 0);
    bytes back_to_back = pack_header(6, 0, 1, 0);
    bytes stream = concat({garbage, first, short_packet, garbage, second, back_to_back, start_code(0xB9),
                           pack_header(9, 0, 1)});
    parser_settings quiet;
    quiet.text_dump = false;
    delete_parser_structs();
    parse(stream, quiet);
    ASSERT_EQ(_n_all_packs(), 3);
    EXPECT_EQ(_n_packs, 3u);
    EXPECT_EQ(pack(0).offset, static_cast<int64_t>(garbage.size()));
    EXPECT_EQ(pack(0).scr, 0x10000000u);
    EXPECT_EQ(pack(0).packets.size(), 1u);
    const int64_t second_at =
        static_cast<int64_t>(garbage.size() + first.size() + short_packet.size() + garbage.size());
    EXPECT_EQ(pack(1).offset, second_at);
    EXPECT_EQ(pack(1).packets.size(), 0u);
    EXPECT_EQ(pack(2).offset, second_at + static_cast<int64_t>(second.size()));
    EXPECT_EQ(pack(2).scr, 6u);

    // A system header may stand anywhere among the packets of a pack, as
    // some multiplexers write it (one before every packet).
    bytes sys = system_header({});
    bytes again = system_header({});
    pes_fields g;
    delete_parser_structs();
    parse(concat({pack_header(0, 0, 1), sys, pes_packet(0xE0, g, payload_bytes(4)), again,
                  pes_packet(0xE0, g, payload_bytes(4))}),
          quiet);
    ASSERT_EQ(_n_all_packs(), 1);
    EXPECT_EQ(pack(0).system_headers.size(), 2u);
    ASSERT_EQ(pack(0).packets.size(), 2u);
    EXPECT_EQ(pack(0).packets[1].stream_id, 0xE0);
}

TEST_F(ParserTest, SystemHeaderEdgeCases) {
    parser_settings quiet;
    quiet.text_dump = false;

    system_header_fields none;
    none.bounds = {};
    system_header_fields lying;
    lying.header_length = 3;  // shorter than its entries: entries still read
    lying.bounds = {{0xE0, 1, 232}, {0xB8, 0, 232}, {0xB9, 1, 1}};
    lying.packet_rate_restriction = 0;
    delete_parser_structs();
    parse(concat({pack_header(0, 0, 1), system_header(none), pack_header(1, 0, 1), system_header(lying)}), quiet);
    ASSERT_EQ(_n_all_packs(), 2);
    EXPECT_EQ(pack(0).system_headers.at(0).buffer_info.size(), 0u);
    const system_header_struct& h = pack(1).system_headers.at(0);
    EXPECT_EQ(h.header_length, 3);
    EXPECT_EQ(h.packet_rate_restriction, 0);
    ASSERT_EQ(h.buffer_info.size(), 3u);
    EXPECT_EQ(h.buffer_info[0].std_buffer_size_bound, 232);
    EXPECT_EQ(h.buffer_info[0].actual_std_size, 237568);
    EXPECT_EQ(h.buffer_info[1].stream_id, 0xB8);
    EXPECT_EQ(h.buffer_info[1].actual_std_size, 29696);
    EXPECT_EQ(h.buffer_info[2].stream_id, 0xB9);

    // A stream cut off inside the entry list: the entries read so far are
    // kept and the parse ends.
    bytes sys = system_header(lying);
    sys.resize(sys.size() - 6);
    delete_parser_structs();
    parse(concat({pack_header(0, 0, 1), sys}), quiet);
    ASSERT_EQ(_n_all_packs(), 1);
    ASSERT_EQ(pack(0).system_headers.size(), 1u);
    ASSERT_EQ(pack(0).system_headers[0].buffer_info.size(), 1u);
    EXPECT_EQ(pack(0).system_headers[0].buffer_info[0].actual_std_size, 237568);
}

TEST_F(ParserTest, TruncatedStreamsEndCleanly) {
    parser_settings quiet;
    quiet.text_dump = false;
    pes_fields f;
    f.pts = 1;
    bytes full = concat({pack_header(0, 0, 1), system_header({}), pes_packet(0xE0, f, payload_bytes(100)),
                         pack_header(1, 0, 1), pes_packet(0xC0, f, payload_bytes(100))});
    for (size_t cut = 0; cut <= full.size(); ++cut) {
        delete_parser_structs();
        bytes part(full.begin(), full.begin() + static_cast<long>(cut));
        parse(part, quiet);
        EXPECT_LE(_n_all_packs(), 2);
    }
    // A file ending right after a pack start code still yields that pack,
    // read from the missing bytes.
    delete_parser_structs();
    parse(start_code(0xBA), quiet);
    EXPECT_EQ(_n_packs, 1u);
    EXPECT_EQ(_n_all_packs(), 1);
}

TEST_F(ParserTest, OffsetsBeyondTwoGigabytesStayPositive) {
    // The driver state as it is deep inside a large file.
    pes_fields f;
    f.pts = 3;
    bytes header = pack_header(0, 0, 1);
    bytes rest = concat({bytes(header.begin() + 4, header.end()), pes_packet(0xE0, f, payload_bytes(8))});
    std::string path = dir_.file("tail.bin");
    tu::write_file(path, rest);
    FILE* fp = std::fopen(path.c_str(), "rb");
    ASSERT_NE(fp, nullptr);
    ps_reader reader;
    text_dump dump(stdout);
    pack_builder collector(collect_pack);
    reader.add_observer(&dump);
    reader.add_observer(&collector);
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
    reader.begin_at(fp, 0xC0000004LL, 0x000001BA);
    reader.step();
    reader.end();
    std::fflush(stdout);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("Pack [0xc0000000]\n", 0), 0u) << out;
    EXPECT_NE(out.find("\t\tPacket [0xc000000e]\n"), std::string::npos) << out;
    ASSERT_EQ(_n_all_packs(), 1);
    EXPECT_EQ(pack(0).offset, 0xC0000000LL);
    EXPECT_EQ(pack(0).packets.at(0).ends_at, 0xC000000ELL + 6 + 3 + 5 + 8);
}

TEST_F(ParserTest, UnopenablePathKeepsPreviousName) {
    bytes stream = pack_header(0, 0, 1);
    parse(stream);
    std::string first = get_mpeg_file_name();
    EXPECT_EQ(parse_file(dir_.file("missing.mpg")), "Could not open " + dir_.file("missing.mpg") + "\n");
    EXPECT_EQ(std::string(get_mpeg_file_name()), first);
}
