// CRC_32 of PSI sections (ISO/IEC 13818-1 Annex A): polynomial 0x04C11DB7,
// initial value 0xFFFFFFFF, bits taken most significant first, no final
// inversion.  A section with its CRC_32 field included gives 0.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace mpeg_crc32_detail {

constexpr std::array<uint32_t, 256> make_table() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i << 24;
        for (int bit = 0; bit < 8; ++bit) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
        table[i] = c;
    }
    return table;
}

inline constexpr std::array<uint32_t, 256> table = make_table();

}  // namespace mpeg_crc32_detail

inline uint32_t mpeg_crc32(const uint8_t* data, size_t n, uint32_t crc = 0xFFFFFFFFu) {
    for (size_t i = 0; i < n; ++i) crc = (crc << 8) ^ mpeg_crc32_detail::table[((crc >> 24) ^ data[i]) & 0xFF];
    return crc;
}
