#include "shortest.hpp"

#include "float_text.hpp"

namespace ahrs::float_text {
namespace {

int count_digits(std::uint64_t v) {
    // log10(2) ~ 1233 / 4096 gives the count or one more.
    const int guess = ((64 - std::countl_zero(v | 1)) * 1233) >> 12;
    return guess + (v >= kPowers[guess] ? 1 : 0);
}

// Exactly n digits of v from out, eight at a time: the last eight, the eight
// before them, then what is left (at most four, as v < 2^64). Up to eight
// bytes after them may be overwritten.
inline void write_digits(char* out, std::uint64_t v, int n) {
    if (n <= 8) {
        store_le(out, eight_digits(static_cast<std::uint32_t>(v)) >> (8 * (8 - n)));
        return;
    }
    if (n > 16) {
        const std::uint64_t top = v / 10000000000000000;
        store_le(out, eight_digits(static_cast<std::uint32_t>(top)) >> (8 * (24 - n)));
        out += n - 16;
        v -= top * 10000000000000000;
        n = 16;
    }
    const std::uint64_t high = v / 100000000;
    store_le(out, eight_digits(static_cast<std::uint32_t>(high)) >> (8 * (16 - n)));
    store_le(out + n - 8, eight_digits(static_cast<std::uint32_t>(v - high * 100000000)));
}

char* write_exponent(char* p, int exp, ExponentStyle style) {
    *p++ = 'e';
    if (exp < 0) {
        *p++ = '-';
        exp = -exp;
    } else if (style == ExponentStyle::Repr) {
        *p++ = '+';
    }
    // At most three digits (float64's least exponent is -324): each from a
    // division by a constant, cheaper than a digit word for so few.
    auto e = static_cast<unsigned>(exp);
    if (e >= 100) {
        *p++ = static_cast<char>('0' + e / 100);
        e %= 100;
    } else if (e < 10 && style == ExponentStyle::Bare) {
        *p = static_cast<char>('0' + e);
        return p + 1;
    }
    p[0] = static_cast<char>('0' + e / 10);
    p[1] = static_cast<char>('0' + e % 10);
    return p + 2;
}

}  // namespace

// Positional form for exponents -4 to 15, exponent form outside; the digits
// are written in place and moved by fixed-size copies.
char* write_finite(char* out, std::uint64_t digits, int exponent, ExponentStyle style) {
    const int n = count_digits(digits);
    const int point = n + exponent;  // digits before the decimal point
    const int sci = point - 1;
    if (n <= 8 && sci < 16 && sci >= -4)
        return write_short_positional(out, eight_digits(static_cast<std::uint32_t>(digits)) >> (8 * (8 - n)), n, point);
    if (sci >= 16 || sci < -4) {
        write_digits(out + 1, digits, n);
        out[0] = out[1];
        char* p = out + 1;
        if (n > 1) {
            out[1] = '.';
            p = out + n + 1;
        }
        return write_exponent(p, sci, style);
    }
    if (point <= 0) {  // 0.000ddd, at most three zeros after the point
        std::memcpy(out, "0.000000", 8);
        write_digits(out + 2 - point, digits, n);
        return out + 2 - point + n;
    }
    if (point >= n) {  // ddd000.0
        write_digits(out, digits, n);
        std::memset(out + n, '0', 16);
        std::memcpy(out + point, ".0", 2);
        return out + point + 2;
    }
    write_digits(out, digits, n);  // ddd.ddd
    char tail[16];
    std::memcpy(tail, out + point, sizeof tail);
    out[point] = '.';
    std::memcpy(out + point + 1, tail, sizeof tail);
    return out + n + 1;
}

namespace {

[[gnu::always_inline]] inline char* lay_out(char* out, const Shortest& s, ExponentStyle style) {
    if (s.kind == ShortestKind::NaN) {
        std::memcpy(out, style == ExponentStyle::Repr ? "nan" : "NaN", 4);
        return out + 3;
    }
    if (s.negative) *out++ = '-';
    switch (s.kind) {
        case ShortestKind::Zero: std::memcpy(out, "0.0", 4); return out + 3;
        case ShortestKind::Infinite: std::memcpy(out, "inf", 4); return out + 3;
        default: return write_finite(out, s.digits, s.exponent, style);
    }
}

template <class T>
[[gnu::always_inline]] inline Shortest shortest_of(T v) {
    using Bits = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
    Shortest s = classify<Bits, std::numeric_limits<T>::digits - 1>(std::bit_cast<Bits>(v));
    if (s.kind == ShortestKind::Finite) find_digits(s, v);
    return s;
}

}  // namespace

char* write_special(char* out, const Shortest& s) { return lay_out(out, s, ExponentStyle::Bare); }

char* write_short_exponent(char* out, std::uint64_t word, int n, int sci) {
    store_le(out + 1, word);
    out[0] = out[1];
    char* p = out + 1;
    if (n > 1) {
        out[1] = '.';
        p = out + n + 1;
    }
    return write_exponent(p, sci, ExponentStyle::Bare);
}

char* write_untrimmed(char* out, Shortest s) {
    while (s.digits % 10 == 0) {
        s.digits /= 10;
        ++s.exponent;
    }
    return write_finite(out, s.digits, s.exponent, ExponentStyle::Bare);
}

}  // namespace ahrs::float_text

namespace ahrs {

using float_text::count_digits;
using float_text::ExponentStyle;
using float_text::lay_out;
using float_text::shortest_of;
using float_text::store_le;
using float_text::write_digits;
using float_text::write_value;

Shortest shortest(float v) { return shortest_of(v); }
Shortest shortest(double v) { return shortest_of(v); }

char* write_shortest(char* out, const Shortest& s) { return lay_out(out, s, ExponentStyle::Bare); }
// A packet's line is mostly float32s: their digit search is inlined too.
[[gnu::flatten]] char* write_shortest(char* out, float v) { return write_value(out, v); }
char* write_shortest(char* out, double v) { return write_value(out, v); }

char* write_float_run(char* out, const std::uint8_t* wire, std::size_t count, const TextPiece<32>* separators) {
    return float_text::write_float_run(out, wire, count, separators);
}
char* write_shortest_repr(char* out, const Shortest& s) { return lay_out(out, s, ExponentStyle::Repr); }

char* write_unsigned(char* out, std::uint64_t v) {
    if (v < 10) {  // most flags and modes
        *out = static_cast<char>('0' + v);
        return out + 1;
    }
    if (v < 100000000) {
        // Leading zeros are the word's lowest zero bytes.
        const std::uint64_t lanes = digit_lanes(static_cast<std::uint32_t>(v));
        const int lead = static_cast<int>(static_cast<unsigned>(__builtin_ctzll(lanes)) / 8);
        store_le(out, (lanes + float_text::kZeros) >> (8 * lead));
        return out + 8 - lead;
    }
    const int n = count_digits(v);
    write_digits(out, v, n);
    return out + n;
}

std::string_view shortest_digits_source() { return float_text::kSource; }

}  // namespace ahrs
