#include "psi.h"

#include "mpeg_crc32.h"

namespace {

constexpr uint8_t section_syntax_indicator_mask = 0x80;
constexpr uint8_t current_next_indicator_mask = 0x01;
constexpr size_t short_header = 3;  // table_id, flags and section_length
constexpr size_t long_header = 8;   // ... up to last_section_number
constexpr size_t crc_bytes = 4;

uint16_t pid_at(const uint8_t* p) { return static_cast<uint16_t>(((p[0] & 0x1F) << 8) | p[1]); }
uint16_t length12_at(const uint8_t* p) { return static_cast<uint16_t>(((p[0] & 0x0F) << 8) | p[1]); }

void read_typed(ts_descriptor& d) {
    const std::vector<uint8_t>& b = d.data;
    switch (d.tag) {
        case 0x05:  // registration: format_identifier 32, additional_identification_info
            if (b.size() >= 4)
                d.parsed = registration_info{(uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3]};
            break;
        case 0x0A: {  // ISO 639 language: { ISO_639_language_code 24, audio_type 8 } ...
            language_info info;
            for (size_t i = 0; i + 4 <= b.size(); i += 4)
                info.languages.push_back({std::string(b.begin() + i, b.begin() + i + 3), b[i + 3]});
            d.parsed = std::move(info);
            break;
        }
        case 0x0E:  // maximum bitrate: reserved 2, maximum_bitrate 22
            if (b.size() >= 3) d.parsed = maximum_bitrate_info{(uint32_t{b[0] & 0x3Fu} << 16) | (b[1] << 8) | b[2]};
            break;
        case 0x11:  // STD: reserved 7, leak_valid_flag 1
            if (b.size() >= 1) d.parsed = std_info{(b[0] & 0x01) != 0};
            break;
        case 0x6A:    // AC-3: component_type_flag bsid_flag mainid_flag asvc_flag reserved(4), then the flagged bytes
        case 0x7A: {  // enhanced AC-3: the same four flags, mixinfoexists, substream1/2/3_flag
            if (b.empty()) break;
            dvb_ac3_info info;
            info.enhanced = d.tag == 0x7A;
            const uint8_t flags = b[0];
            size_t at = 1;
            auto optional_byte = [&](uint8_t flag_mask, int32_t& field) {
                if (!(flags & flag_mask)) return true;
                if (at >= b.size()) return false;
                field = b[at++];
                return true;
            };
            bool ok = optional_byte(0x80, info.component_type) && optional_byte(0x40, info.bsid) &&
                      optional_byte(0x20, info.mainid) && optional_byte(0x10, info.asvc);
            if (info.enhanced && ok) {
                info.mixinfoexists = (flags & 0x08) ? 1 : 0;
                ok = optional_byte(0x04, info.substream1) && optional_byte(0x02, info.substream2) &&
                     optional_byte(0x01, info.substream3);
            }
            if (ok) d.parsed = info;
            break;
        }
        case 0x81:  // ATSC AC-3: sample_rate_code 3, bsid 5, bit_rate_code 6, surround_mode 2,
                    // bsmod 3, num_channels 4, full_svc 1, then language and text fields
            if (b.size() >= 3) {
                atsc_ac3_info info;
                info.sample_rate_code = b[0] >> 5;
                info.bsid = b[0] & 0x1F;
                info.bit_rate_code = b[1] >> 2;
                info.surround_mode = b[1] & 0x03;
                info.bsmod = b[2] >> 5;
                info.num_channels = (b[2] >> 1) & 0x0F;
                info.full_svc = (b[2] & 0x01) != 0;
                d.parsed = info;
            }
            break;
        default:
            break;
    }
}

}  // namespace

bool read_descriptors(const uint8_t* p, size_t n, std::vector<ts_descriptor>& out) {
    // descriptor() { descriptor_tag 8, descriptor_length 8, data ... }
    size_t at = 0;
    while (at < n) {
        if (n - at < 2 || n - at - 2 < p[at + 1]) return false;
        ts_descriptor d;
        d.tag = p[at];
        d.data.assign(p + at + 2, p + at + 2 + p[at + 1]);
        read_typed(d);
        out.push_back(std::move(d));
        at += 2 + p[at + 1];
    }
    return true;
}

