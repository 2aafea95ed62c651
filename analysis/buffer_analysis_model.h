// T-STD buffer model: replays the parsed stream through one simplified
// decoder buffer per time-stamped elementary stream (at most four) and
// follows how many bytes sit in each buffer over time.
//
// Bytes enter their stream's buffer when their pack arrives (the pack's SCR,
// then one byte after another at the pack's mux rate); all bytes of one
// access unit (a video picture with the headers in front of it, an MPEG audio
// frame or an AC-3 sync frame) leave together at its decoding time.  Access
// units whose bytes arrive after their decoding time (underflow) and the
// stretches of time during which a buffer holds more than its size
// (overflow) are reported as events through the replay's event hook, one per
// late access unit and one per overflow episode.
//
// No GTK here: the window drives the replay one pack per call from its idle
// worker, psverify feeds it the payloads while the stream is parsed, and the
// tests drive it directly.
//
// Times are signed 64-bit counts of 27 MHz ticks on one clock: 0 is the
// arrival of the first pack, and decoding times are brought onto the same
// origin (a time stamp is read against the SCR of the pack that carries it,
// so neither the 33-bit wrap nor a first SCR far from 0 upsets the
// comparison).
#pragma once

#include <cstdint>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "model.h"
#include "ps_reader.h"

// Streams the window tracks; a replay for a report may track up to
// max_tracked_streams.
inline constexpr int max_buffer_tracks = 4;
// Every stream a program stream can hold: the stream_ids that may carry
// access units (0xBD, 0xC0 to 0xEF) and the 256 sub-streams of 0xBD.
inline constexpr int max_tracked_streams = 512;
inline constexpr int ring_size = 100;
inline constexpr int pending_slot_count = 300;
inline constexpr int64_t ticks_per_second = 27000000;
// One sample of the graphs every 10 ms of stream time.
inline constexpr int64_t sample_interval_ticks = 270000;
// Every fifth sample the replay waits for the window to redraw.
inline constexpr int32_t samples_per_redraw = 5;
inline constexpr int32_t default_video_buffer_size = 229376;  // 0x38000
inline constexpr int32_t default_other_buffer_size = 4096;
// Decoding time of bytes that arrive before the stream's first time stamp:
// distinct from every real decoding time, never an underflow, and gone at the
// next removal scan.
inline constexpr int64_t no_decode_time = INT64_MIN;
inline constexpr int64_t no_removal_due = INT64_MAX;
inline constexpr int32_t interval_max_none = -1;
inline constexpr int32_t interval_min_none = 0xFFFFFF;
// Largest packet: start code, length field and 65,535 more bytes.
inline constexpr int max_packet_bytes = 6 + 65535;

// What a stream's access units are, and so how its payload is split.
enum : int32_t {
    format_video = 0,         // MPEG-1/2 video
    format_mpeg_audio = 1,    // MPEG-1/2 audio (Layers I to III)
    format_ac3 = 2,           // AC-3 in a DVD private_stream_1 sub-stream
    format_not_modelled = 3,  // LPCM, DTS, sub-pictures, other private data
};

// Where the buffer size in force came from, in the order they are tried:
// the stream's own STD buffer field, the system header's bound for its
// stream_id, the system header's bound for all video (0xB9) or all audio
// (0xB8) streams, or the fixed default.
enum : int32_t {
    size_from_default = 0,
    size_from_wildcard = 1,
    size_from_system_header = 2,
    size_from_stream = 3,
};

// One reported event of a stream's buffer.
struct buffer_event_struct {
    enum kind_t : int32_t { underflow = 0, overflow = 1 } kind;
    uint32_t stream_id;
    int32_t sub_stream_id;  // DVD private_stream_1 sub-stream, or -1
    int64_t time;           // ticks from the first pack: first late byte, or start of the episode
    int64_t end_time;       // overflow: when the buffer held its size again (or the stream ended)
    int64_t packet_offset;  // the packet whose bytes made the event begin
    // Underflow: the late access unit.
    int64_t decoding_time;    // ticks
    uint64_t decoding_stamp;  // the same as a 90 kHz time stamp of the stream
    int32_t late_bytes;
    int64_t lateness;  // ticks by which the last late byte missed the decoding time
    // Overflow.
    int32_t excess;  // largest number of bytes above the buffer size
    int32_t buffer_size;
};
using buffer_event_fn = void (*)(const buffer_event_struct& event, void* ctx);

