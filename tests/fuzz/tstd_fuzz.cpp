// Fuzz target for psverify's T-STD replay: any bytes read as a transport
// stream (188- or 192-byte packets, by the first byte) must replay to the
// end without a crash, a hang or an out-of-bounds access, and what it
// reports must hold together (largest occupancies and counts never
// negative, every PID's buffers listed once).
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "tstd_replay.h"

namespace {

void expect(bool ok) {
    if (!ok) std::abort();
}

void count(const buffer_event_struct& e, void* ctx) {
    expect(e.kind >= buffer_event_struct::underflow && e.kind <= buffer_event_struct::long_stay);
    ++*static_cast<int64_t*>(ctx);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const stream_format format = (data[0] & 1) ? stream_format::transport_192 : stream_format::transport_188;
    tstd_settings settings;
    settings.dvb_ac3 = (data[0] & 2) != 0;
    int64_t events = 0;
    tstd_replay replay(settings, count, &events);
    FILE* fp = fmemopen(const_cast<uint8_t*>(data + 1), size - 1, "rb");
    if (!fp) return 0;
    expect(replay.run(fp, nullptr, 0, format, nullptr));
    std::fclose(fp);
    const tstd_report& r = replay.report();
    for (const tstd_stream_result& s : r.streams) {
        expect(s.underflow_units >= 0 && s.access_units >= 0 && s.ts_packets >= 0);
        for (const tstd_buffer_summary& b : s.buffers) expect(b.largest >= 0 && b.overflow_episodes >= 0);
    }
    expect(events >= 0);
    return 0;
}
