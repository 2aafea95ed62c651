// Text of the pack detail window, without any toolkit: the pack's fields,
// its system headers with their buffer bounds, and its packets, one
// two-column line per field.
#pragma once

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
