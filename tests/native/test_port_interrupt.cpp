// Signals that cut a port's blocking calls short. Signals arrive as an
// interpreter's handlers leave them (no SA_RESTART): each blocked call sees
// EINTR and asks the check the caller handed it. A check that says stop ends the call
// with an error whose cause is Interrupted, silently, the port unchanged; a
// check that says go on (or none at all) leaves the call to end as usual.
#include <gtest/gtest.h>
#include <pthread.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <thread>

#include "device/interrupts.hpp"
#include "device/port.hpp"
#include "reference/reading_text.hpp"
#include "test_device_support.hpp"

using namespace device_test;
using ahrs::AHRSError;
using ahrs::Port;

namespace {

std::atomic<int> g_signals{0};

// SIGUSR1 to this thread every 10 ms for the storm's lifetime.
class SignalStorm {
public:
    SignalStorm() : target_(::pthread_self()) {
        struct sigaction sa{};
        sa.sa_handler = [](int) { ++g_signals; };
        sigemptyset(&sa.sa_mask);
        ::sigaction(SIGUSR1, &sa, &saved_);
        thread_ = std::jthread([this](std::stop_token stop) {
            while (!stop.stop_requested()) {
                ::pthread_kill(target_, SIGUSR1);
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
    }
    // Joining returns through the kernel, which delivers what is pending
    // before the old disposition comes back.
    ~SignalStorm() {
        thread_.request_stop();
        thread_.join();
        ::sigaction(SIGUSR1, &saved_, nullptr);
    }

private:
    pthread_t target_;
    struct sigaction saved_{};
    std::jthread thread_;
};

constexpr ahrs::InterruptCheck stop{[](void*) { return true; }};
constexpr ahrs::InterruptCheck go_on{[](void*) { return false; }};

// A FIFO in /tmp, removed at the end of the test.
struct Fifo {
    std::string path = "/tmp/ahrs_fifo_" + std::to_string(::getpid());
    Fifo() {
        ::unlink(path.c_str());
        if (::mkfifo(path.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
    }
    ~Fifo() { ::unlink(path.c_str()); }
};

using Call = std::function<std::optional<AHRSError>(ahrs::InterruptCheck)>;

// Runs `call` (giving the port's error, if any) under a storm, handing it `check`.
std::optional<AHRSError> under_signals(ahrs::InterruptCheck check, Printed& printed, const Call& call) {
    const int before = g_signals;
    std::optional<AHRSError> result;
    capturing(printed, [&] {
        SignalStorm storm;
        result = call(check);
        return 0;
    });
    EXPECT_GT(g_signals, before) << "no signal reached the call";
    return result;
}

std::optional<AHRSError> error_of(Port& port, ahrs::InterruptCheck check) {
    auto r = port.read_packet(check);
    if (r) return std::nullopt;
    return std::get<AHRSError>(r.error());
}

struct BlockingCall {
    const char* name;
    Call call;
};

void PrintTo(const BlockingCall& c, std::ostream* os) { *os << c.name; }

class Interrupted : public testing::TestWithParam<BlockingCall> {};

TEST_P(Interrupted, StopsTheCallSilentlyWithItsCause) {
    Printed p;
    auto e = under_signals(stop, p, GetParam().call);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->cause(), AHRSError::Cause::Interrupted) << e->error();
    EXPECT_EQ(p.err, "");
    EXPECT_EQ(p.out, "");
}

INSTANTIATE_TEST_SUITE_P(Calls, Interrupted,
                         testing::Values(BlockingCall{"ReadOfASilentDevice",
                                                      [](ahrs::InterruptCheck check) {
                                                          Pty pty;
                                                          Port port = streaming_port(pty);
                                                          return error_of(port, check);
                                                      }},
                                         BlockingCall{"OpenOfAFifoWithoutWriter",
                                                      [](ahrs::InterruptCheck check) {
                                                          Fifo fifo;
                                                          auto opened = Port::open_file(fifo.path, check);
                                                          return opened ? std::nullopt
                                                                        : std::optional<AHRSError>(opened.error());
                                                      }},
                                         BlockingCall{"ReadOfAFifoWithAnIdleWriter",
                                                      [](ahrs::InterruptCheck check) {
                                                          Fifo fifo;
                                                          const int writer = ::open(fifo.path.c_str(), O_RDWR);
                                                          Port port = Port::open_file(fifo.path).value();
                                                          auto e = error_of(port, check);
                                                          ::close(writer);
                                                          return e;
                                                      }},
                                         // Nobody reads the far end: once it is full, a write waits.
                                         BlockingCall{"ConfigureOnAFullLine",
                                                      [](ahrs::InterruptCheck check) {
                                                          Pty pty;
                                                          Port port = Port::open(pty.path, 115200).value();
                                                          for (int i = 0; i < 100000; ++i)
                                                              if (auto r = port.configure(check); !r)
                                                                  return std::optional<AHRSError>(
                                                                      std::get<AHRSError>(r.error()));
                                                          return std::optional<AHRSError>();
                                                      }}),
                         [](const auto& info) { return std::string(info.param.name); });

// The attempt was waiting for its second sync byte: the first is kept, and
// the next attempt reads the packet whole.
TEST(InterruptedRead, KeepsThePortAndTheBytesItRead) {
    const Bytes packet = accel_packet(1, 2, 3);
    Pty pty;
    Port port = streaming_port(pty);
    pty.send({packet.front()});
    Printed p;
    auto e = under_signals(stop, p, [&](ahrs::InterruptCheck check) { return error_of(port, check); });
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->cause(), AHRSError::Cause::Interrupted);
    EXPECT_EQ(port.state(), Port::State::Streaming);
    pty.send(Bytes(packet.begin() + 1, packet.end()));
    auto r = capturing(p, [&] { return port.read_packet(); });
    ASSERT_TRUE(r.ok()) << p.err;
    EXPECT_EQ(ahrs::readings_text(*r), kAccelText);
}

TEST(InterruptedRead, WithAHandlerThatDoesNotRaiseEndsAsUsual) {
    Pty pty;
    Port port = streaming_port(pty);
    Printed p;
    auto e = under_signals(go_on, p, [&](ahrs::InterruptCheck check) { return error_of(port, check); });
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->cause(), AHRSError::Cause::Other);
    EXPECT_EQ(p.err, "IOERR: Operation timed out\n");
}

}  // namespace
