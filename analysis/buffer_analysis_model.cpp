// T-STD buffer model: track set-up, access-unit splitting, the buffer
// arithmetic and the pack-by-pack replay.
#include "buffer_analysis_model.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "parser.h"

namespace {

// Picture periods in 90 kHz ticks by frame_rate_code; 0 where the code is
// forbidden or reserved.
constexpr int32_t picture_period_90k[16] = {0, 3754, 3750, 3600, 3003, 3000, 1800, 1502, 1500,
                                            0, 0,    0,    0,    0,    0,    0};

// MPEG-1 audio bit rates in kbit/s by layer (1..3) and bitrate_index.
constexpr int32_t audio_kbit_rates[4][16] = {
    {},
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},
};
constexpr int32_t audio_sampling_hz[4] = {44100, 48000, 32000, 0};

// The SCR tells when the byte holding the last bit of the SCR base arrives:
// byte 8 of the pack in both stream formats.
constexpr int64_t scr_byte_index = 8;

double ticks_to_seconds(int64_t ticks) { return static_cast<double>(ticks) / ticks_per_second; }
float ticks_to_seconds_float(int64_t ticks) { return static_cast<float>(ticks_to_seconds(ticks)); }

bool is_video(uint32_t stream_id) { return (stream_id & 0xF0) == 0xE0; }
bool is_mpeg_audio(uint32_t stream_id) { return (stream_id & 0xF0) == 0xC0; }

// ---------------------------------------------------------------------------
// Pending access units.

bool slot_in_use(const buffer_occupancy_struct& r, int slot) {
    return (r.slots_in_use[slot >> 6] >> (slot & 63)) & 1;
}

// Lowest-numbered free slot, or -1 when all are in use.
int first_free_slot(const buffer_occupancy_struct& r) {
    constexpr int words = (pending_slot_count + 63) / 64;
    for (int w = 0; w < words; ++w) {
        uint64_t free_bits = ~r.slots_in_use[w];
        if (w == words - 1 && pending_slot_count % 64) free_bits &= (uint64_t{1} << (pending_slot_count % 64)) - 1;
        if (free_bits) return w * 64 + std::countr_zero(free_bits);
    }
    return -1;
}

// Frees every access unit decoded by `now` and finds the next decoding time.
void remove_decoded_units(buffer_occupancy_struct& r, int64_t now) {
    int64_t next = no_removal_due;
    for (int w = 0; w < (pending_slot_count + 63) / 64; ++w) {
        uint64_t bits = r.slots_in_use[w];
        while (bits) {
            int slot = w * 64 + std::countr_zero(bits);
            bits &= bits - 1;
            pending_au_struct& p = r.pending[slot];
            if (p.time <= now) {
                r.occupancy -= p.bytes;
                r.slots_in_use[w] &= ~(uint64_t{1} << (slot & 63));
            } else if (p.time < next) {
                next = p.time;
            }
        }
    }
    r.next_removal = next;
}

// ---------------------------------------------------------------------------
// Splitting one packet into entries and timing the access units that begin
// in it.  The packet's stamp goes to the first unit whose first byte lies in
// the packet.  A unit whose start code (or frame header) began at the end of
// the last packet takes that packet's stamp when the stamp found no unit
// there.  Every other unit comes one period after the unit before.

int64_t advance_time(int64_t time, int64_t by) { return time == no_decode_time ? time : time + by; }

