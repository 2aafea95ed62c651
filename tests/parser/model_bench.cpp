// The analyser's parse of a stream into its pack list, as Run does it,
// timed, with the process's peak memory: the cost of the stream model.
//   model_bench STREAM
// Prints "packs N", "seconds S" and "peak_kb K".
#include <sys/resource.h>

#include <chrono>
#include <cstdio>

#include "parser.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: model_bench STREAM\n");
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    parse_mpeg_file(argv[1]);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // Every pack read back once, as a view that walks the stream does.
    int64_t packets = 0;
    for (const auto& pack : _all_packs_array) packets += static_cast<int64_t>(pack->packets.size());
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("packs %zu\npackets %lld\nseconds %.3f\npeak_kb %ld\n", _all_packs_array.size(),
                static_cast<long long>(packets), seconds, usage.ru_maxrss);
    return _all_packs_array.empty() ? 1 : 0;
}
