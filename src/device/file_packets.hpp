#pragma once
// The packets of a buffered file, one after another, strictly: a packet that
// lies whole in the read buffer is framed there without a copy, any other
// (cut by the end of the buffer, or bad) is read by MipPacket::read, which
// refills the buffer and reports failures with their true offsets.
#include <optional>

#include "../protocol/mip_packet.hpp"
#include "../protocol/packet_view.hpp"
#include "buffered_file.hpp"

namespace ahrs {

class FilePackets {
public:
    explicit FilePackets(BufferedFile& file) : file_(file) {}
    // The view is valid until the next call.
    Result<PacketView, PacketError> next();

private:
    BufferedFile& file_;
    std::optional<MipPacket> held_;  // a packet read the slow way
};

}  // namespace ahrs