class packet_split {
public:
    packet_split(buffer_occupancy_struct& r, DTS_Offsets& off, bool stamped, int64_t stamp)
        : r_(r), off_(off), stamp_(stamp), stamp_unused_(stamped), carried_(r.parse_info.has_carried_stamp) {
        off_.n_entries = 0;
        open(r.au_time, 0);
    }
    // An access unit begins at payload position `pos`; `began_earlier`: its
    // first byte lay in the last packet.  `period`: ticks since the unit
    // before.
    void start_unit(int64_t pos, bool began_earlier, int64_t period) {
        int64_t time;
        if (began_earlier) {
            time = carried_ ? r_.parse_info.carried_stamp : advance_time(r_.au_time, period);
            carried_ = false;
        } else if (stamp_unused_) {
            time = stamp_;
            stamp_unused_ = false;
        } else {
            time = advance_time(r_.au_time, period);
        }
        r_.au_time = time;
        close(pos);
        open(time, pos);
    }
    // The packet is stamped and no unit has taken the stamp yet.
    bool stamp_unused() const { return stamp_unused_; }
    // The last entry runs to the end of the payload; a stamp that found no
    // unit is carried to the next packet.
    void finish(int64_t payload_length) {
        r_.parse_info.has_carried_stamp = stamp_unused_;
        r_.parse_info.carried_stamp = stamp_;
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

    buffer_occupancy_struct& r_;
    DTS_Offsets& off_;
    int64_t start_ = 0;
    const int64_t stamp_;
    bool stamp_unused_;
    bool carried_;
};

// ---------------------------------------------------------------------------
// Video: access units begin at a sequence header, a group header not
// preceded by a sequence header, or a picture not preceded by either.

void split_video(buffer_occupancy_struct& r, const unsigned char* pl, int64_t len, bool stamped, int64_t stamp,
                 DTS_Offsets& off) {
    au_parse_info_struct& pi = r.parse_info;
    packet_split split(r, off, stamped, stamp);
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
            break;
        default:
            break;
        }
        if (!starts) return;
        // The unit begins at the start code's first byte, or at the start of
        // this payload when the start code began in an earlier packet.
        split.start_unit(std::max<int64_t>(i - 3, 0), i < 3, pi.frame_period);
    };

    // Start codes that end in the first three bytes may have begun in an
    // earlier packet: the register carries the bytes before.
    uint32_t reg = pi.start_code_register;
    const int64_t head = std::min<int64_t>(3, len);
    for (int64_t i = 0; i < head; ++i) {
        reg = (reg << 8) | pl[i];
        if ((reg & 0xFFFFFF00u) == 0x00000100u) start_code(i, static_cast<unsigned char>(reg));
    }
    // The later ones lie wholly in this payload: look for their 0x01 byte.
    for (int64_t k = 2; k + 1 < len;) {
        const void* hit = std::memchr(pl + k, 0x01, static_cast<size_t>(len - 1 - k));
        if (!hit) break;
        k = static_cast<const unsigned char*>(hit) - pl;
        if (pl[k - 1] == 0 && pl[k - 2] == 0) start_code(k + 1, pl[k + 1]);
        ++k;
    }
    if (len >= 4)
        reg = (uint32_t{pl[len - 4]} << 24) | (uint32_t{pl[len - 3]} << 16) | (uint32_t{pl[len - 2]} << 8) |
              pl[len - 1];
    pi.start_code_register = reg;
    // A stamp without a unit of its own still times the unit in progress for
    // the packets that follow.
    if (split.stamp_unused()) r.au_time = stamp;
    split.finish(len);
}

// ---------------------------------------------------------------------------
// MPEG audio: frames follow each other; each begins with a 4-byte header
// whose first three bytes give its length and duration.

// True when the first `n` (0..3) bytes can begin a frame header this model
// can time: sync word, a layer, a bit rate from the tables, a sampling
// frequency.
bool audio_header_prefix_ok(const unsigned char* h, int n) {
    if (n >= 1 && h[0] != 0xFF) return false;
    if (n >= 2 && ((h[1] & 0xF0) != 0xF0 || ((h[1] >> 1) & 3) == 0)) return false;
    if (n >= 3) {
        int bitrate_index = h[2] >> 4;
        int sampling = (h[2] >> 2) & 3;
        if (bitrate_index == 0 || bitrate_index == 15 || sampling == 3) return false;
    }
    return true;
}

