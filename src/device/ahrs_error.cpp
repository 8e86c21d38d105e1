#include "ahrs_error.hpp"

#include "../protocol/debug_text.hpp"

namespace ahrs {

AHRSError AHRSError::from_io(const IoError& e) { return AHRSError("IOError: " + e.debug()); }

AHRSError AHRSError::from_serial(const SerialError& e) { return AHRSError("SerialPortError: " + e.debug()); }

std::string AHRSError::debug() const {
    std::string out = "AHRSError { error: ";
    append_quoted(out, error_);
    out += " }";
    return out;
}

}  // namespace ahrs
