#include "ts_dump.h"

#include <charconv>
#include <variant>

#include "json_string.h"
#include "text_dump.h"

namespace {

unsigned long long hex(int64_t offset) { return static_cast<unsigned long long>(offset); }
unsigned long long u64(uint64_t value) { return static_cast<unsigned long long>(value); }

constexpr const char* const audio_type_names[] = {"undefined", "clean effects", "hearing impaired",
                                                  "visual impaired commentary"};

// Four bytes as text: printable ASCII as it stands, any other byte as '.'.
std::string printable(std::string_view bytes) {
    std::string out(bytes);
    for (char& c : out)
        if (c < 0x20 || c > 0x7E) c = '.';
    return out;
}

std::string four_characters(uint32_t value) {
    const char c[] = {static_cast<char>(value >> 24), static_cast<char>(value >> 16), static_cast<char>(value >> 8),
                      static_cast<char>(value)};
    return std::string(c, 4);
}

// ---------------------------------------------------------------------------
// JSON pieces.


// `key` carries its leading comma and quotes: ",\"pid\":".
template <typename T>
void put(std::string& line, const char* key, T value) {
    line += key;
    append_json_number(line, value);
}

// An int32_t field that is -1 when absent.
void put_field(std::string& line, const char* key, int32_t value) {
    if (value != -1) put(line, key, value);
}

void put_time(std::string& line, const char* key, uint64_t value) {
    if (value != absent_ts) put(line, key, value);
}

void put_string(std::string& line, const char* key, std::string_view text) {
    line += key;
    append_json_string(line, text);
}

void put_hex_bytes(std::string& line, const char* key, const std::vector<uint8_t>& data) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t b : data) {
        text += digits[b >> 4];
        text += digits[b & 0x0F];
    }
    put_string(line, key, text);
}

void put_descriptors(std::string& line, const std::vector<ts_descriptor>& descriptors) {
    line += '[';
    for (size_t i = 0; i < descriptors.size(); ++i) {
        const ts_descriptor& d = descriptors[i];
        if (i > 0) line += ',';
        put(line, "{\"tag\":", d.tag);
        put(line, ",\"length\":", d.data.size());
        put_hex_bytes(line, ",\"data\":", d.data);
        if (auto* r = std::get_if<registration_info>(&d.parsed)) {
            put(line, ",\"format_identifier\":", r->format_identifier);
            put_string(line, ",\"format_identifier_text\":", four_characters(r->format_identifier));
        } else if (auto* l = std::get_if<language_info>(&d.parsed)) {
            line += ",\"languages\":[";
            for (size_t k = 0; k < l->languages.size(); ++k) {
                if (k > 0) line += ',';
                put_string(line, "{\"code\":", l->languages[k].code);
                put(line, ",\"audio_type\":", l->languages[k].audio_type);
                line += '}';
            }
            line += ']';
        } else if (auto* s = std::get_if<std_info>(&d.parsed)) {
            put(line, ",\"leak_valid_flag\":", s->leak_valid ? 1 : 0);
        } else if (auto* m = std::get_if<maximum_bitrate_info>(&d.parsed)) {
            put(line, ",\"maximum_bitrate\":", m->maximum_bitrate);
            put(line, ",\"maximum_bitrate_bps\":", m->bytes_per_second() * 8);
        } else if (auto* a = std::get_if<dvb_ac3_info>(&d.parsed)) {
            put_field(line, ",\"component_type\":", a->component_type);
            put_field(line, ",\"bsid\":", a->bsid);
            put_field(line, ",\"mainid\":", a->mainid);
            put_field(line, ",\"asvc\":", a->asvc);
            put_field(line, ",\"mixinfoexists\":", a->mixinfoexists);
            put_field(line, ",\"substream1\":", a->substream1);
            put_field(line, ",\"substream2\":", a->substream2);
            put_field(line, ",\"substream3\":", a->substream3);
        } else if (auto* c = std::get_if<atsc_ac3_info>(&d.parsed)) {
            put(line, ",\"sample_rate_code\":", c->sample_rate_code);
            put(line, ",\"bsid\":", c->bsid);
            put(line, ",\"bit_rate_code\":", c->bit_rate_code);
            put(line, ",\"surround_mode\":", c->surround_mode);
            put(line, ",\"bsmod\":", c->bsmod);
            put(line, ",\"num_channels\":", c->num_channels);
            put(line, ",\"full_svc\":", c->full_svc ? 1 : 0);
        }
        line += '}';
    }
    line += ']';
}

}  // namespace

