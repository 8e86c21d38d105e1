#include "mip_packet.hpp"

#include <algorithm>
#include <cstdio>

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

}  // namespace

MipPacket::MipPacket(Descriptor d, std::span<const std::uint8_t> payload)
    : descriptor_(d), size_(static_cast<std::uint8_t>(std::min<std::size_t>(payload.size(), 255))) {
    std::copy_n(payload.begin(), size_, bytes_.begin());  // an empty span may have no data pointer
}

Result<MipPacket, PacketError> MipPacket::read(ByteSource& src) {
    auto start_pos = src.position();
    if (!start_pos) return err(PacketError::io(std::move(start_pos).error()));
    const std::uint64_t start = *start_pos;

    std::uint8_t sync[2];
    for (auto& b : sync)
        if (auto r = read_exact(src, {&b, 1}); !r) return fail(src, start, PacketError::io(std::move(r).error()));
    if (sync[0] != kSync1 || sync[1] != kSync2)
        return fail(src, start, PacketError::bad_magic(start, sync[0], sync[1]));

    Checksum sum;
    std::uint8_t head[2];  // descriptor set, payload length
    // An unknown set is reported where the stream says the byte stood: a
    // forward-only stream keeps no positions and says 0.
    auto set_pos = src.position();
    if (!set_pos) return fail(src, start, PacketError::io_in_field(std::move(set_pos).error(), descriptor_field()));
    if (auto r = read_exact(src, {&head[0], 1}); !r)
        return fail(src, start, PacketError::io_in_field(std::move(r).error(), descriptor_field()));
    auto descriptor = descriptor_from_byte(head[0]);
    if (!descriptor) return fail(src, start, PacketError::no_variant_match(*set_pos, head[0], descriptor_field()));
    if (auto r = read_exact(src, {&head[1], 1}); !r)
        return fail(src, start, PacketError::io_in_field(std::move(r).error(), payload_length_field()));
    sum.feed(head);

    MipPacket packet;
    packet.descriptor_ = *descriptor;
    packet.size_ = head[1];
    auto got = read_up_to(src, {packet.bytes_.data(), packet.size_});
    if (!got) return fail(src, start, PacketError::io_in_field(std::move(got).error(), bytes_field()));
    if (*got < packet.size_)
        return fail(src, start,
                    PacketError::io_in_field(IoError::custom(IoKind::UnexpectedEof, "not enough bytes in reader"),
                                             bytes_field()));
    sum.feed(packet.bytes());

    std::uint8_t check[2];
    if (auto r = read_exact(src, check); !r)
        return fail(src, start, PacketError::io_in_field(std::move(r).error(), checksum_field()));
    const auto sent = static_cast<std::uint16_t>(check[0] << 8 | check[1]);
    if (sent != sum.value()) return fail(src, start, PacketError::assert_fail(start, checksum_message(sent, sum.value())));
    return packet;
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
    for (std::span<const std::uint8_t> part : {std::span<const std::uint8_t>(sync), std::span<const std::uint8_t>(&set, 1),
                                               std::span<const std::uint8_t>(&length, 1), payload,
                                               std::span<const std::uint8_t>(check)}) {
        if (part.empty()) continue;
        if (auto r = write_all(sink, part); !r) return r;
    }
    return Unit{};
}

}  // namespace ahrs
