// Packs built directly in memory for the overview tests.
#pragma once

#include <initializer_list>
#include <memory>
#include <vector>

#include "model.h"

namespace pm {

// A pack with `headers` system headers and one packet per stream_id.
inline std::unique_ptr<pack_struct> pack(int headers, std::initializer_list<int> streams) {
    auto p = new_pack_struct();
    for (int h = 0; h < headers; ++h) add_header_to_pack(*p, system_header_struct{});
    for (int id : streams) {
        packet_struct packet;
        packet.stream_id = static_cast<uint8_t>(id);
        add_packet_to_pack(*p, std::move(packet));
    }
    return p;
}

inline pack_list packs(int n, int headers,
                                                       std::initializer_list<int> streams) {
    pack_list out;
    for (int i = 0; i < n; ++i) out.push_back(pack(headers, streams));
    return out;
}

}  // namespace pm
