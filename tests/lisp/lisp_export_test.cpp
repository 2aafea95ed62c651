// Exact text of the Lisp export: the prelude of both dialects and the forms
// printed for packs of every shape.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "lisp_export.h"
#include "parser.h"

namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in) << "cannot open " << path;
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string capture(const std::function<void()>& print) {
    fflush(stdout);
    testing::internal::CaptureStdout();
    print();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

enum class dialect { cl, elisp, both };

class LispExport : public testing::Test {
protected:
    void SetUp() override { use(dialect::cl); export_lisp_reset_first_pack(); }
    void TearDown() override {
        _export_CL_lisp = false;
        _export_elisp = false;
    }
    static void use(dialect d) {
        _export_CL_lisp = d != dialect::elisp;
        _export_elisp = d != dialect::cl;
    }
    static std::string prelude() { return capture(export_lisp_prelude); }
    static std::string forms(const pack_struct& pack) {
        return capture([&] { export_lisp_pack(pack); });
    }
};

// MPEG-2 packet with the optional PES header: every flag field present.
packet_struct pes_packet(uint8_t id, const char* name, int64_t offset, int32_t length) {
    packet_struct p;
    p.stream_id = id;
    p.stream_name = name;
    p.length = length;
    p.starting_offset = offset;
    p.ends_at = offset + 6 + length;
    p.header_stuffing_bytes = 0;
    p.pes_scrambling_code = 0;
    p.data_alignment_indicator = 1;
    p.copyright = 0;
    p.original_or_copy = 0;
    p.pts_dts_flag = 0;
    p.pes_header_data_length = 0;
    return p;
}

pack_struct mpeg2_pack(int64_t offset, uint32_t scr) {
    pack_struct pack;
    pack.offset = offset;
    pack.scr = scr;
    pack.ext = 0;
    pack.mux = 25200;
    pack.bytes_per_second = 25200 * 50;
    pack.stuffing = 0;
    return pack;
}

TEST_F(LispExport, PreludeOfEachDialect) {
    const std::string data = LISP_TEST_DATA_DIR;
    const std::string cl = read_file(data + "/prelude-cl.lisp");
    const std::string el = read_file(data + "/prelude-elisp.el");
    EXPECT_EQ(prelude(), cl);
    use(dialect::elisp);
    EXPECT_EQ(prelude(), el);
    use(dialect::both);
    EXPECT_EQ(prelude(), el);
    // The prelude has no state: printed again it is the same text, and it
    // does not count as the first pack.
    EXPECT_EQ(prelude() + prelude(), el + el);
    EXPECT_TRUE(_export_first_pack);
}

TEST_F(LispExport, PackWithoutPacketsOrSystemHeaderIsTwoForms) {
    const pack_struct pack = mpeg2_pack(0, 0);
    EXPECT_EQ(forms(pack),
              "(setf current-pack (make-pack 0 0 0 25200 0))\n"
              "(setf packs (list current-pack))\n\n");
    EXPECT_FALSE(_export_first_pack);
    // Every later pack is added at the tail, for as long as the process runs.
    EXPECT_EQ(forms(pack),
              "(setf current-pack (make-pack 0 0 0 25200 0))\n"
              "(setf packs (add-pack-to-packs current-pack))\n\n");
    EXPECT_EQ(forms(pack),
              "(setf current-pack (make-pack 0 0 0 25200 0))\n"
              "(setf packs (add-pack-to-packs current-pack))\n\n");
}

TEST_F(LispExport, PacketsWithAndWithoutTimeStamps) {
    pack_struct pack = mpeg2_pack(2048, 3600);
    pack.ext = 17;
    pack.stuffing = 2;
    packet_struct video = pes_packet(0xE0, "video_stream", 2064, 2024);
    video.pts_dts_flag = 3;
    video.pts = 7200;
    video.dts = 3600;
    video.pes_header_data_length = 10;
    video.pes_scrambling_code = 1;
    video.copyright = 1;
    packet_struct audio = pes_packet(0xC0, "audio_stream", 4096, 500);
    audio.pts_dts_flag = 2;
    audio.pts = 90000;
    audio.pes_header_data_length = 5;
    audio.data_alignment_indicator = 0;
    audio.std_buffer_scale = 0;
    audio.std_buffer_size = 32;
    audio.extension_data = 1;
    // A packet header whose flags announced neither time stamp.
    packet_struct none = pes_packet(0xBD, "private_stream_1", 4602, 100);
    none.es_rate = 0;
    none.trick_mode = 0;
    none.additional_copy_info = 5;
    none.previous_pes_packet_crc = 0;
    // Padding has no optional header: every flag absent.
    packet_struct pad;
    pad.stream_id = 0xBE;
    pad.stream_name = "padding_stream";
    pad.length = 30;
    pad.starting_offset = 4708;
    pad.ends_at = 4744;
    for (packet_struct* p : {&video, &audio, &none, &pad}) pack.packets.push_back(*p);

    EXPECT_EQ(forms(pack),
              "(setf current-pack (make-pack 2048 3600 17 25200 2))\n"
              "(setf current-pack (add-packet-to-pack current-pack \n"
              "       (make-packet 224 \"video_stream\" 2024 2064 4094 0 1 \n"
              "                    t t t -1 -1 7200 3600 3 10\n"
              "                    nil nil nil nil nil )))\n"
              "(setf current-pack (add-packet-to-pack current-pack \n"
              "       (make-packet 192 \"audio_stream\" 500 4096 4602 0 0 \n"
              "                    t t t 0 32 90000 nil 2 5\n"
              "                    nil nil nil nil t )))\n"
              "(setf current-pack (add-packet-to-pack current-pack \n"
              "       (make-packet 189 \"private_stream_1\" 100 4602 4708 0 0 \n"
              "                    t t t -1 -1 nil nil 0 0\n"
              "                    t t t t nil )))\n"
              "(setf current-pack (add-packet-to-pack current-pack \n"
              "       (make-packet 190 \"padding_stream\" 30 4708 4744 0 -1 \n"
              "                    nil nil nil -1 -1 nil nil -1 -1\n"
              "                    nil nil nil nil nil )))\n"
              "(setf packs (list current-pack))\n\n");
}

TEST_F(LispExport, TimeStampsKeepAllBits) {
    pack_struct pack = mpeg2_pack(0, 0);
    packet_struct p = pes_packet(0xE0, "video_stream", 14, 100);
    p.pts_dts_flag = 3;
    p.pts = uint64_t{1} << 32;
    p.dts = (uint64_t{1} << 33) - 1;
    pack.packets.push_back(p);
    // The scr of the same instant has lost bit 32; above 2^31 it reads
    // negative, like the other 32-bit fields.
    pack.scr = 0x80000000u;
    const std::string out = forms(pack);
    EXPECT_NE(out.find("(make-pack 0 -2147483648 0 25200 0)"), std::string::npos) << out;
    EXPECT_NE(out.find("                    t t t -1 -1 4294967296 8589934591 3 0\n"),
              std::string::npos)
        << out;
}

TEST_F(LispExport, OffsetsBeyondTwoGigabytesPrintWhole) {
    pack_struct pack = mpeg2_pack(3000000000LL, 1);
    pack.packets.push_back(pes_packet(0xE0, "video_stream", 3000000014LL, 10));
    system_header_struct h;
    h.starting_offset = 5000000000LL;
    h.header_length = 6;
    h.rate_bound = 1;
    h.audio_bound = 0;
    h.fixed_flag = 0;
    h.csps_flag = 0;
    h.system_audio_lock_flag = 0;
    h.system_video_lock_flag = 0;
    h.video_bound = 0;
    h.packet_rate_restriction = 0;
    pack.system_headers.push_back(h);
    EXPECT_EQ(forms(pack),
              "(setf current-pack (make-pack 3000000000 1 0 25200 0))\n"
              "(setf current-pack (add-packet-to-pack current-pack \n"
              "       (make-packet 224 \"video_stream\" 10 3000000014 3000000030 0 0 \n"
              "                    t t t -1 -1 nil nil 0 0\n"
              "                    nil nil nil nil nil )))\n"
              "(setf current-system-header (make-system-header 5000000000 6 1 0 0 0 0 0 0 0))\n"
              "(setf current-pack (add-system-header-to-pack current-pack current-system-header))\n"
              "(setf packs (list current-pack))\n\n");
}

// The system header and its three buffer bounds come after the packets,
// though the stream carries the header first.
TEST_F(LispExport, SystemHeaderWithThreeBufferBoundsFollowsPackets) {
    forms(mpeg2_pack(0, 0));  // not the first pack any more
    pack_struct pack = mpeg2_pack(0, 0);
    system_header_struct h;
    h.starting_offset = 14;
    h.header_length = 18;
    h.rate_bound = 25200;
    h.audio_bound = 1;
    h.fixed_flag = 0;
    h.csps_flag = 0;
    h.system_audio_lock_flag = 1;
    h.system_video_lock_flag = 1;
    h.video_bound = 1;
    h.packet_rate_restriction = 0;
    h.buffer_info = {{0xB9, 1, 232, 237568}, {0xB8, 0, 32, 4096}, {0xBD, 1, 58, 59392}};
    pack.system_headers.push_back(h);
    pack.packets.push_back(pes_packet(0xE0, "video_stream", 38, 2000));
    const std::string out = forms(pack);
    EXPECT_EQ(out,
              "(setf current-pack (make-pack 0 0 0 25200 0))\n"
              "(setf current-pack (add-packet-to-pack current-pack \n"
              "       (make-packet 224 \"video_stream\" 2000 38 2044 0 0 \n"
              "                    t t t -1 -1 nil nil 0 0\n"
              "                    nil nil nil nil nil )))\n"
              "(setf current-system-header (make-system-header 14 18 25200 1 0 0 1 1 1 0))\n"
              "(setf current-system-header (add-buffer-info-to-system-header current-system-header \n"
              "                              (make-buffer-info 185 1 232 237568)))\n"
              "(setf current-system-header (add-buffer-info-to-system-header current-system-header \n"
              "                              (make-buffer-info 184 0 32 4096)))\n"
              "(setf current-system-header (add-buffer-info-to-system-header current-system-header \n"
              "                              (make-buffer-info 189 1 58 59392)))\n"
              "(setf current-pack (add-system-header-to-pack current-pack current-system-header))\n"
              "(setf packs (add-pack-to-packs current-pack))\n\n");
}

// An MPEG-1 pack: no extension (0), no stuffing field (-1), and packets
// without the MPEG-2 flag fields.
TEST_F(LispExport, Mpeg1PackInEmacsLisp) {
    use(dialect::elisp);
    pack_struct pack;
    pack.offset = 0;
    pack.scr = 26442;
    pack.mux = 3528;
    pack.bytes_per_second = 3528 * 50;
    system_header_struct h;
    h.starting_offset = 12;
    h.header_length = 12;
    h.rate_bound = 3528;
    h.audio_bound = 1;
    h.fixed_flag = 0;
    h.csps_flag = 1;
    h.system_audio_lock_flag = 1;
    h.system_video_lock_flag = 1;
    h.video_bound = 1;
    h.buffer_info = {{0xC0, 0, 32, 4096}, {0xE0, 1, 46, 47104}};
    pack.system_headers.push_back(h);
    packet_struct p;
    p.stream_id = 0xE0;
    p.stream_name = "video_stream";
    p.length = 2028;
    p.starting_offset = 30;
    p.ends_at = 2064;
    p.header_stuffing_bytes = 2;
    p.std_buffer_scale = 1;
    p.std_buffer_size = 46;
    p.std_buffer_size_bytes = 47104;
    p.pts = 33030;
    p.pts_dts_flag = 2;
    p.pes_header_data_length = 9;
    pack.packets.push_back(p);
    EXPECT_EQ(forms(pack),
              "(setq current-pack (make-pack 0 26442 0 3528 -1))\n"
              "(setq current-pack (add-packet-to-pack current-pack \n"
              "       (make-packet 224 \"video_stream\" 2028 30 2064 2 -1 \n"
              "                    nil nil nil 1 46 33030 nil 2 9\n"
              "                    nil nil nil nil nil )))\n"
              "(setq current-system-header (make-system-header 12 12 3528 1 0 1 1 1 1 -1))\n"
              "(setq current-system-header (add-buffer-info-to-system-header current-system-header \n"
              "                              (make-buffer-info 192 0 32 4096)))\n"
              "(setq current-system-header (add-buffer-info-to-system-header current-system-header \n"
              "                              (make-buffer-info 224 1 46 47104)))\n"
              "(setq current-pack (add-system-header-to-pack current-pack current-system-header))\n"
              "(setq packs (list current-pack))\n\n");
}

TEST_F(LispExport, BothDialectsOnGiveEmacsLispForms) {
    use(dialect::both);
    pack_struct pack = mpeg2_pack(0, 0);
    system_header_struct h;
    h.buffer_info = {{0xE0, 1, 232, 237568}};
    pack.system_headers.push_back(h);
    pack.packets.push_back(pes_packet(0xE0, "video_stream", 38, 2000));
    const std::string out = forms(pack);
    EXPECT_EQ(out.find("setf"), std::string::npos) << out;
    size_t heads = 0;
    for (size_t at = out.find("(setq "); at != std::string::npos; at = out.find("(setq ", at + 1))
        ++heads;
    // pack, packet, system header, buffer info, attach header, packs
    EXPECT_EQ(heads, 6u) << out;
}

// Two system headers in one pack (the parser never builds this) still attach
// once, after the last.
TEST_F(LispExport, SeveralSystemHeadersAreEachAttached) {
    pack_struct pack = mpeg2_pack(0, 0);
    pack.system_headers.resize(2);
    EXPECT_EQ(forms(pack),
              "(setf current-pack (make-pack 0 0 0 25200 0))\n"
              "(setf current-system-header (make-system-header -1 -1 -1 -1 -1 -1 -1 -1 -1 -1))\n"
              "(setf current-pack (add-system-header-to-pack current-pack current-system-header))\n"
              "(setf current-system-header (make-system-header -1 -1 -1 -1 -1 -1 -1 -1 -1 -1))\n"
              "(setf current-pack (add-system-header-to-pack current-pack current-system-header))\n"
              "(setf packs (list current-pack))\n\n");
}

}  // namespace
