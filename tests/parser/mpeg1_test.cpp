// MPEG-1 system streams: pack headers, system headers and packets.
#include "parse_fixture.h"

using namespace sb;

TEST_F(ParserTest, Mpeg1PackHeaderFields) {
    bytes zero = {0x00, 0x00, 0x01, 0xBA, 0x21, 0x00, 0x01, 0x00, 0x01, 0x80, 0x00, 0x01};
    bytes rate = {0x00, 0x00, 0x01, 0xBA, 0x21, 0x00, 0x01, 0x00, 0x01, 0x80, 0x00, 0xFF};
    EXPECT_EQ(parse(concat({zero, rate})),
              "Pack [0x0]\n\tscr = 0\n\tmux = 0 - (0 bytes/second) \n"
              "Pack [0xc]\n\tscr = 0\n\tmux = 127 - (6350 bytes/second) \n");
    ASSERT_EQ(_n_all_packs(), 2);
    EXPECT_EQ(_mpeg_systems_format, 0);
    EXPECT_EQ(pack(0).scr, 0u);
    EXPECT_EQ(pack(0).ext, 0);
    EXPECT_EQ(pack(0).stuffing, -1);
    EXPECT_EQ(pack(1).mux, 127);
    EXPECT_EQ(pack(1).bytes_per_second, 6350);

    // Bit 32 of the SCR is dropped, the rest kept.
    delete_parser_structs();
    parse(mpeg1_pack_header(0x1FFFFFFFEull, 0x3FFFFF));
    EXPECT_EQ(pack(0).scr, 0xFFFFFFFEu);
    EXPECT_EQ(pack(0).scr_base, 0x1FFFFFFFEull);  // kept whole beside it
    EXPECT_EQ(pack(0).mux, 0x3FFFFF);
}

TEST_F(ParserTest, Mpeg1PacketsWithSystemHeader) {
    system_header_fields sh;
    sh.bounds = {{0xE0, 1, 46}, {0xC0, 0, 32}};
    mpeg1_fields video;
    video.stuffing = 2;
    video.std_buffer = std::make_pair(1, 46);
    video.pts = 0x100000000ull;
    mpeg1_fields both;
    both.pts = 3600;
    both.dts = 0;
    mpeg1_fields plain;

    bytes header = mpeg1_pack_header(90000, 1000);
    bytes sys = system_header(sh);
    bytes v = mpeg1_packet(0xE0, video, payload_bytes(30));
    bytes a = mpeg1_packet(0xC0, both, payload_bytes(10));
    bytes p = mpeg1_packet(0xBD, plain, payload_bytes(5));
    bytes p2 = packet(0xBF, payload_bytes(7));
    bytes r = mpeg1_packet(0xF5, plain, payload_bytes(1));
    bytes stream = concat({header, sys, v, a, p, p2, r});

    const int64_t sys_at = static_cast<int64_t>(header.size());
    const int64_t v_at = sys_at + static_cast<int64_t>(sys.size());
    const int64_t a_at = v_at + static_cast<int64_t>(v.size());
    std::string out = parse(stream);
    std::string expected_start = "Pack [0x0]\n"
                                 "\tscr = 90000\n"
                                 "\tmux = 1000 - (50000 bytes/second) \n"
                                 "\t\tSystem Header [" + hex(sys_at) + "]\n"
                                 "\t\t\tlength = 12\n"
                                 "\t\t\trate_bound = 1000\n"
                                 "\t\t\taudio_bound = 1\n"
                                 "\t\t\tfixed_flag  = 0\n"
                                 "\t\t\tcsps_flag   = 0\n"
                                 "\t\t\tsystem_audio_lock_flag = 1\n"
                                 "\t\t\tsystem_video_lock_flag = 1\n"
                                 "\t\t\tvideo_bound = 1\n"
                                 "\t\t\t\tstream_id = 0xe0\n"
                                 "\t\t\t\tp-std buffer_bound_scale = 1\n"
                                 "\t\t\t\tp-std buffer_size_bound  = 46 - (47104)\n"
                                 "\t\t\t\tstream_id = 0xc0\n"
                                 "\t\t\t\tp-std buffer_bound_scale = 0\n"
                                 "\t\t\t\tp-std buffer_size_bound  = 32 - (4096)\n"
                                 "\t\tPacket [" + hex(v_at) + "]\n"
                                 "\t\t\tstream_id = 0xe0  (video_stream)\n"
                                 "\t\t\tpacket_length = 39 (ends @ " + hex(a_at) + ")\n"
                                 "\t\t\tSKIPPING_STUFFING_BYTES \n"
                                 "\t\t\tSKIPPING_STUFFING_BYTES \n"
                                 "\t\t\tSTD_buffer_scale = 1\n"
                                 "\t\t\tSTD_buffer_size_bound  = 46 - (47104)\n"
                                 "\t\t\tPTS = 0\n"
                                 "\t\tPacket [" + hex(a_at) + "]\n"
                                 "\t\t\tstream_id = 0xc0  (audio_stream)\n"
                                 "\t\t\tpacket_length = 20 (ends @ " + hex(a_at + 26) + ")\n"
                                 "\t\t\tPTS = 3600\n"
                                 "\t\t\tDTS = 0\n"
                                 "\t\tPacket [";
    EXPECT_EQ(out.substr(0, expected_start.size()), expected_start) << out;

    ASSERT_EQ(_n_all_packs(), 1);
    const pack_struct& pk = pack(0);
    ASSERT_EQ(pk.system_headers.size(), 1u);
    EXPECT_EQ(pk.system_headers[0].packet_rate_restriction, -1);
    ASSERT_EQ(pk.packets.size(), 5u);

    const packet_struct& pv = pk.packets[0];
    EXPECT_EQ(pv.header_stuffing_bytes, 2);
    EXPECT_EQ(pv.std_buffer_scale, 1);
    EXPECT_EQ(pv.std_buffer_size, 46);
    EXPECT_EQ(pv.std_buffer_size_bytes, 47104);
    EXPECT_EQ(pv.pts_dts_flag, 2);
    EXPECT_EQ(pv.pts, 0x100000000ull);
    EXPECT_EQ(pv.pes_header_data_length, 9);
    EXPECT_EQ(pv.starting_offset + 6 + pv.pes_header_data_length, pv.ends_at - 30);
    EXPECT_EQ(pv.data_alignment_indicator, -1);
    EXPECT_EQ(pv.extension_data, -1);

    const packet_struct& pa = pk.packets[1];
    EXPECT_EQ(pa.pts_dts_flag, 3);
    EXPECT_EQ(pa.dts, 0u);
    EXPECT_EQ(pa.pes_header_data_length, 10);

    const packet_struct& pp = pk.packets[2];
    EXPECT_EQ(pp.stream_name, "private_stream_1");
    EXPECT_EQ(pp.pts_dts_flag, 0);
    EXPECT_EQ(pp.pes_header_data_length, 1);

    const packet_struct& p2s = pk.packets[3];
    EXPECT_EQ(p2s.stream_name, "private_stream_2");
    EXPECT_EQ(p2s.pes_header_data_length, 0);
    EXPECT_EQ(p2s.header_stuffing_bytes, 0);
    EXPECT_EQ(p2s.pts_dts_flag, -1);
    EXPECT_EQ(p2s.std_buffer_size, -1);

    EXPECT_EQ(pk.packets[4].stream_name, "reserved_data_stream");
    EXPECT_EQ(out.find("Error"), std::string::npos);
}

