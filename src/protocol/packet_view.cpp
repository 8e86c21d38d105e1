#include "packet_view.hpp"

namespace ahrs {
namespace {

struct Entry {
    Descriptor value;
    std::string_view name;
};

constexpr Entry kDescriptors[] = {
    {Descriptor::CommandBase, "CommandBase"},
    {Descriptor::Command3DM, "Command3DM"},
    {Descriptor::CommandNav, "CommandNav"},
    {Descriptor::CommandGNSS, "CommandGNSS"},
    {Descriptor::CommandRTK, "CommandRTK"},
    {Descriptor::CommandSys, "CommandSys"},
    {Descriptor::DataSensor, "DataSensor"},
    {Descriptor::DataGNSS, "DataGNSS"},
    {Descriptor::DataEstimationFilter, "DataEstimationFilter"},
    {Descriptor::DataDisplacement, "DataDisplacement"},
    {Descriptor::DataGNSS1, "DataGNSS1"},
    {Descriptor::DataGNSS2, "DataGNSS2"},
    {Descriptor::DataGNSS3, "DataGNSS3"},
    {Descriptor::DataGNSS4, "DataGNSS4"},
    {Descriptor::DataGNSS5, "DataGNSS5"},
    {Descriptor::DataSystem, "DataSystem"},
};

}  // namespace

std::optional<Descriptor> descriptor_from_byte(std::uint8_t byte) {
    for (const auto& e : kDescriptors)
        if (static_cast<std::uint8_t>(e.value) == byte) return e.value;
    return std::nullopt;
}

std::string_view descriptor_name(Descriptor d) {
    for (const auto& e : kDescriptors)
        if (e.value == d) return e.name;
    return "Unknown";
}

}  // namespace ahrs
