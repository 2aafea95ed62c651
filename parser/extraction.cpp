// Payload sink: per-stream extraction files and the streamable hand-over.
#include <dirent.h>

#include <array>
#include <cstdio>
#include <cstring>

#include "parser.h"

streamable_hook_fn _streamable_plugins_hook = nullptr;

void execute_buffer_streamable_plugins(pack_struct* pack, packet_struct* packet, const unsigned char* data,
                                       int length) {
    if (_streamable_plugins_hook) _streamable_plugins_hook(pack, packet, data, length);
}

namespace {

// A whole PES payload: the 16-bit length field bounds it.
constexpr size_t payload_capacity = 65535;

struct sink_state {
    FILE* file = nullptr;
    unsigned char* collect = nullptr;
    size_t collected = 0;
};

void write_block(const unsigned char* data, size_t n, void* ctx) {
    auto* st = static_cast<sink_state*>(ctx);
    if (_payload_observer && _current_packet) _payload_observer(*_current_packet, data, n);
    if (!st->file) return;
    std::fwrite(data, 1, n, st->file);
    if (st->collect) {
        size_t room = payload_capacity - st->collected;
        size_t k = n < room ? n : room;
        std::memcpy(st->collect + st->collected, data, k);
        st->collected += k;
    }
}

}  // namespace

void payload_sink(uint8_t stream_id, int64_t ends_at, bool streamable) {
    sink_state st;
    if (_extract_streams) st.file = std::fopen(extraction_file_path(stream_id).c_str(), "ab+");
    const bool collect = streamable && st.file && _streamable_extract_streams;
    static std::array<unsigned char, payload_capacity> buffer;
    if (collect) st.collect = buffer.data();

    // Only bytes that exist in the file are written or collected; bytes
    // past its end are passed over.
    consume_until(ends_at, st.file || _payload_observer ? write_block : nullptr, &st);

    if (st.file) std::fclose(st.file);
    if (collect)
        execute_buffer_streamable_plugins(_current_pack, _current_packet, buffer.data(),
                                          static_cast<int>(st.collected));
}

std::string extraction_file_path(uint8_t stream_id) {
    char name[16];
    std::snprintf(name, sizeof name, "0x%x.mpeg", stream_id);
    if (_extraction_directory.empty()) return name;
    return _extraction_directory + "/" + name;
}

void delete_extracted_streams() {
    const std::string dir_path = _extraction_directory.empty() ? "./." : _extraction_directory;
    DIR* dir = opendir(dir_path.c_str());
    if (!dir) return;
    while (struct dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        size_t len = std::strlen(name);
        if (name[0] == '.') continue;
        if (len <= 7) continue;
        if (name[0] == '0' && (name[1] == 'x' || name[1] == 'X') && std::strcmp(name + len - 5, ".mpeg") == 0)
            std::remove(_extraction_directory.empty() ? name : (dir_path + "/" + name).c_str());
    }
    closedir(dir);
}
