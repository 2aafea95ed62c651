// psdump: prints the structure of an MPEG systems stream as text, as a Lisp
// program or as JSON Lines, counts its packs and cuts out its elementary
// streams.
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "json_export.h"
#include "lisp_export.h"
#include "parser.h"

namespace {

enum class export_mode { text, lisp, json };
export_mode mode = export_mode::text;

// Status 2 once an extraction file or standard output could not be written.
bool extraction_write_failed = false;
bool output_finished = false;

void print_usage(const char* program) {
    std::printf("Usage: %s [mpeg_file] {[print_pack_count] [extract_streams] [cl-lisp]}\n", program);
}

// The text dump prints every part of a pack as it reads it; the parts are
// then dropped rather than kept, so one huge pack costs no memory.
const pack_parts_consumer drop_parts = {nullptr, nullptr, nullptr, nullptr, nullptr};

void report_extraction_error(const std::string& path, int error_number) {
    std::fflush(stdout);
    std::fprintf(stderr, "psdump: %s: %s\n", path.c_str(), std::strerror(error_number ? error_number : EIO));
    extraction_write_failed = true;
}

// Closes the extraction files and flushes standard output, reporting what
// could not be written.  True when everything was written.  Runs once, at
// the end of main or when the parser ends the process on a stream error.
bool finish_output() {
    if (output_finished) return true;
    output_finished = true;
    int error_number = errno;  // of the last failed write, when one failed
    bool written = !std::ferror(stdout);
    if (mode == export_mode::json) export_json_abandon_pack();
    close_extraction_files();
    // A failed write leaves the stream in error; flushing again tells the
    // reason afresh when data is still waiting.
    std::clearerr(stdout);
    errno = 0;
    if (std::fflush(stdout) != 0) {
        written = false;
        error_number = errno;
    }
    if (!written) {
        std::fprintf(stderr, "psdump: write error: %s\n", std::strerror(error_number ? error_number : EIO));
    }
    return written && !extraction_write_failed;
}

void finish_output_at_exit() {
    if (!finish_output()) _exit(2);
}

// Each finished pack: its Lisp forms or its JSON line, then it is released,
// so only one pack is ever held.  A standard output that can no longer be
// written ends the run at once.
void dump_pack_sink(std::unique_ptr<pack_struct> pack) {
    if (mode == export_mode::lisp) export_lisp_pack(*pack);
    if (mode == export_mode::json) export_json_pack(*pack);
    delete_pack_struct(std::move(pack));
    if (std::ferror(stdout)) std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    // Output is written through a large buffer; it is flushed before anything
    // goes to standard error so the two keep their order.
    static char out_buffer[1 << 20];
    std::setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);

    if (argc < 2) {
        print_usage(argv[0]);
        return 1;
    }
    FILE* fp = std::fopen(argv[1], "rb");
    if (!fp) {
        std::printf("Could not open %s\n", argv[1]);
        print_usage(argv[0]);
        return 1;
    }

    _extract_streams = false;
    _export_CL_lisp = false;
    _export_elisp = false;
    _export_is_text_dump = true;
    _exit_on_stream_error = true;
    _pack_sink = dump_pack_sink;
    _extraction_error_hook = report_extraction_error;

    bool json = false;
    for (int i = 0; i < argc; ++i) {
        if (strcasecmp(argv[i], "extract_streams") == 0) {
            _extract_streams = true;
        } else if (strcasecmp(argv[i], "elisp") == 0) {
            _export_elisp = true;
            export_lisp_prelude();
        } else if (strcasecmp(argv[i], "cl-lisp") == 0) {
            _export_CL_lisp = true;
            export_lisp_prelude();
        } else if (strcasecmp(argv[i], "json") == 0) {
            json = true;
        }
    }
    // A Lisp word wins over "json": its prelude is already printed.
    if (_export_elisp || _export_CL_lisp)
        mode = export_mode::lisp;
    else if (json)
        mode = export_mode::json;
    _export_is_text_dump = mode == export_mode::text;
    // The exports keep standard output one loadable text: stream-error
    // messages go to standard error, and JSON has no progress lines.
    _stream_errors_to_stderr = mode != export_mode::text;
    _quiet_parse = mode == export_mode::json;
    _pack_parts_consumer = mode == export_mode::json ? json_parts_consumer()
                           : mode == export_mode::text ? &drop_parts
                                                       : nullptr;
    std::atexit(finish_output_at_exit);

    _mpeg_fp.attach(fp);
    scan_mpeg_stream();
    _mpeg_fp.close();

    if (argc > 2) {
        // In JSON mode the count goes to standard error, so that standard
        // output holds nothing but JSON lines.
        FILE* count_out = mode == export_mode::json ? stderr : stdout;
        for (int i = 0; i < argc; ++i)
            if (strcasecmp(argv[i], "print_pack_count") == 0)
                std::fprintf(count_out, "Total Packs = %d\n", static_cast<int32_t>(static_cast<uint32_t>(_n_packs)));
    }

    if (_n_packs == 0) {
        std::fflush(stdout);
        std::fputs("Not an ISO 1172-1 or ISO 13818-1 stream\n", stderr);
        // The start of the file as the scan read it: the stream is never
        // opened a second time (it may be a pipe or FIFO).
        if (_first_4_bytes == 0x000001B3) std::fputs("Looks like an MPEG video stream\n", stderr);
    }
    return finish_output() ? 0 : 2;
}
