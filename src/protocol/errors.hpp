#pragma once
// The error values of the protocol layer, which the layers above build on:
// an I/O error, the reason one packet could not be read, and the quoted form
// their diagnostic text uses.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ahrs {

// I/O error values shared by every layer: a kind from a fixed list and one of
// four shapes (an operating-system error number, a kind with a fixed message,
// a kind with a message of its own, or a bare kind).
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

// One context line of a failure report, innermost first. A field frame also
// names the source line of the field that was being read.
struct ContextFrame {
    std::string text;
    const char* file = nullptr;  // null for a message frame
    int line = 0;
};

// Why one packet could not be read.
class PacketError {
public:
    enum class Kind : std::uint8_t { BadMagic, NoVariantMatch, AssertFail, Io };

    static PacketError bad_magic(std::uint64_t pos, std::uint8_t b0, std::uint8_t b1);
    static PacketError no_variant_match(std::uint64_t pos, std::uint8_t byte, ContextFrame field);
    static PacketError assert_fail(std::uint64_t pos, std::string message);
    static PacketError io(IoError e);
    static PacketError io_in_field(IoError e, ContextFrame field);

    Kind kind() const { return kind_; }
    std::uint64_t position() const { return position_; }
    std::array<std::uint8_t, 2> found() const { return found_; }
    const std::string& message() const { return message_; }
    const IoError* io_error() const { return io_ ? &*io_ : nullptr; }
    const std::vector<ContextFrame>& frames() const { return frames_; }

    // An I/O failure before the packet's first field (no context): the
    // stream ended or timed out at a packet boundary.
    bool is_bare_io() const { return kind_ == Kind::Io && frames_.empty(); }

    // The one-line base text, without frames.
    std::string base_text() const;
    // The full text: the base text alone, or a multi-line report when the
    // error carries context frames.
    std::string text() const;

private:
    explicit PacketError(Kind k) : kind_(k) {}
    Kind kind_;
    std::uint64_t position_ = 0;
    std::array<std::uint8_t, 2> found_{};
    std::string message_;
    std::optional<IoError> io_;
    std::vector<ContextFrame> frames_;
};

// Appends `text` to `out` as a double-quoted, escaped literal: quote and
// backslash escaped, \t \r \n \0 spelled out, other control characters as
// \u{hex}. Input is UTF-8; a byte that is not part of a well-formed sequence
// is shown as \u{byte value}, so the result is always printable text.
void append_quoted(std::string& out, std::string_view text);
std::string quoted(std::string_view text);

}  // namespace ahrs
