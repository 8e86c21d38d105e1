#pragma once
// The two ends the packet codec works over. The codec has no I/O of its own:
// a serial device, a file, a replay buffer or a fuzzer input plug in here.
#include <cstddef>
#include <cstdint>
#include <span>

#include "errors.hpp"
#include "result.hpp"

namespace ahrs {

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Reads at most dst.size() bytes; 0 means the end of the data.
    virtual Result<std::size_t, IoError> read(std::span<std::uint8_t> dst) = 0;
    // The position of the next byte, as this source counts positions.
    virtual Result<std::uint64_t, IoError> position() = 0;
    // Moves back (or forward) to an absolute position.
    virtual Status<IoError> seek(std::uint64_t pos) = 0;
};

class ByteSink {
public:
    virtual ~ByteSink() = default;
    // Writes some prefix of src; returns how many bytes were taken.
    virtual Result<std::size_t, IoError> write(std::span<const std::uint8_t> src) = 0;
};

// Fills dst completely: short reads are continued, interrupted reads retried.
// The end of data gives "failed to fill whole buffer".
Status<IoError> read_exact(ByteSource& src, std::span<std::uint8_t> dst);
// Reads until dst is full or the data ends; returns how many bytes arrived.
Result<std::size_t, IoError> read_up_to(ByteSource& src, std::span<std::uint8_t> dst);
// Writes all of src: short writes continued, interrupted writes retried, a
// write that takes nothing gives "failed to write whole buffer".
Status<IoError> write_all(ByteSink& sink, std::span<const std::uint8_t> src);

// A source over bytes in memory that reports true offsets and can seek.
class MemorySource final : public ByteSource {
public:
    explicit MemorySource(std::span<const std::uint8_t> data) : data_(data) {}
    Result<std::size_t, IoError> read(std::span<std::uint8_t> dst) override;
    Result<std::uint64_t, IoError> position() override { return std::uint64_t{pos_}; }
    Status<IoError> seek(std::uint64_t pos) override;

private:
    std::span<const std::uint8_t> data_;
    std::size_t pos_ = 0;
};

}  // namespace ahrs
