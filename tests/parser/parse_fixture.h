// Runs the parser in this process over a built stream and keeps the packs.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "lisp_export.h"
#include "pack_builder.h"
#include "parser.h"
#include "text_dump.h"
#include "stream_builder.h"
#include "test_util.h"

// An offset as the text dump prints it.
inline std::string hex(int64_t v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

struct parser_settings {
    bool text_dump = true;
    bool cl_lisp = false;
    bool elisp = false;
    bool extract = false;
    bool streamable = false;
};

class ParserTest : public ::testing::Test {
protected:
    void SetUp() override {
        delete_parser_structs();
        init_parser_structs();
        _pack_sink = collect_pack;
        _streamable_plugins_hook = nullptr;
        _exit_on_stream_error = false;
        old_cwd_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_.path());
    }
    void TearDown() override {
        std::filesystem::current_path(old_cwd_);
        delete_parser_structs();
        _extract_streams = _streamable_extract_streams = false;
        _export_is_text_dump = _export_CL_lisp = _export_elisp = false;
    }

    // Parses `data` as a stream file and returns what the parser printed.
    std::string parse(const sb::bytes& data, const parser_settings& s = {}) {
        std::string path = dir_.file("stream.mpg");
        tu::write_file(path, data);
        return parse_file(path, s);
    }

    std::string parse_file(const std::string& path, const parser_settings& s = {}) {
        _export_is_text_dump = s.text_dump;
        _export_CL_lisp = s.cl_lisp;
        _export_elisp = s.elisp;
        _extract_streams = s.extract;
        _streamable_extract_streams = s.streamable;
        std::fflush(stdout);
        ::testing::internal::CaptureStdout();
        parse_mpeg_file(path.c_str());
        std::fflush(stdout);
        return ::testing::internal::GetCapturedStdout();
    }

    const pack_struct& pack(size_t i) { return *_all_packs_array.at(i); }
    const packet_struct& packet_at(size_t pack_index, size_t i) { return pack(pack_index).packets.at(i); }

    tu::temp_dir dir_;

private:
    std::filesystem::path old_cwd_;
};
