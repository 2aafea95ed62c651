#include "ts/tstd_replay.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <optional>

#include "buffer/decoder_buffer.h"
#include "buffer/leaky_buffer.h"
#include "es/au_splitter.h"
#include "es/stream_headers.h"
#include "ts/pcr_clock.h"

namespace {

// How far the PCR reader may run ahead of the replay.
constexpr size_t lookahead_bytes = 4 << 20;
constexpr size_t read_chunk = 32 << 10;
// A PID waits at most this long for the header that sizes its buffers, and
// all PIDs together at most the second figure.
constexpr size_t max_waiting_packets = 4096;
constexpr size_t max_waiting_packets_in_all = 16384;
constexpr size_t max_sniff_bytes = 64 << 10;
// Bound on the multiplex buffer's transfer schedule and the access-unit runs
// kept for EBn's fullness; only a stream whose data comes absurdly early
// reaches them, and then neighbours are merged.
constexpr size_t max_schedule_pieces = 1 << 16;

// The greatest time an access unit may stay in the decoder (2.4.2.3; 2.14.3.1
// for AVC).
constexpr int64_t max_stay = 1 * ticks_per_second;
constexpr int64_t max_stay_h264 = 10 * ticks_per_second;

constexpr int64_t tb_empty_interval = ticks_per_second;

double ticks_per_byte(int64_t bits_per_second) {
    return bits_per_second > 0 ? 8.0 * ticks_per_second / static_cast<double>(bits_per_second) : 0.0;
}

bool is_video(es_kind k) { return k == es_kind::mpeg_video || k == es_kind::h264; }

// The coding of a stream: its stream_type, and for stream_type 0x06 (PES
// private data) the DVB AC-3, E-AC-3, subtitling and teletext descriptors
// or an "AC-3" / "EAC3" registration.
es_kind kind_of(const ts_elementary_stream& es) {
    if (es.stream_type == 0x06) {
        for (const ts_descriptor& d : es.descriptors) {
            if (d.tag == 0x6A) return es_kind::ac3;
            if (d.tag == 0x7A) return es_kind::eac3;
            if (d.tag == 0x59) return es_kind::dvb_subtitles;
            if (d.tag == 0x56) return es_kind::teletext;
            if (const auto* r = std::get_if<registration_info>(&d.parsed)) {
                if (r->format_identifier == 0x41432D33) return es_kind::ac3;   // "AC-3"
                if (r->format_identifier == 0x45414333) return es_kind::eac3;  // "EAC3"
            }
        }
    }
    return es_kind_of_stream_type(es.stream_type);
}

// Copies bytes [from, from + count) of a split into `out`, keeping each
// byte's decoding time; the retiming goes with the first bytes only.
void slice_split(const au_split_struct& in, int64_t from, int64_t count, au_split_struct& out) {
    out.n_entries = 0;
    out.retime = in.retime && from == 0;
    out.retime_from = in.retime_from;
    out.retime_to = in.retime_to;
    int64_t at = 0;
    for (int32_t e = 0; e < in.n_entries && count > 0; ++e) {
        const int64_t n = in.n_bytes[static_cast<size_t>(e)];
        const int64_t lo = std::max(at, from), hi = std::min(at + n, from + count);
        if (hi > lo || (e == 0 && n == 0 && from == 0)) {
            if (out.au_dts.size() <= static_cast<size_t>(out.n_entries)) {
                out.au_dts.resize(static_cast<size_t>(out.n_entries) + 1);
                out.n_bytes.resize(static_cast<size_t>(out.n_entries) + 1);
            }
            out.au_dts[static_cast<size_t>(out.n_entries)] = in.au_dts[static_cast<size_t>(e)];
            out.n_bytes[static_cast<size_t>(out.n_entries)] = static_cast<int32_t>(std::max<int64_t>(0, hi - lo));
            ++out.n_entries;
        }
        at += n;
    }
}

// Appends split `b` to split `a` (two payload blocks in one packet).
void append_split(au_split_struct& a, const au_split_struct& b) {
    if (a.n_entries == 0) {
        a.n_entries = b.n_entries;
        a.au_dts.assign(b.au_dts.begin(), b.au_dts.begin() + b.n_entries);
        a.n_bytes.assign(b.n_bytes.begin(), b.n_bytes.begin() + b.n_entries);
        a.retime = b.retime;
        a.retime_from = b.retime_from;
        a.retime_to = b.retime_to;
        return;
    }
    a.au_dts.resize(static_cast<size_t>(a.n_entries));
    a.n_bytes.resize(static_cast<size_t>(a.n_entries));
    for (int32_t e = 0; e < b.n_entries; ++e) {
        if (e == 0) {
            a.n_bytes.back() += b.n_bytes[0];  // the unit in progress goes on
            continue;
        }
        a.au_dts.push_back(b.au_dts[static_cast<size_t>(e)]);
        a.n_bytes.push_back(b.n_bytes[static_cast<size_t>(e)]);
    }
    a.n_entries = static_cast<int32_t>(a.au_dts.size());
}

int64_t split_bytes(const au_split_struct& s) {
    int64_t n = 0;
    for (int32_t e = 0; e < s.n_entries; ++e) n += s.n_bytes[static_cast<size_t>(e)];
    return n;
}

// One transport packet of a PID as the buffers take it.
struct packet_record {
    int64_t first = 0, last = 0;  // arrival of its first and last byte
    int64_t offset = 0;
    int32_t payload = 0;   // bytes after the header and adaptation field
    int32_t es_bytes = 0;  // elementary-stream bytes among them (the last ones)
    bool has_split = false;
    au_split_struct split;
};

// A stretch of the multiplex buffer's output: `bytes` leaving evenly from
// `start` to `end`.
struct transfer_piece {
    double start, end;
    int64_t bytes;
    int64_t through;  // bytes of the stream's output up to the piece's end
};

// Elementary-stream bytes from index `start` on belong to the access unit
// decoded at `dts`.
struct au_run {
    int64_t start;
    int64_t dts;
};

// TBn or TBsys: the leaky buffer, and the stretch of time during which it
// has not once been empty (2.4.2.3: it must empty at least once a second).
struct transport_buffer {
    leaky_buffer_struct leaky;
    double ticks_per_byte = 0;  // at Rx
    int64_t busy_since = 0;     // the stretch in progress began
    int64_t busy_offset = 0;    // with the packet at this offset
    int64_t empty_at = INT64_MIN;  // when it empties if nothing more comes; INT64_MIN before any packet
    int64_t not_empty = 0;      // stretches longer than a second

