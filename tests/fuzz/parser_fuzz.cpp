// Fuzz target: any byte sequence must parse to an end without a crash, a
// hang or an out-of-bounds access, in the analyser's settings (every packet
// kept, stream errors not fatal) with extraction and the streamable hand-over
// on.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "parser.h"

namespace {

void check_payload(pack_struct* pack, packet_struct* packet, const unsigned char* data, int length) {
    // Touch every byte handed over so the sanitizer sees any overrun.
    volatile unsigned sum = 0;
    for (int i = 0; i < length; ++i) sum = sum + data[i];
    if (!pack || !packet || length < 0 || length > 65535) std::abort();
}

std::string work_dir;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char tmpl[] = "/tmp/parser-fuzz-XXXXXX";
    if (!mkdtemp(tmpl)) std::abort();
    work_dir = tmpl;
    if (chdir(tmpl) != 0) std::abort();
    // The parser's own lines are not wanted here.
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string path = work_dir + "/input.mpg";
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    init_parser_structs();
    _pack_sink = collect_pack;
    _export_is_text_dump = (size & 1) != 0;
    _export_CL_lisp = _export_elisp = false;
    _extract_streams = true;
    _streamable_extract_streams = true;
    _exit_on_stream_error = false;
    _streamable_plugins_hook = check_payload;
    parse_mpeg_file(path.c_str());
    for (const auto& pack : _all_packs_array)
        for (const auto& packet : pack->packets)
            if (packet.ends_at < packet.starting_offset) std::abort();
    delete_parser_structs();
    delete_extracted_streams();
    return 0;
}
