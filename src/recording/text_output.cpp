#include "text_output.hpp"

#include <sys/stat.h>

namespace ahrs {

TextOutput::TextOutput(FileHandle owned, int fd, bool empty_first, InterruptCheck interrupt)
    : owned_(std::move(owned)),
      front_(new char[kBlock + kRoom]),
      back_(new char[kBlock + kRoom]),
      writer_(std::make_unique<BlockWriter>(fd, empty_first, interrupt)) {}

Result<TextOutput, IoError> TextOutput::create(std::string_view path, InterruptCheck interrupt) {
    auto fd = FileHandle::open_for_writing(path, interrupt);
    if (!fd) return err(std::move(fd).error());
    const int raw = fd->get();
    // Only a regular file can hold an earlier export to empty; a pipe or a
    // device has nothing to empty, as opening it with truncation would show.
    struct stat st{};
    const bool regular = ::fstat(raw, &st) == 0 && S_ISREG(st.st_mode);
    return started(TextOutput(std::move(*fd), raw, regular, interrupt));
}

Result<TextOutput, IoError> TextOutput::standard_output(InterruptCheck interrupt) {
    return started(TextOutput(FileHandle(), 1, false, interrupt));
}

Result<TextOutput, IoError> TextOutput::started(TextOutput out) {
    if (auto r = out.writer_->started(); !r) return err(std::move(r).error());
    return out;
}

Status<IoError> TextOutput::hand_over() {
    auto r = writer_->start(front_.get(), size_);
    std::swap(front_, back_);
    size_ = 0;
    return r;
}

Status<IoError> TextOutput::flush() {
    if (auto r = hand_over(); !r) return r;
    return writer_->wait();
}

}  // namespace ahrs