    void size(uint32_t id, int32_t stage, int64_t bytes, int64_t rx_bps, buffer_event_fn hook, void* ctx) {
        leaky.stream_id = id;
        leaky.stage = stage;
        leaky.size = static_cast<int32_t>(bytes);
        leaky.rate = rx_bps / 8;
        leaky.event_hook = hook;
        leaky.event_ctx = ctx;
        ticks_per_byte = ::ticks_per_byte(rx_bps);
    }
};

// What the replay knows of one PID that carries PCRs.
struct pcr_pid_state {
    pcr_timeline timeline;
    uint64_t last_value = ~uint64_t{0};  // the last PCR (a duplicate packet repeats it)
    int64_t latest_offset = 0;           // input offset of the packet of the latest PCR
};

}  // namespace

const char* tstd_status_name(tstd_status s) {
    switch (s) {
    case tstd_status::modelled: return "modelled";
    case tstd_status::not_modelled: return "not modelled";
    case tstd_status::no_pcr: return "no PCR";
    case tstd_status::no_stamps: return "no time stamps";
    case tstd_status::no_data: return "no data";
    }
    return "";
}

struct tstd_replay::impl : ts_observer {
    // ------------------------------------------------------------------
    // The PCR reader, running ahead.
    struct pcr_scan : ts_observer {
        impl* owner;
        explicit pcr_scan(impl* o) : owner(o) {}
        void on_pcr(const ts_reader& r, const ts_packet_info& info, const ts_clock_reference& pcr) override {
            // A duplicate packet repeats its PCR: it was counted with the first.
            pcr_pid_state& p = owner->pcr_pids[info.pid];
            if (p.last_value == pcr.value_27mhz()) return;
            p.last_value = pcr.value_27mhz();
            const int64_t position = static_cast<int64_t>(r.packets_read() - 1) * ts_packet_size + pcr_byte_in_packet;
            p.timeline.add(position, static_cast<int64_t>(pcr.value_27mhz()), info.adaptation_field.discontinuity_indicator);
            p.latest_offset = info.offset;
            if (owner->first_pcr_pid < 0) owner->first_pcr_pid = info.pid;
        }
    };

    struct stream {
        tstd_stream_result result;
        int32_t format = format_not_modelled;
        bool video = false;
        pcr_timeline* clock = nullptr;  // its program's, once it has two PCRs
        bool resolved = false;  // buffers sized
        au_splitter_struct splitter{};
        au_split_struct scratch;
        std::optional<es_stamp_struct> pending_stamp;
        bool stamp_seen = false;
        std::vector<uint8_t> sniff;  // MPEG video: first bytes, for the sequence header
        std::vector<packet_record> waiting;

        // The packet being read.
        bool open = false;
        packet_record now;

