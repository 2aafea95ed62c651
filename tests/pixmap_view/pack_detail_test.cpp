// The text lines of the pack detail window, without a display.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pack_detail.h"

namespace {

packet_struct packet(const char* name, int length, int64_t offset, uint64_t pts, uint64_t dts) {
    packet_struct p;
    p.stream_name = name;
    p.length = length;
    p.starting_offset = offset;
    p.pts = pts;
    p.dts = dts;
    return p;
}

TEST(DetailLines, PackWithSystemHeaderAndPackets) {
    pack_struct pack;
    pack.offset = 2048;
    pack.scr = 1234567;
    pack.bytes_per_second = 50000;
    system_header_struct header;
    header.starting_offset = 2062;
    header.header_length = 12;
    header.audio_bound = 1;
    header.video_bound = 1;
    header.buffer_info = {{0xE0, 1, 232, 237568}, {0xC0, 0, 32, 4096}};
    pack.system_headers.push_back(header);
    // A PTS with bit 32 set: its low 32 bits as a signed number, the seconds
    // of all 33 bits in single precision (47721.865066... shows as .86, not
    // .87); a DTS whose low 32 bits are negative.
    pack.packets.push_back(packet("video_stream", 2028, 2080, 4294967856ull, 6442574853ull));
    pack.packets.push_back(packet("padding_stream", 100, 4000, absent_ts, absent_ts));

    const std::vector<std::string> want = {
        "start_offset =                  2048",
        "scr =           1234567 (13.717 sec)",
        "mux =                          50000",
        "  System_Header                     ",
        "    start_offset =              2062",
        "    header_length =               12",
        "    audio_bound =                  1",
        "    video_bound =                  1",
        "    -----------------------         ",
        "    Buffer_Info                     ",
        "      -----------------------       ",
        "      stream_id =               0xe0",
        "      scale =                      1",
        "      bound =                    232",
        "      size =                  237568",
        "      -----------------------       ",
        "      stream_id =               0xc0",
        "      scale =                      0",
        "      bound =                     32",
        "      size =                    4096",
        "  -------------------------         ",
        "  Packet                            ",
        "    stream_name =       video_stream",
        "    packet_length =             2028",
        "    start_offset =              2080",
        "    pts =         560 (47721.86 sec)",
        "    dts = -2147359739 (71584.16 sec)",
        "  -------------------------         ",
        "  Packet                            ",
        "    stream_name =     padding_stream",
        "    packet_length =              100",
        "    start_offset =              4000",
        "    pts =                        N/A",
        "    dts =                        N/A",
    };
    EXPECT_EQ(pack_detail_lines(pack), want);
}

TEST(DetailLines, PackWithoutSystemHeaderGoesStraightToItsPackets) {
    pack_struct pack;
    pack.offset = 0;
    pack.scr = 0x80000001u;  // shown as a signed 32-bit number
    pack.bytes_per_second = 1;
    pack.packets.push_back(packet("audio_stream", 8, 14, 900000, absent_ts));
    const std::vector<std::string> want = {
        "start_offset =                     0",
        "scr =   -2147483647 (-23860.929 sec)",
        "mux =                              1",
        "  -------------------------         ",
        "  Packet                            ",
        "    stream_name =       audio_stream",
        "    packet_length =                8",
        "    start_offset =                14",
        "    pts =         900000 (10.00 sec)",
        "    dts =                        N/A",
    };
    auto got = pack_detail_lines(pack);
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(got[i], want[i]) << i;
}

TEST(DetailLines, PaddingEndsTheRightTextAtColumn36) {
    EXPECT_EQ(detail_line_text("    video_bound = ", "7"), "    video_bound = " + std::string(17, ' ') + "7");
    EXPECT_EQ(detail_line_text(std::string(30, 'l').c_str(), "0123456"), std::string(30, 'l') + "0123456");
    EXPECT_EQ(detail_line_text(std::string(20, 'l').c_str(), std::string(16, 'r').c_str()),
              std::string(20, 'l') + std::string(16, 'r'));
    EXPECT_EQ(detail_line_text(nullptr, "x"), std::string(35, ' ') + "x");
    EXPECT_EQ(detail_line_text(nullptr, nullptr), std::string(36, ' '));
}

}  // namespace
