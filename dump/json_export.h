// JSON Lines export: one JSON object per pack, each on its own line.
//
// The parts of a pack reach the printer through the parser's pack parts
// consumer as they are read, so no pack keeps its packets or buffer bounds
// and memory stays flat whatever one pack holds.  The line of a pack goes to
// standard output when the pack ends.
#pragma once

#include "model.h"

// The consumer to install as `_pack_parts_consumer` for this export.
const struct pack_parts_consumer* json_parts_consumer();
// Ends the line of a finished pack and writes it out; `pack` holds the pack
// header fields (its parts came through the consumer).
void export_json_pack(const pack_struct& pack);
// The process ends in the middle of a pack (a stream error): the unfinished
// line is dropped, or, when part of it is already out, ended with a line
// feed so that every earlier line stays whole.
void export_json_abandon_pack();
