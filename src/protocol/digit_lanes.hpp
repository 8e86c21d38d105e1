#pragma once
// Eight decimal digits of v < 10^8, leading zeros included, as the bytes of
// a little-endian word (values 0 to 9, not yet text), first digit in the
// lowest byte: every digit of a value at once, with no loop over them.
// The portable split serves machines without SSE2 (ARM boards, for one);
// it is built everywhere so that it is tested where the other one runs.
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ahrs {

// Both halves of four digits, then their pairs, then their single digits
// are split at once in the word's lanes.
[[gnu::always_inline]] inline std::uint64_t digit_lanes_portable(std::uint32_t v) {
    const std::uint64_t fours = v / 10000 | std::uint64_t{v % 10000} << 32;
    const std::uint64_t hundreds = (fours * 10486 >> 20) & 0x0000007F0000007F;  // each lane / 100
    const std::uint64_t pairs = hundreds | (fours - 100 * hundreds) << 16;
    const std::uint64_t tens = (pairs * 103 >> 10) & 0x000F000F000F000F;  // each lane / 10
    return tens | (pairs - 10 * tens) << 8;
}

#if defined(__SSE2__)
// Each half of four digits is copied into four 16-bit lanes, which are
// divided at once by 1000, 100, 10 and 1 (a multiply by a rounded-up
// reciprocal, then one by a power of two that acts as a per-lane shift);
// each digit is then its lane's quotient less ten times its left neighbour's.
[[gnu::always_inline]] inline std::uint64_t digit_lanes_sse2(std::uint32_t v) {
    const std::uint32_t high = v / 10000;
    const __m128i halves = _mm_cvtsi32_si128(static_cast<int>(high | (v - high * 10000) << 16));
    const __m128i pairs = _mm_unpacklo_epi16(halves, halves);
    const __m128i spread = _mm_slli_epi16(_mm_unpacklo_epi32(pairs, pairs), 2);
    const __m128i quotients =
        _mm_mulhi_epu16(_mm_mulhi_epu16(spread, _mm_setr_epi16(8389, 5243, -13107, -32768, 8389, 5243, -13107, -32768)),
                        _mm_setr_epi16(128, 2048, 2048, -32768, 128, 2048, 2048, -32768));
    const __m128i digits = _mm_sub_epi16(quotients, _mm_slli_epi64(_mm_mullo_epi16(quotients, _mm_set1_epi16(10)), 16));
    return static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_packus_epi16(digits, digits)));
}
#endif

[[gnu::always_inline]] inline std::uint64_t digit_lanes(std::uint32_t v) {
#if defined(__SSE2__)
    return digit_lanes_sse2(v);
#else
    return digit_lanes_portable(v);
#endif
}

}  // namespace ahrs
