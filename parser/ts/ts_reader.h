// Transport-stream reader (ISO/IEC 13818-1 2.4.3): takes a stream in chunks
// of any size and tells its observers of every transport packet, clock
// reference, program table and PES packet, and of every fault it finds.
//
// Each reader holds all of its state; readers in one process are
// independent.  Memory stays flat whatever the input: per PID the reader
// keeps at most one PES header, one PSI section (up to 4096 bytes) and the
// last packet's payload (to recognise a duplicate); PES payload goes to the
// observers as the transport packets bring it.
//
// How faults and tables are handled:
// - Sync: a packet starts where 3 sync bytes stand in a row at the packet
//   period (at the end of the input 2 will do, or 1 whole packet at offset
//   0).  A missing sync byte where a packet should start loses sync; one
//   sync_loss error tells where it was lost and where it came back.
// - continuity_counter: checked per PID on packets with payload, except
//   null packets, packets with transport_error_indicator set and packets
//   whose discontinuity_indicator is set.  Packets without payload are not
//   checked.  A packet that repeats the previous one of its PID (same
//   counter, same payload) once is a duplicate: flagged, payload not used
//   again.  A gap, or a counter repeated otherwise, is a continuity error.
// - transport_error_indicator: an error for every such packet; nothing in
//   it is used.  Scrambled packets (transport_scrambling_control not 0,
//   with payload): one error at the first of each run on a PID; their
//   payload is never used.  Either ends the PES packet in progress on the
//   PID as broken and drops its section in progress; so does a continuity
//   gap or a malformed adaptation field in a packet with payload.
// - Tables: PAT and PMTs (with current_next_indicator 1 and a good CRC_32)
//   are told when first complete and whenever their bytes change: a new
//   version, or other contents under the same version.  Repetitions are not
//   told.  A PAT of several sections is told once all of one version are in.
// - PES packets are reassembled only on PIDs that a PMT of the PAT in force
//   lists with a stream_type that carries PES packets; reassembly starts at
//   the first payload_unit_start after that PMT.  Earlier payload (even one
//   that begins 00 00 01) is ignored.
// - A bounded PES packet ends when its PES_packet_length is reached; bytes
//   that follow before the next payload_unit_start are a malformed error and
//   are dropped.  One cut short by the next start or the end of the input
//   is ended with complete = false and a malformed error.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "model.h"
#include "pes_header.h"
#include "psi.h"
#include "stream_error.h"
#include "stream_format.h"

inline constexpr uint16_t null_pid = 0x1FFF;
inline constexpr uint16_t pat_pid = 0x0000;

// A program clock reference (PCR or OPCR).
struct ts_clock_reference {
    uint64_t base = 0;       // 33 bits, 90 kHz
    uint16_t extension = 0;  // 9 bits, 0..299 in a sound stream
    // The clock in 27 MHz units: base * 300 + extension.
    uint64_t value_27mhz() const { return base * 300 + extension; }
};

// The adaptation field of a transport packet (ISO/IEC 13818-1 2.4.3.4).
// When `malformed` is set none of the fields past `length` can be trusted
// and they keep their initial values.
struct ts_adaptation_field {
    bool present = false;    // adaptation_field_control 2 or 3
    bool malformed = false;  // a length inside it does not fit; the packet's payload is not used
    uint8_t length = 0;      // adaptation_field_length
    bool discontinuity_indicator = false;
    bool random_access_indicator = false;
    bool es_priority_indicator = false;  // elementary_stream_priority_indicator
    std::optional<ts_clock_reference> pcr;
    std::optional<ts_clock_reference> opcr;
    std::optional<int8_t> splice_countdown;  // two's complement, as carried
    int32_t private_data_length = -1;        // transport_private_data_length, -1 when absent
    int32_t extension_length = -1;           // adaptation_field_extension_length, -1 when absent
    // Fields of the adaptation field extension, -1 (absent_ts) when absent.
    int32_t ltw_valid = -1;
    int32_t ltw_offset = -1;
    int32_t piecewise_rate = -1;
    int32_t splice_type = -1;
    uint64_t dts_next_au = absent_ts;
    uint32_t stuffing_bytes = 0;  // bytes after the last field, up to adaptation_field_length
};

