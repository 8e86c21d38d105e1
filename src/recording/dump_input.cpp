#include "dump_input.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "../device/files.hpp"

namespace ahrs {
namespace {

// A reader of its own over the same open file (and the same offset).
Result<FileHandle, IoError> duplicate(int fd) {
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (copy < 0) return err(IoError::last_os());
    return FileHandle(copy);
}

Result<RecordingScan, IoError> scan_from_start(int fd, InterruptCheck interrupt) {
    if (::lseek(fd, 0, SEEK_SET) < 0) return err(IoError::last_os());
    auto copy = duplicate(fd);
    if (!copy) return err(std::move(copy).error());
    return RecordingScan(FileSource::adopt(std::move(*copy)), interrupt);
}

// A file nobody else can see, gone once closed.
Result<FileHandle, IoError> unnamed_file(const std::string& dir) {
    int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        std::string name = dir + "/.ahrs-dump-XXXXXX";
        fd = ::mkostemp(name.data(), O_CLOEXEC);
        if (fd >= 0 && ::unlink(name.c_str()) != 0) {
            const int saved = errno;
            ::close(fd);
            errno = saved;
            fd = -1;
        }
    }
    fd = above_standard_descriptors(fd);
    if (fd < 0) return err(IoError::last_os());
    return FileHandle(fd);
}

// Passes the input's bytes on and keeps a copy of each.
class SpoolingSource final : public ChunkSource {
public:
    SpoolingSource(std::unique_ptr<ChunkSource> input, int spool) : input_(std::move(input)), spool_(spool) {}

    Result<std::size_t, IoError> read_some(std::span<std::uint8_t> dst, const Interrupts& interrupts) override {
        auto n = input_->read_some(dst, interrupts);
        if (!n) return n;
        for (std::size_t done = 0; done < *n;) {
            const ssize_t w = ::write(spool_, dst.data() + done, *n - done);
            if (w > 0) done += static_cast<std::size_t>(w);
            else if (w == 0) return err(IoError::write_zero());
            else if (errno != EINTR) return err(IoError::last_os());
        }
        return n;
    }
    std::size_t chunk_size() const override { return input_->chunk_size(); }

private:
    std::unique_ptr<ChunkSource> input_;
    int spool_;
};

}  // namespace

Result<DumpInput, IoError> DumpInput::open(std::string_view path, InterruptCheck interrupt) {
    auto fd = FileHandle::open_read_only(path, interrupt);
    if (!fd) return err(std::move(fd).error());
    struct stat st{};
    if (::fstat(fd->get(), &st) != 0) return err(IoError::last_os());
    return DumpInput(std::move(*fd), S_ISREG(st.st_mode), st.st_dev, st.st_ino, interrupt);
}

Result<RecordingScan, IoError> DumpInput::first_pass(const std::string* spool_dir) {
    auto copy = duplicate(fd_.get());
    if (!copy) return err(std::move(copy).error());
    auto source = FileSource::adopt(std::move(*copy));
    if (regular_ || !spool_dir) return RecordingScan(std::move(source), interrupt_);
    auto spool = unnamed_file(*spool_dir);
    if (!spool) return err(std::move(spool).error());
    spool_ = std::move(*spool);
    return RecordingScan(std::make_unique<SpoolingSource>(std::move(source), spool_.get()), interrupt_);
}

Result<RecordingScan, IoError> DumpInput::again() {
    return scan_from_start(regular_ ? fd_.get() : spool_.get(), interrupt_);
}

}  // namespace ahrs
