// stream_facts FILE [PROBE]
//
// Walks a well-formed MPEG systems stream by its own length fields (sharing
// no code with the parser) and prints what the stream holds as one Lisp
// datum that both Emacs Lisp and Common Lisp can `read`:
//
//   (FORMAT PACK-COUNT PACKS)
//
// FORMAT is 2 for a program stream, 1 for an MPEG-1 system stream.  Each pack
// is a list in the slot order of the exported pack vector:
//
//   (OFFSET SCR EXT MUX STUFFING SYSTEM-HEADERS PACKETS)
//
// with each system header as (OFFSET HEADER-LENGTH RATE-BOUND AUDIO-BOUND
// FIXED CSPS AUDIO-LOCK VIDEO-LOCK VIDEO-BOUND PACKET-RATE-RESTRICTION
// BUFFER-INFOS), each buffer info as (STREAM-ID SCALE SIZE-BOUND BYTES), and
// each packet as (STREAM-ID NAME LENGTH OFFSET ENDS-AT PTS DTS).  Absent
// values are -1, absent time stamps nil, names that the walker does not know
// nil.  The SCR is bits 31..0 of the clock base read as a signed number.
//
// With PROBE, a list of the stream's packets as an independent demuxer
// reports them (lines "packet <stream> <offset> <size> <pts> <dts>", padding
// left out, a PTS repeated as DTS when there is no DTS), the walk is first
// checked against it.
//
// Exit status 2 when the file is not a stream this walker understands, 3
// when a start code below 0xBC stands where a packet should (a stream the
// dumper rejects as having an unknown stream_id).

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "probe_file.h"