        transport_buffer tb;
        // MBn (video).
        int64_t mb_size = 0;
        double rbx_ticks_per_byte = 0;
        int64_t mb_in = 0, mb_out_done = 0, mb_largest = 0, mb_episodes = 0;
        bool mb_over = false;
        buffer_event_struct mb_event{};
        std::deque<transfer_piece> pieces;
        int64_t es_index = 0;     // elementary-stream bytes that entered MBn
        double last_transfer = -1e300;  // when the last of them enters EBn
        std::deque<au_run> runs;
        au_split_struct slice;
        // EBn or Bn.
        std::unique_ptr<decoder_buffer_struct> eb;
    };

    const tstd_settings settings;
    buffer_event_fn hook;
    void* hook_ctx;
    tstd_report* report = nullptr;

    std::map<uint16_t, pcr_pid_state> pcr_pids;
    int32_t first_pcr_pid = -1;

    std::map<uint16_t, std::unique_ptr<stream>> streams;
    std::vector<stream*> stream_of = std::vector<stream*>(8192, nullptr);  // by PID
    stream* open_stream = nullptr;
    size_t waiting_in_all = 0;  // packets kept by all PIDs until their buffers are sized
    std::vector<bool> psi_pid = std::vector<bool>(8192, false);

    // TBsys and Bsys.
    transport_buffer tbsys;
    leaky_buffer_struct bsys;
    bool sys_timed = false;
    int64_t sys_packets = 0;

    impl(const tstd_settings& s, buffer_event_fn h, void* c) : settings(s), hook(h), hook_ctx(c) {
        psi_pid[0] = psi_pid[1] = true;  // PAT, CAT
        const tstd_buffer_params sys = tstd_system(0);
        tbsys.size(tstd_system_id, stage_tbsys, sys.tb_bytes, sys.rx_bps, h, c);
        bsys.stage = stage_bsys;
        bsys.stream_id = tstd_system_id;
        bsys.size = static_cast<int32_t>(sys.b_bytes);
        bsys.rate = sys.rbsys_bps / 8;
        bsys.event_hook = h;
        bsys.event_ctx = c;
    }

    void emit(const buffer_event_struct& e) {
        if (hook) hook(e, hook_ctx);
    }

    // ------------------------------------------------------------------
    // Tables.

    void on_pat(const ts_reader&, const ts_pat& pat) override {
        for (const ts_program& p : pat.programs) psi_pid[p.pmt_pid] = true;
        if (pat.network_pid >= 0 && pat.network_pid < 8192) psi_pid[static_cast<size_t>(pat.network_pid)] = true;
    }

    void on_pmt(const ts_reader&, const ts_pmt& pmt) override {
        for (const ts_elementary_stream& es : pmt.streams) {
            if (streams.count(es.elementary_pid) || es.elementary_pid == null_pid) continue;
            auto s = std::make_unique<stream>();
            tstd_stream_result& r = s->result;
            r.pid = es.elementary_pid;
            r.stream_type = es.stream_type;
            r.program_number = pmt.program_number;
            r.pcr_pid = pmt.pcr_pid;
            r.kind = kind_of(es);
            s->format = stream_type_carries_pes(es.stream_type) ? au_format_of(r.kind) : format_not_modelled;
            s->video = is_video(r.kind);
            init_au_splitter(s->splitter, s->format);
            if (s->format == format_not_modelled) r.status = tstd_status::not_modelled;
            stream_of[es.elementary_pid] = s.get();
            streams[es.elementary_pid] = std::move(s);
        }
    }

    // ------------------------------------------------------------------
    // Packets.

    void on_packet(const ts_reader& reader, const ts_packet_info& info) override {
        close_packet();
        ++report->ts_packets;
        const int64_t index = static_cast<int64_t>(reader.packets_read() - 1);
        if (psi_pid[info.pid]) {
            system_packet(index, info);
            return;
        }
        stream* sp = stream_of[info.pid];
        if (!sp) return;
        stream& s = *sp;
        ++s.result.ts_packets;
        if (s.result.status == tstd_status::not_modelled) return;
        if (!s.clock) {
            auto p = pcr_pids.find(s.result.pcr_pid);
            if (s.result.pcr_pid != null_pid && p != pcr_pids.end() && p->second.timeline.timed())
                s.clock = &p->second.timeline;
        }
        if (!s.clock) {
            ++s.result.untimed_packets;
            return;
        }
        s.now.es_bytes = 0;
        s.now.has_split = false;
        s.now.first = s.clock->time_at(index * ts_packet_size);
        s.now.last = s.clock->time_at(index * ts_packet_size + ts_packet_size - 1);
        s.now.offset = info.offset;
        s.now.payload = info.duplicate ? 0 : info.payload_size;
        s.open = true;
        open_stream = &s;
    }

