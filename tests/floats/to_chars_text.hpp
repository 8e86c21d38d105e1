#pragma once
// The float layout written the plain way, from std::to_chars's shortest
// scientific text: the reference the fast writers are held against, by the
// native tests on a sample and by verify_floats on every float32.
#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "protocol/shortest.hpp"

namespace to_chars_text {

enum class Layout { Text, Repr };

// The reference text of v in `out` (64 bytes); returns its length.
template <class T>
std::size_t reference(char* out, T v, Layout layout) {
    char* o = out;
    if (std::isnan(v)) return std::string_view(layout == Layout::Repr ? "nan" : "NaN").copy(out, 3);
    if (std::isinf(v)) return std::string_view(v < 0 ? "-inf" : "inf").copy(out, v < 0 ? 4 : 3);
    char buf[64];
    const char* last = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific).ptr;
    const char* first = buf;
    if (*first == '-') {
        *o++ = '-';
        ++first;
    }
    const char* e = last - 3;
    while (*e != 'e') --e;
    int exp = 0;
    for (const char* p = e + 2; p != last; ++p) exp = exp * 10 + (*p - '0');
    if (e[1] == '-') exp = -exp;
    char digits[24];
    digits[0] = *first;
    int n = 1;
    for (const char* p = first + 2; p < e; ++p) digits[n++] = *p;
    if (digits[0] == '0') {
        o = std::copy_n("0.0", 3, o);
    } else if (exp >= 16 || exp < -4) {
        *o++ = digits[0];
        if (n > 1) {
            *o++ = '.';
            o = std::copy(digits + 1, digits + n, o);
        }
        *o++ = 'e';
        if (layout == Layout::Repr) {
            *o++ = exp < 0 ? '-' : '+';
            const int a = exp < 0 ? -exp : exp;
            if (a < 10) *o++ = '0';
            o = std::to_chars(o, out + 64, a).ptr;
        } else {
            o = std::to_chars(o, out + 64, exp).ptr;
        }
    } else if (const int point = exp + 1; point <= 0) {
        o = std::copy_n("0.", 2, o);
        o = std::fill_n(o, -point, '0');
        o = std::copy(digits, digits + n, o);
    } else if (point >= n) {
        o = std::copy(digits, digits + n, o);
        o = std::fill_n(o, point - n, '0');
        o = std::copy_n(".0", 2, o);
    } else {
        o = std::copy(digits, digits + point, o);
        *o++ = '.';
        o = std::copy(digits + point, digits + n, o);
    }
    return static_cast<std::size_t>(o - out);
}

// Empty when both layouts of v, and the text written straight from v,
// agree with the reference; otherwise what differs. Also checks that the
// writers stay inside their room.
template <class T>
std::string mismatch(T v) {
    for (Layout layout : {Layout::Text, Layout::Repr}) {
        char want[64];
        const std::size_t n = reference(want, v, layout);
        char got[ahrs::kShortestRoom + 8];
        std::memset(got + ahrs::kShortestRoom, '#', 8);
        const ahrs::Shortest s = ahrs::shortest(v);
        const char* end = layout == Layout::Repr ? ahrs::write_shortest_repr(got, s) : ahrs::write_shortest(got, s);
        const std::string_view have(got, static_cast<std::size_t>(end - got));
        if (have != std::string_view(want, n) || have.size() > ahrs::kShortestMaxText ||
            std::string_view(got + ahrs::kShortestRoom, 8) != "########")
            return std::string(layout == Layout::Repr ? "repr " : "text ") + std::string(have) +
                   " != " + std::string(want, n);
    }
    // The text written straight from the value, as a packet's line does.
    char direct[ahrs::kShortestRoom + 8];
    std::memset(direct + ahrs::kShortestRoom, '#', 8);
    char want[64];
    const std::string_view expected(want, reference(want, v, Layout::Text));
    const std::string_view have(direct, static_cast<std::size_t>(ahrs::write_shortest(direct, v) - direct));
    if (have != expected || std::string_view(direct + ahrs::kShortestRoom, 8) != "########")
        return "direct text " + std::string(have) + " != " + std::string(expected);
    if constexpr (sizeof(T) == 4) {
        // Twice in a run from the wire, as a record's floats are written.
        static const ahrs::TextPiece<32> separators[2] = {{}, ahrs::make_piece<32>(", ")};
        const std::uint32_t bits = std::bit_cast<std::uint32_t>(v);
        const std::uint8_t wire[8] = {std::uint8_t(bits >> 24), std::uint8_t(bits >> 16), std::uint8_t(bits >> 8),
                                      std::uint8_t(bits),       std::uint8_t(bits >> 24), std::uint8_t(bits >> 16),
                                      std::uint8_t(bits >> 8),  std::uint8_t(bits)};
        char run[2 * ahrs::kShortestRoom + 40];
        const std::string_view twice(run,
                                     static_cast<std::size_t>(ahrs::write_float_run(run, wire, 2, separators) - run));
        if (twice != std::string(expected) + ", " + std::string(expected))
            return "run " + std::string(twice) + " != " + std::string(expected) + " twice";
    }
    return {};
}

}  // namespace to_chars_text
