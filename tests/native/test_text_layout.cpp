// The export layouts laid out from a packet's digits against the appended
// forms they replaced, on random packets, random wanted records and random
// CSV columns (records of either set, present or not).
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "protocol/mip_packet.hpp"
#include "protocol/text_layout.hpp"
#include "reference/export_text.hpp"
#include "reference/reading_text.hpp"
#include "reference/reference_decode.hpp"
#include "random_payloads.hpp"

namespace ahrs {
namespace {

using test_bytes::Bytes;

struct Sample {
    std::uint64_t index;
    std::uint64_t offset;
    Descriptor set;
    Bytes payload;
    RecordMask keep;
    std::vector<std::size_t> columns;  // wanted records only, in catalogue order
};

struct Layout {
    const char* name;
    std::string (*appended)(const Sample&, std::span<const Reading>);
    char* (*laid_out)(char*, const Sample&, const PacketDigits&);
};

const Layout kLayouts[] = {
    {"Text",
     [](const Sample& s, std::span<const Reading> readings) {
         std::vector<Reading> kept;
         for (const Reading& r : readings)
             if (s.keep[r.slot()]) kept.push_back(r);
         return readings_text(kept) + "\n";
     },
     [](char* out, const Sample&, const PacketDigits& d) { return write_packet_line(out, d); }},
    {"Jsonl",
     [](const Sample& s, std::span<const Reading> readings) {
         std::string out;
         append_jsonl(out, s.offset, s.set, readings, s.keep);
         return out;
     },
     [](char* out, const Sample& s, const PacketDigits& d) { return write_jsonl(out, s.offset, s.set, d); }},
    {"Csv",
     [](const Sample& s, std::span<const Reading> readings) {
         std::string out;
         append_csv_row(out, s.index, s.offset, s.columns, readings);
         return out;
     },
     [](char* out, const Sample& s, const PacketDigits& d) {
         return write_csv_row(out, s.index, s.offset, s.columns, d);
     }},
};

Sample random_sample(std::mt19937_64& random) {
    const Descriptor sets[] = {Descriptor::DataSensor, Descriptor::DataEstimationFilter, Descriptor::CommandBase};
    Sample s{random() >> (random() % 64), random() >> (random() % 64), sets[random() % 3], {}, {}, {}};
    s.payload = random_payloads::random_payload(random);
    for (std::size_t slot = 0; slot < kRecordSlots; ++slot) {
        s.keep[slot] = random() % 4 == 0 || random() % 10 < 7;
        if (s.keep[slot] && random() % 5) s.columns.push_back(slot);
    }
    return s;
}

class ExportLayout : public ::testing::TestWithParam<Layout> {};

TEST_P(ExportLayout, EqualsTheAppendedFormOnRandomPackets) {
    std::mt19937_64 random(21);
    auto digits = std::make_unique<PacketDigits>();
    std::vector<char> room(kExportRoom);  // exactly: a sanitizer build sees any overrun
    for (int n = 0; n < 20000; ++n) {
        const Sample s = random_sample(random);
        std::vector<Reading> readings;
        append_readings(MipPacket(s.set, s.payload), readings);
        decode_with_digits(s.set, s.payload, s.keep, *digits);
        char* end = GetParam().laid_out(room.data(), s, *digits);
        ASSERT_EQ(std::string(room.data(), static_cast<std::size_t>(end - room.data())),
                  GetParam().appended(s, readings))
            << "packet " << n;
    }
}

INSTANTIATE_TEST_SUITE_P(Forms, ExportLayout, ::testing::ValuesIn(kLayouts),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ahrs
