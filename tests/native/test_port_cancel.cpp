// Ending a port's waits from outside: a cancellation from another thread,
// or the far end hanging up. Each is told apart by the error's cause.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <thread>

#include "device/port.hpp"
#include "test_device_support.hpp"

using namespace device_test;
using ahrs::AHRSError;
using ahrs::Port;

namespace {

struct Interruption {
    const char* name;
    std::function<void(Pty&, ahrs::CancelToken&)> act;
    AHRSError::Cause cause;
    std::string error;
    std::string printed;  // on standard error
};

void PrintTo(const Interruption& in, std::ostream* os) { *os << in.name; }

const Interruption kInterruptions[] = {
    {"Cancel", [](Pty&, ahrs::CancelToken& t) { t.cancel(); }, AHRSError::Cause::Cancelled,
     "IOError: Custom { kind: Other, error: \"Operation cancelled\" }", ""},
    {"HangUp", [](Pty& pty, ahrs::CancelToken&) { pty.close_master(); }, AHRSError::Cause::Disconnected,
     "IOError: Os { code: 5, kind: Uncategorized, message: \"Input/output error\" }",
     "IOERR: Input/output error (os error 5)\n"},
};

struct Link {
    Pty pty;
    std::shared_ptr<ahrs::CancelToken> token = std::make_shared<ahrs::CancelToken>();
    Port port = streaming_port(pty, token);
};

class CancelOrHangUp : public testing::TestWithParam<Interruption> {};

TEST_P(CancelOrHangUp, BeforeTheRead) {
    const auto& in = GetParam();
    Link link;
    link.pty.send({0x75, 0x65});  // bytes at hand do not hide the interruption
    in.act(link.pty, *link.token);
    Printed p;
    auto r = capturing(p, [&] { return link.port.read_packet(); });
    ASSERT_FALSE(r.ok());
    const auto& e = std::get<AHRSError>(r.error());
    EXPECT_EQ(e.cause(), in.cause);
    EXPECT_EQ(e.error(), in.error);
    EXPECT_EQ(p.err, in.printed);
    EXPECT_EQ(p.out, "");
}

// Whether a thread is asleep (here: blocked in its wait on the device).
bool sleeping(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'S';
}

// The interruption comes from another thread while the reader waits on a
// silent device. The read that was waiting at that moment is the one that
// reports it: the wait itself was cut short, not merely the next read.
TEST_P(CancelOrHangUp, DuringABlockedRead) {
    const auto& in = GetParam();
    Link link;
    std::atomic<pid_t> reader_tid{0};
    std::atomic<int> started{0};
    std::vector<AHRSError::Cause> causes;  // one per read, the reader's own
    Printed p;
    int interrupted_read = 0;
    capturing(p, [&] {
        std::jthread reader([&] {
            reader_tid = ::gettid();
            while (causes.size() < 100) {
                ++started;
                auto r = link.port.read_packet();
                causes.push_back(r.ok() ? AHRSError::Cause::Other : std::get<AHRSError>(r.error()).cause());
                if (causes.back() != AHRSError::Cause::Other) break;
            }
        });
        while (reader_tid == 0 || started == 0 || !sleeping(reader_tid))
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        interrupted_read = started;
        in.act(link.pty, *link.token);
        return 0;
    });
    ASSERT_EQ(causes.size(), static_cast<std::size_t>(interrupted_read)) << p.err;
    EXPECT_EQ(causes.back(), in.cause);
    EXPECT_TRUE(p.err.ends_with(in.printed)) << p.err;
}

INSTANTIATE_TEST_SUITE_P(Ways, CancelOrHangUp, testing::ValuesIn(kInterruptions),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CancelToken, IsIdempotentAndVisibleOnItsDescriptor) {
    ahrs::CancelToken token;
    ASSERT_GE(token.fd(), 0);
    pollfd p{token.fd(), POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 0), 0);
    EXPECT_FALSE(token.cancelled());
    token.cancel();
    token.cancel();
    EXPECT_TRUE(token.cancelled());
    EXPECT_EQ(::poll(&p, 1, 0), 1);
}

}  // namespace
