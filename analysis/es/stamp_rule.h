// The time-stamp rule of the splitters (ISO/IEC 13818-1, 2.4.3.7): a
// packet's stamp goes to the first access unit whose first byte lies in the
// packet.  A unit whose start code (or frame header) began at the end of the
// last packet takes that packet's stamp when the stamp found no unit there.
// Every other unit comes one period after the unit before.  Used by the
// splitters of each coding while they walk one payload.
#pragma once

#include <cstddef>
#include <cstdint>

#include "es/au_splitter.h"

inline int64_t advance_time(int64_t time, int64_t by) { return time == no_decode_time ? time : time + by; }

// The entries of one packet, opened as the units that begin in it are met.
class packet_split {
public:
    packet_split(au_splitter_struct& s, au_split_struct& off, bool stamped, int64_t stamp)
        : s_(s), off_(off), stamp_(stamp), stamp_unused_(stamped), carried_(s.parse_info.has_carried_stamp) {
        off_.n_entries = 0;
        off_.retime = false;
        open(s.au_time, 0);
    }
    // An access unit begins at payload position `pos`; `began_earlier`: its
    // first byte lay in the last packet.  `period`: ticks since the unit
    // before.
    void start_unit(int64_t pos, bool began_earlier, int64_t period) {
        ++s_.access_units;
        int64_t time;
        if (began_earlier) {
            time = carried_ ? s_.parse_info.carried_stamp : advance_time(s_.au_time, period);
            carried_ = false;
        } else if (stamp_unused_) {
            time = stamp_;
            stamp_unused_ = false;
        } else {
            time = advance_time(s_.au_time, period);
        }
        s_.au_time = time;
        close(pos);
        open(time, pos);
    }
    // The packet is stamped and no unit has taken the stamp yet.
    bool stamp_unused() const { return stamp_unused_; }
    // The unit in progress, begun in an earlier packet, takes the stamp.
    void retime_current() {
        const size_t k = static_cast<size_t>(off_.n_entries - 1);
        if (k == 0) {
            off_.retime = true;
            off_.retime_from = off_.au_dts[0];
            off_.retime_to = stamp_;
        }
        off_.au_dts[k] = stamp_;
        s_.au_time = stamp_;
        stamp_unused_ = false;
    }
    // The last entry runs to the end of the payload; a stamp that found no
    // unit is carried to the next packet.
    void finish(int64_t payload_length) {
        s_.parse_info.has_carried_stamp = stamp_unused_;
        s_.parse_info.carried_stamp = stamp_;
        close(payload_length);
    }

private:
    void open(int64_t time, int64_t pos) {
        size_t k = static_cast<size_t>(off_.n_entries++);
        if (k >= off_.au_dts.size()) {
            off_.au_dts.push_back(time);
            off_.n_bytes.push_back(0);
        } else {
            off_.au_dts[k] = time;
            off_.n_bytes[k] = 0;
        }
        start_ = pos;
    }
    void close(int64_t pos) { off_.n_bytes[off_.n_entries - 1] = static_cast<int32_t>(pos - start_); }

    au_splitter_struct& s_;
    au_split_struct& off_;
    int64_t start_ = 0;
    const int64_t stamp_;
    bool stamp_unused_;
    bool carried_;
};

// The splitter of each coding, behind split_access_units: `stamp` is the
// packet's decoding time when `stamped`, else no_decode_time.
void split_mpeg_video(au_splitter_struct& s, const unsigned char* payload, int64_t len, bool stamped, int64_t stamp,
                      au_split_struct& off);
void split_h264(au_splitter_struct& s, const unsigned char* payload, int64_t len, bool stamped, int64_t stamp,
                au_split_struct& off);
// MPEG audio, AC-3 or AAC (ADTS), by s.format.
void split_audio_frames(au_splitter_struct& s, const unsigned char* payload, int64_t len, bool stamped,
                        int64_t stamp, au_split_struct& off);
