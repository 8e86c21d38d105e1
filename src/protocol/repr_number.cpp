#include "repr_number.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace ahrs {
namespace {

// `sci` is to_chars' shortest scientific form, "[-]d[.ddd]e±xx".
void lay_out(std::string& out, const char* sci, const char* last) {
    char text[48];
    char* o = text;
    if (*sci == '-') *o++ = *sci++;
    const char* e = std::find(sci, last, 'e');
    int exp = 0;
    std::from_chars(e + (e[1] == '+' ? 2 : 1), last, exp);
    char digits[24];
    std::size_t n = 0;
    for (const char* p = sci; p != e; ++p)
        if (*p != '.') digits[n++] = *p;
    if (exp >= 16 || exp < -4) {
        *o++ = digits[0];
        if (n > 1) {
            *o++ = '.';
            o = std::copy(digits + 1, digits + n, o);
        }
        *o++ = 'e';
        *o++ = exp < 0 ? '-' : '+';
        if (std::abs(exp) < 10) *o++ = '0';
        o = std::to_chars(o, text + sizeof text, std::abs(exp)).ptr;
    } else if (exp < 0) {
        o = std::copy_n("0.", 2, o);
        o = std::fill_n(o, -exp - 1, '0');
        o = std::copy(digits, digits + n, o);
    } else if (static_cast<std::size_t>(exp) + 1 >= n) {
        o = std::copy(digits, digits + n, o);
        o = std::fill_n(o, static_cast<std::size_t>(exp) + 1 - n, '0');
        o = std::copy_n(".0", 2, o);
    } else {
        o = std::copy(digits, digits + exp + 1, o);
        *o++ = '.';
        o = std::copy(digits + exp + 1, digits + n, o);
    }
    out.append(text, static_cast<std::size_t>(o - text));
}

template <class T>
void append_any(std::string& out, T v) {
    if (std::isnan(v)) {
        out += "nan";
    } else if (std::isinf(v)) {
        out += v < 0 ? "-inf" : "inf";
    } else {
        char buf[48];
        const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
        lay_out(out, buf, res.ptr);
    }
}

}  // namespace

void append_repr(std::string& out, float v) { append_any(out, v); }
void append_repr(std::string& out, double v) { append_any(out, v); }

}  // namespace ahrs