    void on_pes_begin(const ts_reader&, const ts_pes& pes) override {
        stream* sp = stream_of[pes.pid];
        if (!sp || !sp->open) return;
        stream& s = *sp;
        const packet_struct& h = pes.header;
        const uint64_t stamp = h.dts != absent_ts ? h.dts : h.pts;
        if (stamp == absent_ts) return;
        s.pending_stamp = es_stamp_struct{s.clock->stamp_ticks(stamp), stamp & ((uint64_t{1} << 33) - 1)};
        s.stamp_seen = true;
    }

    void on_pes_payload(const ts_reader&, const ts_pes& pes, const uint8_t* p, size_t n) override {
        stream* sp = stream_of[pes.pid];
        if (!sp || !sp->open || n == 0) return;
        stream& s = *sp;
        split_access_units(s.splitter, p, static_cast<int64_t>(n), s.pending_stamp, s.scratch);
        s.pending_stamp.reset();
        if (!s.now.has_split) {
            s.now.split.n_entries = 0;
            s.now.has_split = true;
        }
        append_split(s.now.split, s.scratch);
        s.now.es_bytes += static_cast<int32_t>(n);
        if (!s.resolved && s.format == format_video && s.sniff.size() < max_sniff_bytes)
            s.sniff.insert(s.sniff.end(), p, p + std::min(n, max_sniff_bytes - s.sniff.size()));
    }

    // The packet read last is whole: into the buffers, or kept until its
    // stream's buffers are sized.
    void close_packet() {
        if (!open_stream) return;
        stream& s = *open_stream;
        open_stream = nullptr;
        s.open = false;
        if (s.now.es_bytes > s.now.payload) s.now.payload = s.now.es_bytes;
        if (!s.resolved) {
            resolve(s, false);
            if (!s.resolved) {
                s.waiting.push_back(std::move(s.now));
                ++waiting_in_all;
                if (s.waiting.size() >= max_waiting_packets || waiting_in_all >= max_waiting_packets_in_all)
                    resolve(s, true);
                return;
            }
        }
        replay_packet(s, s.now);
    }

    // ------------------------------------------------------------------
    // Buffer sizes from the stream's own headers.

    void resolve(stream& s, bool give_up) {
        tstd_stream_result& r = s.result;
        bool found = false;
        switch (s.format) {
        case format_video: {
            const uint8_t sequence_header[4] = {0, 0, 1, 0xB3};
            auto at = std::search(s.sniff.begin(), s.sniff.end(), sequence_header, sequence_header + 4);
            video_sequence_info v;
            const size_t after = static_cast<size_t>(s.sniff.end() - at);
            // Room for the header, its matrices and the extension after it.
            if (at != s.sniff.end() && (after >= 300 || give_up || s.sniff.size() >= max_sniff_bytes) &&
                read_video_sequence(&*at, after, v)) {
                mpeg2_video_params m;
                m.profile = v.profile();
                m.level = v.level();
                m.profile_422 = v.profile_422();
                m.vbv_buffer_size = v.vbv_buffer_size;
                m.bit_rate_bps = v.bit_rate_bps;
                r.params = tstd_mpeg2_video(m);
                r.params_from = "sequence header";
                found = true;
            } else if (give_up || s.sniff.size() >= max_sniff_bytes) {
                r.params = tstd_mpeg2_video(mpeg2_video_params{});
                r.params_from = "assumed";
                found = true;
            }
            break;
        }
        case format_h264:
            if (s.splitter.has_sps || give_up) {
                h264_video_params h;
                if (s.splitter.has_sps) {
                    const h264_sps_info& sps = s.splitter.sps;
                    h.level_idc = sps.level_idc;
                    h.level_1b = sps.level_1b();
                    h.nal_hrd_bit_rate_bps = sps.nal_hrd_bit_rate_bps;
                    h.nal_hrd_cpb_size_bits = sps.nal_hrd_cpb_size_bits;
                    r.params_from = sps.nal_hrd_cpb_size_bits ? "SPS (NAL HRD)" : "SPS (level)";
                } else {
                    r.params_from = "assumed";
                }
                r.params = tstd_h264_video(h);
                found = true;
            }
            break;
        case format_aac_adts:
            if (s.splitter.has_adts_header || give_up) {
                r.params = tstd_aac(s.splitter.has_adts_header ? s.splitter.adts_header.channel_configuration : 2);
                r.params_from = s.splitter.has_adts_header ? "ADTS header" : "assumed";
                found = true;
            }
            break;
        case format_mpeg_audio:
            r.params = tstd_mpeg_audio();
            r.params_from = "stream type";
            found = true;
            break;
        case format_ac3:
            r.params = tstd_ac3(settings.dvb_ac3);
            r.params_from = settings.dvb_ac3 ? "stream type (DVB)" : "stream type (ATSC)";
            found = true;
            break;
        default: break;
        }
        if (!found) return;
        s.resolved = true;
        s.sniff.clear();
        s.sniff.shrink_to_fit();
        size_buffers(s);
        for (packet_record& rec : s.waiting) replay_packet(s, rec);
        waiting_in_all -= s.waiting.size();
        s.waiting.clear();
        s.waiting.shrink_to_fit();
    }

