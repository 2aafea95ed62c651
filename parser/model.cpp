#include "model.h"

#include <algorithm>
#include <array>
#include <deque>
#include <stdexcept>
#include <unordered_map>
#include <utility>

#include "ps_reader.h"

pack_list _all_packs_array;

// ---------------------------------------------------------------------------
// The compact pack list.
//
// A pack is 24 bytes and each of its packets 32; the fields a packet rarely
// has (ES rate, trick mode, additional copy info, CRC) and anything that
// does not fit the compact form go to side tables, so every record comes
// back exactly as it went in.

namespace {

struct stored_pack {
    int64_t offset;
    // scr_base in bits 0-32, ext in 33-41, stuffing + 1 in 42-45 (0: none,
    // an MPEG-1 pack).
    uint64_t clock;
    int32_t mux;
    uint32_t first_packet;
};
static_assert(sizeof(stored_pack) == 24);

struct stored_packet {
    uint64_t pts;
    uint64_t dts;
    // starting_offset in bits 0-39, stream_id in 40-47, length in 48-63.
    uint64_t place;
    uint16_t header_data_length;  // pes_header_data_length + 1 (0: absent)
    uint16_t flags;
    uint16_t std_buffer_size;
    uint16_t header_stuffing_bytes;
};
static_assert(sizeof(stored_packet) == 32);

// stored_packet::flags.
constexpr uint16_t scrambling_mask = 0x0003;
constexpr uint16_t alignment_flag = 0x0004;
constexpr uint16_t copyright_flag = 0x0008;
constexpr uint16_t original_flag = 0x0010;
constexpr uint16_t has_pes_flags = 0x0020;  // the four fields above are present
constexpr int pts_dts_shift = 6;             // pts_dts_flag + 1 in bits 6-8
constexpr uint16_t pts_dts_mask = 0x01C0;
constexpr uint16_t extension_flag = 0x0200;  // extension_data is 1
constexpr uint16_t has_std_buffer = 0x0400;
constexpr uint16_t std_scale_flag = 0x0800;
constexpr uint16_t has_rare = 0x1000;

constexpr int64_t max_stored_offset = (int64_t{1} << 40) - 1;

// Fields a packet seldom has.
struct rare_fields {
    int32_t es_rate;
    int32_t trick_mode;
    int32_t additional_copy_info;
    int32_t previous_pes_packet_crc;
};

std::string derived_name(uint8_t id, bool mpeg1) {
    const char* name = mpeg1 ? ps_reader::mpeg1_stream_name(id, nullptr) : ps_reader::pes_stream_name(id, nullptr);
    if (name) return name;
    return mpeg1 ? "ERROR. Unknown stream_id\n" : "ERROR. Unknown stream_id";
}

bool same_packet(const packet_struct& a, const packet_struct& b) {
    return a.stream_id == b.stream_id && a.stream_name == b.stream_name && a.length == b.length &&
           a.starting_offset == b.starting_offset && a.ends_at == b.ends_at &&
           a.header_stuffing_bytes == b.header_stuffing_bytes && a.pes_scrambling_code == b.pes_scrambling_code &&
           a.data_alignment_indicator == b.data_alignment_indicator && a.copyright == b.copyright &&
           a.original_or_copy == b.original_or_copy && a.std_buffer_scale == b.std_buffer_scale &&
           a.std_buffer_size == b.std_buffer_size && a.std_buffer_size_bytes == b.std_buffer_size_bytes &&
           a.pts == b.pts && a.dts == b.dts && a.pts_dts_flag == b.pts_dts_flag &&
           a.pes_header_data_length == b.pes_header_data_length && a.es_rate == b.es_rate &&
           a.trick_mode == b.trick_mode && a.additional_copy_info == b.additional_copy_info &&
           a.previous_pes_packet_crc == b.previous_pes_packet_crc && a.extension_data == b.extension_data;
}

bool same_pack_header(const pack_struct& a, const pack_struct& b) {
    return a.offset == b.offset && a.scr == b.scr && a.scr_base == b.scr_base && a.ext == b.ext && a.mux == b.mux &&
           a.bytes_per_second == b.bytes_per_second && a.stuffing == b.stuffing;
}

}  // namespace

struct pack_list::storage {
    std::deque<stored_pack> packs;
    std::deque<stored_packet> packets;
    // System headers by the index of their pack, in stream order.
    std::vector<std::pair<uint32_t, system_header_struct>> headers;
    std::unordered_map<uint32_t, rare_fields> rare;
    // Records the compact form cannot hold, kept whole.
    std::unordered_map<uint32_t, packet_struct> whole_packets;
    std::unordered_map<uint32_t, pack_struct> whole_packs;
    // The packs rebuilt last, reused in turn.
    mutable std::array<std::pair<size_t, std::unique_ptr<pack_struct>>, cached_packs> cache;
    mutable size_t next_slot = 0;

    packet_struct rebuild_packet(uint32_t index, bool mpeg1) const;
    pack_struct rebuild_header(uint32_t index) const;
    size_t packet_end(size_t pack) const {
        return pack + 1 < packs.size() ? packs[pack + 1].first_packet : packets.size();
    }
};

