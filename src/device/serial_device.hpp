#pragma once
// The serial line to the sensor: the device held exclusively, its fixed line
// discipline at any baud rate, and the commands that set the sensor up before
// it streams.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string_view>

#include "../protocol/byte_stream.hpp"
#include "../protocol/result.hpp"
#include "errors.hpp"
#include "files.hpp"
#include "interrupts.hpp"

namespace ahrs {

// An open serial line, held exclusively, with bounded waits that each call's
// interrupts can cut short.
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
    // The same, waiting for a first byte until `until` instead.
    Result<std::size_t, IoError> read_some(std::span<std::uint8_t> dst, const Interrupts& interrupts, Deadline until);
    std::size_t chunk_size() const override { return 4096; }
    // For an event loop to wait on; it is the device's own until it is gone.
    int fd() const { return fd_; }
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

// The fixed line discipline of the sensor link: raw 8N1, no flow control,
// receiver on, modem lines ignored, reads that never block in the driver.
// Writes the settings and the baud rate, then reads them back; a device that
// keeps something else gives "Settings did not apply correctly".
Status<SerialError> apply_line_settings(int fd, std::uint32_t baud);

// Line speed of a terminal device, any rate: the classic B-constants where
// one exists, the kernel's termios2 with BOTHER otherwise. Kept apart, in
// termios_baud.cpp, because the kernel's termios structures cannot share a
// file with the C library's.
struct LineSpeed {
    std::uint32_t input;
    std::uint32_t output;
    bool operator==(const LineSpeed&) const = default;
};

// Sets both directions to `baud`; the error is an errno value.
Status<int> set_line_speed(int fd, std::uint32_t baud);
// The speeds the device reports now; the error is an errno value.
Result<LineSpeed, int> line_speed(int fd);

// The fixed commands that set the sensor up before it streams.
// Writes the three command packets back to back (30 bytes) and reads no
// reply. Stops at the first failed write; what was written stays written.
Status<IoError> write_configuration(ByteSink& sink);

}  // namespace ahrs
