// Layout of the pack overview map, without any toolkit: the stream markers
// and their colours, the choice of the cell size, the place of every pack in
// the map, the map file's text, and finding the pack whose first cell lies
// under a point.
//
// The map shows each pack as a run of square cells of `cell_size` pixels:
// one "!" cell per system header, then one cell per packet in the marker of
// its stream, then four blank columns.  Packs follow each other in rows of
// the map's width; a row that is full is drawn `cell_size` pixel rows high
// and followed by two blank pixel rows (a "band").
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "model.h"

using pixmap_pack_list = pack_list;

// A pack of a list, read when it is looked at: `*ref` is the pack.
struct pack_ref_struct {
    const pack_list* list = nullptr;
    size_t index = 0;
    const pack_struct& operator*() const { return *(*list)[index]; }
    const pack_struct* operator->() const { return (*list)[index].get(); }
};

// Where a pack's first cell lies in the map (pixels from the top left).
struct pack_place_struct {
    pack_ref_struct pack;
    int32_t x = 0;
    int32_t y = 0;
};

// One colour of the map: its character and the colour as twelve hex digits
// (16 bits per component); `hex` is null for the transparent blank.
struct pixmap_colour_struct {
    char marker;
    const char* hex;
};

// The map's colours in the order the map file lists them: blank, "!", then
// the stream markers "a" to "w".
inline constexpr int pixmap_colour_count = 25;
extern const pixmap_colour_struct pixmap_colours[pixmap_colour_count];

inline constexpr char pixmap_header_marker = '!';
inline constexpr char pixmap_blank_marker = ' ';
// Blank columns after each pack's cells.
inline constexpr int pixmap_pack_gap = 4;
// Blank pixel rows after each band.
inline constexpr int pixmap_band_gap = 2;

// Marker character of a stream_id; ids outside the table give 'w'.
char marker_from_stream(int stream_id);

// Colour of a marker as 8-bit red, green, blue (the high byte of each 16-bit
// component, as an image loaded from the map file holds it).  False for the
// blank and for characters that are no marker.
bool marker_rgb(char marker, uint8_t rgb[3]);

// Number of cells of a pack: its system headers and its packets.
int64_t pack_cell_count(const pack_struct& pack);
// The same for pack `i` of a list, without reading the pack whole.
int64_t pack_cell_count(const pixmap_pack_list& packs, size_t i);

// Cell size for a map of `width` x `height` pixels: the size before the first
// one, counting from 4, at which the estimated area of the layout reaches
// width x height.  The search also stops before the first size at which a
// single pack (its cells and its gap) would be `width` or wider, taking the
// largest size at which every pack still fits in a row; never less than 1.
int choose_cell_size(const pixmap_pack_list& packs, int width, int height);

// The area the search above estimates for cells of `size` pixels; stops
// counting once `limit` is reached.  Requires every pack to fit in a row.
int64_t estimate_map_area(const pixmap_pack_list& packs, int size, int width, int64_t limit);

// Places every pack for cells of `cell_size` pixels in rows of `width`
// pixels; `places` gets one record per pack, in stream order.  A pack too
// wide even for an empty row is placed alone in its row and cut at the right
// edge.  Returns the number of pixel rows of the bands (without the map's
// closing blank row).
int32_t layout_pack_places(const pixmap_pack_list& packs, int cell_size, int width,
                           std::vector<pack_place_struct>& places);

// The `width` characters of one band's pixel rows: the packs of
// places[first, last) (which share one band) drawn into a blank row.
std::string band_row_text(const std::vector<pack_place_struct>& places, size_t first, size_t last,
                          int cell_size, int width);

// Writes the map file's text for a finished layout: the comment and
// declaration lines, the values line (declaring `rows` + 1 pixel rows, the
// rows actually written), the colour lines, the bands and the closing blank
// row.  False when the file could not be written.
bool write_map_text(FILE* out, const std::vector<pack_place_struct>& places, int cell_size,
                    int width, int32_t rows);

// Index of the first pack (in stream order) whose first cell contains the
// pixel (x, y), or -1.
int find_pack_at(const std::vector<pack_place_struct>& places, int cell_size, int x, int y);

// Indexes [first, last) of the packs whose bands meet pixel rows
// [top, top + height) of the map.
void packs_in_rows(const std::vector<pack_place_struct>& places, int cell_size, int top,
                   int height, size_t& first, size_t& last);