// Reads a complete, valid header: frame length in bytes, duration in ticks.
void read_audio_header(const unsigned char* h, int32_t& frame_length, int32_t& duration) {
    int layer = 4 - ((h[1] >> 1) & 3);  // 1, 2 or 3
    int bitrate_index = h[2] >> 4;
    int32_t hz = audio_sampling_hz[(h[2] >> 2) & 3];
    int32_t padding = (h[2] >> 1) & 1;
    int64_t bits_per_second = int64_t{audio_kbit_rates[layer][bitrate_index]} * 1000;
    int32_t samples = layer == 1 ? 384 : 1152;
    // 90 kHz count truncated first, as the tables give it (2351 for 1152
    // samples at 44.1 kHz).
    duration = static_cast<int32_t>(int64_t{samples} * 90000 / hz) * 300;
    if (layer == 1)
        frame_length = static_cast<int32_t>((12 * bits_per_second / hz + padding) * 4);
    else
        frame_length = static_cast<int32_t>(144 * bits_per_second / hz + padding);
}

struct header_search {
    bool found = false;
    int64_t frame_start = 0;  // payload position where the frame begins
    int64_t header_end = 0;   // payload position after its third header byte
    bool began_earlier = false;  // its first byte lay in the last packet
    unsigned char header[3] = {};
};

// Looks for the next valid frame header in the bytes carried over from the
// last payload followed by pl[p..len).  When none is complete, carries over
// the trailing bytes that may still begin one.
header_search find_audio_header(au_parse_info_struct& pi, const unsigned char* pl, int64_t len, int64_t p) {
    header_search s;
    const int k = pi.n_resync_bytes;
    auto byte_at = [&](int64_t v) { return v < k ? pi.resync_bytes[v] : pl[p + (v - k)]; };
    const int64_t total = k + (len - p);
    for (int64_t v = 0; v < total;) {
        if (v >= k) {
            // Jump to the next 0xFF in the payload.
            const void* ff = std::memchr(pl + p + (v - k), 0xFF, static_cast<size_t>(len - p - (v - k)));
            if (!ff) break;
            v = k + (static_cast<const unsigned char*>(ff) - pl - p);
        }
        unsigned char h[3];
        int n = static_cast<int>(std::min<int64_t>(3, total - v));
        for (int j = 0; j < n; ++j) h[j] = byte_at(v + j);
        if (audio_header_prefix_ok(h, n)) {
            if (n < 3) {
                // May complete in the next packet.
                pi.n_resync_bytes = n;
                std::memcpy(pi.resync_bytes, h, static_cast<size_t>(n));
                return s;
            }
            s.found = true;
            s.began_earlier = v < k;
            s.frame_start = v < k ? p : p + (v - k);
            s.header_end = p + (v + 3 - k);
            std::memcpy(s.header, h, 3);
            pi.n_resync_bytes = 0;
            return s;
        }
        ++v;
    }
    pi.n_resync_bytes = 0;
    return s;
}

