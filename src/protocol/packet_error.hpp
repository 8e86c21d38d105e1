#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "io_error.hpp"

namespace ahrs {

// One context line of a failure report, innermost first. A field frame also
// names the source line of the field that was being read.
struct ContextFrame {
    std::string text;
    const char* file = nullptr;  // null for a message frame
    int line = 0;
};

// Why one packet could not be read.
class PacketError {
public:
    enum class Kind : std::uint8_t { BadMagic, NoVariantMatch, AssertFail, Io };

    static PacketError bad_magic(std::uint64_t pos, std::uint8_t b0, std::uint8_t b1);
    static PacketError no_variant_match(std::uint64_t pos, std::uint8_t byte, ContextFrame field);
    static PacketError assert_fail(std::uint64_t pos, std::string message);
    static PacketError io(IoError e);
    static PacketError io_in_field(IoError e, ContextFrame field);

    Kind kind() const { return kind_; }
    std::uint64_t position() const { return position_; }
    std::array<std::uint8_t, 2> found() const { return found_; }
    const std::string& message() const { return message_; }
    const IoError* io_error() const { return io_ ? &*io_ : nullptr; }
    const std::vector<ContextFrame>& frames() const { return frames_; }

    // An I/O failure before the packet's first field (no context): the
    // stream ended or timed out at a packet boundary.
    bool is_bare_io() const { return kind_ == Kind::Io && frames_.empty(); }

    // The one-line base text, without frames.
    std::string base_text() const;
    // The full text: the base text alone, or a multi-line report when the
    // error carries context frames.
    std::string text() const;

private:
    explicit PacketError(Kind k) : kind_(k) {}
    Kind kind_;
    std::uint64_t position_ = 0;
    std::array<std::uint8_t, 2> found_{};
    std::string message_;
    std::optional<IoError> io_;
    std::vector<ContextFrame> frames_;
};

}  // namespace ahrs
