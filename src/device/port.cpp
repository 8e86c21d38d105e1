#include "port.hpp"

#include <chrono>
#include <optional>
#include <string>

#include "../protocol/mip_packet.hpp"
#include "attempt_buffer.hpp"
#include "serial_device.hpp"
#include "console.hpp"
#include "files.hpp"
#include "interrupts.hpp"

namespace ahrs {
namespace {

struct Configured {
    std::unique_ptr<SerialDevice> device;
};
struct Streaming {
    AttemptBuffer input;
};
struct FileStream {
    AttemptBuffer input;
};
struct NotConfigured {};

// Alternatives in the order of Port::State.
using PortState = std::variant<Configured, Streaming, FileStream, NotConfigured>;

// What start_stream and configure print when the state forbids them.
std::string_view refusal(Port::State s) {
    switch (s) {
        case Port::State::Streaming: return "Port already streaming\n";
        case Port::State::FileStream: return "Cannot configure file stream\n";
        case Port::State::NotConfigured: return "Port not configured\n";
        case Port::State::Configured: break;
    }
    return {};
}

AHRSError not_streaming() {
    return AHRSError::from_serial(SerialError(SerialError::Kind::InvalidInput, "Port not streaming"));
}

// A wait cut short on purpose, by another thread or by a signal's handler.
std::optional<AHRSError::Cause> deliberate_stop(const IoError& e) {
    if (is_cancellation(e)) return AHRSError::Cause::Cancelled;
    if (is_interruption(e)) return AHRSError::Cause::Interrupted;
    return std::nullopt;
}

}  // namespace

struct Port::Impl {
    PortState state{NotConfigured{}};
    std::shared_ptr<CancelToken> cancel;
    // The source hung up or failed: every later attempt first waits out a
    // read's time-out, so a caller that keeps asking does not spin.
    bool dead = false;

