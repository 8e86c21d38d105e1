#include <gtest/gtest.h>

#include "protocol/mip_packet.hpp"

TEST(Smoke, ReadsCommandBase) {
    const std::uint8_t bytes[] = {0x75, 0x65, 0x01, 0x02, 0x02, 0x02, 0xE1, 0xC7};
    ahrs::MemorySource src(bytes);
    auto p = ahrs::MipPacket::read(src);
    ASSERT_TRUE(p.ok());
}
