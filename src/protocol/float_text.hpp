#pragma once
// A float's text in the system's layout straight from its bits, its digits
// found on the way and never stored. The printed line is little else, so
// its writer takes this body inline, and a record's run of float32s pays for
// no call per value; the rare forms (NaN, infinities, zeros, exponent form,
// nine digits) stay out of line so that the hot loop keeps its registers.
// Every file that includes it is built with the same digit source (the
// build sets AHRS_HAVE_DRAGONBOX for each of them), as its inline bodies
// must be one definition.
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>
#include <type_traits>

#if AHRS_HAVE_DRAGONBOX
#include <dragonbox/dragonbox.h>
#else
#include <charconv>
#include <cmath>
#endif

#include "digit_lanes.hpp"
#include "flat_decode.hpp"
#include "shortest.hpp"
#include "text_piece.hpp"

namespace ahrs::float_text {

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

inline constexpr std::string_view kSource = "Dragonbox";

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

inline constexpr std::string_view kSource = "std::to_chars";

#endif

inline constexpr std::uint64_t kPowers[] = {
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

inline constexpr std::uint64_t kZeros = 0x3030303030303030;

[[gnu::always_inline]] inline std::uint64_t eight_digits(std::uint32_t v) { return digit_lanes(v) + kZeros; }

inline void store_le(char* out, std::uint64_t word) {
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    std::memcpy(out, &word, sizeof word);
}

enum class ExponentStyle { Bare, Repr };  // 5e-5, 1e16 / 5e-05, 1e+16

// Out of line (shortest.cpp): the forms the hot path leaves.
char* write_finite(char* out, std::uint64_t digits, int exponent, ExponentStyle style);
// NaN, infinities and zeros.
char* write_special(char* out, const Shortest& s);
// Digits that may end in zeros.
char* write_untrimmed(char* out, Shortest s);
// The exponent form of at most eight digits, held as the text word of
// write_short_positional; `sci` is the exponent of the first digit.
char* write_short_exponent(char* out, std::uint64_t word, int n, int sci);

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
        return write_short_exponent(out, (lanes + kZeros) >> (8 * lead), n, point - 1);
    }
    if constexpr (kTrimmed) return write_finite(out, s.digits, s.exponent, ExponentStyle::Bare);
    else return write_untrimmed(out, s);
}

// A run of `count` float32s as a record's line holds them: read big-endian
// from `wire`, each after the i-th of `separators` but the first.
[[gnu::always_inline]] inline char* write_float_run(char* out, const std::uint8_t* wire, std::size_t count,
                                                    const TextPiece<32>* separators) {
    const std::uint8_t* const end = wire + 4 * count;
    if (wire == end) return out;
    for (;;) {
        out = write_value(out, std::bit_cast<float>(be32(wire)));
        wire += 4;
        if (wire == end) return out;
        out = (++separators)->copy_to(out);
    }
}

}  // namespace ahrs::float_text
