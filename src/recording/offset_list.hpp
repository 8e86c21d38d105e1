#pragma once
// A long list of byte offsets kept in blocks of a fixed size. A crafted file
// can hold millions of damaged runs; a vector would copy them all at each
// growth (and hold both copies meanwhile), where blocks are only added, and
// can be handed over and freed one at a time.
#include <cstdint>
#include <memory>
#include <vector>

namespace ahrs {

class OffsetList {
public:
    static constexpr std::size_t kBlock = 1 << 15;

    // False when memory is out (nothing is added then).
    bool push(std::uint64_t offset);
    std::size_t size() const { return size_; }
    // Copies every offset into `dst` (room for size()), freeing each block
    // once copied; the list is empty afterwards.
    void move_to(std::uint64_t* dst);

private:
    std::vector<std::unique_ptr<std::uint64_t[]>> blocks_;
    std::size_t size_ = 0;
};

}  // namespace ahrs
