// The buffers' verdict in one line: "Buffers: conformant", or the counts of
// underflowing units and overflow episodes, then the streams not modelled.
#pragma once

#include <cstdint>
#include <string>

class buffer_verdict {
public:
    // A modelled stream and its counts.
    void add_modelled(int64_t underflow_units, int64_t overflow_episodes);
    // A stream the model cannot replay: its label ("0xbd/0xa0") and kind.
    void add_not_modelled(const std::string& label, const char* kind);
    std::string text() const;

private:
    int64_t underflows_ = 0, episodes_ = 0;
    int modelled_ = 0;
    std::string not_modelled_;
};
