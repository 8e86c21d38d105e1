// The diagnostic and plain forms of I/O, serial-port and system errors.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "device/errors.hpp"
#include "protocol/errors.hpp"

namespace ahrs {
namespace {

using namespace std::string_literals;

std::string description(int errnum) { return std::strerror(errnum); }

TEST(IoError, FourShapesWithTheirDiagnosticAndPlainForms) {
    const struct {
        const char* name;
        IoError error;
        IoKind kind;
        std::string debug;
        std::string text;
    } rows[] = {
        {"Os", IoError::os(ENOENT), IoKind::NotFound,
         "Os { code: 2, kind: NotFound, message: \"" + description(ENOENT) + "\" }",
         description(ENOENT) + " (os error 2)"},
        {"OsUncategorized", IoError::os(EIO), IoKind::Uncategorized,
         "Os { code: 5, kind: Uncategorized, message: \"" + description(EIO) + "\" }",
         description(EIO) + " (os error 5)"},
        {"FixedEof", IoError::eof_fill(), IoKind::UnexpectedEof,
         "Error { kind: UnexpectedEof, message: \"failed to fill whole buffer\" }", "failed to fill whole buffer"},
        {"FixedWriteZero", IoError::write_zero(), IoKind::WriteZero,
         "Error { kind: WriteZero, message: \"failed to write whole buffer\" }", "failed to write whole buffer"},
        {"CustomTimeout", IoError::custom(IoKind::TimedOut, "Operation timed out"), IoKind::TimedOut,
         "Custom { kind: TimedOut, error: \"Operation timed out\" }", "Operation timed out"},
        {"CustomQuoted", IoError::custom(IoKind::InvalidInput, "bad \"seek\""), IoKind::InvalidInput,
         "Custom { kind: InvalidInput, error: \"bad \\\"seek\\\"\" }", "bad \"seek\""},
        {"BareEof", IoError::bare(IoKind::UnexpectedEof), IoKind::UnexpectedEof, "Kind(UnexpectedEof)",
         "unexpected end of file"},
        {"BareOther", IoError::bare(IoKind::Other), IoKind::Other, "Kind(Other)", "other error"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.error.kind(), row.kind);
        EXPECT_EQ(row.error.debug(), row.debug);
        EXPECT_EQ(row.error.text(), row.text);
    }
}

TEST(IoError, ErrorNumbersMapToTheKindThatClassifiesThem) {
    const struct {
        int errnum;
        IoKind kind;
    } rows[] = {
        {ENOENT, IoKind::NotFound},       {EACCES, IoKind::PermissionDenied}, {EPERM, IoKind::PermissionDenied},
        {EINTR, IoKind::Interrupted},     {ETIMEDOUT, IoKind::TimedOut},      {EAGAIN, IoKind::WouldBlock},
        {EISDIR, IoKind::IsADirectory},   {EINVAL, IoKind::InvalidInput},     {EBUSY, IoKind::ResourceBusy},
        {ENOTDIR, IoKind::NotADirectory}, {EEXIST, IoKind::AlreadyExists},    {EPIPE, IoKind::BrokenPipe},
        {EIO, IoKind::Uncategorized},     {ENOTTY, IoKind::Uncategorized},    {0, IoKind::Uncategorized},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.errnum);
        EXPECT_EQ(kind_from_errno(row.errnum), row.kind);
        EXPECT_EQ(IoError::os(row.errnum).kind(), row.kind);
        EXPECT_EQ(IoError::os(row.errnum).os_code(), row.errnum);
    }
}

TEST(IoError, KindNamesInOrder) {
    const std::vector<std::string> names = {"NotFound",
                                            "PermissionDenied",
                                            "ConnectionRefused",
                                            "ConnectionReset",
                                            "HostUnreachable",
                                            "NetworkUnreachable",
                                            "ConnectionAborted",
                                            "NotConnected",
                                            "AddrInUse",
                                            "AddrNotAvailable",
                                            "NetworkDown",
                                            "BrokenPipe",
                                            "AlreadyExists",
                                            "WouldBlock",
                                            "NotADirectory",
                                            "IsADirectory",
                                            "DirectoryNotEmpty",
                                            "ReadOnlyFilesystem",
                                            "FilesystemLoop",
                                            "StaleNetworkFileHandle",
                                            "InvalidInput",
                                            "InvalidData",
                                            "TimedOut",
                                            "WriteZero",
                                            "StorageFull",
                                            "NotSeekable",
                                            "FilesystemQuotaExceeded",
                                            "FileTooLarge",
                                            "ResourceBusy",
                                            "ExecutableFileBusy",
                                            "Deadlock",
                                            "CrossesDevices",
                                            "TooManyLinks",
                                            "InvalidFilename",
                                            "ArgumentListTooLong",
                                            "Interrupted",
                                            "Unsupported",
                                            "UnexpectedEof",
                                            "OutOfMemory",
                                            "Other",
                                            "Uncategorized"};
    ASSERT_EQ(static_cast<std::size_t>(IoKind::Uncategorized) + 1, names.size());
    for (std::size_t i = 0; i < names.size(); ++i) EXPECT_EQ(kind_name(static_cast<IoKind>(i)), names[i]);
}

TEST(Quoted, EscapesQuotesBackslashesAndNonPrintables) {
    const struct {
        std::string in;
        std::string out;
    } rows[] = {
        {"plain text", R"("plain text")"},
        {"", R"("")"},
        {"say \"hi\"", R"("say \"hi\"")"},
        {"C:\\dev", R"("C:\\dev")"},
        {"it's", R"("it's")"},
        {"a\tb\rc\nd", R"("a\tb\rc\nd")"},
        {"nul\0end"s, R"("nul\0end")"},
        {"\x01\x1b\x7f", R"("\u{1}\u{1b}\u{7f}")"},
        {"caf\xC3\xA9", "\"caf\xC3\xA9\""},        // printable UTF-8 as is
        {"\xC2\x85", R"("\u{85}")"},               // C1 control
        {"\xE2\x82\xAC 5", "\"\xE2\x82\xAC 5\""},  // three-byte sequence
    };
    for (const auto& row : rows) EXPECT_EQ(ahrs::quoted(row.in), row.out);
}

TEST(SerialError, DiagnosticFormNamesKindAndDescription) {
    const struct {
        SerialError error;
        std::string debug;
    } rows[] = {
        {SerialError(SerialError::Kind::InvalidInput, "Port not streaming"),
         R"(Error { kind: InvalidInput, description: "Port not streaming" })"},
        {SerialError(SerialError::Kind::NoDevice, "gone"), R"(Error { kind: NoDevice, description: "gone" })"},
        {SerialError(SerialError::Kind::Unknown, "a \"b\""), R"(Error { kind: Unknown, description: "a \"b\"" })"},
        {SerialError(IoKind::NotFound, "missing"), R"(Error { kind: Io(NotFound), description: "missing" })"},
        {SerialError::from_errno(ENOENT), "Error { kind: Io(NotFound), description: \"" + description(ENOENT) + "\" }"},
        {SerialError::from_errno(EACCES),
         "Error { kind: Io(PermissionDenied), description: \"" + description(EACCES) + "\" }"},
        {SerialError::from_errno(ENODEV), "Error { kind: NoDevice, description: \"" + description(ENODEV) + "\" }"},
    };
    for (const auto& row : rows) EXPECT_EQ(row.error.debug(), row.debug);
}

TEST(AHRSError, DisplayAndDebugFormsFromBothSources) {
    const auto io = AHRSError::from_io(IoError::os(ENOENT));
    const std::string os_form = "Os { code: 2, kind: NotFound, message: \"" + description(ENOENT) + "\" }";
    EXPECT_EQ(io.error(), "IOError: " + os_form);
    EXPECT_EQ(io.display(), "AHRSError: IOError: " + os_form);
    EXPECT_EQ(io.debug(), "AHRSError { error: \"IOError: Os { code: 2, kind: NotFound, message: \\\"" +
                              description(ENOENT) + "\\\" }\" }");

    const auto serial = AHRSError::from_serial(SerialError(SerialError::Kind::InvalidInput, "Port not streaming"));
    EXPECT_EQ(serial.display(),
              R"(AHRSError: SerialPortError: Error { kind: InvalidInput, description: "Port not streaming" })");
    EXPECT_EQ(
        serial.debug(),
        R"(AHRSError { error: "SerialPortError: Error { kind: InvalidInput, description: \"Port not streaming\" }" })");

    const auto eof = AHRSError::from_io(IoError::eof_fill());
    EXPECT_EQ(eof.display(),
              R"(AHRSError: IOError: Error { kind: UnexpectedEof, message: "failed to fill whole buffer" })");
    const auto nested = AHRSError::from_io(IoError::custom(IoKind::Other, "line\\n\n"));
    EXPECT_EQ(nested.debug(), R"(AHRSError { error: "IOError: Custom { kind: Other, error: \"line\\\\n\\n\" }" })");
}

}  // namespace
}  // namespace ahrs
