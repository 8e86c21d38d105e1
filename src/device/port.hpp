#pragma once
// The packet source: a serial device or a recorded file, with its states.
#include <cstdint>
#include <memory>
#include <string_view>
#include <variant>
#include <vector>

#include "../protocol/flat_decode.hpp"
#include "../protocol/result.hpp"
#include "errors.hpp"
#include "interrupts.hpp"

namespace ahrs {

class AttemptBuffer;
class PacketError;

// Every call that may block (on the device, on a file, on a full standard
// output or error) takes the caller's interrupt check: a wait that a signal
// cuts short gives up when it says so, with an error whose cause is
// Interrupted. Without one, an interrupted wait is resumed.
class Port {
public:
    enum class State : std::uint8_t { Configured, Streaming, FileStream, NotConfigured };

    Port();  // NotConfigured
    Port(Port&&) noexcept;
    Port& operator=(Port&&) noexcept;
    ~Port();

    // Opens and sets up the serial device (raw 8N1, no flow control, any
    // baud rate, 100 ms per read and write, exclusive use). `cancel`, when
    // given, interrupts any wait of this port from another thread, its
    // diagnostics' waits for room included.
    static Result<Port, AHRSError> open(std::string_view path, std::uint32_t baud_rate,
                                        std::shared_ptr<CancelToken> cancel = nullptr);
    // Opens a recorded stream, read only.
    static Result<Port, AHRSError> open_file(std::string_view path, InterruptCheck interrupt = {});

    State state() const;

    // Configured -> Streaming; in other states prints the state's message.
    Status<Panic> start_stream(InterruptCheck interrupt = {});
    // Writes the three configuration command packets when Configured; in
    // other states prints the state's message and writes nothing. A failed
    // write is an internal failure; a write abandoned for a signal is an
    // error whose cause is Interrupted.
    Status<PortError> configure(InterruptCheck interrupt = {});
    // One attempt to read one packet, decoded into `out`; the Reading form
    // appends its readings to `out` (which the caller clears). A bad packet
    // gives no record and succeeds (with an
    // "Error parsing packet: " line on stderr when streaming from a device).
    // An error's cause tells a dead source (Disconnected, after an "IOERR: "
    // line), a cancelled wait (Cancelled, silent) and a wait abandoned for a
    // signal (Interrupted, silent) from a time-out or the end of a file
    // (Other, after an "IOERR: " line). Once the source has hung up or
    // failed, each call first waits out one read time-out.
    Status<PortError> read_packet(FlatPacket& out, InterruptCheck interrupt = {});
    Status<PortError> read_packet(std::vector<Reading>& out, InterruptCheck interrupt = {});
    Result<std::vector<Reading>, PortError> read_packet(InterruptCheck interrupt = {});

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Ends a failed attempt of `input` as a port does: the bytes kept or stepped
// over, the diagnostic line printed ("Error parsing packet: " only when
// `streaming` from a device), and an error unless the attempt is a bad
// packet (an empty list of readings). Sets `dead` once the source has
// failed. For readers that frame a device themselves and report as a port.
Status<PortError> end_failed_attempt(AttemptBuffer& input, const PacketError& e, const Interrupts& interrupts,
                                     bool streaming, bool& dead);

}  // namespace ahrs
