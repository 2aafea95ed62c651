// psdump: prints the structure of an MPEG systems stream as text, as a Lisp
// program or as JSON Lines, counts its packs and cuts out its elementary
// streams.  A transport stream, told from its first bytes, is dumped as
// text or JSON Lines, its packets counted and its PES payloads cut out.
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "extraction.h"
#include "json_export.h"
#include "lisp_export.h"
#include "pack_builder.h"
#include "ps_reader.h"
#include "stream_format.h"
#include "text_dump.h"
#include "ts_dump.h"
#include "ts_reader.h"

namespace {

enum class export_mode { text, lisp, json };
export_mode mode = export_mode::text;

// Status 2 once an extraction file or standard output could not be written.
bool extraction_write_failed = false;

void print_usage(const char* program) {
    std::printf("Usage: %s [mpeg_file] {[print_pack_count] [extract_streams] [cl-lisp]}\n", program);
}

// Stream errors: an unknown stream_id is named on standard error in every
// mode; a marker-bit message stands in place in the text dump (which
// prints it itself) and goes to standard error in the exports, so that
// their output stays loadable up to the last whole pack.
struct error_report : ps_observer {
    void error(const ps_reader&, const stream_error& e) override {
        std::fflush(stdout);
        if (e.kind == stream_error_kind::unknown_stream_id)
            std::fprintf(stderr, "psdump: %s\n", e.message.c_str());
        else if (mode != export_mode::text)
            std::fprintf(stderr, "\nError\n %s", e.message.c_str());
    }
};

// Each finished pack of a Lisp export: its forms, then it is released, so
// only one pack is ever held.  A standard output that can no longer be
// written ends the run at once.
void lisp_pack_sink(std::unique_ptr<pack_struct> pack) {
    export_lisp_pack(*pack);
    if (std::ferror(stdout)) std::exit(2);
}

// Closes the extraction files and flushes standard output, reporting what
// could not be written.  True when everything was written.
bool finish_output(extraction_files& writer) {
    int error_number = errno;  // of the last failed write, when one failed
    bool written = !std::ferror(stdout);
    writer.close_all();
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

void report_extraction_error(const std::string& path, int error_number) {
    std::fflush(stdout);
    std::fprintf(stderr, "psdump: %s: %s\n", path.c_str(), std::strerror(error_number ? error_number : EIO));
    extraction_write_failed = true;
}

// Bytes read before the format is decided: enough for detect_stream_format
// to skip junk in front of the first packet or pack.  They are handed to
// the reader, which reads on from there: the file is read once.
constexpr size_t head_size = 1 << 16;
constexpr size_t block_size = 1 << 16;

// A transport stream, read to its end whatever faults it has: each fault
// is in the dump where it was found, and the status is 1 when there was
// any.  `head` holds the first `head_n` bytes, already read from `fp`.
int dump_transport_stream(FILE* fp, const char* path, const unsigned char* head, size_t head_n,
                          stream_format format, bool extract, int argc, char** argv) {
    if (mode == export_mode::lisp) {
        std::fclose(fp);
        std::fprintf(stderr, "psdump: %s is a transport stream; the Lisp export reads program streams\n", path);
        return 1;
    }
    ts_reader reader(format);
    ts_text_dump dump(stdout);
    ts_json_export json_lines(stdout);
    ts_dump_base& output = mode == export_mode::json ? static_cast<ts_dump_base&>(json_lines) : dump;
    ts_extraction_writer writer;
    writer.files.on_error = report_extraction_error;
    reader.add_observer(output);
    if (extract) reader.add_observer(writer);

    reader.feed(head, head_n);
    static unsigned char block[block_size];
    // Once standard output fails nothing more can be dumped.
    while (!std::ferror(stdout)) {
        const size_t n = std::fread(block, 1, sizeof block, fp);
        if (n == 0) break;
        reader.feed(block, n);
    }
    const bool read_failed = std::ferror(fp) != 0;
    const int read_errno = errno;
    reader.finish();
    std::fclose(fp);

    if (argc > 2) {
        FILE* count_out = mode == export_mode::json ? stderr : stdout;
        for (int i = 0; i < argc; ++i)
            if (strcasecmp(argv[i], "print_pack_count") == 0)
                std::fprintf(count_out, "Total TS Packets = %llu\n",
                             static_cast<unsigned long long>(reader.packets_read()));
    }
    std::fflush(stdout);
    if (read_failed) std::fprintf(stderr, "psdump: %s: read error: %s\n", path, std::strerror(read_errno));
    if (output.errors() > 0)
        std::fprintf(stderr, "psdump: %llu stream error%s\n", static_cast<unsigned long long>(output.errors()),
                     output.errors() == 1 ? "" : "s");
    if (!finish_output(writer.files)) return 2;
    return read_failed || output.errors() > 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Output is written through a large buffer; it is flushed before anything
    // goes to standard error so the two keep their order.
    static char out_buffer[1 << 20];
    std::setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);

    bool extract = false, elisp = false, cl_lisp = false, json = false, count = false;
    // Every argument counts as an option word, the file's name too.
    for (int i = 0; i < argc; ++i) {
        if (strcasecmp(argv[i], "extract_streams") == 0)
            extract = true;
        else if (strcasecmp(argv[i], "elisp") == 0)
            elisp = true;
        else if (strcasecmp(argv[i], "cl-lisp") == 0)
            cl_lisp = true;
        else if (strcasecmp(argv[i], "json") == 0)
            json = true;
        else if (strcasecmp(argv[i], "print_pack_count") == 0)
            count = true;
    }
    // A Lisp word wins over "json".
    mode = elisp || cl_lisp ? export_mode::lisp : json ? export_mode::json : export_mode::text;
    // In JSON mode every message goes to standard error, so that standard
    // output holds nothing but JSON lines.
    FILE* messages = mode == export_mode::json ? stderr : stdout;

    if (argc < 2) {
        print_usage(argv[0]);
        return 1;
    }
    FILE* fp = std::fopen(argv[1], "rb");
    if (!fp) {
        std::fprintf(messages, "Could not open %s\n", argv[1]);
        if (mode == export_mode::json)
            std::fprintf(stderr, "Usage: %s [mpeg_file] {[print_pack_count] [extract_streams] [cl-lisp]}\n",
                         argv[0]);
        else
            print_usage(argv[0]);
        return 1;
    }

    // The format is told from the content, never from the name.
    static unsigned char head[head_size];
    const size_t head_n = std::fread(head, 1, sizeof head, fp);
    const stream_format format = detect_stream_format(head, head_n);
    if (format == stream_format::transport_188 || format == stream_format::transport_192)
        return dump_transport_stream(fp, argv[1], head, head_n, format, extract, argc, argv);

    // The Lisp prelude is printed once per Lisp word, as the words come.
    for (int i = 0; i < argc; ++i) {
        if (strcasecmp(argv[i], "elisp") == 0) {
            _export_elisp = true;
            export_lisp_prelude();
        } else if (strcasecmp(argv[i], "cl-lisp") == 0) {
            _export_CL_lisp = true;
            export_lisp_prelude();
        }
    }

    ps_reader reader;
    reader.stop_on_error = true;
    text_dump dump(stdout);
    json_export json_lines(stdout);
    pack_builder lisp_packs(lisp_pack_sink);
    extraction_writer writer;
    writer.on_error = report_extraction_error;
    error_report errors;

    if (mode == export_mode::text) reader.add_observer(&dump);
    if (mode == export_mode::json) reader.add_observer(&json_lines);
    if (mode == export_mode::lisp) reader.add_observer(&lisp_packs);
    if (extract) reader.add_observer(&writer);
    reader.add_observer(&errors);

    reader.parse(fp, head, head_n);
    if (reader.stopped_on_error()) return finish_output(writer) ? 1 : 2;

    if (count && argc > 2) {
        // In JSON mode the count goes to standard error, so that standard
        // output holds nothing but JSON lines.
        FILE* count_out = mode == export_mode::json ? stderr : stdout;
        // Once per word, as before: a count asked twice is printed twice.
        for (int i = 0; i < argc; ++i)
            if (strcasecmp(argv[i], "print_pack_count") == 0)
                std::fprintf(count_out, "Total Packs = %d\n",
                             static_cast<int32_t>(static_cast<uint32_t>(reader.packs())));
    }

    if (reader.packs() == 0) {
        std::fflush(stdout);
        std::fputs("Not an ISO 1172-1 or ISO 13818-1 stream\n", stderr);
        // The start of the file as the scan read it: the stream is never
        // opened a second time (it may be a pipe or FIFO).
        if (reader.first_4_bytes() == 0x000001B3) std::fputs("Looks like an MPEG video stream\n", stderr);
    }
    return finish_output(writer) ? 0 : 2;
}