// The event as one line (no line end), as the window and psverify print it.
std::string format_buffer_event(const buffer_event_struct& event);
// "0xe0", or "0xbd/0x80" for a private_stream_1 sub-stream.
std::string stream_label(uint32_t stream_id, int32_t sub_stream_id);
const char* stream_kind_name(uint32_t stream_id, int32_t sub_stream_id);
const char* buffer_size_source_name(int32_t source);

// Run states shared by the replay and its window.
enum : int32_t {
    analysis_paused = 0,
    analysis_running = 1,
    analysis_waiting_redraw = 2,
    analysis_closed = 3,
};

struct buffer_sample_struct {
    int32_t occupancy;
    float seconds;
};

// Smallest or largest occupancy since the last sample and when it occurred
// (ticks; turned into seconds when the sample is taken).
struct buffer_extreme_struct {
    int32_t occupancy;
    int64_t arrival;
};

// An access unit in the buffer: its decoding time and the bytes of it that
// have arrived.  Whether a slot is in use is kept in slots_in_use.
struct pending_au_struct {
    int64_t time;  // decoding time, ticks
    int32_t bytes;
};

// Access-unit parsing state of one stream.  Video uses the first group of
// fields, MPEG audio the second.
struct au_parse_info_struct {
    // Video.
    uint32_t start_code_register;  // last four payload bytes, across packets
    int32_t frame_period;          // ticks per picture, 0 until known
    bool in_header;                // a sequence or group header began the AU
    // Audio.
    uint8_t audio_au_header[5];  // frame header being collected
    int32_t frame_bytes_left;    // bytes of the frame in progress not yet seen
    int32_t header_bytes;        // bytes of audio_au_header collected
    int32_t frame_duration;      // ticks of the last frame whose header was read
    // Both: the stream met a header it cannot time (reserved frame rate,
    // sampling frequency or layer, free-format or forbidden bit rate, no sync
    // word).  Its bytes go on with the access unit in progress until a valid
    // sequence header or frame header is found again.
    bool lost_sync;
    // Audio while lost: the bytes at the end of the last payload that may
    // begin a frame header.
    uint8_t resync_bytes[4];
    int32_t n_resync_bytes;
    // A time stamp belongs to the first access unit whose first byte lies in
    // the packet.  When the last packet's stamp found no unit there, its
    // unit may be one whose start code (or frame header) begins at the end
    // of that packet and completes in the next one: such a unit takes it.
    bool has_carried_stamp;
    int64_t carried_stamp;
};

struct buffer_occupancy_struct {
    uint32_t stream_id;
    int32_t sub_stream_id;  // DVD private_stream_1 sub-stream, or -1
    int32_t format;         // format_video, format_mpeg_audio, ...
    int32_t size_source;    // size_from_default, ...
    int32_t occupancy;    // bytes now in the buffer
    int32_t buffer_size;  // capacity in bytes
    int64_t au_time;      // decoding time of the access unit in progress
    au_parse_info_struct parse_info;
    buffer_extreme_struct interval_max;  // largest occupancy since the last sample
    buffer_extreme_struct interval_min;  // smallest occupancy since the last sample
    int64_t next_removal;  // not later than the earliest decoding time in the buffer
    int32_t ring_head;     // write position in ring
    int32_t ring_tail;     // oldest valid position in ring
    buffer_sample_struct ring[ring_size];
    pending_au_struct pending[pending_slot_count];
    int64_t last_time;     // decoding time of the slot last opened
    int32_t current_slot;  // index of the slot last opened
    // Which pending slots are in use, one bit per slot, so that opening a
    // slot and the removal scan need not walk all 300.  A slot is in use
    // from its opening until the removal scan frees it.
    uint64_t slots_in_use[(pending_slot_count + 63) / 64];

    // What the report needs.
    int32_t largest_occupancy;
    int64_t access_units;       // access units that began
    int64_t underflow_units;    // access units with late bytes
    int64_t overflow_episodes;  // times the buffer went above its size
    bool has_stamp;             // a time stamp of the stream was met
    int64_t packet_offset;      // the packet whose bytes are being entered
    // The late access unit whose bytes are arriving, not yet reported.
    bool late_open;
    buffer_event_struct late;
    // The overflow episode in progress, not yet reported.
    bool overflowing;
    buffer_event_struct over;
    // The last time stamp met, in ticks and as read, to give decoding times
    // back as the stream's own 90 kHz values.
    int64_t stamp_ref_ticks;
    uint64_t stamp_ref_value;
    // Replay while parsing: the stream's own buffer field has not been met
    // yet, so its packets wait (deferred_packets of them) until it is, or
    // until too many wait, to be entered against the size in force.
    bool size_pending;
    int32_t deferred_packets;
    // Where events go (copied from the replay when the record is set up).
    buffer_event_fn event_hook;
    void* event_ctx;
};

