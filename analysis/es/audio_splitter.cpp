// MPEG audio, AC-3 and AAC in ADTS: frames follow each other; each begins with a header
// whose first bytes give its length and duration (es/audio_frame.h).
#include <algorithm>
#include <cstring>

#include "es/audio_frame.h"
#include "es/stamp_rule.h"

namespace {

int audio_header_size(int32_t format) {
    return format == format_ac3 ? ac3_header_bytes : format == format_aac_adts ? adts_header_bytes : mpeg_audio_header_bytes;
}

bool audio_header_prefix_ok(int32_t format, const unsigned char* h, int n) {
    return format == format_ac3 ? ac3_prefix_ok(h, n) : format == format_aac_adts ? adts_prefix_ok(h, n) : mpeg_audio_prefix_ok(h, n);
}

audio_frame_struct read_audio_header(int32_t format, const unsigned char* h) {
    return format == format_ac3 ? ac3_frame(h) : format == format_aac_adts ? adts_frame(h) : mpeg_audio_frame(h);
}

struct header_search {
    bool found = false;
    int64_t frame_start = 0;     // payload position where the frame begins
    int64_t header_end = 0;      // payload position after its last header byte
    bool began_earlier = false;  // its first byte lay in the last packet
    unsigned char header[adts_header_bytes] = {};
};

// Looks for the next valid frame header in the bytes carried over from the
// last payload followed by pl[p..len).  When none is complete, carries over
// the trailing bytes that may still begin one.
header_search find_audio_header(int32_t format, au_parse_info_struct& pi, const unsigned char* pl, int64_t len,
                                int64_t p) {
    header_search s;
    const int hs = audio_header_size(format);
    const unsigned char sync = format == format_ac3 ? 0x0B : 0xFF;
    const int k = pi.n_resync_bytes;
    auto byte_at = [&](int64_t v) { return v < k ? pi.resync_bytes[v] : pl[p + (v - k)]; };
    const int64_t total = k + (len - p);
    for (int64_t v = 0; v < total;) {
        if (v >= k) {
            // Jump to the next sync byte in the payload.
            const void* ff = std::memchr(pl + p + (v - k), sync, static_cast<size_t>(len - p - (v - k)));
            if (!ff) break;
            v = k + (static_cast<const unsigned char*>(ff) - pl - p);
        }
        unsigned char h[adts_header_bytes];
        int n = static_cast<int>(std::min<int64_t>(hs, total - v));
        for (int j = 0; j < n; ++j) h[j] = byte_at(v + j);
        if (audio_header_prefix_ok(format, h, n)) {
            if (n < hs) {
                // May complete in the next packet.
                pi.n_resync_bytes = n;
                std::memcpy(pi.resync_bytes, h, static_cast<size_t>(n));
                return s;
            }
            s.found = true;
            s.began_earlier = v < k;
            s.frame_start = v < k ? p : p + (v - k);
            s.header_end = p + (v + hs - k);
            std::memcpy(s.header, h, static_cast<size_t>(hs));
            pi.n_resync_bytes = 0;
            return s;
        }
        ++v;
    }
    pi.n_resync_bytes = 0;
    return s;
}

}  // namespace

void split_audio_frames(au_splitter_struct& s, const unsigned char* pl, int64_t len, bool stamped, int64_t stamp,
                        au_split_struct& off) {
    au_parse_info_struct& pi = s.parse_info;
    const int32_t format = s.format;
    const int hs = audio_header_size(format);
    packet_split split(s, off, stamped, stamp);
    auto take_header = [&](const unsigned char* h) {
        const audio_frame_struct frame = read_audio_header(format, h);
        pi.frame_duration = frame.duration;
        pi.frame_bytes_left = frame.length - hs;
        if (format == format_aac_adts) {
            s.has_adts_header = read_adts_header(h, adts_header_bytes, s.adts_header);
        }
    };
    auto lose_sync = [&](const unsigned char* carry, int n) {
        pi.lost_sync = true;
        pi.n_resync_bytes = n;
        if (n > 0) std::memcpy(pi.resync_bytes, carry, static_cast<size_t>(n));
    };

    int64_t p = 0;
    if (!pi.lost_sync && pi.header_bytes > 0 && pi.header_bytes < hs) {
        // A header begun in an earlier packet; its frame already has a time.
        const int had = pi.header_bytes;
        while (pi.header_bytes < hs && p < len) pi.audio_au_header[pi.header_bytes++] = pl[p++];
        if (!audio_header_prefix_ok(format, pi.audio_au_header, pi.header_bytes)) {
            // Not a header after all: look again from its second byte.
            lose_sync(pi.audio_au_header + 1, had - 1);
            p = 0;
        } else if (pi.header_bytes == hs) {
            take_header(pi.audio_au_header);
        }
    }
    if (pi.lost_sync || pi.header_bytes == hs || pi.header_bytes == 0) {
        for (;;) {
            if (pi.lost_sync) {
                header_search h = find_audio_header(format, pi, pl, len, p);
                if (!h.found) break;
                pi.lost_sync = false;
                split.start_unit(h.frame_start, h.began_earlier, pi.frame_duration);
                std::memcpy(pi.audio_au_header, h.header, static_cast<size_t>(hs));
                pi.header_bytes = hs;
                take_header(pi.audio_au_header);
                p = h.header_end;
            }
            if (pi.frame_bytes_left >= len - p) {
                pi.frame_bytes_left -= static_cast<int32_t>(len - p);
                break;
            }
            p += pi.frame_bytes_left;
            pi.frame_bytes_left = 0;
            // A frame starts at p.
            int avail = static_cast<int>(std::min<int64_t>(hs, len - p));
            if (!audio_header_prefix_ok(format, pl + p, avail)) {
                lose_sync(nullptr, 0);
                ++p;
                continue;
            }
            split.start_unit(p, false, pi.frame_duration);
            pi.header_bytes = avail;
            std::memcpy(pi.audio_au_header, pl + p, static_cast<size_t>(avail));
            p += avail;
            if (avail < hs) break;
            take_header(pi.audio_au_header);
        }
    }
    // While the stream cannot be split, a time stamp still tells the time of
    // the unit in progress for the packets that follow.
    if (pi.lost_sync && split.stamp_unused()) s.au_time = stamp;
    split.finish(len);
}
