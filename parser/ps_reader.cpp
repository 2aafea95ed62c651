// Program-stream and MPEG-1 system-stream reader.
#include "ps_reader.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {

constexpr uint32_t pack_start_code = 0x000001BA;
constexpr uint32_t system_header_start_code = 0x000001BB;
constexpr uint32_t program_end_code = 0x000001B9;

// Bytes skipped between packs before the progress callback hears of them:
// a long stretch without packs is still shown and can still be cancelled.
constexpr int64_t progress_skip_interval = 1 << 16;

bool is_packet_start_code(uint32_t code) {
    return (code >> 8) == 0x000001 && code != program_end_code && code != pack_start_code &&
           code != system_header_start_code;
}

// Thrown inside the reader when it ends the parse on a stream error, and
// caught where the step began.
struct stop_parse {};

std::string hex_offset(int64_t offset) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(offset));
    return buf;
}

}  // namespace

// ---------------------------------------------------------------------------
// Input.

bool stream_input::open(const char* path) {
    FILE* fp = std::fopen(path, "rb");
    if (!fp) return false;
    attach(fp);
    return true;
}

void stream_input::attach(FILE* fp, const unsigned char* head, size_t head_size) {
    close();
    fp_ = fp;
    if (!head) head_size = 0;
    const size_t wanted = std::max(block_size, head_size);
    if (!buf_ || capacity_ < wanted) {
        buf_ = std::make_unique<unsigned char[]>(wanted);
        capacity_ = wanted;
    }
    pos_ = 0;
    len_ = head_size;
    if (head_size > 0) std::memcpy(buf_.get(), head, head_size);
    eof_ = error_ = false;
}

void stream_input::close() {
    if (fp_) std::fclose(fp_);
    fp_ = nullptr;
    pos_ = len_ = 0;
}

bool stream_input::refill() {
    pos_ = len_ = 0;
    if (!fp_ || eof_ || error_) {
        eof_ = eof_ || !fp_;
        return false;
    }
    len_ = std::fread(buf_.get(), 1, block_size, fp_);
    if (len_ == 0) {
        if (std::ferror(fp_))
            error_ = true;
        else
            eof_ = true;
        return false;
    }
    return true;
}

int stream_input::refill_and_get() {
    if (!refill()) return -1;
    return buf_[pos_++];
}

size_t stream_input::available() {
    if (pos_ < len_) return len_ - pos_;
    if (!refill()) return 0;
    return len_ - pos_;
}

// ---------------------------------------------------------------------------
// Driver.

ps_reader::ps_reader() = default;

void ps_reader::parse(FILE* fp, const unsigned char* head, size_t head_size) {
    begin(fp, head, head_size);
    while (step()) {
    }
    end();
}

void ps_reader::begin(FILE* fp, const unsigned char* head, size_t head_size) {
    input_.attach(fp, head, head_size);
    position_ = 0;
    n_packs_ = 0;
    n_errors_ = 0;
    last_4_bytes_ = 0xFFFFFFFFu;
    first_4_bytes_ = 0xFFFFFFFFu;
    systems_format_ = 1;
    next_skip_report_ = progress_skip_interval;
    in_pack_ = stopped_ = cancelled_ = read_error_ = false;
    running_ = true;
}

void ps_reader::begin_at(FILE* fp, int64_t position, uint32_t last_4_bytes) {
    begin(fp);
    position_ = position;
    last_4_bytes_ = last_4_bytes;
    next_skip_report_ = position + progress_skip_interval;
}

void ps_reader::end() {
    running_ = false;
    in_pack_ = false;
    read_error_ = input_.had_error();
    // A stream shorter than four bytes: the missing bytes read as 0xFF.
    if (position_ == 0) {
        first_4_bytes_ = 0xFFFFFFFFu;
    } else if (position_ < 4) {
        const int missing = static_cast<int>(4 - position_);
        first_4_bytes_ = (last_4_bytes_ << (8 * missing)) | ((1u << (8 * missing)) - 1);
    }
    input_.close();
}