const char* ts_pes_end_text(const ts_pes& pes) {
    switch (pes.end_reason) {
        case ts_pes_end_reason::length_reached: return "PES_packet_length reached";
        case ts_pes_end_reason::next_unit_start:
            return pes.complete ? "next payload_unit_start" : "cut short by the next payload_unit_start";
        case ts_pes_end_reason::end_of_input:
            return pes.complete ? "end of the input" : "cut short by the end of the input";
        case ts_pes_end_reason::continuity: return "packets of its PID are missing";
        case ts_pes_end_reason::transport_error: return "a packet of its PID has transport_error_indicator set";
        case ts_pes_end_reason::scrambled: return "a packet of its PID is scrambled";
        case ts_pes_end_reason::malformed_packet: return "a packet of its PID has a malformed adaptation field";
        case ts_pes_end_reason::pid_dropped: break;
    }
    return "its PID left the program tables";
}

// ---------------------------------------------------------------------------
// What both dumps remember.

void ts_dump_base::on_packet(const ts_reader&, const ts_packet_info& packet) {
    last_packet_offset_ = packet.offset;
    last_continuity_counter_ = packet.continuity_counter;
    last_missing_packets_ = packet.missing_packets;
}

void ts_dump_base::on_error(const ts_reader&, const stream_error& e) {
    ++errors_;
    if (e.kind == stream_error_kind::sync_loss) {
        sync_error_ = e;  // told with the loss that follows
        return;
    }
    const bool continuity = e.kind == stream_error_kind::continuity && e.offset == last_packet_offset_;
    error(e, continuity ? last_continuity_counter_ : -1, continuity ? last_missing_packets_ : -1, nullptr);
}

void ts_dump_base::on_sync_loss(const ts_reader&, const ts_sync_loss& loss) {
    error(sync_error_, -1, -1, &loss);
}

// ---------------------------------------------------------------------------
// Text.

void ts_text_dump::on_pcr(const ts_reader&, const ts_packet_info& packet, const ts_clock_reference& pcr) {
    std::fprintf(out_, "PCR [0x%llx]\n", hex(packet.offset));
    std::fprintf(out_, "\tPID = 0x%x\n", packet.pid);
    std::fprintf(out_, "\tprogram_clock_reference_base = %llu\n", u64(pcr.base));
    std::fprintf(out_, "\tprogram_clock_reference_extension = %u\n", pcr.extension);
    std::fprintf(out_, "\tPCR = %llu (27 MHz)\n", u64(pcr.value_27mhz()));
}

void ts_text_dump::on_pat(const ts_reader&, const ts_pat& pat) {
    std::fprintf(out_, "PAT [0x%llx]\n", hex(pat.offset));
    std::fprintf(out_, "\ttransport_stream_id = %u\n", pat.transport_stream_id);
    std::fprintf(out_, "\tversion_number = %u\n", pat.version_number);
    if (pat.network_pid >= 0) std::fprintf(out_, "\tnetwork_PID = 0x%x\n", pat.network_pid);
    for (const ts_program& p : pat.programs) {
        std::fprintf(out_, "\tProgram %u\n", p.program_number);
        std::fprintf(out_, "\t\tprogram_map_PID = 0x%x\n", p.pmt_pid);
    }
}

