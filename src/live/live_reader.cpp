#include "live_reader.hpp"

#include <limits.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/epoll.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <string_view>
#include <exception>
#include <functional>
#include <new>
#include <system_error>
#include <utility>

#include "../device/serial_device.hpp"
#include "path_watch.hpp"

namespace ahrs {
namespace {

using std::chrono::milliseconds;

// Reconnection tries: soon after a loss, then less often.
constexpr milliseconds kFirstRetry{250};
constexpr milliseconds kLastRetry{2000};

// A pseudo-terminal that hung up never comes back: its number goes to the
// next program that asks for a terminal (a shell, another test), which a
// reader must never configure or read. So a device that is one is marked by
// the way the path reaches it: "" for anything else, "direct" when the path
// is the terminal itself (it is never opened again), or the identity of the
// symlink that leads there (opened again only through a link made afresh,
// as udev or a simulator makes one for a new device). Told from the path
// alone, not from what it leads to, so that no terminal made meanwhile can
// slip in between a look and an open.
std::string way_to(const std::string& path) {
    struct stat link;
    if (::lstat(path.c_str(), &link) != 0) return {};
    if (!S_ISLNK(link.st_mode)) return "direct";
    return std::to_string(link.st_ino) + "." + std::to_string(link.st_ctim.tv_sec) + "." +
           std::to_string(link.st_ctim.tv_nsec);
}

std::string terminal_mark(const std::string& path) {
    char resolved[PATH_MAX];
    if (!::realpath(path.c_str(), resolved) || !std::string_view(resolved).starts_with("/dev/pts/")) return {};
    return way_to(path);
}

LiveStartError device_error(const SerialError& e) {
    return {.what = LiveStartError::What::Device, .os_code = e.os_code(), .text = e.description(), .serial = e};
}

LiveStartError unrecordable(const IoError& e, const std::string& path) {
    const bool os = e.shape() == IoError::Shape::Os;
    return {.what = LiveStartError::What::Record,
            .os_code = os ? e.os_code() : 0,
            .text = os ? os_error_description(e.os_code()) : e.text(),
            .name = path};
}

// The clock a set's packets carry, as an index into the reader's watches.
std::optional<std::size_t> clock_index(Descriptor set) {
    if (set == Descriptor::DataSensor) return 0;
    if (set == Descriptor::DataEstimationFilter) return 1;
    return std::nullopt;
}

}  // namespace

Result<std::unique_ptr<LiveReader>, LiveStartError> LiveReader::start(LiveSettings settings) {
    std::unique_ptr<LiveReader> reader;
    try {
        reader.reset(new LiveReader(std::move(settings)));
        // First, so that a recording that can't be had leaves the device
        // untouched: neither opened nor configured.
        if (reader->settings_.record)
            if (auto r = reader->open_recording(); !r) return err(std::move(r).error());
        reader->cancel_ = std::make_shared<CancelToken>();
    } catch (const std::bad_alloc&) {
        return err(LiveStartError{.what = LiveStartError::What::NoMemory});
    }
    errno = 0;
    const bool samples = !reader->settings_.layout;
    if (samples) reader->queue_ = SampleQueue::create(reader->settings_.capacity, reader->settings_.overflow);
    if (samples && !reader->queue_)
        return err(errno && errno != ENOMEM ? LiveStartError{.what = LiveStartError::What::System,
                                                             .os_code = errno,
                                                             .text = os_error_description(errno)}
                                            : LiveStartError{.what = LiveStartError::What::NoMemory});
    if (samples) reader->open_loop_fd();
    Result<std::unique_ptr<SerialDevice>, LiveStartError> device = std::unique_ptr<SerialDevice>();
    if (!reader->settings_.open_in_thread) device = reader->connect();
    if (!device) return err(std::move(device).error());
    if (reader->recorder_)
        if (auto r = reader->recorder_->begin(*reader->settings_.record); !r)
            return err(unrecordable(r.error().error, r.error().path));
    try {
        reader->thread_ = std::make_unique<std::thread>(&LiveReader::run, reader.get(), std::move(*device));
    } catch (const std::bad_alloc&) {
        return err(LiveStartError{.what = LiveStartError::What::NoMemory});
    } catch (const std::system_error&) {
        return err(LiveStartError{.what = LiveStartError::What::NoThread});
    }
    return reader;
}

Status<LiveStartError> LiveReader::open_recording() {
    // Every byte read would go back into the device it came from. Asked
    // before the open too, so that the device is not even opened for it.
    const LiveStartError into_device{.what = LiveStartError::What::RecordIsDevice,
                                     .text = "the recording is the port itself"};
    struct stat existing;
    if (::stat(settings_.record->c_str(), &existing) == 0 && is_port(existing)) return err(into_device);
    auto rec = Recorder::open(*settings_.record);
    if (!rec) return err(unrecordable(rec.error().error, rec.error().path));
    struct stat opened;
    if (::fstat((*rec)->fd(), &opened) == 0 && is_port(opened)) return err(into_device);
    recorder_ = std::move(*rec);
    return Unit{};
}

bool LiveReader::is_port(const struct stat& file) const {
    struct stat port;
    return ::stat(settings_.path.c_str(), &port) == 0 && port.st_dev == file.st_dev && port.st_ino == file.st_ino;
}

void LiveReader::open_loop_fd() {
    loop_fd_ = above_standard_descriptors(::epoll_create1(EPOLL_CLOEXEC));
    epoll_event e{EPOLLIN, {}};
    if (loop_fd_ >= 0 && ::epoll_ctl(loop_fd_, EPOLL_CTL_ADD, queue_->signal_fd(), &e) != 0) {
        ::close(loop_fd_);
        loop_fd_ = -1;
    }
}

void LiveReader::watch_device(bool on) {
    if (loop_fd_ < 0) return;
    epoll_event e{EPOLLIN, {}};
    const bool done = ::epoll_ctl(loop_fd_, on ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, stream_->fd(), &e) == 0;
    device_watched_ = on && done;
}

LiveReader::~LiveReader() {
    if (inherited()) {
        // The parent's thread and queue (whose lock may have been copied
        // held): left as they are, to the child's exit.
        (void)queue_.release();
        (void)thread_.release();
        (void)stream_.release();
        if (settings_.layout) (void)new std::shared_ptr<LiveLayout>(settings_.layout);
        return;
    }
    close();
    // Only now: an event loop may still watch it until the last wait ends.
    if (loop_fd_ >= 0) ::close(loop_fd_);
}

// Also what a reader that failed to start goes through, with whatever it got.
void LiveReader::close() {
    if (inherited()) return;
    lead_.stop();
    if (cancel_) cancel_->cancel();
    if (queue_) queue_->end();
    if (settings_.layout) settings_.layout->close();
    std::lock_guard lock(join_mu_);
    if (thread_ && thread_->joinable()) thread_->join();
    // A consumer that leads is cut short by the cancellation at once.
    lead_.wait_no_consumer();
    stream_.reset();
    if (recorder_) recorder_->finish();
    status_.store(LiveStatus::Closed, std::memory_order_release);
}

std::optional<std::string> LiveReader::error() {
    auto recording = record_error();
    std::lock_guard lock(mu_);
    if (error_.empty()) return recording;
    return recording ? error_ + "; " + *recording : error_;
}

void LiveReader::set_error(std::string text) {
    std::lock_guard lock(mu_);
    error_ = std::move(text);
}

Result<std::unique_ptr<SerialDevice>, LiveStartError> LiveReader::connect() {
    auto device = SerialDevice::open(settings_.path, settings_.baud);
    if (!device) return err(device_error(device.error()));
    terminal_ = terminal_mark(settings_.path);  // while it is surely still there
    SerialDevice::Sink sink(**device, Interrupts{{}, cancel_.get()});
    if (settings_.configure)
        if (auto r = write_configuration(sink); !r)
            return err(LiveStartError{.what = LiveStartError::What::Device,
                                      .os_code = r.error().shape() == IoError::Shape::Os ? r.error().os_code() : 0,
                                      .text = "configuration failed: " + r.error().text()});
    return std::move(*device);
}

void LiveReader::run(std::unique_ptr<SerialDevice> device) {
    try {
        if (!device) device = open_here();
        for (; device;) {
            const std::string terminal = terminal_;
            stream_ =
                std::make_unique<LiveStream>(std::move(device), recorder_.get(), counters_, settings_.layout.get());
            clock_.restart();  // a device opened again may have started its clock over
            watch_device(true);
            auto lost = lead();
            if (!lost) break;
            watch_device(false);
            stream_.reset();
            set_error("device lost: " + lost->text());
            if (!settings_.reconnect) {
                status_.store(LiveStatus::Failed, std::memory_order_release);
                break;
            }
            status_.store(LiveStatus::Reconnecting, std::memory_order_release);
            device = reconnect(terminal);
            if (!device) break;
            LiveCounters::add(counters_.reconnects);
            status_.store(LiveStatus::Streaming, std::memory_order_release);
        }
    } catch (const std::exception& e) {
        set_error("reader stopped: out of memory");
        status_.store(LiveStatus::Failed, std::memory_order_release);
        if (settings_.layout)
            settings_.layout->stopped(dynamic_cast<const std::bad_alloc*>(&e) != nullptr,
                                      Interrupts{{}, cancel_.get()});
    }
    if (queue_) queue_->end();
}

// The device opened by the thread itself, or nothing when it cannot be.
std::unique_ptr<SerialDevice> LiveReader::open_here() {
    auto device = connect();
    if (device) return std::move(*device);
    status_.store(LiveStatus::Failed, std::memory_order_release);
    set_error(device.error().text);
    if (settings_.layout && !cancel_->cancelled() && device.error().serial)
        settings_.layout->open_failed(*device.error().serial, Interrupts{{}, cancel_.get()});
    return nullptr;
}

// open(2) follows a symlink such as /dev/serial/by-id/... afresh on every
// try, so a device that comes back under a new name is found through it.
// Tries come on a timer that slows down, and at once whenever a device may
// have appeared, so a device that comes back is streaming again promptly.
std::unique_ptr<SerialDevice> LiveReader::reconnect(const std::string& lost_terminal) {
    PathWatch watch(settings_.path);
    milliseconds delay = kFirstRetry;
    for (auto next = std::chrono::steady_clock::now() + delay;;) {
        const auto left = std::chrono::duration_cast<milliseconds>(next - std::chrono::steady_clock::now());
        pollfd p[2] = {{cancel_->fd(), POLLIN, 0}, {watch.fd(), POLLIN, 0}};
        const int woke = ::poll(p, 2, static_cast<int>(std::max(left.count(), milliseconds::rep{0})));
        if (cancel_->cancelled()) return nullptr;
        if (woke > 0 && (p[1].revents & POLLIN)) {
            watch.drain();
        } else if (std::chrono::steady_clock::now() < next) {
            continue;  // interrupted
        } else {
            delay = std::min(delay * 2, kLastRetry);
            next = std::chrono::steady_clock::now() + delay;
        }
        if (!lost_terminal.empty() && way_to(settings_.path) == lost_terminal) continue;
        if (auto device = connect()) return std::move(*device);
    }
}

std::optional<IoError> LiveReader::lead() {
    const Interrupts interrupts{{}, cancel_.get()};
    const std::function<bool()> bytes_waiting = [this] {
        pollfd p{stream_->fd(), POLLIN, 0};
        return ::poll(&p, 1, 0) > 0;  // bytes, or a hang-up: either is the lead's to meet
    };
    for (;;) {
        const auto took = lead_.thread_take(bytes_waiting);
        if (took == StreamLead::Took::Stopped) return std::nullopt;
        // The stalled loop waits on the queue's descriptor too (in loop_fd).
        if (took == StreamLead::Took::FromStalledLoop && queue_) queue_->nudge();
        if (lost_) return std::exchange(lost_, std::nullopt);
        for (;;) {
            const Step s = step(interrupts, Deadline::max());
            if (s == Step::Lost) return std::exchange(lost_, std::nullopt);
            if (s == Step::Stopped) return std::nullopt;
            // Right after a sample queued, which wakes the consumer that
            // asked: it finds the lead free on its next wait.
            if (lead_.thread_yield()) break;
        }
    }
}

LiveReader::Step LiveReader::step(const Interrupts& interrupts, Deadline until) {
    auto framed = stream_->next(interrupts, until);
    if (framed) {
        LiveLayout* layout = settings_.layout.get();
        const bool go_on = layout ? layout->packet(framed->packet, interrupts) : deliver(*framed);
        return go_on ? Step::Packet : Step::Stopped;
    }
    switch (framed.error().why) {
        case StreamPause::Why::Cut: return Step::Cut;
        case StreamPause::Why::Cancelled: return Step::Stopped;
        case StreamPause::Why::Lost: lost_ = framed.error().lost; return Step::Lost;
    }
    return Step::Stopped;
}

namespace {

// Any signal ends a consumer's wait: the host runs its handlers, then waits again.
bool always(void*) { return true; }

}  // namespace

LiveReader::Step LiveReader::lead_until_taken(LiveSample& out, Deadline until, SampleQueue::Took& took) {
    const Interrupts interrupts{InterruptCheck(always), cancel_.get()};
    Step s;
    do {
        s = step(interrupts, until);
        took = queue_->pop(out, {});
    } while (s == Step::Packet && took == SampleQueue::Took::Nothing);
    return s;
}

SampleQueue::Took LiveReader::next(LiveSample& out, std::chrono::steady_clock::time_point until) {
    auto took = queue_->pop(out, {});
    if (took != SampleQueue::Took::Nothing) return took;
    if (!lead_.try_take()) return queue_->pop(out, until);
    const Step s = lead_until_taken(out, until, took);
    if (s == Step::Lost) lead_.hand_to_thread();
    else lead_.release();
    if (took != SampleQueue::Took::Nothing || s == Step::Cut) return took;
    // Lost or stopped: the thread reconnects, or the queue ends.
    return queue_->pop(out, until);
}

SampleQueue::Took LiveReader::next_now(LiveSample& out, int& wait_fd) {
    wait_fd = -1;
    auto took = queue_->pop(out, {});
    if (took != SampleQueue::Took::Nothing) return took;
    if (loop_fd_ >= 0 && lead_.try_take()) {
        const Step s = lead_until_taken(out, std::chrono::steady_clock::now(), took);
        // A device that epoll cannot watch is left to the thread.
        if (s == Step::Cut && took == SampleQueue::Took::Nothing && device_watched_) {
            // Lowered while the lead is still held, so that a nudge from a
            // thread taking it from a stalled loop is never lost.
            queue_->lower_signal();
            wait_fd = loop_fd_;
            lead_.park();
            return took;
        }
        if (s == Step::Lost) lead_.hand_to_thread();
        else lead_.release();
        if (took != SampleQueue::Took::Nothing) return took;
    }
    // The thread leads (and lets go after its next sample), or the stream
    // has ended: the queue's descriptor wakes the loop.
    queue_->clear_signal();
    wait_fd = queue_->signal_fd();
    return queue_->pop(out, {});
}

bool LiveReader::deliver(const FramedPacket& framed) {
    const MipPacket& packet = framed.packet;
    const auto set = static_cast<std::uint8_t>(packet.descriptor());
    decode_flat(packet.descriptor(), packet.bytes(), flat_);
    LiveSample s{packet, packets_++, framed.offset, framed.host_ns, framed.wall_ns, packet_time(flat_)};
    LiveCounters::add(counters_.packets[set]);
    const auto clock = clock_index(packet.descriptor());
    if (clock && !std::isnan(s.device_time)) {
        LiveCounters::add(counters_.stamped[set]);
        if (clocks_[*clock].next(s.device_time)) LiveCounters::add(counters_.dropouts[set]);
    }
    if (set >= 0x80)
        s.time_ns =
            clock_.map(clock, s.device_time, static_cast<std::int64_t>(framed.host_ns)).value_or(LiveSample::kNoTime);
    // Replies to commands are counted but are no samples: a consumer
    // iterating over readings never meets a packet without any.
    if (set < 0x80) return true;
    return queue_->push(s);
}

}  // namespace ahrs
