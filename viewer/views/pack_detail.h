// Pack detail window: one window per clicked pack, listing the pack's
// fields, its system headers with their buffer bounds, and its packets, one
// two-column line per field in a fixed-width font.  The windows are kept in
// the overview's list of detail windows while they are open.
#pragma once

#include <gtk/gtk.h>

#include "pack_detail_text.h"

// Appends one line to `box` as a left-aligned label in the fixed-width font.
void add_detail_line(GtkWidget* box, const char* left, const char* right);

// Opens the detail window "Pack # <index>" of `pack`; a null pack does
// nothing.
void add_detail_pack(int index, pack_struct* pack);
