// Plug-in hooks: both walk the directory the parser extracts into (the
// analyser's private directory, or the working directory when none is set)
// for its files ("0x<id>.mpeg") and hand each one to an action, by its path.
#include "plugin_hooks.h"

#include <dirent.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "guile_binding.h"

namespace {

constexpr const char* working_directory = "./.";

// An extracted-stream file name: not hidden, at least 8 characters,
// "0x" (lower-case x) in front and ".mpeg" at the end.
bool is_extracted_stream_name(const char* name) {
    size_t len = std::strlen(name);
    if (name[0] == '.' || len < 8) return false;
    if (name[0] != '0' || name[1] != 'x') return false;
    return std::strcmp(name + len - 5, ".mpeg") == 0;
}

// "#x" followed by the name's third character and its fourth unless that
// is the '.' of the extension: 0xe0.mpeg gives #xe0, 0x5.mpeg gives #x5.
void make_stream_tag(const char* name, char tag[5]) {
    tag[0] = '#';
    tag[1] = 'x';
    tag[2] = name[2];
    tag[3] = name[3] != '.' ? name[3] : '\0';
    tag[4] = '\0';
}

// The name as the body of a Scheme string literal: '"' and '\' are
// escaped, so a file name can never end the literal and add code.
std::string scheme_string_body(const char* name) {
    std::string out;
    for (const char* p = name; *p; ++p) {
        if (*p == '"' || *p == '\\') out += '\\';
        out += *p;
    }
    return out;
}

}  // namespace

void execute_plugin_iter(plugin_file_action action, void* user_data) {
    const bool private_directory = !_extraction_directory.empty();
    const char* directory = private_directory ? _extraction_directory.c_str() : working_directory;
    DIR* dir = opendir(directory);
    if (!dir) {
        std::printf("Couldn't open the directory %s.", directory);
        return;
    }
    std::string path;
    while (struct dirent* entry = readdir(dir)) {
        if (!is_extracted_stream_name(entry->d_name)) continue;
        char tag[5];
        make_stream_tag(entry->d_name, tag);
        path = private_directory ? _extraction_directory + "/" + entry->d_name : entry->d_name;
        action(path.c_str(), tag, user_data);
    }
    closedir(dir);
}

void execute_file_read_plugins() { execute_plugin_iter(execute_file_read_plugins_cb, nullptr); }

void execute_file_read_plugins_cb(const char* file_name, const char* stream_tag, void*) {
    if (!plugin_extensions_are_available || !GH_EVAL_STR) return;
    char text[512];
    std::string quoted = scheme_string_body(file_name);
    int n = std::snprintf(text, sizeof text, "(execute-file-read-plugins  \"%s\" %s)", quoted.c_str(), stream_tag);
    if (n < 0 || static_cast<size_t>(n) >= sizeof text) {
        std::printf("File name too long for the plug-ins, skipped: %s\n", file_name);
        return;
    }
    GH_EVAL_STR(text);
}

void execute_buffer_streamable_plugins_hook(pack_struct* pack, packet_struct* packet, const unsigned char* data,
                                            int length) {
    streamable_buffer_struct buffer{pack, packet, data, length};
    execute_plugin_iter(execute_buffer_streamable_plugins_cb, &buffer);
}

// Streamable plug-ins receive nothing yet: the walk is made, no Scheme is
// evaluated and the buffer is left as it is.
void execute_buffer_streamable_plugins_cb(const char*, const char*, void*) {}

void install_streamable_plugins_hook() { _streamable_plugins_hook = execute_buffer_streamable_plugins_hook; }