bool read_section_header(const uint8_t* s, size_t n, psi_section_header& out) {
    if (n < short_header) return false;
    out.table_id = s[0];
    out.section_syntax_indicator = (s[1] & section_syntax_indicator_mask) != 0;
    out.section_length = length12_at(s + 1);
    if (!out.section_syntax_indicator) return true;
    if (n < long_header + crc_bytes) return false;
    out.table_id_extension = static_cast<uint16_t>((s[3] << 8) | s[4]);
    out.version_number = (s[5] >> 1) & 0x1F;
    out.current_next_indicator = (s[5] & current_next_indicator_mask) != 0;
    out.section_number = s[6];
    out.last_section_number = s[7];
    return true;
}

bool section_crc_ok(const uint8_t* section, size_t n) { return n >= crc_bytes && mpeg_crc32(section, n) == 0; }

// program_association_section() {
//   table_id 8 (0x00), section_syntax_indicator 1, '0' 1, reserved 2, section_length 12,
//   transport_stream_id 16, reserved 2, version_number 5, current_next_indicator 1,
//   section_number 8, last_section_number 8,
//   for (i = 0; i < N; i++) {
//     program_number 16, reserved 3,
//     if (program_number == 0) network_PID 13 else program_map_PID 13
//   }
//   CRC_32 32
// }
bool read_pat_section(const uint8_t* s, size_t n, ts_pat& pat, const char*& why) {
    if (n < long_header + crc_bytes) {
        why = "PAT section too short";
        return false;
    }
    const size_t loop = n - long_header - crc_bytes;
    if (loop % 4 != 0) {
        why = "PAT program loop not a multiple of 4 bytes";
        return false;
    }
    pat.transport_stream_id = static_cast<uint16_t>((s[3] << 8) | s[4]);
    pat.version_number = (s[5] >> 1) & 0x1F;
    for (const uint8_t* p = s + long_header; p < s + long_header + loop; p += 4) {
        const uint16_t program_number = static_cast<uint16_t>((p[0] << 8) | p[1]);
        if (program_number == 0)
            pat.network_pid = pid_at(p + 2);
        else
            pat.programs.push_back({program_number, pid_at(p + 2)});
    }
    return true;
}

// TS_program_map_section() {
//   table_id 8 (0x02), section_syntax_indicator 1, '0' 1, reserved 2, section_length 12,
//   program_number 16, reserved 2, version_number 5, current_next_indicator 1,
//   section_number 8, last_section_number 8,
//   reserved 3, PCR_PID 13,
//   reserved 4, program_info_length 12,
//   for (i = 0; i < N; i++) descriptor()
//   for (i = 0; i < N1; i++) {
//     stream_type 8, reserved 3, elementary_PID 13, reserved 4, ES_info_length 12,
//     for (i = 0; i < N2; i++) descriptor()
//   }
//   CRC_32 32
// }
bool read_pmt_section(const uint8_t* s, size_t n, ts_pmt& pmt, const char*& why) {
    constexpr size_t fixed = long_header + 4;  // through program_info_length
    if (n < fixed + crc_bytes) {
        why = "PMT section too short";
        return false;
    }
    const uint8_t* const end = s + n - crc_bytes;
    pmt.program_number = static_cast<uint16_t>((s[3] << 8) | s[4]);
    pmt.version_number = (s[5] >> 1) & 0x1F;
    pmt.pcr_pid = pid_at(s + 8);
    const size_t info_length = length12_at(s + 10);
    const uint8_t* p = s + fixed;
    if (static_cast<size_t>(end - p) < info_length || !read_descriptors(p, info_length, pmt.program_info)) {
        why = "program_info_length runs past the section";
        return false;
    }
    p += info_length;
    while (p < end) {
        if (end - p < 5) {
            why = "elementary stream entry cut short";
            return false;
        }
        ts_elementary_stream es;
        es.stream_type = p[0];
        es.elementary_pid = pid_at(p + 1);
        const size_t es_info_length = length12_at(p + 3);
        p += 5;
        if (static_cast<size_t>(end - p) < es_info_length || !read_descriptors(p, es_info_length, es.descriptors)) {
            why = "ES_info_length runs past the section";
            return false;
        }
        p += es_info_length;
        pmt.streams.push_back(std::move(es));
    }
    return true;
}

