// The analyser's parse: a reader with the observers the settings call for.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "extraction.h"
#include "pack_builder.h"
#include "parser.h"
#include "text_dump.h"

bool _export_is_text_dump = false;
bool _extract_streams = false;
bool _streamable_extract_streams = false;
bool _exit_on_stream_error = false;
std::string _extraction_directory;
pack_sink_fn _pack_sink = collect_pack;
streamable_hook_fn _streamable_plugins_hook = nullptr;
extraction_error_fn _extraction_error_hook = nullptr;
parse_progress_fn _parse_progress_hook = nullptr;
bool _parse_cancelled = false;
uint64_t _n_packs = 0;
int32_t _mpeg_systems_format = 1;
uint32_t _first_4_bytes = 0xFFFFFFFFu;
uint64_t _stream_errors = 0;

void execute_buffer_streamable_plugins(pack_struct* pack, packet_struct* packet, const unsigned char* data,
                                       int length) {
    if (_streamable_plugins_hook) _streamable_plugins_hook(pack, packet, data, length);
}

namespace {

std::string mpeg_file_name;
bool mpeg_file_name_set = false;
int kept_stream_fd = -1;

// Stream-error messages in the analyser's console, where no dump shows them.
struct console_errors : ps_observer {
    void error(const ps_reader&, const stream_error& e) override {
        if (e.kind == stream_error_kind::marker_bit) std::printf("\nError\n %s", e.message.c_str());
    }
};

// The payload of each 13818-1 PES packet whose stream is being extracted,
// collected for the streamable plug-ins and handed to them at the packet's
// end.
struct streamable_collector : ps_observer {
    explicit streamable_collector(const extraction_writer& w) : writer(w) {}
    const extraction_writer& writer;
    std::vector<unsigned char> data;
    bool collecting = false;
    pack_struct pack;
    // The pack being read, with its packets so far, as the plug-ins see it.
    void pack_header(const ps_reader&, const pack_struct& header) override { pack = header; }
    void pack_end(const ps_reader&, const pack_struct&) override { pack.packets.clear(); }
    void packet_header(const ps_reader&, const packet_struct& p, const packet_header_detail& d) override {
        collecting = !d.mpeg1 && d.flags >= 0 && writer.is_open(p.stream_id);
        data.clear();
    }
    void payload(const ps_reader&, const packet_struct&, const unsigned char* d, size_t n) override {
        if (collecting) data.insert(data.end(), d, d + n);
    }
    void packet_end(const ps_reader&, const packet_struct& p) override {
        packet_struct packet = p;
        if (collecting)
            execute_buffer_streamable_plugins(&pack, &packet, data.data(), static_cast<int>(data.size()));
        collecting = false;
        add_packet_to_pack(pack, std::move(packet));
    }
};

}  // namespace

void parse_mpeg_stream(FILE* fp) {
    ps_reader reader;
    reader.stop_on_error = _exit_on_stream_error;
    if (_parse_progress_hook) reader.progress = _parse_progress_hook;

    pack_builder collector([](std::unique_ptr<pack_struct> pack) { _pack_sink(std::move(pack)); });
    text_dump dump(stdout);
    console_errors console;
    extraction_writer writer(_extraction_directory);
    if (_extraction_error_hook) writer.on_error = _extraction_error_hook;
    streamable_collector streamable(writer);

    if (_export_is_text_dump)
        reader.add_observer(&dump);
    else
        reader.add_observer(&console);
    if (_extract_streams) {
        reader.add_observer(&writer);
        if (_streamable_extract_streams) reader.add_observer(&streamable);
    }
    reader.add_observer(&collector);

    reader.parse(fp);
    writer.close_all();
    _parse_cancelled = reader.cancelled();
    _n_packs = reader.packs();
    _mpeg_systems_format = reader.systems_format();
    _first_4_bytes = reader.first_4_bytes();
    _stream_errors = reader.errors();
}

const char* get_mpeg_file_name() { return mpeg_file_name_set ? mpeg_file_name.c_str() : nullptr; }

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
    if (kept_stream_fd >= 0) close(kept_stream_fd);
    kept_stream_fd = -1;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) kept_stream_fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    mpeg_file_name = path;
    mpeg_file_name_set = true;
    parse_mpeg_stream(fp);
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

std::string extraction_file_path(uint8_t stream_id) { return extraction_file_path(_extraction_directory, stream_id); }

void delete_extracted_streams() { delete_extraction_files(_extraction_directory); }
