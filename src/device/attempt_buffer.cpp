#include "attempt_buffer.hpp"

#include <algorithm>
#include <cstring>

#include "../protocol/mip_packet.hpp"

namespace ahrs {

AttemptBuffer::AttemptBuffer(std::unique_ptr<ChunkSource> source)
    : source_(std::move(source)), buf_(source_->chunk_size() + kMaxPacketSize) {}

// The buffer as the packet reader's source for one call.
class AttemptBuffer::Reader final : public ByteSource {
public:
    Reader(AttemptBuffer& buffer, const Interrupts& interrupts) : buffer_(buffer), interrupts_(interrupts) {}
    Result<std::size_t, IoError> read(std::span<std::uint8_t> dst) override { return buffer_.read(dst, interrupts_); }
    Result<std::uint64_t, IoError> position() override { return buffer_.position(); }
    Status<IoError> seek(std::uint64_t pos) override { return buffer_.seek(pos); }

private:
    AttemptBuffer& buffer_;
    Interrupts interrupts_;
};

Result<std::size_t, IoError> AttemptBuffer::read(std::span<std::uint8_t> dst, const Interrupts& interrupts) {
    if (dst.empty()) return std::size_t{0};
    if (cursor_ == end_) {
        auto got = refill(interrupts);
        if (!got || *got == 0) return got;
    }
    const std::size_t n = std::min(dst.size(), end_ - cursor_);
    std::memcpy(dst.data(), buf_.data() + cursor_, n);
    cursor_ += n;
    furthest_ = std::max(furthest_, cursor_);
    return n;
}

// Called only with every fetched byte handed out, so what moves to the front
// is the current attempt alone: at most one packet.
Result<std::size_t, IoError> AttemptBuffer::refill(const Interrupts& interrupts) {
    const std::size_t chunk = source_->chunk_size();
    if (buf_.size() - end_ < chunk) {
        std::memmove(buf_.data(), buf_.data() + start_, end_ - start_);
        cursor_ -= start_;
        furthest_ -= start_;
        end_ -= start_;
        start_ = 0;
        if (buf_.size() - end_ < chunk) buf_.resize(end_ + chunk);
    }
    auto got = source_->read_some({buf_.data() + end_, buf_.size() - end_}, interrupts);
    if (got) end_ += *got;
    if (got && *got > 0) stalled_ = false;
    return got;
}

std::uint64_t AttemptBuffer::position() const { return start_offset_ + (cursor_ - start_); }

Status<IoError> AttemptBuffer::seek(std::uint64_t pos) {
    if (pos < start_offset_ || pos - start_offset_ > end_ - start_)
        return err(IoError::custom(IoKind::InvalidInput, "Cannot seek outside the current packet attempt"));
    cursor_ = start_ + static_cast<std::size_t>(pos - start_offset_);
    return Unit{};
}

Result<MipPacket, PacketError> AttemptBuffer::next_packet(const Interrupts& interrupts) {
    if (auto view = whole_packet_at(unread())) {
        take(view->size);
        return MipPacket(view->descriptor, view->payload);
    }
    Reader reader(*this, interrupts);
    return MipPacket::read(reader);
}

void AttemptBuffer::accept() { restart_at(furthest_); }

void AttemptBuffer::replay() { cursor_ = furthest_ = start_; }

bool AttemptBuffer::pause() {
    if (holds_packet_after_start()) {
        resync();
        return false;
    }
    replay();
    stalled_ = true;
    return true;
}

bool AttemptBuffer::holds_packet_after_start() const {
    const auto first = buf_.begin() + static_cast<std::ptrdiff_t>(start_);
    const auto last = buf_.begin() + static_cast<std::ptrdiff_t>(furthest_);
    for (auto at = first == last ? last : std::find(first + 1, last, kSync1); at != last;
         at = std::find(at + 1, last, kSync1)) {
        if (whole_packet_at({&*at, static_cast<std::size_t>(last - at)})) return true;
    }
    return false;
}

void AttemptBuffer::resync() {
    const auto first = buf_.begin() + static_cast<std::ptrdiff_t>(start_);
    const auto last = buf_.begin() + static_cast<std::ptrdiff_t>(furthest_);
    const auto sync = first == last ? last : std::find(first + 1, last, kSync1);
    restart_at(static_cast<std::size_t>(sync - buf_.begin()));
}

bool AttemptBuffer::fail(const PacketError& e) {
    const IoError* io = e.io_error();
    if (e.is_bare_io() || (io && (io->kind() == IoKind::TimedOut || io->kind() == IoKind::UnexpectedEof)))
        return pause();
    resync();
    return false;
}

void AttemptBuffer::restart_at(std::size_t index) {
    stalled_ = false;
    start_offset_ += index - start_;
    start_ = cursor_ = furthest_ = index;
    if (start_ == end_) start_ = cursor_ = furthest_ = end_ = 0;
}

}  // namespace ahrs