void split_audio(buffer_occupancy_struct& r, const unsigned char* pl, int64_t len, bool stamped, int64_t stamp,
                 DTS_Offsets& off) {
    au_parse_info_struct& pi = r.parse_info;
    packet_split split(r, off, stamped, stamp);
    auto take_header = [&](const unsigned char* h) {
        int32_t length = 0;
        read_audio_header(h, length, pi.frame_duration);
        pi.frame_bytes_left = length - 3;
    };
    auto lose_sync = [&](const unsigned char* carry, int n) {
        pi.lost_sync = true;
        pi.n_resync_bytes = n;
        if (n > 0) std::memcpy(pi.resync_bytes, carry, static_cast<size_t>(n));
    };

    int64_t p = 0;
    if (!pi.lost_sync && (pi.header_bytes == 1 || pi.header_bytes == 2)) {
        // A header begun in an earlier packet; its frame already has a time.
        const int had = pi.header_bytes;
        while (pi.header_bytes < 3 && p < len) pi.audio_au_header[pi.header_bytes++] = pl[p++];
        if (!audio_header_prefix_ok(pi.audio_au_header, pi.header_bytes)) {
            // Not a header after all: look again from its second byte.
            lose_sync(pi.audio_au_header + 1, had - 1);
            p = 0;
        } else if (pi.header_bytes == 3) {
            take_header(pi.audio_au_header);
        }
    }
    if (pi.lost_sync || pi.header_bytes == 3 || pi.header_bytes == 0) {
        for (;;) {
            if (pi.lost_sync) {
                header_search s = find_audio_header(pi, pl, len, p);
                if (!s.found) break;
                pi.lost_sync = false;
                split.start_unit(s.frame_start, s.began_earlier, pi.frame_duration);
                std::memcpy(pi.audio_au_header, s.header, 3);
                pi.header_bytes = 3;
                take_header(pi.audio_au_header);
                p = s.header_end;
            }
            if (pi.frame_bytes_left >= len - p) {
                pi.frame_bytes_left -= static_cast<int32_t>(len - p);
                break;
            }
            p += pi.frame_bytes_left;
            pi.frame_bytes_left = 0;
            // A frame starts at p.
            int avail = static_cast<int>(std::min<int64_t>(3, len - p));
            if (!audio_header_prefix_ok(pl + p, avail)) {
                lose_sync(nullptr, 0);
                ++p;
                continue;
            }
            split.start_unit(p, false, pi.frame_duration);
            pi.header_bytes = avail;
            std::memcpy(pi.audio_au_header, pl + p, static_cast<size_t>(avail));
            p += avail;
            if (avail < 3) break;
            take_header(pi.audio_au_header);
        }
    }
    // While the stream cannot be split, a time stamp still tells the time of
    // the unit in progress for the packets that follow.
    if (pi.lost_sync && split.stamp_unused()) r.au_time = stamp;
    split.finish(len);
}

// Offset of the first payload byte within its packet.
int64_t payload_start(const packet_struct& packet) {
    return (_mpeg_systems_format == 1 ? 9 : 6) + int64_t{packet.pes_header_data_length};
}

// The `n` bytes at `offset` of the stream file, or null when the file does
// not hold them all.
const unsigned char* read_packet(packet_reader_struct& reader, int64_t offset, int64_t n) {
    if (!reader.fp || offset < 0 || n > static_cast<int64_t>(packet_reader_block)) return nullptr;
    if (offset >= reader.block_offset && offset + n <= reader.block_offset + reader.block_length)
        return reader.data.get() + (offset - reader.block_offset);
    reader.block_offset = offset;
    reader.block_length = 0;
    if (fseeko(reader.fp, static_cast<off_t>(offset), SEEK_SET) != 0) return nullptr;
    size_t got = std::fread(reader.data.get(), 1, packet_reader_block, reader.fp);
    if (got < packet_reader_block) std::clearerr(reader.fp);
    reader.block_length = static_cast<int64_t>(got);
    return n <= reader.block_length ? reader.data.get() : nullptr;
}

buffer_occupancy_struct* find_track(buffer_replay_struct& rp, uint32_t stream_id) {
    for (int i = 0; i < rp.n_buffer_track_streams; ++i)
        if (rp.buffer_occupied[i].stream_id == stream_id) return &rp.buffer_occupied[i];
    return nullptr;
}

}  // namespace

int64_t stamp_to_ticks(const pack_clock_struct& clock, uint64_t stamp) {
    // The stamp lies within a few seconds of the SCR of its pack; the low 32
    // bits of both give the distance even across the 33-bit wrap.
    int32_t distance = static_cast<int32_t>(static_cast<uint32_t>(stamp) - clock.scr);
    return clock.arrival + int64_t{distance} * 300 - clock.ext;
}

pack_clock_struct next_pack_clock(buffer_replay_struct& rp, const pack_struct& pack) {
    // SCR distances from pack to pack, so that the clock runs on across the
    // wrap of the 32 bits the model keeps.
    pack_clock_struct clock{0, pack.scr, pack.ext};
    if (rp.clock_started) {
        int32_t distance = static_cast<int32_t>(pack.scr - rp.last_clock.scr);
        clock.arrival = rp.last_clock.arrival + int64_t{distance} * 300 + (pack.ext - rp.last_clock.ext);
    }
    rp.clock_started = true;
    rp.last_clock = clock;
    return clock;
}

