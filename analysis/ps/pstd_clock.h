// The arrival clock of the P-STD (13818-1 2.5.2) and the STD (11172-1): a
// pack's bytes arrive from its SCR on (base * 300 + extension, in 27 MHz
// ticks), one after another at its mux rate; the time stamps of its packets
// are read against the same clock.
//
// The clock's 0 is the arrival of the first pack, and decoding times are
// brought onto the same origin (a time stamp is read against the SCR of the
// pack that carries it, so neither the 33-bit wrap nor a first SCR far
// from 0 upsets the comparison).
#pragma once

#include <cstdint>

#include "model.h"
#include "ticks.h"

// Where a pack sits on the clock, for reading the time stamps of its
// packets.
struct pack_clock_struct {
    int64_t arrival;  // ticks since the first pack
    uint32_t scr;     // bits 31..0 of the pack's SCR base
    int32_t ext;      // SCR extension
};

// The clock of a stream's packs as they are met.
struct pack_arrival_clock_struct {
    bool started = false;
    pack_clock_struct last{};  // the pack met last
};

// The clock of the next pack: the first arrives at 0, each later one its
// SCR distance after the one before.
inline pack_clock_struct next_pack_clock(pack_arrival_clock_struct& c, const pack_struct& pack) {
    // SCR distances from pack to pack, so that the clock runs on across the
    // wrap of the 32 bits the model keeps.
    pack_clock_struct clock{0, pack.scr, pack.ext};
    if (c.started) {
        int32_t distance = static_cast<int32_t>(pack.scr - c.last.scr);
        clock.arrival = c.last.arrival + int64_t{distance} * 300 + (pack.ext - c.last.ext);
    }
    c.started = true;
    c.last = clock;
    return clock;
}

// Ticks of a 90 kHz time stamp carried in the pack at `clock`.
inline int64_t stamp_to_ticks(const pack_clock_struct& clock, uint64_t stamp) {
    // The stamp lies within a few seconds of the SCR of its pack; the low 32
    // bits of both give the distance even across the 33-bit wrap.
    int32_t distance = static_cast<int32_t>(static_cast<uint32_t>(stamp) - clock.scr);
    return clock.arrival + int64_t{distance} * 300 - clock.ext;
}

// Offset of the first payload byte within its packet.
inline int64_t payload_start(const packet_struct& packet, int32_t systems_format) {
    return (systems_format == 1 ? 9 : 6) + int64_t{packet.pes_header_data_length};
}

// Where a packet's payload bytes arrive: payload byte k at
// arrival + trunc(ticks_per_byte * (first_byte + k)).
struct packet_arrival_struct {
    int64_t arrival;  // ticks of its pack
    float ticks_per_byte;
    int64_t first_byte;  // index of its first payload byte in the pack's arrival
    int64_t packet_offset;
};
inline packet_arrival_struct packet_arrival(const pack_struct& pack, const pack_clock_struct& clock,
                                            const packet_struct& packet, int32_t systems_format) {
    // The SCR tells when the byte holding the last bit of the SCR base
    // arrives: byte 8 of the pack in both stream formats.  Bytes arrive one
    // after another from there, so a packet's payload arrives after
    // everything in front of it in the pack.
    constexpr int64_t scr_byte_index = 8;
    packet_arrival_struct a;
    a.arrival = clock.arrival;
    // A pack without a usable mux rate delivers all its bytes at its SCR.
    a.ticks_per_byte =
        pack.bytes_per_second > 0 ? static_cast<float>(double{ticks_per_second} / pack.bytes_per_second) : 0.0f;
    a.first_byte = packet.starting_offset + payload_start(packet, systems_format) - (pack.offset + scr_byte_index);
    a.packet_offset = packet.starting_offset;
    return a;
}
