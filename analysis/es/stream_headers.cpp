#include "stream_headers.h"

#include <vector>

namespace {

// Big-endian bit reader over a buffer; reads past the end give 0 and mark
// the reader as overrun.
class bit_reader {
public:
    bit_reader(const uint8_t* data, size_t n) : data_(data), bits_(n * 8) {}
    uint32_t u(int count) {
        uint32_t v = 0;
        for (int i = 0; i < count; ++i) v = (v << 1) | bit();
        return v;
    }
    bool flag() { return bit() != 0; }
    // Exp-Golomb ue(v); a code longer than 32 bits is malformed.
    uint32_t ue() {
        int zeros = 0;
        while (bit() == 0) {
            if (++zeros > 31 || overrun_) {
                overrun_ = true;
                return 0;
            }
        }
        return (zeros ? u(zeros) : 0) + ((uint32_t{1} << zeros) - 1);
    }
    int32_t se() {
        const uint32_t k = ue();
        return k & 1 ? static_cast<int32_t>((k + 1) / 2) : -static_cast<int32_t>(k / 2);
    }
    bool overrun() const { return overrun_; }

private:
    uint32_t bit() {
        if (pos_ >= bits_) {
            overrun_ = true;
            return 0;
        }
        const uint32_t b = (data_[pos_ / 8] >> (7 - pos_ % 8)) & 1;
        ++pos_;
        return b;
    }
    const uint8_t* data_;
    size_t bits_;
    size_t pos_ = 0;
    bool overrun_ = false;
};

// 7.3.2.1.1.1 scaling_list(): only read past.
void skip_scaling_list(bit_reader& r, int size) {
    int last = 8, next = 8;
    for (int j = 0; j < size; ++j) {
        if (next != 0) next = (last + r.se() + 256) % 256;
        last = next == 0 ? last : next;
        if (r.overrun()) return;
    }
}

constexpr int32_t adts_sampling_hz[16] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050,
                                          16000, 12000, 11025, 8000,  7350,  0,     0,     0};

}  // namespace

bool read_video_sequence(const uint8_t* d, size_t n, video_sequence_info& info) {
    // sequence_header(): start code, horizontal_size_value 12,
    // vertical_size_value 12, aspect_ratio_information 4,
    // frame_rate_code 4, bit_rate_value 18, marker_bit 1,
    // vbv_buffer_size_value 10, constrained_parameters_flag 1, ...
    if (n < 12 || d[0] != 0 || d[1] != 0 || d[2] != 1 || d[3] != 0xB3) return false;
    info = video_sequence_info{};
    info.width = (d[4] << 4) | (d[5] >> 4);
    info.height = ((d[5] & 0x0F) << 8) | d[6];
    info.frame_rate_code = d[7] & 0x0F;
    int64_t bit_rate = (int64_t{d[8]} << 10) | (d[9] << 2) | (d[10] >> 6);
    int64_t vbv = ((d[10] & 0x1F) << 5) | (d[11] >> 3);
    // sequence_extension(): 00 00 01 B5, extension_start_code_identifier
    // '0001', profile_and_level_indication 8, progressive_sequence 1,
    // chroma_format 2, horizontal and vertical size extensions 2 + 2,
    // bit_rate_extension 12, marker_bit 1, vbv_buffer_size_extension 8, ...
    for (size_t i = 12; i + 10 <= n; ++i) {
        if (d[i] != 0 || d[i + 1] != 0 || d[i + 2] != 1) continue;
        if (d[i + 3] != 0xB5) break;  // the next start code is not the extension
        const uint8_t* e = d + i + 4;
        if ((e[0] >> 4) != 1) break;
        info.has_extension = true;
        info.profile_and_level = ((e[0] & 0x0F) << 4) | (e[1] >> 4);
        const int64_t rate_ext = ((e[1] & 0x01) << 11) | (e[2] << 3) | (e[3] >> 5);
        const int64_t vbv_ext = e[4];
        bit_rate |= rate_ext << 18;
        vbv |= vbv_ext << 10;
        break;
    }
    info.bit_rate_bps = bit_rate * 400;
    info.vbv_buffer_size = vbv;
    return true;
}