// Split of one packet's payload into chunks of different access units.
// Entry k holds n_bytes[k] payload bytes that follow those of entry k-1 and
// belong to the access unit decoded at au_dts[k].  Entry 0 holds the bytes
// before the first access unit that starts in the packet.  The vectors keep
// their room from packet to packet; n_entries tells how many entries count.
struct DTS_Offsets {
    int32_t n_entries = 0;
    // The packet's time stamp belongs to the access unit that was already
    // in progress when the packet began (its picture start code lies here,
    // its sequence header in an earlier packet): the bytes of that unit
    // already in the buffer are retimed from `retime_from` to `retime_to`.
    bool retime = false;
    int64_t retime_from = 0;
    int64_t retime_to = 0;
    std::vector<int64_t> au_dts;
    std::vector<int32_t> n_bytes;
};

// A packet split and waiting to be entered: where its bytes arrive and
// the split.
struct deferred_packet_struct {
    int32_t track;
    int64_t arrival;        // ticks of its pack
    float ticks_per_byte;
    int64_t first_byte;     // index of its first payload byte in the pack's arrival
    int64_t packet_offset;
    DTS_Offsets offsets;
};
// A stream's packets wait for its own buffer field: at most this many of
// them, and this many of all streams together, each keeping only its own
// split, so that memory stays bounded on any input.
inline constexpr int32_t max_deferred_packets = 256;
inline constexpr size_t max_deferred_total = 2048;
// Access-unit entries of all waiting packets together.
inline constexpr size_t max_deferred_entries = size_t{1} << 20;

// Where a pack sits on the replay's clock, for reading the time stamps of
// its packets.
struct pack_clock_struct {
    int64_t arrival;  // ticks since the first pack
    uint32_t scr;     // bits 31..0 of the pack's SCR base
    int32_t ext;      // SCR extension
};

// Reads packets back from the stream file.  It keeps one block of the file
// (at least the largest packet), so that packets read in file order cost no
// seek and no copy.
inline constexpr size_t packet_reader_block = 1 << 20;
static_assert(packet_reader_block >= max_packet_bytes);
struct packet_reader_struct {
    int fd = -1;  // not owned
    std::unique_ptr<unsigned char[]> data;  // packet_reader_block bytes
    int64_t block_offset = 0;               // file offset of data[0]
    int64_t block_length = 0;               // valid bytes in data
};

// One replay: its tracked streams, its place in the stream and its run
// state.  The window that shows a replay shares it with the replay's idle
// worker, so each opening of the window has a run state of its own.
struct buffer_replay_struct {
    int32_t analysis_state = analysis_paused;
    bool window_open = false;

    buffer_occupancy_struct buffer_occupied[max_tracked_streams]{};
    int32_t n_buffer_track_streams = 0;
    int32_t track_limit = max_buffer_tracks;
    // While streaming: 1 for a 13818-1 program stream, 0 for an 11172-1
    // system stream (whose private_stream_1 has no sub-stream layout).
    int32_t systems_format = 1;
    // Where the records report their events; null: nowhere.
    buffer_event_fn event_hook = nullptr;
    void* event_ctx = nullptr;
    // Latest system-header bounds by stream_id (-1: none), while streaming.
    int32_t system_bounds[256];
    // Streaming: the pack whose packets are arriving, and the payload of
    // the packet being read.
    int64_t streaming_pack_offset = -1;
    int64_t streaming_packet_offset = -1;
    std::vector<unsigned char> streaming_payload;
    std::vector<deferred_packet_struct> deferred;
    size_t deferred_entries = 0;

    packet_reader_struct reader;
    DTS_Offsets offsets;
    int32_t pack_index = 0;
    int64_t next_sample = sample_interval_ticks;
    int32_t countdown = samples_per_redraw;
    bool clock_started = false;
    pack_clock_struct last_clock{};
};

// The clock of the replay's next pack: the first arrives at 0, each later
// one its SCR distance after the one before.
pack_clock_struct next_pack_clock(buffer_replay_struct& replay, const pack_struct& pack);
// Ticks of a 90 kHz time stamp carried in the pack at `clock`.
int64_t stamp_to_ticks(const pack_clock_struct& clock, uint64_t stamp);

// Finds the tracked streams (the first four stream_ids, or private_stream_1
// sub-streams, met in packets with a PTS) in the packs collected by the
// parser and initialises their records.  Reads private_stream_1 packets
// again through the parser's kept descriptor to learn their sub-streams.
void setup_buffer_tracks(buffer_replay_struct& replay);
void init_buffer_track(buffer_occupancy_struct& record, uint8_t stream_id, int32_t sub_stream_id = -1);

