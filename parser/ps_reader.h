// Reader of ISO/IEC 13818-1 program streams and ISO/IEC 11172-1 system
// streams.  All of a parse's state and settings live in one `ps_reader`;
// what it finds goes to the observers attached to it, each of which is told
// which reader speaks (its context), so that several readers may run in one
// process, interleaved or not.
//
// The reader keeps nothing of what it has read: an observer that wants the
// packs (the analyser's pack list, the Lisp export) builds them from the
// parts it is handed.  Memory stays flat whatever the stream holds.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include "model.h"
#include "stream_error.h"

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
    // Takes over an already opened file.  `head`, when given, holds the
    // first `head_size` bytes of the stream, already read from `fp` (a
    // caller that looked at the start of a pipe); they are read first.
    void attach(FILE* fp, const unsigned char* head = nullptr, size_t head_size = 0);
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
    size_t capacity_ = 0;
    size_t pos_ = 0;
    size_t len_ = 0;
    bool eof_ = false;
    bool error_ = false;
};

// ---------------------------------------------------------------------------
// What the text dump needs of a packet header beyond the model's fields: the
// flag bytes as read, the parts of the header the model does not keep, and,
// when the reader stopped on an error inside the header, where it stopped.
struct packet_header_detail {
    // An 11172-1 packet (the others are 13818-1 PES packets).
    bool mpeg1 = false;
    // False when the file ended inside the header: no payload follows.
    bool has_payload = true;
    // MPEG-2: PTS_DTS_flags ... PES_extension_flag, the header's second flag
    // byte; -1 when the packet has no optional header.
    int32_t flags = -1;
    // DSM trick-mode byte, -1 when absent.
    int32_t trick_mode_byte = -1;
    // PES extension: its flag byte (-1 when absent), the pack_field_length,
    // the two program_packet_sequence_counter bytes and the
    // PES_extension_field_length byte (-1 when absent).
    int32_t extension_flags = -1;
    int32_t pack_field_length = -1;
    int32_t sequence_counter = -1;
    int32_t sequence_identifier = -1;
    int32_t extension_field_length = -1;
    // Header bytes the reader passed over after the fields it knows
    // (MPEG-2 stuffing and unknown fields).
    int32_t skipped_header_bytes = 0;

    // Where reading the header stopped when the reader ends the parse on a
    // stream error; `complete` when it did not.
    enum stop_t : int32_t {
        complete = 0,
        unknown_stream_id,  // after the stream_id
        sequence_counter_marker,   // program_packet_sequence_counter byte
        sequence_identifier_marker,  // its second byte
        buffer_marker,          // P-STD buffer field
        extension_field_marker,  // PES_extension_field_length byte
        mpeg1_marker,            // MPEG-1: the byte after the buffer field
    } stop = complete;
};

class ps_reader;

// What a reader tells its observers, in stream order.  Every method has an
// empty default, so an observer overrides only what it needs.
struct ps_observer {
    virtual ~ps_observer() = default;
    // A pack header has been read; its system headers and packets follow.
    virtual void pack_header(const ps_reader&, const pack_struct&) {}
    // A system header's fixed fields; its stream entries follow one by one
    // (a header may hold any number of them), then its end.
    virtual void system_header(const ps_reader&, const system_header_struct&) {}
    virtual void buffer_info(const ps_reader&, const buffer_info_struct&) {}
    virtual void system_header_end(const ps_reader&, const system_header_struct&) {}
    // A packet's header has been read; its payload follows.
    virtual void packet_header(const ps_reader&, const packet_struct&, const packet_header_detail&) {}
    // A block of the payload of the packet whose header came last: only
    // bytes that exist in the file.
    virtual void payload(const ps_reader&, const packet_struct&, const unsigned char*, size_t) {}
    // The packet's payload is over.
    virtual void packet_end(const ps_reader&, const packet_struct&) {}
    // The pack is over: every part of it has been handed out.
    virtual void pack_end(const ps_reader&, const pack_struct&) {}
    // A fault of the stream; the reader goes on unless it stops on errors.
    virtual void error(const ps_reader&, const stream_error&) {}
};

class ps_reader {
public:
    ps_reader();
    ps_reader(const ps_reader&) = delete;
    ps_reader& operator=(const ps_reader&) = delete;

    // Settings, chosen before a parse.
    // End the parse at the first stream error (the dumper); the analyser
    // and the verifier read on.
    bool stop_on_error = false;
    // Called after each finished pack, and every 64 KiB of bytes skipped
    // between packs, with the offset reached; returning false ends the
    // parse there (cancelled() then tells so).
    std::function<bool(int64_t)> progress;

