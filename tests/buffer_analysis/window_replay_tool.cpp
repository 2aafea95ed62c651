// Runs the window's replay (what its idle worker does, without the window)
// over a stream and prints, as one JSON document, each stream's figures,
// every event and the verdict, in the terms of psverify --json, so that a
// script can hold the two side by side.
//   window_replay_tool STREAM
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <vector>

#include "buffer_analysis_model.h"
#include "json_string.h"
#include "parser.h"

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    // The parse's own lines (stream errors) go to standard error.
    std::fflush(stdout);
    const int out = dup(STDOUT_FILENO);
    if (out < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) return 2;
    parse_mpeg_file(argv[1]);
    std::fflush(stdout);
    if (dup2(out, STDOUT_FILENO) < 0) return 2;
    close(out);
    auto rp = std::make_unique<buffer_replay_struct>();
    std::vector<buffer_event_struct> events;
    rp->event_hook = [](const buffer_event_struct& e, void* ctx) {
        static_cast<std::vector<buffer_event_struct>*>(ctx)->push_back(e);
    };
    rp->event_ctx = &events;
    setup_buffer_tracks(*rp);
    if (!open_buffer_replay(*rp)) return 1;
    while (buffer_replay_step(*rp)) {
    }
    close_buffer_replay(*rp);

    std::printf("{\"verdict\":%s,\"streams\":[", json_string(buffer_replay_verdict(*rp)).c_str());
    for (int i = 0; i < rp->n_buffer_track_streams; ++i) {
        const buffer_occupancy_struct& r = rp->buffer_occupied[i];
        std::printf("%s{\"label\":%s,\"buffer_size\":%d,\"largest_occupancy\":%d,\"access_units\":%" PRId64
                    ",\"underflow_units\":%" PRId64 ",\"overflow_episodes\":%" PRId64 "}",
                    i ? "," : "", json_string(stream_label(r.stream_id, r.sub_stream_id)).c_str(), r.buffer_size,
                    r.largest_occupancy, r.access_units, r.underflow_units, r.overflow_episodes);
    }
    std::printf("],\"events\":[");
    for (size_t i = 0; i < events.size(); ++i) {
        const buffer_event_struct& e = events[i];
        std::printf("%s{\"label\":%s,\"type\":\"%s\",\"time\":%.6f,\"packet_offset\":%" PRId64 "}", i ? "," : "",
                    json_string(stream_label(e.stream_id, e.sub_stream_id)).c_str(),
                    e.kind == buffer_event_struct::underflow ? "underflow" : "overflow",
                    static_cast<double>(e.time) / ticks_per_second, e.packet_offset);
    }
    std::printf("]}\n");
    return 0;
}
