// Builds transport streams byte by byte (188-byte packets, adaptation
// fields, PSI sections with their CRC_32, PES packets spread over packets,
// 192-byte packets), so that tests know every field and offset exactly.
// PES packets themselves come from stream_builder.h.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <vector>

#include "stream_builder.h"

namespace tb {

using sb::bytes;

constexpr size_t packet_size = 188;

// CRC_32 of PSI sections, bit by bit (no table), so that it does not share
// a fault with the reader's.
inline uint32_t crc32(const uint8_t* p, size_t n) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i)
        for (int bit = 7; bit >= 0; --bit) {
            const bool in = ((p[i] >> bit) & 1) != ((crc >> 31) & 1);
            crc <<= 1;
            if (in) crc ^= 0x04C11DB7u;
        }
    return crc;
}

// ---------------------------------------------------------------------------
// Packets.

struct adaptation {
    bool discontinuity = false;
    bool random_access = false;
    bool es_priority = false;
    std::optional<uint64_t> pcr_base;
    uint16_t pcr_ext = 0;
    std::optional<uint64_t> opcr_base;
    uint16_t opcr_ext = 0;
    std::optional<int8_t> splice_countdown;
    std::optional<bytes> private_data;
    std::optional<bytes> extension;  // the bytes after adaptation_field_extension_length
    // adaptation_field_length as written; default: the real length.  The
    // packet is then cut or padded (0xFF) to 188 bytes.
    std::optional<int> length;
};

// Six bytes of a PCR or OPCR.
inline bytes clock_reference(uint64_t base, uint16_t ext) {
    return {static_cast<uint8_t>(base >> 25), static_cast<uint8_t>(base >> 17), static_cast<uint8_t>(base >> 9),
            static_cast<uint8_t>(base >> 1), static_cast<uint8_t>(((base & 1) << 7) | 0x7E | ((ext >> 8) & 1)),
            static_cast<uint8_t>(ext)};
}

// The adaptation field's bytes after adaptation_field_length, with
// `stuffing` 0xFF bytes at the end.
inline bytes adaptation_body(const adaptation& a, size_t stuffing) {
    bytes b;
    b.push_back(static_cast<uint8_t>((a.discontinuity << 7) | (a.random_access << 6) | (a.es_priority << 5) |
                                     (a.pcr_base.has_value() << 4) | (a.opcr_base.has_value() << 3) |
                                     (a.splice_countdown.has_value() << 2) | (a.private_data.has_value() << 1) |
                                     a.extension.has_value()));
    if (a.pcr_base) sb::append(b, clock_reference(*a.pcr_base, a.pcr_ext));
    if (a.opcr_base) sb::append(b, clock_reference(*a.opcr_base, a.opcr_ext));
    if (a.splice_countdown) b.push_back(static_cast<uint8_t>(*a.splice_countdown));
    if (a.private_data) {
        b.push_back(static_cast<uint8_t>(a.private_data->size()));
        sb::append(b, *a.private_data);
    }
    if (a.extension) {
        b.push_back(static_cast<uint8_t>(a.extension->size()));
        sb::append(b, *a.extension);
    }
    b.insert(b.end(), stuffing, 0xFF);
    return b;
}

struct packet_fields {
    uint16_t pid = 0x100;
    bool pusi = false;
    bool tei = false;
    bool priority = false;
    uint8_t scrambling = 0;
    std::optional<uint8_t> cc;  // default: the muxer's counter for the PID
    std::optional<adaptation> af;
    bool payload = true;              // adaptation_field_control bit 0
    std::optional<uint8_t> afc;       // adaptation_field_control as written; default from af and payload
};

// Fields of a packet of `pid` with an adaptation field.
inline packet_fields with_af(uint16_t pid, const adaptation& a, bool payload = true) {
    packet_fields f;
    f.pid = pid;
    f.af = a;
    f.payload = payload;
    return f;
}

inline adaptation with_pcr(uint64_t base, uint16_t ext = 0) {
    adaptation a;
    a.pcr_base = base;
    a.pcr_ext = ext;
    return a;
}

