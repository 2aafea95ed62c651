// Parses a stream in this process and drives the buffer replay over it.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "buffer_analysis_model.h"
#include "parser.h"
#include "stream_builder.h"
#include "test_util.h"

// One entry of a packet split: payload bytes and their decoding time.
struct entry {
    int32_t bytes;
    int64_t dts;
    bool operator==(const entry&) const = default;
};
inline std::ostream& operator<<(std::ostream& os, const entry& e) { return os << "{" << e.bytes << " @" << e.dts << "}"; }
using split = std::vector<entry>;

class BufferReplayTest : public ::testing::Test {
protected:
    void SetUp() override {
        delete_parser_structs();
        init_parser_structs();
        _pack_sink = collect_pack;
    }
    void TearDown() override {
        close_buffer_replay(*rp);
        delete_parser_structs();
    }

    void load(const sb::bytes& data) {
        path = dir.file("stream.mpg");
        tu::write_file(path, data);
        load_file(path);
    }
    void load_file(const std::string& file) {
        loaded = file;
        delete_parser_structs();
        init_parser_structs();
        std::fflush(stdout);
        ::testing::internal::CaptureStdout();  // the parser's own lines
        parse_mpeg_file(file.c_str());
        std::fflush(stdout);
        ::testing::internal::GetCapturedStdout();
        setup_buffer_tracks(*rp);
    }

    // The record of stream `id` (of private_stream_1 sub-stream `sub`).
    buffer_occupancy_struct& track(uint32_t id, int32_t sub = -1) {
        for (int i = 0; i < rp->n_buffer_track_streams; ++i)
            if (rp->buffer_occupied[i].stream_id == id && (sub < 0 || rp->buffer_occupied[i].sub_stream_id == sub))
                return rp->buffer_occupied[i];
        ADD_FAILURE() << "stream 0x" << std::hex << id << " not tracked";
        return rp->buffer_occupied[0];
    }

    // Splits every packet of stream `id` (of private_stream_1 sub-stream
    // `sub`), in order, as the replay would.
    std::vector<split> splits(uint32_t id, int32_t sub = -1) {
        std::vector<split> out;
        const sb::bytes file = tu::read_bytes(path.empty() ? loaded : path);
        EXPECT_TRUE(open_buffer_replay(*rp));
        for (const auto& pack : _all_packs_array) {
            const pack_clock_struct clock = next_pack_clock(*rp, *pack);
            for (const packet_struct& p : pack->packets) {
                if (p.stream_id != id) continue;
                if (sub >= 0 && file.at(static_cast<size_t>(p.starting_offset + 9 + p.pes_header_data_length)) != sub)
                    continue;
                get_offsets(rp->reader, track(id, sub), p, clock, rp->offsets);
                split s;
                for (int e = 0; e < rp->offsets.n_entries; ++e) s.push_back({rp->offsets.n_bytes[e], rp->offsets.au_dts[e]});
                out.push_back(s);
            }
        }
        return out;
    }

    // Replays every pack and returns the events it reported, one line each.
    std::string replay() {
        events.clear();
        if (open_buffer_replay(*rp))
            while (buffer_replay_step(*rp)) {
            }
        std::string lines;
        for (const buffer_event_struct& e : events) lines += format_buffer_event(e) + "\n";
        return lines;
    }

    // Replays `file` while it is parsed, as psverify does.
    std::unique_ptr<buffer_replay_struct> replay_while_parsing(const std::string& file,
                                                               std::vector<buffer_event_struct>& out) {
        auto srp = std::make_unique<buffer_replay_struct>();
        srp->track_limit = max_tracked_streams;
        srp->event_hook = collect_event;
        srp->event_ctx = &out;
        begin_streaming_replay(*srp);
        ps_reader reader;
        streaming_replay_observer observer(*srp);
        reader.add_observer(&observer);
        reader.parse(std::fopen(file.c_str(), "rb"));
        finish_buffer_events(*srp);
        return srp;
    }

    static void collect_event(const buffer_event_struct& e, void* ctx) {
        static_cast<std::vector<buffer_event_struct>*>(ctx)->push_back(e);
    }
    std::vector<buffer_event_struct> events;
    std::unique_ptr<buffer_replay_struct> rp = [this] {
        auto r = std::make_unique<buffer_replay_struct>();
        r->event_hook = collect_event;
        r->event_ctx = &events;
        return r;
    }();
    tu::temp_dir dir;
    std::string path, loaded;
};
