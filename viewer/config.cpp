// Configuration reader of the analyser.
#include "config.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>

std::string tarvel_viewer_root_dir;
int32_t tarvel_clock_boundaries = 70000;
double tarvel_scheme_time_limit = default_scheme_time_limit;
std::string tvl_quern_exe_file_name;
bool tvl_quern_exe_file_name_set = false;

namespace {

bool root_dir_set = false;

bool is_blank(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// Decimal integer with an optional sign; stops at the first other
// character, gives 0 without digits and clamps to the 32-bit range.
int32_t parse_int32(const char* s) {
    bool negative = false;
    if (*s == '+' || *s == '-') negative = *s++ == '-';
    int64_t v = 0;
    for (; *s >= '0' && *s <= '9'; ++s) {
        v = v * 10 + (*s - '0');
        if (v > static_cast<int64_t>(INT32_MAX) + 1) v = static_cast<int64_t>(INT32_MAX) + 1;
    }
    if (negative) v = -v;
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(v);
}

// Seconds as digits with an optional fraction ("2", "0.5"); blanks in front
// are skipped.  Anything else, or a value that is not above zero, gives the
// default; very large values are capped at a day.
double parse_seconds(const char* s) {
    while (*s == ' ' || *s == '\t') ++s;
    double v = 0;
    bool digits = false;
    for (; *s >= '0' && *s <= '9'; ++s, digits = true) v = std::min(v * 10 + (*s - '0'), 1e9);
    if (*s == '.')
        for (double scale = 0.1; *++s >= '0' && *s <= '9'; scale /= 10, digits = true) v += (*s - '0') * scale;
    if (!digits || v <= 0) return default_scheme_time_limit;
    return std::min(v, 86400.0);
}

bool is_directory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

void next_key(char* key, char* value, FILE* fp) {
    size_t key_len = 0;
    key[0] = '\0';
    value[0] = '\0';

    // Key: everything up to '=', blanks dropped, comments skipped.
    int c;
    for (;;) {
        c = std::fgetc(fp);
        if (c == EOF) {
            key[0] = '\0';  // no '=': the entry matches nothing
            return;
        }
        if (c == '=') break;
        if (c == '#') {
            int d;
            while ((d = std::fgetc(fp)) != EOF && d != '\n') {
            }
            if (d == EOF) {
                key[0] = '\0';
                return;
            }
            continue;
        }
        if (is_blank(c)) continue;
        if (key_len + 1 >= config_key_size) {
            // A key of 512 characters: the entry is abandoned here.
            key[0] = '\0';
            return;
        }
        key[key_len++] = static_cast<char>(c);
        key[key_len] = '\0';
    }

    // Value: blanks and line ends after '=' are skipped; then the rest of
    // the line, with a leading '~' standing for HOME.  Too long a value is
    // cut at the buffer's size.
    size_t value_len = 0;
    auto append = [&](char ch) {
        if (value_len + 1 < config_value_size) {
            value[value_len++] = ch;
            value[value_len] = '\0';
        }
    };
    do {
        c = std::fgetc(fp);
    } while (c != EOF && is_blank(c));
    if (c == EOF) return;
    if (c == '~') {
        const char* home = std::getenv("HOME");
        for (const char* h = home ? home : ""; *h; ++h) append(*h);
    } else {
        append(static_cast<char>(c));
    }
    while ((c = std::fgetc(fp)) != EOF && c != '\n' && c != '\r') append(static_cast<char>(c));
}

void init_configs() {
    const char* home = std::getenv("HOME");
    if (home) {
        char path[1024];
        std::snprintf(path, sizeof path, "%s/.tarvel_tools/tarvel_viewer.config", home);
        if (FILE* fp = std::fopen(path, "rb")) {
            char key[config_key_size];
            char value[config_value_size];
            for (int entry = 0; entry < 2; ++entry) {
                next_key(key, value, fp);
                if (strcasecmp(key, "viewer_root_dir") == 0) {
                    tarvel_viewer_root_dir = value;
                    root_dir_set = true;
                } else if (strcasecmp(key, "clock_boundaries") == 0) {
                    tarvel_clock_boundaries = parse_int32(value);
                } else if (strcasecmp(key, "scheme_time_limit") == 0) {
                    tarvel_scheme_time_limit = parse_seconds(value);
                } else if (strcasecmp(key, "tvl_quern_exe") == 0) {
                    tvl_quern_exe_file_name = value;
                    tvl_quern_exe_file_name_set = true;
                }
            }
            std::fclose(fp);
        }
    }
    if (!root_dir_set) {
        tarvel_viewer_root_dir = default_root_dir();
        root_dir_set = true;
    }
}

void close_configs() {
    tarvel_viewer_root_dir.clear();
    tarvel_viewer_root_dir.shrink_to_fit();
    root_dir_set = false;
}

std::string default_root_dir() {
    if (is_directory("./icons") || is_directory("./guile_glue")) return ".";
#ifdef TOOLS_INSTALLED_DATA_SUBDIR
    // An installed program finds its data beside its bin directory.
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
        exe[n] = '\0';
        std::string dir(exe);
        dir = dir.substr(0, dir.rfind('/'));
        std::string installed = dir.substr(0, dir.rfind('/')) + "/" + TOOLS_INSTALLED_DATA_SUBDIR;
        if (dir.size() >= 4 && dir.compare(dir.size() - 4, 4, "/bin") == 0 && is_directory(installed))
            return installed;
    }
#endif
#ifdef TOOLS_SOURCE_DATA_DIR
    if (is_directory(TOOLS_SOURCE_DATA_DIR)) return TOOLS_SOURCE_DATA_DIR;
#endif
    return ".";
}
