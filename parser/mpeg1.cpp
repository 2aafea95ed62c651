// MPEG-1 system stream packet reader (the pack header is read by the driver).
#include "pes_internal.h"

const char* mpeg1_stream_name(uint8_t id, bool* has_packet_header) {
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

void read_mpeg1_packet() {
    const bool dump = _export_is_text_dump;
    const uint8_t id = static_cast<uint8_t>(_last_4_bytes & 0xFF);

    std::unique_ptr<packet_struct> packet = new_packet_struct();
    _current_packet = packet.get();
    packet->stream_id = id;
    packet->starting_offset = _file_position - 4;
    packet->pes_header_data_length = 0;
    if (dump) {
        std::printf("\t\tPacket [0x%llx]\n", offset_hex(packet->starting_offset));
        std::printf("\t\t\tstream_id = 0x%x  ", id);
    }

    uint8_t l0 = read_byte(), l1 = read_byte();
    packet->length = (l0 << 8) | l1;
    packet->ends_at = _file_position + packet->length;

    bool has_packet_header = true;
    const char* name = mpeg1_stream_name(id, &has_packet_header);
    if (!name) {
        if (_exit_on_stream_error) exit_on_stream_error();
        name = "ERROR. Unknown stream_id\n";
        has_packet_header = true;
    }
    packet->stream_name = name;
    if (dump) {
        std::printf("(%s)\n", name);
        std::printf("\t\t\tpacket_length = %d (ends @ 0x%llx)\n", packet->length, offset_hex(packet->ends_at));
    }

    if (has_packet_header) {
        int c;
        while ((c = read_byte_or_end()) == 0xFF) {
            ++packet->header_stuffing_bytes;
            if (dump) std::fputs("\t\t\tSKIPPING_STUFFING_BYTES \n", stdout);
        }
        packet->pes_header_data_length = packet->header_stuffing_bytes;
        if (c < 0) {
            // The file ends inside the stuffing: the packet ends here, with
            // what has been read and without a payload.
            finish_packet(*packet);
            return;
        }
        uint8_t b = static_cast<uint8_t>(c);

        if (b & 0x40) {
            packet->std_buffer_scale = (b >> 5) & 1;
            if (dump) std::printf("\t\t\tSTD_buffer_scale = %d\n", packet->std_buffer_scale);
            uint8_t s = read_byte();
            packet->std_buffer_size = ((b & 0x1F) << 8) | s;
            packet->std_buffer_size_bytes = packet->std_buffer_size << (packet->std_buffer_scale ? 10 : 7);
            if (dump)
                std::printf("\t\t\tSTD_buffer_size_bound  = %d - (%d)\n", packet->std_buffer_size,
                            packet->std_buffer_size_bytes);
            b = read_byte();
            packet->pes_header_data_length += 2;
        }

        packet->pts_dts_flag = (b >> 4) & 0x03;
        if ((b & 0x30) == 0x30) {
            packet->pts = read_time_stamp(b);
            if (dump) std::printf("\t\t\tPTS = %d\n", static_cast<int32_t>(static_cast<uint32_t>(packet->pts)));
            packet->dts = read_time_stamp(read_byte());
            if (dump) std::printf("\t\t\tDTS = %d\n", static_cast<int32_t>(static_cast<uint32_t>(packet->dts)));
            packet->pes_header_data_length += 10;
        } else if (b & 0x20) {
            packet->pts = read_time_stamp(b);
            if (dump) std::printf("\t\t\tPTS = %d\n", static_cast<int32_t>(static_cast<uint32_t>(packet->pts)));
            packet->pes_header_data_length += 5;
        } else {
            packet->pes_header_data_length += 1;
            if (b != 0x0F) marker_check(false);
        }
    }

    payload_sink(id, packet->ends_at, false);
    finish_packet(*packet);
}
