// Program-stream PES packet reader.
#include <cstdlib>

#include "pes_internal.h"

uint64_t read_time_stamp(uint8_t t0) {
    uint8_t t1 = read_byte(), t2 = read_byte(), t3 = read_byte(), t4 = read_byte();
    return (uint64_t(t0 & 0x0E) << 29) | (uint64_t(t1) << 22) | (uint64_t(t2 & 0xFE) << 14) |
           (uint64_t(t3) << 7) | (uint64_t(t4) >> 1);
}

void marker_check(bool bit_is_set) {
    if (bit_is_set) return;
    std::fprintf(_stream_errors_to_stderr ? stderr : stdout, "\nError\n Expecting marker bits around 0x%llx",
                 offset_hex(_file_position));
    if (_exit_on_stream_error) std::exit(1);
}

void exit_on_stream_error() { std::exit(1); }

const char* pes_stream_name(uint8_t id, bool* has_optional_header) {
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

namespace {

void print_trick_mode_fields(uint8_t t, int mode) {
    static const char* const names[] = {" (fast_forward)\n", " (slow_motion)\n", " (freeze_frame)\n",
                                        " (fast_reverse)\n", " (slow_reverse)\n", " (reserved)\n",
                                        " (reserved)\n",     " (reserved)\n"};
    std::fputs(names[mode], stdout);
    switch (mode) {
        case 0:
        case 3:
            std::printf("\t\t\t\tfield_id = %d\n", (t >> 3) & 0x03);
            std::printf("\t\t\t\tintra_slice_refresh = %d\n", (t >> 2) & 0x01);
            std::printf("\t\t\t\tfrequency_truncation = %d\n", t & 0x03);
            break;
        case 1:
        case 4:
            std::printf("\t\t\t\trep_cntrl = %d\n", t & 0x1F);
            break;
        case 2:
            std::printf("\t\t\t\tfield_id = %d\n", (t >> 3) & 0x03);
            std::printf("\t\t\t\treserved = %d\n", t & 0x07);
            break;
        default:
            break;
    }
}

void read_pes_extension(packet_struct& packet, bool dump, bool show) {
    uint8_t x = read_byte();
    packet.extension_data = 1;
    if (show) {
        std::printf("\t\t\textension_data -\n");
        std::printf("\t\t\t\tprivate_data_flag = %d\n", (x >> 7) & 1);
        std::printf("\t\t\t\tpack_header_field_flag = %d\n", (x >> 6) & 1);
        std::printf("\t\t\t\tprogram_packet_sequence_counter_flag = %d\n", (x >> 5) & 1);
        std::printf("\t\t\t\tP-STD_buffer_flag = %d\n", (x >> 4) & 1);
        std::printf("\t\t\t\tPES_extension_flag_2 = %d\n", x & 1);
    }
    if (x & 0x80) read_bytes(16);
    if (x & 0x40) {
        uint8_t k = read_byte();
        if (show) std::printf("\t\t\t\tSkipping additional pack_field_header() - %d\n", k);
        read_bytes(k);
    }
    if (x & 0x20) {
        uint8_t q0 = read_byte();
        marker_check(q0 & 0x80);
        uint8_t q1 = read_byte();
        marker_check(q1 & 0x80);
        if (show) {
            std::printf("\t\t\t\tprogram_packet_sequence_counter = %d\n", q0 & 0x7F);
            std::printf("\t\t\t\tMPEG1_MPEG2_identifier = %d\n", (q1 >> 6) & 1);
            std::printf("\t\t\t\toriginal_stuff_length = %d\n", q1 & 0x3F);
        }
    }
    if (x & 0x10) {
        uint8_t s0 = read_byte();
        marker_check(s0 & 0x40);
        uint8_t s1 = read_byte();
        packet.std_buffer_scale = (s0 >> 5) & 1;
        packet.std_buffer_size = ((s0 & 0x1F) << 8) | s1;
        packet.std_buffer_size_bytes = packet.std_buffer_size << (packet.std_buffer_scale ? 10 : 7);
        if (dump) {
            std::printf("\t\t\t\tP-STD_buffer_scale = %d\n", packet.std_buffer_scale);
            std::printf("\t\t\t\tP-STD_buffer_size = %d\n", packet.std_buffer_size);
            std::printf("\t\t\t\tP-STD_actual_buffer_size = %d\n", packet.std_buffer_size_bytes);
        }
    }
    if (x & 0x01) {
        uint8_t y = read_byte();
        marker_check(y & 0x80);
        if (show) std::printf("\t\t\t\tPES_extension_length_field = %d\n", y & 0x7F);
        read_bytes(y & 0x7F);
    }
}

}  // namespace

void read_pes_packet() {
    const bool dump = _export_is_text_dump;
    // Lines the reader prints whatever the text-dump setting; kept out of a
    // Lisp export so that its output stays a loadable program.
    const bool show = always_lines_shown();
    const uint8_t id = static_cast<uint8_t>(_last_4_bytes & 0xFF);

    std::unique_ptr<packet_struct> packet = new_packet_struct();
    _current_packet = packet.get();
    packet->stream_id = id;
    packet->starting_offset = _file_position - 4;
    if (dump) {
        std::printf("\t\tPacket [0x%llx]\n", offset_hex(packet->starting_offset));
        std::printf("\t\t\tstream_id = 0x%x  ", id);
    }

    bool has_optional_header = true;
    const char* name = pes_stream_name(id, &has_optional_header);
    if (!name) {
        if (_exit_on_stream_error) exit_on_stream_error();
        name = "ERROR. Unknown stream_id";
        has_optional_header = true;
    }
    packet->stream_name = name;
    if (dump) std::printf("(%s)\n", name);

    uint8_t l0 = read_byte(), l1 = read_byte();
    packet->length = (l0 << 8) | l1;
    packet->ends_at = _file_position + packet->length;
    if (dump)
        std::printf("\t\t\tpes_packet_length = %d (ends @ 0x%llx)\n", packet->length, offset_hex(packet->ends_at));

    if (!has_optional_header) {
        payload_sink(id, packet->ends_at, false);
        finish_packet(*packet);
        return;
    }

    uint8_t f1 = read_byte();
    packet->pes_scrambling_code = (f1 >> 4) & 0x03;
    packet->data_alignment_indicator = (f1 >> 2) & 1;
    packet->copyright = (f1 >> 1) & 1;
    packet->original_or_copy = f1 & 1;
    if (dump) {
        std::printf("\t\t\tpes_scrambling_control = %d\n", packet->pes_scrambling_code);
        std::printf("\t\t\tdata_alignment_indicator = %d\n", packet->data_alignment_indicator);
        std::printf("\t\t\tcopyright = %d\n", packet->copyright);
        std::printf("\t\t\toriginal_or_copy = %d\n", packet->original_or_copy);
    }

    uint8_t f2 = read_byte();
    packet->pts_dts_flag = (f2 >> 6) & 0x03;
    if (dump) {
        std::printf("\t\t\tPTS_DTS_flags = %d\n", packet->pts_dts_flag);
        std::printf("\t\t\tESCR_flag = %d\n", (f2 >> 5) & 1);
        std::printf("\t\t\tES_rate_flag = %d\n", (f2 >> 4) & 1);
        std::printf("\t\t\tDSM_trick_mode_flag = %d\n", (f2 >> 3) & 1);
        std::printf("\t\t\tadditional_copy_info_flag = %d\n", (f2 >> 2) & 1);
        std::printf("\t\t\tPES_CRC_flag = %d\n", (f2 >> 1) & 1);
        std::printf("\t\t\tPES_extension_flag = %d\n", f2 & 1);
    }

    uint8_t n = read_byte();
    packet->pes_header_data_length = n;
    const int64_t header_end = _file_position + n;
    if (dump) std::printf("\t\t\tpes_header_data_length = %d\n", n);

    if (packet->pts_dts_flag >= 2) {
        packet->pts = read_time_stamp(read_byte());
        if (packet->pts_dts_flag == 3) packet->dts = read_time_stamp(read_byte());
        if (dump) {
            std::printf("\t\t\tPTS = %d\n", static_cast<int32_t>(static_cast<uint32_t>(packet->pts)));
            if (packet->pts_dts_flag == 3)
                std::printf("\t\t\tDTS = %d\n", static_cast<int32_t>(static_cast<uint32_t>(packet->dts)));
        }
    }

    if (f2 & 0x20) read_bytes(6);  // ESCR is not kept

    if (f2 & 0x10) {
        uint8_t e0 = read_byte(), e1 = read_byte(), e2 = read_byte();
        packet->es_rate = ((e0 & 0x7F) << 15) | (e1 << 7) | (e2 >> 1);
        if (dump) std::printf("\t\t\tes_rate = %d\n", packet->es_rate);
    }

    if (f2 & 0x08) {
        uint8_t t = read_byte();
        packet->trick_mode = t >> 5;
        if (dump) std::printf("\t\t\ttrick_mode_control = %d", packet->trick_mode);
        if (show) print_trick_mode_fields(t, packet->trick_mode);
    }

    if (f2 & 0x04) {
        packet->additional_copy_info = read_byte() & 0x7F;
        if (dump) std::printf("\t\t\tadditional_copy_info = %d\n", packet->additional_copy_info);
    }

    if (f2 & 0x02) {
        uint8_t c0 = read_byte(), c1 = read_byte();
        packet->previous_pes_packet_crc = (c0 << 8) | c1;
        if (dump) std::printf("\t\t\tprevious_PES_packet_CRC = %d\n", packet->previous_pes_packet_crc);
    }

    if (f2 & 0x01) read_pes_extension(*packet, dump, show);

    while (_file_position < header_end) {
        if (show) std::fputs("\t\t\tSKIPPING_HEADER_INFO \n", stdout);
        read_byte();
    }

    payload_sink(id, packet->ends_at, true);
    finish_packet(*packet);
}
