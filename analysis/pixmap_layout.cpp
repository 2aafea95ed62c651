// Layout of the pack overview map and the text of its map file.
#include "pixmap_layout.h"

#include <algorithm>

namespace {

struct stream_marker {
    int stream_id;
    char marker;
};

// Stream markers in table order; every other stream_id draws as 'w'.
constexpr stream_marker stream_markers[] = {
    {0xBC, 'a'}, {0xBD, 'b'}, {0xBE, 'c'}, {0xBF, 'd'}, {0xF0, 'e'}, {0xF1, 'f'},
    {0xF2, 'g'}, {0xF3, 'h'}, {0xF4, 'i'}, {0xF5, 'j'}, {0xF6, 'k'}, {0xF7, 'l'},
    {0xF8, 'm'}, {0xF9, 'n'}, {0xFF, 'o'}, {0xC0, 'p'}, {0xC1, 'q'}, {0xC2, 'r'},
    {0xC3, 's'}, {0xE0, 't'}, {0xE1, 'u'}, {0xE2, 'v'},
};
constexpr char other_stream_marker = 'w';

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}

}  // namespace

const pixmap_colour_struct pixmap_colours[pixmap_colour_count] = {
    {' ', nullptr},          {'!', "fa00a1006100"}, {'a', "121200003e3e"}, {'b', "f0000000ff00"},
    {'c', "000000000000"},   {'d', "0000f000ff00"}, {'e', "0123f2100043"}, {'f', "0444ff180311"},
    {'g', "0fe1fe300978"},   {'h', "0efa10f00013"}, {'i', "0aaf10010181"}, {'j', "0bca03a1009a"},
    {'k', "1af00b12001a"},   {'l', "0fa1d001002b"}, {'m', "0bbc00320045"}, {'n', "0cab000009a1"},
    {'o', "0000f9101af1"},   {'p', "ff0100000000"}, {'q', "ff010ab0ab00"}, {'r', "ff010f000000"},
    {'s', "ff011f000f00"},   {'t', "00000000ff01"}, {'u', "50005000ff01"}, {'v', "a000a000ff01"},
    {'w', "111111111111"},
};

char marker_from_stream(int stream_id) {
    for (const auto& m : stream_markers)
        if (m.stream_id == stream_id) return m.marker;
    return other_stream_marker;
}

bool marker_rgb(char marker, uint8_t rgb[3]) {
    for (const auto& c : pixmap_colours) {
        if (c.marker != marker || !c.hex) continue;
        for (int i = 0; i < 3; ++i)
            rgb[i] = static_cast<uint8_t>(hex_digit(c.hex[4 * i]) << 4 | hex_digit(c.hex[4 * i + 1]));
        return true;
    }
    return false;
}

int64_t pack_cell_count(const pack_struct& pack) {
    return static_cast<int64_t>(pack.system_headers.size()) + static_cast<int64_t>(pack.packets.size());
}

int64_t pack_cell_count(const pixmap_pack_list& packs, size_t i) {
    return static_cast<int64_t>(packs.system_header_count(i)) + static_cast<int64_t>(packs.packet_count(i));
}

int64_t estimate_map_area(const pixmap_pack_list& packs, int size, int width, int64_t limit) {
    // A pack that makes the running row width reach the map's width closes
    // the row with that width and is counted again at the start of the next.
    int64_t area = 0;
    int64_t r = 0;
    size_t i = 0;
    while (i < packs.size() && area < limit) {
        r += size * pack_cell_count(packs, i) + pixmap_pack_gap;
        if (r >= width) {
            area += r * size + int64_t{pixmap_band_gap} * width;
            r = 0;
        } else {
            ++i;
        }
    }
    return area;
}

int choose_cell_size(const pixmap_pack_list& packs, int width, int height) {
    int64_t widest = 1;
    for (size_t i = 0; i < packs.size(); ++i) widest = std::max(widest, pack_cell_count(packs, i));
    // Largest size at which every pack with its gap is narrower than a row
    // (0 or less when not even size 1 fits).
    const int64_t fitting = (int64_t{width} - pixmap_pack_gap - 1) / widest;
    const int64_t target = int64_t{width} * height;
    for (int64_t s = 4; s <= fitting; ++s)
        if (estimate_map_area(packs, static_cast<int>(s), width, target) >= target)
            return static_cast<int>(s - 1);
    return static_cast<int>(std::max<int64_t>(1, fitting));
}

