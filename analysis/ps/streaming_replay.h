// Replay while parsing, for a program that keeps no packs (psverify): the
// P-STD or STD replay of ps/pstd_replay.h fed by the reader as it reads.
// Each stream gets a record at its first packet (up to track_limit), each
// pack's clock and system headers are taken when its first packet or the
// pack itself arrives, and each packet is entered once its payload is
// complete.
#pragma once

#include <algorithm>
#include <cstddef>
#include <iterator>

#include "ps/pstd_replay.h"
#include "ps_reader.h"

void begin_streaming_replay(buffer_replay_struct& replay);
void streaming_replay_payload(buffer_replay_struct& replay, const pack_struct& pack, const packet_struct& packet,
                              const unsigned char* data, size_t n);
void streaming_replay_pack(buffer_replay_struct& replay, const pack_struct& pack);
// After a system header met while streaming: the bounds in system_bounds
// hold for the streams whose own buffer field has not been met, from here
// on.
void streaming_replay_apply_bounds(buffer_replay_struct& replay);
// Enters the packets of track `track` that wait for its own buffer field,
// in their order, against the size now in force; the track waits no more.
void enter_deferred(buffer_replay_struct& replay, int32_t track);

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
