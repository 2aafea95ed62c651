// Real streams written by ffmpeg and mplex, checked against what ffprobe
// reports for the same files (recorded next to each stream) and against an
// independent count of pack start codes.
#include <map>

#include "parse_fixture.h"
#include "json_export.h"
#include "probe_file.h"

namespace {

// The stream_id byte of the packets that carry a stream: ffprobe names
// private_stream_1 sub-streams by their sub-stream number.
unsigned packet_stream_id(unsigned probe_id) { return probe_id < 0x100 ? 0xBD : (probe_id & 0xFF); }

size_t count_pack_start_codes(const std::vector<uint8_t>& data) {
    size_t n = 0;
    for (size_t i = 0; i + 3 < data.size(); ++i)
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 && data[i + 3] == 0xBA) ++n;
    return n;
}

const char* const sample_streams[] = {
    "mpeg1_ffmpeg.mpg",         "mpeg1_vcd_mplex.mpg",    "mpeg1_generic_mplex.mpg",
    "mpeg2_bframes_ffmpeg.mpg", "mpeg2_two_audio_ffmpeg.mpg", "dvd_ac3_ffmpeg.vob",
    "svcd_ffmpeg.mpg",          "dvd_nav_mplex.vob",      "mpeg2_generic_mplex.mpg",
};

}  // namespace

class RealStreamTest : public ParserTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(RealStreamTest, PacketsAgreeWithFfprobe) {
    const std::string name = GetParam();
    const std::string stream_path = std::string(TEST_DATA_DIR) + "/" + name;
    const std::string base = name.substr(0, name.rfind('.'));
    probe::file pr = probe::read(std::string(TEST_DATA_DIR) + "/" + base + ".probe.txt");
    ASSERT_FALSE(pr.packets.empty());
    std::vector<uint8_t> data = tu::read_bytes(stream_path);
    ASSERT_EQ(static_cast<int64_t>(data.size()), pr.size);

    // Quiet settings: no text dump, and no progress lines either.
    parser_settings s;
    s.text_dump = false;
    s.cl_lisp = true;
    s.extract = true;
    std::string out = parse_file(stream_path, s);
    // The only messages come from system headers that stand where a packet
    // is expected (mplex writes one before every packet in one of these
    // files): they are read as packets, and their first byte after the
    // length field fails the time-stamp marker test.
    const std::string message = "\nError\n Expecting marker bits around 0x";
    size_t messages = 0;
    for (size_t at = out.find(message); at != std::string::npos; at = out.find(message, at + 1)) {
        size_t offset = std::stoul(out.substr(at + message.size()), nullptr, 16);
        ASSERT_GE(offset, 7u);
        EXPECT_EQ(data.at(offset - 7 + 3), 0xBB) << offset;
        ++messages;
    }
    EXPECT_EQ(messages, 0u);
    {
        EXPECT_EQ(out, "");
    }

    // Every pack start code in these files begins a pack.
    EXPECT_EQ(_n_packs, count_pack_start_codes(data));
    EXPECT_EQ(static_cast<size_t>(_n_all_packs()), count_pack_start_codes(data));
    const bool mpeg1 = name.rfind("mpeg1", 0) == 0;
    EXPECT_EQ(_mpeg_systems_format, mpeg1 ? 0 : 1);

    // Copies: a pack read from the list is good for a few reads only.
    std::map<int64_t, packet_struct> by_offset;
    for (const auto& pack : _all_packs_array) {
        EXPECT_EQ(data.at(static_cast<size_t>(pack->offset) + 3), 0xBA);
        for (const auto& packet : pack->packets) by_offset[packet.starting_offset] = packet;
    }

    std::map<unsigned, int64_t> payload_per_stream;
    for (const probe::packet& pp : pr.packets) {
        SCOPED_TRACE("packet at " + std::to_string(pp.pos));
        auto it = by_offset.find(pp.pos);
        ASSERT_NE(it, by_offset.end());
        const packet_struct& p = it->second;
        const unsigned id = packet_stream_id(pp.id);
        EXPECT_EQ(p.stream_id, id);
        if (pp.pts >= 0) {
            EXPECT_EQ(p.pts, static_cast<uint64_t>(pp.pts));
            EXPECT_EQ(p.dts == absent_ts ? p.pts : p.dts, static_cast<uint64_t>(pp.dts));
        } else {
            EXPECT_EQ(p.pts, absent_ts);
        }
        const int64_t header = p.pes_header_data_length < 0 ? 6 : (mpeg1 ? 6 : 9) + p.pes_header_data_length;
        const int64_t payload = p.ends_at - (p.starting_offset + header);
        payload_per_stream[p.stream_id] += payload;
        // ffprobe leaves the four sub-stream bytes of private_stream_1 out.
        EXPECT_EQ(payload, pp.size + (id == 0xBD ? 4 : 0));
    }