TEST_F(ParserTest, Mpeg1NamesUnknownIdsAndMarkers) {
    mpeg1_fields plain;
    bytes header = mpeg1_pack_header(0, 1);
    bytes unknown = mpeg1_packet(0x42, plain, payload_bytes(2));
    bytes reserved = mpeg1_packet(0xBC, plain, payload_bytes(2));
    // A header byte that is neither a time stamp nor 0x0F.
    bytes bad = packet(0xC0, bytes{0x10, 0x01, 0x02});
    bytes stream = concat({header, unknown, reserved, bad});
    parser_settings analyser;
    analyser.text_dump = false;
    const int64_t bad_at = static_cast<int64_t>(header.size() + unknown.size() + reserved.size());
    EXPECT_EQ(parse(stream, analyser), "\nError\n Expecting marker bits around " + hex(bad_at + 7));
    ASSERT_EQ(_n_all_packs(), 1);
    ASSERT_EQ(pack(0).packets.size(), 3u);
    EXPECT_EQ(pack(0).packets[0].stream_name, "ERROR. Unknown stream_id\n");
    EXPECT_EQ(pack(0).packets[0].pes_header_data_length, 1);
    EXPECT_EQ(pack(0).packets[1].stream_name, "reserved_stream");
    EXPECT_EQ(pack(0).packets[2].pts_dts_flag, 1);
    EXPECT_EQ(pack(0).packets[2].pts, absent_ts);

    // The unknown name ends with a line feed in the dump as well.
    delete_parser_structs();
    std::string dump = parse(concat({header, unknown}));
    EXPECT_NE(dump.find("(ERROR. Unknown stream_id\n)\n\t\t\tpacket_length = 3"), std::string::npos) << dump;
}

TEST_F(ParserTest, Mpeg1StreamEndingInsideStuffing) {
    bytes header = mpeg1_pack_header(0, 1);
    bytes body = concat({start_code(0xE0), bytes{0x00, 0x20}, bytes(5, 0xFF)});
    parser_settings quiet;
    quiet.text_dump = false;
    parse(concat({header, body}), quiet);
    ASSERT_EQ(_n_all_packs(), 1);
    ASSERT_EQ(pack(0).packets.size(), 1u);
    const packet_struct& p = pack(0).packets[0];
    EXPECT_EQ(p.header_stuffing_bytes, 5);
    EXPECT_EQ(p.pes_header_data_length, 5);
    EXPECT_EQ(p.length, 32);
    EXPECT_EQ(p.pts_dts_flag, -1);
}