    void add_observer(ps_observer* observer) { observers_.push_back(observer); }
    void remove_observers() { observers_.clear(); }

    // Takes over an opened file and reads it to its end (or to the program
    // end code, a stop on error or a cancel).  The file is closed after.
    // `head`: the first `head_size` bytes of the stream when the caller
    // has already read them from `fp` (see stream_input::attach).
    void parse(FILE* fp, const unsigned char* head = nullptr, size_t head_size = 0);
    // The same in steps, for callers that interleave several readers: one
    // pack (or the bytes skipped before it) per call; false when the
    // parse is over.  `begin` takes over the file.
    void begin(FILE* fp, const unsigned char* head = nullptr, size_t head_size = 0);
    // Begins as if `position` bytes had been read already, the last four of
    // them `last_4_bytes`: reads a tail cut from a stream at that offset.
    void begin_at(FILE* fp, int64_t position, uint32_t last_4_bytes);
    bool step();
    void end();

    // What the parse found.
    int64_t position() const { return position_; }
    uint64_t packs() const { return n_packs_; }
    // 1 while every pack met is a 13818-1 pack, 0 once an 11172-1 pack has
    // been met.
    int32_t systems_format() const { return systems_format_; }
    bool stopped_on_error() const { return stopped_; }
    // The file could not be read to its end (an I/O error, not its end).
    bool read_error() const { return read_error_; }
    bool cancelled() const { return cancelled_; }
    uint64_t errors() const { return n_errors_; }
    // The first four bytes of the stream, first byte highest; a byte past
    // the end of the file reads as 0xFF.  Lets a caller look at the start
    // of a stream it cannot read twice (a pipe or FIFO).
    uint32_t first_4_bytes() const { return first_4_bytes_; }
    // The pack being read (its header fields), null between packs.
    const pack_struct* current_pack() const { return in_pack_ ? &pack_ : nullptr; }

    // Name of a program-stream stream_id, and whether its packets carry the
    // optional PES header.  Unknown ids give nullptr.
    static const char* pes_stream_name(uint8_t stream_id, bool* has_optional_header);
    // The same for MPEG-1 system streams.
    static const char* mpeg1_stream_name(uint8_t stream_id, bool* has_packet_header);

private:
    // Every header byte goes through here, so that `last_4_bytes_` always
    // holds the last four bytes consumed.  Past the end of the file a byte
    // reads as 0xFF and the position still advances.
    uint8_t read_byte() {
        int c = input_.get();
        uint8_t b = c < 0 ? 0xFF : static_cast<uint8_t>(c);
        last_4_bytes_ = (last_4_bytes_ << 8) | b;
        ++position_;
        return b;
    }
    // Like read_byte, but -1 for a byte past the end of the file.
    int read_byte_or_end() {
        int c = input_.get();
        uint8_t b = c < 0 ? 0xFF : static_cast<uint8_t>(c);
        last_4_bytes_ = (last_4_bytes_ << 8) | b;
        ++position_;
        return c;
    }
    void read_bytes(int n) {
        for (int i = 0; i < n; ++i) read_byte();
    }
    uint64_t read_time_stamp(uint8_t t0);
    // Hands the payload up to `end` to the observers, as if read a byte at
    // a time.
    void consume_payload(int64_t end, const packet_struct& packet);
    // Tells a fault met inside a packet header; a reader that stops on
    // errors ends the parse there.
    void fail(const packet_struct& packet, packet_header_detail& detail, packet_header_detail::stop_t where,
              stream_error_kind kind, int64_t offset, std::string message);
    // A marker bit that must be 1.
    void check_marker(bool bit_is_set, const packet_struct& packet, packet_header_detail& detail,
                      packet_header_detail::stop_t where);
    void report(stream_error_kind kind, int64_t offset, std::string message);

    void read_pack();
    void read_pack_body(bool program_stream);
    void read_mpeg1_pack_header(uint8_t b0);
    void read_system_header(bool program_stream);
    void read_pes_packet();
    void read_mpeg1_packet();
    void read_pes_extension(packet_struct& packet, packet_header_detail& detail);
    void finish_packet(const packet_struct& packet);

    stream_input input_;
    std::vector<ps_observer*> observers_;
    int64_t position_ = 0;
    uint32_t last_4_bytes_ = 0xFFFFFFFFu;
    uint32_t first_4_bytes_ = 0xFFFFFFFFu;
    uint64_t n_packs_ = 0;
    uint64_t n_errors_ = 0;
    int32_t systems_format_ = 1;
    int64_t next_skip_report_ = 0;
    bool in_pack_ = false;
    bool stopped_ = false;
    bool cancelled_ = false;
    bool running_ = false;
    bool read_error_ = false;
    pack_struct pack_;
};
