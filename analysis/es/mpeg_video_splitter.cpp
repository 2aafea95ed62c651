// MPEG-1/2 video: access units begin at a sequence header, a group header
// not preceded by a sequence header, or a picture not preceded by either.
#include "es/start_codes.h"
#include <algorithm>
#include <cstring>

#include "es/stamp_rule.h"

namespace {

// Picture periods in 90 kHz ticks by frame_rate_code; 0 where the code is
// forbidden or reserved.
constexpr int32_t picture_period_90k[16] = {0, 3754, 3750, 3600, 3003, 3000, 1800, 1502, 1500,
                                            0, 0,    0,    0,    0,    0,    0};

}  // namespace

void split_mpeg_video(au_splitter_struct& s, const unsigned char* pl, int64_t len, bool stamped, int64_t stamp,
                      au_split_struct& off) {
    au_parse_info_struct& pi = s.parse_info;
    packet_split split(s, off, stamped, stamp);
    auto start_code = [&](int64_t i, unsigned char code) {
        bool starts = false;
        switch (code) {
        case 0xB3:
            // The frame_rate_code is the low nibble of the fourth byte after
            // the start code; when it lies beyond this payload the period
            // waits for a later sequence header.
            if (i + 4 < len) {
                int32_t period = picture_period_90k[pl[i + 4] & 0x0F];
                if (period == 0) {
                    pi.lost_sync = true;
                } else {
                    pi.lost_sync = false;
                    if (pi.frame_period == 0) pi.frame_period = period * 300;
                }
            }
            pi.in_header = true;
            starts = !pi.lost_sync;
            break;
        case 0xB8:
            starts = !pi.in_header && !pi.lost_sync;
            pi.in_header = true;
            break;
        case 0x00:
            starts = !pi.in_header && !pi.lost_sync;
            pi.in_header = false;
            // The packet's stamp belongs to the unit holding the first
            // picture that begins in it, even when that unit's sequence or
            // group header began in an earlier packet.
            if (!starts && i >= 3 && !pi.lost_sync && split.stamp_unused()) split.retime_current();
            break;
        default:
            break;
        }
        if (!starts) return;
        // The unit begins at the start code's first byte, or at the start of
        // this payload when the start code began in an earlier packet.
        split.start_unit(std::max<int64_t>(i - 3, 0), i < 3, pi.frame_period);
    };

    uint32_t reg = pi.start_code_register;
    scan_start_codes(reg, pl, len, start_code);
    end_start_code_register(reg, pl, len);
    pi.start_code_register = reg;
    // A stamp without a unit of its own still times the unit in progress for
    // the packets that follow.
    if (split.stamp_unused()) s.au_time = stamp;
    split.finish(len);
}
