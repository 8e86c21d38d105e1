#pragma once
// A live reader's recording: every byte received, appended as it arrives,
// as ahrs-record --raw writes it. A write that fails stops the recording
// for good (the stream goes on) and keeps the reason.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "../protocol/io_error.hpp"
#include "../protocol/result.hpp"

namespace ahrs {

class Recorder {
public:
    // Creates or truncates the file.
    static Result<std::unique_ptr<Recorder>, IoError> open(const std::string& path);
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Bytes written (all of them, or none after a failure).
    std::size_t write(std::span<const std::uint8_t> bytes);
    // Why the recording stopped; nothing while it goes on.
    std::optional<std::string> error();

private:
    explicit Recorder(int fd) : fd_(fd) {}
    void fail(const IoError& e);

    int fd_;
    std::atomic<bool> failed_{false};
    std::mutex mu_;
    std::string error_;
};

}  // namespace ahrs
