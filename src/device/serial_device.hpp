#pragma once
// An open serial line, held exclusively, with bounded and cancellable waits.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string_view>

#include "../protocol/byte_stream.hpp"
#include "cancel.hpp"
#include "chunk_source.hpp"
#include "serial_error.hpp"
#include "wait_ready.hpp"

namespace ahrs {

// How long one read waits for a first byte, and one write for room.
constexpr std::chrono::milliseconds kSerialTimeout{100};

class SerialDevice final : public ChunkSource, public ByteSink {
public:
    // Opens the device raw 8N1 at any baud rate, locked against every other
    // opener, with queued data discarded (unless the baud rate is 0).
    static Result<std::unique_ptr<SerialDevice>, SerialError> open(std::string_view path, std::uint32_t baud,
                                                                   std::shared_ptr<CancelToken> cancel);
    ~SerialDevice() override;
    SerialDevice(const SerialDevice&) = delete;
    SerialDevice& operator=(const SerialDevice&) = delete;

    // Waits up to the time-out for input, then takes what is there. A line
    // that hung up gives an operating-system error (EIO), never 0.
    Result<std::size_t, IoError> read_some(std::span<std::uint8_t> dst) override;
    std::size_t chunk_size() const override { return 4096; }
    // Waits up to the time-out for room, then hands over what the device takes.
    Result<std::size_t, IoError> write(std::span<const std::uint8_t> src) override;

private:
    SerialDevice(int fd, std::shared_ptr<CancelToken> cancel) : fd_(fd), cancel_(std::move(cancel)) {}
    Status<SerialError> take_exclusive();
    Result<short, IoError> ready_for(short events, Deadline until) const;

    int fd_;
    bool exclusive_ = false;  // TIOCEXCL is ours to clear
    std::shared_ptr<CancelToken> cancel_;
};

}  // namespace ahrs