    void size_buffers(stream& s) {
        const tstd_buffer_params& p = s.result.params;
        s.tb.size(s.result.pid, stage_tb, p.tb_bytes, p.rx_bps, hook, hook_ctx);
        s.eb = std::make_unique<decoder_buffer_struct>();
        init_decoder_buffer(*s.eb, s.result.pid, -1, static_cast<int32_t>(std::min<int64_t>(p.b_bytes, INT32_MAX)),
                            s.video ? stage_eb : stage_b);
        s.eb->event_hook = hook;
        s.eb->event_ctx = hook_ctx;
        if (s.video) {
            s.mb_size = p.mb_bytes;
            s.rbx_ticks_per_byte = ticks_per_byte(p.rbx_bps);
        }
    }

    // ------------------------------------------------------------------
    // The buffers.

    // TBn or TBsys takes a whole packet; a stretch during which it never
    // emptied that lasted more than a second is reported when it ends.
    // Returns when the packet's last byte leaves it.
    int64_t enter_transport_buffer(transport_buffer& tb, const packet_record& rec) {
        if (tb.empty_at == INT64_MIN) {
            tb.leaky.time = rec.first;  // its clock starts with its first packet (times may be negative)
        } else if (rec.first >= tb.empty_at) {
            end_busy_stretch(tb);
            tb.empty_at = INT64_MIN;
        }
        if (tb.empty_at == INT64_MIN) {
            tb.busy_since = rec.first;
            tb.busy_offset = rec.offset;
        }
        leaky_enter_span(tb.leaky, rec.first, rec.last, static_cast<int32_t>(ts_packet_size), rec.offset);
        tb.empty_at = leaky_empty_at(tb.leaky);
        return tb.empty_at;
    }

    void end_busy_stretch(transport_buffer& tb) {
        if (tb.empty_at == INT64_MIN || tb.empty_at - tb.busy_since <= tb_empty_interval) return;
        ++tb.not_empty;
        buffer_event_struct e{};
        e.kind = buffer_event_struct::tb_not_empty;
        e.stream_id = tb.leaky.stream_id;
        e.sub_stream_id = -1;
        e.stage = tb.leaky.stage;
        e.time = tb.busy_since;
        e.end_time = tb.empty_at;
        e.packet_offset = tb.busy_offset;
        e.buffer_size = tb.leaky.size;
        emit(e);
    }

    // When the payload's first byte leaves TBn, and the ticks between its
    // bytes: the packet's bytes leave in order, at Rxn while TBn holds any,
    // and none before it arrived.
    static void payload_exit(const packet_record& rec, int64_t last_out, double tb_ticks_per_byte, double& first,
                             double& per_byte) {
        const double arrive_per_byte = static_cast<double>(rec.last - rec.first) / (ts_packet_size - 1);
        const double arrived = static_cast<double>(rec.first) + arrive_per_byte * static_cast<double>(ts_packet_size - rec.payload);
        first = std::max(arrived, static_cast<double>(last_out) - tb_ticks_per_byte * (rec.payload - 1));
        per_byte = rec.payload > 1 ? std::max(0.0, (static_cast<double>(last_out) - first) / (rec.payload - 1)) : 0.0;
    }

    void replay_packet(stream& s, packet_record& rec) {
        tstd_stream_result& r = s.result;
        const int64_t last_out = enter_transport_buffer(s.tb, rec);
        if (!rec.has_split || rec.es_bytes == 0) return;
        double pay_first, per_byte;
        payload_exit(rec, last_out, s.tb.ticks_per_byte, pay_first, per_byte);
        const double es_first = pay_first + per_byte * (rec.payload - rec.es_bytes);

        // Units that begin here and would stay too long.
        const au_split_struct& sp = rec.split;
        const int64_t limit = s.format == format_h264 ? max_stay_h264 : max_stay;
        for (int32_t e = 1; e < sp.n_entries; ++e) {
            const int64_t d = sp.au_dts[static_cast<size_t>(e)];
            if (d == no_decode_time || d - rec.first <= limit) continue;
            ++r.long_stays;
            buffer_event_struct ev{};
            ev.kind = buffer_event_struct::long_stay;
            ev.stream_id = r.pid;
            ev.sub_stream_id = -1;
            ev.stage = s.video ? stage_eb : stage_b;
            ev.time = rec.first;
            ev.end_time = d;
            ev.packet_offset = rec.offset;
            ev.decoding_time = d;
            ev.decoding_stamp = stamp_value_at(s.splitter.last_stamp, d);
            ev.lateness = d - rec.first;
            emit(ev);
        }

        s.eb->packet_offset = rec.offset;
        s.eb->stamp_ref = s.splitter.last_stamp;
        if (!s.video) {
            enter_split(*s.eb, sp, static_cast<int64_t>(std::ceil(es_first)), static_cast<float>(per_byte), 0);
            return;
        }
        enter_multiplex_buffer(s, rec, es_first, per_byte);
    }

