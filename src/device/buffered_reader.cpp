#include "buffered_reader.hpp"

#include <chrono>
#include <exception>
#include <functional>
#include <new>
#include <system_error>
#include <vector>

#include "console.hpp"
#include "port.hpp"

namespace ahrs {
namespace {

// The reader's own lines wait for room together with its cancellation: a
// standard error that nobody reads cannot hold the thread past its stop.
// Printing is best effort: the thread ends anyway.
void say(std::string_view line, const CancelToken& cancel) {
    (void)write_text(Stream::Err, line, Interrupts{{}, &cancel});
}

// A reader's last words.
void report(std::string_view what, const CancelToken& cancel) {
    say("tavrin_ahrs_driver reader thread stopped: " + std::string(what) + "\n", cancel);
}

// Milliseconds since the Unix epoch, or nothing for a clock set before it.
std::optional<std::uint64_t> now_ms() {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    if (since.count() < 0) return std::nullopt;
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

// True when the reader must end after this failed attempt.
bool handle_failure(const PortError& e, const ReaderSettings& settings, const CancelToken& cancel) {
    const auto* a = std::get_if<AHRSError>(&e);
    if (!a) return true;  // diagnostics can no longer be written
    switch (a->cause()) {
        case AHRSError::Cause::Cancelled:
        case AHRSError::Cause::Interrupted: return true;
        case AHRSError::Cause::Disconnected: report("Device disconnected: " + a->debug(), cancel); return true;
        case AHRSError::Cause::Other: break;
    }
    if (settings.verbose) say("Error parsing packet: " + a->debug() + "\n", cancel);
    return false;
}

// The queue is the owner's, which joins this thread before it lets go.
void read_until_stopped(const ReaderSettings& settings, SnapshotQueue& queue, std::shared_ptr<CancelToken> cancel) {
    auto port = Port::open(settings.device, settings.baud_rate, cancel);
    if (!port) {
        if (!cancel->cancelled()) report("Failed to open port: " + port.error().debug(), *cancel);
        return;
    }
    (void)port->start_stream();
    // Both are reused for every packet: a steady stream allocates nothing here.
    FlatPacket packet;
    SnapshotMap snapshot;
    while (!cancel->cancelled()) {
        if (auto r = port->read_packet(packet); !r) {
            if (handle_failure(r.error(), settings, *cancel)) return;
            continue;
        }
        auto stamp = now_ms();
        if (!stamp) {
            report("Time went backwards: SystemTimeError(clock is before the Unix epoch)", *cancel);
            return;
        }
        snapshot.assign(packet);
        if (!queue.send(*stamp, snapshot)) return;  // stopped by the owner
    }
}

// An allocation that fails ends the reader, not the process: the port is
// closed on the way out and what is queued stays takeable. The report is a
// fixed text, since there may be no memory to build one.
void run(ReaderSettings settings, SnapshotQueue& queue, std::shared_ptr<CancelToken> cancel) {
    try {
        read_until_stopped(settings, queue, cancel);
    } catch (const std::bad_alloc&) {
        say("tavrin_ahrs_driver reader thread stopped: out of memory\n", *cancel);
    } catch (const std::exception&) {
        say("tavrin_ahrs_driver reader thread stopped: internal failure\n", *cancel);
    }
}

}  // namespace

Result<std::unique_ptr<BufferedReader>, BufferedReader::StartError> BufferedReader::start(ReaderSettings settings,
                                                                                          std::size_t buffer_size) {
    auto queue = SnapshotQueue::create(buffer_size);
    if (!queue) return err(StartError::NoMemory);
    try {
        auto cancel = std::make_shared<CancelToken>();
        std::unique_ptr<BufferedReader> reader(new BufferedReader(std::move(queue), cancel));
        reader->thread_ = std::make_unique<std::thread>(run, std::move(settings), std::ref(*reader->queue_), cancel);
        return reader;
    } catch (const std::bad_alloc&) {
        return err(StartError::NoMemory);
    } catch (const std::system_error&) {
        return err(StartError::NoThread);
    }
}

BufferedReader::~BufferedReader() {
    if (inherited()) {
        // The parent's to stop, and this process has no thread to join:
        // the queue and the handle are left untouched, their memory to the
        // child's exit.
        (void)queue_.release();
        (void)thread_.release();
        return;
    }
    cancel_->cancel();
    queue_->stop();
    if (thread_ && thread_->joinable()) thread_->join();
}

}  // namespace ahrs
