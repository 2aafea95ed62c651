#include "extraction.h"

#include <dirent.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {
// Write buffer of each open extraction file: payloads of about 2 KB go out
// in a few large writes instead of one per payload.
constexpr size_t extraction_buffer_size = 1 << 15;

std::string program_stream_file_name(unsigned stream_id) {
    char name[16];
    std::snprintf(name, sizeof name, "0x%x.mpeg", stream_id & 0xFF);
    return name;
}

std::string transport_stream_file_name(unsigned pid) {
    char name[16];
    std::snprintf(name, sizeof name, "pid0x%04x.es", pid & 0x1FFF);
    return name;
}

std::string in_directory(const std::string& directory) { return directory.empty() ? directory : directory + "/"; }

}  // namespace

extraction_files::extraction_files(std::string directory, size_t keys, std::string (*name)(unsigned))
    : directory_(in_directory(directory)), name_(name), files_(keys) {}

extraction_files::~extraction_files() {
    for (file_slot& f : files_)
        if (f.file) std::fclose(f.file);
}

std::string extraction_file_path(const std::string& directory, uint8_t stream_id) {
    return in_directory(directory) + program_stream_file_name(stream_id);
}

std::string ts_extraction_file_path(const std::string& directory, uint16_t pid) {
    return in_directory(directory) + transport_stream_file_name(pid);
}

void extraction_files::failed(unsigned key, int error_number) {
    file_slot& f = files_[key];
    f.failed = true;
    if (f.file) std::fclose(f.file);
    f.file = nullptr;
    f.buffer.reset();
    if (on_error) on_error(path(key), error_number);
}

void extraction_files::open(unsigned key) {
    if (key >= files_.size()) return;
    file_slot& f = files_[key];
    if (f.file || f.failed) return;
    f.file = std::fopen(path(key).c_str(), "ab+");
    if (!f.file) {
        failed(key, errno);
        return;
    }
    f.buffer = std::make_unique<char[]>(extraction_buffer_size);
    std::setvbuf(f.file, f.buffer.get(), _IOFBF, extraction_buffer_size);
}

void extraction_files::write(unsigned key, const unsigned char* data, size_t n) {
    if (!is_open(key)) return;
    if (std::fwrite(data, 1, n, files_[key].file) != n) failed(key, errno);
}

void extraction_files::close_all() {
    for (size_t key = 0; key < files_.size(); ++key) {
        file_slot& f = files_[key];
        if (f.file) {
            FILE* file = f.file;
            f.file = nullptr;
            errno = 0;
            if (std::fclose(file) != 0) failed(static_cast<unsigned>(key), errno);
        }
        f.buffer.reset();
        f.failed = false;
    }
}

extraction_writer::extraction_writer(std::string directory)
    : extraction_files(std::move(directory), 256, program_stream_file_name) {}

// The file of a packet's stream is opened for appending at its first
// packet, payload or not.
void extraction_writer::packet_header(const ps_reader&, const packet_struct& packet,
                                      const packet_header_detail& detail) {
    if (!detail.has_payload || detail.stop != packet_header_detail::complete) return;
    open(packet.stream_id);
}

void extraction_writer::payload(const ps_reader&, const packet_struct& packet, const unsigned char* data, size_t n) {
    write(packet.stream_id, data, n);
}

ts_extraction_writer::ts_extraction_writer(std::string directory)
    : files(std::move(directory), 8192, transport_stream_file_name) {}

// As for program streams, a PID's file is opened at its first PES packet,
// payload or not.
void ts_extraction_writer::on_pes_begin(const ts_reader&, const ts_pes& pes) { files.open(pes.pid); }

void ts_extraction_writer::on_pes_payload(const ts_reader&, const ts_pes& pes, const uint8_t* data, size_t n) {
    files.write(pes.pid, data, n);
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
