#include "shortest.hpp"

#include <bit>
#include <cstring>
#include <limits>

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
    else if (magnitude == 0)
        s.kind = ShortestKind::Zero;
    else
        s.kind = ShortestKind::Finite;
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

constexpr char kPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

int count_digits(std::uint64_t v) {
    static constexpr std::uint64_t kPowers[] = {
        1ull, 10ull, 100ull, 1000ull, 10000ull, 100000ull, 1000000ull, 10000000ull, 100000000ull,
        1000000000ull, 10000000000ull, 100000000000ull, 1000000000000ull, 10000000000000ull,
        100000000000000ull, 1000000000000000ull, 10000000000000000ull, 100000000000000000ull,
        1000000000000000000ull, 10000000000000000000ull,
    };
    // log10(2) ~ 1233 / 4096 gives the count or one more.
    const int guess = ((64 - std::countl_zero(v | 1)) * 1233) >> 12;
    return guess + (v >= kPowers[guess] ? 1 : 0);
}

// Exactly n digits of v ending at out + n, two at a time; 32-bit arithmetic
// once what is left fits, as all float32 digits do.
void write_digits(char* out, std::uint64_t v, int n) {
    char* p = out + n;
    while (v >= (std::uint64_t{1} << 32)) {
        const std::uint64_t q = v / 100;
        p -= 2;
        std::memcpy(p, kPairs + 2 * (v - q * 100), 2);
        v = q;
    }
    auto w = static_cast<std::uint32_t>(v);
    while (w >= 100) {
        const std::uint32_t q = w / 100;
        p -= 2;
        std::memcpy(p, kPairs + 2 * (w - q * 100), 2);
        w = q;
    }
    if (w >= 10) std::memcpy(p - 2, kPairs + 2 * w, 2);
    else p[-1] = static_cast<char>('0' + w);
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
    if (exp >= 100) {
        *p++ = static_cast<char>('0' + exp / 100);
        exp %= 100;
        std::memcpy(p, kPairs + 2 * exp, 2);
        return p + 2;
    }
    if (exp >= 10 || style == ExponentStyle::Repr) {
        std::memcpy(p, kPairs + 2 * exp, 2);
        return p + 2;
    }
    *p++ = static_cast<char>('0' + exp);
    return p;
}

// Positional form for exponents -4 to 15, exponent form outside; the digits
// are written in place and moved by fixed-size copies.
char* write_finite(char* out, std::uint64_t digits, int exponent, ExponentStyle style) {
    const int n = count_digits(digits);
    const int point = n + exponent;  // digits before the decimal point
    const int sci = point - 1;
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

char* lay_out(char* out, const Shortest& s, ExponentStyle style) {
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

}  // namespace

Shortest shortest(float v) {
    Shortest s = classify<std::uint32_t, 23>(std::bit_cast<std::uint32_t>(v));
    if (s.kind == ShortestKind::Finite) find_digits(s, v);
    return s;
}

Shortest shortest(double v) {
    Shortest s = classify<std::uint64_t, 52>(std::bit_cast<std::uint64_t>(v));
    if (s.kind == ShortestKind::Finite) find_digits(s, v);
    return s;
}

char* write_shortest(char* out, const Shortest& s) { return lay_out(out, s, ExponentStyle::Bare); }
char* write_shortest_repr(char* out, const Shortest& s) { return lay_out(out, s, ExponentStyle::Repr); }

char* write_unsigned(char* out, std::uint64_t v) {
    const int n = v == 0 ? 1 : count_digits(v);
    write_digits(out, v, n);
    return out + n;
}

std::string_view shortest_digits_source() { return kSource; }

}  // namespace ahrs
