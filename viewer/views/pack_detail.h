// Pack detail window: one window per clicked pack, listing the pack's
// fields, its system headers with their buffer bounds, and its packets, one
// two-column line per field in a fixed-width font.  The windows are kept in
// the overview's list of detail windows while they are open.
#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <string>
#include <vector>

#include "model.h"

// Column at which the right text of a line ends.
inline constexpr int detail_line_width = 36;

// One line: the left text, blanks, and the right text ending at column 36
// (no blanks when the two already take 36 characters or more).  Null texts
// are empty.
std::string detail_line_text(const char* left, const char* right);

// Calls `emit` with the left and right text (null when there is none) of
// each line of the pack's window, in order.
void for_each_detail_line(const pack_struct& pack,
                          const std::function<void(const char* left, const char* right)>& emit);

// The finished lines of the pack's window.
std::vector<std::string> pack_detail_lines(const pack_struct& pack);

// Appends one line to `box` as a left-aligned label in the fixed-width font.
void add_detail_line(GtkWidget* box, const char* left, const char* right);

// Opens the detail window "Pack # <index>" of `pack`; a null pack does
// nothing.
void add_detail_pack(int index, pack_struct* pack);
