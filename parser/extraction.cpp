// Payload sink: per-stream extraction files and the streamable hand-over.
#include <dirent.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "parser.h"

streamable_hook_fn _streamable_plugins_hook = nullptr;

void execute_buffer_streamable_plugins(pack_struct* pack, packet_struct* packet, const unsigned char* data,
                                       int length) {
    if (_streamable_plugins_hook) _streamable_plugins_hook(pack, packet, data, length);
}

extraction_error_fn _extraction_error_hook = nullptr;

namespace {

// A whole PES payload: the 16-bit length field bounds it.
constexpr size_t payload_capacity = 65535;
// Write buffer of each open extraction file: payloads of about 2 KB go out
// in a few large writes instead of one per payload.
constexpr size_t extraction_buffer_size = 1 << 15;

// One extraction file per stream_id, open from its first payload to the end
// of the scan.  A file that failed is not tried again during the scan.
struct extraction_file {
    FILE* file = nullptr;
    std::unique_ptr<char[]> buffer;
    bool failed = false;
    // The file goes before its buffer, also when the process ends in the
    // middle of a scan.
    ~extraction_file() {
        if (file) std::fclose(file);
    }
};
std::array<extraction_file, 256> extraction_files;

void extraction_failed(uint8_t stream_id, int error_number) {
    extraction_file& f = extraction_files[stream_id];
    f.failed = true;
    if (f.file) std::fclose(f.file);
    f.file = nullptr;
    f.buffer.reset();
    if (_extraction_error_hook) _extraction_error_hook(extraction_file_path(stream_id), error_number);
}

// The open extraction file of a stream, opened for appending on first use;
// null when it cannot be opened.
FILE* extraction_file_for(uint8_t stream_id) {
    extraction_file& f = extraction_files[stream_id];
    if (f.file || f.failed) return f.file;
    f.file = std::fopen(extraction_file_path(stream_id).c_str(), "ab+");
    if (!f.file) {
        extraction_failed(stream_id, errno);
        return nullptr;
    }
    f.buffer = std::make_unique<char[]>(extraction_buffer_size);
    std::setvbuf(f.file, f.buffer.get(), _IOFBF, extraction_buffer_size);
    return f.file;
}

struct sink_state {
    FILE* file = nullptr;
    uint8_t stream_id = 0;
    unsigned char* collect = nullptr;
    size_t collected = 0;
};

void write_block(const unsigned char* data, size_t n, void* ctx) {
    auto* st = static_cast<sink_state*>(ctx);
    if (_payload_observer && _current_packet) _payload_observer(*_current_packet, data, n);
    if (!st->file) return;
    if (std::fwrite(data, 1, n, st->file) != n) {
        extraction_failed(st->stream_id, errno);
        st->file = nullptr;
        return;
    }
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
    st.stream_id = stream_id;
    if (_extract_streams) st.file = extraction_file_for(stream_id);
    const bool collect = streamable && st.file && _streamable_extract_streams;
    static std::array<unsigned char, payload_capacity> buffer;
    if (collect) st.collect = buffer.data();

    // Only bytes that exist in the file are written or collected; bytes
    // past its end are passed over.
    consume_until(ends_at, st.file || _payload_observer ? write_block : nullptr, &st);

    if (collect)
        execute_buffer_streamable_plugins(_current_pack, _current_packet, buffer.data(),
                                          static_cast<int>(st.collected));
}

void close_extraction_files() {
    for (size_t id = 0; id < extraction_files.size(); ++id) {
        extraction_file& f = extraction_files[id];
        if (f.file) {
            FILE* file = f.file;
            f.file = nullptr;
            errno = 0;
            if (std::fclose(file) != 0) extraction_failed(static_cast<uint8_t>(id), errno);
        }
        f.buffer.reset();
        f.failed = false;
    }
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
