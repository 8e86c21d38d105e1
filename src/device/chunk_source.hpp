#pragma once
// Where a port's bytes come from: a serial device or a recorded file, read
// forwards only, as many bytes at a time as are at hand.
#include <cstddef>
#include <cstdint>
#include <span>

#include "../protocol/errors.hpp"
#include "../protocol/result.hpp"
#include "interrupts.hpp"

namespace ahrs {

class ChunkSource {
public:
    virtual ~ChunkSource() = default;
    // Reads at least one byte and at most dst.size(); 0 means the data ended.
    // A wait gives way to `interrupts`.
    virtual Result<std::size_t, IoError> read_some(std::span<std::uint8_t> dst, const Interrupts& interrupts) = 0;
    // How much one read should ask for.
    virtual std::size_t chunk_size() const = 0;
};

}  // namespace ahrs