void ts_text_dump::print_descriptors(const std::vector<ts_descriptor>& descriptors, const char* in) {
    for (const ts_descriptor& d : descriptors) {
        std::fprintf(out_, "%sDescriptor\n", in);
        const char* name = descriptor_tag_name(d.tag);
        std::fprintf(out_, "%s\tdescriptor_tag = 0x%02x%s%s%s\n", in, d.tag, name ? " (" : "", name ? name : "",
                     name ? ")" : "");
        std::fprintf(out_, "%s\tdescriptor_length = %zu\n", in, d.data.size());
        bool raw = false;
        if (auto* r = std::get_if<registration_info>(&d.parsed)) {
            std::fprintf(out_, "%s\tformat_identifier = \"%s\" (0x%08x)\n", in,
                         printable(four_characters(r->format_identifier)).c_str(), r->format_identifier);
        } else if (auto* l = std::get_if<language_info>(&d.parsed)) {
            for (const language_info::entry& e : l->languages) {
                std::fprintf(out_, "%s\tISO_639_language_code = \"%s\"\n", in, printable(e.code).c_str());
                std::fprintf(out_, "%s\taudio_type = %u%s%s%s\n", in, e.audio_type, e.audio_type < 4 ? " (" : "",
                             e.audio_type < 4 ? audio_type_names[e.audio_type] : "", e.audio_type < 4 ? ")" : "");
            }
        } else if (auto* s = std::get_if<std_info>(&d.parsed)) {
            std::fprintf(out_, "%s\tleak_valid_flag = %d\n", in, s->leak_valid ? 1 : 0);
        } else if (auto* m = std::get_if<maximum_bitrate_info>(&d.parsed)) {
            std::fprintf(out_, "%s\tmaximum_bitrate = %u (%llu bit/s)\n", in, m->maximum_bitrate,
                         u64(m->bytes_per_second() * 8));
        } else if (auto* a = std::get_if<dvb_ac3_info>(&d.parsed)) {
            const std::pair<const char*, int32_t> fields[] = {
                {"component_type", a->component_type}, {"bsid", a->bsid},
                {"mainid", a->mainid},                 {"asvc", a->asvc},
                {"mixinfoexists", a->mixinfoexists},   {"substream1", a->substream1},
                {"substream2", a->substream2},         {"substream3", a->substream3}};
            for (const auto& [field, value] : fields)
                if (value >= 0) std::fprintf(out_, "%s\t%s = 0x%02x\n", in, field, value);
        } else if (auto* c = std::get_if<atsc_ac3_info>(&d.parsed)) {
            std::fprintf(out_, "%s\tsample_rate_code = %u\n", in, c->sample_rate_code);
            std::fprintf(out_, "%s\tbsid = %u\n", in, c->bsid);
            std::fprintf(out_, "%s\tbit_rate_code = %u\n", in, c->bit_rate_code);
            std::fprintf(out_, "%s\tsurround_mode = %u\n", in, c->surround_mode);
            std::fprintf(out_, "%s\tbsmod = %u\n", in, c->bsmod);
            std::fprintf(out_, "%s\tnum_channels = %u\n", in, c->num_channels);
            std::fprintf(out_, "%s\tfull_svc = %d\n", in, c->full_svc ? 1 : 0);
            raw = d.data.size() > 3;  // the language and text fields that follow stay bytes
        } else {
            raw = !d.data.empty();
        }
        if (raw) {
            std::fprintf(out_, "%s\tdata =", in);
            for (uint8_t b : d.data) std::fprintf(out_, " %02x", b);
            std::fputc('\n', out_);
        }
    }
}

void ts_text_dump::on_pmt(const ts_reader&, const ts_pmt& pmt) {
    std::fprintf(out_, "PMT [0x%llx]\n", hex(pmt.offset));
    std::fprintf(out_, "\tPID = 0x%x\n", pmt.pid);
    std::fprintf(out_, "\tprogram_number = %u\n", pmt.program_number);
    std::fprintf(out_, "\tversion_number = %u\n", pmt.version_number);
    std::fprintf(out_, "\tPCR_PID = 0x%x%s\n", pmt.pcr_pid, pmt.pcr_pid == null_pid ? " (none)" : "");
    print_descriptors(pmt.program_info, "\t");
    for (const ts_elementary_stream& es : pmt.streams) {
        std::fputs("\tStream\n", out_);
        const char* name = stream_type_name(es.stream_type);
        std::fprintf(out_, "\t\tstream_type = 0x%02x%s%s%s\n", es.stream_type, name ? " (" : "", name ? name : "",
                     name ? ")" : "");
        std::fprintf(out_, "\t\telementary_PID = 0x%x\n", es.elementary_pid);
        print_descriptors(es.descriptors, "\t\t");
    }
}

