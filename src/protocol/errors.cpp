#include "errors.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

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

namespace {

void append_code_point_escape(std::string& out, std::uint32_t cp) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
    out += buf;
}

// Decodes one UTF-8 sequence at `text[i]`; returns its length, or 0 when the
// bytes are not well-formed UTF-8.
std::size_t decode_utf8(std::string_view text, std::size_t i, std::uint32_t& cp) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    std::size_t len = b0 < 0x80 ? 1 : (b0 >> 5) == 0x6 ? 2 : (b0 >> 4) == 0xE ? 3 : (b0 >> 3) == 0x1E ? 4 : 0;
    if (len == 0 || i + len > text.size()) return 0;
    cp = len == 1 ? b0 : b0 & (0x7F >> len);
    for (std::size_t k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(text[i + k]);
        if ((b & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    return len;
}

bool is_control(std::uint32_t cp) { return cp < 0x20 || (cp >= 0x7F && cp < 0xA0); }

}  // namespace

void append_quoted(std::string& out, std::string_view text) {
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        std::uint32_t cp = 0;
        std::size_t len = decode_utf8(text, i, cp);
        if (len == 0) {  // a stray byte: show its value rather than corrupt the output
            append_code_point_escape(out, static_cast<unsigned char>(text[i]));
            ++i;
            continue;
        }
        switch (cp) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            case '\0': out += "\\0"; break;
            default:
                if (is_control(cp)) append_code_point_escape(out, cp);
                else out.append(text.substr(i, len));
        }
        i += len;
    }
    out += '"';
}

std::string quoted(std::string_view text) {
    std::string out;
    append_quoted(out, text);
    return out;
}

}  // namespace ahrs
