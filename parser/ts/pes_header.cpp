#include "pes_header.h"

#include "parser.h"

namespace {

// First byte of the optional header: '10' PES_scrambling_control(2)
// PES_priority data_alignment_indicator copyright original_or_copy.
constexpr uint8_t optional_header_bits_mask = 0xC0;
constexpr uint8_t optional_header_bits = 0x80;
constexpr uint8_t pes_priority_mask = 0x08;
constexpr uint8_t data_alignment_mask = 0x04;
constexpr uint8_t copyright_mask = 0x02;
constexpr uint8_t original_or_copy_mask = 0x01;
// Second byte: the flags.
constexpr uint8_t escr_flag = 0x20;
constexpr uint8_t es_rate_flag = 0x10;
constexpr uint8_t dsm_trick_mode_flag = 0x08;
constexpr uint8_t additional_copy_info_flag = 0x04;
constexpr uint8_t pes_crc_flag = 0x02;
constexpr uint8_t pes_extension_flag = 0x01;
// PES extension flags byte.
constexpr uint8_t pes_private_data_flag = 0x80;
constexpr uint8_t pack_header_field_flag = 0x40;
constexpr uint8_t program_packet_sequence_counter_flag = 0x20;
constexpr uint8_t p_std_buffer_flag = 0x10;
constexpr uint8_t pes_extension_flag_2 = 0x01;

constexpr size_t start_bytes = 6;     // 00 00 01, stream_id, PES_packet_length
constexpr size_t fixed_optional = 3;  // flags, flags, PES_header_data_length

// Reads the fields between PES_header_data_length and the stuffing; `p`
// moves on.  False when a flagged field does not fit before `end`.
class field_reader {
public:
    field_reader(const uint8_t* p, const uint8_t* end, pes_header_extra& extra) : p_(p), end_(end), extra_(extra) {}
    bool take(size_t n) {
        if (static_cast<size_t>(end_ - p_) < n) return false;
        at_ = p_;
        p_ += n;
        return true;
    }
    const uint8_t* at() const { return at_; }
    const uint8_t* position() const { return p_; }
    void marker(bool bit_is_set) {
        if (!bit_is_set) ++extra_.marker_errors;
    }
    // PTS or DTS: '00xx' prefix(4) [32..30](3) marker [29..15](15) marker [14..0](15) marker.
    uint64_t time_stamp(const uint8_t* t, uint8_t prefix) {
        if ((t[0] >> 4) != prefix) ++extra_.marker_errors;
        marker(t[0] & 1);
        marker(t[2] & 1);
        marker(t[4] & 1);
        return (uint64_t(t[0] & 0x0E) << 29) | (uint64_t(t[1]) << 22) | (uint64_t(t[2] & 0xFE) << 14) |
               (uint64_t(t[3]) << 7) | (uint64_t(t[4]) >> 1);
    }

private:
    const uint8_t* p_;
    const uint8_t* end_;
    const uint8_t* at_ = nullptr;
    pes_header_extra& extra_;
};

pes_header_result refuse(pes_header_extra& extra, const char* why) {
    extra.fault = why;
    return pes_header_result::invalid;
}

}  // namespace

