#pragma once
// I/O error values shared by every layer: a kind from a fixed list and one of
// four shapes (an operating-system error number, a kind with a fixed message,
// a kind with a message of its own, or a bare kind).
#include <cstdint>
#include <string>
#include <string_view>

namespace ahrs {

enum class IoKind : std::uint8_t {
    NotFound,
    PermissionDenied,
    ConnectionRefused,
    ConnectionReset,
    HostUnreachable,
    NetworkUnreachable,
    ConnectionAborted,
    NotConnected,
    AddrInUse,
    AddrNotAvailable,
    NetworkDown,
    BrokenPipe,
    AlreadyExists,
    WouldBlock,
    NotADirectory,
    IsADirectory,
    DirectoryNotEmpty,
    ReadOnlyFilesystem,
    FilesystemLoop,
    StaleNetworkFileHandle,
    InvalidInput,
    InvalidData,
    TimedOut,
    WriteZero,
    StorageFull,
    NotSeekable,
    FilesystemQuotaExceeded,
    FileTooLarge,
    ResourceBusy,
    ExecutableFileBusy,
    Deadlock,
    CrossesDevices,
    TooManyLinks,
    InvalidFilename,
    ArgumentListTooLong,
    Interrupted,
    Unsupported,
    UnexpectedEof,
    OutOfMemory,
    Other,
    Uncategorized,
};

std::string_view kind_name(IoKind kind);
// Short lowercase description, the plain text of a bare kind.
std::string_view kind_description(IoKind kind);
// The kind that classifies an operating-system error number.
IoKind kind_from_errno(int errnum);

class IoError {
public:
    enum class Shape : std::uint8_t { Os, Fixed, Custom, Bare };

    static IoError os(int errnum);
    static IoError last_os();  // from errno
    static IoError fixed(IoKind kind, std::string_view message);
    static IoError custom(IoKind kind, std::string message);
    static IoError bare(IoKind kind);

    // The two end-of-data errors of the packet reader.
    static IoError eof_fill() { return fixed(IoKind::UnexpectedEof, "failed to fill whole buffer"); }
    static IoError write_zero() { return fixed(IoKind::WriteZero, "failed to write whole buffer"); }

    Shape shape() const { return shape_; }
    IoKind kind() const { return kind_; }
    int os_code() const { return code_; }  // meaningful for Shape::Os only

    // Diagnostic form, e.g. Os { code: 2, kind: NotFound, message: "..." }.
    std::string debug() const;
    // Plain text, e.g. "No such file or directory (os error 2)".
    std::string text() const;

private:
    IoError(Shape s, IoKind k, int code, std::string msg)
        : shape_(s), kind_(k), code_(code), message_(std::move(msg)) {}
    Shape shape_;
    IoKind kind_;
    int code_;
    std::string message_;
};

// The platform's description of an error number.
std::string os_error_description(int errnum);

}  // namespace ahrs
