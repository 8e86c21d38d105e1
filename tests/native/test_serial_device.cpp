// Opening a serial device: exclusive use, line settings, any baud rate,
// queued input discarded, and the errors of a failed open.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <termios.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "device/port.hpp"
#include "device/serial_device.hpp"
#include "reference/reading_text.hpp"
#include "test_device_support.hpp"

using namespace device_test;
using ahrs::Port;

namespace {

int exclusive_flag(int fd) {
    int on = -1;
    ::ioctl(fd, TIOCGEXCL, &on);
    return on;
}

TEST(SerialOpen, SecondOpenOfAHeldDeviceFailsEvenForRootUntilReleased) {
    Pty pty;
    std::optional<Port> holder(Port::open(pty.path, 115200).value());
    EXPECT_EQ(exclusive_flag(pty.slave), 1);

    auto second = Port::open(pty.path, 115200);
    ASSERT_FALSE(second.ok());
    EXPECT_EQ(second.error().error(),
              "SerialPortError: Error { kind: Io(ResourceBusy), description: \"Device or resource busy\" }");
    EXPECT_EQ(exclusive_flag(pty.slave), 1) << "a refused open must leave the holder's claim alone";

    holder.reset();
    EXPECT_EQ(exclusive_flag(pty.slave), 0);
    EXPECT_TRUE(Port::open(pty.path, 115200).ok());
}

TEST(SerialOpen, FailuresNameTheirCause) {
    TempFile regular({});
    const struct {
        std::string path;
        std::string error;
    } cases[] = {
        {"/dev/ahrs-test-missing", "Error { kind: Io(NotFound), description: \"No such file or directory\" }"},
        {regular.path,
         "Error { kind: NoDevice, description: \"Not a serial device: Inappropriate ioctl for device\" }"},
        {"/tmp", "Error { kind: Io(IsADirectory), description: \"Is a directory\" }"},
        {std::string("/dev/pts/0\0x", 12),
         "Error { kind: InvalidInput, description: \"file name contained an unexpected NUL byte\" }"},
    };
    for (const auto& c : cases) {
        auto r = Port::open(c.path, 9600);
        ASSERT_FALSE(r.ok()) << c.path;
        EXPECT_EQ(r.error().error(), "SerialPortError: " + c.error);
        EXPECT_EQ(r.error().cause(), ahrs::AHRSError::Cause::Other);
    }
}

TEST(SerialOpen, LineIsRaw8N1WithoutFlowControl) {
    Pty pty;
    Port port = Port::open(pty.path, 115200).value();
    termios t{};
    ASSERT_EQ(::tcgetattr(pty.slave, &t), 0);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CREAD | CLOCAL),
              static_cast<tcflag_t>(CS8 | CREAD | CLOCAL));
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
}

// Standard rates and others alike; the pty keeps whatever rate it is given.
TEST(SerialOpen, AnyBaudRateIsAppliedAndReadsBack) {
    for (std::uint32_t baud : {0u, 9600u, 115200u, 250000u, 31250u, 1000000u, 12345678u}) {
        Pty pty;
        auto port = Port::open(pty.path, baud);
        ASSERT_TRUE(port.ok()) << baud << ": " << port.error().error();
        auto speed = ahrs::line_speed(pty.slave);
        ASSERT_TRUE(speed.ok());
        EXPECT_EQ(*speed, (ahrs::LineSpeed{baud, baud})) << baud;
    }
}

TEST(SerialOpen, InputQueuedBeforeTheOpenIsDiscarded) {
    Pty pty;
    pty.send({'j', 'u', 'n', 'k', '\n'});
    pollfd p{pty.slave, POLLIN, 0};  // the line has reached the device's input queue
    ASSERT_EQ(::poll(&p, 1, 1000), 1);

    Port port = streaming_port(pty);
    pty.send(accel_packet(1, 2, 3));
    Printed printed;
    auto r = capturing(printed, [&] { return port.read_packet(); });
    ASSERT_TRUE(r.ok()) << printed.err;
    EXPECT_EQ(r->size(), 1u) << "the junk was not discarded: " << printed.err;
}

void ignore_signal(int) {}

// A timer signal every few milliseconds, caught by a handler without
// SA_RESTART (as an interpreter installs them), interrupts every wait. A
// watchdog stops the signals after a few seconds, so a wait that restarts
// from scratch on each signal fails the test instead of hanging it.
class SerialWaitUnderSignals : public testing::Test {
protected:
    void SetUp() override {
        struct sigaction sa{};
        sa.sa_handler = ignore_signal;
        sigemptyset(&sa.sa_mask);
        ASSERT_EQ(::sigaction(SIGALRM, &sa, &old_), 0);
        const itimerval every{{0, 3000}, {0, 3000}};
        ASSERT_EQ(::setitimer(ITIMER_REAL, &every, nullptr), 0);
        // The watchdog starts with the signal blocked, so every one lands
        // on the reading thread.
        sigset_t alarm, before;
        sigemptyset(&alarm);
        sigaddset(&alarm, SIGALRM);
        ::pthread_sigmask(SIG_BLOCK, &alarm, &before);
        watchdog_ = std::jthread([this](std::stop_token stop) {
            std::mutex m;
            std::unique_lock lock(m);
            if (!std::condition_variable_any().wait_for(lock, stop, std::chrono::seconds(5), [] { return false; })) {
                if (stop.stop_requested()) return;
                stop_signals();
                fired_ = true;
            }
        });
        ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    }
    void TearDown() override {
        watchdog_.request_stop();
        watchdog_.join();
        stop_signals();
        ::sigaction(SIGALRM, &old_, nullptr);
        EXPECT_FALSE(fired_) << "the waits never ended while signals kept coming";
    }
    static void stop_signals() {
        const itimerval off{};
        ::setitimer(ITIMER_REAL, &off, nullptr);
    }
    struct sigaction old_{};
    std::jthread watchdog_;
    std::atomic<bool> fired_{false};
};

TEST_F(SerialWaitUnderSignals, WaitsEndOnlyByTimeOutOrData) {
    Pty pty;
    Port port = streaming_port(pty);
    Printed p;
    auto silent = capturing(p, [&] { return port.read_packet(); });
    ASSERT_FALSE(silent.ok());
    EXPECT_EQ(p.err, "IOERR: Operation timed out\n");

    pty.send(accel_packet(1, 2, 3));
    auto r = capturing(p, [&] { return port.read_packet(); });
    ASSERT_TRUE(r.ok()) << p.err;
    EXPECT_EQ(ahrs::readings_text(*r), kAccelText);
}

}  // namespace
