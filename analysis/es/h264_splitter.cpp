// H.264 (ITU-T H.264 | ISO/IEC 14496-10) Annex B byte stream: access units
// begin at an access unit delimiter (NAL type 9).  A stream without them
// has its units begin, after a slice of the unit before (7.4.1.2.3), at the
// first SPS (7), PPS (8), SEI (6), NAL of types 14 to 18, or slice (1 or 5)
// with first_mb_in_slice 0.  Emulation prevention keeps 00 00 01 out of NAL
// payloads, so every 00 00 01 is a start code.
#include "es/start_codes.h"
#include <algorithm>
#include <cstring>

#include "es/stamp_rule.h"

namespace {

// Ticks per frame from the VUI timing: two clock ticks per frame; 0 when
// the SPS has no timing or a period out of range.
int32_t vui_frame_period(const h264_sps_info& sps) {
    if (sps.time_scale == 0 || sps.num_units_in_tick == 0) return 0;
    const int64_t ticks = 2 * int64_t{sps.num_units_in_tick} * ticks_per_second / sps.time_scale;
    return ticks > 0 && ticks <= INT32_MAX ? static_cast<int32_t>(ticks) : 0;
}

}  // namespace

void split_h264(au_splitter_struct& s, const unsigned char* pl, int64_t len, bool stamped, int64_t stamp,
                au_split_struct& off) {
    au_parse_info_struct& pi = s.parse_info;
    packet_split split(s, off, stamped, stamp);
    // Payload position from which the SPS being collected goes on.
    int64_t sps_from = 0;
    auto collect_sps = [&](int64_t end) {
        const int64_t n = end - sps_from;
        if (n <= 0 || pi.h264_sps_bytes < 0) return;
        if (pi.h264_sps_bytes + n > h264_sps_max_bytes) {
            pi.h264_sps_bytes = -1;  // too long to keep: not read
            return;
        }
        std::memcpy(pi.h264_sps + pi.h264_sps_bytes, pl + sps_from, static_cast<size_t>(n));
        pi.h264_sps_bytes += static_cast<int32_t>(n);
    };
    auto end_sps = [&](int64_t end) {
        collect_sps(end);
        h264_sps_info info;
        if (pi.h264_sps_bytes > 0 && read_h264_sps(pi.h264_sps, static_cast<size_t>(pi.h264_sps_bytes), info)) {
            s.sps = info;
            s.has_sps = true;
            pi.frame_period = vui_frame_period(info);
        }
        pi.h264_in_sps = false;
    };
    // A unit begins at the start code prefix (with the zero_byte before it
    // when that lies in this payload) of the NAL header at `i`, or at the
    // start of the payload when the prefix began in the last one.
    auto start_at = [&](int64_t i, bool began_earlier) {
        int64_t pos = began_earlier ? 0 : i - 3;
        if (pos > 0 && pl[pos - 1] == 0) --pos;
        split.start_unit(pos, began_earlier, pi.frame_period);
    };
    // A slice's first byte after its NAL header: first_mb_in_slice is 0
    // when its ue(v) code is the single bit 1.
    auto slice = [&](unsigned char first_byte, int64_t i, bool began_earlier) {
        if (!pi.h264_has_aud && pi.h264_slice_seen && (first_byte & 0x80)) start_at(i, began_earlier);
        pi.h264_slice_seen = true;
    };
    auto nal = [&](int64_t i, unsigned char header) {
        if (pi.h264_in_sps) end_sps(std::max<int64_t>(i - 3, 0));
        const int type = header & 0x1F;
        const bool began_earlier = i < 3;
        if (type == 9) {
            pi.h264_has_aud = true;
            pi.h264_slice_seen = false;
            start_at(i, began_earlier);
        } else if (type == 6 || type == 7 || type == 8 || (type >= 14 && type <= 18)) {
            if (!pi.h264_has_aud && pi.h264_slice_seen) start_at(i, began_earlier);
            pi.h264_slice_seen = false;
        } else if (type == 1 || type == 5) {
            if (i + 1 < len)
                slice(pl[i + 1], i, began_earlier);
            else
                pi.h264_slice_pending = true;
        }
        if (type == 7) {
            pi.h264_in_sps = true;
            pi.h264_sps_bytes = 0;
            sps_from = i;
        }
    };

    if (pi.h264_slice_pending && len > 0) {
        pi.h264_slice_pending = false;
        slice(pl[0], 0, true);
    }
    uint32_t reg = pi.start_code_register;
    scan_start_codes(reg, pl, len, nal);
    if (pi.h264_in_sps) collect_sps(len);
    end_start_code_register(reg, pl, len);
    pi.start_code_register = reg;
    // A stamp without a unit of its own still times the unit in progress for
    // the packets that follow.
    if (split.stamp_unused()) s.au_time = stamp;
    split.finish(len);
}
