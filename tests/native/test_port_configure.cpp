// The configuration sequence: its exact bytes on the line, and a failed write.
#include <gtest/gtest.h>

#include "device/port.hpp"
#include "test_device_support.hpp"

using namespace device_test;
using ahrs::Port;

namespace {

const Bytes kSequence = {
    0x75, 0x65, 0x01, 0x02, 0x02, 0x02, 0xE1, 0xC7,                    // CommandBase 02 02
    0x75, 0x65, 0x0C, 0x05, 0x05, 0x11, 0x01, 0x01, 0x00, 0x03, 0x19,  // Command3DM 05 11 01 01 00
    0x75, 0x65, 0x0C, 0x05, 0x05, 0x11, 0x01, 0x03, 0x00, 0x05, 0x1D,  // Command3DM 05 11 01 03 00
};

TEST(ConfigSequence, WritesThirtyBytesEachTimeAndStaysConfigured) {
    Pty pty;
    Port port = Port::open(pty.path, 115200).value();
    Printed p;
    ASSERT_TRUE(capturing(p, [&] { return port.configure(); }).ok());
    EXPECT_EQ(pty.receive(kSequence.size()), kSequence);
    ASSERT_TRUE(capturing(p, [&] { return port.configure(); }).ok());
    ASSERT_TRUE(capturing(p, [&] { return port.configure(); }).ok());
    EXPECT_EQ(pty.receive(3 * kSequence.size()), concat({kSequence, kSequence}));
    EXPECT_EQ(p.out + p.err, "");
    EXPECT_EQ(port.state(), Port::State::Configured);
    EXPECT_FALSE(port.read_packet().ok());  // still not streaming
}

TEST(ConfigSequence, FailedWriteIsAnInternalFailureAndThePortStaysConfigured) {
    Pty pty;
    Port port = Port::open(pty.path, 115200).value();
    pty.close_master();
    auto r = port.configure();
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(std::get<ahrs::Panic>(r.error()).message,
              "failed to write configuration packet: Os { code: 5, kind: Uncategorized, message: \"Input/output "
              "error\" }");
    EXPECT_EQ(port.state(), Port::State::Configured);
}

// Nobody reads the far end: once the line's buffers are full a write waits
// out its time-out, and the sequence ends as an internal failure.
TEST(ConfigSequence, WriteThatFindsNoRoomTimesOut) {
    Pty pty;
    Port port = Port::open(pty.path, 115200).value();
    std::optional<ahrs::Panic> panic;
    for (int i = 0; i < 100000 && !panic; ++i)
        if (auto r = port.configure(); !r) panic = std::get<ahrs::Panic>(r.error());
    ASSERT_TRUE(panic.has_value());
    EXPECT_EQ(panic->message,
              "failed to write configuration packet: Custom { kind: TimedOut, error: \"Operation timed out\" }");
    EXPECT_EQ(port.state(), Port::State::Configured);
}

}  // namespace
