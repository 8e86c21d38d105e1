#pragma once
// The port's view of its source for one packet attempt at a time. Bytes are
// fetched in chunks; those an attempt read are kept until the attempt's
// outcome says which of them the next attempt must see again, so no byte
// that could start a packet is lost. Positions are true offsets from the
// open.
#include <cstdint>
#include <memory>
#include <vector>

#include "../protocol/byte_stream.hpp"
#include "chunk_source.hpp"

namespace ahrs {

class AttemptBuffer final : public ByteSource {
public:
    explicit AttemptBuffer(std::unique_ptr<ChunkSource> source);

    Result<std::size_t, IoError> read(std::span<std::uint8_t> dst) override;
    Result<std::uint64_t, IoError> position() override;
    // Only within the bytes already fetched since the attempt began.
    Status<IoError> seek(std::uint64_t pos) override;
    // One past the last byte the current attempt read, as a true offset.
    std::uint64_t read_end() const { return start_offset_ + (furthest_ - start_); }

    // Ends the attempt. A packet was read: the next one starts after it.
    void accept();
    // The source timed out or ended at a packet boundary: the next attempt
    // reads every byte of this one again, then waits for the rest.
    void replay();
    // Anything else: the next attempt starts at the first sync byte after
    // this attempt's first byte, or after all its bytes when there is none.
    void resync();

private:
    Result<std::size_t, IoError> refill();
    void restart_at(std::size_t index);

    std::unique_ptr<ChunkSource> source_;
    std::vector<std::uint8_t> buf_;
    std::size_t start_ = 0;     // the attempt's first byte
    std::size_t cursor_ = 0;    // the next byte to hand out
    std::size_t furthest_ = 0;  // one past the last byte the attempt read
    std::size_t end_ = 0;       // one past the last byte fetched
    std::uint64_t start_offset_ = 0;
};

}  // namespace ahrs
