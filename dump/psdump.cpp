// psdump: prints the structure of an MPEG systems stream as text or as a
// Lisp program, counts its packs and cuts out its elementary streams.
#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "lisp_export.h"
#include "parser.h"

namespace {

void print_usage(const char* program) {
    std::printf("Usage: %s [mpeg_file] {[print_pack_count] [extract_streams] [cl-lisp]}\n", program);
}

// Each finished pack: its Lisp forms when a Lisp export is chosen, then it is
// released, so only one pack is ever held.
void dump_pack_sink(std::unique_ptr<pack_struct> pack) {
    if (!_export_is_text_dump) export_lisp_pack(*pack);
    delete_pack_struct(std::move(pack));
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

    for (int i = 0; i < argc; ++i) {
        if (strcasecmp(argv[i], "extract_streams") == 0) {
            _extract_streams = true;
        } else if (strcasecmp(argv[i], "elisp") == 0) {
            _export_elisp = true;
            export_lisp_prelude();
        } else if (strcasecmp(argv[i], "cl-lisp") == 0) {
            _export_CL_lisp = true;
            export_lisp_prelude();
        }
    }
    if (_export_elisp || _export_CL_lisp) _export_is_text_dump = false;

    _mpeg_fp.attach(fp);
    scan_mpeg_stream();
    _mpeg_fp.close();

    if (argc > 2) {
        for (int i = 0; i < argc; ++i)
            if (strcasecmp(argv[i], "print_pack_count") == 0)
                std::printf("Total Packs = %d\n", static_cast<int32_t>(static_cast<uint32_t>(_n_packs)));
    }

    if (_n_packs == 0) {
        std::fflush(stdout);
        std::fputs("Not an ISO 1172-1 or ISO 13818-1 stream\n", stderr);
        if (!_mpeg_fp.open(argv[1])) return 0;
        _last_4_bytes = 0xFFFFFFFFu;
        read_bytes(4);
        if (_last_4_bytes == 0x000001B3) std::fputs("Looks like an MPEG video stream\n", stderr);
        _mpeg_fp.close();
    }
    return 0;
}
