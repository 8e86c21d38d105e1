// Framing, checksum and the failure reports of one packet read, and the five
// writes of one packet.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "protocol/mip_packet.hpp"
#include "test_bytes.hpp"

namespace ahrs {
namespace {

using test_bytes::Bytes;
using test_bytes::concat;
using Kind = PacketError::Kind;

const std::string kDescriptorFrame = "While parsing field 'descriptor' in MipPacket";
const std::string kLengthFrame = "While parsing field 'payload_length' in MipPacket";
const std::string kBytesFrame = "While parsing field 'bytes' in MipPacket";
const std::string kChecksumFrame = "While parsing field 'checksum' in MipPacket";

// The protocol's checksum computed from scratch over the whole frame, sync
// bytes included, so the codec's pre-seeded accumulator is checked against it.
Bytes frame(std::uint8_t set, const Bytes& payload) {
    Bytes out = {0x75, 0x65, set, static_cast<std::uint8_t>(payload.size())};
    out.insert(out.end(), payload.begin(), payload.end());
    std::uint8_t a = 0, b = 0;
    for (auto x : out) {
        a = static_cast<std::uint8_t>(a + x);
        b = static_cast<std::uint8_t>(b + a);
    }
    out.push_back(a);
    out.push_back(b);
    return out;
}

// A byte source over memory that records every read request and can hand
// out short reads, answer Interrupted, fail at a chosen offset, or behave
// like a forward-only stream (position always 0, seeking does nothing).
class ScriptedSource : public ByteSource {
public:
    explicit ScriptedSource(Bytes data) : data_(std::move(data)) {}

    std::size_t max_chunk = std::numeric_limits<std::size_t>::max();
    int interrupt_every = 0;              // every n-th read call is Interrupted
    std::optional<std::size_t> fail_at;   // reads at this offset time out
    bool forward_only = false;
    bool fail_position = false;

    std::vector<std::size_t> requests;    // dst.size() of each read call
    std::vector<std::uint64_t> seeks;

