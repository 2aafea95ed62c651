// Systems-stream parser: the byte reader with its start-code shift register,
// the pack, system-header and packet readers of both stream formats, the
// payload sink with its extraction files, and the settings each program
// chooses before it parses.
//
// The parser state is process-wide: one parse at a time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "model.h"

// ---------------------------------------------------------------------------
// Input stream with its own block buffer.  Reading a byte behaves like getc on
// a buffered file: the end-of-file flag is raised by the first read that finds
// no byte, never by the read of the last byte.
class stream_input {
public:
    stream_input() = default;
    stream_input(const stream_input&) = delete;
    stream_input& operator=(const stream_input&) = delete;
    ~stream_input() { close(); }

    // Opens `path` for binary reading; false when it cannot be opened.
    bool open(const char* path);
    // Takes over an already opened file.
    void attach(FILE* fp);
    void close();
    bool is_open() const { return fp_ != nullptr; }
    FILE* file() const { return fp_; }

    // True once a read found the end of the file or a read error.
    bool at_end() const { return eof_ || error_; }
    bool had_error() const { return error_; }

    // Next byte, or -1 when there is none.
    int get() {
        if (pos_ < len_) return buf_[pos_++];
        return refill_and_get();
    }

    // Bytes buffered and not yet consumed; refills when the buffer is empty.
    // Returns 0 at the end of the file (and raises the end flag).
    size_t available();
    const unsigned char* peek() const { return buf_.get() + pos_; }
    void advance(size_t n) { pos_ += n; }

private:
    int refill_and_get();
    bool refill();

    static constexpr size_t block_size = 1 << 16;
    FILE* fp_ = nullptr;
    std::unique_ptr<unsigned char[]> buf_;
    size_t pos_ = 0;
    size_t len_ = 0;
    bool eof_ = false;
    bool error_ = false;
};

// ---------------------------------------------------------------------------
// Parser state.
extern stream_input _mpeg_fp;
extern int64_t _file_position;        // offset of the next byte
extern uint32_t _last_4_bytes;        // last four bytes read, newest lowest
extern uint64_t _n_packs;             // pack headers read in this parse
extern int32_t _mpeg_systems_format;  // 1 = program stream, 0 = MPEG-1 system stream
extern pack_struct* _current_pack;
extern packet_struct* _current_packet;
extern system_header_struct* _current_system_header;

// Settings, chosen by each program before it parses.
extern bool _export_is_text_dump;
extern bool _export_CL_lisp;
extern bool _export_elisp;
extern bool _extract_streams;
extern bool _streamable_extract_streams;
extern bool _exit_on_stream_error;

// The analyser's quiet console: the lines the packet readers print whatever
// the text-dump setting (header skipping, trick mode, PES extension) are left
// out, as in a Lisp export.  Messages and errors stay.
extern bool _quiet_parse;

// Stream-error messages (the marker-bit message) go to standard error
// instead of standard output: set by exports whose standard output must stay
// one loadable text (the Lisp and JSON exports).
extern bool _stream_errors_to_stderr;

// Directory that holds the extraction files; empty for the working
// directory.  The analyser points it at a private directory of its own.
extern std::string _extraction_directory;

// What happens to a finished pack.  The analyser keeps `collect_pack`.
using pack_sink_fn = void (*)(std::unique_ptr<pack_struct>);
extern pack_sink_fn _pack_sink;

// A consumer that takes the parts of each pack as they are read, so that
// memory stays flat whatever one pack holds.  While it is set the readers
// hand it every part below and keep none of them in the pack: the pack sink
// then gets the pack header fields alone.  Members may be null (the part is
// dropped).  Null by default: every part is kept in its pack.
struct pack_parts_consumer {
    // The pack header has been read; its system header and packets follow.
    void (*pack_header)(const pack_struct& pack);
    // A system header's fixed fields have been read; its entries follow.
    void (*system_header)(const system_header_struct& header);
    void (*buffer_info)(const buffer_info_struct& info);
    // The system header's entries are over.
    void (*system_header_end)(const system_header_struct& header);
    // A finished packet (header fields and payload read).
    void (*packet)(const packet_struct& packet);
};
extern const pack_parts_consumer* _pack_parts_consumer;

// Streamable plug-in hook.  The parser calls
// `execute_buffer_streamable_plugins`, which hands the payload to the
// function installed here by the plug-in host (nothing when none is).
using streamable_hook_fn = void (*)(pack_struct* pack, packet_struct* packet,
                                    const unsigned char* data, int length);
extern streamable_hook_fn _streamable_plugins_hook;
void execute_buffer_streamable_plugins(pack_struct* pack, packet_struct* packet,
                                       const unsigned char* data, int length);