packet_struct pack_list::storage::rebuild_packet(uint32_t index, bool mpeg1) const {
    if (auto whole = whole_packets.find(index); whole != whole_packets.end()) return whole->second;
    const stored_packet& s = packets[index];
    packet_struct p;
    p.starting_offset = static_cast<int64_t>(s.place & static_cast<uint64_t>(max_stored_offset));
    p.stream_id = static_cast<uint8_t>(s.place >> 40);
    p.length = static_cast<int32_t>(s.place >> 48);
    p.ends_at = p.starting_offset + 6 + p.length;
    p.stream_name = derived_name(p.stream_id, mpeg1);
    p.header_stuffing_bytes = s.header_stuffing_bytes;
    if (s.flags & has_pes_flags) {
        p.pes_scrambling_code = s.flags & scrambling_mask;
        p.data_alignment_indicator = (s.flags & alignment_flag) ? 1 : 0;
        p.copyright = (s.flags & copyright_flag) ? 1 : 0;
        p.original_or_copy = (s.flags & original_flag) ? 1 : 0;
    }
    if (s.flags & has_std_buffer) {
        p.std_buffer_scale = (s.flags & std_scale_flag) ? 1 : 0;
        p.std_buffer_size = s.std_buffer_size;
        p.std_buffer_size_bytes = p.std_buffer_size << (p.std_buffer_scale ? 10 : 7);
    }
    p.pts = s.pts;
    p.dts = s.dts;
    p.pts_dts_flag = static_cast<int32_t>((s.flags & pts_dts_mask) >> pts_dts_shift) - 1;
    p.pes_header_data_length = static_cast<int32_t>(s.header_data_length) - 1;
    if (s.flags & extension_flag) p.extension_data = 1;
    if (s.flags & has_rare) {
        const rare_fields& r = rare.at(index);
        p.es_rate = r.es_rate;
        p.trick_mode = r.trick_mode;
        p.additional_copy_info = r.additional_copy_info;
        p.previous_pes_packet_crc = r.previous_pes_packet_crc;
    }
    return p;
}

pack_struct pack_list::storage::rebuild_header(uint32_t index) const {
    if (auto whole = whole_packs.find(index); whole != whole_packs.end()) return whole->second;
    const stored_pack& s = packs[index];
    pack_struct p;
    p.offset = s.offset;
    p.scr_base = s.clock & ((uint64_t{1} << 33) - 1);
    p.scr = static_cast<uint32_t>(p.scr_base);
    p.ext = static_cast<int32_t>((s.clock >> 33) & 0x1FF);
    p.stuffing = static_cast<int32_t>((s.clock >> 42) & 0x0F) - 1;
    p.mux = s.mux;
    p.bytes_per_second = s.mux * 50;
    return p;
}

pack_list::pack_list() : s_(std::make_unique<storage>()) {}
pack_list::~pack_list() = default;
pack_list::pack_list(pack_list&&) noexcept = default;
pack_list& pack_list::operator=(pack_list&&) noexcept = default;

size_t pack_list::size() const { return s_->packs.size(); }

void pack_list::swap(pack_list& other) noexcept { s_.swap(other.s_); }

void pack_list::clear() { s_ = std::make_unique<storage>(); }

void pack_list::push_back(std::unique_ptr<pack_struct> pack) {
    if (!pack) return;
    storage& st = *s_;
    const auto index = static_cast<uint32_t>(st.packs.size());
    const bool mpeg1 = pack->stuffing == -1;

    stored_pack sp{};
    sp.offset = pack->offset;
    sp.clock = (pack->scr_base & ((uint64_t{1} << 33) - 1)) | (uint64_t(pack->ext & 0x1FF) << 33) |
               (uint64_t((pack->stuffing + 1) & 0x0F) << 42);
    sp.mux = pack->mux;
    sp.first_packet = static_cast<uint32_t>(st.packets.size());
    st.packs.push_back(sp);
    if (!same_pack_header(st.rebuild_header(index), *pack)) {
        pack_struct header = *pack;
        header.packets.clear();
        header.system_headers.clear();
        st.whole_packs.emplace(index, std::move(header));
    }

    for (system_header_struct& h : pack->system_headers) st.headers.emplace_back(index, std::move(h));

    for (const packet_struct& p : pack->packets) {
        const auto k = static_cast<uint32_t>(st.packets.size());
        stored_packet q{};
        q.pts = p.pts;
        q.dts = p.dts;
        q.place = (static_cast<uint64_t>(std::clamp<int64_t>(p.starting_offset, 0, max_stored_offset))) |
                  (uint64_t{p.stream_id} << 40) | (uint64_t(p.length & 0xFFFF) << 48);
        q.header_data_length = static_cast<uint16_t>(std::clamp(p.pes_header_data_length + 1, 0, 0xFFFF));
        q.header_stuffing_bytes = static_cast<uint16_t>(std::clamp(p.header_stuffing_bytes, 0, 0xFFFF));
        uint16_t f = 0;
        if (p.pes_scrambling_code != -1) {
            f |= has_pes_flags | static_cast<uint16_t>(p.pes_scrambling_code & scrambling_mask);
            if (p.data_alignment_indicator == 1) f |= alignment_flag;
            if (p.copyright == 1) f |= copyright_flag;
            if (p.original_or_copy == 1) f |= original_flag;
        }
        f |= static_cast<uint16_t>(((p.pts_dts_flag + 1) & 7) << pts_dts_shift);
        if (p.extension_data == 1) f |= extension_flag;
        if (p.std_buffer_scale != -1) {
            f |= has_std_buffer;
            if (p.std_buffer_scale == 1) f |= std_scale_flag;
            q.std_buffer_size = static_cast<uint16_t>(p.std_buffer_size & 0xFFFF);
        }
        if (p.es_rate != -1 || p.trick_mode != -1 || p.additional_copy_info != -1 || p.previous_pes_packet_crc != -1) {
            f |= has_rare;
            st.rare.emplace(k, rare_fields{p.es_rate, p.trick_mode, p.additional_copy_info, p.previous_pes_packet_crc});
        }
        q.flags = f;
        st.packets.push_back(q);
        if (!same_packet(st.rebuild_packet(k, mpeg1), p)) st.whole_packets.emplace(k, p);
    }
}

