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

// Parts handed over instead of kept must come in the order a streaming
// printer relies on: a pack header first, then at most one system header
// with its entries between its start and its end, then packets.
enum class part_state { none, pack, header, packets } state = part_state::none;

void expect(bool ok) {
    if (!ok) std::abort();
}
void on_pack_header(const pack_struct&) { state = part_state::pack; }
void on_system_header(const system_header_struct&) {
    expect(state == part_state::pack);
    state = part_state::header;
}
void on_buffer_info(const buffer_info_struct& b) { expect(state == part_state::header && b.stream_id >= 0x80); }
void on_system_header_end(const system_header_struct&) {
    expect(state == part_state::header);
    state = part_state::packets;
}
void on_packet(const packet_struct&) {
    expect(state == part_state::pack || state == part_state::packets);
    state = part_state::packets;
}
const pack_parts_consumer ordered_parts = {on_pack_header, on_system_header, on_buffer_info, on_system_header_end,
                                           on_packet};

void check_pack_without_parts(std::unique_ptr<pack_struct> pack) {
    expect(state != part_state::none && state != part_state::header);
    expect(pack->packets.empty() && pack->system_headers.empty());
    state = part_state::none;
}

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
    // Every other input hands the parts of each pack to a consumer instead.
    const bool by_parts = (size & 2) != 0;
    _pack_parts_consumer = by_parts ? &ordered_parts : nullptr;
    _pack_sink = by_parts ? check_pack_without_parts : collect_pack;
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
