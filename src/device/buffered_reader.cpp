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

// A reader's last words. Printing is best effort: the thread ends anyway.
void report(std::string_view what) {
    (void)write_text(Stream::Err, "tavrin_ahrs_driver reader thread stopped: " + std::string(what) + "\n");
}

// Milliseconds since the Unix epoch, or nothing for a clock set before it.
std::optional<std::uint64_t> now_ms() {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    if (since.count() < 0) return std::nullopt;
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

// True when the reader must end after this failed attempt.
bool handle_failure(const PortError& e, const ReaderSettings& settings) {
    const auto* a = std::get_if<AHRSError>(&e);
    if (!a) return true;  // diagnostics can no longer be written
    switch (a->cause()) {
        case AHRSError::Cause::Cancelled:
        case AHRSError::Cause::Interrupted: return true;
        case AHRSError::Cause::Disconnected:
            report("Device disconnected: " + a->debug());
            return true;
        case AHRSError::Cause::Other: break;
    }
    if (settings.verbose) (void)write_text(Stream::Err, "Error parsing packet: " + a->debug() + "\n");
    return false;
}

// The queue is the owner's, which joins this thread before it lets go.
void read_until_stopped(const ReaderSettings& settings, SnapshotQueue& queue, std::shared_ptr<CancelToken> cancel) {
    auto port = Port::open(settings.device, settings.baud_rate, cancel);
    if (!port) {
        if (!cancel->cancelled()) report("Failed to open port: " + port.error().debug());
        return;
    }
    (void)port->start_stream();
    // Both are reused for every packet: a steady stream allocates nothing here.
    FlatPacket packet;
    SnapshotMap snapshot;
    while (!cancel->cancelled()) {
        if (auto r = port->read_packet(packet); !r) {
            if (handle_failure(r.error(), settings)) return;
            continue;
        }
        auto stamp = now_ms();
        if (!stamp) {
            report("Time went backwards: SystemTimeError(clock is before the Unix epoch)");
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
    const CancellableWrites writes(*cancel);
    try {
        read_until_stopped(settings, queue, std::move(cancel));
    } catch (const std::bad_alloc&) {
        (void)write_text(Stream::Err, "tavrin_ahrs_driver reader thread stopped: out of memory\n");
    } catch (const std::exception&) {
        (void)write_text(Stream::Err, "tavrin_ahrs_driver reader thread stopped: internal failure\n");
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
