// The analyser's stream: one parse at a time of the file the user chose,
// whose packs are kept in the all-packs list (model.h) for the views, the
// Scheme plug-ins and the buffer replay.  The settings below are the
// analyser's choices for that parse; each parse runs a `ps_reader` of its
// own with the observers they call for.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "model.h"
#include "ps_reader.h"

// Settings, chosen before a parse.
extern bool _export_is_text_dump;         // the text dump goes to standard output
extern bool _extract_streams;             // payloads go to the extraction files
extern bool _streamable_extract_streams;  // and to the streamable plug-ins
extern bool _exit_on_stream_error;        // the parse ends at the first stream error
// Directory that holds the extraction files; empty for the working
// directory.  The analyser points it at a private directory of its own.
extern std::string _extraction_directory;

// What happens to a finished pack; `collect_pack` by default.
using pack_sink_fn = void (*)(std::unique_ptr<pack_struct>);
extern pack_sink_fn _pack_sink;

// Streamable plug-in hook: handed each 13818-1 PES payload of a stream
// whose extraction file is open (nothing when no hook is installed).
using streamable_hook_fn = void (*)(pack_struct* pack, packet_struct* packet, const unsigned char* data, int length);
extern streamable_hook_fn _streamable_plugins_hook;
void execute_buffer_streamable_plugins(pack_struct* pack, packet_struct* packet, const unsigned char* data,
                                       int length);

// Told once per extraction file that cannot be opened or written, with the
// file's path and the error number.
using extraction_error_fn = void (*)(const std::string& path, int error_number);
extern extraction_error_fn _extraction_error_hook;

// Called after each finished pack, and every 64 KiB of bytes skipped
// between packs, with the offset reached; returning false stops the parse
// there (the packs read so far stay handed to the sink).
using parse_progress_fn = bool (*)(int64_t position);
extern parse_progress_fn _parse_progress_hook;

// What the last parse found.
extern bool _parse_cancelled;
extern uint64_t _n_packs;
extern int32_t _mpeg_systems_format;  // 1 = program stream, 0 = MPEG-1 system stream
extern uint32_t _first_4_bytes;       // the stream's first four bytes, 0xFF past its end
extern uint64_t _stream_errors;       // stream errors met

// Parses the file, attaching the observers the settings call for.
void parse_mpeg_file(const char* path);
// The same over a descriptor the caller has opened (and checked) itself,
// taken over by the parser; `path` is the name it keeps for the stream.  A
// caller that must not block in open opens with O_NONBLOCK; the parse reads
// in blocking mode.
void parse_mpeg_fd(int fd, const char* path);
// The same over an opened file, without keeping a name or a descriptor.
void parse_mpeg_stream(FILE* fp);
const char* get_mpeg_file_name();
// A descriptor of the stream file that the last successful
// `parse_mpeg_file` opened, kept open after the parse so that a later
// replay reads the same file again without opening it by name; -1 when
// that file is not a regular file (it could not be read twice) or before
// the first parse.  Closed by the next parse.
int parsed_stream_fd();

// The last parse's file name and kept descriptor, set aside while another
// parse runs so that they can be put back when its result is not kept (a
// file that holds no pack, a cancelled parse).
struct parsed_stream_struct {
    std::string name;
    bool name_set = false;
    int fd = -1;
};
// Takes them from the parser, which then has none.
parsed_stream_struct set_aside_parsed_stream();
// Makes them the parser's again, closing the descriptor a later parse kept.
void restore_parsed_stream(parsed_stream_struct& saved);
// Closes what was set aside when it is no longer needed.
void release_parsed_stream(parsed_stream_struct& saved);

// Path of a stream's extraction file: "0x<id>.mpeg" in the extraction
// directory.
std::string extraction_file_path(uint8_t stream_id);
// Removes the extraction files ("0x..mpeg") from the extraction directory.
void delete_extracted_streams();

// Name of a program-stream stream_id, and whether its packets carry the
// optional PES header.  Unknown ids give nullptr.
inline const char* pes_stream_name(uint8_t stream_id, bool* has_optional_header) {
    return ps_reader::pes_stream_name(stream_id, has_optional_header);
}
