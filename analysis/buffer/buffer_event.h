// Events of the buffer models: one per access unit whose bytes arrive after
// its decoding time (underflow) and one per stretch of time during which a
// buffer holds more than its size (overflow).  An event names its stream
// and the buffer of that stream's decoder it happened in.
#pragma once

#include <cstdint>
#include <string>

// Which buffer of a stream's decoder: Bn of the P-STD (13818-1 2.5.2) or
// the STD (11172-1), which is also a transport stream's audio and system
// buffer; and the transport-stream buffers TBn, MBn and EBn (13818-1
// 2.4.2).  Value-initialised events are stage_b.
enum : int32_t {
    stage_b = 0,
    stage_eb = 1,
    stage_tb = 2,
    stage_mb = 3,
    stage_tbsys = 4,  // a transport stream's system information: TBsys and Bsys
    stage_bsys = 5,
};
// "B", "EB", "TB", "MB", "TBsys", "Bsys".
const char* buffer_stage_name(int32_t stage);

// One reported event of a stream's buffer.
struct buffer_event_struct {
    // Transport streams add two: a transport buffer that held data for more
    // than a second without once being empty (13818-1 2.4.2.3), and an
    // access unit that stayed in the decoder longer than the standard allows
    // (1 s; 10 s for H.264), from its first byte's arrival in TBn to its
    // decoding time (`lateness` holds that stay).
    enum kind_t : int32_t { underflow = 0, overflow = 1, tb_not_empty = 2, long_stay = 3 } kind;
    uint32_t stream_id;
    int32_t sub_stream_id;  // DVD private_stream_1 sub-stream, or -1
    int32_t stage;          // stage_b, ...
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
