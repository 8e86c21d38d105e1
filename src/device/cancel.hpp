#pragma once
// Lets another thread interrupt a port's waits at once, instead of after a
// read time-out: the port polls the token's descriptor beside the device.
#include <atomic>

namespace ahrs {

class CancelToken {
public:
    CancelToken();  // creates an eventfd; falls back to no-op waits on failure
    ~CancelToken();
    CancelToken(const CancelToken&) = delete;
    CancelToken& operator=(const CancelToken&) = delete;

    void cancel();            // thread-safe, idempotent
    bool cancelled() const;   // thread-safe
    int fd() const { return fd_; }  // readable once cancelled; -1 if unavailable

private:
    int fd_;
    // Keeps the answer of cancelled() right even when no eventfd could be made.
    std::atomic<bool> cancelled_{false};
};

}  // namespace ahrs