// One transport packet as read.
struct ts_packet_info {
    int64_t offset = -1;       // first byte of the packet in the input (the TP_extra_header for 192-byte packets)
    int64_t sync_offset = -1;  // the sync byte 0x47
    // 192-byte packets only: the TP_extra_header's copy_permission_indicator
    // (2 bits) and arrival_time_stamp (30 bits); -1 for 188-byte packets.
    int32_t copy_permission_indicator = -1;
    int64_t arrival_time_stamp = -1;
    uint16_t pid = 0;
    bool transport_error_indicator = false;
    bool payload_unit_start_indicator = false;
    bool transport_priority = false;
    uint8_t scrambling_control = 0;        // transport_scrambling_control, 0 = not scrambled
    uint8_t adaptation_field_control = 0;  // 1 payload only, 2 adaptation field only, 3 both, 0 reserved
    uint8_t continuity_counter = 0;
    // Not filled for a packet with transport_error_indicator set, whose
    // header may be wrong.
    ts_adaptation_field adaptation_field;
    // Payload place within `bytes` and size; size 0 when there is none.
    uint8_t payload_start = 0;
    uint8_t payload_size = 0;
    // The packet repeats the previous packet of its PID (same
    // continuity_counter and payload): its payload is not used again.
    bool duplicate = false;
    // Packets missing before this one on its PID by the continuity_counter
    // (0..15); 0 when nothing is missing or the check does not apply.
    uint8_t missing_packets = 0;
    const uint8_t* bytes = nullptr;  // the whole packet (188 or 192 bytes), valid during the call only
};

// Why a PES packet ended.
enum class ts_pes_end_reason {
    length_reached,   // all PES_packet_length bytes were delivered (complete)
    next_unit_start,  // the next payload_unit_start on its PID: complete when unbounded, cut short when bounded
    end_of_input,     // finish(): complete when unbounded, cut short when bounded
    continuity,       // packets of its PID are missing (continuity_counter)
    transport_error,  // a packet of its PID had transport_error_indicator set
    scrambled,        // a packet of its PID is scrambled
    malformed_packet, // a packet of its PID had a malformed adaptation field: its payload is lost
    pid_dropped,      // the PID is no longer an elementary stream of any program in the tables
};

const char* ts_pes_end_reason_name(ts_pes_end_reason reason);

// A PES packet being reassembled.  The same record is handed to
// on_pes_begin, every on_pes_payload and on_pes_end, with the counts
// growing.
struct ts_pes {
    uint16_t pid = 0;
    uint8_t stream_type = 0;      // from the PMT that lists the PID
    uint16_t program_number = 0;  // the first program whose PMT lists the PID
    // The header, with the fields the program-stream reader fills:
    // `starting_offset` is the offset of the first transport packet that
    // carries the PES packet; `length` is PES_packet_length (0: unbounded);
    // `ends_at` is -1 until on_pes_end, which gives the offset just past
    // the last byte of the PES packet that was delivered.
    packet_struct header;
    pes_header_extra extra;    // header fields packet_struct has no place for
    size_t header_bytes = 0;   // size of the header (see parse_pes_header)
    uint32_t ts_packets = 0;   // transport packets that carried its bytes so far
    uint64_t payload_bytes = 0;  // payload bytes delivered so far
    // Set for on_pes_end: whether the PES packet is whole (a bounded one got
    // PES_packet_length bytes; an unbounded one ran to the next
    // payload_unit_start or the end of the input), and why it ended.
    bool complete = false;
    ts_pes_end_reason end_reason = ts_pes_end_reason::length_reached;
};

// A loss of sync and where sync came back.
struct ts_sync_loss {
    int64_t lost_at = -1;      // where a sync byte was expected and not found (0: junk at the start)
    int64_t regained_at = -1;  // first packet in sync again, -1 when the input ended first
    int64_t skipped_bytes = 0; // bytes thrown away in between
};

class ts_reader;

// Observers: every method does nothing unless overridden.  The reader
// passed in is the one calling, so an observer can serve several readers
// and ask the reader for its tables.  Pointers into the stream are valid
// during the call only.  An observer must not call feed() or finish() of
// the reader that calls it.
struct ts_observer {
    virtual ~ts_observer() = default;
    // Every packet taken in sync, before anything else is said about it.
    virtual void on_packet(const ts_reader&, const ts_packet_info&) {}
    // A packet whose adaptation field carries a PCR (any PID).
    virtual void on_pcr(const ts_reader&, const ts_packet_info&, const ts_clock_reference&) {}
    // A program association table, when first complete and whenever its
    // contents change (a new version, or new contents under the same one).
    virtual void on_pat(const ts_reader&, const ts_pat&) {}
    // A program map table, under the same rule, for each program of the PAT.
    virtual void on_pmt(const ts_reader&, const ts_pmt&) {}
    // A PES header has been read; payload follows.
    virtual void on_pes_begin(const ts_reader&, const ts_pes&) {}
    // Payload bytes of the PES packet, in order, as they arrive.
    virtual void on_pes_payload(const ts_reader&, const ts_pes&, const uint8_t*, size_t) {}
    // The PES packet is over (see ts_pes::complete and end_reason).
    virtual void on_pes_end(const ts_reader&, const ts_pes&) {}
    // Sync was lost; told when it is regained or the input ends.  An
    // on_error of kind sync_loss goes with it.
    virtual void on_sync_loss(const ts_reader&, const ts_sync_loss&) {}
    // A fault in the stream.  `offset` is the packet it was found in.
    virtual void on_error(const ts_reader&, const stream_error&) {}
};

