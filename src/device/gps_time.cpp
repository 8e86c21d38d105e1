#include "gps_time.hpp"

namespace ahrs {

double packet_gps_time(const MipPacket& packet, FlatPacket& scratch) {
    decode_flat(packet.descriptor(), packet.bytes(), scratch);
    return packet_time(scratch);
}

}  // namespace ahrs
