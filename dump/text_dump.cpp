#include "text_dump.h"

namespace {

unsigned long long hex(int64_t offset) { return static_cast<unsigned long long>(offset); }
int32_t low_32(uint64_t stamp) { return static_cast<int32_t>(static_cast<uint32_t>(stamp)); }

}  // namespace

void print_trick_mode(FILE* out, const char* indent, int32_t control, int32_t t) {
    static const char* const names[] = {" (fast_forward)\n", " (slow_motion)\n", " (freeze_frame)\n",
                                        " (fast_reverse)\n", " (slow_reverse)\n", " (reserved)\n",
                                        " (reserved)\n",     " (reserved)\n"};
    std::fprintf(out, "%strick_mode_control = %d", indent, control);
    std::fputs(names[control & 7], out);
    switch (control) {
        case 0:
        case 3:
            std::fprintf(out, "%s\tfield_id = %d\n", indent, (t >> 3) & 0x03);
            std::fprintf(out, "%s\tintra_slice_refresh = %d\n", indent, (t >> 2) & 0x01);
            std::fprintf(out, "%s\tfrequency_truncation = %d\n", indent, t & 0x03);
            break;
        case 1:
        case 4:
            std::fprintf(out, "%s\trep_cntrl = %d\n", indent, t & 0x1F);
            break;
        case 2:
            std::fprintf(out, "%s\tfield_id = %d\n", indent, (t >> 3) & 0x03);
            std::fprintf(out, "%s\treserved = %d\n", indent, t & 0x07);
            break;
        default:
            break;
    }
}

void text_dump::pack_header(const ps_reader&, const pack_struct& pack) {
    std::fprintf(out_, "Pack [0x%llx]\n", hex(pack.offset));
    const bool mpeg1 = pack.stuffing == -1;
    if (mpeg1)
        std::fprintf(out_, "\tscr = %d\n", static_cast<int32_t>(pack.scr));
    else
        std::fprintf(out_, "\tscr = %d:%d\n", static_cast<int32_t>(pack.scr), pack.ext);
    std::fprintf(out_, "\tmux = %d - (%d bytes/second) \n", pack.mux, pack.bytes_per_second);
    if (!mpeg1) std::fprintf(out_, "\tstuffing = %d\n", pack.stuffing);
}

void text_dump::system_header(const ps_reader&, const system_header_struct& h) {
    std::fprintf(out_, "\t\tSystem Header [0x%llx]\n", hex(h.starting_offset));
    std::fprintf(out_, "\t\t\tlength = %d\n", h.header_length);
    std::fprintf(out_, "\t\t\trate_bound = %d\n", h.rate_bound);
    std::fprintf(out_, "\t\t\taudio_bound = %d\n", h.audio_bound);
    std::fprintf(out_, "\t\t\tfixed_flag  = %d\n", h.fixed_flag);
    std::fprintf(out_, "\t\t\tcsps_flag   = %d\n", h.csps_flag);
    std::fprintf(out_, "\t\t\tsystem_audio_lock_flag = %d\n", h.system_audio_lock_flag);
    std::fprintf(out_, "\t\t\tsystem_video_lock_flag = %d\n", h.system_video_lock_flag);
    std::fprintf(out_, "\t\t\tvideo_bound = %d\n", h.video_bound);
    if (h.packet_rate_restriction != -1)
        std::fprintf(out_, "\t\t\tpacket_rate_restriction = %d\n", h.packet_rate_restriction);
}

void text_dump::buffer_info(const ps_reader&, const buffer_info_struct& info) {
    std::fprintf(out_, "\t\t\t\tstream_id = 0x%x\n", info.stream_id);
    std::fprintf(out_, "\t\t\t\tp-std buffer_bound_scale = %d\n", info.std_buffer_bound_scale);
    std::fprintf(out_, "\t\t\t\tp-std buffer_size_bound  = %d - (%d)\n", info.std_buffer_size_bound,
                 info.actual_std_size);
}

void text_dump::error(const ps_reader&, const stream_error& e) {
    if (e.kind == stream_error_kind::marker_bit) std::fprintf(out_, "\nError\n %s", e.message.c_str());
}

void text_dump::print_mpeg1_packet(const packet_struct& p, const packet_header_detail& d) {
    std::fprintf(out_, "(%s)\n", p.stream_name.c_str());
    std::fprintf(out_, "\t\t\tpacket_length = %d (ends @ 0x%llx)\n", p.length, hex(p.ends_at));
    for (int32_t i = 0; i < p.header_stuffing_bytes; ++i) std::fputs("\t\t\tSKIPPING_STUFFING_BYTES \n", out_);
    if (p.std_buffer_scale != -1) {
        std::fprintf(out_, "\t\t\tSTD_buffer_scale = %d\n", p.std_buffer_scale);
        std::fprintf(out_, "\t\t\tSTD_buffer_size_bound  = %d - (%d)\n", p.std_buffer_size, p.std_buffer_size_bytes);
    }
    if (p.pts != absent_ts) std::fprintf(out_, "\t\t\tPTS = %d\n", low_32(p.pts));
    if (p.dts != absent_ts) std::fprintf(out_, "\t\t\tDTS = %d\n", low_32(p.dts));
    (void)d;
}

