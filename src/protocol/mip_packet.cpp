#include "mip_packet.hpp"

#include <algorithm>
#include <cstdio>
#include <optional>

namespace ahrs {
namespace {

// The field declarations of the wire frame; failure reports point here.
#define AHRS_FIELD(name) \
    ContextFrame { "While parsing field '" name "' in MipPacket", "src/protocol/mip_packet.cpp", __LINE__ }

ContextFrame descriptor_field() { return AHRS_FIELD("descriptor"); }
ContextFrame payload_length_field() { return AHRS_FIELD("payload_length"); }
ContextFrame bytes_field() { return AHRS_FIELD("bytes"); }
ContextFrame checksum_field() { return AHRS_FIELD("checksum"); }

#undef AHRS_FIELD

std::string checksum_message(std::uint16_t sent, std::uint16_t computed) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "bad checksum: %x != %x", sent, computed);
    return buf;
}

// Returns the failure after moving the source back to the packet start. A
// source that cannot move back cannot report anything better than the
// original failure, so a seek error is not allowed to mask it.
Result<MipPacket, PacketError> fail(ByteSource& src, std::uint64_t start, PacketError e) {
    (void)src.seek(start);
    return err(std::move(e));
}

// Takes the frame from a stream one field at a time, as frame() asks for
// more: each sync byte by a read of its own, then the set, the length, the
// payload and the checksum. A failure names the field it stopped in.
struct FrameReader {
    ByteSource& src;
    std::uint8_t* raw;
    std::size_t have = 0;
    // An unknown set is reported where the stream says the byte stood: a
    // forward-only stream keeps no positions and says 0.
    std::uint64_t set_position = 0;

    Status<PacketError> take(std::size_t need) {
        if (have < 2) return field(1, std::nullopt);
        if (have == 2) {
            auto at = src.position();
            if (!at) return err(PacketError::io_in_field(std::move(at).error(), descriptor_field()));
            set_position = *at;
            return field(1, descriptor_field());
        }
        if (have == 3) return field(1, payload_length_field());
        if (have + 2 < need) {
            const std::size_t length = need - 2 - have;
            auto got = read_up_to(src, {raw + have, length});
            if (!got) return err(PacketError::io_in_field(std::move(got).error(), bytes_field()));
            if (*got < length)
                return err(PacketError::io_in_field(
                    IoError::custom(IoKind::UnexpectedEof, "not enough bytes in reader"), bytes_field()));
            have += length;
            return Unit{};
        }
        return field(2, checksum_field());
    }

    // Before the set, a failure has no field: the stream ended or failed
    // between packets.
    Status<PacketError> field(std::size_t n, std::optional<ContextFrame> in) {
        if (auto r = read_exact(src, {raw + have, n}); !r)
            return err(in ? PacketError::io_in_field(std::move(r).error(), std::move(*in))
                          : PacketError::io(std::move(r).error()));
        have += n;
        return Unit{};
    }
};

}  // namespace

MipPacket::MipPacket(Descriptor d, std::span<const std::uint8_t> payload)
    : descriptor_(d), size_(static_cast<std::uint8_t>(std::min<std::size_t>(payload.size(), 255))) {
    std::copy_n(payload.begin(), size_, bytes_.begin());  // an empty span may have no data pointer
}

Result<MipPacket, PacketError> MipPacket::read(ByteSource& src) {
    auto start_pos = src.position();
    if (!start_pos) return err(PacketError::io(std::move(start_pos).error()));
    const std::uint64_t start = *start_pos;

    std::uint8_t raw[kMaxPacketSize];
    FrameReader reader{src, raw};
    for (;;) {
        const Framing f = frame({raw, reader.have});
        switch (f.verdict) {
            case Framing::Verdict::Whole: return MipPacket(f.descriptor, {raw + 4, f.size - 6u});
            case Framing::Verdict::BadMagic: return fail(src, start, PacketError::bad_magic(start, raw[0], raw[1]));
            case Framing::Verdict::UnknownSet:
                return fail(src, start, PacketError::no_variant_match(reader.set_position, raw[2], descriptor_field()));
            case Framing::Verdict::BadChecksum:
                return fail(src, start, PacketError::assert_fail(start, checksum_message(f.sent, f.computed)));
            case Framing::Verdict::Short: break;
        }
        if (auto r = reader.take(f.size); !r) return fail(src, start, std::move(r).error());
    }
}

Status<IoError> MipPacket::write(ByteSink& sink, Descriptor d, std::span<const std::uint8_t> payload) {
    const std::uint8_t sync[2] = {kSync1, kSync2};
    const std::uint8_t set = static_cast<std::uint8_t>(d);
    if (payload.size() > 255) return err(IoError::fixed(IoKind::InvalidInput, "payload longer than 255 bytes"));
    const auto length = static_cast<std::uint8_t>(payload.size());
    Checksum sum;
    sum.feed(set);
    sum.feed(length);
    sum.feed(payload);
    const std::uint8_t check[2] = {sum.first(), sum.second()};
    for (std::span<const std::uint8_t> part :
         {std::span<const std::uint8_t>(sync), std::span<const std::uint8_t>(&set, 1),
          std::span<const std::uint8_t>(&length, 1), payload, std::span<const std::uint8_t>(check)}) {
        if (part.empty()) continue;
        if (auto r = write_all(sink, part); !r) return r;
    }
    return Unit{};
}

}  // namespace ahrs
