#include "packet_error.hpp"

#include <cstdio>

namespace ahrs {
namespace {

std::string hex(std::uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%llx", static_cast<unsigned long long>(v));
    return buf;
}

}  // namespace

PacketError PacketError::bad_magic(std::uint64_t pos, std::uint8_t b0, std::uint8_t b1) {
    PacketError e(Kind::BadMagic);
    e.position_ = pos;
    e.found_ = {b0, b1};
    return e;
}

PacketError PacketError::no_variant_match(std::uint64_t pos, std::uint8_t byte, ContextFrame field) {
    PacketError e(Kind::NoVariantMatch);
    e.position_ = pos;
    e.frames_.push_back({"Unexpected value for enum: " + std::to_string(byte)});
    e.frames_.push_back(std::move(field));
    return e;
}

PacketError PacketError::assert_fail(std::uint64_t pos, std::string message) {
    PacketError e(Kind::AssertFail);
    e.position_ = pos;
    e.message_ = std::move(message);
    return e;
}

PacketError PacketError::io(IoError err) {
    PacketError e(Kind::Io);
    e.io_ = std::move(err);
    return e;
}

PacketError PacketError::io_in_field(IoError err, ContextFrame field) {
    PacketError e = io(std::move(err));
    e.frames_.push_back(std::move(field));
    return e;
}

std::string PacketError::base_text() const {
    switch (kind_) {
        case Kind::BadMagic:
            return "bad magic at 0x" + hex(position_) + ": [" + std::to_string(found_[0]) + ", " +
                   std::to_string(found_[1]) + "]";
        case Kind::NoVariantMatch: return "no variants matched at 0x" + hex(position_);
        case Kind::AssertFail: return message_ + " at 0x" + hex(position_);
        case Kind::Io: return io_->text();
    }
    return {};
}

std::string PacketError::text() const {
    if (frames_.empty()) return base_text();
    std::string out = "\n  --- Backtrace ------------------------------------------\n";
    out += "   " + base_text() + "\n";
    for (const auto& f : frames_) {
        out += "   " + f.text + "\n";
        if (f.file) out += "      at " + std::string(f.file) + ":" + std::to_string(f.line) + "\n";
    }
    out += "  --------------------------------------------------------";
    return out;
}

}  // namespace ahrs
