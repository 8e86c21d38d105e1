#pragma once
#include <string>

#include "../protocol/io_error.hpp"
#include "serial_error.hpp"

namespace ahrs {

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

}  // namespace ahrs
