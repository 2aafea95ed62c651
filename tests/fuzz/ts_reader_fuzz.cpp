// Fuzz target for the transport-stream reader: any bytes, in 188- or
// 192-byte packet mode, must be read to the end without a crash, a hang or
// an out-of-bounds access; reading them in chunks (sizes taken from the
// input) must tell exactly what reading them whole tells; and what the
// reader says must hold together (every PES packet begun is ended once, a
// bounded one never gets more than its length, offsets lie in the input).
#include <cstdint>
#include <cstdlib>
#include <map>

#include "ts_reader.h"

namespace {

void expect(bool ok) {
    if (!ok) std::abort();
}

struct checker : ts_observer {
    uint64_t digest = 1469598103934665603ull;
    size_t input_size = 0;
    std::map<uint16_t, uint64_t> open;  // PID -> payload bytes so far

    void mix(uint64_t v) {
        digest ^= v;
        digest *= 1099511628211ull;
    }
    void on_packet(const ts_reader& r, const ts_packet_info& p) override {
        expect(p.offset >= 0 && static_cast<uint64_t>(p.offset) + r.packet_size() <= input_size);
        expect(p.bytes[p.sync_offset - p.offset] == 0x47);
        expect(p.payload_start + p.payload_size <= r.packet_size());
        volatile unsigned sum = 0;
        for (size_t i = 0; i < r.packet_size(); ++i) sum = sum + p.bytes[i];
        mix(static_cast<uint64_t>(p.offset) ^ (uint64_t{p.pid} << 40) ^ (uint64_t{p.missing_packets} << 56) ^
            (uint64_t{p.duplicate} << 62));
    }
    void on_pcr(const ts_reader&, const ts_packet_info&, const ts_clock_reference& c) override {
        mix(c.value_27mhz());
    }
    void on_pat(const ts_reader&, const ts_pat& t) override { mix(0x10000 + t.programs.size()); }
    void on_pmt(const ts_reader&, const ts_pmt& t) override { mix(0x20000 + t.streams.size() + t.program_number); }
    void on_pes_begin(const ts_reader&, const ts_pes& p) override {
        expect(open.count(p.pid) == 0);
        expect(p.header.starting_offset >= 0 && p.ts_packets >= 1 && p.payload_bytes == 0);
        open[p.pid] = 0;
        mix(0x30000 + p.pid + (p.header.pts << 16));
    }
    void on_pes_payload(const ts_reader&, const ts_pes& p, const uint8_t* d, size_t n) override {
        expect(open.count(p.pid) == 1 && n > 0 && n <= 184);
        open[p.pid] += n;
        expect(open[p.pid] == p.payload_bytes);
        if (p.header.length > 0) expect(p.header_bytes + p.payload_bytes <= size_t(p.header.length) + 6);
        uint64_t h = n;
        for (size_t i = 0; i < n; ++i) h = h * 31 + d[i];
        mix(h);
    }
    void on_pes_end(const ts_reader&, const ts_pes& p) override {
        expect(open.count(p.pid) == 1);
        open.erase(p.pid);
        expect(p.header.ends_at >= p.header.starting_offset && static_cast<uint64_t>(p.header.ends_at) <= input_size);
        if (p.complete && p.header.length > 0) expect(p.header_bytes + p.payload_bytes == size_t(p.header.length) + 6);
        mix(0x40000 + p.pid + (uint64_t(p.complete) << 20) + (uint64_t(p.end_reason) << 24));
    }
    void on_sync_loss(const ts_reader&, const ts_sync_loss& s) override {
        expect(s.lost_at >= 0 && s.skipped_bytes > 0);
        mix(static_cast<uint64_t>(s.lost_at) * 7 + static_cast<uint64_t>(s.regained_at));
    }
    void on_error(const ts_reader&, const stream_error& e) override {
        expect(!e.message.empty());
        mix(static_cast<uint64_t>(e.kind) * 1000003 + static_cast<uint64_t>(e.offset));
    }
};

uint64_t read(const uint8_t* data, size_t size, stream_format format, const uint8_t* cuts, size_t n_cuts) {
    ts_reader reader(format);
    checker c;
    c.input_size = size;
    reader.add_observer(c);
    size_t at = 0, k = 0;
    while (at < size) {
        size_t chunk = n_cuts ? size_t{cuts[k++ % n_cuts]} * 3 + 1 : size;
        if (chunk > size - at) chunk = size - at;
        reader.feed(data + at, chunk);
        at += chunk;
    }
    reader.finish();
    expect(c.open.empty());
    return c.digest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const stream_format format = (data[0] & 1) ? stream_format::transport_192 : stream_format::transport_188;
    const size_t n_cuts = data[0] >> 4;  // the next bytes cut the input into chunks
    if (size < 1 + n_cuts) return 0;
    const uint8_t* stream = data + 1 + n_cuts;
    const size_t n = size - 1 - n_cuts;
    const uint64_t whole = read(stream, n, format, nullptr, 0);
    if (n_cuts > 0) expect(read(stream, n, format, data + 1, n_cuts) == whole);
    (void)detect_stream_format(stream, n);
    return 0;
}
