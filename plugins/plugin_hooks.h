// Hooks through which plug-ins receive the extracted elementary streams:
// the file-read hook run after each parse started from the Run dialog, and
// the streamable hook the parser calls with each PES payload.
#pragma once

#include "parser.h"

// Payload of one PES packet, handed to the streamable hook; valid only
// during the call.
struct streamable_buffer_struct {
    pack_struct* pack;
    packet_struct* packet;
    const unsigned char* data;
    int32_t data_length;
};

// Action called for each extracted-stream file with its path and its stream
// tag ("#xe0" for 0xe0.mpeg).  The path is the file's full path in the
// extraction directory, or its bare name when the parser extracts into the
// working directory.
using plugin_file_action = void (*)(const char* file_name, const char* stream_tag, void* user_data);

// Calls `action` for every extracted-stream file ("0x<id>.mpeg") of the
// extraction directory, in the order the directory yields them.
void execute_plugin_iter(plugin_file_action action, void* user_data);

// Asks the glue to run its file-read plug-ins on every extracted-stream
// file.  Called after each parse started from the Run dialog.
void execute_file_read_plugins();
void execute_file_read_plugins_cb(const char* file_name, const char* stream_tag, void* user_data);

// The parser's streamable hook (installed into _streamable_plugins_hook).
void execute_buffer_streamable_plugins_hook(pack_struct* pack, packet_struct* packet,
                                            const unsigned char* data, int length);
void execute_buffer_streamable_plugins_cb(const char* file_name, const char* stream_tag, void* user_data);

// Installs the streamable hook into the parser; done once plug-ins are
// available.
void install_streamable_plugins_hook();
