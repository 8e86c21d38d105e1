#pragma once
#include <string>
#include <string_view>

namespace ahrs {

// Appends `text` to `out` as a double-quoted, escaped literal: quote and
// backslash escaped, \t \r \n \0 spelled out, other control characters as
// \u{hex}. Input is UTF-8; a byte that is not part of a well-formed sequence
// is shown as \u{byte value}, so the result is always printable text.
void append_quoted(std::string& out, std::string_view text);
std::string quoted(std::string_view text);

}  // namespace ahrs