    AttemptBuffer* input() {
        if (auto* s = std::get_if<Streaming>(&state)) return &s->input;
        if (auto* f = std::get_if<FileStream>(&state)) return &f->input;
        return nullptr;
    }
    Status<PortError> fail(AttemptBuffer& input, const PacketError& e, const Interrupts& interrupts);
    Interrupts interrupts(InterruptCheck check) const { return {check, cancel.get()}; }
};

Port::Port() : impl_(std::make_unique<Impl>()) {}
Port::Port(Port&&) noexcept = default;
Port& Port::operator=(Port&&) noexcept = default;
Port::~Port() = default;

Result<Port, AHRSError> Port::open(std::string_view path, std::uint32_t baud_rate,
                                   std::shared_ptr<CancelToken> cancel) {
    auto device = SerialDevice::open(path, baud_rate);
    if (!device) return err(AHRSError::from_serial(device.error()));
    Port port;
    port.impl_->state = Configured{std::move(*device)};
    port.impl_->cancel = std::move(cancel);
    return port;
}

Result<Port, AHRSError> Port::open_file(std::string_view path, InterruptCheck interrupt) {
    auto file = FileSource::open(path, interrupt);
    if (!file) return err(AHRSError::from_io(file.error()));
    Port port;
    port.impl_->state.emplace<FileStream>(FileStream{AttemptBuffer(std::move(*file))});
    return port;
}

// A moved-from port behaves as one with nothing open.
Port::State Port::state() const { return impl_ ? static_cast<State>(impl_->state.index()) : State::NotConfigured; }

Status<Panic> Port::start_stream(InterruptCheck interrupt) {
    auto* c = impl_ ? std::get_if<Configured>(&impl_->state) : nullptr;
    if (!c) return print(Stream::Err, refusal(state()), impl_ ? impl_->interrupts(interrupt) : Interrupts{interrupt});
    impl_->state.emplace<Streaming>(Streaming{AttemptBuffer(std::move(c->device))});
    return Unit{};
}

Status<PortError> Port::configure(InterruptCheck interrupt) {
    auto* c = impl_ ? std::get_if<Configured>(&impl_->state) : nullptr;
    const Interrupts interrupts = impl_ ? impl_->interrupts(interrupt) : Interrupts{interrupt};
    if (!c) {
        if (auto r = print(Stream::Err, refusal(state()), interrupts); !r) return err(PortError{std::move(r).error()});
        return Unit{};
    }
    SerialDevice::Sink sink(*c->device, interrupts);
    if (auto r = write_configuration(sink); !r) {
        if (is_interruption(r.error())) return err(PortError{AHRSError::from_io(r.error())});
        return err(PortError{Panic{"failed to write configuration packet: " + r.error().debug()}});
    }
    return Unit{};
}

Status<PortError> Port::read_packet(FlatPacket& out, InterruptCheck interrupt) {
    out.record_count = out.item_count = 0;
    AttemptBuffer* input = impl_ ? impl_->input() : nullptr;
    if (!input) return err(PortError{not_streaming()});
    const Interrupts interrupts = impl_->interrupts(interrupt);
    if (impl_->dead)
        if (auto r = sleep_until(std::chrono::steady_clock::now() + kSerialTimeout, interrupts); !r)
            return err(PortError{AHRSError::from_io(r.error())});
    auto packet = input->next_packet(interrupts);
    if (!packet) return impl_->fail(*input, packet.error(), interrupts);
    input->accept();
    if (state() == State::FileStream) {
        std::string line = "Parsed packet: ";
        line += descriptor_name(packet->descriptor());
        line += '\n';
        if (auto r = print(Stream::Out, line, interrupts); !r) return err(PortError{std::move(r).error()});
    }
    decode_flat(packet->descriptor(), packet->bytes(), out);
    return Unit{};
}

Status<PortError> Port::read_packet(std::vector<Reading>& out, InterruptCheck interrupt) {
    FlatPacket flat;
    if (auto r = read_packet(flat, interrupt); !r) return r;
    append_readings(flat, out);
    return Unit{};
}

Result<std::vector<Reading>, PortError> Port::read_packet(InterruptCheck interrupt) {
    std::vector<Reading> out;
    if (auto r = read_packet(out, interrupt); !r) return err(std::move(r).error());
    return out;
}

Status<PortError> Port::Impl::fail(AttemptBuffer& input, const PacketError& e, const Interrupts& interrupts) {
    return end_failed_attempt(input, e, interrupts, std::holds_alternative<Streaming>(state), dead);
}

// A wait cut short on purpose is no fault of the data: nothing is printed
// and the bytes are kept for whoever reads next. A source that ran dry keeps
// the attempt's bytes too (a packet may be half there), unless they show the
// attempt was a false start; an operating-system error means the source
// itself is gone. Every other failure is a bad packet: it yields an empty
// list and the next attempt starts at the next sync byte.
//
// An attempt that only went over kept bytes again, the source giving
// nothing new, is reported as a silent device or an exhausted file is: a
// loop that reads until the error (a recording cut inside its last packet,
// a sensor stopped mid-packet) ends, and a buffered reader queues no empty
// snapshots meanwhile. The bytes stay kept.
Status<PortError> end_failed_attempt(AttemptBuffer& input, const PacketError& e, const Interrupts& interrupts,
                                     bool streaming, bool& dead) {
    const IoError* io = e.io_error();
    if (const auto stop = io ? deliberate_stop(*io) : std::nullopt) {
        input.replay();
        return err(PortError{AHRSError::from_io(*io).with_cause(*stop)});
    }
    if (io && io->shape() == IoError::Shape::Os) dead = true;
    const bool stalled = input.stalled();
    if ((input.fail(e) && stalled) || e.is_bare_io()) {
        if (auto r = print(Stream::Err, "IOERR: " + io->text() + "\n", interrupts); !r)
            return err(PortError{std::move(r).error()});
        const auto cause = io->shape() == IoError::Shape::Os ? AHRSError::Cause::Disconnected : AHRSError::Cause::Other;
        return err(PortError{AHRSError::from_io(*io).with_cause(cause)});
    }
    if (streaming)
        if (auto r = print(Stream::Err, "Error parsing packet: " + e.text() + "\n", interrupts); !r)
            return err(PortError{std::move(r).error()});
    return Unit{};
}

}  // namespace ahrs
