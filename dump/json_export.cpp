#include "json_export.h"

#include <charconv>

#include "json_string.h"

namespace {

constexpr size_t spill_size = 1 << 20;


// `key` carries its leading comma and quotes: ",\"ext\":".
void put_field(std::string& line, const char* key, int32_t value) {
    if (value == -1) return;
    line += key;
    append_json_number(line, value);
}

void put_time_stamp(std::string& line, const char* key, uint64_t value) {
    if (value == absent_ts) return;
    line += key;
    append_json_number(line, value);
}

}  // namespace

spill_buffer::~spill_buffer() {
    if (file_) std::fclose(file_);
}

void spill_buffer::spill_if_large() {
    if (text_.size() < spill_size) return;
    if (!file_) file_ = std::tmpfile();
    if (!file_) return;  // no temporary file: the text stays in memory
    std::fwrite(text_.data(), 1, text_.size(), file_);
    file_used_ = true;
    text_.clear();
}

bool spill_buffer::write_to(FILE* out) {
    bool ok = true;
    if (file_used_) {
        std::rewind(file_);
        char block[1 << 16];
        size_t n;
        while ((n = std::fread(block, 1, sizeof block, file_)) > 0)
            if (std::fwrite(block, 1, n, out) != n) ok = false;
        if (std::ferror(file_)) ok = false;
    }
    if (!text_.empty() && std::fwrite(text_.data(), 1, text_.size(), out) != text_.size()) ok = false;
    clear();
    return ok;
}

void spill_buffer::clear() {
    text_.clear();
    if (file_used_) {
        std::fclose(file_);
        file_ = nullptr;
        file_used_ = false;
    }
}

void json_export::pack_header(const ps_reader&, const pack_struct& pack) {
    pack_is_mpeg1_ = pack.stuffing == -1;
    in_pack_ = true;
    headers_.clear();
    packets_.clear();
    n_headers_ = n_packets_ = 0;
    head_.clear();
    head_ += "{\"offset\":";
    append_json_number(head_, pack.offset);
    head_ += ",\"scr\":";
    append_json_number(head_, pack.scr_base);
    if (!pack_is_mpeg1_) put_field(head_, ",\"ext\":", pack.ext);
    put_field(head_, ",\"mux\":", pack.mux);
    put_field(head_, ",\"stuffing\":", pack.stuffing);
}

void json_export::system_header(const ps_reader&, const system_header_struct& h) {
    std::string& line = headers_.text();
    if (n_headers_++ > 0) line += ',';
    line += "{\"starting_offset\":";
    append_json_number(line, h.starting_offset);
    put_field(line, ",\"header_length\":", h.header_length);
    put_field(line, ",\"rate_bound\":", h.rate_bound);
    put_field(line, ",\"audio_bound\":", h.audio_bound);
    put_field(line, ",\"fixed_flag\":", h.fixed_flag);
    put_field(line, ",\"csps_flag\":", h.csps_flag);
    put_field(line, ",\"system_audio_lock_flag\":", h.system_audio_lock_flag);
    put_field(line, ",\"system_video_lock_flag\":", h.system_video_lock_flag);
    put_field(line, ",\"video_bound\":", h.video_bound);
    put_field(line, ",\"packet_rate_restriction\":", h.packet_rate_restriction);
    line += ",\"buffer_info\":[";
    n_entries_ = 0;
}

void json_export::buffer_info(const ps_reader&, const buffer_info_struct& b) {
    std::string& line = headers_.text();
    if (n_entries_++ > 0) line += ',';
    line += "{\"stream_id\":";
    append_json_number(line, b.stream_id);
    put_field(line, ",\"std_buffer_bound_scale\":", b.std_buffer_bound_scale);
    put_field(line, ",\"std_buffer_size_bound\":", b.std_buffer_size_bound);
    put_field(line, ",\"actual_std_size\":", b.actual_std_size);
    line += '}';
    headers_.spill_if_large();
}

void json_export::system_header_end(const ps_reader&, const system_header_struct&) {
    headers_.text() += "]}";
    headers_.spill_if_large();
}

void json_export::packet_header(const ps_reader&, const packet_struct& p, const packet_header_detail& d) {
    if (d.stop != packet_header_detail::complete) return;
    std::string& line = packets_.text();
    if (n_packets_++ > 0) line += ',';
    line += "{\"stream_id\":";
    append_json_number(line, p.stream_id);
    line += ",\"stream_name\":";
    append_json_string(line, p.stream_name);
    put_field(line, ",\"length\":", p.length);
    line += ",\"starting_offset\":";
    append_json_number(line, p.starting_offset);
    line += ",\"ends_at\":";
    append_json_number(line, p.ends_at);
    if (pack_is_mpeg1_) put_field(line, ",\"header_stuffing_bytes\":", p.header_stuffing_bytes);
    put_field(line, ",\"pes_scrambling_code\":", p.pes_scrambling_code);
    put_field(line, ",\"data_alignment_indicator\":", p.data_alignment_indicator);
    put_field(line, ",\"copyright\":", p.copyright);
    put_field(line, ",\"original_or_copy\":", p.original_or_copy);
    put_field(line, ",\"std_buffer_scale\":", p.std_buffer_scale);
    put_field(line, ",\"std_buffer_size\":", p.std_buffer_size);
    put_field(line, ",\"std_buffer_size_bytes\":", p.std_buffer_size_bytes);
    put_time_stamp(line, ",\"pts\":", p.pts);
    put_time_stamp(line, ",\"dts\":", p.dts);
    put_field(line, ",\"pts_dts_flag\":", p.pts_dts_flag);
    put_field(line, ",\"pes_header_data_length\":", p.pes_header_data_length);
    put_field(line, ",\"es_rate\":", p.es_rate);
    put_field(line, ",\"trick_mode\":", p.trick_mode);
    put_field(line, ",\"additional_copy_info\":", p.additional_copy_info);
    put_field(line, ",\"previous_pes_packet_crc\":", p.previous_pes_packet_crc);
    put_field(line, ",\"extension_data\":", p.extension_data);
    line += '}';
    packets_.spill_if_large();
}

void json_export::pack_end(const ps_reader&, const pack_struct&) {
    if (!in_pack_) return;
    in_pack_ = false;
    std::fwrite(head_.data(), 1, head_.size(), out_);
    std::fputs(",\"system_headers\":[", out_);
    headers_.write_to(out_);
    std::fputs("],\"packets\":[", out_);
    packets_.write_to(out_);
    std::fputs("]}\n", out_);
}
