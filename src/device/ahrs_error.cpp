#include "ahrs_error.hpp"

#include "../protocol/debug_text.hpp"
#include "interrupt.hpp"

namespace ahrs {

AHRSError AHRSError::from_io(const IoError& e) {
    AHRSError a("IOError: " + e.debug());
    if (is_interruption(e)) a.cause_ = Cause::Interrupted;
    return a;
}

AHRSError AHRSError::from_serial(const SerialError& e) { return AHRSError("SerialPortError: " + e.debug()); }

std::string AHRSError::debug() const {
    std::string out = "AHRSError { error: ";
    append_quoted(out, error_);
    out += " }";
    return out;
}

}  // namespace ahrs
