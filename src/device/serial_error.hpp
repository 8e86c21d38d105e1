#pragma once
#include <cstdint>
#include <string>

#include "../protocol/io_error.hpp"

namespace ahrs {

// An error of the serial-port layer: a kind and a description.
class SerialError {
public:
    enum class Kind : std::uint8_t { NoDevice, InvalidInput, Unknown, Io };

    SerialError(Kind kind, std::string description) : kind_(kind), description_(std::move(description)) {}
    SerialError(IoKind io, std::string description)
        : kind_(Kind::Io), io_kind_(io), description_(std::move(description)) {}
    // Classifies an operating-system error number met while opening or setting up a device.
    static SerialError from_errno(int errnum);

    Kind kind() const { return kind_; }
    IoKind io_kind() const { return io_kind_; }
    const std::string& description() const { return description_; }
    int os_code() const { return os_code_; }  // the operating system's error number, 0 when none

    // Error { kind: InvalidInput, description: "Port not streaming" }
    std::string debug() const;

private:
    Kind kind_;
    IoKind io_kind_ = IoKind::Other;
    std::string description_;
    int os_code_ = 0;
};

}  // namespace ahrs
