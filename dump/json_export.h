// JSON Lines export: one JSON object per pack, each on its own line,
// written when the pack ends.  A line is either whole or absent: the parts
// of a pack are held until its end, in memory up to a bound and in an
// unnamed temporary file beyond it, so memory stays flat whatever one pack
// holds.
#pragma once

#include <cstdio>
#include <string>

#include "ps_reader.h"

// Text held in memory up to a bound, then in an unnamed temporary file.
class spill_buffer {
public:
    spill_buffer() = default;
    spill_buffer(const spill_buffer&) = delete;
    spill_buffer& operator=(const spill_buffer&) = delete;
    ~spill_buffer();
    std::string& text() { return text_; }
    // Moves the text to the temporary file when it has grown past the bound.
    void spill_if_large();
    // Writes everything held to `out` and empties the buffer; false when a
    // write failed.
    bool write_to(FILE* out);
    void clear();

private:
    std::string text_;
    FILE* file_ = nullptr;
    bool file_used_ = false;
};

class json_export : public ps_observer {
public:
    explicit json_export(FILE* out) : out_(out) {}
    void pack_header(const ps_reader&, const pack_struct& pack) override;
    void system_header(const ps_reader&, const system_header_struct& header) override;
    void buffer_info(const ps_reader&, const buffer_info_struct& info) override;
    void system_header_end(const ps_reader&, const system_header_struct& header) override;
    void packet_header(const ps_reader&, const packet_struct& packet, const packet_header_detail& detail) override;
    void pack_end(const ps_reader&, const pack_struct& pack) override;

private:
    FILE* out_;
    std::string head_;        // the pack's own fields
    spill_buffer headers_;    // its system headers, comma-separated
    spill_buffer packets_;    // its packets, comma-separated
    bool pack_is_mpeg1_ = false;
    bool in_pack_ = false;
    uint64_t n_headers_ = 0;
    uint64_t n_packets_ = 0;
    uint64_t n_entries_ = 0;
};
