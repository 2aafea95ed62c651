// Replays a stream through the buffer model without a window and reports
// the model's speed and, per tracked stream, its buffer size and the
// largest occupancy seen.
//
//   buffer_replay_bench FILE [quiet]
//
// The model's own lines go to standard output as usual ("quiet" sends them
// to /dev/null); the summary goes to standard error.
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "buffer_analysis_model.h"
#include "parser.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE [quiet]\n", argv[0]);
        return 1;
    }
    init_parser_structs();
    _pack_sink = collect_pack;
    std::FILE* saved = nullptr;
    if (argc > 2 && std::strcmp(argv[2], "quiet") == 0) saved = std::freopen("/dev/null", "w", stdout);
    (void)saved;

    auto t0 = std::chrono::steady_clock::now();
    parse_mpeg_file(argv[1]);
    std::fflush(stdout);
    auto t1 = std::chrono::steady_clock::now();

    static buffer_replay_struct replay;
    setup_buffer_tracks(replay);
    int32_t largest[max_buffer_tracks] = {};
    int64_t payload_bytes = 0;
    if (open_buffer_replay(replay)) {
        while (buffer_replay_step(replay)) {
            for (int i = 0; i < replay.n_buffer_track_streams; ++i)
                if (replay.buffer_occupied[i].interval_max.occupancy > largest[i])
                    largest[i] = replay.buffer_occupied[i].interval_max.occupancy;
        }
    }
    close_buffer_replay(replay);
    std::fflush(stdout);
    auto t2 = std::chrono::steady_clock::now();

    for (const auto& pack : _all_packs_array)
        for (const auto& p : pack->packets) payload_bytes += p.length > 0 ? p.length : 0;
    struct stat st {};
    stat(argv[1], &st);
    double parse_s = std::chrono::duration<double>(t1 - t0).count();
    double replay_s = std::chrono::duration<double>(t2 - t1).count();
    std::fprintf(stderr, "%d packs, %.1f MB; parse %.3f s; replay %.3f s: %.0f MB/s of stream (%.0f MB/s of packets)\n",
                 _n_all_packs(), st.st_size / 1e6, parse_s, replay_s, replay_s > 0 ? st.st_size / replay_s / 1e6 : 0.0,
                 replay_s > 0 ? payload_bytes / replay_s / 1e6 : 0.0);
    for (int i = 0; i < replay.n_buffer_track_streams; ++i)
        std::fprintf(stderr, "stream 0x%x buffer %d largest %d\n", replay.buffer_occupied[i].stream_id,
                     replay.buffer_occupied[i].buffer_size, largest[i]);
    delete_parser_structs();
    return 0;
}
