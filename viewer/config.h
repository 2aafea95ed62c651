// Per-user configuration of the analyser, read once at start-up from
// "$HOME/.tarvel_tools/tarvel_viewer.config".  No GTK here.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// Directory holding icons/, guile_glue/ and plugins/.  Set by init_configs.
extern std::string tarvel_viewer_root_dir;
// Bound of the clock relationships plot, in 90 kHz clocks.
extern int32_t tarvel_clock_boundaries;
// Longest time, in seconds, one evaluation of plug-in, glue or hook code
// may run before it is interrupted ("scheme_time_limit", default 5).
extern double tarvel_scheme_time_limit;
inline constexpr double default_scheme_time_limit = 5.0;
// Stored only; nothing reads it.
extern std::string tvl_quern_exe_file_name;
extern bool tvl_quern_exe_file_name_set;

// Size of the key and value buffers: a key has at most 511 characters, a
// value at most 1023 after '~' expansion (longer values are cut).
inline constexpr size_t config_key_size = 512;
inline constexpr size_t config_value_size = 1024;

// Reads the first two entries of the configuration file and sets the
// values; a missing file leaves the defaults.  Without a configured
// "viewer_root_dir" the root is default_root_dir().
void init_configs();
void close_configs();

// Reads one entry of the file into `key` and `value` (both NUL-terminated,
// of config_key_size and config_value_size bytes).
void next_key(char* key, char* value, FILE* fp);

// The root used when no "viewer_root_dir" is configured: "." when it holds
// the program's data (an icons or guile_glue folder), else the program's
// own data directory.
std::string default_root_dir();
