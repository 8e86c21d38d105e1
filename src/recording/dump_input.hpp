#pragma once
// The export's input, opened once. A CSV export may need to read it a second
// time; a regular file is then read again from its start, while anything that
// cannot be read twice (a pipe, a FIFO, a character device) is copied during
// the first pass into an unlinked file beside the output, which the second
// pass reads instead.
#include <memory>
#include <string_view>

#include "../device/files.hpp"
#include "recording_scan.hpp"

namespace ahrs {

class DumpInput {
public:
    // The open, and every read of the scans made here, give way to
    // `interrupt`: an input serves one call of the host.
    static Result<DumpInput, IoError> open(std::string_view path, InterruptCheck interrupt);

    // A scan from the first byte. With `spool_dir` given, this pass keeps what
    // a later one needs, in a file made in that directory.
    Result<RecordingScan, IoError> first_pass(const std::string* spool_dir);
    // The same bytes again, after a first pass that kept them.
    Result<RecordingScan, IoError> again();

    InterruptCheck interrupt_check() const { return interrupt_; }
    // The device and inode, to tell an output that is this very file.
    dev_t device() const { return device_; }
    ino_t inode() const { return inode_; }

private:
    DumpInput(FileHandle fd, bool regular, dev_t device, ino_t inode, InterruptCheck interrupt)
        : fd_(std::move(fd)), regular_(regular), device_(device), inode_(inode), interrupt_(interrupt) {}

    FileHandle fd_;
    bool regular_;
    dev_t device_;
    ino_t inode_;
    InterruptCheck interrupt_;
    FileHandle spool_;
};

}  // namespace ahrs
