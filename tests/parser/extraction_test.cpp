// Payload sink: extraction files, the streamable hand-over and the removal
// of extracted files.
#include <filesystem>

#include "parse_fixture.h"

using namespace sb;
namespace fs = std::filesystem;

namespace {

struct hook_call {
    size_t packs_packets_at_call;
    uint8_t stream_id;
    uint64_t pts;
    std::vector<uint8_t> data;
};
std::vector<hook_call> hook_calls;

void record_hook(pack_struct* pack, packet_struct* packet, const unsigned char* data, int length) {
    hook_calls.push_back({pack->packets.size(), packet->stream_id, packet->pts,
                          std::vector<uint8_t>(data, data + length)});
}

}  // namespace

TEST_F(ParserTest, ExtractionFilesHoldEachStreamsPayloads) {
    pes_fields f;
    f.pts = 100;
    bytes v1 = payload_bytes(50, 1), v2 = payload_bytes(70, 2), a1 = payload_bytes(30, 3);
    bytes pad = bytes(12, 0xFF);
    bytes stream = concat({pack_header(0, 0, 1), pes_packet(0xE0, f, v1), pes_packet(0xC0, f, a1),
                           pack_header(1, 0, 1), pes_packet(0xE0, f, v2), packet(0xBE, pad)});
    parser_settings s;
    s.text_dump = false;
    s.extract = true;
    parse(stream, s);
    EXPECT_EQ(tu::read_bytes(dir_.file("0xe0.mpeg")), concat({v1, v2}));
    EXPECT_EQ(tu::read_bytes(dir_.file("0xc0.mpeg")), a1);
    EXPECT_EQ(tu::read_bytes(dir_.file("0xbe.mpeg")), pad);

    // A second parse appends to the same files.
    delete_parser_structs();
    parse(stream, s);
    EXPECT_EQ(tu::read_bytes(dir_.file("0xe0.mpeg")), concat({v1, v2, v1, v2}));

    // Without extraction nothing is written.
    fs::remove(dir_.file("0xc0.mpeg"));
    delete_parser_structs();
    s.extract = false;
    parse(stream, s);
    EXPECT_FALSE(fs::exists(dir_.file("0xc0.mpeg")));
}

TEST_F(ParserTest, ExtractionNeverInventsBytesPastTheEnd) {
    pes_fields f;
    bytes payload = payload_bytes(200);
    bytes stream = concat({pack_header(0, 0, 1), pes_packet(0xE0, f, payload)});
    stream.resize(stream.size() - 120);  // the last 120 payload bytes are missing
    mpeg1_fields m;
    bytes m1 = concat({mpeg1_pack_header(0, 1), mpeg1_packet(0xC0, m, payload)});
    m1.resize(m1.size() - 50);
    parser_settings s;
    s.text_dump = false;
    s.extract = true;
    s.streamable = true;
    hook_calls.clear();
    _streamable_plugins_hook = record_hook;
    parse(stream, s);
    EXPECT_EQ(tu::read_bytes(dir_.file("0xe0.mpeg")), bytes(payload.begin(), payload.begin() + 80));
    ASSERT_EQ(hook_calls.size(), 1u);
    EXPECT_EQ(hook_calls[0].data, bytes(payload.begin(), payload.begin() + 80));
    delete_parser_structs();
    parse(m1, s);
    EXPECT_EQ(tu::read_bytes(dir_.file("0xc0.mpeg")), bytes(payload.begin(), payload.begin() + 150));
}

