// Shortest digits and their two layouts, held against std::to_chars.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <random>
#include <string>

#include "floats/to_chars_text.hpp"
#include "protocol/digit_lanes.hpp"
#include "protocol/shortest.hpp"

namespace ahrs {
namespace {

// The text a writer gives, checking that it stays inside the room it may use.
template <class Writer>
std::string written(Writer write, const Shortest& s) {
    char buf[kShortestRoom + 8];
    std::memset(buf, '#', sizeof buf);
    char* end = write(buf, s);
    EXPECT_LE(static_cast<std::size_t>(end - buf), kShortestMaxText);
    EXPECT_EQ(std::string(buf + kShortestRoom, 8), "########");
    return std::string(buf, end);
}

template <class T>
std::string text(T v) {
    return written([](char* out, const Shortest& s) { return write_shortest(out, s); }, shortest(v));
}
template <class T>
std::string repr(T v) {
    return written(write_shortest_repr, shortest(v));
}

TEST(Shortest, ReprLayoutAtEachWidth) {
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        double value;  // float32 rows hold the float32 nearest to it
        std::string f32;
        std::string f64;
    } rows[] = {
        {0.9388715, "0.9388715", "0.9388715"},
        {1e-5, "1e-05", "1e-05"},
        {-1.5e-7, "-1.5e-07", "-1.5e-07"},
        {-0.0, "-0.0", "-0.0"},
        {100.0, "100.0", "100.0"},
        {1e16, "1e+16", "1e+16"},
        {1.5e300, "inf", "1.5e+300"},
        {5e-324, "0.0", "5e-324"},
        {std::numeric_limits<double>::max(), "inf", "1.7976931348623157e+308"},
        {std::numeric_limits<float>::denorm_min(), "1e-45", "1.401298464324817e-45"},
        {std::numeric_limits<double>::quiet_NaN(), "nan", "nan"},
        {-inf, "-inf", "-inf"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.f64);
        EXPECT_EQ(repr(static_cast<float>(row.value)), row.f32);
        EXPECT_EQ(repr(row.value), row.f64);
    }
}

// A record's float32s from the wire in one run: each value after its own
// separator, and digits that come untrimmed (ending in zeros) laid out in
// every form, across the switches between plain and exponent form.
TEST(Shortest, FloatRunFromTheWire) {
    const float values[] = {100.0f, 1e8f,  123456789.0f, 16777216.0f,   1e-4f,  1e-5f, 1e15f,
                            1e16f,  -0.5f, -0.0f,        3.4028235e38f, 1e-45f, 0.3f};
    const std::string want =
        "100.0 a: 100000000.0 b: 123456790.0 c: 16777216.0 d: 0.0001 e: 1e-5 f: 1000000000000000.0 g: 1e16 h: -0.5 i: "
        "-0.0 j: "
        "3.4028235e38 k: 1e-45 l: 0.3";
    constexpr std::size_t n = std::size(values);
    TextPiece<32> separators[n];
    std::uint8_t wire[4 * n];
    for (std::size_t i = 0; i < n; ++i) {
        separators[i] = make_piece<32>(std::string(" ") + static_cast<char>('a' + i - 1) + ": ");
        const auto bits = std::bit_cast<std::uint32_t>(values[i]);
        for (int b = 0; b < 4; ++b) wire[4 * i + b] = static_cast<std::uint8_t>(bits >> (24 - 8 * b));
    }
    char buf[n * (32 + kShortestRoom)];
    EXPECT_EQ(std::string(buf, write_float_run(buf, wire, n, separators)), want);
    EXPECT_EQ(write_float_run(buf, wire, 0, separators), buf);
}

// Both digit splits against plain division, over every value below 10^8
// taken with a stride, and the ends.
TEST(Shortest, DigitLanesGiveEachDigitInItsByte) {
    const auto expected = [](std::uint32_t v) {
        std::uint64_t word = 0;
        for (int i = 7; i >= 0; --i, v /= 10) word |= std::uint64_t{v % 10} << (8 * i);
        return word;
    };
    for (std::uint64_t v = 0; v < 100000000; v += v < 100000 || v > 99900000 ? 1 : 997) {
        const auto u = static_cast<std::uint32_t>(v);
        ASSERT_EQ(digit_lanes_portable(u), expected(u)) << u;
#if defined(__SSE2__)
        ASSERT_EQ(digit_lanes_sse2(u), expected(u)) << u;
#endif
    }
}

TEST(Shortest, UnsignedIntegers) {
    const struct {
        std::uint64_t value;
        std::string text;
    } rows[] = {
        {0, "0"},
        {7, "7"},
        {10, "10"},
        {65535, "65535"},
        {99999999, "99999999"},
        {100000000, "100000000"},
        {1234567890123456789u, "1234567890123456789"},
        {std::numeric_limits<std::uint64_t>::max(), "18446744073709551615"},
    };
    for (const auto& row : rows) {
        char buf[kShortestRoom];
        char* end = write_unsigned(buf, row.value);
        EXPECT_EQ(std::string(buf, end), row.text);
    }
}

// CI's share of the exhaustive check (make verify-floats): float32 values
// spread evenly over all bit patterns and random float64 bit patterns, each
// in both layouts, against the text built from std::to_chars.
TEST(Shortest, AgreesWithToCharsOnASample) {
    std::mt19937_64 random(20261210);
    const std::uint64_t stride = 2048;
    for (std::uint64_t bits = random() % stride; bits < (std::uint64_t{1} << 32); bits += stride) {
        const auto v = std::bit_cast<float>(static_cast<std::uint32_t>(bits));
        if (auto m = to_chars_text::mismatch(v); !m.empty()) FAIL() << "float32 bits " << bits << ": " << m;
    }
    for (int i = 0; i < (1 << 20); ++i) {
        const std::uint64_t bits = random();
        if (auto m = to_chars_text::mismatch(std::bit_cast<double>(bits)); !m.empty())
            FAIL() << "float64 bits " << bits << ": " << m;
    }
    RecordProperty("digits_from", std::string(shortest_digits_source()));
}

}  // namespace
}  // namespace ahrs
