#pragma once
// The fixed commands that set the sensor up before it streams.
#include "../protocol/byte_stream.hpp"

namespace ahrs {

// Writes the three command packets back to back (30 bytes) and reads no
// reply. Stops at the first failed write; what was written stays written.
Status<IoError> write_configuration(ByteSink& sink);

}  // namespace ahrs
