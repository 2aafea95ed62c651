// The access-unit splitter on its own, as a transport stream's decoder will
// use it: bare AC-3 (no DVD sub-stream header) in payloads that cut frames.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "es/au_splitter.h"
#include "stream_builder.h"

namespace {

std::vector<std::pair<int32_t, int64_t>> entries(const au_split_struct& s) {
    std::vector<std::pair<int32_t, int64_t>> out;
    for (int e = 0; e < s.n_entries; ++e) out.emplace_back(s.n_bytes[e], s.au_dts[e]);
    return out;
}

TEST(AccessUnitSplitter, SplitsBareAc3FramesAcrossPayloads) {
    sb::bytes frame{0x0B, 0x77, 0x12, 0x34, 0x14};  // 48 kHz, 192 kbit/s: 768 bytes, 2880 / 90 kHz
    frame.resize(768, 0x55);
    const sb::bytes first = sb::concat({frame, sb::bytes(frame.begin(), frame.begin() + 100)});
    const sb::bytes second = sb::concat({sb::bytes(frame.begin() + 100, frame.end()), frame});
    au_splitter_struct s;
    init_au_splitter(s, au_format_of(es_kind_of_stream_type(0x81)));
    au_split_struct split;
    split_access_units(s, first.data(), static_cast<int64_t>(first.size()), es_stamp_struct{2700000, 9000}, split);
    using v = std::vector<std::pair<int32_t, int64_t>>;
    EXPECT_EQ(entries(split), (v{{0, no_decode_time}, {768, 2700000}, {100, 2700000 + 864000}}));
    split_access_units(s, second.data(), static_cast<int64_t>(second.size()), std::nullopt, split);
    EXPECT_EQ(entries(split), (v{{668, 2700000 + 864000}, {768, 2700000 + 2 * 864000}}));
    EXPECT_EQ(s.access_units, 3);
    EXPECT_EQ(s.last_stamp.value, 9000u);
}

}  // namespace