bool ps_reader::step() {
    if (!running_) return false;
    try {
        if (last_4_bytes_ == pack_start_code) {
            read_pack();
            next_skip_report_ = position_ + progress_skip_interval;
            if (progress && !progress(position_)) {
                cancelled_ = true;
                running_ = false;
            }
            return running_;
        }
        // Bytes between packs, up to the next pack start code.
        while (!input_.at_end() && last_4_bytes_ != program_end_code) {
            read_byte();
            if (position_ == 4) first_4_bytes_ = last_4_bytes_;
            if (progress && position_ >= next_skip_report_) {
                next_skip_report_ = position_ + progress_skip_interval;
                if (!progress(position_)) {
                    cancelled_ = true;
                    running_ = false;
                    return false;
                }
            }
            if (last_4_bytes_ == pack_start_code) return true;
        }
    } catch (const stop_parse&) {
        stopped_ = true;
    }
    running_ = false;
    return false;
}

void ps_reader::report(stream_error_kind kind, int64_t offset, std::string message) {
    ++n_errors_;
    stream_error e;
    e.kind = kind;
    e.offset = offset;
    e.message = std::move(message);
    for (ps_observer* o : observers_) o->error(*this, e);
}

void ps_reader::fail(const packet_struct& packet, packet_header_detail& detail, packet_header_detail::stop_t where,
                     stream_error_kind kind, int64_t offset, std::string message) {
    // A reader that stops hands the header read so far first, marked with
    // where it stopped, so that a dump shows the packet up to the fault.
    if (stop_on_error) {
        detail.stop = where;
        for (ps_observer* o : observers_) o->packet_header(*this, packet, detail);
    }
    report(kind, offset, std::move(message));
    if (stop_on_error) throw stop_parse{};
}

void ps_reader::check_marker(bool bit_is_set, const packet_struct& packet, packet_header_detail& detail,
                             packet_header_detail::stop_t where) {
    if (bit_is_set) return;
    fail(packet, detail, where, stream_error_kind::marker_bit, position_,
         "Expecting marker bits around " + hex_offset(position_));
}

uint64_t ps_reader::read_time_stamp(uint8_t t0) {
    uint8_t t1 = read_byte(), t2 = read_byte(), t3 = read_byte(), t4 = read_byte();
    return (uint64_t(t0 & 0x0E) << 29) | (uint64_t(t1) << 22) | (uint64_t(t2 & 0xFE) << 14) |
           (uint64_t(t3) << 7) | (uint64_t(t4) >> 1);
}

void ps_reader::consume_payload(int64_t end, const packet_struct& packet) {
    while (position_ < end) {
        size_t avail = input_.available();
        if (avail == 0) {
            // Past the end of the file: the remaining bytes read as 0xFF.
            int64_t missing = end - position_;
            last_4_bytes_ = missing >= 4 ? 0xFFFFFFFFu
                                         : (last_4_bytes_ << (8 * missing)) | ((1u << (8 * missing)) - 1);
            position_ = end;
            return;
        }
        size_t n = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(avail), end - position_));
        const unsigned char* p = input_.peek();
        for (ps_observer* o : observers_) o->payload(*this, packet, p, n);
        for (size_t i = n > 4 ? n - 4 : 0; i < n; ++i) last_4_bytes_ = (last_4_bytes_ << 8) | p[i];
        input_.advance(n);
        position_ += static_cast<int64_t>(n);
    }
}

void ps_reader::finish_packet(const packet_struct& packet) {
    for (ps_observer* o : observers_) o->packet_end(*this, packet);
}

// ---------------------------------------------------------------------------
// Pack header.
//
// ISO/IEC 13818-1 2.5.3.3, pack_header():
//   pack_start_code                      32  0x000001BA
//   '01'                                  2
//   system_clock_reference_base[32..30]   3
//   marker_bit                            1
//   system_clock_reference_base[29..15]  15
//   marker_bit                            1
//   system_clock_reference_base[14..0]   15
//   marker_bit                            1
//   system_clock_reference_extension      9
//   marker_bit                            1
//   program_mux_rate                     22
//   marker_bit, marker_bit                2
//   reserved                              5
//   pack_stuffing_length                  3
//   stuffing_byte (0xFF) x pack_stuffing_length
//   system_header() when its start code follows
//
// ISO/IEC 11172-1 2.4.3.2, pack():
//   pack_start_code                      32  0x000001BA
//   '0010'                                4
//   system_clock_reference[32..30]        3
//   marker_bit                            1
//   system_clock_reference[29..15]       15
//   marker_bit                            1
//   system_clock_reference[14..0]        15
//   marker_bit                            1
//   marker_bit                            1
//   mux_rate                             22
//   marker_bit                            1
//   system_header() when its start code follows
namespace {
constexpr uint8_t mpeg2_pack_prefix_mask = 0xC0;  // '01' marks a 13818-1 pack
constexpr uint8_t mpeg2_pack_prefix = 0x40;
constexpr uint8_t pack_stuffing_length_mask = 0x07;
}  // namespace

