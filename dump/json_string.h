// The one JSON string writer of the programs.  Quotes and backslashes are
// escaped, and every byte that is not printable ASCII is written as the
// escape of the code point of the same value (\u00XX): the output is valid
// UTF-8 JSON whatever bytes a file name or a stream holds, and a byte of a
// non-UTF-8 name reads back as the Latin-1 character of that value.
#pragma once

#include <charconv>
#include <string>
#include <string_view>

inline void append_json_string(std::string& out, std::string_view text) {
    static const char hex[] = "0123456789abcdef";
    out += '"';
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            const char esc[] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0x0F]};
            out.append(esc, sizeof esc);
        }
    }
    out += '"';
}

inline std::string json_string(std::string_view text) {
    std::string out;
    append_json_string(out, text);
    return out;
}

// A JSON number: the exact decimal value of an integer.
template <typename T>
void append_json_number(std::string& out, T value) {
    char buf[24];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    (void)ec;
    out.append(buf, end);
}
