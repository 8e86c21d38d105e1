#pragma once
#include <cstdint>
#include <optional>
#include <string_view>

namespace ahrs {

// The descriptor sets a packet may carry. Any other byte makes a packet
// unreadable.
enum class Descriptor : std::uint8_t {
    CommandBase = 0x01,
    Command3DM = 0x0C,
    CommandNav = 0x0D,
    CommandGNSS = 0x0E,
    CommandRTK = 0x0F,
    CommandSys = 0x7F,
    DataSensor = 0x80,
    DataGNSS = 0x81,
    DataEstimationFilter = 0x82,
    DataDisplacement = 0x90,
    DataGNSS1 = 0x91,
    DataGNSS2 = 0x92,
    DataGNSS3 = 0x93,
    DataGNSS4 = 0x94,
    DataGNSS5 = 0x95,
    DataSystem = 0xA0,
};

std::optional<Descriptor> descriptor_from_byte(std::uint8_t byte);
std::string_view descriptor_name(Descriptor d);

}  // namespace ahrs
