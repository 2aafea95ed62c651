// System header reader, shared by both stream formats.
#include "parser.h"

namespace {

void read_any_system_header(bool program_stream) {
    std::unique_ptr<system_header_struct> header = new_system_header_struct();
    _current_system_header = header.get();
    header->starting_offset = _file_position - 4;
    const bool dump = _export_is_text_dump;
    if (dump) std::printf("\t\tSystem Header [0x%llx]\n", static_cast<unsigned long long>(header->starting_offset));

    uint8_t h0 = read_byte(), h1 = read_byte();
    header->header_length = (h0 << 8) | h1;
    if (dump) std::printf("\t\t\tlength = %d\n", header->header_length);

    uint8_t r0 = read_byte(), r1 = read_byte(), r2 = read_byte();
    header->rate_bound = ((r0 & 0x7F) << 15) | (r1 << 7) | (r2 >> 1);
    if (dump) std::printf("\t\t\trate_bound = %d\n", header->rate_bound);

    uint8_t a = read_byte();
    header->audio_bound = a >> 2;
    header->fixed_flag = (a >> 1) & 1;
    header->csps_flag = a & 1;
    if (dump) {
        std::printf("\t\t\taudio_bound = %d\n", header->audio_bound);
        std::printf("\t\t\tfixed_flag  = %d\n", header->fixed_flag);
        std::printf("\t\t\tcsps_flag   = %d\n", header->csps_flag);
    }

    uint8_t v = read_byte();
    header->system_audio_lock_flag = (v >> 7) & 1;
    header->system_video_lock_flag = (v >> 6) & 1;
    header->video_bound = v & 0x1F;
    if (dump) {
        std::printf("\t\t\tsystem_audio_lock_flag = %d\n", header->system_audio_lock_flag);
        std::printf("\t\t\tsystem_video_lock_flag = %d\n", header->system_video_lock_flag);
        std::printf("\t\t\tvideo_bound = %d\n", header->video_bound);
    }

    uint8_t p = read_byte();
    if (program_stream) {
        header->packet_rate_restriction = (p >> 7) & 1;
        if (dump) std::printf("\t\t\tpacket_rate_restriction = %d\n", header->packet_rate_restriction);
    }
    const pack_parts_consumer* consumer = _pack_parts_consumer;
    if (consumer && consumer->system_header) consumer->system_header(*header);

    // Stream entries follow for as long as the next byte has bit 7 set.  A
    // stream cut off inside the header ends the entries at the end of the
    // file instead of reading endless 0xFF entries.
    for (;;) {
        int c0 = read_byte_or_end();
        if (c0 < 0 || (c0 & 0x80) == 0) break;
        buffer_info_struct info;
        info.stream_id = c0;
        if (dump) std::printf("\t\t\t\tstream_id = 0x%x\n", info.stream_id);
        uint8_t c = read_byte();
        info.std_buffer_bound_scale = (c >> 5) & 1;
        if (dump) std::printf("\t\t\t\tp-std buffer_bound_scale = %d\n", info.std_buffer_bound_scale);
        uint8_t d = read_byte();
        info.std_buffer_size_bound = ((c & 0x1F) << 8) | d;
        info.actual_std_size = info.std_buffer_size_bound << (info.std_buffer_bound_scale ? 10 : 7);
        if (!consumer)
            add_buffer_info(*header, info);
        else if (consumer->buffer_info)
            consumer->buffer_info(info);
        if (dump)
            std::printf("\t\t\t\tp-std buffer_size_bound  = %d - (%d)\n", info.std_buffer_size_bound,
                        info.actual_std_size);
    }
    _current_system_header = nullptr;
    if (!consumer)
        add_header_to_pack(*_current_pack, std::move(*header));
    else if (consumer->system_header_end)
        consumer->system_header_end(*header);
}

}  // namespace

void read_system_header() { read_any_system_header(true); }
void read_mpeg1_system_header() { read_any_system_header(false); }
