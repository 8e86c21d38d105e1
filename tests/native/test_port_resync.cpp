// Lossless resynchronisation: after a bad packet the next attempt starts at
// the next sync byte among the bytes already read, on a pty and on a file
// alike, and failure texts carry true offsets from the open. A source that
// runs dry inside a packet loses nothing: the packet comes whole once the
// rest arrives.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <thread>

#include "device/port.hpp"
#include "reference/reading_text.hpp"
#include "test_device_support.hpp"

using namespace device_test;
using ahrs::Port;

namespace {

enum class Medium { Pty, File };

const char* medium_name(Medium m) { return m == Medium::Pty ? "Pty" : "File"; }

// The report of the read after the last byte: a device falls silent, a file
// ends.
std::string exhausted_text(Medium m) {
    return m == Medium::Pty ? "IOERR: Operation timed out\n" : "IOERR: failed to fill whole buffer\n";
}

// A streaming port fed with `bytes` through a pty or from a file.
struct Link {
    std::optional<Pty> pty;
    std::optional<TempFile> file;
    Port port;

    Link(Medium m, const Bytes& bytes) {
        if (m == Medium::File) {
            file.emplace(bytes);
            port = Port::open_file(file->path).value();
            return;
        }
        pty.emplace();
        port = streaming_port(*pty);
        pty->send(bytes);
    }

    // More data: the sensor sends it, or the recording grows.
    void deliver(const Bytes& more) {
        if (pty) return pty->send(more);
        const int fd = ::open(file->path.c_str(), O_WRONLY | O_APPEND);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, more.data(), more.size()), static_cast<ssize_t>(more.size()));
        ::close(fd);
    }
};

const Bytes kGood = accel_packet(1, 2, 3);  // reads back as kAccelText

std::string checksum_text(const Bytes& sent, const Bytes& computed) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "bad checksum: %x != %x", sent[sent.size() - 2] << 8 | sent.back(),
                  computed[computed.size() - 2] << 8 | computed.back());
    return buf;
}

// One call's expected outcome: the good packet, or an empty list whose
// "Error parsing packet" report (device only) contains `failure`.
struct Outcome {
    std::optional<std::string> failure;
};
const Outcome kPacket{};
Outcome failed(std::string text) { return {std::move(text)}; }

struct Case {
    const char* name;
    Bytes bytes;
    std::vector<Outcome> outcomes;
};

std::vector<Case> cases() {
    const Bytes bad = corrupted(kGood);
    const std::string bad_sum = checksum_text(bad, kGood);
    return {
        {"ThreeStrayBytes",
         concat({{0, 0, 0}, kGood}),
         {failed("bad magic at 0x0: [0, 0]"), failed("bad magic at 0x2: [0, 117]"), kPacket}},
        {"OneStrayByte", concat({{0}, kGood}), {failed("bad magic at 0x0: [0, 117]"), kPacket}},
        {"BadChecksumThenGood", concat({bad, kGood}), {failed(bad_sum + " at 0x0"), kPacket}},
        {"UnknownDescriptorSet", concat({{0x75, 0x65, 0x02}, kGood}), {failed("no variants matched at 0x2"), kPacket}},
        // The length claims more than the packet holds: the reader runs into
        // the next packet, which must survive.
        {"LengthOverrunIntoNextPacket",
         concat({{0x75, 0x65, 0x80, 0x0A, 1, 2, 3}, kGood}),
         {failed(" at 0x0"), kPacket}},
        {"OffsetsCountFromTheOpen", concat({kGood, bad, kGood}), {kPacket, failed(bad_sum + " at 0x14"), kPacket}},
        // The source runs dry inside a false header's claimed length, but
        // whole packets already stand among the bytes it read: waiting for
        // the rest would hold them back, so it restarts at the next sync byte.
        {"FalseHeaderBeforeAPause",
         concat({{0x75, 0x65, 0x80, 0xFF}, kGood, kGood}),
         {failed("While parsing field 'bytes' in MipPacket"), kPacket, kPacket}},
    };
}

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
void PrintTo(Medium m, std::ostream* os) { *os << medium_name(m); }

class PortResync : public testing::TestWithParam<std::tuple<Medium, Case>> {};