// One packet.  With payload, an adaptation field is added or stretched with
// stuffing so that the payload ends the packet; without, the adaptation
// field fills the packet.
inline bytes packet(const packet_fields& f, const bytes& payload, uint8_t cc) {
    std::optional<adaptation> af = f.af;
    const size_t room = packet_size - 4 - payload.size();
    if (payload.size() > packet_size - 4) throw std::invalid_argument("payload does not fit a packet");
    if (!f.payload && !payload.empty()) throw std::invalid_argument("payload in a packet without payload");
    bytes af_bytes;
    if (af || room > 0) {
        if (!af && room == 1) {
            af_bytes = {0x00};  // adaptation_field_length 0: one byte of stuffing
        } else {
            adaptation a = af.value_or(adaptation{});
            const size_t fields = adaptation_body(a, 0).size();
            if (fields + 1 > room) throw std::invalid_argument("adaptation field does not fit");
            bytes body = adaptation_body(a, room - 1 - fields);
            af_bytes.push_back(static_cast<uint8_t>(a.length ? *a.length : static_cast<int>(body.size())));
            sb::append(af_bytes, body);
        }
    }
    const uint8_t afc = f.afc ? *f.afc : static_cast<uint8_t>((af_bytes.empty() ? 0 : 2) | (f.payload ? 1 : 0));
    bytes b = {0x47,
               static_cast<uint8_t>((f.tei << 7) | (f.pusi << 6) | (f.priority << 5) | ((f.pid >> 8) & 0x1F)),
               static_cast<uint8_t>(f.pid), static_cast<uint8_t>((f.scrambling << 6) | (afc << 4) | (cc & 0x0F))};
    sb::append(b, af_bytes);
    sb::append(b, payload);
    b.resize(packet_size, 0xFF);
    return b;
}

// ---------------------------------------------------------------------------
// PSI.

inline bytes descriptor(uint8_t tag, const bytes& data) {
    bytes b = {tag, static_cast<uint8_t>(data.size())};
    sb::append(b, data);
    return b;
}

// A long-form section with its CRC_32; `body` is what follows
// last_section_number.
inline bytes section(uint8_t table_id, uint16_t extension, uint8_t version, const bytes& body, bool current = true,
                     uint8_t number = 0, uint8_t last = 0) {
    const size_t length = 5 + body.size() + 4;
    bytes s = {table_id,
               static_cast<uint8_t>(0xB0 | ((length >> 8) & 0x0F)),
               static_cast<uint8_t>(length),
               static_cast<uint8_t>(extension >> 8),
               static_cast<uint8_t>(extension),
               static_cast<uint8_t>(0xC0 | ((version & 0x1F) << 1) | current),
               number,
               last};
    sb::append(s, body);
    const uint32_t crc = crc32(s.data(), s.size());
    sb::append(s, bytes{static_cast<uint8_t>(crc >> 24), static_cast<uint8_t>(crc >> 16),
                        static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc)});
    return s;
}

struct program {
    uint16_t number;
    uint16_t pid;  // PMT PID, or network PID for program 0
};

inline bytes pat(uint16_t tsid, uint8_t version, const std::vector<program>& programs, uint8_t number = 0,
                 uint8_t last = 0) {
    bytes body;
    for (const program& p : programs)
        sb::append(body, bytes{static_cast<uint8_t>(p.number >> 8), static_cast<uint8_t>(p.number),
                               static_cast<uint8_t>(0xE0 | (p.pid >> 8)), static_cast<uint8_t>(p.pid)});
    return section(0x00, tsid, version, body, true, number, last);
}

struct stream {
    uint8_t type;
    uint16_t pid;
    bytes descriptors;  // ES_info, already coded
};

inline bytes pmt(uint16_t program_number, uint8_t version, uint16_t pcr_pid, const bytes& program_info,
                 const std::vector<stream>& streams) {
    bytes body = {static_cast<uint8_t>(0xE0 | (pcr_pid >> 8)), static_cast<uint8_t>(pcr_pid),
                  static_cast<uint8_t>(0xF0 | (program_info.size() >> 8)), static_cast<uint8_t>(program_info.size())};
    sb::append(body, program_info);
    for (const stream& s : streams) {
        sb::append(body, bytes{s.type, static_cast<uint8_t>(0xE0 | (s.pid >> 8)), static_cast<uint8_t>(s.pid),
                               static_cast<uint8_t>(0xF0 | (s.descriptors.size() >> 8)),
                               static_cast<uint8_t>(s.descriptors.size())});
        sb::append(body, s.descriptors);
    }
    return section(0x02, program_number, version, body);
}

// ---------------------------------------------------------------------------
// A transport stream, packet by packet, with a continuity_counter per PID.

class mux {
public:
    // One packet; returns its offset.  The PID's counter goes up with each
    // packet that has payload (unless `f.cc` is given).
    size_t add(const packet_fields& f, const bytes& payload = {}) {
        uint8_t& next = cc_[f.pid];
        uint8_t cc = f.cc ? *f.cc : (f.payload ? next : static_cast<uint8_t>((next + 15) & 0x0F));
        if (f.payload) next = static_cast<uint8_t>((cc + 1) & 0x0F);
        const size_t at = data_.size();
        sb::append(data_, packet(f, payload, cc));
        return at;
    }

