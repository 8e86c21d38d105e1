// The port's four states: what each operation prints and returns in each.
#include <gtest/gtest.h>

#include "device/port.hpp"
#include "reference/reading_text.hpp"
#include "test_device_support.hpp"

using namespace device_test;
using ahrs::Port;

namespace {

const std::string kNotStreaming = "SerialPortError: Error { kind: InvalidInput, description: \"Port not streaming\" }";

const ahrs::AHRSError& ahrs_error(const ahrs::PortError& e) { return std::get<ahrs::AHRSError>(e); }

// start_stream then configure: both refused with the same message.
Printed refuse_twice(Port& port) {
    Printed p;
    capturing(p, [&] { return port.start_stream().ok() && port.configure().ok(); });
    return p;
}

TEST(PortStates, ReadBeforeStartStreamFailsSilentlyThenPacketsArrive) {
    Pty pty;
    Port port = Port::open(pty.path, 115200).value();
    pty.send(accel_packet(1, 2, 3));
    Printed p;
    auto early = capturing(p, [&] { return port.read_packet(); });
    ASSERT_FALSE(early.ok());
    EXPECT_EQ(ahrs_error(early.error()).error(), kNotStreaming);
    EXPECT_EQ(p.out + p.err, "");
    EXPECT_EQ(port.state(), Port::State::Configured);

    ASSERT_TRUE(port.start_stream().ok());
    auto r = capturing(p, [&] { return port.read_packet(); });
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(ahrs::readings_text(*r), kAccelText);
    EXPECT_EQ(port.state(), Port::State::Streaming);
    EXPECT_EQ(p.out + p.err, "");  // serial packets are not announced
}

TEST(PortStates, NotConfiguredPortRefusesEverything) {
    Port port;
    Printed p;
    auto r = capturing(p, [&] { return port.read_packet(); });
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(ahrs_error(r.error()).error(), kNotStreaming);
    EXPECT_EQ(p.out + p.err, "");
    p = refuse_twice(port);
    EXPECT_EQ(p.err, "Port not configured\nPort not configured\n");
    EXPECT_EQ(p.out, "");
    EXPECT_EQ(port.state(), Port::State::NotConfigured);
}

TEST(PortStates, StreamingPortRefusesToStartOrConfigureAgainAndKeepsReading) {
    Pty pty;
    Port port = streaming_port(pty);
    EXPECT_EQ(refuse_twice(port).err, "Port already streaming\nPort already streaming\n");
    EXPECT_EQ(pty.receive(1, 50), Bytes{});  // configure wrote nothing
    EXPECT_EQ(port.state(), Port::State::Streaming);
    pty.send(accel_packet(1, 2, 3));
    auto r = port.read_packet();
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(ahrs::readings_text(*r), kAccelText);
}

TEST(PortStates, FilePortAnnouncesPacketsRefusesStreamingAndEndsWithIoError) {
    TempFile file(accel_packet(1, 2, 3));
    auto opened = Port::open_file(file.path);
    ASSERT_TRUE(opened.ok());
    Port port = std::move(opened).value();
    EXPECT_EQ(port.state(), Port::State::FileStream);
    EXPECT_EQ(refuse_twice(port).err, "Cannot configure file stream\nCannot configure file stream\n");

    Printed p;
    auto r = capturing(p, [&] { return port.read_packet(); });
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(ahrs::readings_text(*r), kAccelText);
    EXPECT_EQ(p.out, "Parsed packet: DataSensor\n");
    EXPECT_EQ(p.err, "");

    for (int i = 0; i < 2; ++i) {  // the end stays the end
        auto end = capturing(p, [&] { return port.read_packet(); });
        ASSERT_FALSE(end.ok());
        const auto& e = ahrs_error(end.error());
        EXPECT_EQ(e.error(), "IOError: Error { kind: UnexpectedEof, message: \"failed to fill whole buffer\" }");
        EXPECT_EQ(e.cause(), ahrs::AHRSError::Cause::Other);
        EXPECT_EQ(p.err, "IOERR: failed to fill whole buffer\n");
        EXPECT_EQ(p.out, "");
    }
}

TEST(PortStates, EmptyFileFailsOnFirstRead) {
    TempFile file({});
    Port port = Port::open_file(file.path).value();
    Printed p;
    EXPECT_FALSE(capturing(p, [&] { return port.read_packet(); }).ok());
    EXPECT_EQ(p.err, "IOERR: failed to fill whole buffer\n");
}

TEST(FileOpen, FailuresNameTheirCauseAndCreateNothing) {
    const std::string missing = "/tmp/ahrs-test-missing-recording";
    const struct {
        std::string path;
        std::string error;
    } cases[] = {
        {missing, "IOError: Os { code: 2, kind: NotFound, message: \"No such file or directory\" }"},
        {std::string("/tmp\0x", 6),
         "IOError: Error { kind: InvalidInput, message: \"file name contained an unexpected NUL byte\" }"},
    };
    for (const auto& c : cases) {
        auto r = Port::open_file(c.path);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().error(), c.error);
    }
    EXPECT_NE(::access(missing.c_str(), F_OK), 0);
}

TEST(PortStates, MovedFromPortActsAsNotConfigured) {
    TempFile file(accel_packet(1, 2, 3));
    Port a = Port::open_file(file.path).value();
    Port b = std::move(a);
    EXPECT_EQ(a.state(), Port::State::NotConfigured);  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(b.state(), Port::State::FileStream);
    Printed p;
    EXPECT_FALSE(capturing(p, [&] { return a.read_packet(); }).ok());  // NOLINT(bugprone-use-after-move)
    EXPECT_TRUE(capturing(p, [&] { return b.read_packet(); }).ok());
}

}  // namespace