bool read_h264_sps(const uint8_t* data, size_t n, h264_sps_info& info) {
    if (n < 4 || (data[0] & 0x1F) != 7) return false;
    // The RBSP: the NAL unit without its header byte and without the
    // emulation prevention bytes (00 00 03 -> 00 00).
    std::vector<uint8_t> rbsp;
    rbsp.reserve(n);
    for (size_t i = 1, zeros = 0; i < n; ++i) {
        if (zeros >= 2 && data[i] == 3) {
            zeros = 0;
            continue;
        }
        zeros = data[i] == 0 ? zeros + 1 : 0;
        rbsp.push_back(data[i]);
    }
    bit_reader r(rbsp.data(), rbsp.size());
    info = h264_sps_info{};
    info.profile_idc = static_cast<int32_t>(r.u(8));
    info.constraint_flags = static_cast<int32_t>(r.u(8));
    info.level_idc = static_cast<int32_t>(r.u(8));
    r.ue();  // seq_parameter_set_id
    int chroma_format_idc = 1;
    switch (info.profile_idc) {
        case 100: case 110: case 122: case 244: case 44: case 83:
        case 86: case 118: case 128: case 138: case 139: case 134: case 135:
            chroma_format_idc = static_cast<int>(r.ue());
            if (chroma_format_idc == 3) r.flag();  // separate_colour_plane_flag
            r.ue();                                // bit_depth_luma_minus8
            r.ue();                                // bit_depth_chroma_minus8
            r.flag();                              // qpprime_y_zero_transform_bypass_flag
            if (r.flag()) {                        // seq_scaling_matrix_present_flag
                for (int i = 0; i < (chroma_format_idc != 3 ? 8 : 12); ++i)
                    if (r.flag()) skip_scaling_list(r, i < 6 ? 16 : 64);
            }
            break;
        default:
            break;
    }
    r.ue();  // log2_max_frame_num_minus4
    const uint32_t poc_type = r.ue();
    if (poc_type == 0) {
        r.ue();  // log2_max_pic_order_cnt_lsb_minus4
    } else if (poc_type == 1) {
        r.flag();  // delta_pic_order_always_zero_flag
        r.se();    // offset_for_non_ref_pic
        r.se();    // offset_for_top_to_bottom_field
        const uint32_t cycle = r.ue();
        if (cycle > 255) return false;
        for (uint32_t i = 0; i < cycle; ++i) r.se();
    }
    r.ue();    // max_num_ref_frames
    r.flag();  // gaps_in_frame_num_value_allowed_flag
    const uint32_t width_mbs = r.ue() + 1;
    const uint32_t height_units = r.ue() + 1;
    const bool frame_mbs_only = r.flag();
    if (!frame_mbs_only) r.flag();  // mb_adaptive_frame_field_flag
    r.flag();                       // direct_8x8_inference_flag
    info.width = static_cast<int32_t>(width_mbs * 16);
    info.height = static_cast<int32_t>(height_units * 16 * (frame_mbs_only ? 1 : 2));
    if (r.flag()) {  // frame_cropping_flag
        r.ue();
        r.ue();
        r.ue();
        r.ue();
    }
    if (r.flag()) {  // vui_parameters_present_flag
        if (r.flag()) {            // aspect_ratio_info_present_flag
            if (r.u(8) == 255) {   // Extended_SAR
                r.u(16);
                r.u(16);
            }
        }
        if (r.flag()) r.flag();  // overscan_info_present_flag, overscan_appropriate_flag
        if (r.flag()) {          // video_signal_type_present_flag
            r.u(3);
            r.flag();
            if (r.flag()) r.u(24);  // colour_description_present_flag
        }
        if (r.flag()) {  // chroma_loc_info_present_flag
            r.ue();
            r.ue();
        }
        if (r.flag()) {  // timing_info_present_flag
            info.num_units_in_tick = r.u(32);
            info.time_scale = r.u(32);
            info.fixed_frame_rate = r.flag();
        }
        if (r.flag()) {  // nal_hrd_parameters_present_flag: hrd_parameters()
            const uint32_t cpb_cnt = r.ue() + 1;
            if (cpb_cnt > 32) return false;
            const uint32_t bit_rate_scale = r.u(4);
            const uint32_t cpb_size_scale = r.u(4);
            for (uint32_t i = 0; i < cpb_cnt; ++i) {
                const uint64_t bit_rate = (uint64_t{r.ue()} + 1) << (6 + bit_rate_scale);
                const uint64_t cpb_size = (uint64_t{r.ue()} + 1) << (4 + cpb_size_scale);
                const bool cbr = r.flag();
                if (i == 0) {
                    info.nal_hrd_bit_rate_bps = static_cast<int64_t>(bit_rate);
                    info.nal_hrd_cpb_size_bits = static_cast<int64_t>(cpb_size);
                    info.nal_hrd_cbr = cbr;
                }
            }
            r.u(20);  // the four delay and offset lengths
        }
    }
    return !r.overrun();
}

bool read_adts_header(const uint8_t* d, size_t n, adts_header_info& info) {
    // syncword 12, ID 1, layer 2, protection_absent 1, profile 2,
    // sampling_frequency_index 4, private_bit 1, channel_configuration 3,
    // original_copy 1, home 1, copyright bits 2, aac_frame_length 13,
    // adts_buffer_fullness 11, number_of_raw_data_blocks_in_frame 2.
    if (n < 7 || d[0] != 0xFF || (d[1] & 0xF6) != 0xF0) return false;
    info.protection_absent = d[1] & 0x01;
    info.profile = d[2] >> 6;
    info.sampling_frequency_index = (d[2] >> 2) & 0x0F;
    info.sampling_hz = adts_sampling_hz[info.sampling_frequency_index];
    info.channel_configuration = ((d[2] & 0x01) << 2) | (d[3] >> 6);
    info.frame_length = ((d[3] & 0x03) << 11) | (d[4] << 3) | (d[5] >> 5);
    info.raw_data_blocks = (d[6] & 0x03) + 1;
    const int32_t header = info.protection_absent ? 7 : 9;
    return info.sampling_hz != 0 && info.frame_length >= header;
}