// PES_packet() {
//   packet_start_code_prefix   24
//   stream_id                   8
//   PES_packet_length          16
//   if (stream_id has the optional header) {
//     '10'                      2
//     PES_scrambling_control    2
//     PES_priority              1
//     data_alignment_indicator  1
//     copyright                 1
//     original_or_copy          1
//     PTS_DTS_flags             2
//     ESCR_flag                 1
//     ES_rate_flag              1
//     DSM_trick_mode_flag       1
//     additional_copy_info_flag 1
//     PES_CRC_flag              1
//     PES_extension_flag        1
//     PES_header_data_length    8
//     if (PTS_DTS_flags == '10') { '0010' 4, PTS[32..30] 3, marker 1, PTS[29..15] 15, marker 1, PTS[14..0] 15, marker 1 }
//     if (PTS_DTS_flags == '11') { '0011' PTS ..., '0001' DTS ... (same layout) }
//     if (ESCR_flag) { reserved 2, ESCR_base[32..30] 3, marker 1, ESCR_base[29..15] 15, marker 1,
//                      ESCR_base[14..0] 15, marker 1, ESCR_extension 9, marker 1 }
//     if (ES_rate_flag) { marker 1, ES_rate 22, marker 1 }
//     if (DSM_trick_mode_flag) { trick_mode_control 3, then 5 bits that depend on it }
//     if (additional_copy_info_flag) { marker 1, additional_copy_info 7 }
//     if (PES_CRC_flag) { previous_PES_packet_CRC 16 }
//     if (PES_extension_flag) {
//       PES_private_data_flag 1, pack_header_field_flag 1, program_packet_sequence_counter_flag 1,
//       P-STD_buffer_flag 1, reserved 3, PES_extension_flag_2 1
//       if (PES_private_data_flag) PES_private_data 128
//       if (pack_header_field_flag) { pack_field_length 8, pack_header() }
//       if (program_packet_sequence_counter_flag) { marker 1, program_packet_sequence_counter 7,
//                                                   marker 1, MPEG1_MPEG2_identifier 1, original_stuff_length 6 }
//       if (P-STD_buffer_flag) { '01' 2, P-STD_buffer_scale 1, P-STD_buffer_size 13 }
//       if (PES_extension_flag_2) { marker 1, PES_extension_field_length 7,
//                                   stream_id_extension_flag 1, stream_id_extension 7 (when the flag is 0), ... }
//     }
//     stuffing_byte (0xFF) up to PES_header_data_length
//   }
//   PES_packet_data_byte ...
// }
pes_header_result parse_pes_header(const uint8_t* data, size_t n, packet_struct& out, size_t& header_bytes,
                                   pes_header_extra& extra) {
    header_bytes = start_bytes;
    if (!data) n = 0;
    for (size_t i = 0; i < 3 && i < n; ++i)
        if (data[i] != (i == 2 ? 0x01 : 0x00)) return refuse(extra, "no packet_start_code_prefix");
    if (n < start_bytes) return pes_header_result::need_more;

    const uint8_t id = data[3];
    bool has_optional_header = true;
    const char* name = id >= 0xBC ? pes_stream_name(id, &has_optional_header) : nullptr;
    if (!name) return refuse(extra, "stream_id that names no stream");
    out.stream_id = id;
    out.stream_name = name;
    out.length = (data[4] << 8) | data[5];
    if (!has_optional_header) return pes_header_result::complete;

    header_bytes = start_bytes + fixed_optional;
    if (n < header_bytes) return pes_header_result::need_more;
    const uint8_t f1 = data[6], f2 = data[7], hdl = data[8];
    if ((f1 & optional_header_bits_mask) != optional_header_bits) return refuse(extra, "no '10' before the PES header flags");
    header_bytes += hdl;
    if (n < header_bytes) return pes_header_result::need_more;

    out.pes_scrambling_code = (f1 >> 4) & 0x03;
    extra.pes_priority = (f1 & pes_priority_mask) ? 1 : 0;
    out.data_alignment_indicator = (f1 & data_alignment_mask) ? 1 : 0;
    out.copyright = (f1 & copyright_mask) ? 1 : 0;
    out.original_or_copy = (f1 & original_or_copy_mask) ? 1 : 0;
    out.pts_dts_flag = (f2 >> 6) & 0x03;
    out.pes_header_data_length = hdl;
    if (out.pts_dts_flag == 1) return refuse(extra, "PTS_DTS_flags '01'");

    const char* const too_short = "PES_header_data_length too short for the flagged fields";
    field_reader r(data + header_bytes - hdl, data + header_bytes, extra);
    if (out.pts_dts_flag >= 2) {
        if (!r.take(5)) return refuse(extra, too_short);
        out.pts = r.time_stamp(r.at(), out.pts_dts_flag == 3 ? 0x3 : 0x2);
        if (out.pts_dts_flag == 3) {
            if (!r.take(5)) return refuse(extra, too_short);
            out.dts = r.time_stamp(r.at(), 0x1);
        }
    }
    if (f2 & escr_flag) {
        if (!r.take(6)) return refuse(extra, too_short);
        const uint8_t* e = r.at();
        r.marker(e[0] & 0x04);
        r.marker(e[2] & 0x04);
        r.marker(e[4] & 0x04);
        r.marker(e[5] & 0x01);
        extra.escr_base = (uint64_t(e[0] & 0x38) << 27) | (uint64_t(e[0] & 0x03) << 28) | (uint64_t(e[1]) << 20) |
                          (uint64_t(e[2] & 0xF8) << 12) | (uint64_t(e[2] & 0x03) << 13) | (uint64_t(e[3]) << 5) |
                          (uint64_t(e[4]) >> 3);
        extra.escr_extension = ((e[4] & 0x03) << 7) | (e[5] >> 1);
    }
    if (f2 & es_rate_flag) {
        if (!r.take(3)) return refuse(extra, too_short);
        const uint8_t* e = r.at();
        r.marker(e[0] & 0x80);
        r.marker(e[2] & 0x01);
        out.es_rate = ((e[0] & 0x7F) << 15) | (e[1] << 7) | (e[2] >> 1);
    }
    if (f2 & dsm_trick_mode_flag) {
        if (!r.take(1)) return refuse(extra, too_short);
        extra.trick_mode_byte = r.at()[0];
        out.trick_mode = r.at()[0] >> 5;
    }
    if (f2 & additional_copy_info_flag) {
        if (!r.take(1)) return refuse(extra, too_short);
        r.marker(r.at()[0] & 0x80);
        out.additional_copy_info = r.at()[0] & 0x7F;
    }
    if (f2 & pes_crc_flag) {
        if (!r.take(2)) return refuse(extra, too_short);
        out.previous_pes_packet_crc = (r.at()[0] << 8) | r.at()[1];
    }
    if (f2 & pes_extension_flag) {
        if (!r.take(1)) return refuse(extra, too_short);
        const uint8_t x = r.at()[0];
        out.extension_data = 1;
        if (x & pes_private_data_flag) {
            if (!r.take(16)) return refuse(extra, too_short);
            extra.pes_private_data = 1;
        }
        if (x & pack_header_field_flag) {
            if (!r.take(1)) return refuse(extra, too_short);
            extra.pack_field_length = r.at()[0];
            if (!r.take(r.at()[0])) return refuse(extra, too_short);
        }
        if (x & program_packet_sequence_counter_flag) {
            if (!r.take(2)) return refuse(extra, too_short);
            const uint8_t* q = r.at();
            r.marker(q[0] & 0x80);
            r.marker(q[1] & 0x80);
            extra.program_packet_sequence_counter = q[0] & 0x7F;
            extra.mpeg1_mpeg2_identifier = (q[1] >> 6) & 1;
            extra.original_stuff_length = q[1] & 0x3F;
        }
        if (x & p_std_buffer_flag) {
            if (!r.take(2)) return refuse(extra, too_short);
            const uint8_t* s = r.at();
            r.marker((s[0] & 0xC0) == 0x40);
            out.std_buffer_scale = (s[0] >> 5) & 1;
            out.std_buffer_size = ((s[0] & 0x1F) << 8) | s[1];
            out.std_buffer_size_bytes = out.std_buffer_size << (out.std_buffer_scale ? 10 : 7);
        }
        if (x & pes_extension_flag_2) {
            if (!r.take(1)) return refuse(extra, too_short);
            const uint8_t y = r.at()[0];
            r.marker(y & 0x80);
            extra.pes_extension_field_length = y & 0x7F;
            if (!r.take(y & 0x7F)) return refuse(extra, too_short);
            if ((y & 0x7F) > 0 && !(r.at()[0] & 0x80)) extra.stream_id_extension = r.at()[0] & 0x7F;
        }
    }
    extra.stuffing_bytes = static_cast<int32_t>(data + header_bytes - r.position());
    return pes_header_result::complete;
}
