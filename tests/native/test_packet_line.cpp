// The recorded-stream line of a packet against the readings' text form, on
// packets the decoder must take apart field by field.
#include <gtest/gtest.h>

#include <bit>
#include <limits>
#include <random>
#include <string>

#include "protocol/text_layout.hpp"
#include "reference/reading_text.hpp"
#include "reference/reference_decode.hpp"
#include "random_payloads.hpp"

namespace ahrs {
namespace {

using random_payloads::random_payload;
using random_payloads::record_field;
using test_bytes::Bytes;

// The line from the plain reference decoder's readings.
std::string readings_line(Descriptor set, const Bytes& payload) {
    std::vector<Reading> readings;
    append_readings(MipPacket(set, payload), readings);
    return readings_text(readings) + "\n";
}

// Payloads from random_payloads.hpp, in either data set or in one that has
// no records.
TEST(PacketLine, MatchesTheReadingsTextOnRandomPackets) {
    std::mt19937_64 random(12);
    const Descriptor sets[] = {Descriptor::DataSensor, Descriptor::DataEstimationFilter, Descriptor::DataGNSS};
    PacketLine line;
    for (int n = 0; n < 20000; ++n) {
        const Descriptor set = sets[random() % 3];
        const Bytes payload = random_payload(random);
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
