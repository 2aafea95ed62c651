// The sizes and rates of the T-STD's buffers (ISO/IEC 13818-1 2.4.2.3, and
// 2.14.3 for AVC), worked out from what an elementary stream says of itself.
//
// Per elementary stream: a transport buffer TBn of 512 bytes that whole
// transport packets enter and that leaks at Rxn into, for video, the
// multiplex buffer MBn (leaking at Rbxn) and the elementary-stream buffer
// EBn, or, for audio, the main buffer Bn.  The system information has TBsys
// and Bsys.  No I/O and no state: pure arithmetic, so the tests can check it
// against sums done by hand.
#pragma once

#include <cstdint>
#include <optional>

inline constexpr int64_t tstd_transport_buffer_bytes = 512;

// What the T-STD needs of one elementary stream's buffers.  Sizes in bytes,
// rates in bits per second; `mb_bytes` is 0 where there is no multiplex
// buffer (audio and system information).
struct tstd_buffer_params {
    int64_t tb_bytes = tstd_transport_buffer_bytes;
    int64_t rx_bps = 0;   // TBn -> MBn (video) or Bn (audio, system)
    int64_t mb_bytes = 0;
    int64_t rbx_bps = 0;  // MBn -> EBn by the leak method
    int64_t b_bytes = 0;  // EBn for video, Bn for audio, Bsys
    // Bsys: bytes leave at this rate instead of at decoding times.
    int64_t rbsys_bps = 0;
};

// MPEG-2 video (13818-2): profile and level as the sequence extension's
// profile_and_level_indication gives them (profile 1 High ... 5 Simple,
// level 4 High, 6 High-1440, 8 Main, 10 Low), the sequence header's
// vbv_buffer_size (with its extension, in units of 16,384 bits) and bit rate
// (in bit/s).  MPEG-1 video has no extension: profile 0, level 0 read as
// Main profile at Main level.
struct mpeg2_video_params {
    int profile = 4;  // Main
    int level = 8;    // Main
    int64_t vbv_buffer_size = 112;  // units of 16,384 bits
    int64_t bit_rate_bps = 0;
    // The 4:2:2 profile (profile_and_level_indication 0x85 at Main level,
    // 0x82 at High level).
    bool profile_422 = false;
};
// The level's Rmax (bit/s) and largest vbv_buffer_size (bits) for the
// profile; Main profile's figures where the table has none for a pair.
int64_t mpeg2_video_rmax(int profile, int level);
int64_t mpeg2_video_vbv_max_bits(int profile, int level);
tstd_buffer_params tstd_mpeg2_video(const mpeg2_video_params& v);

// H.264 (14496-10): level_idc (with constraint_set3_flag, which turns level
// 11 into level 1b in the Baseline, Main and Extended profiles), and the
// NAL HRD's first schedule when the SPS carries one.
struct h264_video_params {
    int level_idc = 40;
    bool level_1b = false;
    std::optional<int64_t> nal_hrd_bit_rate_bps;
    std::optional<int64_t> nal_hrd_cpb_size_bits;
};
// Table A-1: MaxBR in 1,000 bit/s and MaxCPB in 1,000 bits; 0 for an
// unknown level.
int64_t h264_max_br(int level_idc, bool level_1b);
int64_t h264_max_cpb(int level_idc, bool level_1b);
tstd_buffer_params tstd_h264_video(const h264_video_params& v);

// Audio.
tstd_buffer_params tstd_mpeg_audio();
// AAC in ADTS: by the channel count (up to 2, else up to 8).
tstd_buffer_params tstd_aac(int channels);
// AC-3: the ATSC main buffer (2,592 bytes), or DVB's (5,696 bytes).
tstd_buffer_params tstd_ac3(bool dvb);
// The system information: TBsys, Bsys of 1,536 bytes, leaving at
// max(80,000 bit/s, 0.002 x the transport rate).
tstd_buffer_params tstd_system(int64_t transport_rate_bps);