void ps_reader::read_pack() {
    pack_ = pack_struct{};
    in_pack_ = true;
    pack_.offset = position_ - 4;

    uint8_t b0 = read_byte();
    ++n_packs_;

    const bool program_stream = (b0 & mpeg2_pack_prefix_mask) == mpeg2_pack_prefix;
    if (!program_stream) {
        systems_format_ = 0;
        read_mpeg1_pack_header(b0);
    } else {
        uint8_t b1 = read_byte(), b2 = read_byte(), b3 = read_byte(), b4 = read_byte(), b5 = read_byte();
        uint32_t scr = (uint32_t(b0 & 0x18) << 27) | (uint32_t(b0 & 0x03) << 28) | (uint32_t(b1) << 20) |
                       (uint32_t(b2 & 0xF8) << 12) | (uint32_t(b2 & 0x03) << 13) | (uint32_t(b3) << 5) |
                       (uint32_t(b4) >> 3);
        pack_.scr = scr;
        pack_.scr_base = (uint64_t((b0 >> 5) & 0x01) << 32) | scr;
        pack_.ext = ((b4 & 0x03) << 7) | (b5 >> 1);

        uint8_t m0 = read_byte(), m1 = read_byte(), m2 = read_byte();
        pack_.mux = (m0 << 14) | (m1 << 6) | (m2 >> 2);
        pack_.bytes_per_second = pack_.mux * 50;

        uint8_t s = read_byte();
        pack_.stuffing = s & pack_stuffing_length_mask;
        read_bytes(pack_.stuffing);
        for (ps_observer* o : observers_) o->pack_header(*this, pack_);
    }
    read_pack_body(program_stream);

    in_pack_ = false;
    for (ps_observer* o : observers_) o->pack_end(*this, pack_);
}

void ps_reader::read_mpeg1_pack_header(uint8_t b0) {
    uint8_t b1 = read_byte(), b2 = read_byte(), b3 = read_byte(), b4 = read_byte();
    pack_.scr = (uint32_t(b0 & 0x0E) << 29) | (uint32_t(b1) << 22) | (uint32_t(b2 & 0xFE) << 14) |
                (uint32_t(b3) << 7) | (uint32_t(b4) >> 1);
    pack_.scr_base = (uint64_t((b0 >> 3) & 0x01) << 32) | pack_.scr;

    uint8_t m0 = read_byte(), m1 = read_byte(), m2 = read_byte();
    pack_.mux = ((m0 & 0x7F) << 15) | (m1 << 7) | (m2 >> 1);
    pack_.bytes_per_second = pack_.mux * 50;
    for (ps_observer* o : observers_) o->pack_header(*this, pack_);
}

// The system headers and packets of a pack: every start code up to the next
// pack start code or the end code.  A system header may stand anywhere among
// the packets (some multiplexers write one before every packet).
void ps_reader::read_pack_body(bool program_stream) {
    read_bytes(4);
    for (;;) {
        if (last_4_bytes_ == system_header_start_code) {
            read_system_header(program_stream);
            read_bytes(3);
        } else if (is_packet_start_code(last_4_bytes_)) {
            if (program_stream)
                read_pes_packet();
            else
                read_mpeg1_packet();
            read_bytes(4);
        } else {
            return;
        }
    }
}

