// The arrival clock of a transport stream's T-STD (ISO/IEC 13818-1
// 2.4.2.2): each program's PCRs give the time at which the byte holding the
// last bit of program_clock_reference_base arrives, and the bytes between
// two PCRs of the program arrive at the steady rate the two imply:
//
//   t(i) = PCR(i'') / 27 MHz + (i - i'') / transport_rate(i)
//   transport_rate(i) = (i' - i'') * 27 MHz / (PCR(i') - PCR(i''))
//
// with i'' and i' the bytes of the PCRs before and after byte i.  Bytes are
// counted as transport-packet bytes from the sync byte (packet index x 188
// + byte), so the TP_extra_header of 192-byte packets and bytes skipped
// while out of sync take no time.
//
// One `pcr_timeline` per PCR PID, filled by a reader that runs ahead of the
// one that drives the buffers (see tstd_replay.h), and read in increasing
// byte order.  Times are ticks (27 MHz) from the PID's first PCR; the PCR is
// unwrapped across its 2^33 x 300 period.  Where the time base is broken -
// discontinuity_indicator set, a PCR going backwards or jumping more than
// ten seconds - the clock runs on at the last steady rate and the new PCRs
// count from there; time stamps are brought onto the same clock
// (stamp_ticks), in the old time base or the new one, whichever puts them
// nearer to their arrival.
// Before the first PCR and after the last one the nearest rate is carried
// on.
#pragma once

#include <cstdint>
#include <cstddef>
#include <deque>

inline constexpr int64_t ts_packet_size = 188;
// Byte of a transport packet (from its sync byte) that holds the last bit
// of program_clock_reference_base.
inline constexpr int64_t pcr_byte_in_packet = 10;
// One period of the PCR: 2^33 x 300 ticks.
inline constexpr int64_t pcr_period_ticks = (int64_t{1} << 33) * 300;

class pcr_timeline {
public:
    // A PCR at transport byte `position`, as carried (27 MHz units, before
    // unwrapping); `discontinuity`: its packet has discontinuity_indicator set.
    void add(int64_t position, int64_t pcr_27mhz, bool discontinuity);
    // Whether two PCRs give a rate: without that the program cannot be timed.
    bool timed() const { return pcrs_ >= 2; }
    int64_t pcr_count() const { return pcrs_; }

    // The arrival time of transport byte `position`; positions asked for
    // must not decrease (earlier PCRs are forgotten).
    int64_t time_at(int64_t position);
    // A 33-bit 90 kHz time stamp read near transport byte `position` (asked
    // for after time_at of the same position) on the clock: the stamp's
    // period is the one nearest to the PCR's there.
    int64_t stamp_ticks(uint64_t stamp_90khz) const;
    // The transport rate in bit/s at the last position asked for; 0 when unknown.
    int64_t transport_rate_bps() const;

private:
    struct point {
        int64_t position;
        int64_t raw;    // the PCR, unwrapped
        int64_t ticks;  // on the clock
        bool broken;    // the time base broke between the point before and this one
    };
    std::deque<point> points_;
    int64_t pcrs_ = 0;
    int64_t last_raw_ = 0, last_ticks_ = 0, last_position_ = 0;
    double last_rate_ = 0;  // ticks per byte of the last steady interval added
    // Where the clock was last read.
    double rate_now_ = 0;   // ticks per byte there
    int64_t offset_now_ = 0;  // ticks - raw there
    int64_t raw_now_ = 0;
    int64_t ticks_now_ = 0;
    bool have_offset_ = false;
    // The offset of the time base before the last break, for stamps of it
    // that come after the break.
    int64_t old_offset_ = 0;
    bool have_old_offset_ = false;
};
