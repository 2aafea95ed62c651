#include "ts_reader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "parser.h"

namespace {

// Header bytes of transport_packet() (see read_packet).
constexpr uint8_t sync_byte = 0x47;
constexpr uint8_t tei_mask = 0x80;
constexpr uint8_t pusi_mask = 0x40;
constexpr uint8_t priority_mask = 0x20;
constexpr uint8_t pid_high_mask = 0x1F;
constexpr uint8_t afc_adaptation = 0x2;  // adaptation_field_control bits
constexpr uint8_t afc_payload = 0x1;
constexpr size_t ts_packet_bytes = 188;
constexpr size_t ts_header_bytes = 4;

// adaptation_field() flags (see read_adaptation_field).
constexpr uint8_t discontinuity_mask = 0x80;
constexpr uint8_t random_access_mask = 0x40;
constexpr uint8_t es_priority_mask = 0x20;
constexpr uint8_t pcr_flag = 0x10;
constexpr uint8_t opcr_flag = 0x08;
constexpr uint8_t splicing_point_flag = 0x04;
constexpr uint8_t private_data_flag = 0x02;
constexpr uint8_t af_extension_flag = 0x01;
constexpr uint8_t ltw_flag = 0x80;
constexpr uint8_t piecewise_rate_flag = 0x40;
constexpr uint8_t seamless_splice_flag = 0x20;
constexpr uint8_t ltw_valid_mask = 0x80;
constexpr uint8_t largest_af_with_payload = 182;
constexpr uint8_t af_without_payload = 183;

// Sync bytes in a row at the packet period that make a place a packet start.
constexpr size_t sync_confirmations = 3;
// Input taken into the buffer at a time.
constexpr size_t feed_block = 64 * 1024;

constexpr uint8_t pointer_field_bytes = 1;
constexpr size_t section_header_bytes = 3;
constexpr size_t largest_section = 4096;
constexpr uint8_t stuffing_byte = 0xFF;
constexpr uint8_t pat_table_id = 0x00;
constexpr uint8_t pmt_table_id = 0x02;
constexpr size_t pes_start_bytes = 6;

ts_clock_reference read_clock_reference(const uint8_t* b) {
    ts_clock_reference c;
    c.base = (uint64_t{b[0]} << 25) | (uint64_t{b[1]} << 17) | (uint64_t{b[2]} << 9) | (uint64_t{b[3]} << 1) |
             (b[4] >> 7);
    c.extension = static_cast<uint16_t>(((b[4] & 0x01) << 8) | b[5]);
    return c;
}

std::string hex(int64_t v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

enum class pid_role : uint8_t { none, pat, pmt, es };
enum class pes_phase : uint8_t {
    idle,           // waiting for a payload_unit_start
    header,         // collecting the PES header
    payload,        // header read, payload being delivered
    after_bounded,  // a bounded PES packet ended; nothing but a new start may follow
};

}  // namespace

struct ts_reader::pid_state {
    uint16_t pid = 0;

    // Continuity (ISO/IEC 13818-1 2.4.3.3).
    int last_cc = -1;  // of the last packet with payload, -1 before the first
    bool last_was_duplicate = false;
    uint8_t last_payload_size = 0;
    std::array<uint8_t, ts_packet_bytes> last_payload{};
    bool scrambled_run = false;  // the last packet with payload was scrambled

    // What the tables in force make of the PID.
    pid_role role = pid_role::none;
    uint8_t stream_type = 0;
    uint16_t program_number = 0;
    bool carries_pes = false;

    // PSI section being collected.
    std::vector<uint8_t> section;
    bool collecting = false;

