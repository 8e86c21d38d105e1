#include "errors.hpp"

#include <cerrno>

#include "../protocol/errors.hpp"
#include "interrupts.hpp"

namespace ahrs {

SerialError SerialError::from_errno(int errnum) {
    const std::string text = os_error_description(errnum);
    SerialError e = errnum == ENODEV || errnum == ENXIO ? SerialError(Kind::NoDevice, text)
                    : errnum == EINVAL                  ? SerialError(Kind::InvalidInput, text)
                                                        : SerialError(kind_from_errno(errnum), text);
    e.os_code_ = errnum;
    return e;
}

std::string SerialError::debug() const {
    std::string out = "Error { kind: ";
    switch (kind_) {
        case Kind::NoDevice: out += "NoDevice"; break;
        case Kind::InvalidInput: out += "InvalidInput"; break;
        case Kind::Unknown: out += "Unknown"; break;
        case Kind::Io:
            out += "Io(";
            out += kind_name(io_kind_);
            out += ")";
            break;
    }
    out += ", description: ";
    append_quoted(out, description_);
    out += " }";
    return out;
}

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