// Observer of every packet's payload as it is read, for a model that follows
// the stream while it is parsed: called with the packet being read (its
// header fields filled, not yet added to its pack) and each block of its
// payload bytes that exist in the file.  Null when nobody observes.
using payload_observer_fn = void (*)(const packet_struct& packet, const unsigned char* data, size_t n);
extern payload_observer_fn _payload_observer;

// Called after each finished pack, and every 64 KiB of bytes skipped
// between packs,
// with the offset reached; returning false stops the scan there (the packs
// read so far stay handed to the sink).
// Lets a caller show progress, keep a window alive and offer a cancel.
using parse_progress_fn = bool (*)(int64_t position);
extern parse_progress_fn _parse_progress_hook;
// True when the last scan was stopped by the progress hook.
extern bool _parse_cancelled;

// The first four bytes of the stream as the last scan read them, first byte
// highest; a byte past the end of the file reads as 0xFF.  Lets a caller
// look at the start of a stream it cannot read twice (a pipe or FIFO).
extern uint32_t _first_4_bytes;

// ---------------------------------------------------------------------------
// Byte reader: every header byte goes through here, so `_last_4_bytes` always
// holds the last four bytes consumed.  Past the end of the file a byte reads
// as 0xFF and the position still advances.
inline uint8_t read_byte() {
    int c = _mpeg_fp.get();
    uint8_t b = c < 0 ? 0xFF : static_cast<uint8_t>(c);
    _last_4_bytes = (_last_4_bytes << 8) | b;
    ++_file_position;
    return b;
}

// Like read_byte, but tells whether the byte lay past the end of the file:
// returns -1 then (0xFF has still been shifted in and counted).
inline int read_byte_or_end() {
    int c = _mpeg_fp.get();
    uint8_t b = c < 0 ? 0xFF : static_cast<uint8_t>(c);
    _last_4_bytes = (_last_4_bytes << 8) | b;
    ++_file_position;
    return c;
}

inline void read_bytes(int n) {
    for (int i = 0; i < n; ++i) read_byte();
}

// Consumes the bytes from `_file_position` up to `end` as if read one at a
// time.  Bytes that exist in the file are handed to `sink` in blocks (when
// it is not null); bytes past the end of the file are counted, not handed.
using block_sink_fn = void (*)(const unsigned char* data, size_t n, void* ctx);
void consume_until(int64_t end, block_sink_fn sink, void* ctx);

// ---------------------------------------------------------------------------
// Parse driver.
void parse_mpeg_file(const char* path);
// The same over a descriptor the caller has opened (and checked) itself,
// taken over by the parser; `path` is the name it keeps for the stream.  A
// caller that must not block in open opens with O_NONBLOCK; the parse reads
// in blocking mode.
void parse_mpeg_fd(int fd, const char* path);
// Scan loop over the stream already opened in `_mpeg_fp`; resets the
// position, the register and the pack count first.
void scan_mpeg_stream();
const char* get_mpeg_file_name();
// A descriptor of the stream file that the last successful
// `parse_mpeg_file` opened, kept open after the parse so that a later
// replay reads the same file again without opening it by name; -1 when
// that file is not a regular file (it could not be read twice) or before
// the first parse.  Owned by the parser: closed by the next parse.
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

void read_pack();
void read_system_header();
void read_mpeg1_system_header();
void read_pes_packet();
void read_mpeg1_pack(uint8_t b0);
void read_mpeg1_packet();

// Name of a program-stream stream_id, and whether its packets carry the
// optional PES header.  Unknown ids give nullptr.
const char* pes_stream_name(uint8_t stream_id, bool* has_optional_header);
// The same for MPEG-1 system streams.
const char* mpeg1_stream_name(uint8_t stream_id, bool* has_packet_header);

// ---------------------------------------------------------------------------
// Payload sink and extraction files.
//
// Reads the payload of the current packet up to `ends_at`; appends it to the
// stream's extraction file when `_extract_streams` is on, and with
// `streamable` collects it for the streamable plug-ins.
void payload_sink(uint8_t stream_id, int64_t ends_at, bool streamable);
// Extraction files stay open from the first payload of their stream to the
// end of the scan, which closes them all: the files are complete when a scan
// returns.  A caller that ends the process in the middle of a scan closes
// them with this (it is harmless when none is open).
void close_extraction_files();
// Told once per extraction file that cannot be opened or written, with the
// file's path and the error number; that stream's later payloads are
// dropped.  Null by default: such failures go unreported.
using extraction_error_fn = void (*)(const std::string& path, int error_number);
extern extraction_error_fn _extraction_error_hook;
// Path of a stream's extraction file: "0x<id>.mpeg" in the extraction
// directory.
std::string extraction_file_path(uint8_t stream_id);
// Removes the extraction files ("0x..mpeg") from the extraction directory.
void delete_extracted_streams();
