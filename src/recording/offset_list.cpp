#include "offset_list.hpp"

#include <algorithm>
#include <new>

namespace ahrs {

bool OffsetList::push(std::uint64_t offset) {
    const std::size_t at = size_ % kBlock;
    if (at == 0) {
        std::unique_ptr<std::uint64_t[]> block(new (std::nothrow) std::uint64_t[kBlock]);
        if (!block) return false;
        try {
            blocks_.push_back(std::move(block));
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    blocks_.back()[at] = offset;
    ++size_;
    return true;
}

void OffsetList::move_to(std::uint64_t* dst) {
    for (auto& block : blocks_) {
        const std::size_t n = std::min(size_, kBlock);
        dst = std::copy_n(block.get(), n, dst);
        size_ -= n;
        block.reset();
    }
    blocks_.clear();
}

}  // namespace ahrs