    // Bytes of MBn that have gone on to EBn by `t`.
    int64_t transferred_by(stream& s, double t) {
        while (!s.pieces.empty() && s.pieces.front().end <= t) {
            s.mb_out_done += s.pieces.front().bytes;
            s.pieces.pop_front();
        }
        int64_t n = s.mb_out_done;
        for (const transfer_piece& p : s.pieces) {
            if (p.start >= t) break;
            const double span = p.end - p.start;
            n += span > 0 ? static_cast<int64_t>(static_cast<double>(p.bytes) * (t - p.start) / span) : p.bytes;
        }
        return n;
    }

    // An overflow episode of MBn in progress ends when the transfers bring it
    // back to its size; nothing has entered since the last check, which
    // found it above, so that moment lies in a transfer piece not yet
    // counted as done.  Reported once it is known to come before `until`.
    void end_multiplex_episode(stream& s, double until) {
        if (!s.mb_over) return;
        const int64_t target = s.mb_in - s.mb_size;
        double end = s.mb_out_done >= target ? -1e300 : 1e300;
        for (const transfer_piece& p : s.pieces) {
            if (end < 1e299 || p.start >= until) break;
            if (p.through < target) continue;
            const int64_t before = p.through - p.bytes;
            end = p.bytes > 0 ? p.start + (p.end - p.start) * static_cast<double>(target - before) /
                                              static_cast<double>(p.bytes)
                              : p.start;
        }
        if (end > until) {
            if (until < 1e299) return;
            end = s.last_transfer;  // the stream ended first
        }
        s.mb_over = false;
        s.mb_event.end_time = static_cast<int64_t>(std::ceil(std::max(end, static_cast<double>(s.mb_event.time))));
        emit(s.mb_event);
    }

    void check_multiplex_buffer(stream& s, double t, int64_t offset) {
        // A byte that came in is in MBn for a moment, however fast it leaves.
        const int64_t occupancy = std::max<int64_t>(s.mb_in - transferred_by(s, t), s.mb_in > 0 ? 1 : 0);
        s.mb_largest = std::max(s.mb_largest, occupancy);
        if (occupancy <= s.mb_size) return;
        if (!s.mb_over) {
            s.mb_over = true;
            ++s.mb_episodes;
            s.mb_event = buffer_event_struct{};
            s.mb_event.kind = buffer_event_struct::overflow;
            s.mb_event.stream_id = s.result.pid;
            s.mb_event.sub_stream_id = -1;
            s.mb_event.stage = stage_mb;
            s.mb_event.time = static_cast<int64_t>(std::ceil(t));
            s.mb_event.packet_offset = offset;
            s.mb_event.buffer_size = static_cast<int32_t>(std::min<int64_t>(s.mb_size, INT32_MAX));
        }
        s.mb_event.excess = static_cast<int32_t>(
            std::max<int64_t>(s.mb_event.excess, std::min<int64_t>(occupancy - s.mb_size, INT32_MAX)));
    }

    // The decoding time of elementary-stream byte `j` (already in MBn):
    // EBn has room for byte j + size only once it is gone.  Runs wholly
    // before `j` are dropped, as later questions ask about later bytes.
    int64_t decoding_time_of(stream& s, int64_t j, int64_t& run_end) {
        while (s.runs.size() >= 2 && s.runs[1].start <= j) s.runs.pop_front();
        run_end = s.runs.size() >= 2 ? s.runs[1].start : INT64_MAX;
        if (s.runs.empty() || s.runs.front().start > j) return no_decode_time;
        return s.runs.front().dts;
    }

