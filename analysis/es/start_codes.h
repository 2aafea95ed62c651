// The 0x000001 start codes of a video elementary stream in one payload,
// including those that began in the payload before: `on_code(i, code)` is
// called for each, in order, with `i` the payload position of the byte after
// the prefix (the code byte; below 3 when the prefix began earlier).
// `reg` carries the last four bytes from payload to payload.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

template <typename F>
void scan_start_codes(uint32_t& reg, const unsigned char* pl, int64_t len, F&& on_code) {
    // Start codes whose code byte lies in the first three bytes may have
    // begun in an earlier payload: the register holds the bytes before.
    const int64_t head = std::min<int64_t>(3, len);
    for (int64_t i = 0; i < head; ++i) {
        reg = (reg << 8) | pl[i];
        if ((reg & 0xFFFFFF00u) == 0x00000100u) on_code(i, static_cast<unsigned char>(reg));
    }
    // The later ones lie wholly in this payload: look for their 0x01 byte.
    for (int64_t k = 2; k + 1 < len;) {
        const void* hit = std::memchr(pl + k, 0x01, static_cast<size_t>(len - 1 - k));
        if (!hit) break;
        k = static_cast<const unsigned char*>(hit) - pl;
        if (pl[k - 1] == 0 && pl[k - 2] == 0) on_code(k + 1, pl[k + 1]);
        ++k;
    }
}

// The register after a payload: its last four bytes (or the bytes before
// followed by all of it, for a payload shorter than four bytes, as the scan
// above leaves it).
inline void end_start_code_register(uint32_t& reg, const unsigned char* pl, int64_t len) {
    if (len >= 4)
        reg = (uint32_t{pl[len - 4]} << 24) | (uint32_t{pl[len - 3]} << 16) | (uint32_t{pl[len - 2]} << 8) |
              pl[len - 1];
}