    // The extraction files hold exactly the payloads.
    for (const auto& [id, bytes] : payload_per_stream) {
        char file[16];
        std::snprintf(file, sizeof file, "0x%x.mpeg", id);
        EXPECT_EQ(static_cast<int64_t>(std::filesystem::file_size(dir_.file(file))), bytes) << file;
    }
}

INSTANTIATE_TEST_SUITE_P(Samples, RealStreamTest, ::testing::ValuesIn(sample_streams),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             std::string n = info.param;
                             for (char& c : n)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return n;
                         });

// Readers share nothing: every pair of samples, read in one process with
// their packs interleaved, dump exactly as each dumps alone.
TEST(TwoReaders, InterleavedPackByPackGiveWhatSeparateRunsGive) {
    struct run {
        char* text = nullptr;
        size_t size = 0;
        FILE* out = nullptr;
        ps_reader reader;
        std::unique_ptr<text_dump> dump;
        std::unique_ptr<json_export> json;
        void begin(const std::string& path) {
            out = open_memstream(&text, &size);
            dump = std::make_unique<text_dump>(out);
            json = std::make_unique<json_export>(out);
            reader.add_observer(dump.get());
            reader.add_observer(json.get());
            reader.begin(std::fopen(path.c_str(), "rb"));
        }
        std::string end() {
            reader.end();
            std::fclose(out);
            std::string s(text, size);
            std::free(text);
            return s;
        }
    };
    auto alone = [](const std::string& path) {
        run r;
        r.begin(path);
        while (r.reader.step()) {
        }
        return r.end();
    };
    for (size_t i = 0; i + 1 < std::size(sample_streams); ++i) {
        const std::string a_path = std::string(TEST_DATA_DIR "/") + sample_streams[i];
        const std::string b_path = std::string(TEST_DATA_DIR "/") + sample_streams[i + 1];
        run a, b;
        a.begin(a_path);
        b.begin(b_path);
        for (bool more_a = true, more_b = true; more_a || more_b;) {
            if (more_a) more_a = a.reader.step();
            if (more_b) more_b = b.reader.step();
        }
        EXPECT_EQ(a.end(), alone(a_path)) << sample_streams[i];
        EXPECT_EQ(b.end(), alone(b_path)) << sample_streams[i + 1];
    }
}

namespace {
auto fields(const packet_struct& p) {
    return std::make_tuple(p.stream_id, p.stream_name, p.length, p.starting_offset, p.ends_at, p.header_stuffing_bytes,
                           p.pes_scrambling_code, p.data_alignment_indicator, p.copyright, p.original_or_copy,
                           p.std_buffer_scale, p.std_buffer_size, p.std_buffer_size_bytes, p.pts, p.dts,
                           p.pts_dts_flag, p.pes_header_data_length, p.es_rate, p.trick_mode, p.additional_copy_info,
                           p.previous_pes_packet_crc, p.extension_data);
}
auto fields(const pack_struct& p) {
    return std::make_tuple(p.offset, p.scr, p.scr_base, p.ext, p.mux, p.bytes_per_second, p.stuffing,
                           p.packets.size(), p.system_headers.size());
}
}  // namespace

// The analyser's compact pack list gives back every field of every pack as
// the reader built it, on every sample and on the mutants of one.
TEST_P(RealStreamTest, CompactPackListKeepsEveryField) {
    std::vector<uint8_t> data = tu::read_bytes(std::string(TEST_DATA_DIR "/") + GetParam());
    for (int variant = 0; variant < 3; ++variant) {
        SCOPED_TRACE(variant);
        if (variant > 0)  // bit flips: odd values in every field
            for (size_t i = 17 * static_cast<size_t>(variant); i < data.size(); i += 997) data[i] ^= 0x5A;
        const std::string path = dir_.file("v.mpg");
        tu::write_file(path, data);
        std::vector<std::unique_ptr<pack_struct>> plain;
        ps_reader reader;
        pack_builder builder([&](std::unique_ptr<pack_struct> p) { plain.push_back(std::move(p)); });
        reader.add_observer(&builder);
        reader.parse(std::fopen(path.c_str(), "rb"));
        pack_list compact;
        for (const auto& p : plain) compact.push_back(std::make_unique<pack_struct>(*p));
        ASSERT_EQ(compact.size(), plain.size());
        for (size_t i = 0; i < plain.size(); ++i) {
            const pack_struct& a = *plain[i];
            const pack_struct& b = *compact[i];
            ASSERT_EQ(fields(a), fields(b)) << i;
            for (size_t k = 0; k < a.packets.size(); ++k) ASSERT_EQ(fields(a.packets[k]), fields(b.packets[k]));
            for (size_t h = 0; h < a.system_headers.size(); ++h) {
                EXPECT_EQ(a.system_headers[h].starting_offset, b.system_headers[h].starting_offset);
                EXPECT_EQ(a.system_headers[h].buffer_info.size(), b.system_headers[h].buffer_info.size());
            }
        }
    }
}