// Splits one packet of the record's stream into entries and updates the
// record's au_time, parse_info and buffer size; bytes of a unit the packet
// retimes that are already in the buffer take its new time.  A packet that
// cannot be read again in full gives no entries and changes nothing.
void get_offsets(packet_reader_struct& reader, buffer_occupancy_struct& record, const packet_struct& packet,
                 const pack_clock_struct& clock, DTS_Offsets& offsets);

// Enters one byte decoded at `decoding_time` that arrives at `arrival_time`;
// true when afterwards the buffer holds more than its size.  A byte that
// arrives after its decoding time counts toward its access unit's underflow
// event.
bool add_byte_to_buffer(int64_t decoding_time, int64_t arrival_time, buffer_occupancy_struct& record);

// Takes a sample at arrival time `t`: every tracked stream's smallest and
// largest occupancy since the last sample go to its ring, the earlier
// first; every fifth sample a running replay waits for a redraw.
void take_buffer_sample(buffer_replay_struct& replay, int64_t t);
// Adds one point to the record's ring; the ring keeps the latest 99.
void append_ring_point(buffer_occupancy_struct& record, buffer_sample_struct point);
// Number of points in the ring, and point n of them (0 is the oldest).
int ring_point_count(const buffer_occupancy_struct& record);
const buffer_sample_struct& ring_point(const buffer_occupancy_struct& record, int n);

// Sets the replay to its first pack, reading the packets again through the
// descriptor the parse kept (parsed_stream_fd); false when there is none
// (the stream was not a regular file) or there are no packs.
bool open_buffer_replay(buffer_replay_struct& replay);
// Replays the next pack; false when no pack was left.  Every fifth sample it
// sets analysis_state to 2 (wait for a redraw).
bool buffer_replay_step(buffer_replay_struct& replay);
bool buffer_replay_finished(const buffer_replay_struct& replay);
void close_buffer_replay(buffer_replay_struct& replay);

// Reports what is still open at the end of the stream: the late access unit
// being counted and the overflow episode in progress.
void finish_buffer_events(buffer_replay_struct& replay);
// One line on the whole replay: "Buffers: conformant", or the counts of
// underflowing units and overflow episodes, then the streams not modelled.
std::string buffer_replay_verdict(const buffer_replay_struct& replay);

// Replay while parsing, for a program that keeps no packs.  Install the
// parser's payload observer and pack sink so that they call these: each
// stream gets a record at its first packet (up to track_limit), each pack's
// clock and system headers are taken when its first packet or the pack
// itself arrives, and each packet is entered once its payload is complete.
void begin_streaming_replay(buffer_replay_struct& replay);
void streaming_replay_payload(buffer_replay_struct& replay, const pack_struct& pack, const packet_struct& packet,
                              const unsigned char* data, size_t n);
void streaming_replay_pack(buffer_replay_struct& replay, const pack_struct& pack);
// After a system header met while streaming: the bounds in system_bounds
// hold for the streams whose own buffer field has not been met, from here
// on.
void streaming_replay_apply_bounds(buffer_replay_struct& replay);

// A reader's observer that replays the stream while it is read: each
// pack's clock, each system header's bounds from where it stands, and each
// payload block as it comes, so that nothing waits for the end of a pack.
class streaming_replay_observer : public ps_observer {
public:
    explicit streaming_replay_observer(buffer_replay_struct& replay) : replay_(replay) {}
    void pack_header(const ps_reader& reader, const pack_struct& pack) override {
        replay_.systems_format = reader.systems_format();
        streaming_replay_pack(replay_, pack);
    }
    void system_header(const ps_reader&, const system_header_struct&) override {
        std::fill(std::begin(seen_), std::end(seen_), false);
    }
    // Within one header the first entry for an id counts.
    void buffer_info(const ps_reader&, const buffer_info_struct& info) override {
        const int id = info.stream_id & 0xFF;
        if (info.stream_id < 0 || seen_[id]) return;
        seen_[id] = true;
        replay_.system_bounds[id] = info.actual_std_size;
    }
    void system_header_end(const ps_reader&, const system_header_struct&) override {
        streaming_replay_apply_bounds(replay_);
    }
    void payload(const ps_reader& reader, const packet_struct& packet, const unsigned char* data,
                 size_t n) override {
        if (const pack_struct* pack = reader.current_pack()) streaming_replay_payload(replay_, *pack, packet, data, n);
    }

private:
    buffer_replay_struct& replay_;
    bool seen_[256] = {};
};