void init_buffer_track(buffer_occupancy_struct& r, uint8_t stream_id) {
    // Everything not set here starts at 0: an empty buffer, ring and
    // pending table, and no parsing state.
    std::memset(&r, 0, sizeof r);
    r.stream_id = stream_id;
    r.buffer_size = is_video(stream_id) ? default_video_buffer_size : default_other_buffer_size;
    r.au_time = no_decode_time;
    r.interval_max = {interval_max_none, 0};
    r.interval_min = {interval_min_none, 0};
    r.next_removal = 0x00000000FFFFFFFFll;
    r.last_time = 1;
    if (is_video(stream_id)) r.parse_info.start_code_register = 0xFFFFFFFFu;
}

void setup_buffer_tracks(buffer_replay_struct& rp) {
    rp.n_buffer_track_streams = 0;
    for (const auto& pack : _all_packs_array) {
        for (const packet_struct& packet : pack->packets) {
            if (packet.pts_dts_flag != 2 && packet.pts_dts_flag != 3) continue;
            if (rp.n_buffer_track_streams == max_buffer_tracks) return;
            if (find_track(rp, packet.stream_id)) continue;
            buffer_occupancy_struct& r = rp.buffer_occupied[rp.n_buffer_track_streams++];
            init_buffer_track(r, packet.stream_id);
            // The last system header that names the stream sets its size;
            // within one header the first entry for it counts.
            for (const auto& p : _all_packs_array)
                for (const system_header_struct& h : p->system_headers)
                    for (const buffer_info_struct& info : h.buffer_info)
                        if (static_cast<uint32_t>(info.stream_id) == r.stream_id) {
                            r.buffer_size = info.actual_std_size;
                            break;
                        }
        }
    }
}

void get_offsets(packet_reader_struct& reader, buffer_occupancy_struct& r, const packet_struct& packet,
                 const pack_clock_struct& clock, DTS_Offsets& off) {
    off.n_entries = 0;
    const bool video = is_video(r.stream_id);
    if (!video && !is_mpeg_audio(r.stream_id)) return;
    if (packet.length < 0 || packet.starting_offset < 0 || packet.pes_header_data_length < 0) return;
    const int64_t total = 6 + int64_t{packet.length};
    const int64_t start = payload_start(packet);
    const int64_t len = total - start;
    if (len < 0) return;
    const unsigned char* data = read_packet(reader, packet.starting_offset, total);
    if (!data) return;

    uint64_t stamp = absent_ts;
    if (packet.pts_dts_flag == 3)
        stamp = packet.dts;
    else if (packet.pts_dts_flag == 2)
        stamp = packet.pts;
    const bool stamped = stamp != absent_ts;
    const int64_t stamp_ticks = stamped ? stamp_to_ticks(clock, stamp) : no_decode_time;
    const unsigned char* payload = data + start;
    if (video)
        split_video(r, payload, len, stamped, stamp_ticks, off);
    else
        split_audio(r, payload, len, stamped, stamp_ticks, off);
}

