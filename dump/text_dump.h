// The text dump: every pack header, system header and packet header as
// indented lines, with byte offsets, printed as the reader meets them.
#pragma once

#include <cstdio>

#include "ps_reader.h"

// The DSM trick mode lines of a PES header: trick_mode_control with its
// name, then the fields of the byte's low 5 bits one tab further in.
void print_trick_mode(FILE* out, const char* indent, int32_t control, int32_t trick_mode_byte);

class text_dump : public ps_observer {
public:
    explicit text_dump(FILE* out) : out_(out) {}

    void pack_header(const ps_reader&, const pack_struct& pack) override;
    void system_header(const ps_reader&, const system_header_struct& header) override;
    void buffer_info(const ps_reader&, const buffer_info_struct& info) override;
    void packet_header(const ps_reader&, const packet_struct& packet, const packet_header_detail& detail) override;
    // A marker-bit error goes in place, where the dump stopped.
    void error(const ps_reader&, const stream_error& e) override;

private:
    void print_mpeg1_packet(const packet_struct& packet, const packet_header_detail& detail);
    void print_extension(const packet_struct& packet, const packet_header_detail& detail);
    FILE* out_;
};
