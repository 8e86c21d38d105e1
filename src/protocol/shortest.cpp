#include "shortest.hpp"

#include "digit_lanes.hpp"
#include "flat_decode.hpp"

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

// Untrimmed digits may end in zeros: the float writer finds those in the
// digits' own word at the cost of one bit count, cheaper than their removal.
template <class T, bool kTrimmed = true>
void find_digits(Shortest& s, T v) {
    namespace policy = jkj::dragonbox::policy;
    const auto d = [v] {
        if constexpr (kTrimmed)
            return jkj::dragonbox::to_decimal(v, policy::sign::ignore, policy::trailing_zero::remove);
        else return jkj::dragonbox::to_decimal(v, policy::sign::ignore, policy::trailing_zero::ignore);
    }();
    s.digits = d.significand;
    s.exponent = d.exponent;
}

constexpr std::string_view kSource = "Dragonbox";

#else

// to_chars gives the shortest digits as text ("d.ddde±xx"); read them back,
// always trimmed.
template <class T, bool kTrimmed = true>
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

constexpr std::uint64_t kPowers[] = {
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

int count_digits(std::uint64_t v) {
    // log10(2) ~ 1233 / 4096 gives the count or one more.
    const int guess = ((64 - std::countl_zero(v | 1)) * 1233) >> 12;
    return guess + (v >= kPowers[guess] ? 1 : 0);
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

// Digits that may end in zeros, in the forms the fast path below leaves.
[[gnu::noinline]] char* write_untrimmed(char* out, Shortest s) {
    while (s.digits % 10 == 0) {
        s.digits /= 10;
        ++s.exponent;
    }
    return write_finite(out, s.digits, s.exponent, ExponentStyle::Bare);
}

// The system's layout straight from the value, in one body: the common
// case (at most eight digits, positional) never leaves it. A float32's
// digits come untrimmed: the zeros they end in are the top zero bytes of
// their word, as leading zeros are its lowest.
template <class T>
[[gnu::always_inline]] inline char* write_value(char* out, T v) {
    using Bits = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
    constexpr int kWidth = static_cast<int>(sizeof(Bits) * 8);
    constexpr int kSignificandBits = std::numeric_limits<T>::digits - 1;
    constexpr Bits kExponentMask = (Bits{1} << (kWidth - 1)) - (Bits{1} << kSignificandBits);
    constexpr bool kTrimmed = sizeof(T) == 8;  // a float64's zeros could run past one word
    const Bits bits = std::bit_cast<Bits>(v);
    // Zero, infinities and NaN in one unsigned comparison: the magnitude less
    // one wraps around for zero, and is at least the mask's less one for the
    // others.
    if (Bits((bits & ~(Bits{1} << (kWidth - 1))) - 1) >= kExponentMask - 1) [[unlikely]]
        return write_special(out, classify<Bits, kSignificandBits>(bits));
    if (bits >> (kWidth - 1)) *out++ = '-';
    Shortest s;
    find_digits<T, kTrimmed>(s, v);
    if (!kTrimmed && s.digits >= 100000000) [[unlikely]] {
        // Nine digits, often eight and a zero.
        const std::uint64_t tenth = s.digits / 10;
        if (tenth * 10 == s.digits) {
            s.digits = tenth;
            ++s.exponent;
        }
    }
    if (s.digits < 100000000) [[likely]] {
        // The digits are never zero, so neither is their word.
        const std::uint64_t lanes = digit_lanes(static_cast<std::uint32_t>(s.digits));
        const int lead = static_cast<int>(static_cast<unsigned>(__builtin_ctzll(lanes)) / 8);
        const int trail = kTrimmed ? 0 : static_cast<int>(static_cast<unsigned>(__builtin_clzll(lanes)) / 8);
        const int point = 8 - lead + s.exponent;
        const int n = 8 - lead - trail;
        if (point <= 16 && point >= -3) return write_short_positional(out, (lanes + kZeros) >> (8 * lead), n, point);
        return write_finite(out, s.digits / kPowers[8 - lead - n], point - n, ExponentStyle::Bare);
    }
    if constexpr (kTrimmed) return write_finite(out, s.digits, s.exponent, ExponentStyle::Bare);
    else return write_untrimmed(out, s);
}

}  // namespace

Shortest shortest(float v) { return shortest_of(v); }
Shortest shortest(double v) { return shortest_of(v); }

char* write_shortest(char* out, const Shortest& s) { return lay_out(out, s, ExponentStyle::Bare); }
// A packet's line is mostly float32s: their digit search is inlined too.
[[gnu::flatten]] char* write_shortest(char* out, float v) { return write_value(out, v); }
char* write_shortest(char* out, double v) { return write_value(out, v); }

[[gnu::flatten]] char* write_float_run(char* out, const std::uint8_t* wire, std::size_t count,
                                       const TextPiece<32>* separators) {
    for (std::size_t i = 0; i < count; ++i, wire += 4) {
        if (i) out = separators[i].copy_to(out);
        out = write_value(out, std::bit_cast<float>(be32(wire)));
    }
    return out;
}
char* write_shortest_repr(char* out, const Shortest& s) { return lay_out(out, s, ExponentStyle::Repr); }

char* write_unsigned(char* out, std::uint64_t v) {
    const int n = v == 0 ? 1 : count_digits(v);
    write_digits(out, v, n);
    return out + n;
}

std::string_view shortest_digits_source() { return kSource; }

}  // namespace ahrs