// The header's fields under the program-stream dump's names; the flags
// that the header reader does not keep are told from the fields they bring.
void ts_text_dump::print_pes_header(const ts_pes& pes) {
    const packet_struct& p = pes.header;
    const pes_header_extra& x = pes.extra;
    std::fprintf(out_, "\tpes_scrambling_control = %d\n", p.pes_scrambling_code);
    std::fprintf(out_, "\tPES_priority = %d\n", x.pes_priority);
    std::fprintf(out_, "\tdata_alignment_indicator = %d\n", p.data_alignment_indicator);
    std::fprintf(out_, "\tcopyright = %d\n", p.copyright);
    std::fprintf(out_, "\toriginal_or_copy = %d\n", p.original_or_copy);
    std::fprintf(out_, "\tPTS_DTS_flags = %d\n", p.pts_dts_flag);
    std::fprintf(out_, "\tESCR_flag = %d\n", x.escr_base != absent_ts);
    std::fprintf(out_, "\tES_rate_flag = %d\n", p.es_rate != -1);
    std::fprintf(out_, "\tDSM_trick_mode_flag = %d\n", p.trick_mode != -1);
    std::fprintf(out_, "\tadditional_copy_info_flag = %d\n", p.additional_copy_info != -1);
    std::fprintf(out_, "\tPES_CRC_flag = %d\n", p.previous_pes_packet_crc != -1);
    std::fprintf(out_, "\tPES_extension_flag = %d\n", p.extension_data == 1);
    std::fprintf(out_, "\tpes_header_data_length = %d\n", p.pes_header_data_length);
    if (p.pts != absent_ts) std::fprintf(out_, "\tPTS = %llu\n", u64(p.pts));
    if (p.dts != absent_ts) std::fprintf(out_, "\tDTS = %llu\n", u64(p.dts));
    if (x.escr_base != absent_ts) {
        std::fprintf(out_, "\tESCR_base = %llu\n", u64(x.escr_base));
        std::fprintf(out_, "\tESCR_extension = %d\n", x.escr_extension);
    }
    if (p.es_rate != -1) std::fprintf(out_, "\tes_rate = %d\n", p.es_rate);
    if (p.trick_mode != -1) print_trick_mode(out_, "\t", p.trick_mode, x.trick_mode_byte);
    if (p.additional_copy_info != -1) std::fprintf(out_, "\tadditional_copy_info = %d\n", p.additional_copy_info);
    if (p.previous_pes_packet_crc != -1)
        std::fprintf(out_, "\tprevious_PES_packet_CRC = %d\n", p.previous_pes_packet_crc);
    if (p.extension_data == 1) {
        std::fputs("\textension_data -\n", out_);
        std::fprintf(out_, "\t\tPES_private_data_flag = %d\n", x.pes_private_data == 1);
        std::fprintf(out_, "\t\tpack_header_field_flag = %d\n", x.pack_field_length != -1);
        std::fprintf(out_, "\t\tprogram_packet_sequence_counter_flag = %d\n", x.program_packet_sequence_counter != -1);
        std::fprintf(out_, "\t\tP-STD_buffer_flag = %d\n", p.std_buffer_scale != -1);
        std::fprintf(out_, "\t\tPES_extension_flag_2 = %d\n", x.pes_extension_field_length != -1);
        if (x.pack_field_length != -1) std::fprintf(out_, "\t\tpack_field_length = %d\n", x.pack_field_length);
        if (x.program_packet_sequence_counter != -1) {
            std::fprintf(out_, "\t\tprogram_packet_sequence_counter = %d\n", x.program_packet_sequence_counter);
            std::fprintf(out_, "\t\tMPEG1_MPEG2_identifier = %d\n", x.mpeg1_mpeg2_identifier);
            std::fprintf(out_, "\t\toriginal_stuff_length = %d\n", x.original_stuff_length);
        }
        if (p.std_buffer_scale != -1) {
            std::fprintf(out_, "\t\tP-STD_buffer_scale = %d\n", p.std_buffer_scale);
            std::fprintf(out_, "\t\tP-STD_buffer_size = %d\n", p.std_buffer_size);
            std::fprintf(out_, "\t\tP-STD_actual_buffer_size = %d\n", p.std_buffer_size_bytes);
        }
        if (x.pes_extension_field_length != -1)
            std::fprintf(out_, "\t\tPES_extension_field_length = %d\n", x.pes_extension_field_length);
        if (x.stream_id_extension != -1)
            std::fprintf(out_, "\t\tstream_id_extension = 0x%x\n", x.stream_id_extension);
    }
    if (x.stuffing_bytes > 0) std::fprintf(out_, "\tstuffing_bytes = %d\n", x.stuffing_bytes);
}

