#include "decode.hpp"

namespace ahrs {

std::optional<ReadingKind> reading_kind(Descriptor set) {
    if (set == Descriptor::DataSensor) return ReadingKind::Sensor;
    if (set == Descriptor::DataEstimationFilter) return ReadingKind::Estimate;
    return std::nullopt;
}

std::optional<ValidFlag> read_valid_flag(std::span<const std::uint8_t> two_bytes) {
    if (two_bytes.size() < 2) return std::nullopt;
    switch (be16(two_bytes.data())) {
        case 0: return ValidFlag::Invalid;
        case 1: return ValidFlag::Valid;
        default: return std::nullopt;
    }
}

}  // namespace ahrs