    void enter_multiplex_buffer(stream& s, const packet_record& rec, double es_first, double per_byte) {
        end_multiplex_episode(s, es_first);
        const au_split_struct& sp = rec.split;
        // The access units of these bytes, for the room in EBn later.
        if (sp.retime && !s.runs.empty() && s.runs.back().dts == sp.retime_from) s.runs.back().dts = sp.retime_to;
        {
            int64_t at = s.es_index;
            for (int32_t e = 0; e < sp.n_entries; ++e) {
                const int64_t d = sp.au_dts[static_cast<size_t>(e)];
                if (s.runs.empty() || s.runs.back().dts != d) s.runs.push_back({at, d});
                at += sp.n_bytes[static_cast<size_t>(e)];
            }
            if (s.runs.size() > max_schedule_pieces) {
                // Merge the two oldest: their bytes wait for the later time.
                s.runs[1].start = s.runs[0].start;
                s.runs.pop_front();
            }
        }
        const int64_t n = split_bytes(sp);
        const int64_t size = std::max<int64_t>(1, s.eb->buffer_size);
        const double rbx = s.rbx_ticks_per_byte;
        int64_t done = 0;
        while (done < n) {
            const int64_t k = s.es_index + done;
            const int64_t j = k - size;
            int64_t cut = n;
            double block = -1e300;
            if (j >= 0) {
                int64_t run_end;
                const int64_t d = decoding_time_of(s, j, run_end);
                if (d != no_decode_time) block = static_cast<double>(d) + 1;
                if (run_end != INT64_MAX) cut = std::min<int64_t>(n, done + (run_end - j));
            } else {
                cut = std::min<int64_t>(n, done - j);
            }
            const int64_t m = cut - done;
            const double arrive_first = es_first + per_byte * static_cast<double>(done);
            const double arrive_last = es_first + per_byte * static_cast<double>(cut - 1);
            const double start = std::max({s.last_transfer + rbx, arrive_first, block});
            const double end = std::max(start + rbx * static_cast<double>(m - 1), arrive_last);
            const double step = m > 1 ? (end - start) / static_cast<double>(m - 1) : rbx;
            const bool whole = done == 0 && m == n;
            if (!whole) slice_split(sp, done, m, s.slice);
            enter_split(*s.eb, whole ? sp : s.slice, static_cast<int64_t>(std::ceil(start)), static_cast<float>(step), 0);
            s.pieces.push_back({start, end, m, (s.pieces.empty() ? s.mb_out_done : s.pieces.back().through) + m});
            if (s.pieces.size() > max_schedule_pieces) {
                s.pieces[1].start = s.pieces[0].start;
                s.pieces[1].bytes += s.pieces[0].bytes;
                s.pieces.pop_front();
            }
            s.last_transfer = end;
            done = cut;
        }
        s.mb_in += n;
        s.es_index += n;
        check_multiplex_buffer(s, es_first + per_byte * static_cast<double>(n - 1), rec.offset);
    }

    // ------------------------------------------------------------------
    // System information.

    void system_packet(int64_t index, const ts_packet_info& info) {
        ++sys_packets;
        if (first_pcr_pid < 0) return;
        pcr_timeline& tl = pcr_pids[static_cast<uint16_t>(first_pcr_pid)].timeline;
        if (!tl.timed()) return;
        sys_timed = true;
        packet_record rec;
        rec.first = tl.time_at(index * ts_packet_size);
        rec.last = tl.time_at(index * ts_packet_size + ts_packet_size - 1);
        rec.offset = info.offset;
        rec.payload = info.duplicate ? 0 : info.payload_size;
        // Bsys leaks at max(80,000 bit/s, 0.002 x the transport rate).
        bsys.rate = tstd_system(tl.transport_rate_bps()).rbsys_bps / 8;
        if (tbsys.empty_at == INT64_MIN) bsys.time = rec.first;  // both clocks start with the first packet
        const int64_t last_out = enter_transport_buffer(tbsys, rec);
        if (rec.payload == 0) return;
        double first, per_byte;
        payload_exit(rec, last_out, tbsys.ticks_per_byte, first, per_byte);
        leaky_enter_span(bsys, static_cast<int64_t>(std::ceil(first)), last_out, rec.payload, rec.offset);
    }

    // ------------------------------------------------------------------

