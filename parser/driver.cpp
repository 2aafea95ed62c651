// Parse driver: scans the stream for pack start codes and reads each pack
// header, its system header and its packets.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "parser.h"

stream_input _mpeg_fp;
int64_t _file_position = 0;
uint32_t _last_4_bytes = 0xFFFFFFFFu;
uint64_t _n_packs = 0;
int32_t _mpeg_systems_format = 1;
pack_struct* _current_pack = nullptr;
packet_struct* _current_packet = nullptr;
system_header_struct* _current_system_header = nullptr;

bool _export_is_text_dump = false;
bool _export_CL_lisp = false;
bool _export_elisp = false;
bool _extract_streams = false;
bool _streamable_extract_streams = false;
bool _exit_on_stream_error = false;
bool _quiet_parse = false;
bool _stream_errors_to_stderr = false;
std::string _extraction_directory;

payload_observer_fn _payload_observer = nullptr;
parse_progress_fn _parse_progress_hook = nullptr;
bool _parse_cancelled = false;
uint32_t _first_4_bytes = 0xFFFFFFFFu;
const pack_parts_consumer* _pack_parts_consumer = nullptr;

pack_sink_fn _pack_sink = collect_pack;

namespace {
std::string mpeg_file_name;
bool mpeg_file_name_set = false;
int kept_stream_fd = -1;

constexpr uint32_t pack_start_code = 0x000001BA;
constexpr uint32_t system_header_start_code = 0x000001BB;
constexpr uint32_t program_end_code = 0x000001B9;

bool is_packet_start_code(uint32_t code) {
    return (code >> 8) == 0x000001 && code != program_end_code && code != pack_start_code;
}
}  // namespace

const char* get_mpeg_file_name() { return mpeg_file_name_set ? mpeg_file_name.c_str() : nullptr; }

namespace {

// Bytes skipped between packs before the progress hook hears of them: a
// long stretch without packs is still shown and can still be cancelled.
constexpr int64_t progress_skip_interval = 1 << 16;

void scan_packs() {
    int64_t next_skip_report = progress_skip_interval;
    while (!_mpeg_fp.at_end() && _last_4_bytes != program_end_code) {
        read_byte();
        if (_file_position == 4) _first_4_bytes = _last_4_bytes;
        if (_parse_progress_hook && _file_position >= next_skip_report) {
            next_skip_report = _file_position + progress_skip_interval;
            if (!_parse_progress_hook(_file_position)) {
                _parse_cancelled = true;
                return;
            }
        }
        while (_last_4_bytes == pack_start_code) {
            read_pack();
            next_skip_report = _file_position + progress_skip_interval;
            if (_parse_progress_hook && !_parse_progress_hook(_file_position)) {
                _parse_cancelled = true;
                return;
            }
        }
    }
}

}  // namespace

void scan_mpeg_stream() {
    _file_position = 0;
    _n_packs = 0;
    _last_4_bytes = 0xFFFFFFFFu;
    _first_4_bytes = 0xFFFFFFFFu;
    _parse_cancelled = false;
    scan_packs();
    // A stream shorter than four bytes: the missing bytes read as 0xFF.
    if (_file_position == 0) {
        _first_4_bytes = 0xFFFFFFFFu;
    } else if (_file_position < 4) {
        const int missing = static_cast<int>(4 - _file_position);
        _first_4_bytes = (_last_4_bytes << (8 * missing)) | ((1u << (8 * missing)) - 1);
    }
    close_extraction_files();
}

int parsed_stream_fd() { return kept_stream_fd; }

void parse_mpeg_file(const char* path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::printf("Could not open %s\n", path);
        return;
    }
    parse_mpeg_fd(fd, path);
}

void parse_mpeg_fd(int fd, const char* path) {
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK)) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    FILE* fp = fdopen(fd, "rb");
    if (!fp) {
        close(fd);
        std::printf("Could not open %s\n", path);
        return;
    }
    _mpeg_fp.attach(fp);
    if (kept_stream_fd >= 0) close(kept_stream_fd);
    kept_stream_fd = -1;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) kept_stream_fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    mpeg_file_name = path;
    mpeg_file_name_set = true;
    _mpeg_systems_format = 1;
    scan_mpeg_stream();
    _mpeg_fp.close();
}

parsed_stream_struct set_aside_parsed_stream() {
    parsed_stream_struct saved{mpeg_file_name, mpeg_file_name_set, kept_stream_fd};
    mpeg_file_name_set = false;
    kept_stream_fd = -1;
    return saved;
}