TEST_F(ParserTest, StreamableHookGetsWholePayloadBeforeThePacketIsAdded) {
    pes_fields f;
    f.pts = 4242;
    bytes big = payload_bytes(60000, 5);
    bytes small = payload_bytes(10, 6);
    mpeg1_fields m;
    bytes stream = concat({pack_header(0, 0, 1), pes_packet(0xE0, f, small), pes_packet(0xE0, f, big),
                           packet(0xBE, bytes(4, 0xFF)), packet(0xBF, payload_bytes(4))});
    parser_settings s;
    s.text_dump = false;
    s.extract = true;
    s.streamable = true;
    hook_calls.clear();
    _streamable_plugins_hook = record_hook;
    parse(stream, s);
    // Only packets with the optional header are handed over.
    ASSERT_EQ(hook_calls.size(), 2u);
    EXPECT_EQ(hook_calls[0].packs_packets_at_call, 0u);
    EXPECT_EQ(hook_calls[0].data, small);
    EXPECT_EQ(hook_calls[0].pts, 4242u);
    EXPECT_EQ(hook_calls[1].packs_packets_at_call, 1u);
    EXPECT_EQ(hook_calls[1].data, big);

    // Streamable collection needs extraction on.
    hook_calls.clear();
    s.extract = false;
    delete_parser_structs();
    parse(stream, s);
    EXPECT_TRUE(hook_calls.empty());

    // MPEG-1 packets are never handed over.
    s.extract = true;
    delete_parser_structs();
    parse(concat({mpeg1_pack_header(0, 1), mpeg1_packet(0xE0, m, small)}), s);
    EXPECT_TRUE(hook_calls.empty());
    _streamable_plugins_hook = nullptr;
}

TEST_F(ParserTest, UnknownStreamIdsGetTheirOwnFile) {
    pes_fields f;
    bytes payload = payload_bytes(9);
    parser_settings s;
    s.text_dump = false;
    s.extract = true;
    parse(concat({pack_header(0, 0, 1), pes_packet(0x05, f, payload)}), s);
    EXPECT_EQ(tu::read_bytes(dir_.file("0x5.mpeg")), payload);
}

TEST_F(ParserTest, DeleteExtractedStreamsRemovesOnlyExtractionFiles) {
    const char* removed[] = {"0xe0.mpeg", "0XE0.mpeg", "0xbd.mpeg", "0x5.mpeg"};
    const char* kept[] = {"0xe0.mpg", ".0xe0.mpeg", "0x.mpeg", "1xe0.mpeg", "0ye0.mpeg", "0xe0.mpeg.txt"};
    for (const char* n : removed) tu::write_file(dir_.file(n), {1});
    for (const char* n : kept) tu::write_file(dir_.file(n), {1});
    delete_extracted_streams();
    for (const char* n : removed) EXPECT_FALSE(fs::exists(dir_.file(n))) << n;
    for (const char* n : kept) EXPECT_TRUE(fs::exists(dir_.file(n))) << n;
}

TEST(ModelTest, FreshRecordsReadAbsent) {
    auto pack = new_pack_struct();
    EXPECT_EQ(pack->offset, -1);
    EXPECT_EQ(pack->scr, 0xFFFFFFFFu);
    EXPECT_EQ(pack->ext, 0);
    EXPECT_EQ(pack->stuffing, -1);
    EXPECT_TRUE(pack->packets.empty());
    auto packet = new_packet_struct();
    EXPECT_EQ(packet->pts, absent_ts);
    EXPECT_EQ(packet->header_stuffing_bytes, 0);
    EXPECT_EQ(packet->extension_data, -1);
    EXPECT_TRUE(packet->stream_name.empty());
    auto header = new_system_header_struct();
    EXPECT_EQ(header->packet_rate_restriction, -1);
    EXPECT_TRUE(header->buffer_info.empty());
    auto info = new_buffer_info_struct();
    EXPECT_EQ(info->actual_std_size, -1);

    delete_parser_structs();
    delete_parser_structs();
    EXPECT_EQ(_n_all_packs(), 0);
    collect_pack(new_pack_struct());
    collect_pack(new_pack_struct());
    EXPECT_EQ(_n_all_packs(), 2);
    delete_parser_structs();
    EXPECT_EQ(_n_all_packs(), 0);
}