TEST_P(PortResync, RecoversEveryPacketAfterTheFault) {
    ASSERT_EQ(std::count(kGood.begin(), kGood.end(), ahrs::kSync1), 1) << "fixture packet must hold one sync byte";
    const auto& [medium, c] = GetParam();
    Link link(medium, c.bytes);
    for (std::size_t i = 0; i < c.outcomes.size(); ++i) {
        SCOPED_TRACE("call " + std::to_string(i));
        const auto& want = c.outcomes[i];
        Printed p;
        auto r = capturing(p, [&] { return link.port.read_packet(); });
        ASSERT_TRUE(r.ok()) << p.err;
        EXPECT_EQ(p.out, want.failure || medium == Medium::Pty ? "" : "Parsed packet: DataSensor\n");
        if (!want.failure) {
            EXPECT_EQ(ahrs::readings_text(*r), kAccelText);
            EXPECT_EQ(p.err, "");
        } else if (medium == Medium::Pty) {
            EXPECT_TRUE(r->empty());
            EXPECT_EQ(p.err.rfind("Error parsing packet: ", 0), 0u) << p.err;
            EXPECT_NE(p.err.find(*want.failure), std::string::npos) << p.err;
        } else {
            EXPECT_TRUE(r->empty());
            EXPECT_EQ(p.err, "");  // files fail silently
        }
    }
    // Nothing is left over: the source is simply exhausted.
    Printed p;
    EXPECT_FALSE(capturing(p, [&] { return link.port.read_packet(); }).ok());
    EXPECT_EQ(p.err, exhausted_text(medium));
}

INSTANTIATE_TEST_SUITE_P(Cases, PortResync,
                         testing::Combine(testing::Values(Medium::Pty, Medium::File), testing::ValuesIn(cases())),
                         [](const auto& info) {
                             return std::string(medium_name(std::get<0>(info.param))) + "_" +
                                    std::get<1>(info.param).name;
                         });

// Enough packets to cross many read chunks (4 KiB on a device, 64 KiB on a
// file), every seventh with a bad checksum. Some packets hold stray 0x75
// bytes, so a bad one may cost more than one attempt; every good one still
// arrives, in order.
class PortResyncLongStream : public testing::TestWithParam<Medium> {};

TEST_P(PortResyncLongStream, DeliversEveryGoodPacketInOrder) {
    constexpr int kPackets = 4000;
    Bytes stream;
    std::vector<double> want;
    for (int i = 0; i < kPackets; ++i) {
        const Bytes p = accel_packet(static_cast<float>(i), 0, 0);
        const bool bad = i % 7 == 3;
        const Bytes b = bad ? corrupted(p) : p;
        stream.insert(stream.end(), b.begin(), b.end());
        if (!bad) want.push_back(i);
    }
    const Medium medium = GetParam();
    Link link(medium, medium == Medium::File ? stream : Bytes{});
    std::jthread writer;
    if (medium == Medium::Pty) writer = std::jthread([&] { link.pty->send(stream); });

    std::vector<double> got;
    int failures = 0;
    Printed p;
    capturing(p, [&] {
        // Until the data runs out: the end of the file, or a silent pty.
        for (int call = 0; call < 2 * kPackets; ++call) {
            auto r = link.port.read_packet();
            if (!r) break;
            if (r->empty()) ++failures;
            for (const auto& reading : *r) got.push_back(reading.item(0));
        }
        return 0;
    });
    EXPECT_EQ(got, want);
    EXPECT_GE(failures, kPackets - static_cast<int>(want.size()));
    EXPECT_EQ(p.err.substr(p.err.rfind("IOERR: ")), exhausted_text(medium));
}

INSTANTIATE_TEST_SUITE_P(Media, PortResyncLongStream, testing::Values(Medium::Pty, Medium::File),
                         [](const auto& info) { return medium_name(info.param); });

// The data stops after `cut` bytes of the second of two packets (a device
// falls silent, a recording is still being written), then the rest comes:
// the paused attempt fails as it always did, one that finds nothing new
// fails as at the end of the data, and the first after the rest reads the
// packet whole. Every point of the packet, sync bytes to checksum.
class PortPause : public testing::TestWithParam<std::tuple<Medium, std::size_t>> {};

