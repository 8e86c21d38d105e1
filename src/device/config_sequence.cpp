#include "config_sequence.hpp"

#include <cstdint>
#include <span>

#include "../protocol/mip_packet.hpp"

namespace ahrs {
namespace {

struct Command {
    Descriptor set;
    std::span<const std::uint8_t> payload;  // one field: length, descriptor, parameters
};

constexpr std::uint8_t kBase[] = {0x02, 0x02};
constexpr std::uint8_t k3dmFirst[] = {0x05, 0x11, 0x01, 0x01, 0x00};
constexpr std::uint8_t k3dmSecond[] = {0x05, 0x11, 0x01, 0x03, 0x00};

constexpr Command kSequence[] = {
    {Descriptor::CommandBase, kBase},
    {Descriptor::Command3DM, k3dmFirst},
    {Descriptor::Command3DM, k3dmSecond},
};

}  // namespace

Status<IoError> write_configuration(ByteSink& sink) {
    for (const auto& c : kSequence)
        if (auto r = MipPacket::write(sink, c.set, c.payload); !r) return r;
    return Unit{};
}

}  // namespace ahrs
