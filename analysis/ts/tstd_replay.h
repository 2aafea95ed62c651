// The transport-stream system target decoder (ISO/IEC 13818-1 2.4.2),
// replayed over a whole stream while it is read.
//
// Per elementary-stream PID of the programs in the PMTs:
//   video (MPEG-1/2, H.264):  TBn -> MBn -> EBn
//   audio (MPEG, AAC, AC-3):  TBn -> Bn
// and for the system information (PAT, CAT, PMTs, NIT): TBsys -> Bsys.
//
// - Whole transport packets enter TBn at the rate their program's PCRs give
//   (pcr_clock.h); TBn leaks at Rxn while it holds any byte.  Headers and
//   adaptation fields leave the model at TBn's output; PES data goes on.
// - MBn takes the PES data of a video stream and passes its elementary-
//   stream bytes on to EBn at Rbxn whenever EBn is not full (the leak
//   method; 2.4.2.3 and 2.14.3.1).  PES header bytes leave MBn as they
//   enter it.  A byte can only enter a full EBn when the access unit holding
//   the byte EBn's size before it has been decoded, so EBn never overflows:
//   data that comes too early piles up in MBn instead.
// - Bn and EBn give each access unit up whole at its decoding time (DTS, or
//   PTS without one); an access unit not whole by then underflows.
// - Bsys takes TBsys's payload bytes and leaks at Rbxsys.
//
// Events (buffer/buffer_event.h, stream_id = PID, or tstd_system_id): one
// per overflow episode of any buffer, one per late access unit, one per
// stretch of more than a second during which TBn never emptied, and one per
// access unit that stays in the decoder (from its first byte's arrival in
// TBn to its decoding time) longer than 1 s, 10 s for H.264 (2.4.2.3,
// 2.14.3.1).
//
// Memory stays flat: a second reader runs up to 4 MiB ahead over the same
// bytes for the PCRs, and each PID keeps at most a few thousand packets
// while it waits for the header that sizes its buffers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "buffer/buffer_event.h"
#include "es/es_kind.h"
#include "ts/tstd_params.h"
#include "ts_reader.h"

// stream_id of the system buffers' events.
inline constexpr uint32_t tstd_system_id = 0x2000;

struct tstd_settings {
    // AC-3 main buffer of DVB (5,696 bytes) instead of ATSC's (2,592).
    bool dvb_ac3 = false;
};

// One buffer of a stream's decoder as the report shows it.
struct tstd_buffer_summary {
    int32_t stage = stage_tb;
    int64_t size = 0;  // bytes
    int64_t largest = 0;
    int64_t overflow_episodes = 0;
};

// Why a stream has no verdict of its own.
enum class tstd_status {
    modelled,      // replayed through its buffers
    not_modelled,  // a coding the model does not know (HEVC, E-AC-3, subtitles, private data, ...)
    no_pcr,        // its program carries no PCR (or fewer than two): no arrival times
    no_stamps,     // no time stamp of the stream was met
    no_data,       // no packet of it was read
};
const char* tstd_status_name(tstd_status status);

struct tstd_stream_result {
    uint16_t pid = 0;
    uint8_t stream_type = 0;
    uint16_t program_number = 0;
    uint16_t pcr_pid = 0;
    es_kind kind = es_kind::other;
    tstd_status status = tstd_status::no_data;
    // Where the buffer sizes came from: "sequence header", "SPS (NAL HRD)",
    // "SPS (level)", "ADTS header", "stream type", or "assumed" when the
    // header was not found in time.
    const char* params_from = "";
    tstd_buffer_params params;
    int64_t ts_packets = 0;
    int64_t untimed_packets = 0;  // before the first PCR could give them a time; not replayed
    int64_t access_units = 0;
    int64_t underflow_units = 0;
    int64_t tb_not_empty = 0;  // stretches of more than a second
    int64_t long_stays = 0;    // access units in the decoder beyond the limit
    // TB, then MB and EB (video) or B (audio).
    std::vector<tstd_buffer_summary> buffers;
    int64_t overflow_episodes() const {
        int64_t n = 0;
        for (const tstd_buffer_summary& b : buffers) n += b.overflow_episodes;
        return n;
    }
    bool violations() const {
        return status == tstd_status::modelled &&
               (underflow_units > 0 || overflow_episodes() > 0 || tb_not_empty > 0 || long_stays > 0);
    }
};

struct tstd_system_result {
    int64_t ts_packets = 0;
    int64_t tb_not_empty = 0;
    std::vector<tstd_buffer_summary> buffers;  // TBsys, Bsys
    bool timed = false;
    bool violations() const {
        int64_t n = tb_not_empty;
        for (const tstd_buffer_summary& b : buffers) n += b.overflow_episodes;
        return n > 0;
    }
};

struct tstd_report {
    int64_t ts_packets = 0;
    int64_t pcr_pids = 0;   // PIDs that carried a PCR
    std::vector<tstd_stream_result> streams;  // by PID
    tstd_system_result system;
};

class tstd_replay {
public:
    // Events go to `hook` as they are found (ordered by time per buffer).
    tstd_replay(const tstd_settings& settings, buffer_event_fn hook, void* ctx);
    ~tstd_replay();
    tstd_replay(const tstd_replay&) = delete;
    tstd_replay& operator=(const tstd_replay&) = delete;

    // Reads the stream: `head` (bytes already read from `fp`), then the rest
    // of `fp`.  `extra` (optional) observes the driving reader as well, for
    // the stream errors.  `progress` is called now and then with the bytes
    // read so far.  False on a read error.
    bool run(FILE* fp, const uint8_t* head, size_t head_n, stream_format format, ts_observer* extra,
             void (*progress)(int64_t position, void* ctx) = nullptr, void* progress_ctx = nullptr);

    // Once run() has returned.
    const tstd_report& report() const { return report_; }

private:
    struct impl;
    std::unique_ptr<impl> impl_;
    tstd_report report_;
};
