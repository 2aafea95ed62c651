#include "buffer/verdict.h"

#include <cinttypes>
#include <cstdio>

void buffer_verdict::add_modelled(int64_t underflow_units, int64_t overflow_episodes) {
    ++modelled_;
    underflows_ += underflow_units;
    episodes_ += overflow_episodes;
}

void buffer_verdict::add_not_modelled(const std::string& label, const char* kind) {
    not_modelled_ += not_modelled_.empty() ? "; not modelled: " : ", ";
    not_modelled_ += label + " (" + kind + ")";
}

std::string buffer_verdict::text() const {
    std::string verdict = "Buffers: ";
    if (modelled_ == 0) {
        verdict += "no stream modelled";
    } else if (underflows_ == 0 && episodes_ == 0) {
        verdict += "conformant";
    } else {
        char text[128];
        std::snprintf(text, sizeof text, "%" PRId64 " underflowing unit%s, %" PRId64 " overflow episode%s", underflows_,
                      underflows_ == 1 ? "" : "s", episodes_, episodes_ == 1 ? "" : "s");
        verdict += text;
    }
    return verdict + not_modelled_;
}