namespace {

[[gnu::noinline, gnu::cold]] void report_underflow(const buffer_occupancy_struct& r, int64_t d, int64_t a) {
    std::printf("Error.  Underflow in stream 0x%x at %f seconds.  DTS = %d, SCR = %d\n", r.stream_id,
                static_cast<double>(ticks_to_seconds_float(a)), static_cast<int32_t>(static_cast<uint32_t>(d)),
                static_cast<int32_t>(static_cast<uint32_t>(a)));
}

[[gnu::noinline]] void open_pending_slot(buffer_occupancy_struct& r, int64_t d) {
    int slot = first_free_slot(r);
    if (slot < 0) return;  // all in use: the byte joins the slot last opened
    r.pending[slot] = {d, 0};
    r.slots_in_use[slot >> 6] |= uint64_t{1} << (slot & 63);
    r.current_slot = slot;
    r.last_time = d;
}

// The per-byte path: constant time unless a removal is due.
[[gnu::always_inline]] inline bool enter_byte(int64_t d, int64_t a, buffer_occupancy_struct& r) {
    if (d < a && d != no_decode_time) [[unlikely]]
        report_underflow(r, d, a);
    if (d != r.last_time || !slot_in_use(r, r.current_slot)) [[unlikely]]
        open_pending_slot(r, d);
    ++r.pending[r.current_slot].bytes;
    ++r.occupancy;
    if (r.next_removal <= a) [[unlikely]]
        remove_decoded_units(r, a);
    if (d < r.next_removal) r.next_removal = d;
    if (r.occupancy > r.interval_max.occupancy) r.interval_max = {r.occupancy, a};
    if (r.occupancy < r.interval_min.occupancy) r.interval_min = {r.occupancy, a};
    return r.occupancy > r.buffer_size;
}

}  // namespace

bool add_byte_to_buffer(int64_t d, int64_t a, buffer_occupancy_struct& r) { return enter_byte(d, a, r); }

namespace {

// Enters `count` bytes of one access unit, payload byte `n` arriving at
// t + trunc(ticks_per_byte * n), exactly as `count` calls of
// add_byte_to_buffer would.  After one full call, the bytes that arrive
// before the next removal is due (and so before their decoding time) only
// add to the open slot; arrival times never decrease with n, so how many
// they are, where the first of them overflows and when the last arrives
// are found without visiting each.
void enter_unit_bytes(buffer_occupancy_struct& r, int64_t d, int64_t t, float ticks_per_byte, int64_t& n,
                      int32_t count, bool& overflow, int64_t& overflow_at) {
    auto arrival = [&](int64_t byte) { return t + static_cast<int64_t>(ticks_per_byte * static_cast<float>(byte)); };
    while (count > 0) {
        int64_t a = arrival(n);
        if (enter_byte(d, a, r) && !overflow) {
            overflow = true;
            overflow_at = a;
        }
        ++n;
        --count;

        // The bytes n .. n+run-1 arrive before `limit`.
        const int64_t limit = r.next_removal;  // not later than d now
        int32_t lo = 0, hi = count;
        while (lo < hi) {
            int32_t mid = lo + (hi - lo) / 2;
            if (arrival(n + mid) >= limit)
                hi = mid;
            else
                lo = mid + 1;
        }
        const int32_t run = lo;
        if (run == 0) continue;
        const int32_t before = r.occupancy;
        if (!overflow && int64_t{before} + run > r.buffer_size) {
            // Byte j of the run holds before + j + 1 bytes.
            int64_t j = std::max<int64_t>(0, int64_t{r.buffer_size} - before);
            overflow = true;
            overflow_at = arrival(n + j);
        }
        r.pending[r.current_slot].bytes += run;
        r.occupancy = before + run;
        // The occupancy only rose, so the last byte holds any new maximum.
        if (r.occupancy > r.interval_max.occupancy) r.interval_max = {r.occupancy, arrival(n + run - 1)};
        n += run;
        count -= run;
    }
}

}  // namespace

void append_ring_point(buffer_occupancy_struct& r, buffer_sample_struct point) {
    r.ring[r.ring_head] = point;
    r.ring_head = (r.ring_head + 1) % ring_size;
    if (r.ring_head == r.ring_tail) r.ring_tail = (r.ring_tail + 1) % ring_size;
}

int ring_point_count(const buffer_occupancy_struct& r) {
    return (r.ring_head - r.ring_tail + ring_size) % ring_size;
}

const buffer_sample_struct& ring_point(const buffer_occupancy_struct& r, int n) {
    return r.ring[(r.ring_tail + n) % ring_size];
}

