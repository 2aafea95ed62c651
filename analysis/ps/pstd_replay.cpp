// The window's replay: the tracked streams found in the collected packs, and
// one pack per step with the samples of the graphs.
#include "ps/pstd_replay.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "buffer/verdict.h"
#include "es/es_kind.h"
#include "parser.h"
#include "ps/streaming_replay.h"

buffer_occupancy_struct* find_track(buffer_replay_struct& rp, uint32_t stream_id, int32_t sub) {
    for (int i = 0; i < rp.n_buffer_track_streams; ++i)
        if (rp.buffer_occupied[i].stream_id == stream_id && rp.buffer_occupied[i].sub_stream_id == sub)
            return &rp.buffer_occupied[i];
    return nullptr;
}

buffer_occupancy_struct* open_track(buffer_replay_struct& rp, uint32_t stream_id, int32_t sub) {
    if (rp.n_buffer_track_streams >= std::min(rp.track_limit, max_tracked_streams)) return nullptr;
    buffer_occupancy_struct& r = rp.buffer_occupied[rp.n_buffer_track_streams++];
    init_buffer_track(r, static_cast<uint8_t>(stream_id), sub);
    r.event_hook = rp.event_hook;
    r.event_ctx = rp.event_ctx;
    return &r;
}

namespace {

// The records of the tracks found by setup_buffer_tracks, as new: the
// replay while parsing gives a stream its record at its first whole payload,
// waiting for its own buffer field; the bounds of the system headers reach
// it as the headers are read.
void reset_tracks(buffer_replay_struct& rp) {
    const std::vector<buffer_replay_struct::track_key> order = rp.track_order;
    begin_streaming_replay(rp);
    rp.track_limit = max_tracked_streams;
    for (const auto& key : order) {
        buffer_occupancy_struct* r = open_track(rp, key.stream_id, key.sub_stream_id);
        if (r) r->size_pending = true;
    }
    rp.track_order = order;
}

}  // namespace

void setup_buffer_tracks(buffer_replay_struct& rp) {
    rp.track_order.clear();
    packet_reader_struct reader;
    reader.fd = parsed_stream_fd();
    reader.data = std::make_unique<unsigned char[]>(packet_reader_block);
    for (const auto& pack : _all_packs_array) {
        const int32_t format = pack->stuffing == -1 ? 0 : 1;  // the pack's own
        for (const packet_struct& packet : pack->packets) {
            if (!is_elementary_stream_id(packet.stream_id)) continue;
            int64_t len = 0;
            const unsigned char* payload = packet_payload(reader, packet, len, format);
            // Only a payload of at least one byte that the file holds whole
            // reaches the replay.
            if (!payload || len <= 0) continue;
            const int32_t sub = sub_stream_of(packet.stream_id, payload, len, format);
            const bool stamped = packet.pts_dts_flag == 2 || packet.pts_dts_flag == 3;
            auto known = std::find_if(rp.track_order.begin(), rp.track_order.end(), [&](const auto& k) {
                return k.stream_id == packet.stream_id && k.sub_stream_id == sub;
            });
            if (known != rp.track_order.end()) {
                known->stamped = known->stamped || stamped;
                continue;
            }
            if (static_cast<int>(rp.track_order.size()) >= max_tracked_streams) continue;
            rp.track_order.push_back({packet.stream_id, sub, stamped});
        }
    }
    reset_tracks(rp);
}

std::vector<int> graphed_tracks(const buffer_replay_struct& rp, int limit) {
    std::vector<int> out;
    for (size_t i = 0; i < rp.track_order.size() && static_cast<int>(out.size()) < limit; ++i)
        if (rp.track_order[i].stamped) out.push_back(static_cast<int>(i));
    return out;
}

void take_buffer_sample(buffer_replay_struct& rp, int64_t t) {
    if (--rp.countdown == 0) {
        if (rp.analysis_state == analysis_running) rp.analysis_state = analysis_waiting_redraw;
        rp.countdown = samples_per_redraw;
    }
    rp.next_sample = t + sample_interval_ticks;
    for (int i = 0; i < rp.n_buffer_track_streams; ++i) sample_occupancy(rp.buffer_occupied[i]);
}

