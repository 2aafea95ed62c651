// Records and plot geometry of the clock relationships window.
#include "clocks_model.h"

#include <unistd.h>

#include <algorithm>

#include "parser.h"

namespace {

// Low 32 bits of a packet's PTS when it counts for the plot, else nothing:
// an absent PTS (all ones) and a PTS of 0 leave the latest value as it is.
bool usable_pts(const packet_struct& packet, uint32_t& pts) {
    if (packet.pts == absent_ts || packet.pts == 0) return false;
    pts = static_cast<uint32_t>(packet.pts);
    return true;
}

// scr - pts in 32-bit arithmetic, read as a signed number.
int32_t clock_difference(uint32_t scr, uint32_t pts) {
    return static_cast<int32_t>(scr - pts);
}

}  // namespace

void compute_clock_relationships(const pack_list& packs,
                                 std::vector<clock_relationship>& video,
                                 std::vector<clock_relationship>& audio) {
    video.assign(packs.size(), clock_relationship{});
    audio.assign(packs.size(), clock_relationship{});

    uint32_t latest_video_pts = 0;
    uint32_t latest_audio_pts = 0;
    for (size_t i = 0; i < packs.size(); ++i) {
        const pack_struct& pack = *packs[i];
        for (const packet_struct& packet : pack.packets) {
            uint32_t pts = 0;
            if (!usable_pts(packet, pts)) continue;
            if (packet.stream_id == clocks_video_stream_id) latest_video_pts = pts;
            else if (packet.stream_id == clocks_audio_stream_id) latest_audio_pts = pts;
        }
        const float seconds = static_cast<float>(pack.scr / 90000.0);
        const int32_t index = static_cast<int32_t>(i);
        video[i] = {clock_difference(pack.scr, latest_video_pts), seconds, index};
        audio[i] = {clock_difference(pack.scr, latest_audio_pts), seconds, index};
    }
}

bool stream_file_packet_is_ac3(const packet_struct& packet, void*) {
    const int fd = parsed_stream_fd();
    if (fd < 0 || packet.pes_header_data_length < 0 || packet.starting_offset < 0) return false;
    // Start code and stream id, length, two flag bytes and the header data
    // length come before the header data.
    const int64_t payload = packet.starting_offset + 9 + packet.pes_header_data_length;
    unsigned char sub_stream = 0;
    if (payload >= packet.ends_at || pread(fd, &sub_stream, 1, static_cast<off_t>(payload)) != 1) return false;
    return sub_stream >= 0x80 && sub_stream <= 0x87;
}

std::vector<clocks_audio_series> compute_audio_clock_series(const pack_list& packs,
                                                            clocks_ac3_test is_ac3, void* context) {
    constexpr uint8_t private_stream_1 = 0xBD;
    auto timed = [&](const packet_struct& packet) {
        uint32_t pts = 0;
        if (!usable_pts(packet, pts)) return false;
        if (packet.stream_id >= 0xC0 && packet.stream_id <= 0xDF) return true;
        return packet.stream_id == private_stream_1 && is_ac3 && is_ac3(packet, context);
    };
    // Which streams have a PTS at all; 0xBD sorts after the MPEG audio.
    bool seen[256] = {};
    for (const auto& pack : packs)
        for (const packet_struct& packet : pack->packets)
            if (!seen[packet.stream_id] && timed(packet)) seen[packet.stream_id] = true;
    std::vector<clocks_audio_series> series;
    for (int id = 0xC0; id <= 0xDF; ++id)
        if (seen[id]) series.push_back({static_cast<uint8_t>(id), false, {}});
    if (seen[private_stream_1]) series.push_back({private_stream_1, true, {}});

    for (clocks_audio_series& one : series) {
        one.points.resize(packs.size());
        uint32_t latest = 0;
        for (size_t i = 0; i < packs.size(); ++i) {
            const pack_struct& pack = *packs[i];
            for (const packet_struct& packet : pack.packets) {
                uint32_t pts = 0;
                if (packet.stream_id == one.stream_id && usable_pts(packet, pts) && timed(packet)) latest = pts;
            }
            one.points[i] = {clock_difference(pack.scr, latest), static_cast<float>(pack.scr / 90000.0),
                             static_cast<int32_t>(i)};
        }
    }
    return series;
}

int32_t usable_clock_boundary(int32_t configured) {
    return configured > 0 ? configured : clocks_default_boundary;
}

clocks_geometry make_clocks_geometry(int width, int height, int32_t boundary) {
    clocks_geometry g;
    const float b = static_cast<float>(boundary);
    // 2 * B in float: the same value the integer B - (-B) gives, without
    // overflowing for boundaries above 2^30.
    g.scale = static_cast<float>(height - 120) / (2.0f * b);
    g.mid = height / 2;
    g.step = width / clocks_packs_per_plot;
    g.plus_b_y = static_cast<int>(static_cast<float>(g.mid) - b * g.scale);
    g.minus_b_y = static_cast<int>(static_cast<float>(g.mid) + b * g.scale);
    g.y_30000 = static_cast<int>(static_cast<float>(g.mid) - 30000.0f * g.scale);
    return g;
}

int16_t clocks_row(const clocks_geometry& g, int32_t difference) {
    const float y = g.scale * static_cast<float>(difference) + static_cast<float>(g.mid);
    if (y >= 32767.0f) return 32767;
    if (y <= -32768.0f) return -32768;
    return static_cast<int16_t>(static_cast<int>(y));
}

clocks_frame advance_clocks_frame(int32_t& n_clocks_pack, int n_packs) {
    clocks_frame f;
    f.first = n_clocks_pack - clocks_packs_per_plot;
    if (f.first < 0) {
        f.first = 0;
        n_clocks_pack = clocks_packs_per_plot;
    }
    const int remaining = std::max(0, n_packs - f.first);
    f.count = std::min(remaining, clocks_packs_per_plot);
    f.at_end = remaining < clocks_packs_per_plot;
    n_clocks_pack += clocks_packs_per_tick;
    return f;
}