// ---------------------------------------------------------------------------
// System header, both formats (13818-1 2.5.3.5, 11172-1 2.4.3.2):
//   system_header_start_code             32  0x000001BB
//   header_length                        16
//   marker_bit                            1
//   rate_bound                           22
//   marker_bit                            1
//   audio_bound                           6
//   fixed_flag                            1
//   CSPS_flag                             1
//   system_audio_lock_flag                1
//   system_video_lock_flag                1
//   marker_bit                            1
//   video_bound                           5
//   packet_rate_restriction_flag          1  (13818-1; reserved in 11172-1)
//   reserved_bits                         7
//   while (nextbits() == '1') {
//     stream_id                           8
//     '11'                                2
//     P-STD_buffer_bound_scale            1
//     P-STD_buffer_size_bound            13
//   }
namespace {
constexpr uint8_t fixed_flag_mask = 0x02;
constexpr uint8_t csps_flag_mask = 0x01;
constexpr uint8_t audio_lock_mask = 0x80;
constexpr uint8_t video_lock_mask = 0x40;
constexpr uint8_t video_bound_mask = 0x1F;
constexpr uint8_t packet_rate_restriction_mask = 0x80;
constexpr uint8_t stream_entry_mask = 0x80;  // a stream entry follows
constexpr uint8_t bound_scale_mask = 0x20;
}  // namespace

void ps_reader::read_system_header(bool program_stream) {
    system_header_struct header;
    header.starting_offset = position_ - 4;

    uint8_t h0 = read_byte(), h1 = read_byte();
    header.header_length = (h0 << 8) | h1;

    uint8_t r0 = read_byte(), r1 = read_byte(), r2 = read_byte();
    header.rate_bound = ((r0 & 0x7F) << 15) | (r1 << 7) | (r2 >> 1);

    uint8_t a = read_byte();
    header.audio_bound = a >> 2;
    header.fixed_flag = (a & fixed_flag_mask) ? 1 : 0;
    header.csps_flag = a & csps_flag_mask;

    uint8_t v = read_byte();
    header.system_audio_lock_flag = (v & audio_lock_mask) ? 1 : 0;
    header.system_video_lock_flag = (v & video_lock_mask) ? 1 : 0;
    header.video_bound = v & video_bound_mask;

    uint8_t p = read_byte();
    if (program_stream) header.packet_rate_restriction = (p & packet_rate_restriction_mask) ? 1 : 0;
    for (ps_observer* o : observers_) o->system_header(*this, header);

    // Stream entries follow for as long as the next byte has bit 7 set.  A
    // stream cut off inside the header ends the entries at the end of the
    // file instead of reading endless 0xFF entries.
    for (;;) {
        int c0 = read_byte_or_end();
        if (c0 < 0 || (c0 & stream_entry_mask) == 0) break;
        buffer_info_struct info;
        info.stream_id = c0;
        uint8_t c = read_byte();
        info.std_buffer_bound_scale = (c & bound_scale_mask) ? 1 : 0;
        uint8_t d = read_byte();
        info.std_buffer_size_bound = ((c & 0x1F) << 8) | d;
        info.actual_std_size = info.std_buffer_size_bound << (info.std_buffer_bound_scale ? 10 : 7);
        for (ps_observer* o : observers_) o->buffer_info(*this, info);
    }
    for (ps_observer* o : observers_) o->system_header_end(*this, header);
}

// ---------------------------------------------------------------------------
// Program-stream PES packet, 13818-1 2.4.3.6:
//   packet_start_code_prefix             24  0x000001
//   stream_id                             8
//   PES_packet_length                    16
//   for every stream_id but program_stream_map, padding, private_stream_2,
//   ECM, EMM, program_stream_directory, DSMCC and H.222.1 type E:
//     '10'                                2
//     PES_scrambling_control              2
//     PES_priority                        1
//     data_alignment_indicator            1
//     copyright                           1
//     original_or_copy                    1
//     PTS_DTS_flags                       2
//     ESCR_flag                           1
//     ES_rate_flag                        1
//     DSM_trick_mode_flag                 1
//     additional_copy_info_flag           1
//     PES_CRC_flag                        1
//     PES_extension_flag                  1
//     PES_header_data_length              8
//     PTS (and DTS)                   40 (80)  '0010'/'0011'/'0001' + 33 bits, 3 marker bits
//     ESCR                               48
//     marker_bit, ES_rate 22, marker_bit  24
//     trick_mode_control 3 + 5 bits       8
//     marker_bit, additional_copy_info 7  8
//     previous_PES_packet_CRC            16
//     PES_extension (see read_pes_extension)
//     stuffing_byte up to PES_header_data_length
//   PES_packet_data_byte up to PES_packet_length
namespace {
constexpr uint8_t scrambling_mask = 0x30;
constexpr uint8_t data_alignment_mask = 0x04;
constexpr uint8_t copyright_mask = 0x02;
constexpr uint8_t original_or_copy_mask = 0x01;
constexpr uint8_t pts_dts_flags_mask = 0xC0;
constexpr uint8_t escr_flag_mask = 0x20;
constexpr uint8_t es_rate_flag_mask = 0x10;
constexpr uint8_t trick_mode_flag_mask = 0x08;
constexpr uint8_t additional_copy_info_flag_mask = 0x04;
constexpr uint8_t pes_crc_flag_mask = 0x02;
constexpr uint8_t pes_extension_flag_mask = 0x01;
// PES extension flags.
constexpr uint8_t private_data_flag_mask = 0x80;
constexpr uint8_t pack_header_field_flag_mask = 0x40;
constexpr uint8_t sequence_counter_flag_mask = 0x20;
constexpr uint8_t pstd_buffer_flag_mask = 0x10;
constexpr uint8_t pes_extension_flag_2_mask = 0x01;
// Bytes of the optional header before its variable fields.
constexpr int32_t optional_header_fixed_bytes = 3;
}  // namespace

