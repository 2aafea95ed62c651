// The T-STD's buffer sizes and rates against sums done by hand from
// 13818-1 2.4.2.3 and 2.14.3 and 14496-10 Table A-1.
#include <gtest/gtest.h>

#include "tstd_params.h"

TEST(TstdParams, Mpeg2MainProfileAtMainLevel) {
    // Rmax 15 Mbit/s, VBVmax 1,835,008 bits.  Rx = 1.2 x Rmax; BSmux =
    // 0.004 s x Rmax = 60,000 bits, BSoh = Rmax / 750 = 20,000 bits.
    mpeg2_video_params v;
    v.vbv_buffer_size = 112;  // 1,835,008 bits: VBVmax itself
    v.bit_rate_bps = 6000000;
    tstd_buffer_params p = tstd_mpeg2_video(v);
    EXPECT_EQ(p.tb_bytes, 512);
    EXPECT_EQ(p.rx_bps, 18000000);
    EXPECT_EQ(p.mb_bytes, 80000 / 8);
    EXPECT_EQ(p.rbx_bps, 15000000);  // leak method at Main level: Rmax
    EXPECT_EQ(p.b_bytes, 229376);
    // A smaller VBV leaves the difference to the multiplex buffer.
    v.vbv_buffer_size = 100;  // 1,638,400 bits
    p = tstd_mpeg2_video(v);
    EXPECT_EQ(p.mb_bytes, (80000 + 1835008 - 1638400) / 8);
    EXPECT_EQ(p.b_bytes, 1638400 / 8);
    // High level: Rmax 80 Mbit/s, no VBV term, Rbx = min(1.05 x bit_rate, Rmax).
    v.level = 4;
    v.vbv_buffer_size = 597;
    v.bit_rate_bps = 20000000;
    p = tstd_mpeg2_video(v);
    EXPECT_EQ(p.rx_bps, 96000000);
    EXPECT_EQ(p.mb_bytes, (320000 + 106667) / 8);
    EXPECT_EQ(p.rbx_bps, 21000000);
}

TEST(TstdParams, H264Level4) {
    // MaxBR 20,000 and MaxCPB 25,000 (x 1,200 for the NAL HRD): 24 Mbit/s
    // and 30,000,000 bits.  BSmux = 96,000 bits, BSoh = 32,000 bits.
    h264_video_params v;
    v.level_idc = 40;
    tstd_buffer_params p = tstd_h264_video(v);
    EXPECT_EQ(p.rx_bps, 28800000);
    EXPECT_EQ(p.mb_bytes, 128000 / 8);
    EXPECT_EQ(p.rbx_bps, 24000000);
    EXPECT_EQ(p.b_bytes, 30000000 / 8);
    // A NAL HRD of 8 Mbit/s and a 10,000,000-bit CPB.
    v.nal_hrd_bit_rate_bps = 8000000;
    v.nal_hrd_cpb_size_bits = 10000000;
    p = tstd_h264_video(v);
    EXPECT_EQ(p.rx_bps, 9600000);
    EXPECT_EQ(p.mb_bytes, (128000 + 20000000) / 8);
    EXPECT_EQ(p.b_bytes, 10000000 / 8);
    // Level 1b, and the 2 Mbit/s floor of BSmux and BSoh.
    v = {};
    v.level_idc = 11;
    v.level_1b = true;
    p = tstd_h264_video(v);
    EXPECT_EQ(p.rbx_bps, 128 * 1200);
    EXPECT_EQ(p.mb_bytes, (8000 + 2667) / 8);
}

TEST(TstdParams, AudioAndSystem) {
    EXPECT_EQ(tstd_mpeg_audio().b_bytes, 3584);
    EXPECT_EQ(tstd_aac(2).rx_bps, 2000000);
    EXPECT_EQ(tstd_aac(6).b_bytes, 8976);
    EXPECT_EQ(tstd_aac(6).rx_bps, 5529600);
    EXPECT_EQ(tstd_ac3(false).b_bytes, 2592);
    EXPECT_EQ(tstd_ac3(true).b_bytes, 5696);
    EXPECT_EQ(tstd_system(20000000).rbsys_bps, 80000);
    EXPECT_EQ(tstd_system(60000000).rbsys_bps, 120000);
    EXPECT_EQ(tstd_system(0).b_bytes, 1536);
}
