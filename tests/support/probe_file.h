// Reader of the ffprobe records kept next to each sample stream
// (tests/data/*.probe.txt; the format is described in tests/data/README.md).
#pragma once

#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace probe {

struct packet {
    int stream_index;
    unsigned id;  // stream id as ffprobe gives it: 0x1e0 for 0xE0, 0x80 for a sub-stream
    int64_t pos;  // offset of the packet start code
    int64_t size;
    int64_t pts;  // -1 when absent
    int64_t dts;  // -1 when absent; the PTS again when only a PTS is present
};

struct file {
    int64_t size = -1;
    std::map<int, unsigned> stream_ids;
    std::vector<packet> packets;
};

inline file read(const std::string& path) {
    file f;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream ls(line);
        std::string kind;
        ls >> kind;
        if (kind == "size") {
            ls >> f.size;
        } else if (kind == "stream") {
            int index;
            std::string id;
            ls >> index >> id;
            f.stream_ids[index] = static_cast<unsigned>(std::stoul(id, nullptr, 16));
        } else if (kind == "packet") {
            packet p;
            ls >> p.stream_index >> p.pos >> p.size >> p.pts >> p.dts;
            p.id = f.stream_ids.at(p.stream_index);
            f.packets.push_back(p);
        }
    }
    return f;
}

}  // namespace probe