namespace {

// The window's replay: a reader over the file again, whose payloads enter
// the buffers as psverify's do, with a sample of every buffer each 10 ms of
// stream time.
struct file_replay_struct {
    struct observer : streaming_replay_observer {
        explicit observer(buffer_replay_struct& rp) : streaming_replay_observer(rp), rp(rp) {}
        void pack_header(const ps_reader& reader, const pack_struct& pack) override {
            streaming_replay_observer::pack_header(reader, pack);
            if (rp.clock.last.arrival >= rp.next_sample) take_buffer_sample(rp, rp.clock.last.arrival);
        }
        buffer_replay_struct& rp;
    };
    explicit file_replay_struct(buffer_replay_struct& rp) : watcher(rp) { reader.add_observer(&watcher); }
    ps_reader reader;
    observer watcher;
    bool reading = false;
    ~file_replay_struct() {
        if (reading) reader.end();
    }
};

file_replay_struct* file_replay(const buffer_replay_struct& rp) {
    return static_cast<file_replay_struct*>(rp.file_replay.get());
}

}  // namespace

bool open_buffer_replay(buffer_replay_struct& rp) {
    close_buffer_replay(rp);
    rp.pack_index = 0;
    rp.next_sample = sample_interval_ticks;
    rp.countdown = samples_per_redraw;
    rp.replay_complete = false;
    if (_n_all_packs() <= 0) return false;
    const int kept = parsed_stream_fd();
    if (kept < 0) return false;
    // A descriptor of its own, read from the start (the kept one is only
    // ever read with pread, so moving the shared offset harms nothing).
    const int fd = fcntl(kept, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return false;
    FILE* fp = lseek(fd, 0, SEEK_SET) == 0 ? fdopen(fd, "rb") : nullptr;
    if (!fp) {
        close(fd);
        return false;
    }
    reset_tracks(rp);
    // Packets can also be read back one by one (the tests split them so).
    rp.reader.fd = kept;
    rp.reader.block_offset = rp.reader.block_length = 0;
    if (!rp.reader.data) rp.reader.data = std::make_unique<unsigned char[]>(packet_reader_block);
    auto replay = std::make_shared<file_replay_struct>(rp);
    replay->reader.begin(fp);
    replay->reading = true;
    rp.file_replay = replay;
    return true;
}

bool buffer_replay_finished(const buffer_replay_struct& rp) {
    const file_replay_struct* replay = file_replay(rp);
    return !replay || !replay->reading;
}

bool buffer_replay_step(buffer_replay_struct& rp) {
    if (buffer_replay_finished(rp)) return false;
    file_replay_struct& replay = *file_replay(rp);
    // One pack a call (and what lies before it); the call after the last
    // pack finds the end of the stream.
    const uint64_t before = replay.reader.packs();
    bool more = true;
    while (more && replay.reader.packs() == before) more = replay.reader.step();
    if (!more) {
        replay.reader.end();
        replay.reading = false;
        rp.replay_complete = true;
        finish_buffer_events(rp);
    }
    rp.pack_index = static_cast<int32_t>(replay.reader.packs());
    return true;
}

void close_buffer_replay(buffer_replay_struct& rp) {
    rp.file_replay.reset();
    rp.reader.fd = -1;
    rp.reader.block_offset = rp.reader.block_length = 0;
}

void finish_buffer_events(buffer_replay_struct& rp) {
    for (int i = 0; i < rp.n_buffer_track_streams; ++i) enter_deferred(rp, i);
    for (int i = 0; i < rp.n_buffer_track_streams; ++i) finish_decoder_buffer(rp.buffer_occupied[i]);
}

std::string buffer_replay_verdict(const buffer_replay_struct& rp) {
    buffer_verdict verdict;
    for (int i = 0; i < rp.n_buffer_track_streams; ++i) {
        const buffer_occupancy_struct& r = rp.buffer_occupied[i];
        if (r.format == format_not_modelled)
            verdict.add_not_modelled(stream_label(r.stream_id, r.sub_stream_id),
                                     stream_kind_name(r.stream_id, r.sub_stream_id));
        else
            verdict.add_modelled(r.underflow_units, r.overflow_episodes);
    }
    return verdict.text();
}
