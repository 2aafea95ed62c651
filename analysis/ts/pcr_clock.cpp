#include "ts/pcr_clock.h"

#include <cmath>

#include "ticks.h"

namespace {

// A jump of the PCR larger than this, without discontinuity_indicator, is
// taken as a broken time base rather than as a pause of the stream.
constexpr int64_t largest_pcr_step = 10 * ticks_per_second;
// The rate assumed when a broken time base comes before any steady interval:
// 10 Mbit/s.
constexpr double fallback_ticks_per_byte = 8.0 * ticks_per_second / 10e6;

}  // namespace

void pcr_timeline::add(int64_t position, int64_t pcr, bool discontinuity) {
    point p{position, pcr, 0, false};
    if (pcrs_ > 0) {
        // Unwrap: the 42-bit PCR (base and extension) starts again at 0.
        const int64_t wraps = last_raw_ >= 0 ? last_raw_ / pcr_period_ticks : 0;
        p.raw = pcr + wraps * pcr_period_ticks;
        if (p.raw < last_raw_ - pcr_period_ticks / 2) p.raw += pcr_period_ticks;
        const int64_t bytes = position - last_position_;
        p.broken = discontinuity || bytes <= 0 || p.raw < last_raw_ || p.raw - last_raw_ > largest_pcr_step;
        if (!p.broken) {
            p.ticks = last_ticks_ + (p.raw - last_raw_);
            last_rate_ = static_cast<double>(p.raw - last_raw_) / static_cast<double>(bytes);
        } else {
            const double rate = last_rate_ > 0 ? last_rate_ : fallback_ticks_per_byte;
            p.ticks = last_ticks_ + std::llround(static_cast<double>(bytes > 0 ? bytes : 0) * rate);
        }
    }
    ++pcrs_;
    last_raw_ = p.raw;
    last_ticks_ = p.ticks;
    last_position_ = position;
    points_.push_back(p);
}

int64_t pcr_timeline::time_at(int64_t position) {
    if (points_.empty()) return 0;
    while (points_.size() >= 2 && points_[1].position <= position) {
        // Keep the rate of the interval being left for any extrapolation.
        if (!points_[1].broken)
            rate_now_ = static_cast<double>(points_[1].ticks - points_[0].ticks) /
                        static_cast<double>(points_[1].position - points_[0].position);
        points_.pop_front();
    }
    const point& p = points_[0];
    const bool steady_next = points_.size() >= 2 && !points_[1].broken;
    if (steady_next)
        rate_now_ = static_cast<double>(points_[1].ticks - p.ticks) / static_cast<double>(points_[1].position - p.position);
    else if (rate_now_ <= 0)
        rate_now_ = last_rate_ > 0 ? last_rate_ : fallback_ticks_per_byte;
    if (p.ticks - p.raw != offset_now_) {
        // A new time base: stamps of the old one may still come for a while.
        if (have_offset_) {
            old_offset_ = offset_now_;
            have_old_offset_ = true;
        }
        offset_now_ = p.ticks - p.raw;
    }
    have_offset_ = true;
    const int64_t d = std::llround(static_cast<double>(position - p.position) * rate_now_);
    raw_now_ = p.raw + d;
    ticks_now_ = p.ticks + d;
    return ticks_now_;
}

namespace {

// The stamp's value (27 MHz) in the period nearest to `raw`, on the clock.
int64_t stamp_on_clock(int64_t s, int64_t raw, int64_t offset) {
    const double periods = std::round(static_cast<double>(raw - s) / static_cast<double>(pcr_period_ticks));
    return s + static_cast<int64_t>(periods) * pcr_period_ticks + offset;
}

}  // namespace

int64_t pcr_timeline::stamp_ticks(uint64_t stamp_90khz) const {
    const int64_t s = static_cast<int64_t>(stamp_90khz & ((uint64_t{1} << 33) - 1)) * 300;
    const int64_t now_base = stamp_on_clock(s, raw_now_, offset_now_);
    if (!have_old_offset_) return now_base;
    // After a broken time base, data stamped in the old one is still on its
    // way (13818-1 2.4.3.5, discontinuity_indicator): the stamp is read in
    // whichever base puts it nearer to a decoder's usual wait, half a second
    // after its arrival.
    const int64_t old_base = stamp_on_clock(s, ticks_now_ - old_offset_, old_offset_);
    const int64_t aim = ticks_now_ + ticks_per_second / 2;
    auto distance = [&](int64_t t) { return t > aim ? t - aim : aim - t; };
    return distance(old_base) < distance(now_base) ? old_base : now_base;
}

int64_t pcr_timeline::transport_rate_bps() const {
    return rate_now_ > 0 ? std::llround(8.0 * ticks_per_second / rate_now_) : 0;
}