class ts_reader {
public:
    // `format` is transport_188 or transport_192 (see detect_stream_format);
    // any other value reads 188-byte packets.
    explicit ts_reader(stream_format format = stream_format::transport_188);
    ~ts_reader();
    ts_reader(const ts_reader&) = delete;
    ts_reader& operator=(const ts_reader&) = delete;

    // Observers are told in the order they were added; each must outlive
    // the reader or be removed first.
    void add_observer(ts_observer& observer);
    void remove_observer(ts_observer& observer);

    // The next `n` bytes of the stream.  Chunking makes no difference.
    void feed(const uint8_t* data, size_t n);
    // The end of the stream: reports a packet cut short and a sync loss not
    // regained, and ends the PES packets in progress.  Later calls to
    // feed() and finish() do nothing.
    void finish();

    // Reads no further than the adaptation field: packets and PCRs are told;
    // continuity, tables and PES packets are not followed (so a duplicate
    // packet is not marked as one, and its PCR is told again).  For a reader
    // that only gathers the clock ahead of another.
    void set_clock_scan_only(bool on) { clock_scan_only_ = on; }

    stream_format format() const { return format_; }
    size_t packet_size() const { return packet_size_; }
    int64_t bytes_fed() const { return bytes_fed_; }
    uint64_t packets_read() const { return packets_read_; }
    // The tables in force: nullptr before the first PAT, and for programs
    // whose PMT has not come yet.
    const ts_pat* pat() const { return pat_ ? &*pat_ : nullptr; }
    const ts_pmt* pmt(uint16_t program_number) const;
    // stream_type of an elementary-stream PID of the tables in force, -1 for
    // any other PID.
    int stream_type(uint16_t pid) const;

private:
    struct pid_state;

    // Input and sync.
    void process(bool at_end);
    bool find_sync(bool at_end);
    void read_packet(const uint8_t* p, int64_t offset);
    bool read_adaptation_field(const uint8_t* h, ts_packet_info& info);
    void check_continuity(pid_state& ps, ts_packet_info& info);

    // PSI.
    void psi_payload(pid_state& ps, const ts_packet_info& info, const uint8_t* p, size_t n);
    void section_bytes(pid_state& ps, const ts_packet_info& info, const uint8_t* p, size_t n, bool may_start);
    void section_done(pid_state& ps, const ts_packet_info& info);
    void pat_section(const uint8_t* s, size_t n, const psi_section_header& h, const ts_packet_info& info);
    void pmt_section(pid_state& ps, const uint8_t* s, size_t n, const ts_packet_info& info);
    void apply_pat(ts_pat pat);
    void update_roles();

    // PES.
    void pes_payload(pid_state& ps, const ts_packet_info& info, const uint8_t* p, size_t n);
    void pes_header_bytes(pid_state& ps, const ts_packet_info& info, const uint8_t*& p, size_t& n);
    void pes_data(pid_state& ps, const ts_packet_info& info, const uint8_t* p, size_t n);
    void end_pes(pid_state& ps, ts_pes_end_reason reason, int64_t offset);
    void break_pid(pid_state& ps, ts_pes_end_reason reason, int64_t offset);

    pid_state& state(uint16_t pid);
    void error(stream_error_kind kind, int64_t offset, int32_t pid, std::string message);

    stream_format format_;
    size_t packet_size_;
    size_t sync_at_;  // place of the sync byte within a packet
    std::vector<ts_observer*> observers_;
    bool busy_ = false;
    bool finished_ = false;
    bool clock_scan_only_ = false;

    std::vector<uint8_t> buf_;  // bytes held back from one feed() to the next
    // The bytes being read: buf_, or the caller's own when nothing was held
    // back.
    const uint8_t* in_ = nullptr;
    size_t in_size_ = 0;
    size_t pos_ = 0;            // next byte of in_ to look at
    int64_t buf_offset_ = 0;    // input offset of buf_[0]
    int64_t bytes_fed_ = 0;
    uint64_t packets_read_ = 0;
    bool in_sync_ = false;
    int64_t lost_at_ = 0;

    std::array<std::unique_ptr<pid_state>, 8192> pids_;
    std::optional<ts_pat> pat_;
    std::vector<std::vector<uint8_t>> pat_sections_;     // sections of the PAT being collected
    std::vector<std::vector<uint8_t>> pat_in_force_;     // sections of the PAT in force
    std::map<uint16_t, ts_pmt> pmts_;                    // by program_number
    std::map<uint16_t, std::vector<uint8_t>> pmt_bytes_; // section of each PMT in force
};
