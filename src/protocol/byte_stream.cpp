#include "byte_stream.hpp"

#include <algorithm>
#include <cstring>

namespace ahrs {

Result<std::size_t, IoError> read_up_to(ByteSource& src, std::span<std::uint8_t> dst) {
    std::size_t got = 0;
    while (got < dst.size()) {
        auto n = src.read(dst.subspan(got));
        if (!n) {
            if (n.error().kind() == IoKind::Interrupted) continue;
            return err(std::move(n).error());
        }
        if (*n == 0) break;
        got += *n;
    }
    return got;
}

Status<IoError> read_exact(ByteSource& src, std::span<std::uint8_t> dst) {
    auto got = read_up_to(src, dst);
    if (!got) return err(std::move(got).error());
    if (*got < dst.size()) return err(IoError::eof_fill());
    return Unit{};
}

Status<IoError> write_all(ByteSink& sink, std::span<const std::uint8_t> src) {
    while (!src.empty()) {
        auto n = sink.write(src);
        if (!n) {
            if (n.error().kind() == IoKind::Interrupted) continue;
            return err(std::move(n).error());
        }
        if (*n == 0) return err(IoError::write_zero());
        src = src.subspan(*n);
    }
    return Unit{};
}

Result<std::size_t, IoError> MemorySource::read(std::span<std::uint8_t> dst) {
    const std::size_t n = std::min(dst.size(), data_.size() - pos_);
    if (n) std::memcpy(dst.data(), data_.data() + pos_, n);
    pos_ += n;
    return n;
}

Status<IoError> MemorySource::seek(std::uint64_t pos) {
    pos_ = static_cast<std::size_t>(std::min<std::uint64_t>(pos, data_.size()));
    return Unit{};
}

}  // namespace ahrs