void text_dump::print_extension(const packet_struct& p, const packet_header_detail& d) {
    using stop = packet_header_detail;
    const int x = d.extension_flags;
    std::fputs("\t\t\textension_data -\n", out_);
    std::fprintf(out_, "\t\t\t\tprivate_data_flag = %d\n", (x >> 7) & 1);
    std::fprintf(out_, "\t\t\t\tpack_header_field_flag = %d\n", (x >> 6) & 1);
    std::fprintf(out_, "\t\t\t\tprogram_packet_sequence_counter_flag = %d\n", (x >> 5) & 1);
    std::fprintf(out_, "\t\t\t\tP-STD_buffer_flag = %d\n", (x >> 4) & 1);
    std::fprintf(out_, "\t\t\t\tPES_extension_flag_2 = %d\n", x & 1);
    if (x & 0x40) std::fprintf(out_, "\t\t\t\tSkipping additional pack_field_header() - %d\n", d.pack_field_length);
    if (d.stop == stop::sequence_counter_marker || d.stop == stop::sequence_identifier_marker) return;
    if (x & 0x20) {
        std::fprintf(out_, "\t\t\t\tprogram_packet_sequence_counter = %d\n", d.sequence_counter & 0x7F);
        std::fprintf(out_, "\t\t\t\tMPEG1_MPEG2_identifier = %d\n", (d.sequence_identifier >> 6) & 1);
        std::fprintf(out_, "\t\t\t\toriginal_stuff_length = %d\n", d.sequence_identifier & 0x3F);
    }
    if (d.stop == stop::buffer_marker) return;
    if (x & 0x10) {
        std::fprintf(out_, "\t\t\t\tP-STD_buffer_scale = %d\n", p.std_buffer_scale);
        std::fprintf(out_, "\t\t\t\tP-STD_buffer_size = %d\n", p.std_buffer_size);
        std::fprintf(out_, "\t\t\t\tP-STD_actual_buffer_size = %d\n", p.std_buffer_size_bytes);
    }
    if (d.stop == stop::extension_field_marker) return;
    if (x & 0x01) std::fprintf(out_, "\t\t\t\tPES_extension_field_length = %d\n", d.extension_field_length & 0x7F);
}

void text_dump::packet_header(const ps_reader&, const packet_struct& p, const packet_header_detail& d) {
    std::fprintf(out_, "\t\tPacket [0x%llx]\n", hex(p.starting_offset));
    std::fprintf(out_, "\t\t\tstream_id = 0x%x  ", p.stream_id);
    if (d.stop == packet_header_detail::unknown_stream_id) return;
    if (d.mpeg1) {
        print_mpeg1_packet(p, d);
        return;
    }
    std::fprintf(out_, "(%s)\n", p.stream_name.c_str());
    std::fprintf(out_, "\t\t\tpes_packet_length = %d (ends @ 0x%llx)\n", p.length, hex(p.ends_at));
    if (d.flags < 0) return;

    std::fprintf(out_, "\t\t\tpes_scrambling_control = %d\n", p.pes_scrambling_code);
    std::fprintf(out_, "\t\t\tdata_alignment_indicator = %d\n", p.data_alignment_indicator);
    std::fprintf(out_, "\t\t\tcopyright = %d\n", p.copyright);
    std::fprintf(out_, "\t\t\toriginal_or_copy = %d\n", p.original_or_copy);
    const int f = d.flags;
    std::fprintf(out_, "\t\t\tPTS_DTS_flags = %d\n", p.pts_dts_flag);
    std::fprintf(out_, "\t\t\tESCR_flag = %d\n", (f >> 5) & 1);
    std::fprintf(out_, "\t\t\tES_rate_flag = %d\n", (f >> 4) & 1);
    std::fprintf(out_, "\t\t\tDSM_trick_mode_flag = %d\n", (f >> 3) & 1);
    std::fprintf(out_, "\t\t\tadditional_copy_info_flag = %d\n", (f >> 2) & 1);
    std::fprintf(out_, "\t\t\tPES_CRC_flag = %d\n", (f >> 1) & 1);
    std::fprintf(out_, "\t\t\tPES_extension_flag = %d\n", f & 1);
    std::fprintf(out_, "\t\t\tpes_header_data_length = %d\n", p.pes_header_data_length);
    if (p.pts_dts_flag >= 2) {
        std::fprintf(out_, "\t\t\tPTS = %d\n", low_32(p.pts));
        if (p.pts_dts_flag == 3) std::fprintf(out_, "\t\t\tDTS = %d\n", low_32(p.dts));
    }
    if (f & 0x10) std::fprintf(out_, "\t\t\tes_rate = %d\n", p.es_rate);
    if (f & 0x08) print_trick_mode(out_, "\t\t\t", p.trick_mode, d.trick_mode_byte);
    if (f & 0x04) std::fprintf(out_, "\t\t\tadditional_copy_info = %d\n", p.additional_copy_info);
    if (f & 0x02) std::fprintf(out_, "\t\t\tprevious_PES_packet_CRC = %d\n", p.previous_pes_packet_crc);
    if (f & 0x01) print_extension(p, d);
    if (d.stop != packet_header_detail::complete) return;
    for (int32_t i = 0; i < d.skipped_header_bytes; ++i) std::fputs("\t\t\tSKIPPING_HEADER_INFO \n", out_);
}