void take_buffer_sample(buffer_replay_struct& rp, int64_t t) {
    if (--rp.countdown == 0) {
        if (rp.analysis_state == analysis_running) rp.analysis_state = analysis_waiting_redraw;
        rp.countdown = samples_per_redraw;
    }
    rp.next_sample = t + sample_interval_ticks;
    for (int i = 0; i < rp.n_buffer_track_streams; ++i) {
        buffer_occupancy_struct& r = rp.buffer_occupied[i];
        if (r.interval_max.occupancy == interval_max_none || r.interval_min.occupancy == interval_min_none) continue;
        const buffer_sample_struct max{r.interval_max.occupancy, ticks_to_seconds_float(r.interval_max.arrival)};
        const buffer_sample_struct min{r.interval_min.occupancy, ticks_to_seconds_float(r.interval_min.arrival)};
        if (max.seconds < min.seconds) {
            append_ring_point(r, max);
            append_ring_point(r, min);
        } else {
            append_ring_point(r, min);
            append_ring_point(r, max);
        }
        r.interval_max = {interval_max_none, 0};
        r.interval_min = {interval_min_none, 0};
    }
}

bool open_buffer_replay(buffer_replay_struct& rp) {
    close_buffer_replay(rp);
    rp.pack_index = 0;
    rp.next_sample = sample_interval_ticks;
    rp.countdown = samples_per_redraw;
    rp.clock_started = false;
    const char* name = get_mpeg_file_name();
    if (!name || _n_all_packs() <= 0) return false;
    rp.reader.fp = std::fopen(name, "rb");
    if (!rp.reader.fp) return false;
    rp.reader.block_offset = rp.reader.block_length = 0;
    if (!rp.reader.data) rp.reader.data = std::make_unique<unsigned char[]>(packet_reader_block);
    return true;
}

bool buffer_replay_finished(const buffer_replay_struct& rp) {
    return !rp.reader.fp || rp.pack_index >= _n_all_packs();
}

bool buffer_replay_step(buffer_replay_struct& rp) {
    if (buffer_replay_finished(rp)) return false;
    const pack_struct& pack = *_all_packs_array[static_cast<size_t>(rp.pack_index++)];

    const pack_clock_struct clock = next_pack_clock(rp, pack);
    const int64_t t = clock.arrival;
    // A pack without a usable mux rate delivers all its bytes at its SCR.
    const float ticks_per_byte =
        pack.bytes_per_second > 0 ? static_cast<float>(double{ticks_per_second} / pack.bytes_per_second) : 0.0f;

    if (t >= rp.next_sample) take_buffer_sample(rp, t);

    for (const packet_struct& packet : pack.packets) {
        buffer_occupancy_struct* r = find_track(rp, packet.stream_id);
        if (!r) continue;
        get_offsets(rp.reader, *r, packet, clock, rp.offsets);
        // Bytes arrive one after another from the byte that ends the SCR
        // base (the ninth of the pack), so a packet's payload arrives after
        // everything in front of it in the pack.
        int64_t n = packet.starting_offset + payload_start(packet) - (pack.offset + scr_byte_index);
        bool overflow = false;
        int64_t overflow_at = 0;
        for (int32_t e = 0; e < rp.offsets.n_entries; ++e)
            enter_unit_bytes(*r, rp.offsets.au_dts[static_cast<size_t>(e)], t, ticks_per_byte, n,
                             rp.offsets.n_bytes[static_cast<size_t>(e)], overflow, overflow_at);
        if (overflow)
            std::printf("Error: Overflow in 0x%x at %f seconds (SCR = %lld, input SCR = %lld)\n", r->stream_id,
                        ticks_to_seconds(overflow_at), static_cast<long long>(overflow_at), static_cast<long long>(t));
    }
    return true;
}

void close_buffer_replay(buffer_replay_struct& rp) {
    if (rp.reader.fp) std::fclose(rp.reader.fp);
    rp.reader.fp = nullptr;
    rp.reader.block_offset = rp.reader.block_length = 0;
}
