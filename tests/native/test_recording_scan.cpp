// The recording scanner on real files: which events come, in which order,
// with which offsets, for clean and damaged streams; the packed row layout
// and the number texts of the export.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <random>
#include <string>

#include "recording/recording_scan.hpp"
#include "protocol/record_row.hpp"
#include "reference/reference_decode.hpp"
#include "reference/repr_number.hpp"
#include "test_device_support.hpp"

namespace {

using namespace ahrs;
using device_test::accel_packet;
using device_test::corrupted;
using device_test::TempFile;
using test_bytes::Bytes;
using test_bytes::concat;

// Every event of a scan as a short word: P<offset> for a packet,
// D<offset>+<size> for a damaged run, E<size> or E<size>! (truncated) for
// the end, p for a pause. The end is asked for twice: it must stay.
std::string events(const Bytes& content) {
    TempFile file(content);
    auto scan = RecordingScan::open(file.path);
    EXPECT_TRUE(scan.ok());
    std::string out;
    for (int ends = 0; ends < 2;) {
        auto e = scan->next();
        if (!e) return out + "error";
        if (const auto* p = std::get_if<ScannedPacket>(&*e)) out += "P" + std::to_string(p->offset) + " ";
        if (const auto* d = std::get_if<DamagedRun>(&*e))
            out += "D" + std::to_string(d->offset) + "+" + std::to_string(d->size) + " ";
        if (std::holds_alternative<ScanPause>(*e)) out += "p ";
        if (const auto* end = std::get_if<ScanEnd>(&*e)) {
            out += "E" + std::to_string(end->size) + (end->truncated ? "!" : "") + (ends ? "" : " ");
            ++ends;
        }
    }
    return out;
}

struct ScanCase {
    const char* name;
    Bytes content;
    std::string expected;
};

const Bytes kGood = accel_packet(1, 2, 3);  // 20 bytes
const Bytes kBad = corrupted(kGood);

class RecordingScanEvents : public ::testing::TestWithParam<ScanCase> {};

TEST_P(RecordingScanEvents, ReportsPacketsAndDamageInStreamOrder) {
    EXPECT_EQ(events(GetParam().content), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Files, RecordingScanEvents,
    ::testing::Values(
        ScanCase{"Empty", {}, "E0 E0"}, ScanCase{"Clean", concat({kGood, kGood}), "P0 P20 E40 E40"},
        ScanCase{"StrayBytesBetween", concat({kGood, {0, 1, 2}, kGood}), "P0 D20+3 P23 E43 E43"},
        ScanCase{"BadChecksumThenGood", concat({kBad, kGood}), "D0+20 P20 E40 E40"},
        ScanCase{"FalseHeaderHidesNothing", concat({{0x75, 0x65, 0x80, 0xff}, kGood, kGood}), "D0+4 P4 P24 E44 E44"},
        ScanCase{"CutInsidePayload", concat({kGood, Bytes(kGood.begin(), kGood.begin() + 9)}), "P0 D20+9 E29! E29!"},
        ScanCase{"CutAfterFirstSyncByte", concat({kGood, {0x75}}), "P0 D20+1 E21! E21!"},
        ScanCase{"OneStrayByteAtTheEnd", concat({kGood, {0x00}}), "P0 D20+1 E21 E21"},
        ScanCase{"OnlyDamage", Bytes{1, 2, 3, 4, 5}, "D0+5 E5 E5"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RecordingScan, PausesInALongDamagedRunAndReportsItOnce) {
    // Two bytes per failed attempt: twice the attempts that make a pause.
    const Bytes zeros(4 * RecordingScan::kAttemptsPerPause, 0);
    EXPECT_EQ(events(concat({zeros, kGood})), "p p D0+262144 P262144 E262164 E262164");
}

TEST(RecordingScan, FindsEveryPacketAcrossReadChunks) {
    Bytes content;
    std::size_t good = 0, damaged = 0;
    for (int i = 0; i < 20000; ++i) {  // 400 kB: several chunks of the file source
        const bool bad = i % 7 == 3;
        content = concat({content, bad ? kBad : kGood});
        (bad ? damaged : good) += 1;
    }
    TempFile file(content);
    auto scan = RecordingScan::open(file.path);
    ASSERT_TRUE(scan.ok());
    std::size_t packets = 0, runs = 0;
    for (;;) {
        auto e = scan->next();
        ASSERT_TRUE(e.ok());
        if (std::holds_alternative<ScanEnd>(*e)) break;
        if (const auto* p = std::get_if<ScannedPacket>(&*e)) {
            EXPECT_EQ(p->offset % kGood.size(), 0u);
            ++packets;
        }
        runs += std::holds_alternative<DamagedRun>(*e);
    }
    EXPECT_EQ(packets, good);
    EXPECT_EQ(runs, damaged);
}

TEST(RecordingScan, ReportsTheFilesOwnFailures) {
    EXPECT_EQ(events({}), "E0 E0");
    auto missing = RecordingScan::open("/nonexistent/recording.bin");
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().kind(), IoKind::NotFound);
    auto dir = RecordingScan::open("/tmp");
    ASSERT_TRUE(dir.ok());
    auto e = dir->next();
    ASSERT_FALSE(e.ok());
    EXPECT_EQ(e.error().kind(), IoKind::IsADirectory);
}

TEST(RecordRow, PacksHeaderAndItemsAtWireWidth) {
    Reading r(EstimateReading::GPSTimestamp);  // time_of_week f64, week u16, valid_flags flag
    r.set_item(0, 12.5);
    r.set_item(1, 2300);
    r.set_item(2, 1);
    RowBuffer rows;
    ASSERT_TRUE(append_row(rows, 7, 1234, 2300 * 604800.0 + 12.5, r));
    ASSERT_EQ(rows.size(), 24u + 8 + 2 + 1);
    ASSERT_EQ(row_size(r.spec()), rows.size());
    std::uint64_t packet, offset;
    double time, tow;
    std::uint16_t week;
    std::memcpy(&packet, rows.data(), 8);
    std::memcpy(&offset, rows.data() + 8, 8);
    std::memcpy(&time, rows.data() + 16, 8);
    std::memcpy(&tow, rows.data() + 24, 8);
    std::memcpy(&week, rows.data() + 32, 2);
    EXPECT_EQ(packet, 7u);
    EXPECT_EQ(offset, 1234u);
    EXPECT_EQ(time, 2300 * 604800.0 + 12.5);
    EXPECT_EQ(tow, 12.5);
    EXPECT_EQ(week, 2300);
    EXPECT_EQ(rows.data()[34], 1);
}

TEST(ReprNumber, ShortestDigitsInPythonsLayout) {
    const std::pair<float, const char*> floats[] = {
        {0.9388715f, "0.9388715"},
        {0.1f, "0.1"},
        {1.0f, "1.0"},
        {-0.0f, "-0.0"},
        {1e-5f, "1e-05"},
        {1e-4f, "0.0001"},
        {123456789.0f, "123456790.0"},
        {1e16f, "1e+16"},
        {3.4028235e38f, "3.4028235e+38"},
        {1e-45f, "1e-45"},
        {-2.5e-7f, "-2.5e-07"},
        {1.5e15f, "1500000000000000.0"},
    };
    for (const auto& [v, text] : floats) {
        std::string out;
        append_repr(out, v);
        EXPECT_EQ(out, text);
    }
    const std::pair<double, const char*> doubles[] = {
        {0.1, "0.1"},
        {345600.0, "345600.0"},
        {5e-324, "5e-324"},
        {1.7976931348623157e308, "1.7976931348623157e+308"},
        {123456789012345678.0, "1.2345678901234568e+17"},
        {9999999999999998.0, "9999999999999998.0"},
        {0.00012345, "0.00012345"},
        {-1e100, "-1e+100"},
    };
    for (const auto& [v, text] : doubles) {
        std::string out;
        append_repr(out, v);
        EXPECT_EQ(out, text);
    }
}

}  // namespace

namespace {

// A random field of the set: a known record (now and then cut short, or
// with a flag out of range) or an unknown descriptor.
Bytes random_field(std::mt19937& rng, ReadingKind kind) {
    const auto records = catalogue(kind);
    const RecordSpec& spec = records[rng() % records.size()];
    Bytes body{rng() % 8 == 0 ? static_cast<std::uint8_t>(rng()) : spec.field_descriptor};
    std::uniform_real_distribution<double> value(-1e6, 1e6);
    for (const ItemSpec& item : spec.items) {
        switch (item.type) {
            case WireType::F32:
                test_bytes::put_be(body, std::bit_cast<std::uint32_t>(static_cast<float>(value(rng))), 4);
                break;
            case WireType::F64: test_bytes::put_be(body, std::bit_cast<std::uint64_t>(value(rng)), 8); break;
            case WireType::U16: test_bytes::put_be(body, rng() & 0xffff, 2); break;
            case WireType::Flag: test_bytes::put_be(body, rng() % 5 == 0 ? 2 : rng() % 2, 2); break;
        }
    }
    if (rng() % 8 == 0) body.resize(rng() % body.size());
    Bytes field{static_cast<std::uint8_t>(body.size() + 1)};
    return concat({field, body});
}

}  // namespace

// The one decoder against the plain reference decoder: the same readings,
// and rows laid out from the flat decoding equal to rows written from the
// reference's readings, with the time of the packet's last time record.
TEST(RecordRow, PacketRowsEqualTheDecodedReadingsRows) {
    std::mt19937 rng(7);
    std::array<RowBuffer, kRecordSlots> direct, via_readings;
    std::vector<Reading> readings;
    FlatPacket flat;
    for (std::uint64_t n = 0; n < 3000; ++n) {
        const auto kind = n % 2 ? ReadingKind::Sensor : ReadingKind::Estimate;
        Bytes payload;
        while (payload.size() < 200) payload = concat({payload, random_field(rng, kind)});
        payload.resize(std::min<std::size_t>(payload.size(), 255 - rng() % 20));  // the last field may be cut
        const MipPacket packet(kind == ReadingKind::Sensor ? Descriptor::DataSensor : Descriptor::DataEstimationFilter,
                               payload);
        decode_flat(packet.descriptor(), packet.bytes(), flat);
        ASSERT_TRUE(append_packet_rows(direct, flat, n, 1000 + n));
        readings.clear();
        append_readings(packet, readings);
        ASSERT_EQ(readings, to_sensor_readings_with_options(packet));
        double time = std::nan("");
        for (const Reading& r : readings)
            if (r.name() == "GPSCorrelationTimestamp" || r.name() == "GPSTimestamp")
                time = r.item(1) * 604800 + r.item(0);
        for (const Reading& r : readings) ASSERT_TRUE(append_row(via_readings[r.slot()], n, 1000 + n, time, r));
    }
    for (std::size_t slot = 0; slot < kRecordSlots; ++slot) {
        ASSERT_GT(direct[slot].size(), 0u) << slot_spec(slot).name;
        ASSERT_EQ(direct[slot].size(), via_readings[slot].size()) << slot_spec(slot).name;
        EXPECT_EQ(std::memcmp(direct[slot].data(), via_readings[slot].data(), direct[slot].size()), 0)
            << slot_spec(slot).name;
    }
}
