// Packets framed in place in a file's read buffer, against MipPacket::read.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "device/buffered_file.hpp"
#include "device/file_packets.hpp"
#include "protocol/packet_view.hpp"
#include "test_device_support.hpp"

namespace ahrs {
namespace {

using namespace device_test;

// Random bytes, and bytes all 0xFF for the largest lane sums; the portable
// sums, which the SSE2 ones stand in for on this machine, held equal too.
TEST(Checksum, WholeSpanEqualsByteByByte) {
    std::mt19937 random(7);
    for (bool full : {false, true})
        for (std::size_t size : {0u, 1u, 2u, 15u, 16u, 17u, 255u, 256u, 257u, 70000u}) {
            SCOPED_TRACE(testing::Message() << size << (full ? " bytes of 0xFF" : " random bytes"));
            Bytes bytes(size);
            for (auto& b : bytes) b = full ? 0xFF : static_cast<std::uint8_t>(random());
            Checksum whole, each;
            whole.feed(0x80);
            each.feed(0x80);
            whole.feed(std::span<const std::uint8_t>(bytes));
            for (auto b : bytes) each.feed(b);
            EXPECT_EQ(whole.value(), each.value());
            const ByteSums fast = byte_sums(bytes.data(), size), plain = byte_sums_portable(bytes.data(), size);
            EXPECT_EQ(fast.sum, plain.sum);
            EXPECT_EQ(fast.weighted, plain.weighted);
        }
}

TEST(WholePacketAt, FramesOnlyWholeWellFormedPackets) {
    const Bytes good = accel_packet(1, 2, 3);
    const Bytes followed = concat({good, {0x75, 0x65}});
    const auto view = whole_packet_at(followed);
    ASSERT_TRUE(view);
    EXPECT_EQ(view->descriptor, Descriptor::DataSensor);
    EXPECT_EQ(view->size, good.size());
    EXPECT_EQ(Bytes(view->payload.begin(), view->payload.end()), Bytes(good.begin() + 4, good.end() - 2));

    Bytes cut(good.begin(), good.end() - 1), bad_sync = good, unknown_set = good;
    bad_sync[1] = 0x66;
    unknown_set[2] = 0x02;
    for (const Bytes& b : {cut, bad_sync, unknown_set, corrupted(good), Bytes{0x75, 0x65, 0x80, 0x00, 0x5A}})
        EXPECT_FALSE(whole_packet_at(b));
}

// Packets of every payload length, so that they end at every offset of the
// 8192-byte buffer, then one with a bad checksum: the same packets and the
// same failure as reading each packet from memory.
TEST(FilePackets, AgreeWithMipPacketReadAcrossBufferRefills) {
    Bytes stream;
    for (int i = 0; i < 400; ++i) {
        Bytes payload(static_cast<std::size_t>((i * 37) % 256));
        for (std::size_t k = 0; k < payload.size(); ++k) payload[k] = static_cast<std::uint8_t>(i + k);
        stream = concat({stream, packet(i % 3 ? Descriptor::DataSensor : Descriptor::CommandBase, payload)});
    }
    stream = concat({stream, corrupted(accel_packet(1, 2, 3)), accel_packet(4, 5, 6)});

    TempFile file(stream);
    auto buffered = BufferedFile::open(file.path);
    ASSERT_TRUE(buffered);
    FilePackets packets(*buffered);
    MemorySource memory(stream);
    for (int n = 0;; ++n) {
        SCOPED_TRACE(n);
        auto want = MipPacket::read(memory);
        auto got = packets.next();
        ASSERT_EQ(bool(got), bool(want));
        if (!want) {
            EXPECT_EQ(got.error().text(), want.error().text());
            EXPECT_EQ(n, 400);
            break;
        }
        EXPECT_EQ(got->descriptor, want->descriptor());
        EXPECT_EQ(Bytes(got->payload.begin(), got->payload.end()), Bytes(want->bytes().begin(), want->bytes().end()));
    }
}

}  // namespace
}  // namespace ahrs
