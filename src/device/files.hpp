#pragma once
// Files of the device layer: descriptors kept off 0, 1 and 2, an owned
// descriptor opened by path, and a recorded stream read forwards as a chunk
// source, the interface a serial device (serial_device.hpp) reads through too.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <utility>

#include "../protocol/errors.hpp"
#include "../protocol/result.hpp"
#include "interrupts.hpp"

namespace ahrs {

// Keeps the driver's own descriptors off 0, 1 and 2. A process started with a
// standard descriptor closed would otherwise get its device or file there,
// and the driver's diagnostic lines would be written onto the sensor's line.
// Returns `fd` if it is above 2; otherwise a close-on-exec duplicate above 2,
// closing `fd`. A negative `fd` is returned as it is; on failure -1, with
// errno set. Either way the caller owns exactly the descriptor returned.
int above_standard_descriptors(int fd);

// An owned file descriptor, closed when dropped.
class FileHandle {
public:
    FileHandle() = default;
    explicit FileHandle(int fd) : fd_(fd) {}
    FileHandle(FileHandle&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    FileHandle& operator=(FileHandle&& o) noexcept;
    ~FileHandle();
    int get() const { return fd_; }

    // An open may wait (a FIFO with no one at the other end) until a signal's
    // handler says to give up.
    // Opens an existing file for reading only; it is never created or changed.
    static Result<FileHandle, IoError> open_read_only(std::string_view path, InterruptCheck interrupt);
    // Creates the file, or empties an existing one, for writing.
    static Result<FileHandle, IoError> create(std::string_view path, InterruptCheck interrupt);
    // Creates the file, or opens an existing one for writing, as it is:
    // emptying it is left to the caller.
    static Result<FileHandle, IoError> open_for_writing(std::string_view path, InterruptCheck interrupt);

private:
    int fd_ = -1;
};

// Where a port's bytes come from: a serial device or a recorded file, read
// forwards only, as many bytes at a time as are at hand.
class ChunkSource {
public:
    virtual ~ChunkSource() = default;
    // Reads at least one byte and at most dst.size(); 0 means the data ended.
    // A wait gives way to `interrupts`.
    virtual Result<std::size_t, IoError> read_some(std::span<std::uint8_t> dst, const Interrupts& interrupts) = 0;
    // How much one read should ask for.
    virtual std::size_t chunk_size() const = 0;
};

// A recorded stream, opened read only and read front to back.
class FileSource final : public ChunkSource {
public:
    // The file must exist; it is never created, truncated or written.
    static Result<std::unique_ptr<FileSource>, IoError> open(std::string_view path, InterruptCheck interrupt);
    // Reads an open descriptor from where it stands.
    static std::unique_ptr<FileSource> adopt(FileHandle fd) {
        return std::unique_ptr<FileSource>(new FileSource(std::move(fd)));
    }

    Result<std::size_t, IoError> read_some(std::span<std::uint8_t> dst, const Interrupts& interrupts) override;
    std::size_t chunk_size() const override { return 64 * 1024; }

private:
    explicit FileSource(FileHandle fd) : fd_(std::move(fd)) {}
    FileHandle fd_;
};

}  // namespace ahrs