const char* ps_reader::pes_stream_name(uint8_t id, bool* has_optional_header) {
    bool opt = true;
    const char* name = nullptr;
    switch (id) {
        case 0xBC: name = "program_stream_map"; opt = false; break;
        case 0xBD: name = "private_stream_1"; break;
        case 0xBE: name = "padding_stream"; opt = false; break;
        case 0xBF: name = "private_stream_2"; opt = false; break;
        case 0xF0: name = "ECM_stream"; opt = false; break;
        case 0xF1: name = "EMM_stream"; opt = false; break;
        case 0xF2: name = "ITU-T Rec.H220.0|ISO/IEC 13818-1 Annex B|ISO/IEC 13818-6DSMCC"; opt = false; break;
        case 0xF3: name = "ISO/IEC_13522_stream"; break;
        case 0xF4: name = "ITU-T Rec.H.222.1 type A"; break;
        case 0xF5: name = "ITU-T Rec.H.222.1 type B"; break;
        case 0xF6: name = "ITU-T Rec.H.222.1 type C"; break;
        case 0xF7: name = "ITU-T Rec.H.222.1 type D"; break;
        case 0xF8: name = "ITU-T Rec.H.222.1 type E"; opt = false; break;
        case 0xF9: name = "ancillary_stream"; break;
        case 0xFF: name = "program_stream_directory"; opt = false; break;
        default:
            if (id >= 0xC0 && id <= 0xDF)
                name = "audio_stream";
            else if (id >= 0xE0 && id <= 0xEF)
                name = "video_stream";
            else if (id >= 0xFA && id <= 0xFE)
                name = "reserved_data_stream";  // reserved for data streams
            break;
    }
    if (has_optional_header) *has_optional_header = opt;
    return name;
}

