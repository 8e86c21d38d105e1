#pragma once
// An open serial line, held exclusively, with bounded waits that each call's
// interrupts can cut short.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string_view>

#include "../protocol/byte_stream.hpp"
#include "files.hpp"
#include "errors.hpp"
#include "interrupts.hpp"

namespace ahrs {

// How long one read waits for a first byte, and one write for room.
constexpr std::chrono::milliseconds kSerialTimeout{100};

class SerialDevice final : public ChunkSource {
public:
    // Opens the device raw 8N1 at any baud rate, locked against every other
    // opener, with queued data discarded (unless the baud rate is 0).
    static Result<std::unique_ptr<SerialDevice>, SerialError> open(std::string_view path, std::uint32_t baud);
    ~SerialDevice() override;
    SerialDevice(const SerialDevice&) = delete;
    SerialDevice& operator=(const SerialDevice&) = delete;

    // Waits up to the time-out for input, then takes what is there. A line
    // that hung up gives an operating-system error (EIO), never 0.
    Result<std::size_t, IoError> read_some(std::span<std::uint8_t> dst, const Interrupts& interrupts) override;
    std::size_t chunk_size() const override { return 4096; }
    // Waits up to the time-out for room, then hands over what the device takes.
    Result<std::size_t, IoError> write(std::span<const std::uint8_t> src, const Interrupts& interrupts);

    // The device as a packet writer's sink, for one call.
    class Sink final : public ByteSink {
    public:
        Sink(SerialDevice& device, Interrupts interrupts) : device_(device), interrupts_(interrupts) {}
        Result<std::size_t, IoError> write(std::span<const std::uint8_t> src) override {
            return device_.write(src, interrupts_);
        }

    private:
        SerialDevice& device_;
        Interrupts interrupts_;
    };

private:
    explicit SerialDevice(int fd) : fd_(fd) {}
    Status<SerialError> take_exclusive();

    int fd_;
    bool exclusive_ = false;  // TIOCEXCL is ours to clear
};

}  // namespace ahrs