    Result<std::size_t, IoError> read(std::span<std::uint8_t> dst) override {
        requests.push_back(dst.size());
        if (interrupt_every && requests.size() % interrupt_every == 0) return err(IoError::bare(IoKind::Interrupted));
        if (fail_at && pos_ == *fail_at) return err(IoError::custom(IoKind::TimedOut, "Operation timed out"));
        std::size_t n = std::min({dst.size(), max_chunk, data_.size() - pos_});
        if (fail_at && pos_ < *fail_at) n = std::min(n, *fail_at - pos_);
        std::copy_n(data_.begin() + static_cast<std::ptrdiff_t>(pos_), n, dst.begin());
        pos_ += n;
        return n;
    }
    Result<std::uint64_t, IoError> position() override {
        if (fail_position) return err(IoError::bare(IoKind::Other));
        return std::uint64_t{forward_only ? 0 : pos_};
    }
    Status<IoError> seek(std::uint64_t pos) override {
        seeks.push_back(pos);
        if (!forward_only) pos_ = static_cast<std::size_t>(pos);
        return Unit{};
    }
    std::size_t consumed() const { return pos_; }

private:
    Bytes data_;
    std::size_t pos_ = 0;
};

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        line.erase(0, line.find_first_not_of(' '));
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

// The report of a failure with frames: a "Backtrace" header, the base text,
// each frame (a field frame followed by its "at file:line"), a closing rule.
void expect_report(const PacketError& e, const std::vector<std::string>& frames) {
    const auto lines = split_lines(e.text());
    ASSERT_GE(lines.size(), 3u) << e.text();
    EXPECT_NE(lines.front().find("Backtrace"), std::string::npos) << e.text();
    std::size_t at = 1;
    EXPECT_EQ(lines[at++], e.base_text());
    for (const auto& f : frames) {
        ASSERT_LT(at, lines.size()) << e.text();
        EXPECT_EQ(lines[at++], f) << e.text();
        if (f.starts_with("While parsing field")) {
            ASSERT_LT(at, lines.size()) << e.text();
            EXPECT_TRUE(lines[at].starts_with("at src/") && lines[at].find(".cpp:") != std::string::npos) << lines[at];
            ++at;
        }
    }
    EXPECT_EQ(at + 1, lines.size()) << "expected only the closing rule after the frames:\n" << e.text();
}

void expect_frames(const PacketError& e, const std::vector<std::string>& frames) {
    ASSERT_EQ(e.frames().size(), frames.size());
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(e.frames()[i].text, frames[i]);
        EXPECT_EQ(e.frames()[i].file != nullptr, frames[i].starts_with("While parsing field")) << frames[i];
    }
    if (frames.empty()) EXPECT_EQ(e.text(), e.base_text());
    else expect_report(e, frames);
}

// --- reading ---------------------------------------------------------------

struct GoodPacket {
    const char* name;
    Bytes wire;
    Descriptor set;
    Bytes payload;
};

std::vector<GoodPacket> good_packets() {
    Bytes full(255);
    for (std::size_t i = 0; i < full.size(); ++i) full[i] = static_cast<std::uint8_t>(i * 7 + 3);
    return {
        {"CommandBase", {0x75, 0x65, 0x01, 0x02, 0x02, 0x02, 0xE1, 0xC7}, Descriptor::CommandBase, {0x02, 0x02}},
        {"EmptySensor", {0x75, 0x65, 0x80, 0x00, 0x5A, 0x03}, Descriptor::DataSensor, {}},
        {"EmptyEstimate", {0x75, 0x65, 0x82, 0x00, 0x5C, 0x07}, Descriptor::DataEstimationFilter, {}},
        {"FullPayload", frame(0x82, full), Descriptor::DataEstimationFilter, full},
    };
}

TEST(MipPacketRead, ReadsWellFormedPackets) {
    for (const auto& c : good_packets()) {
        SCOPED_TRACE(c.name);
        MemorySource src(c.wire);
        auto p = MipPacket::read(src);
        ASSERT_TRUE(p.ok()) << p.error().text();
        EXPECT_EQ(p->descriptor(), c.set);
        EXPECT_EQ(Bytes(p->bytes().begin(), p->bytes().end()), c.payload);
        EXPECT_EQ(*src.position(), c.wire.size());
    }
}

TEST(MipPacketRead, FullPayloadIsOne261BytePacket) {
    const auto full = good_packets().back();
    ASSERT_EQ(full.wire.size(), 261u);
    ScriptedSource src(concat({full.wire, good_packets().front().wire}));
    auto p = MipPacket::read(src);
    ASSERT_TRUE(p.ok()) << p.error().text();
    EXPECT_EQ(p->bytes().size(), 255u);
    EXPECT_EQ(src.consumed(), 261u);
    EXPECT_TRUE(MipPacket::read(src).ok());
}

struct DescriptorRow {
    std::uint8_t byte;
    Descriptor value;
    const char* name;
};

const DescriptorRow kDescriptors[] = {
    {0x01, Descriptor::CommandBase, "CommandBase"},
    {0x0C, Descriptor::Command3DM, "Command3DM"},
    {0x0D, Descriptor::CommandNav, "CommandNav"},
    {0x0E, Descriptor::CommandGNSS, "CommandGNSS"},
    {0x0F, Descriptor::CommandRTK, "CommandRTK"},
    {0x7F, Descriptor::CommandSys, "CommandSys"},
    {0x80, Descriptor::DataSensor, "DataSensor"},
    {0x81, Descriptor::DataGNSS, "DataGNSS"},
    {0x82, Descriptor::DataEstimationFilter, "DataEstimationFilter"},
    {0x90, Descriptor::DataDisplacement, "DataDisplacement"},
    {0x91, Descriptor::DataGNSS1, "DataGNSS1"},
    {0x92, Descriptor::DataGNSS2, "DataGNSS2"},
    {0x93, Descriptor::DataGNSS3, "DataGNSS3"},
    {0x94, Descriptor::DataGNSS4, "DataGNSS4"},
    {0x95, Descriptor::DataGNSS5, "DataGNSS5"},
    {0xA0, Descriptor::DataSystem, "DataSystem"},
};

TEST(MipPacketRead, AcceptsExactlyTheSixteenDescriptorSets) {
    for (int b = 0; b < 256; ++b) {
        SCOPED_TRACE(b);
        const auto byte = static_cast<std::uint8_t>(b);
        const auto wire = frame(byte, {0x02, 0x02});
        MemorySource src(wire);
        auto p = MipPacket::read(src);
        const auto row = std::find_if(std::begin(kDescriptors), std::end(kDescriptors),
                                      [&](const DescriptorRow& r) { return r.byte == byte; });
        if (row != std::end(kDescriptors)) {
            ASSERT_TRUE(p.ok()) << p.error().text();
            EXPECT_EQ(p->descriptor(), row->value);
            EXPECT_EQ(descriptor_name(row->value), row->name);
        } else {
            ASSERT_FALSE(p.ok());
            EXPECT_EQ(p.error().kind(), Kind::NoVariantMatch);
            EXPECT_EQ(p.error().position(), 2u);
            ASSERT_FALSE(p.error().frames().empty());
            EXPECT_EQ(p.error().frames()[0].text, "Unexpected value for enum: " + std::to_string(b));
        }
    }
}

struct ReadFailure {
    const char* name;
    Bytes wire;
    Kind kind;
    std::string base;
    std::vector<std::string> frames;
    std::uint64_t position = 0;  // BadMagic, NoVariantMatch, AssertFail
};

const std::vector<ReadFailure>& read_failures() {
    static const std::vector<ReadFailure> cases = {
        {"BadSecondSync", {0x75, 0x66, 0x01, 0x02}, Kind::BadMagic, "bad magic at 0x0: [117, 102]", {}},
        {"BadFirstSync", {0x00, 0x65}, Kind::BadMagic, "bad magic at 0x0: [0, 101]", {}},
        {"SwappedSync", {0x65, 0x75}, Kind::BadMagic, "bad magic at 0x0: [101, 117]", {}},
        {"ChecksumNotSummed",
         {0x75, 0x65, 0x80, 0x00, 0x5A, 0x04},
         Kind::AssertFail,
         "bad checksum: 5a04 != 5a03 at 0x0",
         {}},
        {"ChecksumOffByOne",
         {0x75, 0x65, 0x01, 0x02, 0x02, 0x02, 0xE1, 0xC8},
         Kind::AssertFail,
         "bad checksum: e1c8 != e1c7 at 0x0",
         {}},
        {"ChecksumNoPadding",
         {0x75, 0x65, 0x80, 0x00, 0x00, 0x05},
         Kind::AssertFail,
         "bad checksum: 5 != 5a03 at 0x0",
         {}},
        {"UnknownSet02",
         {0x75, 0x65, 0x02},
         Kind::NoVariantMatch,
         "no variants matched at 0x2",
         {"Unexpected value for enum: 2", kDescriptorFrame},
         2},
        {"UnknownSetC8",
         {0x75, 0x65, 0xC8, 0x00, 0x00, 0x00},
         Kind::NoVariantMatch,
         "no variants matched at 0x2",
         {"Unexpected value for enum: 200", kDescriptorFrame},
         2},
        {"UnknownSet00",
         {0x75, 0x65, 0x00},
         Kind::NoVariantMatch,
         "no variants matched at 0x2",
         {"Unexpected value for enum: 0", kDescriptorFrame},
         2},
        {"UnknownSet83",
         {0x75, 0x65, 0x83},
         Kind::NoVariantMatch,
         "no variants matched at 0x2",
         {"Unexpected value for enum: 131", kDescriptorFrame},
         2},
        {"UnknownSetFF",
         {0x75, 0x65, 0xFF},
         Kind::NoVariantMatch,
         "no variants matched at 0x2",
         {"Unexpected value for enum: 255", kDescriptorFrame},
         2},
        {"EmptyStream", {}, Kind::Io, "failed to fill whole buffer", {}},
        {"LoneSync", {0x75}, Kind::Io, "failed to fill whole buffer", {}},
        {"CutAfterSync", {0x75, 0x65}, Kind::Io, "failed to fill whole buffer", {kDescriptorFrame}},
        {"CutAfterSet", {0x75, 0x65, 0x80}, Kind::Io, "failed to fill whole buffer", {kLengthFrame}},
        {"CutPayload", {0x75, 0x65, 0x80, 0x05, 0x01, 0x02}, Kind::Io, "not enough bytes in reader", {kBytesFrame}},
        {"NoChecksum", {0x75, 0x65, 0x01, 0x02, 0x02, 0x02}, Kind::Io, "failed to fill whole buffer", {kChecksumFrame}},
        {"HalfChecksum",
         {0x75, 0x65, 0x01, 0x02, 0x02, 0x02, 0xE1},
         Kind::Io,
         "failed to fill whole buffer",
         {kChecksumFrame}},
    };
    return cases;
}

TEST(MipPacketRead, ReportsEachFailureWithItsTextAndFrames) {
    for (const auto& c : read_failures()) {
        SCOPED_TRACE(c.name);
        MemorySource src(c.wire);
        auto p = MipPacket::read(src);
        ASSERT_FALSE(p.ok());
        const PacketError& e = p.error();
        EXPECT_EQ(e.kind(), c.kind);
        EXPECT_EQ(e.base_text(), c.base);
        if (c.kind == Kind::Io) {
            ASSERT_NE(e.io_error(), nullptr);
            EXPECT_EQ(e.io_error()->kind(), IoKind::UnexpectedEof);
        } else {
            EXPECT_EQ(e.position(), c.position);
        }
        EXPECT_EQ(e.is_bare_io(), c.kind == Kind::Io && c.frames.empty());
        expect_frames(e, c.frames);
    }
}

// The packet at a non-zero offset: positions are the stream's, in hex.
TEST(MipPacketRead, FailuresAfterAPacketNameTheirOwnOffsetAndSeekBackToIt) {
    const Bytes lead = frame(0x80, Bytes(20, 0));  // 26 bytes: the next packet starts at 0x1a
    const auto read_after_lead = [&](const Bytes& tail) {
        const Bytes wire = concat({lead, tail});
        MemorySource src(wire);
        EXPECT_TRUE(MipPacket::read(src).ok());
        auto p = MipPacket::read(src);
        EXPECT_EQ(*src.position(), 0x1au) << "not moved back to the failed packet's first sync byte";
        return p;
    };
    for (const auto& c : read_failures()) {
        SCOPED_TRACE(c.name);
        auto p = read_after_lead(c.wire);
        ASSERT_FALSE(p.ok());
        if (c.kind != Kind::Io) {
            EXPECT_EQ(p.error().position(), 0x1a + c.position);
        }
    }
    const struct {
        Bytes tail;
        std::string base;
        std::vector<std::string> frames;
    } texts[] = {
        {{0x75, 0x66}, "bad magic at 0x1a: [117, 102]", {}},
        {{0x75, 0x65, 0x02}, "no variants matched at 0x1c", {"Unexpected value for enum: 2", kDescriptorFrame}},
        {{0x75, 0x65, 0x80, 0x00, 0x5A, 0x04}, "bad checksum: 5a04 != 5a03 at 0x1a", {}},
    };
    for (const auto& t : texts) {
        SCOPED_TRACE(t.base);
        auto p = read_after_lead(t.tail);
        ASSERT_FALSE(p.ok());
        EXPECT_EQ(p.error().base_text(), t.base);
        expect_frames(p.error(), t.frames);
    }
}

TEST(MipPacketRead, ReadsEachFieldOnlyWhenReachedAndNothingAhead) {
    const auto command = good_packets().front().wire;
    ScriptedSource src(concat({command, command}));
    ASSERT_TRUE(MipPacket::read(src).ok());
    // sync, sync, descriptor set, length, payload, checksum
    EXPECT_EQ(src.requests, (std::vector<std::size_t>{1, 1, 1, 1, 2, 2}));
    EXPECT_EQ(src.consumed(), command.size());
    EXPECT_TRUE(src.seeks.empty());
    ASSERT_TRUE(MipPacket::read(src).ok());

    ScriptedSource empty_payload({0x75, 0x65, 0x80, 0x00, 0x5A, 0x03});
    ASSERT_TRUE(MipPacket::read(empty_payload).ok());
    EXPECT_EQ(empty_payload.requests, (std::vector<std::size_t>{1, 1, 1, 1, 2}));
}

TEST(MipPacketRead, ContinuesShortReadsAndRetriesInterruptedOnes) {
    for (const auto& c : good_packets()) {
        for (int every : {2, 3}) {
            SCOPED_TRACE(std::string(c.name) + " interrupted every " + std::to_string(every));
            ScriptedSource src(c.wire);
            src.max_chunk = 1;
            src.interrupt_every = every;
            auto p = MipPacket::read(src);
            ASSERT_TRUE(p.ok()) << p.error().text();
            EXPECT_EQ(p->descriptor(), c.set);
            EXPECT_EQ(Bytes(p->bytes().begin(), p->bytes().end()), c.payload);
            EXPECT_EQ(src.consumed(), c.wire.size());
        }
    }
}

TEST(MipPacketRead, StreamErrorsCarryTheFrameOfTheFieldBeingRead) {
    const auto command = good_packets().front().wire;  // 75 65 01 02 | 02 02 | E1 C7
    const struct {
        std::size_t offset;
        std::vector<std::string> frames;
    } cases[] = {
        {0, {}},
        {1, {}},
        {2, {kDescriptorFrame}},
        {3, {kLengthFrame}},
        {4, {kBytesFrame}},
        {5, {kBytesFrame}},
        {6, {kChecksumFrame}},
        {7, {kChecksumFrame}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.offset);
        ScriptedSource src(command);
        src.fail_at = c.offset;
        auto p = MipPacket::read(src);
        ASSERT_FALSE(p.ok());
        EXPECT_EQ(p.error().kind(), Kind::Io);
        ASSERT_NE(p.error().io_error(), nullptr);
        EXPECT_EQ(p.error().io_error()->kind(), IoKind::TimedOut);
        EXPECT_EQ(p.error().base_text(), "Operation timed out");
        expect_frames(p.error(), c.frames);
        EXPECT_EQ(src.seeks, (std::vector<std::uint64_t>{0}));
    }

    ScriptedSource no_position(command);
    no_position.fail_position = true;
    auto p = MipPacket::read(no_position);
    ASSERT_FALSE(p.ok());
    EXPECT_TRUE(p.error().is_bare_io());
    EXPECT_TRUE(no_position.requests.empty());
}

// A stream that keeps no position (the serial adapter): every position it
// reports is 0 and moving back leaves every byte consumed.
TEST(MipPacketRead, ForwardOnlyStreamKeepsBytesConsumedAndReportsItsOwnPositions) {
    const auto command = good_packets().front().wire;

    ScriptedSource magic(concat({{0x75, 0x66}, command}));
    magic.forward_only = true;
    EXPECT_EQ(MipPacket::read(magic).error().text(), "bad magic at 0x0: [117, 102]");
    EXPECT_EQ(magic.consumed(), 2u) << "both sync bytes are consumed before the verdict";
    auto next = MipPacket::read(magic);
    ASSERT_TRUE(next.ok()) << next.error().text();

    ScriptedSource set({0x75, 0x65, 0xC8, 0x75});
    set.forward_only = true;
    auto e = MipPacket::read(set);
    ASSERT_FALSE(e.ok());
    EXPECT_EQ(e.error().base_text(), "no variants matched at 0x0");
    EXPECT_EQ(set.consumed(), 3u);

    ScriptedSource cut({0x75, 0x65, 0x80, 0x05, 0x01, 0x02});
    cut.forward_only = true;
    ASSERT_FALSE(MipPacket::read(cut).ok());
    EXPECT_EQ(cut.consumed(), 6u) << "the payload bytes that arrived stay consumed";
}

// --- writing ---------------------------------------------------------------

// A sink that records every write call; it can take at most `max_chunk`
// bytes per call, answer Interrupted, and stop taking bytes or fail once
// `limit` bytes are in.
class RecordingSink : public ByteSink {
public:
    std::size_t max_chunk = std::numeric_limits<std::size_t>::max();
    int interrupt_every = 0;
    std::size_t limit = std::numeric_limits<std::size_t>::max();
    std::optional<IoError> error_at_limit;  // else writes at the limit take nothing

