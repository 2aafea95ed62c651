#include "tstd_params.h"

#include <algorithm>

namespace {

// 13818-2 Table 8-13 (upper bounds of bit_rate) and Table 8-14 (upper
// bounds of vbv_buffer_size), by profile and level; 0 where the pair does
// not exist.
struct profile_level_bounds {
    int profile;
    int level;
    int64_t rmax;  // bit/s
    int64_t vbv;   // bits
};
constexpr profile_level_bounds mpeg2_bounds[] = {
    // Simple
    {5, 8, 15000000, 1835008},
    // Main
    {4, 10, 4000000, 475136},
    {4, 8, 15000000, 1835008},
    {4, 6, 60000000, 7340032},
    {4, 4, 80000000, 9781248},
    // SNR scalable
    {3, 10, 4000000, 475136},
    {3, 8, 15000000, 1835008},
    // Spatially scalable
    {2, 6, 60000000, 7340032},
    // High
    {1, 8, 20000000, 2457600},
    {1, 6, 80000000, 9830400},
    {1, 4, 100000000, 12222464},
};
// 4:2:2 profile (profile_and_level_indication 0x85 Main, 0x82 High).
constexpr int64_t profile_422_main_rmax = 50000000, profile_422_main_vbv = 9437184;
constexpr int64_t profile_422_high_rmax = 300000000, profile_422_high_vbv = 47185920;

const profile_level_bounds* find_bounds(int profile, int level) {
    for (const profile_level_bounds& b : mpeg2_bounds)
        if (b.profile == profile && b.level == level) return &b;
    for (const profile_level_bounds& b : mpeg2_bounds)
        if (b.profile == 4 && b.level == level) return &b;
    return nullptr;
}

struct h264_level_limits {
    int level_idc;
    int64_t max_br;   // 1,000 bit/s (cpbBrVclFactor units)
    int64_t max_cpb;  // 1,000 bits
};
// 14496-10 Table A-1.
constexpr h264_level_limits h264_levels[] = {
    {10, 64, 175},        {11, 192, 500},       {12, 384, 1000},       {13, 768, 2000},
    {20, 2000, 2000},     {21, 4000, 4000},     {22, 4000, 4000},      {30, 10000, 10000},
    {31, 14000, 14000},   {32, 20000, 20000},   {40, 20000, 25000},    {41, 50000, 62500},
    {42, 50000, 62500},   {50, 135000, 135000}, {51, 240000, 240000},  {52, 240000, 240000},
    {60, 240000, 240000}, {61, 480000, 480000}, {62, 800000, 800000},
};
constexpr int64_t level_1b_max_br = 128, level_1b_max_cpb = 350;

// The NAL HRD's factor over the VCL figures of Table A-1 (A.3.1, Table
// A-2 for the Baseline, Main and Extended profiles).
constexpr int64_t nal_factor = 1200;

int64_t div_round(int64_t a, int64_t b) { return (a + b / 2) / b; }

}  // namespace

int64_t mpeg2_video_rmax(int profile, int level) {
    const profile_level_bounds* b = find_bounds(profile, level);
    return b ? b->rmax : 15000000;
}

int64_t mpeg2_video_vbv_max_bits(int profile, int level) {
    const profile_level_bounds* b = find_bounds(profile, level);
    return b ? b->vbv : 1835008;
}

tstd_buffer_params tstd_mpeg2_video(const mpeg2_video_params& v) {
    // MPEG-1 video (no extension) is read as Main profile at Main level.
    const int profile = v.profile == 0 ? 4 : v.profile;
    const int level = v.level == 0 ? 8 : v.level;
    const bool high_422 = v.profile_422 && level == 4;
    const int64_t rmax = !v.profile_422 ? mpeg2_video_rmax(profile, level)
                         : high_422     ? profile_422_high_rmax
                                        : profile_422_main_rmax;
    const int64_t vbv_max = !v.profile_422 ? mpeg2_video_vbv_max_bits(profile, level)
                            : high_422     ? profile_422_high_vbv
                                           : profile_422_main_vbv;
    const int64_t vbv_bits = v.vbv_buffer_size * 16384;
    tstd_buffer_params p;
    p.rx_bps = rmax * 6 / 5;  // 1.2 x Rmax
    // BSmux = 0.004 s x Rmax, BSoh = 1/750 s x Rmax (2.4.2.3), in bits.
    const int64_t bs_mux = div_round(rmax * 4, 1000);
    const int64_t bs_oh = div_round(rmax, 750);
    int64_t mb_bits = bs_mux + bs_oh;
    const bool low_or_main = level == 10 || level == 8;
    if (low_or_main) mb_bits += std::max<int64_t>(0, vbv_max - vbv_bits);
    p.mb_bytes = mb_bits / 8;
    p.rbx_bps = low_or_main || v.bit_rate_bps <= 0 ? rmax : std::min(v.bit_rate_bps * 21 / 20, rmax);
    p.b_bytes = vbv_bits / 8;
    return p;
}

int64_t h264_max_br(int level_idc, bool level_1b) {
    if (level_1b || level_idc == 9) return level_1b_max_br;
    for (const h264_level_limits& l : h264_levels)
        if (l.level_idc == level_idc) return l.max_br;
    return 0;
}

int64_t h264_max_cpb(int level_idc, bool level_1b) {
    if (level_1b || level_idc == 9) return level_1b_max_cpb;
    for (const h264_level_limits& l : h264_levels)
        if (l.level_idc == level_idc) return l.max_cpb;
    return 0;
}

tstd_buffer_params tstd_h264_video(const h264_video_params& v) {
    const int64_t max_br_bps = nal_factor * h264_max_br(v.level_idc, v.level_1b);
    const int64_t max_cpb_bits = nal_factor * h264_max_cpb(v.level_idc, v.level_1b);
    tstd_buffer_params p;
    p.rx_bps = v.nal_hrd_bit_rate_bps ? *v.nal_hrd_bit_rate_bps * 6 / 5 : max_br_bps * 6 / 5;
    const int64_t cpb_bits = v.nal_hrd_cpb_size_bits ? *v.nal_hrd_cpb_size_bits : max_cpb_bits;
    // 2.14.3.1: BSmux and BSoh on max(1,200 x MaxBR, 2,000,000 bit/s).
    const int64_t r = std::max<int64_t>(max_br_bps, 2000000);
    const int64_t bs_mux = div_round(r * 4, 1000);
    const int64_t bs_oh = div_round(r, 750);
    p.mb_bytes = (bs_mux + bs_oh + std::max<int64_t>(0, max_cpb_bits - cpb_bits)) / 8;
    p.rbx_bps = max_br_bps;
    p.b_bytes = cpb_bits / 8;
    return p;
}

tstd_buffer_params tstd_mpeg_audio() {
    tstd_buffer_params p;
    p.rx_bps = 2000000;
    p.b_bytes = 3584;
    return p;
}

tstd_buffer_params tstd_aac(int channels) {
    tstd_buffer_params p;
    const bool stereo = channels <= 2;
    p.rx_bps = stereo ? 2000000 : 5529600;
    p.b_bytes = stereo ? 3584 : 8976;
    return p;
}

tstd_buffer_params tstd_ac3(bool dvb) {
    tstd_buffer_params p;
    p.rx_bps = 2000000;
    p.b_bytes = dvb ? 5696 : 2592;
    return p;
}

tstd_buffer_params tstd_system(int64_t transport_rate_bps) {
    tstd_buffer_params p;
    p.rx_bps = 1000000;
    p.b_bytes = 1536;
    p.rbsys_bps = std::max<int64_t>(80000, transport_rate_bps / 500);
    return p;
}
