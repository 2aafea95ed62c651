// psverify's command line: the options, the usage and help texts and the
// version.  Kept apart from the replay and the reports.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Events shown per stream unless --max-events says otherwise.
inline constexpr int default_max_events = 10;

struct options_struct {
    bool json = false;
    // Transport streams: AC-3 main buffers of DVB (5,696 bytes), not ATSC's.
    bool dvb = false;
    int64_t max_events = default_max_events;
    std::vector<std::string> files;
    // A file that lists more files, one per line ("-": standard input);
    // empty when none.  Read as the check goes, so its length costs no
    // memory.
    std::string files_from;
};

// Reads the command line.  "--help" prints the usage and the options on
// standard output and "--version" the name and version; both end the
// process with status 0.  An unknown option, a missing or bad value, or no
// file at all (neither FILE nor --files-from) prints one line on standard error and ends it with status 2.
options_struct parse_options(int argc, char** argv);