pack_list::handle pack_list::operator[](size_t i) const {
    storage& st = *s_;
    for (auto& [index, pack] : st.cache)
        if (pack && index == i) return handle(pack.get());
    auto& slot = st.cache[st.next_slot];
    st.next_slot = (st.next_slot + 1) % cached_packs;
    auto pack = std::make_unique<pack_struct>(st.rebuild_header(static_cast<uint32_t>(i)));
    const bool mpeg1 = pack->stuffing == -1;
    const size_t end = st.packet_end(i);
    pack->packets.reserve(end - st.packs[i].first_packet);
    for (size_t k = st.packs[i].first_packet; k < end; ++k)
        pack->packets.push_back(st.rebuild_packet(static_cast<uint32_t>(k), mpeg1));
    auto first = std::lower_bound(st.headers.begin(), st.headers.end(), static_cast<uint32_t>(i),
                                  [](const auto& h, uint32_t v) { return h.first < v; });
    for (auto h = first; h != st.headers.end() && h->first == i; ++h) pack->system_headers.push_back(h->second);
    slot = {i, std::move(pack)};
    return handle(slot.second.get());
}

pack_list::handle pack_list::at(size_t i) const {
    if (i >= size()) throw std::out_of_range("pack_list::at");
    return (*this)[i];
}

int64_t pack_list::pack_offset(size_t i) const { return s_->rebuild_header(static_cast<uint32_t>(i)).offset; }

size_t pack_list::packet_count(size_t i) const { return s_->packet_end(i) - s_->packs[i].first_packet; }

size_t pack_list::system_header_count(size_t i) const {
    size_t n = 0;
    auto first = std::lower_bound(s_->headers.begin(), s_->headers.end(), static_cast<uint32_t>(i),
                                  [](const auto& h, uint32_t v) { return h.first < v; });
    for (auto h = first; h != s_->headers.end() && h->first == i; ++h) ++n;
    return n;
}

uint8_t pack_list::packet_stream_id(size_t i, size_t k) const {
    const size_t index = s_->packs[i].first_packet + k;
    if (auto whole = s_->whole_packets.find(static_cast<uint32_t>(index)); whole != s_->whole_packets.end())
        return whole->second.stream_id;
    return static_cast<uint8_t>(s_->packets[index].place >> 40);
}

std::unique_ptr<pack_struct> new_pack_struct() { return std::make_unique<pack_struct>(); }
std::unique_ptr<packet_struct> new_packet_struct() { return std::make_unique<packet_struct>(); }
std::unique_ptr<system_header_struct> new_system_header_struct() {
    return std::make_unique<system_header_struct>();
}
std::unique_ptr<buffer_info_struct> new_buffer_info_struct() {
    return std::make_unique<buffer_info_struct>();
}

void add_packet_to_pack(pack_struct& pack, packet_struct&& packet) {
    pack.packets.push_back(std::move(packet));
}

void add_header_to_pack(pack_struct& pack, system_header_struct&& header) {
    pack.system_headers.push_back(std::move(header));
}

void add_buffer_info(system_header_struct& header, const buffer_info_struct& info) {
    header.buffer_info.push_back(info);
}

void collect_pack(std::unique_ptr<pack_struct> pack) {
    if (pack) _all_packs_array.push_back(std::move(pack));
}

void delete_pack_struct(std::unique_ptr<pack_struct> pack) { pack.reset(); }

void init_parser_structs() {
    // Nothing is freed here: the caller has either just deleted the list or
    // is starting the program.  Dropping ownership without freeing would
    // leak, so the list is simply released if anything is still in it.
    _all_packs_array.clear();
}

void delete_parser_structs() { _all_packs_array.clear(); }
