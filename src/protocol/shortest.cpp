#include "shortest.hpp"

#include <bit>
#include <cstring>
#include <limits>
#include <type_traits>

#if AHRS_HAVE_DRAGONBOX
#include <dragonbox/dragonbox.h>
#else
#include <charconv>
#include <cmath>
#endif

namespace ahrs {
namespace {

// Sign, infinity, NaN and zero from the bits alone; the rest is Finite with
// its digits still to find.
template <class Bits, int kSignificandBits>
Shortest classify(Bits bits) {
    constexpr int kWidth = static_cast<int>(sizeof(Bits) * 8);
    constexpr Bits kExponentMask = (Bits{1} << (kWidth - 1)) - (Bits{1} << kSignificandBits);
    Shortest s;
    s.negative = (bits >> (kWidth - 1)) != 0;
    const Bits magnitude = bits & ~(Bits{1} << (kWidth - 1));
    if ((magnitude & kExponentMask) == kExponentMask)
        s.kind = magnitude == kExponentMask ? ShortestKind::Infinite : ShortestKind::NaN;
    else if (magnitude == 0) s.kind = ShortestKind::Zero;
    else s.kind = ShortestKind::Finite;
    return s;
}

#if AHRS_HAVE_DRAGONBOX

template <class T>
void find_digits(Shortest& s, T v) {
    namespace policy = jkj::dragonbox::policy;
    const auto d = jkj::dragonbox::to_decimal(v, policy::sign::ignore, policy::trailing_zero::remove);
    s.digits = d.significand;
    s.exponent = d.exponent;
}

constexpr std::string_view kSource = "Dragonbox";

#else

// to_chars gives the shortest digits as text ("d.ddde±xx"); read them back.
template <class T>
void find_digits(Shortest& s, T v) {
    char buf[64];
    const char* end = std::to_chars(buf, buf + sizeof buf, std::fabs(v), std::chars_format::scientific).ptr;
    const char* e = end - 3;
    while (*e != 'e') --e;
    std::uint64_t digits = static_cast<std::uint64_t>(buf[0] - '0');
    int fraction = 0;
    for (const char* p = buf + 2; p < e; ++p, ++fraction) digits = digits * 10 + static_cast<std::uint64_t>(*p - '0');
    int exp = 0;
    for (const char* p = e + 2; p != end; ++p) exp = exp * 10 + (*p - '0');
    if (e[1] == '-') exp = -exp;
    exp -= fraction;
    while (digits % 10 == 0) {
        digits /= 10;
        ++exp;
    }
    s.digits = digits;
    s.exponent = exp;
}

constexpr std::string_view kSource = "std::to_chars";

#endif

int count_digits(std::uint64_t v) {
    static constexpr std::uint64_t kPowers[] = {
        1ull,
        10ull,
        100ull,
        1000ull,
        10000ull,
        100000ull,
        1000000ull,
        10000000ull,
        100000000ull,
        1000000000ull,
        10000000000ull,
        100000000000ull,
        1000000000000ull,
        10000000000000ull,
        100000000000000ull,
        1000000000000000ull,
        10000000000000000ull,
        100000000000000000ull,
        1000000000000000000ull,
        10000000000000000000ull,
    };
    // log10(2) ~ 1233 / 4096 gives the count or one more.
    const int guess = ((64 - std::countl_zero(v | 1)) * 1233) >> 12;
    return guess + (v >= kPowers[guess] ? 1 : 0);
}

// Eight decimal digits of v < 10^8, leading zeros included, as the bytes of
// a little-endian word (values 0 to 9, not yet text), first digit in the
// lowest byte: both halves of four digits, then their pairs, then their
// single digits are split at once in the word's lanes.
[[gnu::always_inline]] inline std::uint64_t digit_lanes(std::uint32_t v) {
    const std::uint64_t fours = v / 10000 | std::uint64_t{v % 10000} << 32;
    const std::uint64_t hundreds = (fours * 10486 >> 20) & 0x0000007F0000007F;  // each lane / 100
    const std::uint64_t pairs = hundreds | (fours - 100 * hundreds) << 16;
    const std::uint64_t tens = (pairs * 103 >> 10) & 0x000F000F000F000F;  // each lane / 10
    return tens | (pairs - 10 * tens) << 8;
}

constexpr std::uint64_t kZeros = 0x3030303030303030;

[[gnu::always_inline]] inline std::uint64_t eight_digits(std::uint32_t v) { return digit_lanes(v) + kZeros; }

void store_le(char* out, std::uint64_t word) {
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    std::memcpy(out, &word, sizeof word);
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

enum class ExponentStyle { Bare, Repr };  // 5e-5, 1e16 / 5e-05, 1e+16

char* write_exponent(char* p, int exp, ExponentStyle style) {
    *p++ = 'e';
    if (exp < 0) {
        *p++ = '-';
        exp = -exp;
    } else if (style == ExponentStyle::Repr) {
        *p++ = '+';
    }
    const int n = exp >= 100 ? 3 : exp >= 10 || style == ExponentStyle::Repr ? 2 : 1;
    write_digits(p, static_cast<std::uint64_t>(exp), n);
    return p + n;
}

// Positional forms of at most eight digits (every float32 but the few with
// nine): the digits as one word, stored where they go, split around the
// point by a second store of the same word shifted, so nothing written is
// read back.
[[gnu::always_inline]] inline char* write_short_positional(char* out, std::uint64_t word, int n, int point) {
    if (point <= 0) {  // 0.000ddd, at most three zeros after the point
        std::memcpy(out, "0.000000", 8);
        store_le(out + 2 - point, word);
        return out + 2 - point + n;
    }
    if (point >= n) {  // ddd000.0, up to 16 digits before the point
        store_le(out, n < 8 ? word | kZeros << (8 * n) : word);
        store_le(out + 8, kZeros);
        std::memcpy(out + point, ".0", 2);
        return out + point + 2;
    }
    store_le(out, word);  // ddd.ddd
    out[point] = '.';
    store_le(out + point + 1, word >> (8 * point));
    return out + n + 1;
}

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

// NaN, infinities and zeros, off the hot path.
[[gnu::noinline]] char* write_special(char* out, const Shortest& s) { return lay_out(out, s, ExponentStyle::Bare); }

// The system's layout straight from the value, in one body: the common
// case (at most eight digits, positional) never leaves it.
template <class T>
[[gnu::always_inline]] inline char* write_value(char* out, T v) {
    using Bits = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
    constexpr int kWidth = static_cast<int>(sizeof(Bits) * 8);
    constexpr int kSignificandBits = std::numeric_limits<T>::digits - 1;
    constexpr Bits kExponentMask = (Bits{1} << (kWidth - 1)) - (Bits{1} << kSignificandBits);
    const Bits bits = std::bit_cast<Bits>(v);
    // Zero, infinities and NaN in one unsigned comparison: the magnitude less
    // one wraps around for zero, and is at least the mask's less one for the
    // others.
    if (Bits((bits & ~(Bits{1} << (kWidth - 1))) - 1) >= kExponentMask - 1) [[unlikely]]
        return write_special(out, classify<Bits, kSignificandBits>(bits));
    if (bits >> (kWidth - 1)) *out++ = '-';
    Shortest s;
    find_digits(s, v);
    if (s.digits < 100000000) [[likely]] {
        // The digit count from the digits' own word: its leading zeros are
        // its lowest zero bytes (the digits are never zero).
        const std::uint64_t lanes = digit_lanes(static_cast<std::uint32_t>(s.digits));
        const int lead = std::countr_zero(lanes) / 8;
        const int n = 8 - lead;
        const int point = n + s.exponent;
        if (point <= 16 && point >= -3) return write_short_positional(out, (lanes + kZeros) >> (8 * lead), n, point);
    }
    return write_finite(out, s.digits, s.exponent, ExponentStyle::Bare);
}

}  // namespace

Shortest shortest(float v) { return shortest_of(v); }
Shortest shortest(double v) { return shortest_of(v); }

char* write_shortest(char* out, const Shortest& s) { return lay_out(out, s, ExponentStyle::Bare); }
// A packet's line is mostly float32s: their digit search is inlined too.
[[gnu::flatten]] char* write_shortest(char* out, float v) { return write_value(out, v); }
char* write_shortest(char* out, double v) { return write_value(out, v); }
char* write_shortest_repr(char* out, const Shortest& s) { return lay_out(out, s, ExponentStyle::Repr); }

char* write_unsigned(char* out, std::uint64_t v) {
    const int n = v == 0 ? 1 : count_digits(v);
    write_digits(out, v, n);
    return out + n;
}

std::string_view shortest_digits_source() { return kSource; }

}  // namespace ahrs
