// The recording scanner on real files: which events come, in which order,
// with which offsets, for clean and damaged streams; the packed row layout
// and the number texts of the export.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "device/recording_scan.hpp"
#include "protocol/record_row.hpp"
#include "protocol/repr_number.hpp"
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
        ScanCase{"Empty", {}, "E0 E0"},
        ScanCase{"Clean", concat({kGood, kGood}), "P0 P20 E40 E40"},
        ScanCase{"StrayBytesBetween", concat({kGood, {0, 1, 2}, kGood}), "P0 D20+3 P23 E43 E43"},
        ScanCase{"BadChecksumThenGood", concat({kBad, kGood}), "D0+20 P20 E40 E40"},
        ScanCase{"FalseHeaderHidesNothing", concat({{0x75, 0x65, 0x80, 0xff}, kGood, kGood}),
                 "D0+4 P4 P24 E44 E44"},
        ScanCase{"CutInsidePayload", concat({kGood, Bytes(kGood.begin(), kGood.begin() + 9)}),
                 "P0 D20+9 E29! E29!"},
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
    ASSERT_TRUE(append_row(rows, 7, 1234, r));
    ASSERT_EQ(rows.size(), 16u + 8 + 2 + 1);
    ASSERT_EQ(row_size(r.spec()), rows.size());
    std::uint64_t packet, offset;
    double tow;
    std::uint16_t week;
    std::memcpy(&packet, rows.data(), 8);
    std::memcpy(&offset, rows.data() + 8, 8);
    std::memcpy(&tow, rows.data() + 16, 8);
    std::memcpy(&week, rows.data() + 24, 2);
    EXPECT_EQ(packet, 7u);
    EXPECT_EQ(offset, 1234u);
    EXPECT_EQ(tow, 12.5);
    EXPECT_EQ(week, 2300);
    EXPECT_EQ(rows.data()[26], 1);
}

TEST(ReprNumber, ShortestDigitsInPythonsLayout) {
    const std::pair<float, const char*> floats[] = {
        {0.9388715f, "0.9388715"}, {0.1f, "0.1"}, {1.0f, "1.0"}, {-0.0f, "-0.0"}, {1e-5f, "1e-05"},
        {1e-4f, "0.0001"}, {123456789.0f, "123456790.0"}, {1e16f, "1e+16"}, {3.4028235e38f, "3.4028235e+38"},
        {1e-45f, "1e-45"}, {-2.5e-7f, "-2.5e-07"}, {1.5e15f, "1500000000000000.0"},
    };
    for (const auto& [v, text] : floats) {
        std::string out;
        append_repr(out, v);
        EXPECT_EQ(out, text);
    }
    const std::pair<double, const char*> doubles[] = {
        {0.1, "0.1"}, {345600.0, "345600.0"}, {5e-324, "5e-324"}, {1.7976931348623157e308, "1.7976931348623157e+308"},
        {123456789012345678.0, "1.2345678901234568e+17"}, {9999999999999998.0, "9999999999999998.0"},
        {0.00012345, "0.00012345"}, {-1e100, "-1e+100"},
    };
    for (const auto& [v, text] : doubles) {
        std::string out;
        append_repr(out, v);
        EXPECT_EQ(out, text);
    }
}

}  // namespace
