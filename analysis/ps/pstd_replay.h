// P-STD (13818-1 2.5.2) and STD (11172-1) replay: a program stream or an
// MPEG-1 system stream through one buffer per time-stamped elementary
// stream, following how many bytes sit in each buffer over time.
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
// One driver for every program: the stream is read by a reader and each
// payload enters its buffer as it is read (ps/streaming_replay.h).
// psverify runs it while it parses; the window runs it over the file again,
// one pack per call from its idle worker (here), so both track the same
// streams with the same size policy and give the same events and verdict.
// No GTK here.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "es/au_splitter.h"
#include "model.h"
#include "ps/buffer_size_policy.h"
#include "ps/packet_reader.h"
#include "ps/pstd_clock.h"
#include "ps/pstd_track.h"

// Streams the window tracks; a replay for a report may track up to
// max_tracked_streams.
inline constexpr int max_buffer_tracks = 4;
// Every stream a program stream can hold: the stream_ids that may carry
// access units (0xBD, 0xC0 to 0xEF) and the 256 sub-streams of 0xBD.
inline constexpr int max_tracked_streams = 512;
// One sample of the graphs every 10 ms of stream time.
inline constexpr int64_t sample_interval_ticks = 270000;
// Every fifth sample the replay waits for the window to redraw.
inline constexpr int32_t samples_per_redraw = 5;

// Run states shared by the replay and its window.
enum : int32_t {
    analysis_paused = 0,
    analysis_running = 1,
    analysis_waiting_redraw = 2,
    analysis_closed = 3,
};

// Replay while parsing: a packet split and waiting to be entered, with
// where its bytes arrive.
struct deferred_packet_struct {
    int32_t track;
    packet_arrival_struct arrival;
    au_split_struct offsets;
};
// A stream's packets wait for its own buffer field: at most this many of
// them, and this many of all streams together, each keeping only its own
// split, so that memory stays bounded on any input.
inline constexpr int32_t max_deferred_packets = 256;
inline constexpr size_t max_deferred_total = 2048;
// Access-unit entries of all waiting packets together.
inline constexpr size_t max_deferred_entries = size_t{1} << 20;

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
    au_split_struct offsets;
    int32_t pack_index = 0;  // packs replayed so far
    // The window's replay: the streams in the order the replay meets them,
    // with whether a packet of theirs has a time stamp (the window draws
    // the first four of those), and the reader that reads the file again.
    struct track_key {
        uint32_t stream_id;
        int32_t sub_stream_id;
        bool stamped;
    };
    std::vector<track_key> track_order;
    std::shared_ptr<void> file_replay;  // the reader and its observer
    bool replay_complete = false;       // read to the end of the stream
    int64_t next_sample = sample_interval_ticks;
    int32_t countdown = samples_per_redraw;
    pack_arrival_clock_struct clock;
};

// The clock of the replay's next pack (ps/pstd_clock.h).
inline pack_clock_struct next_pack_clock(buffer_replay_struct& replay, const pack_struct& pack) {
    return next_pack_clock(replay.clock, pack);
}

// The record of a stream (and sub-stream, or -1), or null.
buffer_occupancy_struct* find_track(buffer_replay_struct& replay, uint32_t stream_id, int32_t sub_stream_id);
// A new record for a stream, with the replay's event hook; null when the
// replay tracks as many streams as it may.
buffer_occupancy_struct* open_track(buffer_replay_struct& replay, uint32_t stream_id, int32_t sub_stream_id);

// Finds, in the packs collected by the parser, the streams the replay will
// track (every stream_id that may carry access units, and every
// private_stream_1 sub-stream, in the order their first whole payload comes)
// and gives each its record as the replay while parsing would.  Reads
// private_stream_1 packets again through the parser's kept descriptor to
// learn their sub-streams.
void setup_buffer_tracks(buffer_replay_struct& replay);
// Indexes of the records the window draws: the first `limit` streams whose
// packets carry time stamps.
std::vector<int> graphed_tracks(const buffer_replay_struct& replay, int limit = max_buffer_tracks);

// Takes a sample at arrival time `t`: every tracked stream's smallest and
// largest occupancy since the last sample go to its ring, the earlier
// first; every fifth sample a running replay waits for a redraw.
void take_buffer_sample(buffer_replay_struct& replay, int64_t t);

// Sets the replay to its first pack, reading the packets again through the
// descriptor the parse kept (parsed_stream_fd); false when there is none
// (the stream was not a regular file) or there are no packs.
bool open_buffer_replay(buffer_replay_struct& replay);
// Replays the next pack; false when no pack was left.  Every fifth sample it
// sets analysis_state to 2 (wait for a redraw).
bool buffer_replay_step(buffer_replay_struct& replay);
bool buffer_replay_finished(const buffer_replay_struct& replay);
// True once the replay has read the stream to its end.
inline bool buffer_replay_complete(const buffer_replay_struct& replay) { return replay.replay_complete; }
void close_buffer_replay(buffer_replay_struct& replay);

// Reports what is still open at the end of the stream: the packets still
// waiting are entered, then each buffer's late access unit being counted
// and its overflow episode in progress are reported.
void finish_buffer_events(buffer_replay_struct& replay);
// One line on the whole replay: "Buffers: conformant", or the counts of
// underflowing units and overflow episodes, then the streams not modelled.
std::string buffer_replay_verdict(const buffer_replay_struct& replay);
