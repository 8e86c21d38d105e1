#include "recorder.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "../device/files.hpp"

namespace ahrs {
namespace {

constexpr int kFinishIdleMs = 1000;

// Neither truncates nor leaves a trace of its own until the recording
// begins: a start that fails later must not have emptied a file that was
// there, nor left a new empty one behind. `created` says which it was.
int open_for_writing(const std::string& path, bool& created) {
    constexpr int flags = O_WRONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    int fd;
    do fd = ::open(path.c_str(), flags | O_CREAT | O_EXCL, 0666);
    while (fd < 0 && errno == EINTR);
    created = fd >= 0;
    if (fd < 0 && errno == EEXIST) {
        do fd = ::open(path.c_str(), flags);
        while (fd < 0 && errno == EINTR);
    }
    return above_standard_descriptors(fd);
}

bool regular(int fd) {
    struct stat st;
    return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

Result<std::unique_ptr<Recorder>, RecorderOpenError> Recorder::open(const std::string& path) {
    bool data_created = false;
    const int data = open_for_writing(path, data_created);
    if (data < 0) return err(RecorderOpenError{path, IoError::last_os()});
    int times = -1;
    bool times_created = false;
    const std::string sidecar = path + ".times";
    // A pipe or a device has no place beside it for a second file.
    if (regular(data)) {
        times = open_for_writing(sidecar, times_created);
        if (times < 0) {
            RecorderOpenError e{sidecar, IoError::last_os()};
            ::close(data);
            if (data_created) ::unlink(path.c_str());
            return err(std::move(e));
        }
    }
    std::unique_ptr<Recorder> r;
    try {
        r.reset(new Recorder(data, times));
        if (data_created) r->created_.push_back(path);
        if (times_created) r->created_.push_back(sidecar);
    } catch (...) {
        ::close(data);
        if (times >= 0) ::close(times);
        throw;
    }
    return r;
}

Status<RecorderOpenError> Recorder::begin(const std::string& path) {
    begun_ = true;
    for (WaitingOutput* out : {&data_, &times_})
        if (out->fd() >= 0 && regular(out->fd()) && ::ftruncate(out->fd(), 0) != 0)
            return err(RecorderOpenError{out == &data_ ? path : path + ".times", IoError::last_os()});
    const auto* magic = reinterpret_cast<const std::uint8_t*>(kTimeSidecarMagic.data());
    if (times_.fd() >= 0)
        if (auto e = times_.put({magic, kTimeSidecarMagic.size()})) return err(RecorderOpenError{path + ".times", *e});
    return Unit{};
}

void Recorder::fail(std::string why) {
    std::lock_guard lock(mu_);
    error_ = "recording stopped: " + std::move(why);
    failed_.store(true, std::memory_order_release);
}

bool Recorder::take(std::span<const std::uint8_t> bytes, std::uint64_t monotonic_ns, std::uint64_t realtime_ns) {
    if (auto e = data_.put(bytes)) {
        fail(e->text());
        return false;
    }
    length_ += bytes.size();
    entry_.clear();
    encoder_.entry(length_, monotonic_ns, realtime_ns, entry_);
    if (auto e = times_.put(entry_)) {
        fail("time sidecar: " + e->text());
        return false;
    }
    if (data_.waiting() > kMaxWaiting || times_.waiting() > kMaxWaiting) {
        fail("its reader fell behind by more than " + std::to_string(kMaxWaiting >> 20) + " MiB");
        return false;
    }
    return true;
}

std::size_t Recorder::write(std::span<const std::uint8_t> bytes, std::uint64_t monotonic_ns,
                            std::uint64_t realtime_ns) {
    if (bytes.empty() || failed_.load(std::memory_order_acquire)) return 0;
    return take(bytes, monotonic_ns, realtime_ns) ? bytes.size() : 0;
}

void Recorder::finish() {
    if (!begun_) {
        // The start failed: what it created goes again, what was there stays.
        for (const std::string& p : created_) ::unlink(p.c_str());
        return;
    }
    if (failed_.load(std::memory_order_acquire)) return;
    for (WaitingOutput* out : {&data_, &times_}) {
        if (out->fd() < 0) continue;
        bool complete = false;
        if (auto e = out->drain(kFinishIdleMs, complete)) return fail(e->text());
        if (!complete)
            return fail(std::to_string(out->waiting()) + " bytes left unwritten at close: its reader took none");
    }
}

std::optional<std::string> Recorder::error() {
    if (!failed_.load(std::memory_order_acquire)) return std::nullopt;
    std::lock_guard lock(mu_);
    return error_;
}

}  // namespace ahrs