void ps_reader::read_pes_packet() {
    const uint8_t id = static_cast<uint8_t>(last_4_bytes_ & 0xFF);
    packet_struct packet;
    packet_header_detail detail;
    packet.stream_id = id;
    packet.starting_offset = position_ - 4;

    bool has_optional_header = true;
    const char* name = pes_stream_name(id, &has_optional_header);
    if (!name) {
        fail(packet, detail, packet_header_detail::unknown_stream_id, stream_error_kind::unknown_stream_id,
             packet.starting_offset,
             "unknown stream_id " + hex_offset(id) + " at offset " + hex_offset(packet.starting_offset));
        name = "ERROR. Unknown stream_id";
        has_optional_header = true;
    }
    packet.stream_name = name;

    uint8_t l0 = read_byte(), l1 = read_byte();
    packet.length = (l0 << 8) | l1;
    packet.ends_at = position_ + packet.length;

    // A packet of an unknown stream too short for the optional header has
    // none: reading one would run into the start code that follows.
    if (!pes_stream_name(id, nullptr) && packet.length < optional_header_fixed_bytes) has_optional_header = false;

    if (!has_optional_header) {
        for (ps_observer* o : observers_) o->packet_header(*this, packet, detail);
        consume_payload(packet.ends_at, packet);
        finish_packet(packet);
        return;
    }

    uint8_t f1 = read_byte();
    packet.pes_scrambling_code = (f1 & scrambling_mask) >> 4;
    packet.data_alignment_indicator = (f1 & data_alignment_mask) ? 1 : 0;
    packet.copyright = (f1 & copyright_mask) ? 1 : 0;
    packet.original_or_copy = f1 & original_or_copy_mask;

    uint8_t f2 = read_byte();
    detail.flags = f2;
    packet.pts_dts_flag = (f2 & pts_dts_flags_mask) >> 6;

    uint8_t n = read_byte();
    packet.pes_header_data_length = n;
    const int64_t header_end = position_ + n;

    if (packet.pts_dts_flag >= 2) {
        packet.pts = read_time_stamp(read_byte());
        if (packet.pts_dts_flag == 3) packet.dts = read_time_stamp(read_byte());
    }

    if (f2 & escr_flag_mask) read_bytes(6);  // ESCR is not kept

    if (f2 & es_rate_flag_mask) {
        uint8_t e0 = read_byte(), e1 = read_byte(), e2 = read_byte();
        packet.es_rate = ((e0 & 0x7F) << 15) | (e1 << 7) | (e2 >> 1);
    }

    if (f2 & trick_mode_flag_mask) {
        uint8_t t = read_byte();
        detail.trick_mode_byte = t;
        packet.trick_mode = t >> 5;
    }

    if (f2 & additional_copy_info_flag_mask) packet.additional_copy_info = read_byte() & 0x7F;

    if (f2 & pes_crc_flag_mask) {
        uint8_t c0 = read_byte(), c1 = read_byte();
        packet.previous_pes_packet_crc = (c0 << 8) | c1;
    }

    if (f2 & pes_extension_flag_mask) read_pes_extension(packet, detail);

    while (position_ < header_end) {
        ++detail.skipped_header_bytes;
        read_byte();
    }

    for (ps_observer* o : observers_) o->packet_header(*this, packet, detail);
    consume_payload(packet.ends_at, packet);
    finish_packet(packet);
}

// PES_extension(), 13818-1 2.4.3.6:
//   PES_private_data_flag                 1
//   pack_header_field_flag                1
//   program_packet_sequence_counter_flag  1
//   P-STD_buffer_flag                     1
//   reserved                              3
//   PES_extension_flag_2                  1
//   PES_private_data                    128
//   pack_field_length 8 + pack_header()
//   marker_bit 1, program_packet_sequence_counter 7,
//     marker_bit 1, MPEG1_MPEG2_identifier 1, original_stuff_length 6
//   '01' 2, P-STD_buffer_scale 1, P-STD_buffer_size 13
//   marker_bit 1, PES_extension_field_length 7, reserved bytes
//
void ps_reader::read_pes_extension(packet_struct& packet, packet_header_detail& detail) {
    auto check = [&](bool bit_is_set, packet_header_detail::stop_t where) {
        check_marker(bit_is_set, packet, detail, where);
    };
    uint8_t x = read_byte();
    detail.extension_flags = x;
    packet.extension_data = 1;
    if (x & private_data_flag_mask) read_bytes(16);
    if (x & pack_header_field_flag_mask) {
        uint8_t k = read_byte();
        detail.pack_field_length = k;
        read_bytes(k);
    }
    if (x & sequence_counter_flag_mask) {
        uint8_t q0 = read_byte();
        check(q0 & 0x80, packet_header_detail::sequence_counter_marker);
        detail.sequence_counter = q0;
        uint8_t q1 = read_byte();
        check(q1 & 0x80, packet_header_detail::sequence_identifier_marker);
        detail.sequence_identifier = q1;
    }
    if (x & pstd_buffer_flag_mask) {
        uint8_t s0 = read_byte();
        check(s0 & 0x40, packet_header_detail::buffer_marker);
        uint8_t s1 = read_byte();
        packet.std_buffer_scale = (s0 >> 5) & 1;
        packet.std_buffer_size = ((s0 & 0x1F) << 8) | s1;
        packet.std_buffer_size_bytes = packet.std_buffer_size << (packet.std_buffer_scale ? 10 : 7);
    }
    if (x & pes_extension_flag_2_mask) {
        uint8_t y = read_byte();
        check(y & 0x80, packet_header_detail::extension_field_marker);
        detail.extension_field_length = y;
        read_bytes(y & 0x7F);
    }
}

