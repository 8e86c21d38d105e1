#include "file_source.hpp"

#include <unistd.h>

#include <cerrno>

namespace ahrs {

Result<std::unique_ptr<FileSource>, IoError> FileSource::open(std::string_view path, InterruptCheck interrupt) {
    auto fd = FileHandle::open_read_only(path, interrupt);
    if (!fd) return err(std::move(fd).error());
    return std::unique_ptr<FileSource>(new FileSource(std::move(fd).value()));
}

Result<std::size_t, IoError> FileSource::read_some(std::span<std::uint8_t> dst, const Interrupts& interrupts) {
    for (;;) {
        const ssize_t n = ::read(fd_.get(), dst.data(), dst.size());
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno != EINTR) return err(IoError::last_os());
        if (interrupts.signals.requested()) return err(interrupted());
    }
}

}  // namespace ahrs
