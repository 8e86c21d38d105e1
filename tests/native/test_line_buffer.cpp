// Lines printed one by one, seen write by write: standard output is a packet
// socket here, whose every read returns exactly one write(2).
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <random>
#include <string>
#include <vector>

#include "device/console.hpp"

namespace ahrs {
namespace {

class PacketStdout {
public:
    PacketStdout() {
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ends_) != 0) throw std::runtime_error("socketpair failed");
        const int big = 1 << 20;  // room for every write of a test
        ::setsockopt(ends_[0], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
        ::setsockopt(ends_[1], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        std::fflush(nullptr);
        saved_ = ::dup(1);
        ::dup2(ends_[0], 1);
    }
    ~PacketStdout() {
        restore();
        ::close(ends_[0]);
        ::close(ends_[1]);
    }
    PacketStdout(const PacketStdout&) = delete;
    PacketStdout& operator=(const PacketStdout&) = delete;

    // The writes so far, one string each.
    std::vector<std::string> writes() {
        std::vector<std::string> out;
        std::vector<char> buf(1 << 16);
        for (ssize_t n; (n = ::recv(ends_[1], buf.data(), buf.size(), MSG_DONTWAIT)) > 0;)
            out.emplace_back(buf.data(), static_cast<std::size_t>(n));
        return out;
    }
    void restore() {
        if (saved_ < 0) return;
        ::dup2(saved_, 1);
        ::close(saved_);
        saved_ = -1;
    }

private:
    int ends_[2] = {-1, -1};
    int saved_ = -1;
};

// About 75 KB in all, which the socket holds without a reader.
std::vector<std::string> random_lines(std::mt19937& random, std::size_t longest) {
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < std::min<std::size_t>(300, 150000 / longest); ++i) {
        std::string line(random() % longest + 1, static_cast<char>('a' + i % 26));
        line.back() = '\n';
        lines.push_back(line);
    }
    return lines;
}

// Each line goes out whole with one write of its own, before the next is
// laid out: short lines are never gathered, long ones (past PIPE_BUF) never
// cut, and the room past a line's end may be used.
TEST(LineBuffer, PrintsEachLineWholeAsItEnds) {
    std::mt19937 random(7);
    for (const std::size_t longest : {std::size_t{40}, std::size_t{1500}, std::size_t{3 * PIPE_BUF}}) {
        SCOPED_TRACE(longest);
        const auto lines = random_lines(random, longest);
        std::vector<std::vector<std::string>> writes_after;  // the new writes after each line
        bool printed = true;
        {
            PacketStdout out;  // no assertion while it stands: a failure would be printed into it
            LineBuffer buffer(Stream::Out, longest + 64, {});
            for (const std::string& line : lines) {
                char* at = buffer.start();
                std::memset(at, '#', longest + 64);  // all of the promised room may be used
                std::memcpy(at, line.data(), line.size());
                printed = printed && buffer.print(at + line.size());
                writes_after.push_back(out.writes());
            }
            out.restore();
        }
        ASSERT_TRUE(printed);
        ASSERT_EQ(writes_after.size(), lines.size());
        for (std::size_t i = 0; i < lines.size(); ++i)
            ASSERT_EQ(writes_after[i], std::vector<std::string>{lines[i]}) << "line " << i;
    }
}

}  // namespace
}  // namespace ahrs
