// The host-time sidecar's entries, byte for byte: three zigzag varints of
// changes, so that a later reader decodes exactly what the reader saw.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "protocol/time_sidecar.hpp"

using Bytes = std::vector<std::uint8_t>;

TEST(TimeSidecar, EntriesAreZigzagVarintsOfTheChanges) {
    ahrs::TimeSidecarEncoder enc;
    Bytes out;
    // From zeros: 300 -> 600 = d8 04; 1000 -> 2000 = d0 0f; 5 -> 10 = 0a.
    enc.entry(300, 1000, 1005, out);
    EXPECT_EQ(out, (Bytes{0xd8, 0x04, 0xd0, 0x0f, 0x0a}));
    out.clear();
    // +1 -> 2, a clock that went back by 1 -> 1, the same offset -> 0.
    enc.entry(301, 999, 1004, out);
    EXPECT_EQ(out, (Bytes{0x02, 0x01, 0x00}));
    out.clear();
    // The wall clock set back before the monotonic one: a negative offset.
    enc.entry(301, 999, 989, out);
    EXPECT_EQ(out, (Bytes{0x00, 0x00, 0x1d}));  // -15 -> 29
}

TEST(TimeSidecar, VarintsAtTheEdgesOfTheRange) {
    struct Case {
        std::int64_t value;
        Bytes bytes;
    };
    const Case cases[] = {
        {0, {0x00}},
        {-1, {0x01}},
        {63, {0x7e}},
        {-64, {0x7f}},
        {64, {0x80, 0x01}},
        {INT64_MAX, {0xfe, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}},
        {INT64_MIN, {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}},
    };
    for (const Case& c : cases) {
        Bytes out;
        ahrs::put_signed_varint(c.value, out);
        EXPECT_EQ(out, c.bytes) << c.value;
    }
}
