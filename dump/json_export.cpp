// JSON Lines export of the stream model.
//
// A line, keys in the order of the model's fields:
//   {"offset":N,"scr":N,"ext":N,"mux":N,"stuffing":N,
//    "system_headers":[{...,"buffer_info":[{...},...]}],
//    "packets":[{"stream_id":N,"stream_name":"...",...},...]}
// A field the stream did not supply is left out.  `scr` is the whole 33-bit
// clock base and `pts` / `dts` the whole 33-bit stamps, as exact integers.
// An MPEG-1 pack has no `ext` and no `stuffing`; `header_stuffing_bytes` is
// given for MPEG-1 packets only.

#include "json_export.h"

#include <charconv>
#include <cstdio>
#include <string>

#include "parser.h"

namespace {

// The current pack's line.  It is written out whole when the pack ends; a
// pack whose line grows past `spill_size` (a flood of packets or buffer
// bounds) is written out in pieces so that memory stays bounded.
std::string line;
constexpr size_t spill_size = 1 << 20;
bool line_spilled = false;

bool pack_is_mpeg1 = false;
bool in_packets = false;        // the "packets" list has been opened
bool list_is_empty = true;      // no element yet in the list being written
bool entries_are_empty = true;  // no element yet in a system header's buffer_info

void put(const char* text) { line += text; }

template <typename T>
void put_number(T value) {
    char buf[24];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    (void)ec;
    line.append(buf, end);
}

// `key` carries its leading comma and quotes: ",\"ext\":".
void put_field(const char* key, int32_t value) {
    if (value == -1) return;
    put(key);
    put_number(value);
}

void put_time_stamp(const char* key, uint64_t value) {
    if (value == absent_ts) return;
    put(key);
    put_number(value);
}

// A JSON string.  Bytes that are not printable ASCII are escaped as the
// code point of the same value, so the output is valid UTF-8 whatever the
// text holds.
void put_string(const std::string& text) {
    static const char hex[] = "0123456789abcdef";
    line += '"';
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            line += '\\';
            line += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            line += static_cast<char>(c);
        } else {
            char esc[] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0x0F]};
            line.append(esc, sizeof esc);
        }
    }
    line += '"';
}

void spill_if_large() {
    if (line.size() < spill_size) return;
    std::fwrite(line.data(), 1, line.size(), stdout);
    line.clear();
    line_spilled = true;
}

void next_element(bool& empty) {
    if (!empty) line += ',';
    empty = false;
}

void on_pack_header(const pack_struct& pack) {
    pack_is_mpeg1 = pack.stuffing == -1;
    in_packets = false;
    list_is_empty = true;
    put("{\"offset\":");
    put_number(pack.offset);
    put(",\"scr\":");
    put_number(pack.scr_base);
    if (!pack_is_mpeg1) put_field(",\"ext\":", pack.ext);
    put_field(",\"mux\":", pack.mux);
    put_field(",\"stuffing\":", pack.stuffing);
    put(",\"system_headers\":[");
}

void on_system_header(const system_header_struct& h) {
    next_element(list_is_empty);
    put("{\"starting_offset\":");
    put_number(h.starting_offset);
    put_field(",\"header_length\":", h.header_length);
    put_field(",\"rate_bound\":", h.rate_bound);
    put_field(",\"audio_bound\":", h.audio_bound);
    put_field(",\"fixed_flag\":", h.fixed_flag);
    put_field(",\"csps_flag\":", h.csps_flag);
    put_field(",\"system_audio_lock_flag\":", h.system_audio_lock_flag);
    put_field(",\"system_video_lock_flag\":", h.system_video_lock_flag);
    put_field(",\"video_bound\":", h.video_bound);
    put_field(",\"packet_rate_restriction\":", h.packet_rate_restriction);
    put(",\"buffer_info\":[");
    entries_are_empty = true;
}

void on_buffer_info(const buffer_info_struct& b) {
    next_element(entries_are_empty);
    put("{\"stream_id\":");
    put_number(b.stream_id);
    put_field(",\"std_buffer_bound_scale\":", b.std_buffer_bound_scale);
    put_field(",\"std_buffer_size_bound\":", b.std_buffer_size_bound);
    put_field(",\"actual_std_size\":", b.actual_std_size);
    put("}");
    spill_if_large();
}

void on_system_header_end(const system_header_struct&) { put("]}"); }

void open_packets() {
    if (in_packets) return;
    in_packets = true;
    list_is_empty = true;
    put("],\"packets\":[");
}

void on_packet(const packet_struct& p) {
    open_packets();
    next_element(list_is_empty);
    put("{\"stream_id\":");
    put_number(p.stream_id);
    put(",\"stream_name\":");
    put_string(p.stream_name);
    put_field(",\"length\":", p.length);
    put(",\"starting_offset\":");
    put_number(p.starting_offset);
    put(",\"ends_at\":");
    put_number(p.ends_at);
    if (pack_is_mpeg1) put_field(",\"header_stuffing_bytes\":", p.header_stuffing_bytes);
    put_field(",\"pes_scrambling_code\":", p.pes_scrambling_code);
    put_field(",\"data_alignment_indicator\":", p.data_alignment_indicator);
    put_field(",\"copyright\":", p.copyright);
    put_field(",\"original_or_copy\":", p.original_or_copy);
    put_field(",\"std_buffer_scale\":", p.std_buffer_scale);
    put_field(",\"std_buffer_size\":", p.std_buffer_size);
    put_field(",\"std_buffer_size_bytes\":", p.std_buffer_size_bytes);
    put_time_stamp(",\"pts\":", p.pts);
    put_time_stamp(",\"dts\":", p.dts);
    put_field(",\"pts_dts_flag\":", p.pts_dts_flag);
    put_field(",\"pes_header_data_length\":", p.pes_header_data_length);
    put_field(",\"es_rate\":", p.es_rate);
    put_field(",\"trick_mode\":", p.trick_mode);
    put_field(",\"additional_copy_info\":", p.additional_copy_info);
    put_field(",\"previous_pes_packet_crc\":", p.previous_pes_packet_crc);
    put_field(",\"extension_data\":", p.extension_data);
    put("}");
    spill_if_large();
}

const pack_parts_consumer consumer = {on_pack_header, on_system_header, on_buffer_info,
                                      on_system_header_end, on_packet};

}  // namespace

const pack_parts_consumer* json_parts_consumer() { return &consumer; }

void export_json_pack(const pack_struct&) {
    open_packets();
    put("]}\n");
    std::fwrite(line.data(), 1, line.size(), stdout);
    line.clear();
    line_spilled = false;
}

void export_json_abandon_pack() {
    if (line_spilled) std::fputc('\n', stdout);
    line.clear();
    line_spilled = false;
}
