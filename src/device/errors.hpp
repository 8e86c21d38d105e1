#pragma once
// The error values of the device layer: a serial port's own error, the
// system's one error value made from it or from an I/O error, and the
// internal failure that ends an operation.
#include <cstdint>
#include <string>
#include <variant>

#include "../protocol/errors.hpp"

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

// The system's one error value: a complete message, made only from an I/O
// error or a serial-port error.
class AHRSError {
public:
    // Why the error arose, beyond its text: lets the buffered reader tell a
    // dead device or a cancelled wait from an ordinary time-out, and the
    // host a call abandoned for a signal's handler (whose exception stands).
    enum class Cause : unsigned char { Other, Disconnected, Cancelled, Interrupted };

    static AHRSError from_io(const IoError& e);
    static AHRSError from_serial(const SerialError& e);

    const std::string& error() const { return error_; }
    Cause cause() const { return cause_; }
    AHRSError with_cause(Cause c) && {
        cause_ = c;
        return std::move(*this);
    }

    // AHRSError: <error>
    std::string display() const { return "AHRSError: " + error_; }
    // AHRSError { error: "<escaped error>" }
    std::string debug() const;

private:
    explicit AHRSError(std::string error) : error_(std::move(error)) {}
    std::string error_;
    Cause cause_ = Cause::Other;
};

// An internal failure: the operation cannot go on (a write to the device
// failed while configuring it, or printing a diagnostic failed). The Python
// layer raises it as PanicException.
struct Panic {
    std::string message;
    // Not a failure at all: a write that waited was cut short because a
    // signal's handler raised, and that exception is what the caller gets.
    bool interrupted = false;
};

// A failed read attempt: an error value for the caller to print, raise or
// drop, or an internal failure (a diagnostic could not be printed).
using PortError = std::variant<AHRSError, Panic>;

}  // namespace ahrs
