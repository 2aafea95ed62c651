// T-STD buffer model: track set-up, access-unit splitting, the buffer
// arithmetic and the pack-by-pack replay.
#include "buffer_analysis_model.h"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cinttypes>
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
// MPEG-2 low sampling rates (header ID bit 0): half the MPEG-1 rates, with
// their own bit-rate tables (Layers II and III share one).
constexpr int32_t lsf_kbit_rates[4][16] = {
    {},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
};
constexpr int32_t lsf_sampling_hz[4] = {22050, 24000, 16000, 0};

// AC-3 sync frame: syncword 0x0B77, crc1, then fscod (2 bits) and
// frmsizecod (6 bits).  Bit rates in kbit/s by frmsizecod / 2.
constexpr int32_t ac3_kbit_rates[19] = {32,  40,  48,  56,  64,  80,  96,  112, 128, 160,
                                        192, 224, 256, 320, 384, 448, 512, 576, 640};
constexpr int32_t ac3_sampling_hz[4] = {48000, 44100, 32000, 0};
constexpr int32_t ac3_samples_per_frame = 1536;

// DVD private_stream_1 sub-streams: the first payload byte names the
// sub-stream; audio sub-streams follow it with a frame count and a 16-bit
// pointer to the first access unit, before their elementary data.
constexpr int dvd_audio_header_bytes = 4;
bool is_dvd_ac3(int32_t sub) { return sub >= 0x80 && sub <= 0x87; }
bool is_dvd_dts(int32_t sub) { return sub >= 0x88 && sub <= 0x8F; }
bool is_dvd_lpcm(int32_t sub) { return sub >= 0xA0 && sub <= 0xA7; }
bool is_dvd_subpicture(int32_t sub) { return sub >= 0x20 && sub <= 0x3F; }

// The SCR tells when the byte holding the last bit of the SCR base arrives:
// byte 8 of the pack in both stream formats.
constexpr int64_t scr_byte_index = 8;

double ticks_to_seconds(int64_t ticks) { return static_cast<double>(ticks) / ticks_per_second; }
float ticks_to_seconds_float(int64_t ticks) { return static_cast<float>(ticks_to_seconds(ticks)); }

bool is_video(uint32_t stream_id) { return (stream_id & 0xF0) == 0xE0; }
// 0xC0 to 0xDF.
bool is_mpeg_audio(uint32_t stream_id) { return (stream_id & 0xE0) == 0xC0; }
// A stream whose packets may carry access units with time stamps.
bool is_elementary(uint32_t stream_id) {
    return is_video(stream_id) || is_mpeg_audio(stream_id) || stream_id == 0xBD;
}

// ---------------------------------------------------------------------------
// Events.

void emit(buffer_occupancy_struct& r, const buffer_event_struct& e) {
    if (r.event_hook) r.event_hook(e, r.event_ctx);
}

buffer_event_struct new_event(const buffer_occupancy_struct& r, buffer_event_struct::kind_t kind) {
    buffer_event_struct e{};
    e.kind = kind;
    e.stream_id = r.stream_id;
    e.sub_stream_id = r.sub_stream_id;
    e.packet_offset = r.packet_offset;
    e.buffer_size = r.buffer_size;
    return e;
}

// A decoding time as the stream's own 33-bit 90 kHz value, counted from the
// last time stamp met.
uint64_t own_stamp(const buffer_occupancy_struct& r, int64_t ticks) {
    int64_t d = ticks - r.stamp_ref_ticks;
    int64_t d90 = d >= 0 ? d / 300 : -((-d + 299) / 300);
    return (r.stamp_ref_value + static_cast<uint64_t>(d90)) & ((uint64_t{1} << 33) - 1);
}

void flush_late_unit(buffer_occupancy_struct& r) {
    if (!r.late_open) return;
    r.late_open = false;
    ++r.underflow_units;
    emit(r, r.late);
}

[[gnu::noinline, gnu::cold]] void note_late_byte(buffer_occupancy_struct& r, int64_t d, int64_t a) {
    if (r.late_open && r.late.decoding_time != d) flush_late_unit(r);
    if (!r.late_open) {
        r.late_open = true;
        r.late = new_event(r, buffer_event_struct::underflow);
        r.late.time = a;
        r.late.decoding_time = d;
        r.late.decoding_stamp = own_stamp(r, d);
    }
    ++r.late.late_bytes;
    r.late.lateness = a - d;
}

void begin_overflow(buffer_occupancy_struct& r, int64_t a) {
    ++r.overflow_episodes;
    r.overflowing = true;
    r.over = new_event(r, buffer_event_struct::overflow);
    r.over.time = a;
}

