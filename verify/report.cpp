// What both reports of psverify share: the events in time order and an
// event as JSON.
#include "report.h"

#include <algorithm>
#include <cinttypes>

#include "ticks.h"

std::vector<buffer_event_struct> events_in_time_order(const file_report_struct& report) {
    std::vector<buffer_event_struct> all;
    for (const auto& [label, kept] : report.events) all.insert(all.end(), kept.shown.begin(), kept.shown.end());
    std::stable_sort(all.begin(), all.end(),
                     [](const buffer_event_struct& a, const buffer_event_struct& b) { return a.time < b.time; });
    return all;
}

int64_t events_not_shown(const file_report_struct& report, const std::string& label) {
    auto it = report.events.find(label);
    return it == report.events.end() ? 0 : it->second.total - static_cast<int64_t>(it->second.shown.size());
}

void print_json_event(FILE* out, const buffer_event_struct& e, bool with_buffer) {
    static const char* const types[] = {"underflow", "overflow", "tb_not_empty", "long_stay"};
    std::fprintf(out, "{\"type\":\"%s\"", types[e.kind]);
    if (with_buffer) std::fprintf(out, ",\"buffer\":\"%s\"", buffer_stage_name(e.stage));
    std::fprintf(out, ",\"time\":%.6f", ticks_to_seconds(e.time));
    if (e.kind == buffer_event_struct::overflow || e.kind == buffer_event_struct::tb_not_empty)
        std::fprintf(out, ",\"end_time\":%.6f", ticks_to_seconds(e.end_time));
    std::fprintf(out, ",\"packet_offset\":%" PRId64, e.packet_offset);
    switch (e.kind) {
    case buffer_event_struct::underflow:
        std::fprintf(out, ",\"decoding_time_90khz\":%" PRIu64 ",\"late_bytes\":%d,\"lateness\":%.6f", e.decoding_stamp,
                     e.late_bytes, ticks_to_seconds(e.lateness));
        break;
    case buffer_event_struct::overflow:
        std::fprintf(out, ",\"excess\":%d,\"buffer_size\":%d", e.excess, e.buffer_size);
        break;
    case buffer_event_struct::tb_not_empty: break;
    case buffer_event_struct::long_stay:
        std::fprintf(out, ",\"decoding_time_90khz\":%" PRIu64 ",\"stay\":%.6f", e.decoding_stamp,
                     ticks_to_seconds(e.lateness));
        break;
    }
    std::fputc('}', out);
}
