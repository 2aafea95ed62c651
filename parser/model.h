// Stream model: one record per pack, packet, system header and buffer bound,
// plus the list of all packs collected by the analyser.
//
// Every field that the stream did not supply holds all bits set, so 32-bit
// fields read -1 and the 64-bit time stamps read 0xFFFFFFFFFFFFFFFF.  Readers
// test for -1 (or `absent_ts` for time stamps), never for 0.
//
// Byte offsets are 64-bit so that streams larger than 2 GiB keep correct
// positions; below 2 GiB they are the same numbers a 32-bit offset would hold.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Value of a 64-bit time stamp that the stream did not supply.
inline constexpr uint64_t absent_ts = ~uint64_t{0};

struct buffer_info_struct {
    int32_t stream_id = -1;
    int32_t std_buffer_bound_scale = -1;
    int32_t std_buffer_size_bound = -1;
    int32_t actual_std_size = -1;
};

struct system_header_struct {
    int64_t starting_offset = -1;
    int32_t header_length = -1;
    int32_t rate_bound = -1;
    int32_t audio_bound = -1;
    int32_t fixed_flag = -1;
    int32_t csps_flag = -1;
    int32_t system_audio_lock_flag = -1;
    int32_t system_video_lock_flag = -1;
    int32_t video_bound = -1;
    int32_t packet_rate_restriction = -1;
    // n_buffer_infos is buffer_info.size().
    std::vector<buffer_info_struct> buffer_info;
};

struct packet_struct {
    uint8_t stream_id = 0xFF;
    std::string stream_name;  // empty until the reader names the packet
    int32_t length = -1;
    int64_t starting_offset = -1;
    int64_t ends_at = -1;
    int32_t header_stuffing_bytes = 0;
    int32_t pes_scrambling_code = -1;
    int32_t data_alignment_indicator = -1;
    int32_t copyright = -1;
    int32_t original_or_copy = -1;
    int32_t std_buffer_scale = -1;
    int32_t std_buffer_size = -1;
    int32_t std_buffer_size_bytes = -1;
    uint64_t pts = absent_ts;
    uint64_t dts = absent_ts;
    int32_t pts_dts_flag = -1;
    int32_t pes_header_data_length = -1;
    int32_t es_rate = -1;
    int32_t trick_mode = -1;
    int32_t additional_copy_info = -1;
    int32_t previous_pes_packet_crc = -1;
    int32_t extension_data = -1;
};

struct pack_struct {
    int64_t offset = -1;
    // Bits 31..0 of the 33-bit SCR base; all ones when absent.
    uint32_t scr = 0xFFFFFFFFu;
    // The whole 33-bit SCR base (bit 32 included); all ones when absent.
    // Kept beside `scr`, whose 32-bit value the text dump and the Lisp
    // export print.
    uint64_t scr_base = absent_ts;
    int32_t ext = 0;
    int32_t mux = -1;
    int32_t bytes_per_second = -1;
    int32_t stuffing = -1;
    // n_packets / n_system_headers are the sizes of these vectors.
    std::vector<packet_struct> packets;
    std::vector<system_header_struct> system_headers;
};

// Constructors: fresh records with every field absent except the ones each
// record zeroes (see the member initialisers above).
std::unique_ptr<pack_struct> new_pack_struct();
std::unique_ptr<packet_struct> new_packet_struct();
std::unique_ptr<system_header_struct> new_system_header_struct();
std::unique_ptr<buffer_info_struct> new_buffer_info_struct();

// Append operations: the parent takes over the child's contents.
void add_packet_to_pack(pack_struct& pack, packet_struct&& packet);
void add_header_to_pack(pack_struct& pack, system_header_struct&& header);
void add_buffer_info(system_header_struct& header, const buffer_info_struct& info);

// A list of packs kept compact: about 56 bytes for a pack with one packet,
// where the records above cost several hundred.  A pack is stored when it
// is added and rebuilt, field for field the same, when it is read; the
// records read last are kept (up to `cached_packs` of them), so a reference
// to a pack stays good while fewer other packs are read.
class pack_list {
public:
    static constexpr size_t cached_packs = 64;

    // A pack read from the list: a pointer-like handle to the rebuilt
    // record.
    class handle {
    public:
        explicit handle(const pack_struct* p) : p_(p) {}
        const pack_struct& operator*() const { return *p_; }
        const pack_struct* operator->() const { return p_; }
        const pack_struct* get() const { return p_; }

    private:
        const pack_struct* p_;
    };

    class iterator {
    public:
        iterator(const pack_list* list, size_t i) : list_(list), i_(i) {}
        handle operator*() const { return (*list_)[i_]; }
        iterator& operator++() {
            ++i_;
            return *this;
        }
        bool operator==(const iterator& o) const { return i_ == o.i_; }
        bool operator!=(const iterator& o) const { return i_ != o.i_; }

    private:
        const pack_list* list_;
        size_t i_;
    };

    pack_list();
    ~pack_list();
    pack_list(pack_list&&) noexcept;
    pack_list& operator=(pack_list&&) noexcept;

    size_t size() const;
    bool empty() const { return size() == 0; }
    void push_back(std::unique_ptr<pack_struct> pack);
    void clear();
    void shrink_to_fit() {}
    void swap(pack_list& other) noexcept;
    handle operator[](size_t i) const;
    handle at(size_t i) const;
    handle back() const { return (*this)[size() - 1]; }
    iterator begin() const { return {this, 0}; }
    iterator end() const { return {this, size()}; }

    // Cheap reads that rebuild nothing.
    int64_t pack_offset(size_t i) const;
    size_t packet_count(size_t i) const;
    size_t system_header_count(size_t i) const;
    uint8_t packet_stream_id(size_t i, size_t k) const;

private:
    struct storage;
    std::unique_ptr<storage> s_;
};

// The all-packs list of the analyser.  `_n_all_packs` is its size.
extern pack_list _all_packs_array;
inline int32_t _n_all_packs() { return static_cast<int32_t>(_all_packs_array.size()); }

void collect_pack(std::unique_ptr<pack_struct> pack);
void delete_pack_struct(std::unique_ptr<pack_struct> pack);
void init_parser_structs();
void delete_parser_structs();
