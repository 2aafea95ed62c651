// Fuzz target: any byte sequence must parse to an end without a crash, a
// hang or an out-of-bounds access, in the analyser's settings (every packet
// kept, stream errors not fatal) with extraction and the streamable hand-over
// on, and through a reader whose observers check the order of what they are
// told and run the text dump and the JSON export.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "json_export.h"
#include "parser.h"
#include "text_dump.h"

namespace {

void expect(bool ok) {
    if (!ok) std::abort();
}

void check_payload(pack_struct* pack, packet_struct* packet, const unsigned char* data, int length) {
    // Touch every byte handed over so the sanitizer sees any overrun.
    volatile unsigned sum = 0;
    for (int i = 0; i < length; ++i) sum = sum + data[i];
    expect(pack && packet && length >= 0 && length <= 65535);
}

std::string work_dir;

// What a reader tells comes in the order the printers rely on: a pack
// header first; system headers (their entries between start and end) and
// packets (payload between header and end) in any order; then the pack's
// end.
struct order_check : ps_observer {
    enum class state { none, pack, header, packet } at = state::none;
    void pack_header(const ps_reader&, const pack_struct&) override {
        expect(at == state::none);
        at = state::pack;
    }
    void system_header(const ps_reader&, const system_header_struct&) override {
        expect(at == state::pack);
        at = state::header;
    }
    void buffer_info(const ps_reader&, const buffer_info_struct& b) override {
        expect(at == state::header && b.stream_id >= 0x80);
    }
    void system_header_end(const ps_reader&, const system_header_struct&) override {
        expect(at == state::header);
        at = state::pack;
    }
    void packet_header(const ps_reader&, const packet_struct& p, const packet_header_detail& d) override {
        // A reader stopping at an unknown stream_id has not read its length.
        expect(at == state::pack &&
               (p.ends_at >= p.starting_offset || d.stop == packet_header_detail::unknown_stream_id));
        at = state::packet;
    }
    void payload(const ps_reader&, const packet_struct&, const unsigned char* data, size_t n) override {
        expect(at == state::packet && n > 0);
        volatile unsigned sum = 0;
        for (size_t i = 0; i < n; ++i) sum = sum + data[i];
    }
    void packet_end(const ps_reader&, const packet_struct&) override {
        expect(at == state::packet);
        at = state::pack;
    }
    void pack_end(const ps_reader&, const pack_struct&) override {
        expect(at == state::pack);
        at = state::none;
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char tmpl[] = "/tmp/parser-fuzz-XXXXXX";
    if (!mkdtemp(tmpl)) std::abort();
    work_dir = tmpl;
    if (chdir(tmpl) != 0) std::abort();
    // The dumps' lines are not wanted here.
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string path = work_dir + "/input.mpg";
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    if ((size & 1) == 0) {
        // The analyser's parse: packs kept, extraction and plug-ins on.
        init_parser_structs();
        _pack_sink = collect_pack;
        _export_is_text_dump = (size & 2) != 0;
        _extract_streams = true;
        _streamable_extract_streams = true;
        _exit_on_stream_error = false;
        _streamable_plugins_hook = check_payload;
        parse_mpeg_file(path.c_str());
        for (const auto& pack : _all_packs_array)
            for (const auto& packet : pack->packets) expect(packet.ends_at >= packet.starting_offset);
        delete_parser_structs();
        delete_extracted_streams();
    } else {
        // A reader of its own with the order check and both printers.
        ps_reader reader;
        reader.stop_on_error = (size & 2) != 0;
        order_check order;
        text_dump dump(stdout);
        json_export json(stdout);
        reader.add_observer(&order);
        reader.add_observer(&dump);
        reader.add_observer(&json);
        reader.parse(std::fopen(path.c_str(), "rb"));
    }
    return 0;
}
