#pragma once
// What a live reader does with its device's packets when it lays them out
// for another user than the Sensor, such as the buffered client's snapshot
// per read attempt with its diagnostics. The thread, the framing, the stop
// and the fork inertness stay the reader's: a layout only sees each
// attempt's outcome and says whether the reader goes on.
#include "../device/attempt_buffer.hpp"
#include "../device/interrupts.hpp"
#include "../device/errors.hpp"
#include "../protocol/mip_packet.hpp"
#include "../protocol/errors.hpp"

namespace ahrs {

class LiveLayout {
public:
    virtual ~LiveLayout() = default;
    // The thread could not open the device; the reader ends.
    virtual void open_failed(const SerialError& e, const Interrupts& interrupts) = 0;
    // Before each attempt; false ends the reader.
    virtual bool before_attempt(const Interrupts& interrupts) = 0;
    // A well-formed packet, its attempt accepted; false ends the reader.
    virtual bool packet(const MipPacket& packet, const Interrupts& interrupts) = 0;
    // A failed attempt that nobody cancelled, left open in `input` for the
    // layout to end; false ends the reader.
    virtual bool failed(AttemptBuffer& input, const PacketError& e, const Interrupts& interrupts) = 0;
    // The reader failed inside (out of memory, or else) and ends.
    virtual void stopped(bool out_of_memory, const Interrupts& interrupts) = 0;
    // The reader is closing: a send waiting in the layout's queue gives up.
    virtual void close() = 0;
};

}  // namespace ahrs