TEST_P(PortPause, PacketCutByAPauseArrivesWholeAfterIt) {
    const auto [medium, cut] = GetParam();
    const Bytes stream = concat({kGood, kGood});
    const std::size_t at = kGood.size() + cut;
    Link link(medium, Bytes(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(at)));
    Printed p;
    auto first = capturing(p, [&] { return link.port.read_packet(); });
    ASSERT_TRUE(first.ok()) << p.err;
    EXPECT_EQ(ahrs::readings_text(*first), kAccelText);

    auto paused = capturing(p, [&] { return link.port.read_packet(); });
    if (cut < 2) {  // inside the sync bytes: the source's own report
        EXPECT_FALSE(paused.ok());
        EXPECT_EQ(p.err, exhausted_text(medium));
    } else {
        ASSERT_TRUE(paused.ok()) << p.err;
        EXPECT_TRUE(paused->empty());
        if (medium == Medium::Pty) {
            EXPECT_NE(p.err.find("Operation timed out"), std::string::npos) << p.err;
        }
    }
    // Nothing new: reported as the source's own end, so a loop that reads
    // until an error (a recording cut short for good) ends.
    EXPECT_FALSE(capturing(p, [&] { return link.port.read_packet(); }).ok());
    EXPECT_EQ(p.err.rfind("IOERR: ", 0), 0u) << p.err;
    EXPECT_EQ(std::count(p.err.begin(), p.err.end(), '\n'), 1) << p.err;
    if (medium == Medium::Pty) {
        EXPECT_EQ(p.err, exhausted_text(medium));
    }

    link.deliver(Bytes(stream.begin() + static_cast<std::ptrdiff_t>(at), stream.end()));
    auto whole = capturing(p, [&] { return link.port.read_packet(); });
    ASSERT_TRUE(whole.ok()) << p.err;
    EXPECT_EQ(ahrs::readings_text(*whole), kAccelText);
    EXPECT_EQ(p.err, "");
    EXPECT_EQ(p.out, medium == Medium::File ? "Parsed packet: DataSensor\n" : "");
    EXPECT_FALSE(capturing(p, [&] { return link.port.read_packet(); }).ok());
    EXPECT_EQ(p.err, exhausted_text(medium));
}

INSTANTIATE_TEST_SUITE_P(EveryPoint, PortPause,
                         testing::Combine(testing::Values(Medium::Pty, Medium::File),
                                          testing::Range(std::size_t{1}, kGood.size())),
                         [](const auto& info) {
                             return std::string(medium_name(std::get<0>(info.param))) + "_after_" +
                                    std::to_string(std::get<1>(info.param)) + "_bytes";
                         });

// A time-out between the two sync bytes loses nothing: the next call reads
// the packet whole once the rest arrives.
TEST(PortResyncTiming, LateSecondSyncByteIsReadWholeOnTheNextCall) {
    Pty pty;
    Port port = streaming_port(pty);
    pty.send({kGood.front()});
    Printed p;
    auto first = capturing(p, [&] { return port.read_packet(); });
    ASSERT_FALSE(first.ok());
    EXPECT_EQ(p.err, "IOERR: Operation timed out\n");
    pty.send(Bytes(kGood.begin() + 1, kGood.end()));
    auto second = capturing(p, [&] { return port.read_packet(); });
    ASSERT_TRUE(second.ok()) << p.err;
    EXPECT_EQ(ahrs::readings_text(*second), kAccelText);
    EXPECT_EQ(p.err, "");
}

TEST(PortResyncTiming, SilentDeviceTimesOut) {
    Pty pty;
    Port port = streaming_port(pty);
    Printed p;
    auto r = capturing(p, [&] { return port.read_packet(); });
    ASSERT_FALSE(r.ok());
    const auto& e = std::get<ahrs::AHRSError>(r.error());
    EXPECT_EQ(e.error(), "IOError: Custom { kind: TimedOut, error: \"Operation timed out\" }");
    EXPECT_EQ(e.cause(), ahrs::AHRSError::Cause::Other);
    EXPECT_EQ(p.err, "IOERR: Operation timed out\n");
    EXPECT_EQ(p.out, "");
}

}  // namespace