// ---------------------------------------------------------------------------
// MPEG-1 packet, 11172-1 2.4.3.3:
//   packet_start_code_prefix             24  0x000001
//   stream_id                             8
//   packet_length                        16
//   for every stream_id but private_stream_2:
//     stuffing_byte (0xFF)            0 to 16
//     '01' 2, STD_buffer_scale 1, STD_buffer_size 13   when present
//     '0010' + PTS 33 + 3 marker bits               or
//     '0011' + PTS, '0001' + DTS (each 40 bits)     or
//     '0000 1111'
//   packet_data_byte up to packet_length
namespace {
constexpr uint8_t std_buffer_prefix_mask = 0x40;
constexpr uint8_t std_buffer_scale_mask = 0x20;
constexpr uint8_t mpeg1_pts_dts_mask = 0x30;
constexpr uint8_t mpeg1_pts_mask = 0x20;
constexpr uint8_t mpeg1_no_stamp = 0x0F;
}  // namespace

const char* ps_reader::mpeg1_stream_name(uint8_t id, bool* has_packet_header) {
    bool hdr = true;
    const char* name = nullptr;
    if (id == 0xBD)
        name = "private_stream_1";
    else if (id == 0xBC)
        name = "reserved_stream";
    else if (id == 0xBE)
        name = "padding_stream";
    else if (id == 0xBF) {
        name = "private_stream_2";
        hdr = false;
    } else if (id >= 0xF0)
        name = "reserved_data_stream";
    else if (id >= 0xC0 && id <= 0xDF)
        name = "audio_stream";
    else if (id >= 0xE0 && id <= 0xEF)
        name = "video_stream";
    if (has_packet_header) *has_packet_header = hdr;
    return name;
}

void ps_reader::read_mpeg1_packet() {
    const uint8_t id = static_cast<uint8_t>(last_4_bytes_ & 0xFF);
    packet_struct packet;
    packet_header_detail detail;
    packet.stream_id = id;
    packet.starting_offset = position_ - 4;
    packet.pes_header_data_length = 0;
    detail.mpeg1 = true;

    uint8_t l0 = read_byte(), l1 = read_byte();
    packet.length = (l0 << 8) | l1;
    packet.ends_at = position_ + packet.length;

    bool has_packet_header = true;
    const char* name = mpeg1_stream_name(id, &has_packet_header);
    if (!name) {
        fail(packet, detail, packet_header_detail::unknown_stream_id, stream_error_kind::unknown_stream_id,
             packet.starting_offset,
             "unknown stream_id " + hex_offset(id) + " at offset " + hex_offset(packet.starting_offset));
        name = "ERROR. Unknown stream_id\n";
        has_packet_header = true;
    }
    packet.stream_name = name;

    if (has_packet_header) {
        int c;
        while ((c = read_byte_or_end()) == 0xFF) ++packet.header_stuffing_bytes;
        packet.pes_header_data_length = packet.header_stuffing_bytes;
        if (c < 0) {
            // The file ends inside the stuffing: the packet ends here, with
            // what has been read and without a payload.
            detail.has_payload = false;
            for (ps_observer* o : observers_) o->packet_header(*this, packet, detail);
            finish_packet(packet);
            return;
        }
        uint8_t b = static_cast<uint8_t>(c);

        if (b & std_buffer_prefix_mask) {
            packet.std_buffer_scale = (b & std_buffer_scale_mask) ? 1 : 0;
            uint8_t s = read_byte();
            packet.std_buffer_size = ((b & 0x1F) << 8) | s;
            packet.std_buffer_size_bytes = packet.std_buffer_size << (packet.std_buffer_scale ? 10 : 7);
            b = read_byte();
            packet.pes_header_data_length += 2;
        }

        packet.pts_dts_flag = (b & mpeg1_pts_dts_mask) >> 4;
        if ((b & mpeg1_pts_dts_mask) == mpeg1_pts_dts_mask) {
            packet.pts = read_time_stamp(b);
            packet.dts = read_time_stamp(read_byte());
            packet.pes_header_data_length += 10;
        } else if (b & mpeg1_pts_mask) {
            packet.pts = read_time_stamp(b);
            packet.pes_header_data_length += 5;
        } else {
            packet.pes_header_data_length += 1;
            if (b != mpeg1_no_stamp) check_marker(false, packet, detail, packet_header_detail::mpeg1_marker);
        }
    }

    for (ps_observer* o : observers_) o->packet_header(*this, packet, detail);
    consume_payload(packet.ends_at, packet);
    finish_packet(packet);
}
