#include "repr_number.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace ahrs {
namespace {

// `sci` is to_chars' shortest scientific form, "[-]d[.ddd]e±xx[x]". Runs for
// every item of every exported packet, so it works in place on the bytes
// to_chars wrote and appends the result once.
void lay_out(std::string& out, char* sci, char* last) {
    char text[48];
    char* o = text;
    if (*sci == '-') *o++ = *sci++;
    char* e = last - 4;  // the exponent is a sign and two or three digits
    if (*e != 'e') --e;
    int exp = 0;
    for (const char* p = e + 2; p != last; ++p) exp = exp * 10 + (*p - '0');
    if (e[1] == '-') exp = -exp;
    // The digits, contiguous: move the first over the point.
    char* digits = sci;
    if (sci[1] == '.') {
        sci[1] = sci[0];
        digits = sci + 1;
    }
    const int n = static_cast<int>(e - digits);
    if (exp >= 16 || exp < -4) {
        *o++ = digits[0];
        if (n > 1) {
            *o++ = '.';
            o = std::copy(digits + 1, digits + n, o);
        }
        *o++ = 'e';
        *o++ = exp < 0 ? '-' : '+';
        const int mag = exp < 0 ? -exp : exp;
        if (mag >= 100) *o++ = static_cast<char>('0' + mag / 100);
        *o++ = static_cast<char>('0' + mag / 10 % 10);
        *o++ = static_cast<char>('0' + mag % 10);
    } else if (exp < 0) {
        o = std::copy_n("0.000", 1 - exp, o);
        o = std::copy(digits, digits + n, o);
    } else if (exp + 1 >= n) {
        o = std::copy(digits, digits + n, o);
        o = std::fill_n(o, exp + 1 - n, '0');
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
