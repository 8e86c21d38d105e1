#pragma once
// Real pseudo-terminals, real files and captured output descriptors for the
// device-layer tests.
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "device/port.hpp"
#include "protocol/mip_packet.hpp"
#include "test_bytes.hpp"

namespace device_test {

using test_bytes::Bytes;
using test_bytes::concat;

// A pty pair; the port opens `path`, the test plays the sensor on `master`.
// The slave descriptor stays open so the pair outlives the port.
struct Pty {
    int master = -1;
    int slave = -1;
    std::string path;

    Pty() {
        char name[128];
        if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
        path = name;
    }
    ~Pty() {
        close_master();
        if (slave >= 0) ::close(slave);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    void close_master() {
        if (master >= 0) ::close(master);
        master = -1;
    }
    void send(const Bytes& bytes) const {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(master, bytes.data() + done, bytes.size() - done);
            if (n <= 0) throw std::runtime_error("write to pty master failed");
            done += static_cast<std::size_t>(n);
        }
    }
    // Whatever the port wrote, gathered until `count` bytes or a quiet spell.
    Bytes receive(std::size_t count, int quiet_ms = 300) const {
        Bytes out;
        std::uint8_t buf[256];
        pollfd p{master, POLLIN, 0};
        while (out.size() < count && ::poll(&p, 1, quiet_ms) > 0) {
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n <= 0) break;
            out.insert(out.end(), buf, buf + n);
        }
        return out;
    }
};

// A file in /tmp, removed at the end of the test.
struct TempFile {
    std::string path;
    explicit TempFile(const Bytes& content) {
        char name[] = "/tmp/ahrs_device_test_XXXXXX";
        const int fd = ::mkstemp(name);
        if (fd < 0) throw std::runtime_error("mkstemp failed");
        if (!content.empty() && ::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()))
            throw std::runtime_error("write to temp file failed");
        ::close(fd);
        path = name;
    }
    ~TempFile() { ::unlink(path.c_str()); }
};

// Redirects descriptor 1 or 2 into a temporary file for its lifetime.
class Capture {
public:
    explicit Capture(int fd) : fd_(fd) {
        std::fflush(nullptr);
        saved_ = ::dup(fd_);
        std::FILE* f = std::tmpfile();
        file_ = ::dup(fileno(f));
        std::fclose(f);
        ::dup2(file_, fd_);
    }
    ~Capture() { restore(); }
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    // Stops capturing and returns what was written.
    std::string text() {
        restore();
        std::string out;
        char buf[512];
        ::lseek(file_, 0, SEEK_SET);
        for (ssize_t n; (n = ::read(file_, buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
        return out;
    }

private:
    void restore() {
        if (saved_ < 0) return;
        ::dup2(saved_, fd_);
        ::close(saved_);
        saved_ = -1;
    }
    int fd_;
    int saved_ = -1;
    int file_ = -1;
};

// What one call printed on standard output and standard error.
struct Printed {
    std::string out;
    std::string err;
};

// Runs `call` with both streams captured; assertions come afterwards, so
// test failures are never swallowed by the capture.
template <class F>
auto capturing(Printed& printed, F&& call) {
    Capture out(1);
    Capture err(2);
    auto result = call();
    printed = {out.text(), err.text()};
    return result;
}

struct VectorSink final : ahrs::ByteSink {
    Bytes bytes;
    ahrs::Result<std::size_t, ahrs::IoError> write(std::span<const std::uint8_t> src) override {
        bytes.insert(bytes.end(), src.begin(), src.end());
        return src.size();
    }
};

inline Bytes packet(ahrs::Descriptor set, const Bytes& payload) {
    VectorSink sink;
    (void)ahrs::MipPacket::write(sink, set, payload);
    return sink.bytes;
}

// A sensor-data packet with one scaled-acceleration field.
inline Bytes accel_packet(float x, float y, float z) {
    Bytes payload{14, 0x04};
    for (float v : {x, y, z}) test_bytes::put_be(payload, std::bit_cast<std::uint32_t>(v), 4);
    return packet(ahrs::Descriptor::DataSensor, payload);
}

// What accel_packet(1, 2, 3) reads back as, written out rather than derived
// so that a wrong decode cannot agree with itself.
inline const std::string kAccelText = "[Sensor(ScaledAccVector { x: 1.0, y: 2.0, z: 3.0 })]";

// A port on `pty` that is already streaming. Failing to get there throws,
// which fails the test that asked for it.
inline ahrs::Port streaming_port(const Pty& pty, std::shared_ptr<ahrs::CancelToken> cancel = nullptr) {
    auto opened = ahrs::Port::open(pty.path, 115200, std::move(cancel));
    if (!opened) throw std::runtime_error(opened.error().error());
    ahrs::Port port = std::move(opened).value();
    if (!port.start_stream().ok()) throw std::runtime_error("start_stream failed");
    return port;
}

// The same packet with its last checksum byte wrong (and not a sync byte,
// which would rightly start a new attempt).
inline Bytes corrupted(Bytes p) {
    p.back() ^= (p.back() ^ 0x01) == ahrs::kSync1 ? 0x02 : 0x01;
    return p;
}

}  // namespace device_test
