// Helpers shared by the packet readers of both stream formats.
#pragma once

#include <cstdint>

#include "parser.h"

// A 33-bit time stamp from five bytes, the first of which is already read.
uint64_t read_time_stamp(uint8_t t0);

// Checks a marker bit that must be 1.  A failure prints the marker message;
// the dumper then ends with status 1, the analyser reads on.
void marker_check(bool bit_is_set);

// Ends the process with status 1 when the settings say stream errors are
// fatal (unknown stream_id).
[[noreturn]] void exit_on_stream_error();

// True while a Lisp export is chosen: the parser then keeps its progress and
// trick-mode / extension lines out of the Lisp text.
inline bool lisp_export_chosen() { return _export_CL_lisp || _export_elisp; }
// Whether the lines printed whatever the text-dump setting are printed.
inline bool always_lines_shown() { return !lisp_export_chosen() && !_quiet_parse; }

// Ends the reading of a packet: it goes to the pack parts consumer when one
// is set, otherwise it is appended to the current pack.
inline void finish_packet(packet_struct& packet) {
    _current_packet = nullptr;
    if (!_pack_parts_consumer)
        add_packet_to_pack(*_current_pack, std::move(packet));
    else if (_pack_parts_consumer->packet)
        _pack_parts_consumer->packet(packet);
}

inline unsigned long long offset_hex(int64_t offset) { return static_cast<unsigned long long>(offset); }
