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
#include "../protocol/mip_packet.hpp"
#include "files.hpp"

namespace ahrs {

class AttemptBuffer {
public:
    explicit AttemptBuffer(std::unique_ptr<ChunkSource> source);

    // A fetch from the source waits only as `interrupts` let it.
    Result<std::size_t, IoError> read(std::span<std::uint8_t> dst, const Interrupts& interrupts);
    std::uint64_t position() const;
    // Only within the bytes already fetched since the attempt began.
    Status<IoError> seek(std::uint64_t pos);
    // The attempt's packet: framed where it lies when the bytes fetched
    // hold it whole and sound, else read by MipPacket::read, which fetches
    // what is missing and says what is wrong.
    Result<MipPacket, PacketError> next_packet(const Interrupts& interrupts);
    // One past the last byte the current attempt read, as a true offset.
    std::uint64_t read_end() const { return start_offset_ + (furthest_ - start_); }

    // Ends the attempt. A packet was read: the next one starts after it.
    void accept();
    // The attempt was cut short from outside (cancelled, interrupted): the
    // next attempt reads every byte of this one again.
    void replay();
    // The source timed out or ended inside the attempt: as replay(), so a
    // packet that is merely late is completed by a later attempt, unless a
    // whole packet with a sound checksum already stands at a later sync byte
    // among the bytes read. Then the attempt was a false start, and waiting
    // for the rest of its claimed length would hold that packet back: it
    // ends as resync() does. Returns whether the bytes were kept.
    bool pause();
    // Anything else: the next attempt starts at the first sync byte after
    // this attempt's first byte, or after all its bytes when there is none.
    void resync();
    // Ends a failed attempt as its failure calls for: pause() when the
    // source ran dry (a time-out or the end of data, anywhere in the packet)
    // or failed before the first field, resync() otherwise. Returns whether
    // the bytes were kept.
    bool fail(const PacketError& e);
    // Whether the bytes were kept and the source has given nothing new
    // since: the attempt under way can only end as its predecessor did.
    bool stalled() const { return stalled_; }

private:
    class Reader;
    Result<std::size_t, IoError> refill(const Interrupts& interrupts);
    // The bytes fetched but not yet handed out, for framing in place; take()
    // moves past some of them as read() would have.
    std::span<const std::uint8_t> unread() const { return {buf_.data() + cursor_, end_ - cursor_}; }
    void take(std::size_t n) {
        cursor_ += n;
        if (cursor_ > furthest_) furthest_ = cursor_;
    }
    void restart_at(std::size_t index);
    bool holds_packet_after_start() const;

    std::unique_ptr<ChunkSource> source_;
    std::vector<std::uint8_t> buf_;
    std::size_t start_ = 0;     // the attempt's first byte
    std::size_t cursor_ = 0;    // the next byte to hand out
    std::size_t furthest_ = 0;  // one past the last byte the attempt read
    std::size_t end_ = 0;       // one past the last byte fetched
    std::uint64_t start_offset_ = 0;
    bool stalled_ = false;
};

}  // namespace ahrs
