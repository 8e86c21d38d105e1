#pragma once
// A recorded stream, opened read only and read front to back.
#include <memory>
#include <string_view>

#include "chunk_source.hpp"
#include "file_handle.hpp"

namespace ahrs {

class FileSource final : public ChunkSource {
public:
    // The file must exist; it is never created, truncated or written.
    static Result<std::unique_ptr<FileSource>, IoError> open(std::string_view path, InterruptCheck interrupt);
    // Reads an open descriptor from where it stands.
    static std::unique_ptr<FileSource> adopt(FileHandle fd) {
        return std::unique_ptr<FileSource>(new FileSource(std::move(fd)));
    }

    Result<std::size_t, IoError> read_some(std::span<std::uint8_t> dst, const Interrupts& interrupts) override;
    std::size_t chunk_size() const override { return 64 * 1024; }

private:
    explicit FileSource(FileHandle fd) : fd_(std::move(fd)) {}
    FileHandle fd_;
};

}  // namespace ahrs
