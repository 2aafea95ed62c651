#include "model.h"

#include <utility>

std::vector<std::unique_ptr<pack_struct>> _all_packs_array;

std::unique_ptr<pack_struct> new_pack_struct() { return std::make_unique<pack_struct>(); }
std::unique_ptr<packet_struct> new_packet_struct() { return std::make_unique<packet_struct>(); }
std::unique_ptr<system_header_struct> new_system_header_struct() {
    return std::make_unique<system_header_struct>();
}
std::unique_ptr<buffer_info_struct> new_buffer_info_struct() {
    return std::make_unique<buffer_info_struct>();
}

void add_packet_to_pack(pack_struct& pack, packet_struct&& packet) {
    pack.packets.push_back(std::move(packet));
}

void add_header_to_pack(pack_struct& pack, system_header_struct&& header) {
    pack.system_headers.push_back(std::move(header));
}

void add_buffer_info(system_header_struct& header, const buffer_info_struct& info) {
    header.buffer_info.push_back(info);
}

void collect_pack(std::unique_ptr<pack_struct> pack) {
    if (pack) _all_packs_array.push_back(std::move(pack));
}

void delete_pack_struct(std::unique_ptr<pack_struct> pack) { pack.reset(); }

void init_parser_structs() {
    // Nothing is freed here: the caller has either just deleted the list or
    // is starting the program.  Dropping ownership without freeing would
    // leak, so the list is simply released if anything is still in it.
    _all_packs_array.clear();
    _all_packs_array.shrink_to_fit();
}

void delete_parser_structs() {
    _all_packs_array.clear();
    _all_packs_array.shrink_to_fit();
}