    Bytes data;
    std::vector<Bytes> calls;

    Result<std::size_t, IoError> write(std::span<const std::uint8_t> src) override {
        calls.emplace_back(src.begin(), src.end());
        if (interrupt_every && calls.size() % interrupt_every == 0) return err(IoError::bare(IoKind::Interrupted));
        if (data.size() >= limit && error_at_limit) return err(*error_at_limit);
        const std::size_t n = std::min({src.size(), max_chunk, limit - data.size()});
        data.insert(data.end(), src.begin(), src.begin() + static_cast<std::ptrdiff_t>(n));
        return n;
    }
};

TEST(MipPacketWrite, WritesCommandBaseInFiveWholeWrites) {
    RecordingSink sink;
    const Bytes payload = {0x02, 0x02};
    ASSERT_TRUE(MipPacket::write(sink, Descriptor::CommandBase, payload).ok());
    EXPECT_EQ(sink.data, (Bytes{0x75, 0x65, 0x01, 0x02, 0x02, 0x02, 0xE1, 0xC7}));
    EXPECT_EQ(sink.calls, (std::vector<Bytes>{{0x75, 0x65}, {0x01}, {0x02}, {0x02, 0x02}, {0xE1, 0xC7}}));
}

// The three packets the device is configured with, byte for byte; each also
// reads back as the packet it was written from.
TEST(MipPacketWrite, ConfigurationPacketsRoundTrip) {
    const struct {
        Descriptor set;
        Bytes payload;
        Bytes wire;
    } cases[] = {
        {Descriptor::CommandBase, {0x02, 0x02}, {0x75, 0x65, 0x01, 0x02, 0x02, 0x02, 0xE1, 0xC7}},
        {Descriptor::Command3DM,
         {0x05, 0x11, 0x01, 0x01, 0x00},
         {0x75, 0x65, 0x0C, 0x05, 0x05, 0x11, 0x01, 0x01, 0x00, 0x03, 0x19}},
        {Descriptor::Command3DM,
         {0x05, 0x11, 0x01, 0x03, 0x00},
         {0x75, 0x65, 0x0C, 0x05, 0x05, 0x11, 0x01, 0x03, 0x00, 0x05, 0x1D}},
        {Descriptor::DataGNSS5, Bytes(255, 0xFF), frame(0x95, Bytes(255, 0xFF))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(descriptor_name(c.set));
        RecordingSink sink;
        ASSERT_TRUE(MipPacket::write(sink, c.set, c.payload).ok());
        EXPECT_EQ(sink.data, c.wire);
        EXPECT_EQ(sink.calls.size(), 5u);

        MemorySource src(sink.data);
        auto p = MipPacket::read(src);
        ASSERT_TRUE(p.ok()) << p.error().text();
        EXPECT_EQ(p->descriptor(), c.set);
        EXPECT_EQ(Bytes(p->bytes().begin(), p->bytes().end()), c.payload);
    }
}

TEST(MipPacketWrite, ContinuesShortWritesAndRetriesInterruptedOnes) {
    RecordingSink sink;
    sink.max_chunk = 1;
    sink.interrupt_every = 3;
    const Bytes payload = {0x05, 0x11, 0x01, 0x01, 0x00};
    ASSERT_TRUE(MipPacket::write(sink, Descriptor::Command3DM, payload).ok());
    EXPECT_EQ(sink.data, (Bytes{0x75, 0x65, 0x0C, 0x05, 0x05, 0x11, 0x01, 0x01, 0x00, 0x03, 0x19}));
}

TEST(MipPacketWrite, StopsAtTheFirstFailedWriteKeepingWhatWasWritten) {
    const Bytes payload = {0x02, 0x02};
    const struct {
        const char* name;
        std::size_t limit;
        std::optional<IoError> error;
        IoKind kind;
        std::string text;
    } cases[] = {
        {"SinkTakesNothing", 0, std::nullopt, IoKind::WriteZero, "failed to write whole buffer"},
        {"SinkFullInPayload", 5, std::nullopt, IoKind::WriteZero, "failed to write whole buffer"},
        {"SinkFails", 3, IoError::custom(IoKind::TimedOut, "Operation timed out"), IoKind::TimedOut,
         "Operation timed out"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingSink sink;
        sink.limit = c.limit;
        sink.error_at_limit = c.error;
        auto r = MipPacket::write(sink, Descriptor::CommandBase, payload);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().kind(), c.kind);
        EXPECT_EQ(r.error().text(), c.text);
        Bytes written = {0x75, 0x65, 0x01, 0x02, 0x02, 0x02, 0xE1, 0xC7};
        written.resize(c.limit);
        EXPECT_EQ(sink.data, written);
    }
}

}  // namespace
}  // namespace ahrs