bool stream_type_carries_pes(uint8_t stream_type) {
    switch (stream_type) {
        case 0x05: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x14: case 0x16: case 0x19: case 0x86:
            return false;
        default:
            return true;
    }
}

const char* stream_type_name(uint8_t stream_type) {
    switch (stream_type) {
        case 0x01: return "MPEG-1 video";
        case 0x02: return "MPEG-2 video";
        case 0x03: return "MPEG-1 audio";
        case 0x04: return "MPEG-2 audio";
        case 0x05: return "private sections";
        case 0x06: return "PES private data";
        case 0x07: return "MHEG";
        case 0x08: return "DSM-CC";
        case 0x09: return "H.222.1";
        case 0x0A: return "DSM-CC type A";
        case 0x0B: return "DSM-CC type B";
        case 0x0C: return "DSM-CC type C";
        case 0x0D: return "DSM-CC type D";
        case 0x0E: return "auxiliary";
        case 0x0F: return "AAC audio (ADTS)";
        case 0x10: return "MPEG-4 visual";
        case 0x11: return "MPEG-4 audio (LATM)";
        case 0x12: return "MPEG-4 SL or FlexMux in PES";
        case 0x13: return "MPEG-4 SL or FlexMux in sections";
        case 0x14: return "DSM-CC synchronized download";
        case 0x15: return "metadata in PES";
        case 0x16: return "metadata in sections";
        case 0x1B: return "H.264 video";
        case 0x24: return "HEVC video";
        case 0x81: return "AC-3 audio (ATSC)";
        case 0x86: return "SCTE 35 splice information";
        case 0x87: return "E-AC-3 audio (ATSC)";
        default: return nullptr;
    }
}

const char* descriptor_tag_name(uint8_t tag) {
    switch (tag) {
        case 0x02: return "video_stream_descriptor";
        case 0x03: return "audio_stream_descriptor";
        case 0x04: return "hierarchy_descriptor";
        case 0x05: return "registration_descriptor";
        case 0x06: return "data_stream_alignment_descriptor";
        case 0x07: return "target_background_grid_descriptor";
        case 0x08: return "video_window_descriptor";
        case 0x09: return "CA_descriptor";
        case 0x0A: return "ISO_639_language_descriptor";
        case 0x0B: return "system_clock_descriptor";
        case 0x0C: return "multiplex_buffer_utilization_descriptor";
        case 0x0D: return "copyright_descriptor";
        case 0x0E: return "maximum_bitrate_descriptor";
        case 0x0F: return "private_data_indicator_descriptor";
        case 0x10: return "smoothing_buffer_descriptor";
        case 0x11: return "STD_descriptor";
        case 0x12: return "IBP_descriptor";
        case 0x1B: return "MPEG-4_video_descriptor";
        case 0x1C: return "MPEG-4_audio_descriptor";
        case 0x28: return "AVC_video_descriptor";
        case 0x2A: return "AVC_timing_and_HRD_descriptor";
        case 0x2B: return "MPEG-2_AAC_audio_descriptor";
        case 0x52: return "stream_identifier_descriptor";
        case 0x56: return "teletext_descriptor";
        case 0x59: return "subtitling_descriptor";
        case 0x6A: return "AC-3_descriptor";
        case 0x7A: return "enhanced_AC-3_descriptor";
        case 0x81: return "AC-3_audio_stream_descriptor";
        default: return nullptr;
    }
}