    // PES packet being reassembled.
    pes_phase phase = pes_phase::idle;
    std::vector<uint8_t> header;
    size_t header_need = pes_start_bytes;
    ts_pes pes;
    uint64_t remaining = 0;  // bytes of a bounded PES packet still to come
    int64_t last_counted_packet = -1;
    int64_t data_end = -1;  // input offset just past its last byte so far
};

const char* ts_pes_end_reason_name(ts_pes_end_reason reason) {
    switch (reason) {
        case ts_pes_end_reason::length_reached: return "length_reached";
        case ts_pes_end_reason::next_unit_start: return "next_unit_start";
        case ts_pes_end_reason::end_of_input: return "end_of_input";
        case ts_pes_end_reason::continuity: return "continuity";
        case ts_pes_end_reason::transport_error: return "transport_error";
        case ts_pes_end_reason::scrambled: return "scrambled";
        case ts_pes_end_reason::malformed_packet: return "malformed_packet";
        case ts_pes_end_reason::pid_dropped: break;
    }
    return "pid_dropped";
}

ts_reader::ts_reader(stream_format format)
    : format_(format == stream_format::transport_192 ? format : stream_format::transport_188),
      packet_size_(transport_packet_size(format_)),
      sync_at_(packet_size_ - ts_packet_bytes) {
    state(pat_pid).role = pid_role::pat;
}

ts_reader::~ts_reader() = default;

void ts_reader::add_observer(ts_observer& observer) { observers_.push_back(&observer); }

void ts_reader::remove_observer(ts_observer& observer) {
    observers_.erase(std::remove(observers_.begin(), observers_.end(), &observer), observers_.end());
}

const ts_pmt* ts_reader::pmt(uint16_t program_number) const {
    auto it = pmts_.find(program_number);
    return it == pmts_.end() ? nullptr : &it->second;
}

int ts_reader::stream_type(uint16_t pid) const {
    if (pid >= pids_.size() || !pids_[pid] || pids_[pid]->role != pid_role::es) return -1;
    return pids_[pid]->stream_type;
}

ts_reader::pid_state& ts_reader::state(uint16_t pid) {
    auto& slot = pids_[pid & 0x1FFF];
    if (!slot) {
        slot = std::make_unique<pid_state>();
        slot->pid = pid;
    }
    return *slot;
}

void ts_reader::error(stream_error_kind kind, int64_t offset, int32_t pid, std::string message) {
    stream_error e;
    e.kind = kind;
    e.offset = offset;
    e.pid = pid;
    e.message = std::move(message);
    for (size_t i = 0; i < observers_.size(); ++i) observers_[i]->on_error(*this, e);
}

// ---------------------------------------------------------------------------
// Input and sync.

namespace {
struct busy_guard {
    explicit busy_guard(bool& flag) : flag_(flag) {
        if (flag_) throw std::logic_error("ts_reader: feed() or finish() called from an observer");
        flag_ = true;
    }
    ~busy_guard() { flag_ = false; }
    bool& flag_;
};
}  // namespace

void ts_reader::feed(const uint8_t* data, size_t n) {
    busy_guard guard(busy_);
    if (finished_ || !data) return;
    while (n > 0) {
        size_t take;
        if (buf_.empty()) {
            // Nothing held back: the packets are read where the caller has
            // them, and only what is left over is kept.
            take = n;
            in_ = data;
            in_size_ = take;
        } else {
            // Complete the packet held back first (in sync), or give the
            // sync search more to look at.
            take = std::min(n, in_sync_ && buf_.size() < packet_size_ ? packet_size_ - buf_.size() : feed_block);
            buf_.insert(buf_.end(), data, data + take);
            in_ = buf_.data();
            in_size_ = buf_.size();
        }
        bytes_fed_ += static_cast<int64_t>(take);
        process(false);
        if (in_ == data)
            buf_.assign(data + pos_, data + take);
        else
            buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(pos_));
        buf_offset_ += static_cast<int64_t>(pos_);
        pos_ = 0;
        in_ = nullptr;
        in_size_ = 0;
        data += take;
        n -= take;
    }
}

void ts_reader::finish() {
    busy_guard guard(busy_);
    if (finished_) return;
    finished_ = true;
    in_ = buf_.data();
    in_size_ = buf_.size();
    process(true);
    const int64_t end = buf_offset_ + static_cast<int64_t>(buf_.size());
    if (in_sync_ && pos_ < buf_.size()) {
        error(stream_error_kind::malformed, buf_offset_ + static_cast<int64_t>(pos_), -1,
              "input ends inside a transport packet: " + std::to_string(buf_.size() - pos_) + " of " +
                  std::to_string(packet_size_) + " bytes");
    } else if (!in_sync_ && end > lost_at_) {
        ts_sync_loss loss{lost_at_, -1, end - lost_at_};
        error(stream_error_kind::sync_loss, lost_at_, -1,
              (lost_at_ == 0 ? std::string("no transport packet found") : "sync lost at " + hex(lost_at_)) +
                  ", not regained before the end of the input (" + std::to_string(loss.skipped_bytes) +
                  " bytes skipped)");
        for (size_t i = 0; i < observers_.size(); ++i) observers_[i]->on_sync_loss(*this, loss);
    }
    for (auto& slot : pids_) {
        if (!slot) continue;
        if (slot->phase == pes_phase::header)
            error(stream_error_kind::malformed, slot->pes.header.starting_offset, slot->pid,
                  "input ends inside a PES header");
        end_pes(*slot, ts_pes_end_reason::end_of_input, end);
    }
    buf_.clear();
    pos_ = 0;
    buf_offset_ = end;
}

void ts_reader::process(bool at_end) {
    for (;;) {
        if (in_sync_) {
            if (in_size_ - pos_ < packet_size_) return;
            if (in_[pos_ + sync_at_] == sync_byte) {
                read_packet(in_ + pos_, buf_offset_ + static_cast<int64_t>(pos_));
                pos_ += packet_size_;
                continue;
            }
            in_sync_ = false;
            lost_at_ = buf_offset_ + static_cast<int64_t>(pos_);
        }
        if (!find_sync(at_end)) return;
    }
}