    // Sections one after the other on `pid`, over as many packets as they
    // need: a packet in which a section starts has payload_unit_start_indicator
    // set and a pointer_field to that start; 0xFF fills the last packet.
    void psi(uint16_t pid, const std::vector<bytes>& sections) {
        bytes all;
        std::vector<size_t> starts;
        for (const bytes& s : sections) {
            starts.push_back(all.size());
            sb::append(all, s);
        }
        size_t at = 0;
        while (at < all.size()) {
            std::optional<size_t> start;
            for (size_t s : starts)
                if (s >= at && s < at + 183) {
                    start = s;
                    break;
                }
            bytes payload;
            if (start) payload.push_back(static_cast<uint8_t>(*start - at));
            const size_t n = std::min(all.size() - at, packet_size - 4 - payload.size());
            payload.insert(payload.end(), all.begin() + at, all.begin() + at + n);
            at += n;
            payload.resize(packet_size - 4, 0xFF);
            packet_fields f;
            f.pid = pid;
            f.pusi = start.has_value();
            add(f, payload);
        }
    }

    // A PES packet over packets of `pid`; `first` holds the fields of the
    // first packet (its pid and pusi are set here), e.g. a PCR.
    void pes(uint16_t pid, const bytes& pes_packet, packet_fields first = {}) {
        size_t at = 0;
        bool is_first = true;
        while (at < pes_packet.size() || is_first) {
            packet_fields f = is_first ? first : packet_fields{};
            f.pid = pid;
            f.pusi = is_first;
            const size_t af_size = f.af ? 1 + adaptation_body(*f.af, 0).size() : 0;
            const size_t n = std::min(pes_packet.size() - at, packet_size - 4 - af_size);
            add(f, bytes(pes_packet.begin() + at, pes_packet.begin() + at + n));
            at += n;
            is_first = false;
        }
    }

    const bytes& data() const { return data_; }
    size_t packets() const { return data_.size() / packet_size; }

private:
    std::map<uint16_t, uint8_t> cc_;
    bytes data_;
};

// 192-byte packets: each 188-byte packet behind a TP_extra_header
// (copy_permission_indicator 2, arrival_time_stamp 30).
inline bytes m2ts(const bytes& ts, uint32_t first_ats, uint32_t step, uint8_t copy_permission = 0) {
    bytes out;
    uint32_t ats = first_ats;
    for (size_t at = 0; at + packet_size <= ts.size(); at += packet_size, ats += step) {
        const uint32_t h = (uint32_t{copy_permission} << 30) | (ats & 0x3FFFFFFFu);
        sb::append(out, bytes{static_cast<uint8_t>(h >> 24), static_cast<uint8_t>(h >> 16), static_cast<uint8_t>(h >> 8),
                              static_cast<uint8_t>(h)});
        out.insert(out.end(), ts.begin() + at, ts.begin() + at + packet_size);
    }
    return out;
}

// ---------------------------------------------------------------------------
// The PIDs and tables most tests use: program 1 with its PMT on 0x1000,
// MPEG-2 video on 0x100 (the PCR PID) and MPEG audio on 0x101.
constexpr uint16_t pmt_pid = 0x1000;
constexpr uint16_t video_pid = 0x100;
constexpr uint16_t audio_pid = 0x101;

inline void add_tables(mux& m, uint8_t version = 0) {
    m.psi(0x0000, {pat(1, version, {{1, pmt_pid}})});
    m.psi(pmt_pid, {pmt(1, version, video_pid, {}, {{0x02, video_pid, {}}, {0x03, audio_pid, {}}})});
}

// An audio PES packet with a PTS and `n` payload bytes, and an unbounded
// video PES packet with PTS and DTS.
inline bytes audio_pes(uint64_t pts, size_t n, uint8_t seed = 1) {
    sb::pes_fields f;
    f.pts = pts;
    f.alignment = 1;
    return sb::pes_packet(0xC0, f, sb::payload_bytes(n, seed));
}
inline bytes video_pes(uint64_t pts, uint64_t dts, size_t n, uint8_t seed = 3) {
    sb::pes_fields f;
    f.pts = pts;
    f.dts = dts;
    bytes body = sb::pes_header(f);
    sb::append(body, sb::payload_bytes(n, seed));
    return sb::packet(0xE0, body, 0);
}
// Payload of a PES packet built by the two functions above.
inline bytes payload_of(const bytes& pes) { return bytes(pes.begin() + 9 + pes[8], pes.end()); }

}  // namespace tb
