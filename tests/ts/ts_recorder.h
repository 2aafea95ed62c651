// An observer that keeps everything a transport-stream reader tells, and a
// trace line per event so that two readings can be compared whole.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "ts_builder.h"
#include "ts_reader.h"

namespace ts_test {

using sb::bytes;

struct pes_record {
    ts_pes pes;  // as on_pes_end gave it (as on_pes_begin gave it while open)
    bytes payload;
    bool ended = false;
};

struct recorder : ts_observer {
    std::vector<ts_packet_info> packets;  // `bytes` cleared
    std::vector<stream_error> errors;
    std::vector<ts_sync_loss> losses;
    std::vector<ts_pat> pats;
    std::vector<ts_pmt> pmts;
    std::vector<std::pair<uint16_t, ts_clock_reference>> pcrs;
    std::vector<pes_record> pes;  // in the order they began
    std::map<uint16_t, size_t> open;
    std::string trace;

    void line(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        char buf[512];
        va_list args;
        va_start(args, format);
        std::vsnprintf(buf, sizeof buf, format, args);
        va_end(args);
        trace += buf;
        trace += '\n';
    }

    void on_packet(const ts_reader&, const ts_packet_info& p) override {
        packets.push_back(p);
        packets.back().bytes = nullptr;
        const ts_adaptation_field& a = p.adaptation_field;
        line("packet %lld %lld ats=%lld pid=%u tei=%d pusi=%d prio=%d sc=%u afc=%u cc=%u af=%d/%d/%u di=%d rai=%d "
             "pay=%u+%u dup=%d miss=%u",
             (long long)p.offset, (long long)p.sync_offset, (long long)p.arrival_time_stamp, p.pid,
             p.transport_error_indicator, p.payload_unit_start_indicator, p.transport_priority, p.scrambling_control,
             p.adaptation_field_control, p.continuity_counter, a.present, a.malformed, a.length,
             a.discontinuity_indicator, a.random_access_indicator, p.payload_start, p.payload_size, p.duplicate,
             p.missing_packets);
    }
    void on_pcr(const ts_reader&, const ts_packet_info& p, const ts_clock_reference& c) override {
        pcrs.emplace_back(p.pid, c);
        line("pcr %u %llu", p.pid, (unsigned long long)c.value_27mhz());
    }
    void on_pat(const ts_reader&, const ts_pat& t) override {
        pats.push_back(t);
        line("pat v%u programs=%zu", t.version_number, t.programs.size());
    }
    void on_pmt(const ts_reader&, const ts_pmt& t) override {
        pmts.push_back(t);
        line("pmt %u v%u streams=%zu", t.program_number, t.version_number, t.streams.size());
    }
    void on_pes_begin(const ts_reader&, const ts_pes& p) override {
        open[p.pid] = pes.size();
        pes.push_back({p, {}, false});
        line("pes_begin %u %lld id=%x len=%d pts=%llu dts=%llu", p.pid, (long long)p.header.starting_offset,
             p.header.stream_id, p.header.length, (unsigned long long)p.header.pts, (unsigned long long)p.header.dts);
    }
    void on_pes_payload(const ts_reader&, const ts_pes& p, const uint8_t* d, size_t n) override {
        bytes& out = pes.at(open.at(p.pid)).payload;
        out.insert(out.end(), d, d + n);
        unsigned sum = 0;
        for (size_t i = 0; i < n; ++i) sum = sum * 31 + d[i];
        line("pes_payload %u %zu %08x", p.pid, n, sum);
    }
    void on_pes_end(const ts_reader&, const ts_pes& p) override {
        pes_record& r = pes.at(open.at(p.pid));
        r.pes = p;
        r.ended = true;
        open.erase(p.pid);
        line("pes_end %u packets=%u bytes=%llu complete=%d reason=%s ends_at=%lld", p.pid, p.ts_packets,
             (unsigned long long)p.payload_bytes, p.complete, ts_pes_end_reason_name(p.end_reason),
             (long long)p.header.ends_at);
    }
    void on_sync_loss(const ts_reader&, const ts_sync_loss& s) override {
        losses.push_back(s);
        line("sync_loss %lld %lld %lld", (long long)s.lost_at, (long long)s.regained_at, (long long)s.skipped_bytes);
    }
    void on_error(const ts_reader&, const stream_error& e) override {
        errors.push_back(e);
        line("error %s %lld %d %s", stream_error_kind_name(e.kind), (long long)e.offset, e.pid, e.message.c_str());
    }

    std::vector<stream_error_kind> error_kinds() const {
        std::vector<stream_error_kind> kinds;
        for (const auto& e : errors) kinds.push_back(e.kind);
        return kinds;
    }
    std::vector<const pes_record*> pes_on(uint16_t pid) const {
        std::vector<const pes_record*> out;
        for (const auto& r : pes)
            if (r.pes.pid == pid) out.push_back(&r);
        return out;
    }
};

// Feeds `data` in chunks of `chunk` bytes (all at once by default), then
// finishes.
inline void read(ts_reader& reader, const bytes& data, size_t chunk = 0) {
    if (chunk == 0) chunk = data.size() + 1;
    for (size_t at = 0; at < data.size(); at += chunk)
        reader.feed(data.data() + at, std::min(chunk, data.size() - at));
    reader.finish();
}

inline recorder read_all(const bytes& data, stream_format format = stream_format::transport_188, size_t chunk = 0) {
    ts_reader reader(format);
    recorder r;
    reader.add_observer(r);
    read(reader, data, chunk);
    return r;
}

using tb::add_tables;
using tb::audio_pes;
using tb::audio_pid;
using tb::payload_of;
using tb::pmt_pid;
using tb::video_pes;
using tb::video_pid;

}  // namespace ts_test