void restore_parsed_stream(parsed_stream_struct& saved) {
    if (kept_stream_fd >= 0) close(kept_stream_fd);
    mpeg_file_name = saved.name;
    mpeg_file_name_set = saved.name_set;
    kept_stream_fd = saved.fd;
    saved.fd = -1;
}

void release_parsed_stream(parsed_stream_struct& saved) {
    if (saved.fd >= 0) close(saved.fd);
    saved.fd = -1;
}

void read_pack() {
    std::unique_ptr<pack_struct> pack = new_pack_struct();
    _current_pack = pack.get();
    pack->offset = _file_position - 4;
    if (_export_is_text_dump) std::printf("Pack [0x%llx]\n", static_cast<unsigned long long>(pack->offset));

    uint8_t b0 = read_byte();
    ++_n_packs;

    if ((b0 & 0xC0) != 0x40) {
        _mpeg_systems_format = 0;
        read_mpeg1_pack(b0);
    } else {
        uint8_t b1 = read_byte(), b2 = read_byte(), b3 = read_byte(), b4 = read_byte(), b5 = read_byte();
        uint32_t scr = (uint32_t(b0 & 0x18) << 27) | (uint32_t(b0 & 0x03) << 28) | (uint32_t(b1) << 20) |
                       (uint32_t(b2 & 0xF8) << 12) | (uint32_t(b2 & 0x03) << 13) | (uint32_t(b3) << 5) |
                       (uint32_t(b4) >> 3);
        pack->scr = scr;
        pack->scr_base = (uint64_t((b0 >> 5) & 0x01) << 32) | scr;
        pack->ext = ((b4 & 0x03) << 7) | (b5 >> 1);
        if (_export_is_text_dump) std::printf("\tscr = %d:%d\n", static_cast<int32_t>(pack->scr), pack->ext);

        uint8_t m0 = read_byte(), m1 = read_byte(), m2 = read_byte();
        pack->mux = (m0 << 14) | (m1 << 6) | (m2 >> 2);
        pack->bytes_per_second = pack->mux * 50;
        if (_export_is_text_dump)
            std::printf("\tmux = %d - (%d bytes/second) \n", pack->mux, pack->bytes_per_second);

        uint8_t s = read_byte();
        pack->stuffing = s & 0x07;
        if (_export_is_text_dump) std::printf("\tstuffing = %d\n", pack->stuffing);
        read_bytes(pack->stuffing);
        if (_pack_parts_consumer && _pack_parts_consumer->pack_header) _pack_parts_consumer->pack_header(*pack);

        read_bytes(4);
        if (_last_4_bytes == system_header_start_code) {
            read_system_header();
            read_bytes(3);
        }
        while (is_packet_start_code(_last_4_bytes)) {
            read_pes_packet();
            read_bytes(4);
        }
    }

    _current_pack = nullptr;
    _current_packet = nullptr;
    _current_system_header = nullptr;
    _pack_sink(std::move(pack));
}

void read_mpeg1_pack(uint8_t b0) {
    pack_struct* pack = _current_pack;
    uint8_t b1 = read_byte(), b2 = read_byte(), b3 = read_byte(), b4 = read_byte();
    pack->scr = (uint32_t(b0 & 0x0E) << 29) | (uint32_t(b1) << 22) | (uint32_t(b2 & 0xFE) << 14) |
                (uint32_t(b3) << 7) | (uint32_t(b4) >> 1);
    pack->scr_base = (uint64_t((b0 >> 3) & 0x01) << 32) | pack->scr;
    if (_export_is_text_dump) std::printf("\tscr = %d\n", static_cast<int32_t>(pack->scr));

    uint8_t m0 = read_byte(), m1 = read_byte(), m2 = read_byte();
    pack->mux = ((m0 & 0x7F) << 15) | (m1 << 7) | (m2 >> 1);
    pack->bytes_per_second = pack->mux * 50;
    if (_export_is_text_dump) std::printf("\tmux = %d - (%d bytes/second) \n", pack->mux, pack->bytes_per_second);
    if (_pack_parts_consumer && _pack_parts_consumer->pack_header) _pack_parts_consumer->pack_header(*pack);

    read_bytes(4);
    if (_last_4_bytes == system_header_start_code) {
        read_mpeg1_system_header();
        read_bytes(3);
    }
    while (is_packet_start_code(_last_4_bytes)) {
        read_mpeg1_packet();
        read_bytes(4);
    }
}