int32_t layout_pack_places(const pixmap_pack_list& packs, int cell_size, int width,
                           std::vector<pack_place_struct>& places) {
    places.resize(packs.size());
    int64_t p = 0;
    int32_t y = 0;
    for (size_t i = 0; i < packs.size(); ++i) {
        int64_t k = cell_size * pack_cell_count(packs, i);
        // A pack goes into the current row when its cells end before the
        // row's last column; otherwise the row is closed.  An empty row
        // takes any pack, so that an over-wide one cannot stall the layout.
        if (p > 0 && p + k >= width) {
            y += cell_size + pixmap_band_gap;
            p = 0;
        }
        places[i] = {{&packs, i}, static_cast<int32_t>(p), y};
        p += k + pixmap_pack_gap;
    }
    if (p > 0) y += cell_size + pixmap_band_gap;
    return y;
}

std::string band_row_text(const std::vector<pack_place_struct>& places, size_t first, size_t last,
                          int cell_size, int width) {
    std::string row(static_cast<size_t>(width), pixmap_blank_marker);
    auto put = [&](int64_t& at, char c) {
        for (int n = 0; n < cell_size && at < width; ++n) row[static_cast<size_t>(at++)] = c;
    };
    for (size_t i = first; i < last; ++i) {
        const pack_struct& pack = *places[i].pack;
        int64_t at = places[i].x;
        for (size_t h = 0; h < pack.system_headers.size() && at < width; ++h)
            put(at, pixmap_header_marker);
        for (size_t k = 0; k < pack.packets.size() && at < width; ++k)
            put(at, marker_from_stream(pack.packets[k].stream_id));
    }
    return row;
}

bool write_map_text(FILE* out, const std::vector<pack_place_struct>& places, int cell_size,
                    int width, int32_t rows) {
    std::fprintf(out, "/* XPM stream view */\nstatic const char *xpm_packs = {\n");
    std::fprintf(out, "\"%d %d %d 1\"\n", width, rows + 1, pixmap_colour_count);
    std::fprintf(out, "\"        c None\"\n");
    for (const auto& c : pixmap_colours)
        if (c.hex) std::fprintf(out, "\"%c       c #%s\"\n", c.marker, c.hex);

    std::string blank_line = "\"" + std::string(static_cast<size_t>(width), pixmap_blank_marker) + "\"\n";
    std::string line;
    for (size_t first = 0; first < places.size();) {
        size_t last = first;
        while (last < places.size() && places[last].y == places[first].y) ++last;
        line = "\"" + band_row_text(places, first, last, cell_size, width) + "\"\n";
        for (int n = 0; n < cell_size; ++n) std::fwrite(line.data(), 1, line.size(), out);
        for (int n = 0; n < pixmap_band_gap; ++n) std::fwrite(blank_line.data(), 1, blank_line.size(), out);
        first = last;
    }
    blank_line.pop_back();
    blank_line += "};";
    std::fwrite(blank_line.data(), 1, blank_line.size(), out);
    return std::fflush(out) == 0 && !std::ferror(out);
}

int find_pack_at(const std::vector<pack_place_struct>& places, int cell_size, int x, int y) {
    // Of the packs whose cells span row y, the first whose first cell also
    // spans column x.
    size_t first = 0, last = 0;
    packs_in_rows(places, cell_size, y, 1, first, last);
    for (size_t i = first; i < last; ++i)
        if (places[i].x <= x && x < int64_t{places[i].x} + cell_size) return static_cast<int>(i);
    return -1;
}

void packs_in_rows(const std::vector<pack_place_struct>& places, int cell_size, int top,
                   int height, size_t& first, size_t& last) {
    // Places are in stream order, so their rows never decrease: a pack's
    // cells meet the rows when its y lies in (top - cell_size, top + height).
    auto by_row = [](const pack_place_struct& p, int64_t v) { return p.y < v; };
    first = static_cast<size_t>(
        std::lower_bound(places.begin(), places.end(), int64_t{top} - cell_size + 1, by_row) -
        places.begin());
    last = static_cast<size_t>(
        std::lower_bound(places.begin(), places.end(), int64_t{top} + height, by_row) -
        places.begin());
    if (last < first) last = first;
}
