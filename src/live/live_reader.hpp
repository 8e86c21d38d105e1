#pragma once
// The reader behind a Sensor: keeps a serial device streaming into a
// SampleQueue for as long as it is open. It frames packets with the port's
// lossless resynchronisation, counts what it sees, records every byte when
// asked, and when the device goes away (hang-up, an operating-system error,
// a cable pulled) it opens the same path again, configures it and goes on,
// unless told not to.
//
// A consumer waiting in next() reads and frames the device itself while its
// thread parks (see StreamLead); when no consumer waits, the thread reads.
// Either way the same bytes become the same samples, counted, recorded and
// clocked alike.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <sys/stat.h>

#include "../protocol/flat_decode.hpp"
#include "../protocol/result.hpp"
#include "../device/interrupts.hpp"
#include "stream_clock.hpp"
#include "live_layout.hpp"
#include "../device/fork_guard.hpp"
#include "live_counters.hpp"
#include "recorder.hpp"
#include "stream_clock.hpp"
#include "live_sample.hpp"
#include "live_stream.hpp"
#include "stream_lead.hpp"
#include "../device/serial_device.hpp"

namespace ahrs {

struct LiveSettings {
    std::string path;
    std::uint32_t baud = 115200;
    bool configure = true;
    bool reconnect = true;
    std::size_t capacity = 1000;
    Overflow overflow = Overflow::Block;
    std::optional<std::string> record;  // the recording's path
    // Another layout of the packets than the Sensor's samples (which then
    // have no queue): it sees every attempt's outcome.
    std::shared_ptr<LiveLayout> layout;
    // The device is opened by the reader's thread, not by start(); a
    // failure goes to the layout.
    bool open_in_thread = false;
};

enum class LiveStatus : std::uint8_t { Streaming, Reconnecting, Closed, Failed };

// Why start() failed: the device or the recording could not be opened (with
// the operating system's error number when there is one), the recording is
// the device itself, or resources (memory, a thread, descriptors) ran out.
struct LiveStartError {
    enum class What : std::uint8_t { Device, Record, RecordIsDevice, NoMemory, NoThread, System } what;
    int os_code = 0;
    std::string text{};
    std::string name{};  // the file it is about, when not the device's path
    std::optional<SerialError> serial{};  // the device's own error, when it is one
};

class LiveReader {
public:
    // Opens the recording, then opens (and configures) the device, then
    // starts the thread. Blocks for as long as opening and configuring the
    // device take; the recording is opened without waiting.
    static Result<std::unique_ptr<LiveReader>, LiveStartError> start(LiveSettings settings);
    // Closes, unless inherited across fork().
    ~LiveReader();
    LiveReader(const LiveReader&) = delete;
    LiveReader& operator=(const LiveReader&) = delete;

    // Stops the thread and waits for it: the device is released and the
    // recording closed on return. Thread-safe and idempotent.
    void close();

    // In a child made by fork() the thread does not exist: the reader is
    // the parent's, and the child must touch none of its locks.
    bool inherited() const { return fork_generation() != generation_; }

    // The next sample, waiting until `until` at most: leads the stream while
    // it waits when it can, else waits on the queue. A signal (EINTR) ends
    // the wait early, with Nothing, so that the host can run its handlers.
    SampleQueue::Took next(LiveSample& out, std::chrono::steady_clock::time_point until);
    // The same for an event loop, never waiting: frames what has arrived
    // when it can lead. With no sample, `wait_fd` is the descriptor to wait
    // on: loop_fd() when the loop now holds the lead parked, else the
    // queue's (cleared and armed).
    SampleQueue::Took next_now(LiveSample& out, int& wait_fd);
    // Readable when the device is or the queue's descriptor is: a loop that
    // leads waits on the one descriptor, which stays the same across
    // reconnections. -1 when none could be had (loops never lead then).
    int loop_fd() const { return loop_fd_; }
    // An event loop stops waiting without a next_now() to come: a lead it
    // parked goes to the thread.
    void let_go() { lead_.unpark(); }

    SampleQueue& queue() { return *queue_; }
    const LiveCounters& counters() const { return counters_; }
    LiveStatus status() const { return status_.load(std::memory_order_acquire); }
    // Why the device was last lost and why the recording stopped, when they were.
    std::optional<std::string> error();
    std::optional<std::string> record_error() { return recorder_ ? recorder_->error() : std::nullopt; }
    bool recording() const { return recorder_ != nullptr; }
    // The device clocks' models (sensor, filter), as of their last fits.
    std::array<ClockReport, StreamClock::kClocks> clocks() const { return clock_.reports(); }

private:
    explicit LiveReader(LiveSettings settings) : settings_(std::move(settings)) {}
    Status<LiveStartError> open_recording();
    void open_loop_fd();
    // Whether `file` is what the port's path leads to.
    bool is_port(const struct stat& file) const;
    Result<std::unique_ptr<SerialDevice>, LiveStartError> connect();
    void run(std::unique_ptr<SerialDevice> device);
    std::unique_ptr<SerialDevice> open_here();
    // The thread's turns at the lead, until the device is lost (its error)
    // or the reader is stopped (nothing).
    std::optional<IoError> lead();
    // Frames the next packet as the lead, and queues it when it is a sample.
    enum class Step : std::uint8_t { Packet, Cut, Lost, Stopped };
    Step step(const Interrupts& interrupts, Deadline until);
    // Never `lost_terminal` again (a pseudo-terminal that hung up, or "").
    std::unique_ptr<SerialDevice> reconnect(const std::string& lost_terminal);
    bool deliver(const FramedPacket& framed);
    // Frames as the lead until a sample is queued and taken, or the step
    // says why not.
    Step lead_until_taken(LiveSample& out, Deadline until, SampleQueue::Took& took);
    void set_error(std::string text);
    // The device's descriptor joins or leaves the loop's.
    void watch_device(bool on);

    const LiveSettings settings_;
    std::string terminal_;  // the pseudo-terminal the device last opened is, if it is one
    std::unique_ptr<SampleQueue> queue_;
    std::unique_ptr<Recorder> recorder_;
    std::shared_ptr<CancelToken> cancel_;
    LiveCounters counters_;
    std::atomic<LiveStatus> status_{LiveStatus::Streaming};
    std::mutex mu_;  // error_
    std::string error_;
    std::mutex join_mu_;
    // A pointer, so that a forked child can let go of a handle that may
    // name one of its own threads.
    std::unique_ptr<std::thread> thread_;
    std::uint64_t generation_ = fork_generation();
    StreamLead lead_;
    int loop_fd_ = -1;  // an epoll set: the queue's descriptor, and the device's while it is open
    bool device_watched_ = false;  // the lead's own, as the stream is
    // The lead's own.
    std::unique_ptr<LiveStream> stream_;
    std::optional<IoError> lost_;  // met by a consumer, for the thread to act on
    std::uint64_t packets_ = 0;
    std::array<DropoutWatch, 2> clocks_{};  // sensor, filter
    FlatPacket flat_{};
    StreamClock clock_;
};

}  // namespace ahrs
