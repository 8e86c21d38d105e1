#include "io_error.hpp"

#include <cerrno>
#include <cstring>

#include "debug_text.hpp"

namespace ahrs {
namespace {

struct KindText {
    std::string_view name;
    std::string_view description;
};

// Indexed by IoKind; keep in the enumeration's order.
constexpr KindText kKinds[] = {
    {"NotFound", "entity not found"},
    {"PermissionDenied", "permission denied"},
    {"ConnectionRefused", "connection refused"},
    {"ConnectionReset", "connection reset"},
    {"HostUnreachable", "host unreachable"},
    {"NetworkUnreachable", "network unreachable"},
    {"ConnectionAborted", "connection aborted"},
    {"NotConnected", "not connected"},
    {"AddrInUse", "address in use"},
    {"AddrNotAvailable", "address not available"},
    {"NetworkDown", "network down"},
    {"BrokenPipe", "broken pipe"},
    {"AlreadyExists", "entity already exists"},
    {"WouldBlock", "operation would block"},
    {"NotADirectory", "not a directory"},
    {"IsADirectory", "is a directory"},
    {"DirectoryNotEmpty", "directory not empty"},
    {"ReadOnlyFilesystem", "read-only filesystem or storage medium"},
    {"FilesystemLoop", "filesystem loop or indirection limit"},
    {"StaleNetworkFileHandle", "stale network file handle"},
    {"InvalidInput", "invalid input parameter"},
    {"InvalidData", "invalid data"},
    {"TimedOut", "timed out"},
    {"WriteZero", "write zero"},
    {"StorageFull", "no storage space"},
    {"NotSeekable", "seek on unseekable file"},
    {"FilesystemQuotaExceeded", "filesystem quota exceeded"},
    {"FileTooLarge", "file too large"},
    {"ResourceBusy", "resource busy"},
    {"ExecutableFileBusy", "executable file busy"},
    {"Deadlock", "deadlock"},
    {"CrossesDevices", "cross-device link or rename"},
    {"TooManyLinks", "too many links"},
    {"InvalidFilename", "invalid filename"},
    {"ArgumentListTooLong", "argument list too long"},
    {"Interrupted", "operation interrupted"},
    {"Unsupported", "unsupported"},
    {"UnexpectedEof", "unexpected end of file"},
    {"OutOfMemory", "out of memory"},
    {"Other", "other error"},
    {"Uncategorized", "uncategorized error"},
};
static_assert(sizeof kKinds / sizeof kKinds[0] == static_cast<std::size_t>(IoKind::Uncategorized) + 1);

}  // namespace

std::string_view kind_name(IoKind kind) { return kKinds[static_cast<std::size_t>(kind)].name; }
std::string_view kind_description(IoKind kind) { return kKinds[static_cast<std::size_t>(kind)].description; }

IoKind kind_from_errno(int e) {
    switch (e) {
        case E2BIG: return IoKind::ArgumentListTooLong;
        case EADDRINUSE: return IoKind::AddrInUse;
        case EADDRNOTAVAIL: return IoKind::AddrNotAvailable;
        case EBUSY: return IoKind::ResourceBusy;
        case ECONNABORTED: return IoKind::ConnectionAborted;
        case ECONNREFUSED: return IoKind::ConnectionRefused;
        case ECONNRESET: return IoKind::ConnectionReset;
        case EDEADLK: return IoKind::Deadlock;
        case EDQUOT: return IoKind::FilesystemQuotaExceeded;
        case EEXIST: return IoKind::AlreadyExists;
        case EFBIG: return IoKind::FileTooLarge;
        case EHOSTUNREACH: return IoKind::HostUnreachable;
        case EINTR: return IoKind::Interrupted;
        case EINVAL: return IoKind::InvalidInput;
        case EISDIR: return IoKind::IsADirectory;
        case ELOOP: return IoKind::FilesystemLoop;
        case ENOENT: return IoKind::NotFound;
        case ENOMEM: return IoKind::OutOfMemory;
        case ENOSPC: return IoKind::StorageFull;
        case ENOSYS: return IoKind::Unsupported;
        case EMLINK: return IoKind::TooManyLinks;
        case ENAMETOOLONG: return IoKind::InvalidFilename;
        case ENETDOWN: return IoKind::NetworkDown;
        case ENETUNREACH: return IoKind::NetworkUnreachable;
        case ENOTCONN: return IoKind::NotConnected;
        case ENOTDIR: return IoKind::NotADirectory;
        case ENOTEMPTY: return IoKind::DirectoryNotEmpty;
        case EPIPE: return IoKind::BrokenPipe;
        case EROFS: return IoKind::ReadOnlyFilesystem;
        case ESPIPE: return IoKind::NotSeekable;
        case ESTALE: return IoKind::StaleNetworkFileHandle;
        case ETIMEDOUT: return IoKind::TimedOut;
        case ETXTBSY: return IoKind::ExecutableFileBusy;
        case EXDEV: return IoKind::CrossesDevices;
        case EACCES:
        case EPERM: return IoKind::PermissionDenied;
        case EAGAIN: return IoKind::WouldBlock;
        default: return IoKind::Uncategorized;
    }
}

std::string os_error_description(int errnum) {
    char buf[256];
    // GNU strerror_r may return a static string instead of filling buf.
    const char* text = strerror_r(errnum, buf, sizeof buf);
    return text ? std::string(text) : std::string("Unknown error");
}

IoError IoError::os(int errnum) { return IoError(Shape::Os, kind_from_errno(errnum), errnum, {}); }
IoError IoError::last_os() { return os(errno); }
IoError IoError::fixed(IoKind kind, std::string_view message) {
    return IoError(Shape::Fixed, kind, 0, std::string(message));
}
IoError IoError::custom(IoKind kind, std::string message) {
    return IoError(Shape::Custom, kind, 0, std::move(message));
}
IoError IoError::bare(IoKind kind) { return IoError(Shape::Bare, kind, 0, {}); }

std::string IoError::debug() const {
    std::string out;
    switch (shape_) {
        case Shape::Os:
            out = "Os { code: " + std::to_string(code_) + ", kind: ";
            out += kind_name(kind_);
            out += ", message: ";
            append_quoted(out, os_error_description(code_));
            out += " }";
            break;
        case Shape::Fixed:
        case Shape::Custom:
            out = shape_ == Shape::Fixed ? "Error { kind: " : "Custom { kind: ";
            out += kind_name(kind_);
            out += shape_ == Shape::Fixed ? ", message: " : ", error: ";
            append_quoted(out, message_);
            out += " }";
            break;
        case Shape::Bare:
            out = "Kind(";
            out += kind_name(kind_);
            out += ")";
            break;
    }
    return out;
}

std::string IoError::text() const {
    switch (shape_) {
        case Shape::Os: return os_error_description(code_) + " (os error " + std::to_string(code_) + ")";
        case Shape::Fixed:
        case Shape::Custom: return message_;
        case Shape::Bare: return std::string(kind_description(kind_));
    }
    return {};
}

}  // namespace ahrs
