#include "es/audio_frame.h"

#include "es/stream_headers.h"

namespace {

// MPEG-1 audio bit rates in kbit/s by layer (1..3) and bitrate_index.
constexpr int32_t audio_kbit_rates[4][16] = {
    {},
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},
};
constexpr int32_t audio_sampling_hz[4] = {44100, 48000, 32000, 0};
// MPEG-2 low sampling rates (header ID bit 0): half the MPEG-1 rates, with
// their own bit-rate tables (Layers II and III share one).
constexpr int32_t lsf_kbit_rates[4][16] = {
    {},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
};
constexpr int32_t lsf_sampling_hz[4] = {22050, 24000, 16000, 0};

// AC-3 bit rates in kbit/s by frmsizecod / 2.
constexpr int32_t ac3_kbit_rates[19] = {32,  40,  48,  56,  64,  80,  96,  112, 128, 160,
                                        192, 224, 256, 320, 384, 448, 512, 576, 640};
constexpr int32_t ac3_sampling_hz[4] = {48000, 44100, 32000, 0};
constexpr int32_t ac3_samples_per_frame = 1536;

// 90 kHz count truncated first, as the tables give it (2351 for 1152
// samples at 44.1 kHz), then in ticks.
int32_t duration_ticks(int64_t samples, int32_t hz) { return static_cast<int32_t>(samples * 90000 / hz) * 300; }

}  // namespace

audio_frame_struct mpeg_audio_frame(const unsigned char* h) {
    const bool lsf = ((h[1] >> 3) & 1) == 0;  // MPEG-2 low sampling rate
    const int layer = 4 - ((h[1] >> 1) & 3);  // 1, 2 or 3
    const int bitrate_index = h[2] >> 4;
    const int32_t hz = (lsf ? lsf_sampling_hz : audio_sampling_hz)[(h[2] >> 2) & 3];
    const int32_t padding = (h[2] >> 1) & 1;
    const int64_t bits_per_second = int64_t{(lsf ? lsf_kbit_rates : audio_kbit_rates)[layer][bitrate_index]} * 1000;
    const int32_t samples = layer == 1 ? 384 : (layer == 3 && lsf ? 576 : 1152);
    audio_frame_struct f;
    f.duration = duration_ticks(samples, hz);
    if (layer == 1)
        f.length = static_cast<int32_t>((12 * bits_per_second / hz + padding) * 4);
    else
        f.length = static_cast<int32_t>(samples / 8 * bits_per_second / hz + padding);
    return f;
}

audio_frame_struct ac3_frame(const unsigned char* h) {
    const int32_t hz = ac3_sampling_hz[h[4] >> 6];
    const int32_t code = h[4] & 0x3F;
    const int64_t kbit = ac3_kbit_rates[code >> 1];
    // 16-bit words per frame: 1536 samples at the bit rate; at 44.1 kHz the
    // odd codes carry one word more.
    int64_t words = kbit * 1000 * ac3_samples_per_frame / (int64_t{hz} * 16);
    if (hz == 44100) words += code & 1;
    return {static_cast<int32_t>(words * 2), duration_ticks(ac3_samples_per_frame, hz)};
}

audio_frame_struct adts_frame(const unsigned char* h) {
    adts_header_info info;
    read_adts_header(h, adts_header_bytes, info);
    return {info.frame_length, duration_ticks(info.samples(), info.sampling_hz)};
}
