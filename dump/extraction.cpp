#include "extraction.h"

#include <dirent.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {
// Write buffer of each open extraction file: payloads of about 2 KB go out
// in a few large writes instead of one per payload.
constexpr size_t extraction_buffer_size = 1 << 15;
}  // namespace

extraction_writer::~extraction_writer() {
    for (file_slot& f : files_)
        if (f.file) std::fclose(f.file);
}

std::string extraction_file_path(const std::string& directory, uint8_t stream_id) {
    char name[16];
    std::snprintf(name, sizeof name, "0x%x.mpeg", stream_id);
    if (directory.empty()) return name;
    return directory + "/" + name;
}

std::string extraction_writer::path(uint8_t stream_id) const { return extraction_file_path(directory_, stream_id); }

void extraction_writer::failed(uint8_t stream_id, int error_number) {
    file_slot& f = files_[stream_id];
    f.failed = true;
    if (f.file) std::fclose(f.file);
    f.file = nullptr;
    f.buffer.reset();
    if (on_error) on_error(path(stream_id), error_number);
}

// The file of a packet's stream is opened for appending at its first
// packet, payload or not.
void extraction_writer::packet_header(const ps_reader&, const packet_struct& packet,
                                      const packet_header_detail& detail) {
    if (!detail.has_payload || detail.stop != packet_header_detail::complete) return;
    file_slot& f = files_[packet.stream_id];
    if (f.file || f.failed) return;
    f.file = std::fopen(path(packet.stream_id).c_str(), "ab+");
    if (!f.file) {
        failed(packet.stream_id, errno);
        return;
    }
    f.buffer = std::make_unique<char[]>(extraction_buffer_size);
    std::setvbuf(f.file, f.buffer.get(), _IOFBF, extraction_buffer_size);
}

void extraction_writer::payload(const ps_reader&, const packet_struct& packet, const unsigned char* data, size_t n) {
    file_slot& f = files_[packet.stream_id];
    if (!f.file) return;
    if (std::fwrite(data, 1, n, f.file) != n) failed(packet.stream_id, errno);
}

void extraction_writer::close_all() {
    for (size_t id = 0; id < files_.size(); ++id) {
        file_slot& f = files_[id];
        if (f.file) {
            FILE* file = f.file;
            f.file = nullptr;
            errno = 0;
            if (std::fclose(file) != 0) failed(static_cast<uint8_t>(id), errno);
        }
        f.buffer.reset();
        f.failed = false;
    }
}

void delete_extraction_files(const std::string& directory) {
    const std::string dir_path = directory.empty() ? "./." : directory;
    DIR* dir = opendir(dir_path.c_str());
    if (!dir) return;
    while (struct dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        size_t len = std::strlen(name);
        if (name[0] == '.') continue;
        if (len <= 7) continue;
        if (name[0] == '0' && (name[1] == 'x' || name[1] == 'X') && std::strcmp(name + len - 5, ".mpeg") == 0)
            std::remove(directory.empty() ? name : (dir_path + "/" + name).c_str());
    }
    closedir(dir);
}
