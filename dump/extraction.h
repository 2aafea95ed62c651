// Elementary-stream extraction: appends each packet's payload to the file
// of its stream, "0x<id>.mpeg" in a directory (the working directory by
// default).  A file stays open from its stream's first packet until
// `close_all`, so it is complete when the parse that wrote it is over.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <string>

#include "ps_reader.h"

class extraction_writer : public ps_observer {
public:
    // `directory` empty: the working directory.
    explicit extraction_writer(std::string directory = {}) : directory_(std::move(directory)) {}
    ~extraction_writer() override;

    // Told once per file that cannot be opened or written, with its path
    // and the error number; that stream's later payloads are dropped.
    std::function<void(const std::string& path, int error_number)> on_error;

    void packet_header(const ps_reader&, const packet_struct& packet, const packet_header_detail& detail) override;
    void payload(const ps_reader&, const packet_struct& packet, const unsigned char* data, size_t n) override;

    // Whether the stream's file is open for the packet being read.
    bool is_open(uint8_t stream_id) const { return files_[stream_id].file != nullptr; }
    // Closes every file (reporting what could not be written); a later
    // packet opens its file again for appending.
    void close_all();
    std::string path(uint8_t stream_id) const;

private:
    struct file_slot {
        FILE* file = nullptr;
        std::unique_ptr<char[]> buffer;
        bool failed = false;
    };
    void failed(uint8_t stream_id, int error_number);
    std::string directory_;
    std::array<file_slot, 256> files_;
};

// Path of a stream's extraction file in `directory` (empty: the working
// directory).
std::string extraction_file_path(const std::string& directory, uint8_t stream_id);
// Removes the extraction files ("0x..mpeg") from `directory`.
void delete_extraction_files(const std::string& directory);