void end_overflow(buffer_occupancy_struct& r, int64_t now) {
    r.overflowing = false;
    r.over.end_time = now;
    emit(r, r.over);
}

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

// While the buffer is above its size: the decoding time at which removing
// the units decoded by `now` (or all units, at the end of the stream), in
// time order, brings it back within its size; INT64_MAX when it does not.
int64_t overflow_end(const buffer_occupancy_struct& r, int64_t now) {
    struct unit {
        int64_t time;
        int32_t bytes;
    };
    unit units[pending_slot_count];
    int n = 0;
    for (int w = 0; w < (pending_slot_count + 63) / 64; ++w) {
        for (uint64_t bits = r.slots_in_use[w]; bits; bits &= bits - 1) {
            const pending_au_struct& p = r.pending[w * 64 + std::countr_zero(bits)];
            if (p.time <= now) units[n++] = {p.time, p.bytes};
        }
    }
    std::sort(units, units + n, [](const unit& a, const unit& b) { return a.time < b.time; });
    int64_t occupancy = r.occupancy;
    for (int i = 0; i < n; ++i) {
        occupancy -= units[i].bytes;
        if (occupancy <= r.buffer_size) return std::max(units[i].time, r.over.time);
    }
    return INT64_MAX;
}

// Frees every access unit decoded by `now` and finds the next decoding time.
void remove_decoded_units(buffer_occupancy_struct& r, int64_t now) {
    const int64_t back_within = r.overflowing ? overflow_end(r, now) : INT64_MAX;
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
    if (r.overflowing && r.occupancy <= r.buffer_size) end_overflow(r, std::min(back_within, now));
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
        off_.retime = false;
        open(r.au_time, 0);
    }
    // An access unit begins at payload position `pos`; `began_earlier`: its
    // first byte lay in the last packet.  `period`: ticks since the unit
    // before.
    void start_unit(int64_t pos, bool began_earlier, int64_t period) {
        ++r_.access_units;
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
    // The unit in progress, begun in an earlier packet, takes the stamp.
    void retime_current() {
        const size_t k = static_cast<size_t>(off_.n_entries - 1);
        if (k == 0) {
            off_.retime = true;
            off_.retime_from = off_.au_dts[0];
            off_.retime_to = stamp_;
        }
        off_.au_dts[k] = stamp_;
        r_.au_time = stamp_;
        stamp_unused_ = false;
    }
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
// Audio: frames follow each other; each begins with a header whose first
// bytes give its length and duration (three bytes for MPEG audio, five for
// AC-3, whose syncword is followed by a CRC word).

int audio_header_size(int32_t format) { return format == format_ac3 ? 5 : 3; }

// True when the first `n` bytes can begin a frame header this model can
// time: sync word, a layer, a bit rate from the tables, a sampling
// frequency.
bool mpeg_audio_prefix_ok(const unsigned char* h, int n) {
    if (n >= 1 && h[0] != 0xFF) return false;
    if (n >= 2 && ((h[1] & 0xF0) != 0xF0 || ((h[1] >> 1) & 3) == 0)) return false;
    if (n >= 3) {
        int bitrate_index = h[2] >> 4;
        int sampling = (h[2] >> 2) & 3;
        if (bitrate_index == 0 || bitrate_index == 15 || sampling == 3) return false;
    }
    return true;
}

bool ac3_prefix_ok(const unsigned char* h, int n) {
    if (n >= 1 && h[0] != 0x0B) return false;
    if (n >= 2 && h[1] != 0x77) return false;
    if (n >= 5 && ((h[4] >> 6) == 3 || (h[4] & 0x3F) >= 38)) return false;
    return true;
}

bool audio_header_prefix_ok(int32_t format, const unsigned char* h, int n) {
    return format == format_ac3 ? ac3_prefix_ok(h, n) : mpeg_audio_prefix_ok(h, n);
}

// Reads a complete, valid header: frame length in bytes, duration in ticks.
void read_audio_header(int32_t format, const unsigned char* h, int32_t& frame_length, int32_t& duration) {
    if (format == format_ac3) {
        const int32_t hz = ac3_sampling_hz[h[4] >> 6];
        const int32_t code = h[4] & 0x3F;
        const int64_t kbit = ac3_kbit_rates[code >> 1];
        // 16-bit words per frame: 1536 samples at the bit rate; at 44.1 kHz
        // the odd codes carry one word more.
        int64_t words = kbit * 1000 * ac3_samples_per_frame / (int64_t{hz} * 16);
        if (hz == 44100) words += code & 1;
        frame_length = static_cast<int32_t>(words * 2);
        duration = static_cast<int32_t>(int64_t{ac3_samples_per_frame} * 90000 / hz) * 300;
        return;
    }
    const bool lsf = ((h[1] >> 3) & 1) == 0;  // MPEG-2 low sampling rate
    int layer = 4 - ((h[1] >> 1) & 3);        // 1, 2 or 3
    int bitrate_index = h[2] >> 4;
    int32_t hz = (lsf ? lsf_sampling_hz : audio_sampling_hz)[(h[2] >> 2) & 3];
    int32_t padding = (h[2] >> 1) & 1;
    int64_t bits_per_second = int64_t{(lsf ? lsf_kbit_rates : audio_kbit_rates)[layer][bitrate_index]} * 1000;
    int32_t samples = layer == 1 ? 384 : (layer == 3 && lsf ? 576 : 1152);
    // 90 kHz count truncated first, as the tables give it (2351 for 1152
    // samples at 44.1 kHz).
    duration = static_cast<int32_t>(int64_t{samples} * 90000 / hz) * 300;
    if (layer == 1)
        frame_length = static_cast<int32_t>((12 * bits_per_second / hz + padding) * 4);
    else
        frame_length = static_cast<int32_t>(samples / 8 * bits_per_second / hz + padding);
}

struct header_search {
    bool found = false;
    int64_t frame_start = 0;  // payload position where the frame begins
    int64_t header_end = 0;   // payload position after its last header byte
    bool began_earlier = false;  // its first byte lay in the last packet
    unsigned char header[5] = {};
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
        unsigned char h[5];
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

void split_audio(buffer_occupancy_struct& r, const unsigned char* pl, int64_t len, bool stamped, int64_t stamp,
                 DTS_Offsets& off) {
    au_parse_info_struct& pi = r.parse_info;
    const int32_t format = r.format;
    const int hs = audio_header_size(format);
    packet_split split(r, off, stamped, stamp);
    auto take_header = [&](const unsigned char* h) {
        int32_t length = 0;
        read_audio_header(format, h, length, pi.frame_duration);
        pi.frame_bytes_left = length - hs;
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
                header_search s = find_audio_header(format, pi, pl, len, p);
                if (!s.found) break;
                pi.lost_sync = false;
                split.start_unit(s.frame_start, s.began_earlier, pi.frame_duration);
                std::memcpy(pi.audio_au_header, s.header, static_cast<size_t>(hs));
                pi.header_bytes = hs;
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
    if (pi.lost_sync && split.stamp_unused()) r.au_time = stamp;
    split.finish(len);
}

// Offset of the first payload byte within its packet.
int64_t payload_start(const packet_struct& packet, int32_t systems_format) {
    return (systems_format == 1 ? 9 : 6) + int64_t{packet.pes_header_data_length};
}

// The `n` bytes at `offset` of the stream file, or null when the file does
// not hold them all.
const unsigned char* read_packet(packet_reader_struct& reader, int64_t offset, int64_t n) {
    if (reader.fd < 0 || offset < 0 || n > static_cast<int64_t>(packet_reader_block)) return nullptr;
    if (offset >= reader.block_offset && offset + n <= reader.block_offset + reader.block_length)
        return reader.data.get() + (offset - reader.block_offset);
    reader.block_offset = offset;
    reader.block_length = 0;
    size_t got = 0;
    while (got < packet_reader_block) {
        ssize_t k = pread(reader.fd, reader.data.get() + got, packet_reader_block - got,
                          static_cast<off_t>(offset + static_cast<int64_t>(got)));
        if (k <= 0) break;
        got += static_cast<size_t>(k);
    }
    reader.block_length = static_cast<int64_t>(got);
    return n <= reader.block_length ? reader.data.get() : nullptr;
}

// The payload of a packet read again from the file; null when it cannot be.
const unsigned char* packet_payload(packet_reader_struct& reader, const packet_struct& packet, int64_t& len) {
    if (packet.length < 0 || packet.starting_offset < 0 || packet.pes_header_data_length < 0) return nullptr;
    const int64_t total = 6 + int64_t{packet.length};
    const int64_t start = payload_start(packet, _mpeg_systems_format);
    len = total - start;
    if (len < 0) return nullptr;
    const unsigned char* data = read_packet(reader, packet.starting_offset, total);
    return data ? data + start : nullptr;
}

// The private_stream_1 sub-stream a payload belongs to (its first byte), or
// -1 for other streams and for MPEG-1 system streams, which have no such
// layout.
int32_t sub_stream_of(uint32_t stream_id, const unsigned char* payload, int64_t len, int32_t systems_format) {
    if (stream_id != 0xBD || systems_format != 1 || len < 1) return -1;
    return payload[0];
}

int32_t format_of(uint32_t stream_id, int32_t sub) {
    if (is_video(stream_id)) return format_video;
    if (is_mpeg_audio(stream_id)) return format_mpeg_audio;
    if (stream_id == 0xBD && is_dvd_ac3(sub)) return format_ac3;
    return format_not_modelled;
}

buffer_occupancy_struct* find_track(buffer_replay_struct& rp, uint32_t stream_id, int32_t sub) {
    for (int i = 0; i < rp.n_buffer_track_streams; ++i)
        if (rp.buffer_occupied[i].stream_id == stream_id && rp.buffer_occupied[i].sub_stream_id == sub)
            return &rp.buffer_occupied[i];
    return nullptr;
}

// The bound a system header gives the stream: its own entry, else the
// entry for all video (0xB9) or all audio (0xB8) streams.  Within one
// header the first entry for an id counts.
void header_bounds(const system_header_struct& h, int32_t bounds[256]) {
    bool seen[256] = {};
    for (const buffer_info_struct& info : h.buffer_info) {
        const int id = info.stream_id & 0xFF;
        if (info.stream_id < 0 || seen[id]) continue;
        seen[id] = true;
        bounds[id] = info.actual_std_size;
    }
}

void apply_header_bound(buffer_occupancy_struct& r, const int32_t bounds[256]) {
    if (r.size_source == size_from_stream) return;
    if (bounds[r.stream_id & 0xFF] >= 0) {
        r.buffer_size = bounds[r.stream_id & 0xFF];
        r.size_source = size_from_system_header;
        return;
    }
    const int wildcard = is_video(r.stream_id) ? 0xB9 : is_mpeg_audio(r.stream_id) ? 0xB8 : -1;
    if (wildcard >= 0 && bounds[wildcard] >= 0) {
        r.buffer_size = bounds[wildcard];
        r.size_source = size_from_wildcard;
    }
}

// A packet's own STD buffer field sets the size from that packet on.
void apply_packet_bound(buffer_occupancy_struct& r, const packet_struct& packet) {
    if (packet.std_buffer_size_bytes < 0) return;
    r.buffer_size = packet.std_buffer_size_bytes;
    r.size_source = size_from_stream;
}

int64_t packet_stamp(const packet_struct& packet) {
    if (packet.pts_dts_flag == 3) return static_cast<int64_t>(packet.dts);
    if (packet.pts_dts_flag == 2) return static_cast<int64_t>(packet.pts);
    return -1;
}

// Splits a payload already in memory.
void split_payload(buffer_occupancy_struct& r, const packet_struct& packet, const pack_clock_struct& clock,
                   const unsigned char* payload, int64_t len, DTS_Offsets& off) {
    off.n_entries = 0;
    off.retime = false;
    if (r.format == format_not_modelled) return;
    const int64_t raw = packet_stamp(packet);
    const bool stamped = raw >= 0 && static_cast<uint64_t>(raw) != absent_ts;
    const int64_t stamp_ticks = stamped ? stamp_to_ticks(clock, static_cast<uint64_t>(raw)) : no_decode_time;
    if (stamped) {
        r.has_stamp = true;
        r.stamp_ref_ticks = stamp_ticks;
        r.stamp_ref_value = static_cast<uint64_t>(raw) & ((uint64_t{1} << 33) - 1);
    }
    if (r.format == format_video) {
        split_video(r, payload, len, stamped, stamp_ticks, off);
    } else if (r.format == format_mpeg_audio) {
        split_audio(r, payload, len, stamped, stamp_ticks, off);
    } else {
        // AC-3: the sub-stream header bytes go with the unit in progress.
        const int64_t skip = std::min<int64_t>(dvd_audio_header_bytes, len);
        split_audio(r, payload + skip, len - skip, stamped, stamp_ticks, off);
        off.n_bytes[0] += static_cast<int32_t>(skip);
    }
}

// Puts the bytes of a retimed unit already in the buffer on their new
// decoding time.
void retime_pending(buffer_occupancy_struct& r, const DTS_Offsets& off) {
    if (!off.retime || off.retime_from == off.retime_to) return;
    const int slot = r.current_slot;
    if (!slot_in_use(r, slot) || r.pending[slot].time != off.retime_from) return;
    r.pending[slot].time = off.retime_to;
    r.last_time = off.retime_to;
    if (off.retime_to < r.next_removal) r.next_removal = off.retime_to;
}

// What a packet changes in its record before its bytes are entered: the
// buffer size its own field sets and the split of its payload into access
// units.
void prepare_packet(buffer_occupancy_struct& r, const packet_struct& packet, const pack_clock_struct& clock,
                    const unsigned char* payload, int64_t len, DTS_Offsets& off) {
    apply_packet_bound(r, packet);
    split_payload(r, packet, clock, payload, len, off);
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

void init_buffer_track(buffer_occupancy_struct& r, uint8_t stream_id, int32_t sub_stream_id) {
    // Everything not set here starts at 0: an empty buffer, ring and
    // pending table, and no parsing state.
    std::memset(&r, 0, sizeof r);
    r.stream_id = stream_id;
    r.sub_stream_id = sub_stream_id;
    r.format = format_of(stream_id, sub_stream_id);
    r.buffer_size = is_video(stream_id) ? default_video_buffer_size : default_other_buffer_size;
    r.size_source = size_from_default;
    r.au_time = no_decode_time;
    r.interval_max = {interval_max_none, 0};
    r.interval_min = {interval_min_none, 0};
    r.next_removal = 0x00000000FFFFFFFFll;
    r.last_time = 1;
    if (is_video(stream_id)) r.parse_info.start_code_register = 0xFFFFFFFFu;
}

namespace {

buffer_occupancy_struct* open_track(buffer_replay_struct& rp, uint32_t stream_id, int32_t sub) {
    if (rp.n_buffer_track_streams >= std::min(rp.track_limit, max_tracked_streams)) return nullptr;
    buffer_occupancy_struct& r = rp.buffer_occupied[rp.n_buffer_track_streams++];
    init_buffer_track(r, static_cast<uint8_t>(stream_id), sub);
    r.event_hook = rp.event_hook;
    r.event_ctx = rp.event_ctx;
    return &r;
}

}  // namespace

void setup_buffer_tracks(buffer_replay_struct& rp) {
    rp.n_buffer_track_streams = 0;
    packet_reader_struct reader;
    reader.fd = parsed_stream_fd();
    reader.data = std::make_unique<unsigned char[]>(packet_reader_block);
    // The last system header that names a stream (or its kind) sets its
    // bound.
    int32_t bounds[256];
    std::fill(bounds, bounds + 256, -1);
    for (const auto& pack : _all_packs_array)
        for (const system_header_struct& h : pack->system_headers) header_bounds(h, bounds);

    auto sub_of = [&](const packet_struct& packet) {
        if (packet.stream_id != 0xBD || _mpeg_systems_format != 1) return -1;
        int64_t len = 0;
        const unsigned char* pl = packet_payload(reader, packet, len);
        return pl ? sub_stream_of(0xBD, pl, len, _mpeg_systems_format) : -1;
    };
    for (const auto& pack : _all_packs_array) {
        for (const packet_struct& packet : pack->packets) {
            if (packet.pts_dts_flag != 2 && packet.pts_dts_flag != 3) continue;
            if (!is_elementary(packet.stream_id)) continue;
            const int32_t sub = sub_of(packet);
            if (find_track(rp, packet.stream_id, sub)) continue;
            buffer_occupancy_struct* r = open_track(rp, packet.stream_id, sub);
            if (!r) return;
            apply_header_bound(*r, bounds);
        }
    }
    // Before a stream's first STD buffer field, that field's value is in
    // force.
    int pending = rp.n_buffer_track_streams;
    bool found[max_tracked_streams] = {};
    for (const auto& pack : _all_packs_array) {
        for (const packet_struct& packet : pack->packets) {
            if (pending == 0) return;
            if (packet.std_buffer_size_bytes < 0 || !is_elementary(packet.stream_id)) continue;
            buffer_occupancy_struct* r = find_track(rp, packet.stream_id, sub_of(packet));
            if (!r || found[r - rp.buffer_occupied]) continue;
            found[r - rp.buffer_occupied] = true;
            --pending;
            apply_packet_bound(*r, packet);
        }
    }
}

void get_offsets(packet_reader_struct& reader, buffer_occupancy_struct& r, const packet_struct& packet,
                 const pack_clock_struct& clock, DTS_Offsets& off) {
    off.n_entries = 0;
    off.retime = false;
    int64_t len = 0;
    const unsigned char* payload = packet_payload(reader, packet, len);
    if (!payload) return;
    prepare_packet(r, packet, clock, payload, len, off);
    retime_pending(r, off);
}

namespace {

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
        note_late_byte(r, d, a);
    if (d != r.last_time || !slot_in_use(r, r.current_slot)) [[unlikely]]
        open_pending_slot(r, d);
    ++r.pending[r.current_slot].bytes;
    ++r.occupancy;
    if (r.next_removal <= a) [[unlikely]]
        remove_decoded_units(r, a);
    if (d < r.next_removal) r.next_removal = d;
    if (r.occupancy > r.interval_max.occupancy) r.interval_max = {r.occupancy, a};
    if (r.occupancy < r.interval_min.occupancy) r.interval_min = {r.occupancy, a};
    if (r.occupancy > r.largest_occupancy) r.largest_occupancy = r.occupancy;
    const bool over = r.occupancy > r.buffer_size;
    if (over) [[unlikely]] {
        if (!r.overflowing) begin_overflow(r, a);
        r.over.excess = std::max(r.over.excess, r.occupancy - r.buffer_size);
    }
    return over;
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
                      int32_t count) {
    auto arrival = [&](int64_t byte) { return t + static_cast<int64_t>(ticks_per_byte * static_cast<float>(byte)); };
    while (count > 0) {
        enter_byte(d, arrival(n), r);
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
        if (int64_t{before} + run > r.buffer_size) {
            // Byte j of the run holds before + j + 1 bytes.
            if (!r.overflowing) begin_overflow(r, arrival(n + std::max<int64_t>(0, int64_t{r.buffer_size} - before)));
            r.over.excess = std::max(r.over.excess, before + run - r.buffer_size);
        }
        r.pending[r.current_slot].bytes += run;
        r.occupancy = before + run;
        // The occupancy only rose, so the last byte holds any new maximum.
        if (r.occupancy > r.interval_max.occupancy) r.interval_max = {r.occupancy, arrival(n + run - 1)};
        if (r.occupancy > r.largest_occupancy) r.largest_occupancy = r.occupancy;
        n += run;
        count -= run;
    }
}

// Where a packet's bytes arrive.  Bytes arrive one after another from the
// byte that ends the SCR base (the ninth of the pack), so a packet's payload
// arrives after everything in front of it in the pack.
deferred_packet_struct arrival_of(const pack_struct& pack, const pack_clock_struct& clock,
                                  const packet_struct& packet, int32_t systems_format) {
    deferred_packet_struct a;
    a.track = -1;
    a.arrival = clock.arrival;
    // A pack without a usable mux rate delivers all its bytes at its SCR.
    a.ticks_per_byte =
        pack.bytes_per_second > 0 ? static_cast<float>(double{ticks_per_second} / pack.bytes_per_second) : 0.0f;
    a.first_byte = packet.starting_offset + payload_start(packet, systems_format) - (pack.offset + scr_byte_index);
    a.packet_offset = packet.starting_offset;
    return a;
}

// Enters one packet's payload, already split, into its record.
void enter_packet(buffer_occupancy_struct& r, const deferred_packet_struct& a, const DTS_Offsets& off) {
    r.packet_offset = a.packet_offset;
    retime_pending(r, off);
    int64_t n = a.first_byte;
    for (int32_t e = 0; e < off.n_entries; ++e)
        enter_unit_bytes(r, off.au_dts[static_cast<size_t>(e)], a.arrival, a.ticks_per_byte, n,
                         off.n_bytes[static_cast<size_t>(e)]);
}

// Enters the waiting packets of track `track` in their order.
void enter_deferred(buffer_replay_struct& rp, int32_t track) {
    buffer_occupancy_struct& r = rp.buffer_occupied[track];
    r.size_pending = false;
    if (r.deferred_packets == 0) return;
    r.deferred_packets = 0;
    for (const deferred_packet_struct& d : rp.deferred)
        if (d.track == track) {
            enter_packet(r, d, d.offsets);
            rp.deferred_entries -= static_cast<size_t>(d.offsets.n_entries);
        }
    std::erase_if(rp.deferred, [track](const deferred_packet_struct& d) { return d.track == track; });
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
    if (_n_all_packs() <= 0) return false;
    rp.reader.fd = parsed_stream_fd();
    if (rp.reader.fd < 0) return false;
    rp.reader.block_offset = rp.reader.block_length = 0;
    if (!rp.reader.data) rp.reader.data = std::make_unique<unsigned char[]>(packet_reader_block);
    return true;
}

bool buffer_replay_finished(const buffer_replay_struct& rp) {
    return rp.reader.fd < 0 || rp.pack_index >= _n_all_packs();
}

bool buffer_replay_step(buffer_replay_struct& rp) {
    if (buffer_replay_finished(rp)) return false;
    const pack_struct& pack = *_all_packs_array[static_cast<size_t>(rp.pack_index++)];

    const pack_clock_struct clock = next_pack_clock(rp, pack);
    if (clock.arrival >= rp.next_sample) take_buffer_sample(rp, clock.arrival);

    for (const packet_struct& packet : pack.packets) {
        if (!is_elementary(packet.stream_id)) continue;
        int64_t len = 0;
        const unsigned char* payload = packet_payload(rp.reader, packet, len);
        if (!payload) continue;  // cannot be read again: contributes nothing
        buffer_occupancy_struct* r = find_track(rp, packet.stream_id, sub_stream_of(packet.stream_id, payload, len, _mpeg_systems_format));
        if (!r) continue;
        prepare_packet(*r, packet, clock, payload, len, rp.offsets);
        enter_packet(*r, arrival_of(pack, clock, packet, _mpeg_systems_format), rp.offsets);
    }
    if (rp.pack_index >= _n_all_packs()) finish_buffer_events(rp);
    return true;
}

void close_buffer_replay(buffer_replay_struct& rp) {
    rp.reader.fd = -1;
    rp.reader.block_offset = rp.reader.block_length = 0;
}

void finish_buffer_events(buffer_replay_struct& rp) {
    for (int i = 0; i < rp.n_buffer_track_streams; ++i) enter_deferred(rp, i);
    for (int i = 0; i < rp.n_buffer_track_streams; ++i) {
        buffer_occupancy_struct& r = rp.buffer_occupied[i];
        flush_late_unit(r);
        // The episode lasts until the units in the buffer leave it.
        if (r.overflowing) end_overflow(r, std::min(overflow_end(r, INT64_MAX), INT64_MAX - 1));
    }
}

// ---------------------------------------------------------------------------
// Replay while parsing.

void begin_streaming_replay(buffer_replay_struct& rp) {
    rp.n_buffer_track_streams = 0;
    rp.clock_started = false;
    rp.streaming_pack_offset = -1;
    rp.streaming_packet_offset = -1;
    rp.streaming_payload.clear();
    rp.streaming_payload.reserve(65536);
    rp.deferred.clear();
    rp.deferred_entries = 0;
    std::fill(rp.system_bounds, rp.system_bounds + 256, -1);
}

namespace {

// The first sight of a pack: its clock, and the bounds of its system
// headers for the streams whose own field has not been met.
void streaming_pack_begins(buffer_replay_struct& rp, const pack_struct& pack) {
    if (pack.offset == rp.streaming_pack_offset) return;
    rp.streaming_pack_offset = pack.offset;
    rp.last_clock = next_pack_clock(rp, pack);
    if (pack.system_headers.empty()) return;
    for (const system_header_struct& h : pack.system_headers) header_bounds(h, rp.system_bounds);
    for (int i = 0; i < rp.n_buffer_track_streams; ++i) apply_header_bound(rp.buffer_occupied[i], rp.system_bounds);
}

}  // namespace

void streaming_replay_payload(buffer_replay_struct& rp, const pack_struct& pack, const packet_struct& packet,
                              const unsigned char* data, size_t n) {
    if (!is_elementary(packet.stream_id)) return;
    streaming_pack_begins(rp, pack);
    const int64_t len = 6 + int64_t{packet.length} - payload_start(packet, rp.systems_format);
    const unsigned char* payload = data;
    if (packet.starting_offset != rp.streaming_packet_offset) {
        rp.streaming_packet_offset = packet.starting_offset;
        rp.streaming_payload.clear();
    }
    if (!rp.streaming_payload.empty() || static_cast<int64_t>(n) < len) {
        // The payload comes in more than one block: gather it.
        rp.streaming_payload.insert(rp.streaming_payload.end(), data, data + n);
        if (static_cast<int64_t>(rp.streaming_payload.size()) < len) return;
        payload = rp.streaming_payload.data();
    }
    // The payload is complete: enter it.
    rp.streaming_packet_offset = -1;
    const int32_t sub = sub_stream_of(packet.stream_id, payload, len, rp.systems_format);
    buffer_occupancy_struct* r = find_track(rp, packet.stream_id, sub);
    if (!r) {
        r = open_track(rp, packet.stream_id, sub);
        if (r) {
            apply_header_bound(*r, rp.system_bounds);
            r->size_pending = true;
        }
    }
    if (r) {
        const int32_t track = static_cast<int32_t>(r - rp.buffer_occupied);
        prepare_packet(*r, packet, rp.last_clock, payload, len, rp.offsets);
        deferred_packet_struct a = arrival_of(pack, rp.last_clock, packet, rp.systems_format);
        // Until the stream's own buffer field is met, its first value is
        // not known: the packets wait for it, up to a bounded number.
        if (r->size_pending && r->size_source != size_from_stream &&
            r->deferred_packets < max_deferred_packets && rp.deferred.size() < max_deferred_total &&
            rp.deferred_entries + static_cast<size_t>(rp.offsets.n_entries) <= max_deferred_entries) {
            rp.deferred_entries += static_cast<size_t>(rp.offsets.n_entries);
            a.track = track;
            // Only the entries that count are kept.
            const size_t n = static_cast<size_t>(rp.offsets.n_entries);
            a.offsets.n_entries = rp.offsets.n_entries;
            a.offsets.retime = rp.offsets.retime;
            a.offsets.retime_from = rp.offsets.retime_from;
            a.offsets.retime_to = rp.offsets.retime_to;
            a.offsets.au_dts.assign(rp.offsets.au_dts.begin(), rp.offsets.au_dts.begin() + static_cast<std::ptrdiff_t>(n));
            a.offsets.n_bytes.assign(rp.offsets.n_bytes.begin(), rp.offsets.n_bytes.begin() + static_cast<std::ptrdiff_t>(n));
            rp.deferred.push_back(std::move(a));
            ++r->deferred_packets;
        } else {
            if (r->size_pending) enter_deferred(rp, track);
            enter_packet(*r, a, rp.offsets);
        }
    }
    rp.streaming_payload.clear();
}

void streaming_replay_pack(buffer_replay_struct& rp, const pack_struct& pack) { streaming_pack_begins(rp, pack); }

void streaming_replay_apply_bounds(buffer_replay_struct& rp) {
    for (int i = 0; i < rp.n_buffer_track_streams; ++i) apply_header_bound(rp.buffer_occupied[i], rp.system_bounds);
}

// ---------------------------------------------------------------------------
// Names and lines.

std::string stream_label(uint32_t stream_id, int32_t sub) {
    char text[32];
    if (sub >= 0)
        std::snprintf(text, sizeof text, "0x%x/0x%x", stream_id, static_cast<unsigned>(sub));
    else
        std::snprintf(text, sizeof text, "0x%x", stream_id);
    return text;
}

const char* stream_kind_name(uint32_t stream_id, int32_t sub) {
    if (is_video(stream_id)) return "MPEG video";
    if (is_mpeg_audio(stream_id)) return "MPEG audio";
    if (stream_id == 0xBD) {
        if (is_dvd_ac3(sub)) return "AC-3";
        if (is_dvd_dts(sub)) return "DTS";
        if (is_dvd_lpcm(sub)) return "LPCM";
        if (is_dvd_subpicture(sub)) return "sub-picture";
    }
    return "private data";
}

const char* buffer_size_source_name(int32_t source) {
    switch (source) {
    case size_from_stream: return "stream";
    case size_from_system_header: return "system header";
    case size_from_wildcard: return "system header wildcard";
    default: return "default";
    }
}

std::string format_buffer_event(const buffer_event_struct& e) {
    const std::string label = stream_label(e.stream_id, e.sub_stream_id);
    char line[320];
    if (e.kind == buffer_event_struct::underflow)
        std::snprintf(line, sizeof line,
                      "Underflow in %s at %.6f s: access unit decoded at %" PRIu64
                      " (90 kHz), %d bytes late, the last by %.6f s (packet at 0x%" PRIx64 ")",
                      label.c_str(), ticks_to_seconds(e.time), e.decoding_stamp, e.late_bytes,
                      ticks_to_seconds(e.lateness), static_cast<uint64_t>(e.packet_offset));
    else
        std::snprintf(line, sizeof line,
                      "Overflow in %s from %.6f s to %.6f s: up to %d bytes above its %d-byte buffer (packet at 0x%" PRIx64
                      ")",
                      label.c_str(), ticks_to_seconds(e.time), ticks_to_seconds(e.end_time), e.excess, e.buffer_size,
                      static_cast<uint64_t>(e.packet_offset));
    return line;
}

std::string buffer_replay_verdict(const buffer_replay_struct& rp) {
    int64_t underflows = 0, episodes = 0;
    int modelled = 0;
    std::string not_modelled;
    for (int i = 0; i < rp.n_buffer_track_streams; ++i) {
        const buffer_occupancy_struct& r = rp.buffer_occupied[i];
        if (r.format == format_not_modelled) {
            not_modelled += not_modelled.empty() ? "; not modelled: " : ", ";
            not_modelled += stream_label(r.stream_id, r.sub_stream_id) + " (" +
                            stream_kind_name(r.stream_id, r.sub_stream_id) + ")";
            continue;
        }
        ++modelled;
        underflows += r.underflow_units;
        episodes += r.overflow_episodes;
    }
    std::string verdict = "Buffers: ";
    if (modelled == 0) {
        verdict += "no stream modelled";
    } else if (underflows == 0 && episodes == 0) {
        verdict += "conformant";
    } else {
        char text[128];
        std::snprintf(text, sizeof text, "%" PRId64 " underflowing unit%s, %" PRId64 " overflow episode%s", underflows,
                      underflows == 1 ? "" : "s", episodes, episodes == 1 ? "" : "s");
        verdict += text;
    }
    return verdict + not_modelled;
}