// Looks for the next place, from pos_ on, where sync bytes stand at the
// packet period `sync_confirmations` times in a row.  Returns false when it
// needs more input (pos_ then rests on the next candidate), or at the end of
// the input when there is none.  At the end of the input fewer packets may
// confirm a place: two, or one whole packet at the very start of the input.
bool ts_reader::find_sync(bool at_end) {
    for (;;) {
        const size_t size = in_size_;
        if (pos_ + sync_at_ >= size) {
            if (at_end) pos_ = size;
            return false;
        }
        const void* hit = std::memchr(in_ + pos_ + sync_at_, sync_byte, size - pos_ - sync_at_);
        if (!hit) {
            pos_ = at_end ? size : size - sync_at_;
            return false;
        }
        pos_ = static_cast<size_t>(static_cast<const uint8_t*>(hit) - in_) - sync_at_;
        size_t seen = 0;
        bool all = true;
        for (size_t k = 0; k < sync_confirmations; ++k) {
            const size_t at = pos_ + sync_at_ + k * packet_size_;
            if (at >= size) break;
            if (in_[at] != sync_byte) {
                all = false;
                break;
            }
            ++seen;
        }
        if (all && seen < sync_confirmations) {
            if (!at_end) return false;
            const int64_t here = buf_offset_ + static_cast<int64_t>(pos_);
            all = size - pos_ >= packet_size_ && (seen >= 2 || here == 0);
        }
        if (!all) {
            ++pos_;
            continue;
        }
        const int64_t regained = buf_offset_ + static_cast<int64_t>(pos_);
        in_sync_ = true;
        if (regained > lost_at_) {
            ts_sync_loss loss{lost_at_, regained, regained - lost_at_};
            error(stream_error_kind::sync_loss, lost_at_, -1,
                  (lost_at_ == 0 ? std::string("no sync at the start") : "sync lost at " + hex(lost_at_)) +
                      ", regained at " + hex(regained) + " (" + std::to_string(loss.skipped_bytes) +
                      " bytes skipped)");
            for (size_t i = 0; i < observers_.size(); ++i) observers_[i]->on_sync_loss(*this, loss);
        }
        return true;
    }
}

// ---------------------------------------------------------------------------
// Packets.

