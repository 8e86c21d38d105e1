// The recorded-stream line of a packet against the readings' text form, on
// packets the decoder must take apart field by field.
#include <gtest/gtest.h>

#include <bit>
#include <limits>
#include <random>
#include <string>

#include "protocol/decode.hpp"
#include "protocol/packet_line.hpp"
#include "protocol/reading_text.hpp"
#include "test_bytes.hpp"

namespace ahrs {
namespace {

using test_bytes::Bytes;
using test_bytes::put_be;

std::string readings_line(Descriptor set, const Bytes& payload) {
    return readings_text(to_sensor_readings_with_options(MipPacket(set, payload))) + "\n";
}

// One field of a catalogue record, its items drawn by `item(type)`.
template <class Item>
Bytes record_field(const RecordSpec& spec, Item&& item) {
    Bytes body{spec.field_descriptor};
    for (const auto& it : spec.items) {
        switch (it.type) {
            case WireType::F32: put_be(body, item(it.type), 4); break;
            case WireType::F64: put_be(body, item(it.type), 8); break;
            default: put_be(body, item(it.type), 2); break;
        }
    }
    Bytes field{static_cast<std::uint8_t>(body.size() + 1)};
    field.insert(field.end(), body.begin(), body.end());
    return field;
}

// Random records of either set with random bits (NaN, infinities and
// subnormals included), flags now and then out of range, length bytes now
// and then too short, too long or zero, and stray fields between.
TEST(PacketLine, MatchesTheReadingsTextOnRandomPackets) {
    std::mt19937_64 random(12);
    const Descriptor sets[] = {Descriptor::DataSensor, Descriptor::DataEstimationFilter, Descriptor::DataGNSS};
    auto item = [&](WireType t) -> std::uint64_t {
        if (t == WireType::Flag) return random() % 8 == 0 ? 2 : random() % 2;
        return random();
    };
    PacketLine line;
    for (int n = 0; n < 20000; ++n) {
        const Descriptor set = sets[random() % 3];
        const auto records = catalogue(random() % 2 ? ReadingKind::Sensor : ReadingKind::Estimate);
        Bytes payload;
        while (payload.size() < 255) {
            Bytes field = record_field(records[random() % records.size()], item);
            switch (random() % 12) {
                case 0: field[0] = static_cast<std::uint8_t>(random() % 4); break;
                case 1: field[0] = static_cast<std::uint8_t>(field[0] - 1); break;
                case 2: field[0] = static_cast<std::uint8_t>(field[0] + random() % 8); break;
                case 3: field[1] = static_cast<std::uint8_t>(random()); break;
            }
            field.resize(std::min<std::size_t>(field.size(), 255 - payload.size()));
            payload.insert(payload.end(), field.begin(), field.end());
            if (random() % 6 == 0) break;
        }
        ASSERT_EQ(line.build(set, payload), readings_line(set, payload)) << "packet " << n;
    }
}

// A full payload of the record with the most text per byte, every value at
// its longest: the line buffer must hold it.
TEST(PacketLine, HoldsFullPayloadsOfLongestValues) {
    auto longest = [](WireType t) -> std::uint64_t {
        switch (t) {
            case WireType::F32: return std::bit_cast<std::uint32_t>(-std::numeric_limits<float>::min());
            case WireType::F64: return std::bit_cast<std::uint64_t>(-std::numeric_limits<double>::min());
            case WireType::U16: return 65535;
            case WireType::Flag: return 0;
        }
        return 0;
    };
    PacketLine line;
    for (ReadingKind kind : {ReadingKind::Sensor, ReadingKind::Estimate}) {
        const Descriptor set = kind == ReadingKind::Sensor ? Descriptor::DataSensor : Descriptor::DataEstimationFilter;
        for (const RecordSpec& spec : catalogue(kind)) {
            SCOPED_TRACE(spec.name);
            const Bytes field = record_field(spec, longest);
            Bytes payload;
            while (payload.size() + field.size() <= 255) payload.insert(payload.end(), field.begin(), field.end());
            EXPECT_EQ(line.build(set, payload), readings_line(set, payload));
        }
    }
}

}  // namespace
}  // namespace ahrs