namespace {

std::vector<uint8_t> bytes;
int format = 0;

struct walked_packet {
    unsigned id;
    size_t offset;
    int64_t pts;  // -1 when absent
    int64_t dts;
};
std::vector<walked_packet> walked;

[[noreturn]] void fail(const char* what, size_t at) {
    fprintf(stderr, "stream_facts: %s at offset %zu\n", what, at);
    exit(2);
}

unsigned at(size_t i) {
    if (i >= bytes.size()) fail("stream ends inside a header", i);
    return bytes[i];
}

bool start_code_at(size_t i) {
    return i + 4 <= bytes.size() && bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1;
}

// 33-bit time stamp or clock base in the five-byte layout shared by PTS, DTS
// and the MPEG-1 SCR: 3 bits, 15 bits, 15 bits, each followed by a marker.
uint64_t time_stamp(size_t i) {
    return (uint64_t{(at(i) >> 1) & 7} << 30) | (uint64_t{at(i + 1)} << 22) |
           (uint64_t{at(i + 2) >> 1} << 15) | (uint64_t{at(i + 3)} << 7) | (at(i + 4) >> 1);
}

std::string ts_text(bool present, uint64_t ts) {
    return present ? std::to_string(ts) : "nil";
}

const char* stream_name(unsigned id) {
    if (id >= 0xC0 && id <= 0xDF) return "\"audio_stream\"";
    if (id >= 0xE0 && id <= 0xEF) return "\"video_stream\"";
    if (id == 0xBD) return "\"private_stream_1\"";
    if (id == 0xBE) return "\"padding_stream\"";
    if (id == 0xBF) return "\"private_stream_2\"";
    return "nil";
}

// Program-stream ids whose packets have no optional PES header.
bool bare_pes(unsigned id) {
    switch (id) {
    case 0xBC: case 0xBE: case 0xBF: case 0xF0: case 0xF1: case 0xF2: case 0xF8: case 0xFF:
        return true;
    default:
        return false;
    }
}

std::string packet(size_t p) {
    const unsigned id = at(p + 3);
    const unsigned length = (at(p + 4) << 8) | at(p + 5);
    bool has_pts = false;
    bool has_dts = false;
    size_t ts = 0;
    if (format == 2 && !bare_pes(id)) {
        const unsigned flags = at(p + 7) >> 6;
        has_pts = flags >= 2;
        has_dts = flags == 3;
        ts = p + 9;
    } else if (format == 1 && id != 0xBF) {
        size_t i = p + 6;
        while (at(i) == 0xFF) ++i;
        if ((at(i) & 0xC0) == 0x40) i += 2;
        has_pts = (at(i) & 0x20) != 0;
        has_dts = (at(i) & 0x30) == 0x30;
        ts = i;
    }
    walked.push_back({id, p, has_pts ? static_cast<int64_t>(time_stamp(ts)) : -1,
                      has_dts ? static_cast<int64_t>(time_stamp(ts + 5)) : -1});
    char head[128];
    snprintf(head, sizeof head, "(%u %s %u %zu %zu ", id, stream_name(id), length, p,
             p + 6 + length);
    return head + ts_text(has_pts, has_pts ? time_stamp(ts) : 0) + " " +
           ts_text(has_dts, has_dts ? time_stamp(ts + 5) : 0) + ")";
}

std::string system_header(size_t p) {
    const unsigned a = at(p + 9);
    const unsigned v = at(p + 10);
    const int restriction = format == 2 ? static_cast<int>(at(p + 11) >> 7) : -1;
    char text[256];
    snprintf(text, sizeof text, "(%zu %u %u %u %u %u %u %u %u %d (", p, (at(p + 4) << 8) | at(p + 5),
             ((at(p + 6) & 0x7F) << 15) | (at(p + 7) << 7) | (at(p + 8) >> 1), a >> 2, (a >> 1) & 1,
             a & 1, v >> 7, (v >> 6) & 1, v & 0x1F, restriction);
    std::string out = text;
    for (size_t i = p + 12; at(i) & 0x80; i += 3) {
        const unsigned scale = (at(i + 1) >> 5) & 1;
        const unsigned bound = ((at(i + 1) & 0x1F) << 8) | at(i + 2);
        snprintf(text, sizeof text, "(%u %u %u %u)", at(i), scale, bound, bound << (scale ? 10 : 7));
        out += text;
    }
    return out + "))";
}

// The probe names streams by index; its stream ids are 0x1XX for XX, and
// the sub-stream id (below 0x100) for private_stream_1.
void check_against_probe(const char* path) {
    const probe::file probed = probe::read(path);
    if (probed.packets.empty()) fail("cannot read the probe file", 0);
    std::vector<walked_packet> listed;
    for (const probe::packet& p : probed.packets) {
        const unsigned id = p.id >= 0x100 ? p.id & 0xFF : 0xBD;
        listed.push_back({id, static_cast<size_t>(p.pos), p.pts, p.dts});
    }
    size_t n = 0;
    for (const walked_packet& w : walked) {
        if (w.id == 0xBE) continue;
        if (n == listed.size()) fail("packet missing from the probe", w.offset);
        const walked_packet& l = listed[n++];
        if (l.id != w.id || l.offset != w.offset || l.pts != w.pts ||
            l.dts != (w.dts >= 0 ? w.dts : w.pts))
            fail("packet differs from the probe", w.offset);
    }
    if (n != listed.size()) fail("probe lists more packets than the walk found", listed[n].offset);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        fprintf(stderr, "usage: stream_facts FILE [PROBE]\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) fail("cannot open the file", 0);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());

    size_t p = 0;
    while (p < bytes.size() && !(start_code_at(p) && bytes[p + 3] == 0xBA)) ++p;
    std::string packs;
    size_t n_packs = 0;
    while (start_code_at(p) && bytes[p + 3] == 0xBA) {
        const size_t pack = p;
        int64_t scr = 0;
        unsigned ext = 0;
        unsigned mux = 0;
        int stuffing = -1;
        const int pack_format = (at(p + 4) & 0xC0) == 0x40 ? 2 : 1;
        if (format != 0 && format != pack_format) fail("pack of the other format", p);
        format = pack_format;
        if (format == 2) {
            const unsigned b0 = at(p + 4), b2 = at(p + 6), b4 = at(p + 8);
            scr = (int64_t{(b0 >> 3) & 7} << 30) | (int64_t{b0 & 3} << 28) | (int64_t{at(p + 5)} << 20) |
                  (int64_t{b2 >> 3} << 15) | (int64_t{b2 & 3} << 13) | (int64_t{at(p + 7)} << 5) |
                  (b4 >> 3);
            ext = ((b4 & 3) << 7) | (at(p + 9) >> 1);
            mux = (at(p + 10) << 14) | (at(p + 11) << 6) | (at(p + 12) >> 2);
            stuffing = at(p + 13) & 7;
            p += 14 + stuffing;
        } else {
            scr = static_cast<int64_t>(time_stamp(p + 4));
            mux = ((at(p + 9) & 0x7F) << 15) | (at(p + 10) << 7) | (at(p + 11) >> 1);
            p += 12;
        }
        std::string headers;
        std::string packets;
        if (start_code_at(p) && bytes[p + 3] == 0xBB) {
            headers = system_header(p);
            p += 6 + ((at(p + 4) << 8) | at(p + 5));
        }
        while (start_code_at(p) && bytes[p + 3] != 0xBA && bytes[p + 3] != 0xB9) {
            // A system header may stand among the packets too.
            if (bytes[p + 3] == 0xBB) {
                headers += system_header(p);
                p += 6 + ((at(p + 4) << 8) | at(p + 5));
                continue;
            }
            if (bytes[p + 3] < 0xBC) {
                fprintf(stderr, "stream_facts: start code 0x%02x in packet position at offset %zu\n",
                        bytes[p + 3], p);
                exit(3);
            }
            packets += packet(p);
            p += 6 + ((at(p + 4) << 8) | at(p + 5));
        }
        // Whatever follows a pack that is not a start code (sector filler)
        // is skipped up to the next pack start code.
        if (!start_code_at(p))
            while (p < bytes.size() && !(start_code_at(p) && bytes[p + 3] == 0xBA)) ++p;
        char head[128];
        snprintf(head, sizeof head, "(%zu %d %u %u %d (", pack, static_cast<int32_t>(scr & 0xFFFFFFFF),
                 ext, mux, stuffing);
        packs += std::string(head) + headers + ") (" + packets + "))\n";
        ++n_packs;
    }
    if (n_packs == 0) fail("no pack", 0);
    if (argc == 3) check_against_probe(argv[2]);
    printf("(%d %zu\n(%s))\n", format, n_packs, packs.c_str());
    return 0;
}