// transport_packet() {
//   sync_byte                     8   0x47
//   transport_error_indicator     1
//   payload_unit_start_indicator  1
//   transport_priority            1
//   PID                          13
//   transport_scrambling_control  2
//   adaptation_field_control      2
//   continuity_counter            4
//   if (adaptation_field_control == '10' || adaptation_field_control == '11') adaptation_field()
//   if (adaptation_field_control == '01' || adaptation_field_control == '11') data_byte ...
// }
void ts_reader::read_packet(const uint8_t* p, int64_t offset) {
    ++packets_read_;
    ts_packet_info info;
    info.offset = offset;
    info.sync_offset = offset + static_cast<int64_t>(sync_at_);
    info.bytes = p;
    if (sync_at_ == 4) {
        // TP_extra_header() { copy_permission_indicator 2, arrival_time_stamp 30 }
        info.copy_permission_indicator = p[0] >> 6;
        info.arrival_time_stamp = (int64_t{p[0] & 0x3F} << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
    }
    const uint8_t* h = p + sync_at_;
    info.transport_error_indicator = (h[1] & tei_mask) != 0;
    info.payload_unit_start_indicator = (h[1] & pusi_mask) != 0;
    info.transport_priority = (h[1] & priority_mask) != 0;
    info.pid = static_cast<uint16_t>(((h[1] & pid_high_mask) << 8) | h[2]);
    info.scrambling_control = h[3] >> 6;
    info.adaptation_field_control = (h[3] >> 4) & 0x03;
    info.continuity_counter = h[3] & 0x0F;

    auto tell_packet = [&] {
        for (size_t i = 0; i < observers_.size(); ++i) observers_[i]->on_packet(*this, info);
    };
    auto tell_pcr = [&] {
        if (info.adaptation_field.pcr)
            for (size_t i = 0; i < observers_.size(); ++i) observers_[i]->on_pcr(*this, info, *info.adaptation_field.pcr);
    };

    if (info.transport_error_indicator) {
        // The header itself may be wrong: nothing in the packet is used, and
        // it is left out of the continuity check.
        tell_packet();
        error(stream_error_kind::transport_error, offset, info.pid, "transport_error_indicator set");
        if (pids_[info.pid]) break_pid(*pids_[info.pid], ts_pes_end_reason::transport_error, offset);
        return;
    }

    const char* af_fault = nullptr;
    if (info.adaptation_field_control & afc_adaptation) {
        if (!read_adaptation_field(h, info)) af_fault = "adaptation_field_length does not fit the fields it holds";
    }
    const bool has_payload = (info.adaptation_field_control & afc_payload) != 0;
    if (has_payload && !info.adaptation_field.malformed) {
        const size_t start =
            ts_header_bytes + (info.adaptation_field.present ? 1u + info.adaptation_field.length : 0u);
        info.payload_start = static_cast<uint8_t>(sync_at_ + start);
        info.payload_size = static_cast<uint8_t>(ts_packet_bytes - start);
    }

    if (clock_scan_only_) {
        tell_packet();
        tell_pcr();
        return;
    }
    pid_state* ps = info.pid == null_pid ? nullptr : &state(info.pid);
    if (ps && has_payload) check_continuity(*ps, info);
    tell_packet();

    if (info.adaptation_field_control == 0)
        error(stream_error_kind::malformed, offset, info.pid, "adaptation_field_control '00'");
    if (af_fault) error(stream_error_kind::malformed, offset, info.pid, af_fault);
    if (!ps) return;
    if (info.missing_packets > 0) {
        // 15 missing is also what a counter repeated without being a
        // duplicate (a different payload, or a second repetition) reads as.
        error(stream_error_kind::continuity, offset, info.pid,
              "continuity_counter " + std::to_string(info.continuity_counter) + ": " +
                  std::to_string(info.missing_packets) + " packets missing" +
                  (info.missing_packets == 15 ? " (or the counter repeated without a duplicate packet)" : ""));
        break_pid(*ps, ts_pes_end_reason::continuity, offset);
    }
    if (has_payload && info.adaptation_field.malformed) break_pid(*ps, ts_pes_end_reason::malformed_packet, offset);
    tell_pcr();
    if (!has_payload || info.duplicate) return;

    if (info.scrambling_control != 0) {
        if (!ps->scrambled_run)
            error(stream_error_kind::scrambled, offset, info.pid,
                  "transport_scrambling_control " + std::to_string(info.scrambling_control));
        ps->scrambled_run = true;
        break_pid(*ps, ts_pes_end_reason::scrambled, offset);
        return;
    }
    ps->scrambled_run = false;
    if (info.adaptation_field.malformed) return;

    const uint8_t* payload = p + info.payload_start;
    switch (ps->role) {
        case pid_role::pat:
        case pid_role::pmt:
            psi_payload(*ps, info, payload, info.payload_size);
            break;
        case pid_role::es:
            if (ps->carries_pes) pes_payload(*ps, info, payload, info.payload_size);
            break;
        case pid_role::none:
            break;
    }
}

// adaptation_field() {
//   adaptation_field_length                   8
//   if (adaptation_field_length > 0) {
//     discontinuity_indicator                 1
//     random_access_indicator                 1
//     elementary_stream_priority_indicator    1
//     PCR_flag                                1
//     OPCR_flag                               1
//     splicing_point_flag                     1
//     transport_private_data_flag             1
//     adaptation_field_extension_flag         1
//     if (PCR_flag)  { program_clock_reference_base 33, reserved 6, program_clock_reference_extension 9 }
//     if (OPCR_flag) { original_program_clock_reference_base 33, reserved 6, ..._extension 9 }
//     if (splicing_point_flag) splice_countdown 8
//     if (transport_private_data_flag) { transport_private_data_length 8, private_data_byte ... }
//     if (adaptation_field_extension_flag) {
//       adaptation_field_extension_length 8
//       ltw_flag 1, piecewise_rate_flag 1, seamless_splice_flag 1, reserved 5
//       if (ltw_flag) { ltw_valid_flag 1, ltw_offset 15 }
//       if (piecewise_rate_flag) { reserved 2, piecewise_rate 22 }
//       if (seamless_splice_flag) { splice_type 4, DTS_next_AU[32..30] 3, marker 1,
//                                   DTS_next_AU[29..15] 15, marker 1, DTS_next_AU[14..0] 15, marker 1 }
//       reserved ... up to adaptation_field_extension_length
//     }
//     stuffing_byte ... up to adaptation_field_length
//   }
// }
bool ts_reader::read_adaptation_field(const uint8_t* h, ts_packet_info& info) {
    ts_adaptation_field& out = info.adaptation_field;
    out.present = true;
    out.length = h[4];
    const bool with_payload = (info.adaptation_field_control & afc_payload) != 0;
    auto refuse = [&] {
        const uint8_t length = out.length;
        out = ts_adaptation_field{};
        out.present = true;
        out.malformed = true;
        out.length = length;
        return false;
    };
    if (with_payload ? out.length > largest_af_with_payload : out.length != af_without_payload) return refuse();
    if (out.length == 0) return true;

    const uint8_t* p = h + 5;
    const uint8_t* const end = p + out.length;
    const uint8_t flags = *p++;
    out.discontinuity_indicator = (flags & discontinuity_mask) != 0;
    out.random_access_indicator = (flags & random_access_mask) != 0;
    out.es_priority_indicator = (flags & es_priority_mask) != 0;
    auto fits = [&](size_t n) { return static_cast<size_t>(end - p) >= n; };
    if (flags & pcr_flag) {
        if (!fits(6)) return refuse();
        out.pcr = read_clock_reference(p);
        p += 6;
    }
    if (flags & opcr_flag) {
        if (!fits(6)) return refuse();
        out.opcr = read_clock_reference(p);
        p += 6;
    }
    if (flags & splicing_point_flag) {
        if (!fits(1)) return refuse();
        out.splice_countdown = static_cast<int8_t>(*p++);
    }
    if (flags & private_data_flag) {
        if (!fits(1) || !fits(1u + p[0])) return refuse();
        out.private_data_length = p[0];
        p += 1 + p[0];
    }
    if (flags & af_extension_flag) {
        if (!fits(1) || !fits(1u + p[0])) return refuse();
        out.extension_length = p[0];
        const uint8_t* x = p + 1;
        const uint8_t* const x_end = x + p[0];
        p = x_end;
        if (x < x_end) {
            const uint8_t x_flags = *x++;
            auto x_fits = [&](size_t n) { return static_cast<size_t>(x_end - x) >= n; };
            if (x_flags & ltw_flag) {
                if (!x_fits(2)) return refuse();
                out.ltw_valid = (x[0] & ltw_valid_mask) ? 1 : 0;
                out.ltw_offset = ((x[0] & 0x7F) << 8) | x[1];
                x += 2;
            }
            if (x_flags & piecewise_rate_flag) {
                if (!x_fits(3)) return refuse();
                out.piecewise_rate = ((x[0] & 0x3F) << 16) | (x[1] << 8) | x[2];
                x += 3;
            }
            if (x_flags & seamless_splice_flag) {
                if (!x_fits(5)) return refuse();
                out.splice_type = x[0] >> 4;
                out.dts_next_au = (uint64_t(x[0] & 0x0E) << 29) | (uint64_t(x[1]) << 22) |
                                  (uint64_t(x[2] & 0xFE) << 14) | (uint64_t(x[3]) << 7) | (uint64_t(x[4]) >> 1);
            }
        }
    }
    out.stuffing_bytes = static_cast<uint32_t>(end - p);
    return true;
}

// ISO/IEC 13818-1 2.4.3.3: the counter goes up by one with each packet of
// the PID that has payload; a packet without payload leaves it as it is (and
// is not checked here); one duplicate packet may follow its original; a
// discontinuity_indicator lets it jump.
void ts_reader::check_continuity(pid_state& ps, ts_packet_info& info) {
    const uint8_t cc = info.continuity_counter;
    const uint8_t* payload = info.bytes + info.payload_start;
    const size_t size = info.payload_size;
    const bool jump = info.adaptation_field.discontinuity_indicator;
    if (ps.last_cc >= 0 && !jump) {
        if (cc == ps.last_cc && !ps.last_was_duplicate && size == ps.last_payload_size &&
            std::equal(payload, payload + size, ps.last_payload.begin())) {
            info.duplicate = true;
            ps.last_was_duplicate = true;
            return;
        }
        if (cc != ((ps.last_cc + 1) & 0x0F)) info.missing_packets = (cc - ps.last_cc - 1) & 0x0F;
        if (cc == ps.last_cc) info.missing_packets = 15;
    }
    ps.last_cc = cc;
    ps.last_was_duplicate = false;
    ps.last_payload_size = static_cast<uint8_t>(size);
    std::copy(payload, payload + size, ps.last_payload.begin());
}

// ---------------------------------------------------------------------------
// PSI sections (ISO/IEC 13818-1 2.4.4).  A packet with
// payload_unit_start_indicator set begins with pointer_field, the number of
// bytes that end the section in progress before the first new one; sections
// then follow each other until 0xFF stuffing fills the packet.

void ts_reader::psi_payload(pid_state& ps, const ts_packet_info& info, const uint8_t* p, size_t n) {
    if (!info.payload_unit_start_indicator) {
        if (ps.collecting) section_bytes(ps, info, p, n, false);
        return;
    }
    const size_t pointer = p[0];
    if (pointer_field_bytes + pointer > n) {
        error(stream_error_kind::malformed, info.offset, ps.pid,
              "pointer_field " + std::to_string(pointer) + " points past the packet");
        ps.collecting = false;
        ps.section.clear();
        return;
    }
    if (ps.collecting) {
        section_bytes(ps, info, p + pointer_field_bytes, pointer, false);
        if (ps.collecting) {
            error(stream_error_kind::malformed, info.offset, ps.pid,
                  "section cut short by the next section's start (" + std::to_string(ps.section.size()) + " bytes)");
            ps.collecting = false;
            ps.section.clear();
        }
    }
    section_bytes(ps, info, p + pointer_field_bytes + pointer, n - pointer_field_bytes - pointer, true);
}

// Adds bytes to the section in progress; with `may_start`, bytes after a
// finished section may begin a new one.
void ts_reader::section_bytes(pid_state& ps, const ts_packet_info& info, const uint8_t* p, size_t n, bool may_start) {
    while (n > 0) {
        if (!ps.collecting) {
            if (!may_start || p[0] == stuffing_byte) return;
            ps.collecting = true;
            ps.section.clear();
        }
        auto section_total = [&] { return section_header_bytes + (((ps.section[1] & 0x0F) << 8) | ps.section[2]); };
        const size_t need = ps.section.size() < section_header_bytes ? section_header_bytes : section_total();
        const size_t take = std::min(n, need - ps.section.size());
        ps.section.insert(ps.section.end(), p, p + take);
        p += take;
        n -= take;
        if (ps.section.size() < section_header_bytes) return;  // the packet is used up
        const size_t total = section_total();
        if (total > largest_section) {
            error(stream_error_kind::malformed, info.offset, ps.pid,
                  "section_length " + std::to_string(total - section_header_bytes) + " too large");
            ps.collecting = false;
            ps.section.clear();
            return;
        }
        // Each pass takes bytes or finishes a section (one of 3 bytes
        // finishes with its header).
        if (ps.section.size() < total) continue;
        section_done(ps, info);
        if (ps.role != pid_role::pat && ps.role != pid_role::pmt) return;
    }
}

void ts_reader::section_done(pid_state& ps, const ts_packet_info& info) {
    std::vector<uint8_t> s;
    s.swap(ps.section);
    ps.collecting = false;
    psi_section_header h;
    if (!read_section_header(s.data(), s.size(), h)) {
        error(stream_error_kind::malformed, info.offset, ps.pid,
              "section of " + std::to_string(s.size()) + " bytes too short for its header");
        return;
    }
    if (!h.section_syntax_indicator) return;  // no CRC_32 and no table this reader follows
    if (!section_crc_ok(s.data(), s.size())) {
        error(stream_error_kind::section_crc, info.offset, ps.pid,
              "CRC_32 of a section with table_id " + hex(h.table_id) + " does not check");
        return;
    }
    if (!h.current_next_indicator) return;  // not yet applicable
    if (ps.role == pid_role::pat && h.table_id == pat_table_id)
        pat_section(s.data(), s.size(), h, info);
    else if (ps.role == pid_role::pmt && h.table_id == pmt_table_id)
        pmt_section(ps, s.data(), s.size(), info);
}

void ts_reader::pat_section(const uint8_t* s, size_t n, const psi_section_header& h, const ts_packet_info& info) {
    if (h.section_number > h.last_section_number) {
        error(stream_error_kind::malformed, info.offset, pat_pid, "PAT section_number beyond last_section_number");
        return;
    }
    // Sections of another version (or a table cut differently) start the
    // collection again.
    for (const auto& kept : pat_sections_) {
        if (kept.empty()) continue;
        psi_section_header k;
        read_section_header(kept.data(), kept.size(), k);
        if (k.version_number != h.version_number || k.last_section_number != h.last_section_number ||
            k.table_id_extension != h.table_id_extension)
            pat_sections_.clear();
        break;
    }
    pat_sections_.resize(size_t{h.last_section_number} + 1);
    pat_sections_[h.section_number].assign(s, s + n);
    for (const auto& kept : pat_sections_)
        if (kept.empty()) return;
    if (pat_sections_ == pat_in_force_) return;

    ts_pat pat;
    for (const auto& kept : pat_sections_) {
        const char* why = nullptr;
        if (!read_pat_section(kept.data(), kept.size(), pat, why)) {
            error(stream_error_kind::malformed, info.offset, pat_pid, why);
            pat_sections_.clear();
            return;
        }
    }
    pat.offset = info.offset;
    pat_in_force_ = pat_sections_;
    apply_pat(std::move(pat));
    for (size_t i = 0; i < observers_.size(); ++i) observers_[i]->on_pat(*this, *pat_);
}

void ts_reader::pmt_section(pid_state& ps, const uint8_t* s, size_t n, const ts_packet_info& info) {
    psi_section_header h;
    read_section_header(s, n, h);
    const uint16_t program = h.table_id_extension;
    if (!pat_ || std::none_of(pat_->programs.begin(), pat_->programs.end(), [&](const ts_program& p) {
            return p.program_number == program && p.pmt_pid == ps.pid;
        }))
        return;  // a program the PAT does not send here
    if (h.section_number != 0 || h.last_section_number != 0) {
        error(stream_error_kind::malformed, info.offset, ps.pid,
              "PMT of program " + std::to_string(program) + " in more than one section");
        return;
    }
    auto kept = pmt_bytes_.find(program);
    if (kept != pmt_bytes_.end() && kept->second.size() == n && std::equal(s, s + n, kept->second.begin())) return;
    ts_pmt pmt;
    pmt.pid = ps.pid;
    const char* why = nullptr;
    if (!read_pmt_section(s, n, pmt, why)) {
        error(stream_error_kind::malformed, info.offset, ps.pid, why);
        return;
    }
    pmt.offset = info.offset;
    pmt_bytes_[program].assign(s, s + n);
    pmts_[program] = std::move(pmt);
    update_roles();
    for (size_t i = 0; i < observers_.size(); ++i) observers_[i]->on_pmt(*this, pmts_[program]);
}

void ts_reader::apply_pat(ts_pat pat) {
    pat_ = std::move(pat);
    for (auto it = pmts_.begin(); it != pmts_.end();) {
        const bool kept = std::any_of(pat_->programs.begin(), pat_->programs.end(), [&](const ts_program& p) {
            return p.program_number == it->first && p.pmt_pid == it->second.pid;
        });
        if (kept) {
            ++it;
        } else {
            pmt_bytes_.erase(it->first);
            it = pmts_.erase(it);
        }
    }
    update_roles();
}

// Gives every PID the role the tables in force give it: PID 0 the PAT, the
// PAT's program_map_PIDs their PMTs, the PMTs' elementary_PIDs their
// streams (a PID with a PSI role keeps it).  A PID that loses its role
// drops its section or ends its PES packet.
void ts_reader::update_roles() {
    struct wanted {
        pid_role role = pid_role::none;
        uint8_t stream_type = 0;
        uint16_t program_number = 0;
    };
    std::map<uint16_t, wanted> roles;
    roles[pat_pid].role = pid_role::pat;
    if (pat_)
        for (const ts_program& p : pat_->programs)
            if (p.pmt_pid != pat_pid && p.pmt_pid != null_pid) roles[p.pmt_pid].role = pid_role::pmt;
    for (const auto& [program, pmt] : pmts_)
        for (const ts_elementary_stream& es : pmt.streams) {
            if (es.elementary_pid == null_pid) continue;
            wanted& w = roles[es.elementary_pid];
            if (w.role != pid_role::none) continue;
            w = {pid_role::es, es.stream_type, program};
        }

    for (size_t pid = 0; pid < pids_.size(); ++pid) {
        auto it = roles.find(static_cast<uint16_t>(pid));
        const wanted w = it == roles.end() ? wanted{} : it->second;
        if (!pids_[pid] && w.role == pid_role::none) continue;
        pid_state& ps = state(static_cast<uint16_t>(pid));
        const bool carries_pes = w.role == pid_role::es && stream_type_carries_pes(w.stream_type);
        if (ps.role != w.role || (ps.carries_pes && !carries_pes)) {
            ps.collecting = false;
            ps.section.clear();
            end_pes(ps, ts_pes_end_reason::pid_dropped, -1);
        }
        ps.role = w.role;
        ps.stream_type = w.stream_type;
        ps.program_number = w.program_number;
        ps.carries_pes = carries_pes;
    }
}

// ---------------------------------------------------------------------------
// PES packets.  One starts in each packet with payload_unit_start_indicator
// set; its header is collected, read, and the payload handed on as it
// comes.  A bounded packet (PES_packet_length > 0) ends when its bytes are
// all there; an unbounded one at the next start or at finish().

void ts_reader::pes_payload(pid_state& ps, const ts_packet_info& info, const uint8_t* p, size_t n) {
    if (info.payload_unit_start_indicator) {
        if (ps.phase == pes_phase::header)
            error(stream_error_kind::malformed, info.offset, ps.pid,
                  "PES header cut short by the next payload_unit_start (" + std::to_string(ps.header.size()) +
                      " bytes)");
        end_pes(ps, ts_pes_end_reason::next_unit_start, info.offset);
        ps.phase = pes_phase::header;
        ps.header.clear();
        ps.header_need = pes_start_bytes;
        ps.pes = ts_pes{};
        ps.pes.pid = ps.pid;
        ps.pes.stream_type = ps.stream_type;
        ps.pes.program_number = ps.program_number;
        ps.pes.header.starting_offset = info.offset;
        ps.remaining = 0;
    }
    while (n > 0) {
        switch (ps.phase) {
            case pes_phase::idle:
                return;  // the middle of a PES packet whose start was not seen
            case pes_phase::header:
                pes_header_bytes(ps, info, p, n);
                break;
            case pes_phase::payload:
                pes_data(ps, info, p, n);
                return;
            case pes_phase::after_bounded:
                error(stream_error_kind::malformed, info.offset, ps.pid,
                      std::to_string(n) + " bytes after the end of a PES packet, before the next start");
                ps.phase = pes_phase::idle;
                return;
        }
    }
}

void ts_reader::pes_header_bytes(pid_state& ps, const ts_packet_info& info, const uint8_t*& p, size_t& n) {
    if (ps.last_counted_packet != info.offset) {
        ps.last_counted_packet = info.offset;
        ++ps.pes.ts_packets;
    }
    while (n > 0) {
        const size_t take = std::min(n, ps.header_need - ps.header.size());
        ps.header.insert(ps.header.end(), p, p + take);
        p += take;
        n -= take;
        ps.data_end = info.offset + (p - info.bytes);
        if (ps.header.size() < ps.header_need) return;

        ps.pes.extra = pes_header_extra{};
        size_t header_bytes = 0;
        switch (parse_pes_header(ps.header.data(), ps.header.size(), ps.pes.header, header_bytes, ps.pes.extra)) {
            case pes_header_result::need_more:
                ps.header_need = header_bytes;
                continue;
            case pes_header_result::invalid: {
                const std::vector<uint8_t>& b = ps.header;
                const bool unknown_id = b.size() >= 4 && b[0] == 0 && b[1] == 0 && b[2] == 1 &&
                                        (b[3] < 0xBC || !pes_stream_name(b[3], nullptr));
                error(unknown_id ? stream_error_kind::unknown_stream_id : stream_error_kind::malformed,
                      ps.pes.header.starting_offset, ps.pid,
                      std::string("PES header refused: ") + (ps.pes.extra.fault ? ps.pes.extra.fault : "invalid"));
                ps.phase = pes_phase::idle;
                n = 0;
                return;
            }
            case pes_header_result::complete:
                break;
        }
        ps.pes.header_bytes = header_bytes;
        const int32_t length = ps.pes.header.length;
        if (length > 0) {
            if (static_cast<size_t>(length) + pes_start_bytes < header_bytes) {
                error(stream_error_kind::malformed, ps.pes.header.starting_offset, ps.pid,
                      "PES_packet_length " + std::to_string(length) + " shorter than the PES header");
                ps.phase = pes_phase::idle;
                n = 0;
                return;
            }
            ps.remaining = static_cast<size_t>(length) + pes_start_bytes - header_bytes;
        }
        if (ps.pes.extra.marker_errors > 0)
            error(stream_error_kind::marker_bit, ps.pes.header.starting_offset, ps.pid,
                  std::to_string(ps.pes.extra.marker_errors) + " marker or prefix bits wrong in the PES header");
        ps.phase = pes_phase::payload;
        for (size_t i = 0; i < observers_.size(); ++i) observers_[i]->on_pes_begin(*this, ps.pes);
        if (length > 0 && ps.remaining == 0) {
            end_pes(ps, ts_pes_end_reason::length_reached, info.offset);
            ps.phase = pes_phase::after_bounded;
        }
        return;
    }
}

void ts_reader::pes_data(pid_state& ps, const ts_packet_info& info, const uint8_t* p, size_t n) {
    const bool bounded = ps.pes.header.length > 0;
    const size_t take = bounded ? static_cast<size_t>(std::min<uint64_t>(n, ps.remaining)) : n;
    if (ps.last_counted_packet != info.offset) {
        ps.last_counted_packet = info.offset;
        ++ps.pes.ts_packets;
    }
    if (take > 0) {
        ps.pes.payload_bytes += take;
        ps.data_end = info.offset + (p + take - info.bytes);
        for (size_t i = 0; i < observers_.size(); ++i) observers_[i]->on_pes_payload(*this, ps.pes, p, take);
    }
    if (!bounded) return;
    ps.remaining -= take;
    if (ps.remaining > 0) return;
    end_pes(ps, ts_pes_end_reason::length_reached, info.offset);
    ps.phase = pes_phase::after_bounded;
    if (n > take) {
        error(stream_error_kind::malformed, info.offset, ps.pid,
              std::to_string(n - take) + " bytes after the end of a PES packet, before the next start");
        ps.phase = pes_phase::idle;
    }
}

// Ends the PES packet in progress, if there is one (a header not read yet
// is dropped without a word: no on_pes_begin went out for it).
void ts_reader::end_pes(pid_state& ps, ts_pes_end_reason reason, int64_t offset) {
    const pes_phase phase = ps.phase;
    ps.phase = pes_phase::idle;
    ps.header.clear();
    if (phase != pes_phase::payload) return;
    const bool bounded = ps.pes.header.length > 0;
    ts_pes& pes = ps.pes;
    pes.end_reason = reason;
    pes.header.ends_at = ps.data_end;
    switch (reason) {
        case ts_pes_end_reason::length_reached:
            pes.complete = true;
            break;
        case ts_pes_end_reason::next_unit_start:
        case ts_pes_end_reason::end_of_input:
            pes.complete = !bounded;
            if (bounded)
                error(stream_error_kind::malformed, offset, ps.pid,
                      "PES packet at " + hex(pes.header.starting_offset) + " ends after " +
                          std::to_string(static_cast<uint64_t>(pes.header.length) + pes_start_bytes - pes.header_bytes -
                                         ps.remaining) +
                          " of its " +
                          std::to_string(static_cast<uint64_t>(pes.header.length) + pes_start_bytes - pes.header_bytes) +
                          " payload bytes");
            break;
        default:
            pes.complete = false;
            break;
    }
    for (size_t i = 0; i < observers_.size(); ++i) observers_[i]->on_pes_end(*this, pes);
}

// A packet of this PID was lost or cannot be used: the section or PES
// packet in progress is dropped (a PES packet is ended as broken), and the
// PID waits for the next start.
void ts_reader::break_pid(pid_state& ps, ts_pes_end_reason reason, int64_t offset) {
    ps.collecting = false;
    ps.section.clear();
    end_pes(ps, reason, offset);
}
