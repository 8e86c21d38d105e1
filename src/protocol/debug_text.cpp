#include "debug_text.hpp"

#include <cstdint>
#include <cstdio>

namespace ahrs {
namespace {

void append_code_point_escape(std::string& out, std::uint32_t cp) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
    out += buf;
}

// Decodes one UTF-8 sequence at `text[i]`; returns its length, or 0 when the
// bytes are not well-formed UTF-8.
std::size_t decode_utf8(std::string_view text, std::size_t i, std::uint32_t& cp) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    std::size_t len = b0 < 0x80 ? 1 : (b0 >> 5) == 0x6 ? 2 : (b0 >> 4) == 0xE ? 3 : (b0 >> 3) == 0x1E ? 4 : 0;
    if (len == 0 || i + len > text.size()) return 0;
    cp = len == 1 ? b0 : b0 & (0x7F >> len);
    for (std::size_t k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(text[i + k]);
        if ((b & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    return len;
}

bool is_control(std::uint32_t cp) { return cp < 0x20 || (cp >= 0x7F && cp < 0xA0); }

}  // namespace

void append_quoted(std::string& out, std::string_view text) {
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        std::uint32_t cp = 0;
        std::size_t len = decode_utf8(text, i, cp);
        if (len == 0) {  // a stray byte: show its value rather than corrupt the output
            append_code_point_escape(out, static_cast<unsigned char>(text[i]));
            ++i;
            continue;
        }
        switch (cp) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            case '\0': out += "\\0"; break;
            default:
                if (is_control(cp)) append_code_point_escape(out, cp);
                else out.append(text.substr(i, len));
        }
        i += len;
    }
    out += '"';
}

std::string quoted(std::string_view text) {
    std::string out;
    append_quoted(out, text);
    return out;
}

}  // namespace ahrs