    void finish() {
        close_packet();
        for (auto& [pid, sp] : streams) {
            stream& s = *sp;
            if (!s.resolved && !s.waiting.empty()) resolve(s, true);
            tstd_stream_result& r = s.result;
            r.access_units = s.splitter.access_units;
            if (r.status == tstd_status::not_modelled) continue;
            if (!s.resolved) {
                r.status = r.untimed_packets > 0 ? tstd_status::no_pcr : tstd_status::no_data;
                continue;
            }
            end_busy_stretch(s.tb);
            finish_leaky_buffer(s.tb.leaky);
            r.tb_not_empty = s.tb.not_empty;
            if (s.video) end_multiplex_episode(s, 1e300);
            finish_decoder_buffer(*s.eb);
            r.underflow_units = s.eb->underflow_units;
            r.status = s.stamp_seen ? tstd_status::modelled : tstd_status::no_stamps;
            r.buffers.push_back({stage_tb, s.tb.leaky.size, s.tb.leaky.largest_occupancy, s.tb.leaky.overflow_episodes});
            if (s.video) r.buffers.push_back({stage_mb, s.mb_size, s.mb_largest, s.mb_episodes});
            r.buffers.push_back({s.video ? stage_eb : stage_b, s.eb->buffer_size, s.eb->largest_occupancy,
                                 s.eb->overflow_episodes});
            if (r.status != tstd_status::modelled) {
                r.underflow_units = 0;
                r.long_stays = 0;
            }
        }
        if (sys_timed) {
            end_busy_stretch(tbsys);
            finish_leaky_buffer(tbsys.leaky);
            finish_leaky_buffer(bsys);
        }
        tstd_system_result& sr = report->system;
        sr.ts_packets = sys_packets;
        sr.timed = sys_timed;
        sr.tb_not_empty = tbsys.not_empty;
        sr.buffers = {{stage_tbsys, tbsys.leaky.size, tbsys.leaky.largest_occupancy, tbsys.leaky.overflow_episodes},
                      {stage_bsys, bsys.size, bsys.largest_occupancy, bsys.overflow_episodes}};
        report->pcr_pids = static_cast<int64_t>(pcr_pids.size());
        for (auto& [pid, sp] : streams) report->streams.push_back(std::move(sp->result));
    }
};

tstd_replay::tstd_replay(const tstd_settings& settings, buffer_event_fn hook, void* ctx)
    : impl_(std::make_unique<impl>(settings, hook, ctx)) {
    impl_->report = &report_;
}

tstd_replay::~tstd_replay() = default;

bool tstd_replay::run(FILE* fp, const uint8_t* head, size_t head_n, stream_format format, ts_observer* extra,
                      void (*progress)(int64_t, void*), void* progress_ctx) {
    impl& m = *impl_;
    ts_reader ahead(format), reader(format);
    impl::pcr_scan scan(&m);
    ahead.set_clock_scan_only(true);
    ahead.add_observer(scan);
    reader.add_observer(m);
    if (extra) reader.add_observer(*extra);

    // Blocks the PCR reader has read and the replay has not (the first from
    // `from` on), and spent blocks to read into again.
    struct block {
        std::vector<uint8_t> bytes;
        int64_t at = 0;  // input offset of bytes[0]
    };
    std::deque<block> pending;
    std::vector<std::vector<uint8_t>> spare;
    size_t from = 0;
    int64_t input = 0;
    bool read_error = false;

    auto feed_replay = [&](int64_t upto) {
        while (!pending.empty()) {
            block& b = pending.front();
            const int64_t end = b.at + static_cast<int64_t>(b.bytes.size());
            const size_t to = static_cast<size_t>(std::clamp<int64_t>(upto - b.at, 0, static_cast<int64_t>(b.bytes.size())));
            if (to > from) reader.feed(b.bytes.data() + from, to - from);
            from = std::max(from, to);
            if (upto < end) return;
            spare.push_back(std::move(b.bytes));
            pending.pop_front();
            from = 0;
        }
    };
    auto take = [&](block&& b) {
        ahead.feed(b.bytes.data(), b.bytes.size());
        input = b.at + static_cast<int64_t>(b.bytes.size());
        pending.push_back(std::move(b));
        // The replay may go as far as the latest PCR of every PCR PID still
        // heard from within the lookahead, and must keep within it.  A PID
        // with one PCR so far holds it back: the bytes before its first PCR
        // take the rate of the first two.
        // Before any PCR it waits for one, up to the lookahead.
        int64_t safe = m.pcr_pids.empty() ? 0 : input;
        for (const auto& [pid, p] : m.pcr_pids)
            if (input - p.latest_offset < static_cast<int64_t>(lookahead_bytes))
                safe = std::min(safe, p.timeline.pcr_count() >= 2 ? p.latest_offset : 0);
        safe = std::max(safe, input - static_cast<int64_t>(lookahead_bytes));
        feed_replay(safe);
        if (progress) progress(input, progress_ctx);
    };

    take(block{std::vector<uint8_t>(head, head + head_n), 0});
    for (;;) {
        block b;
        if (!spare.empty()) {
            b.bytes = std::move(spare.back());
            spare.pop_back();
        }
        b.bytes.resize(read_chunk);
        b.at = input;
        const size_t got = std::fread(b.bytes.data(), 1, read_chunk, fp);
        b.bytes.resize(got);
        if (got > 0) take(std::move(b));
        if (got < read_chunk) {
            read_error = std::ferror(fp) != 0;
            break;
        }
    }
    ahead.finish();
    feed_replay(INT64_MAX);
    reader.finish();
    m.finish();
    return !read_error;
}
