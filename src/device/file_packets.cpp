#include "file_packets.hpp"

namespace ahrs {

Result<PacketView, PacketError> FilePackets::next() {
    if (auto view = whole_packet_at(file_.unread())) {
        file_.take(view->size);
        return *view;
    }
    auto packet = MipPacket::read(file_);
    if (!packet) return err(std::move(packet).error());
    held_.emplace(*packet);
    return PacketView{held_->descriptor(), held_->bytes(), 6 + held_->bytes().size()};
}

}  // namespace ahrs
