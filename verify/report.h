// What psverify keeps of one file's check, for its text and JSON reports.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "buffer/buffer_event.h"
#include "stream_format.h"
#include "ts/tstd_replay.h"

// What is kept of one stream's events: the first max_events of them and
// how many there were.
struct stream_events_struct {
    std::vector<buffer_event_struct> shown;
    int64_t total = 0;
};

struct file_report_struct {
    std::string file;
    std::string error;  // empty when the file was checked
    int64_t packs = 0;
    int64_t unknown_stream_ids = 0;
    int64_t marker_errors = 0;
    std::map<std::string, stream_events_struct> events;  // by stream label
    bool conformant = true;
    // A transport stream: its replay (report and tables), the packet size
    // and the stream errors by kind.
    std::unique_ptr<tstd_replay> ts;
    stream_format format = stream_format::unknown;
    std::map<std::string, int64_t> ts_errors;
};


// All events kept, in time order.
std::vector<buffer_event_struct> events_in_time_order(const file_report_struct& report);
// Events of the stream `label` that were counted but not kept.
int64_t events_not_shown(const file_report_struct& report, const std::string& label);
// One event as a JSON object; `with_buffer` names the buffer it happened
// in (transport streams, whose streams have several).
void print_json_event(FILE* out, const buffer_event_struct& e, bool with_buffer);

// Keeps an event of the file being checked (the first --max-events of each
// stream and the count of all).
void keep_event(const buffer_event_struct& event, void*);

// A transport stream: `fp` after the `head_n` bytes in `head`.  Fills
// report.ts, report.ts_errors and the verdict, or report.error when the
// stream cannot be checked.
void check_transport_stream(FILE* fp, const uint8_t* head, size_t head_n, stream_format format,
                            const tstd_settings& settings, file_report_struct& report,
                            void (*progress)(int64_t position, void* ctx));
void print_ts_text(FILE* out, const file_report_struct& report);
void print_ts_json(FILE* out, const file_report_struct& report);