void ts_text_dump::on_pes_end(const ts_reader&, const ts_pes& pes) {
    const packet_struct& p = pes.header;
    std::fprintf(out_, "PES [0x%llx]\n", hex(p.starting_offset));
    std::fprintf(out_, "\tPID = 0x%x\n", pes.pid);
    std::fprintf(out_, "\tstream_id = 0x%x  (%s)\n", p.stream_id, p.stream_name.c_str());
    std::fprintf(out_, "\tpes_packet_length = %d (ends @ 0x%llx)\n", p.length, hex(p.ends_at));
    if (p.pes_scrambling_code != -1) print_pes_header(pes);
    std::fprintf(out_, "\tpayload_bytes = %llu\n", u64(pes.payload_bytes));
    std::fprintf(out_, "\tTS_packets = %u\n", pes.ts_packets);
    std::fprintf(out_, "\tend = %s (%s)\n", pes.complete ? "complete" : "incomplete", ts_pes_end_text(pes));
}

void ts_text_dump::error(const stream_error& e, int32_t continuity_counter, int32_t missing_packets,
                         const ts_sync_loss* loss) {
    std::fprintf(out_, "Error [0x%llx]\n", hex(e.offset));
    std::fprintf(out_, "\tkind = %s\n", stream_error_kind_name(e.kind));
    if (e.pid >= 0) std::fprintf(out_, "\tPID = 0x%x\n", e.pid);
    if (continuity_counter >= 0) {
        std::fprintf(out_, "\tcontinuity_counter = %d\n", continuity_counter);
        std::fprintf(out_, "\tmissing_packets = %d\n", missing_packets);
    }
    if (loss) {
        std::fprintf(out_, "\tlost_at = 0x%llx\n", hex(loss->lost_at));
        if (loss->regained_at >= 0) std::fprintf(out_, "\tregained_at = 0x%llx\n", hex(loss->regained_at));
        std::fprintf(out_, "\tskipped_bytes = %lld\n", static_cast<long long>(loss->skipped_bytes));
    }
    std::fprintf(out_, "\tmessage = %s\n", e.message.c_str());
}

// ---------------------------------------------------------------------------
// JSON Lines.

void ts_json_export::write_line() {
    line_ += "}\n";
    std::fwrite(line_.data(), 1, line_.size(), out_);
    line_.clear();
}

void ts_json_export::on_pcr(const ts_reader&, const ts_packet_info& packet, const ts_clock_reference& pcr) {
    put(line_, "{\"type\":\"pcr\",\"offset\":", packet.offset);
    put(line_, ",\"pid\":", packet.pid);
    put(line_, ",\"base\":", pcr.base);
    put(line_, ",\"extension\":", pcr.extension);
    put(line_, ",\"value_27mhz\":", pcr.value_27mhz());
    write_line();
}

void ts_json_export::on_pat(const ts_reader&, const ts_pat& pat) {
    put(line_, "{\"type\":\"pat\",\"offset\":", pat.offset);
    put(line_, ",\"transport_stream_id\":", pat.transport_stream_id);
    put(line_, ",\"version_number\":", pat.version_number);
    put_field(line_, ",\"network_pid\":", pat.network_pid);
    line_ += ",\"programs\":[";
    for (size_t i = 0; i < pat.programs.size(); ++i) {
        if (i > 0) line_ += ',';
        put(line_, "{\"program_number\":", pat.programs[i].program_number);
        put(line_, ",\"pmt_pid\":", pat.programs[i].pmt_pid);
        line_ += '}';
    }
    line_ += ']';
    write_line();
}

void ts_json_export::on_pmt(const ts_reader&, const ts_pmt& pmt) {
    put(line_, "{\"type\":\"pmt\",\"offset\":", pmt.offset);
    put(line_, ",\"pid\":", pmt.pid);
    put(line_, ",\"program_number\":", pmt.program_number);
    put(line_, ",\"version_number\":", pmt.version_number);
    put(line_, ",\"pcr_pid\":", pmt.pcr_pid);
    line_ += ",\"descriptors\":";
    put_descriptors(line_, pmt.program_info);
    line_ += ",\"streams\":[";
    for (size_t i = 0; i < pmt.streams.size(); ++i) {
        const ts_elementary_stream& es = pmt.streams[i];
        if (i > 0) line_ += ',';
        put(line_, "{\"stream_type\":", es.stream_type);
        put(line_, ",\"elementary_pid\":", es.elementary_pid);
        line_ += ",\"descriptors\":";
        put_descriptors(line_, es.descriptors);
        line_ += '}';
    }
    line_ += ']';
    write_line();
}

