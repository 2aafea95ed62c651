// Text of the pack detail window: one two-column line per field.
#include "pack_detail_text.h"

#include <cinttypes>
#include <cstdio>

namespace {

std::string format(const char* fmt, auto... args) {
    char buf[128];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

std::string offset_text(int64_t offset) { return format("%" PRId64, offset); }

// "<low 32 bits as signed> (<seconds> sec)" of a 33-bit time stamp, or
// "N/A" when the stream did not supply it.
std::string time_stamp_text(uint64_t ts) {
    if (ts == absent_ts) return "N/A";
    auto low = static_cast<int32_t>(static_cast<uint32_t>(ts));
    auto seconds = static_cast<float>(static_cast<double>(ts & 0x1FFFFFFFFull) / 90000.0);
    return format("%d (%.2f sec)", low, static_cast<double>(seconds));
}

}  // namespace

std::string detail_line_text(const char* left, const char* right) {
    std::string line = left ? left : "";
    std::string r = right ? right : "";
    size_t used = line.size() + r.size();
    if (used < detail_line_width) line.append(detail_line_width - used, ' ');
    return line + r;
}

void for_each_detail_line(const pack_struct& pack,
                          const std::function<void(const char*, const char*)>& emit) {
    auto line = [&](const char* left, const std::string& right) { emit(left, right.c_str()); };
    auto scr = static_cast<int32_t>(pack.scr);
    line("start_offset =", offset_text(pack.offset));
    line("scr =", format("%d (%.3f sec)", scr, scr / 90000.0));
    line("mux =", format("%d", pack.bytes_per_second));

    for (const auto& header : pack.system_headers) {
        emit("  System_Header", nullptr);
        line("    start_offset =", offset_text(header.starting_offset));
        line("    header_length =", format("%d", header.header_length));
        line("    audio_bound =", format("%d", header.audio_bound));
        line("    video_bound = ", format("%d", header.video_bound));
        emit("    -----------------------", nullptr);
        emit("    Buffer_Info", nullptr);
        for (const auto& info : header.buffer_info) {
            emit("      -----------------------", nullptr);
            line("      stream_id =", format("0x%x", static_cast<unsigned>(info.stream_id)));
            line("      scale = ", format("%d", info.std_buffer_bound_scale));
            line("      bound = ", format("%d", info.std_buffer_size_bound));
            line("      size = ", format("%d", info.actual_std_size));
        }
    }

    for (const auto& packet : pack.packets) {
        emit("  -------------------------", nullptr);
        emit("  Packet", nullptr);
        line("    stream_name = ", packet.stream_name);
        line("    packet_length = ", format("%d", packet.length));
        line("    start_offset = ", offset_text(packet.starting_offset));
        line("    pts = ", time_stamp_text(packet.pts));
        line("    dts = ", time_stamp_text(packet.dts));
    }
}

std::vector<std::string> pack_detail_lines(const pack_struct& pack) {
    std::vector<std::string> lines;
    for_each_detail_line(pack, [&](const char* left, const char* right) {
        lines.push_back(detail_line_text(left, right));
    });
    return lines;
}
