#pragma once
// The shortest decimal that reads back to the same float32 or float64, and
// its text in two layouts. Splitting the digits from the layout lets a caller
// convert a whole row of values first and lay the text out afterwards, and
// lets other layouts reuse the same digits.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "text_piece.hpp"

namespace ahrs {

enum class ShortestKind : std::uint8_t { Finite, Zero, Infinite, NaN };

// value = (negative ? -1 : 1) * digits * 10^exponent, digits free of trailing
// zeros, for Finite; Zero and Infinite keep only the sign.
struct Shortest {
    std::uint64_t digits = 0;
    std::int32_t exponent = 0;
    ShortestKind kind = ShortestKind::Zero;
    bool negative = false;
};

Shortest shortest(float v);
Shortest shortest(double v);

// The writers below may use up to this many bytes at `out`, past the end of
// the text they return: the layout copies fixed-size pieces.
constexpr std::size_t kShortestRoom = 48;
// No text is longer than this ("-2.2250738585072014e-308").
constexpr std::size_t kShortestMaxText = 24;

// The system's layout: at least one digit after the point, exponent form at
// 1e16 and above or (non-zero) below 1e-4, a bare exponent: 1.0, 0.1, -0.0,
// 5e-5, 1e16, NaN, inf, -inf. Returns the end of the text.
char* write_shortest(char* out, const Shortest& s);
// The same text straight from the value, its digits found on the way and
// never stored: a packet's line is little else, so this is its hot path.
char* write_shortest(char* out, float v);
char* write_shortest(char* out, double v);
// A run of `count` float32s as a record's line holds them: read big-endian
// from `wire`, each after the i-th of `separators` but the first. The line
// itself takes the same body inline (float_text.hpp).
char* write_float_run(char* out, const std::uint8_t* wire, std::size_t count, const TextPiece<32>* separators);
// Python's repr layout with the same digits and thresholds: 1.0, 0.1, -0.0,
// 1e-05, 1e+16, nan, inf, -inf. JSON has no non-finite numbers: a JSON writer
// must decide those itself.
char* write_shortest_repr(char* out, const Shortest& s);

// Plain decimal of an unsigned integer (up to 20 digits), same room rule.
char* write_unsigned(char* out, std::uint64_t v);

// Where the digits come from in this build: "Dragonbox" or "std::to_chars".
std::string_view shortest_digits_source();

}  // namespace ahrs
