// Elementary-stream extraction: appends each packet's payload to the file
// of its stream in a directory (the working directory by default).  For a
// program stream the file of stream_id 0xE0 is "0xe0.mpeg"; for a transport
// stream the file of PID 0x0100 is "pid0x0100.es".  A file stays open from
// its stream's first packet until `close_all`, so it is complete when the
// parse that wrote it is over.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ps_reader.h"
#include "ts_reader.h"

// The extraction files of one parse, one per key (a stream_id or a PID).
class extraction_files {
public:
    // `keys`: how many streams there can be; `name`: a stream's file name.
    extraction_files(std::string directory, size_t keys, std::string (*name)(unsigned key));
    ~extraction_files();
    extraction_files(const extraction_files&) = delete;
    extraction_files& operator=(const extraction_files&) = delete;

    // Told once per file that cannot be opened or written, with its path
    // and the error number; that stream's later payloads are dropped.
    std::function<void(const std::string& path, int error_number)> on_error;

    // Opens the stream's file for appending, unless it is open already or
    // could not be opened or written before.
    void open(unsigned key);
    void write(unsigned key, const unsigned char* data, size_t n);
    // Whether the stream's file is open.
    bool is_open(unsigned key) const { return key < files_.size() && files_[key].file != nullptr; }
    // Closes every file (reporting what could not be written); a later
    // packet opens its file again for appending.
    void close_all();
    std::string path(unsigned key) const { return directory_ + name_(key); }

private:
    struct file_slot {
        FILE* file = nullptr;
        std::unique_ptr<char[]> buffer;
        bool failed = false;
    };
    void failed(unsigned key, int error_number);
    std::string directory_;  // empty, or ending in '/'
    std::string (*name_)(unsigned key);
    std::vector<file_slot> files_;
};

// Program and system streams: one file per stream_id.
class extraction_writer : public ps_observer, public extraction_files {
public:
    // `directory` empty: the working directory.
    explicit extraction_writer(std::string directory = {});

    void packet_header(const ps_reader&, const packet_struct& packet, const packet_header_detail& detail) override;
    void payload(const ps_reader&, const packet_struct& packet, const unsigned char* data, size_t n) override;
};

// Transport streams: one file per PID that carries PES packets, holding
// the payloads of its PES packets end to end.  A PES packet that ends
// broken leaves the bytes that were delivered before the fault.
class ts_extraction_writer : public ts_observer {
public:
    explicit ts_extraction_writer(std::string directory = {});
    extraction_files files;  // by PID

    void on_pes_begin(const ts_reader&, const ts_pes& pes) override;
    void on_pes_payload(const ts_reader&, const ts_pes& pes, const uint8_t* data, size_t n) override;
};

// Path of a stream's extraction file in `directory` (empty: the working
// directory).
std::string extraction_file_path(const std::string& directory, uint8_t stream_id);
std::string ts_extraction_file_path(const std::string& directory, uint16_t pid);
// Removes the program-stream extraction files ("0x..mpeg") from `directory`.
void delete_extraction_files(const std::string& directory);