void ts_json_export::on_pes_end(const ts_reader&, const ts_pes& pes) {
    const packet_struct& p = pes.header;
    const pes_header_extra& x = pes.extra;
    std::string& l = line_;
    put(l, "{\"type\":\"pes\",\"offset\":", p.starting_offset);
    put(l, ",\"pid\":", pes.pid);
    put(l, ",\"program_number\":", pes.program_number);
    put(l, ",\"stream_type\":", pes.stream_type);
    put(l, ",\"stream_id\":", p.stream_id);
    put_string(l, ",\"stream_name\":", p.stream_name);
    put(l, ",\"length\":", p.length);
    put(l, ",\"ends_at\":", p.ends_at);
    put_field(l, ",\"pes_scrambling_code\":", p.pes_scrambling_code);
    put_field(l, ",\"pes_priority\":", x.pes_priority);
    put_field(l, ",\"data_alignment_indicator\":", p.data_alignment_indicator);
    put_field(l, ",\"copyright\":", p.copyright);
    put_field(l, ",\"original_or_copy\":", p.original_or_copy);
    put_field(l, ",\"std_buffer_scale\":", p.std_buffer_scale);
    put_field(l, ",\"std_buffer_size\":", p.std_buffer_size);
    put_field(l, ",\"std_buffer_size_bytes\":", p.std_buffer_size_bytes);
    put_time(l, ",\"pts\":", p.pts);
    put_time(l, ",\"dts\":", p.dts);
    put_field(l, ",\"pts_dts_flag\":", p.pts_dts_flag);
    put_field(l, ",\"pes_header_data_length\":", p.pes_header_data_length);
    put_time(l, ",\"escr_base\":", x.escr_base);
    put_field(l, ",\"escr_extension\":", x.escr_extension);
    put_field(l, ",\"es_rate\":", p.es_rate);
    put_field(l, ",\"trick_mode\":", p.trick_mode);
    put_field(l, ",\"trick_mode_byte\":", x.trick_mode_byte);
    put_field(l, ",\"additional_copy_info\":", p.additional_copy_info);
    put_field(l, ",\"previous_pes_packet_crc\":", p.previous_pes_packet_crc);
    put_field(l, ",\"extension_data\":", p.extension_data);
    put_field(l, ",\"pes_private_data\":", x.pes_private_data);
    put_field(l, ",\"pack_field_length\":", x.pack_field_length);
    put_field(l, ",\"program_packet_sequence_counter\":", x.program_packet_sequence_counter);
    put_field(l, ",\"mpeg1_mpeg2_identifier\":", x.mpeg1_mpeg2_identifier);
    put_field(l, ",\"original_stuff_length\":", x.original_stuff_length);
    put_field(l, ",\"pes_extension_field_length\":", x.pes_extension_field_length);
    put_field(l, ",\"stream_id_extension\":", x.stream_id_extension);
    if (p.pes_scrambling_code != -1) put(l, ",\"stuffing_bytes\":", x.stuffing_bytes);
    put(l, ",\"header_bytes\":", pes.header_bytes);
    put(l, ",\"payload_bytes\":", pes.payload_bytes);
    put(l, ",\"ts_packets\":", pes.ts_packets);
    put(l, ",\"complete\":", pes.complete ? 1 : 0);
    put_string(l, ",\"end_reason\":", ts_pes_end_reason_name(pes.end_reason));
    write_line();
}

void ts_json_export::error(const stream_error& e, int32_t continuity_counter, int32_t missing_packets,
                           const ts_sync_loss* loss) {
    put(line_, "{\"type\":\"error\",\"offset\":", e.offset);
    put_string(line_, ",\"kind\":", stream_error_kind_name(e.kind));
    put_field(line_, ",\"pid\":", e.pid);
    put_field(line_, ",\"continuity_counter\":", continuity_counter);
    put_field(line_, ",\"missing_packets\":", missing_packets);
    if (loss) {
        put(line_, ",\"lost_at\":", loss->lost_at);
        if (loss->regained_at >= 0) put(line_, ",\"regained_at\":", loss->regained_at);
        put(line_, ",\"skipped_bytes\":", loss->skipped_bytes);
    }
    put_string(line_, ",\"message\":", e.message);
    write_line();
}
