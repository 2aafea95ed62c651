// Program-specific information of transport streams: the program
// association and program map tables with their descriptors, read from
// whole sections (ISO/IEC 13818-1 2.4.4).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

// ---------------------------------------------------------------------------
// Descriptors.  Every descriptor keeps its tag and raw bytes; the ones below
// are also read into typed fields when their bytes are long enough.

// registration_descriptor (tag 0x05).
struct registration_info {
    uint32_t format_identifier = 0;  // four characters, first one highest ("AC-3" = 0x41432D33)
};

// ISO_639_language_descriptor (tag 0x0A): one entry per language.
struct language_info {
    struct entry {
        std::string code;    // ISO_639_language_code: 3 bytes, as they stand
        uint8_t audio_type;  // 0 undefined, 1 clean effects, 2 hearing impaired, 3 visual impaired commentary
    };
    std::vector<entry> languages;
};

// STD_descriptor (tag 0x11).
struct std_info {
    bool leak_valid = false;  // leak_valid_flag
};

// maximum_bitrate_descriptor (tag 0x0E).
struct maximum_bitrate_info {
    uint32_t maximum_bitrate = 0;  // in units of 50 bytes per second
    uint64_t bytes_per_second() const { return uint64_t{maximum_bitrate} * 50; }
};

// DVB AC-3_descriptor (tag 0x6A) and enhanced_AC-3_descriptor (tag 0x7A).
// Each field is -1 when its flag is 0; the substream and mixinfoexists
// fields exist in the enhanced descriptor only.
struct dvb_ac3_info {
    bool enhanced = false;  // tag 0x7A
    int32_t component_type = -1;
    int32_t bsid = -1;
    int32_t mainid = -1;
    int32_t asvc = -1;
    int32_t mixinfoexists = -1;  // enhanced only: 0 or 1
    int32_t substream1 = -1;
    int32_t substream2 = -1;
    int32_t substream3 = -1;
};

// ATSC AC-3 audio descriptor (tag 0x81): its first three bytes, which are
// always there; the language and text fields after them stay in `data`.
struct atsc_ac3_info {
    uint8_t sample_rate_code = 0;  // 3 bits
    uint8_t bsid = 0;              // 5 bits
    uint8_t bit_rate_code = 0;     // 6 bits
    uint8_t surround_mode = 0;     // 2 bits
    uint8_t bsmod = 0;             // 3 bits
    uint8_t num_channels = 0;      // 4 bits
    bool full_svc = false;
};

struct ts_descriptor {
    uint8_t tag = 0;
    std::vector<uint8_t> data;  // the descriptor's bytes after tag and length
    // Typed reading of the tags above; std::monostate for other tags (the
    // AVC video descriptor 0x28 and AVC timing and HRD descriptor 0x2A
    // among them) and for a known tag whose bytes are too short.
    std::variant<std::monostate, registration_info, language_info, std_info, maximum_bitrate_info, dvb_ac3_info,
                 atsc_ac3_info>
        parsed;
};

// Reads a descriptor loop of `n` bytes.  False when a descriptor runs past
// the end of the loop (the descriptors before it are kept).
bool read_descriptors(const uint8_t* p, size_t n, std::vector<ts_descriptor>& out);

// ---------------------------------------------------------------------------
// Sections.

// The fields at the front of every section; the last five only in the long
// form (section_syntax_indicator 1).
struct psi_section_header {
    uint8_t table_id = 0;
    bool section_syntax_indicator = false;
    uint16_t section_length = 0;      // bytes after this field, CRC_32 included
    uint16_t table_id_extension = 0;  // transport_stream_id in the PAT, program_number in the PMT
    uint8_t version_number = 0;
    bool current_next_indicator = false;
    uint8_t section_number = 0;
    uint8_t last_section_number = 0;
};

// Reads the header of a whole section of `n` bytes (3 + section_length).
// False when the section is too short for the long-form header or for its
// CRC_32.
bool read_section_header(const uint8_t* section, size_t n, psi_section_header& out);

// True when the CRC_32 at the end of the section checks.
bool section_crc_ok(const uint8_t* section, size_t n);

struct ts_program {
    uint16_t program_number = 0;
    uint16_t pmt_pid = 0;  // program_map_PID
};

// A program association table, from all of its sections.
struct ts_pat {
    uint16_t transport_stream_id = 0;
    uint8_t version_number = 0;
    int32_t network_pid = -1;  // program 0's network_PID, -1 when the table names none
    std::vector<ts_program> programs;  // in the order of the sections, program 0 left out
    int64_t offset = -1;  // transport packet in which the table was completed
};

struct ts_elementary_stream {
    uint8_t stream_type = 0;
    uint16_t elementary_pid = 0;
    std::vector<ts_descriptor> descriptors;  // ES_info
};

// A program map table (one section, one program).
struct ts_pmt {
    uint16_t pid = 0;  // the PID it was carried on
    uint16_t program_number = 0;
    uint8_t version_number = 0;
    uint16_t pcr_pid = 0;  // 0x1FFF: no PCR for this program
    std::vector<ts_descriptor> program_info;
    std::vector<ts_elementary_stream> streams;
    int64_t offset = -1;  // transport packet in which the section was completed
};

// Adds the program loop of one PAT section (long-form header and CRC_32
// included in `n`) to `pat`.  False, with the reason in `why`, when the
// loop's length is not a multiple of 4.
bool read_pat_section(const uint8_t* section, size_t n, ts_pat& pat, const char*& why);

// Reads a whole PMT section.  False, with the reason in `why`, when a length
// inside it does not fit.
bool read_pmt_section(const uint8_t* section, size_t n, ts_pmt& pmt, const char*& why);

// Whether an elementary stream of this stream_type is carried in PES
// packets.  False for the types that carry sections: private sections
// (0x05), DSM-CC (0x0A-0x0D, 0x14), metadata sections (0x16, 0x19) and
// SCTE 35 splice information (0x86, user private).
bool stream_type_carries_pes(uint8_t stream_type);

// Short names for dumps: "MPEG-2 video", "AAC audio (ADTS)", ...; nullptr
// for a stream_type or descriptor tag these tables do not name.
const char* stream_type_name(uint8_t stream_type);
const char* descriptor_tag_name(uint8_t tag);
