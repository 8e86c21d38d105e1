#pragma once
// The fixed line discipline of the sensor link: raw 8N1, no flow control,
// receiver on, modem lines ignored, reads that never block in the driver.
#include <cstdint>

#include "errors.hpp"
#include "../protocol/result.hpp"

namespace ahrs {

// Writes the settings and the baud rate, then reads them back; a device that
// keeps something else gives "Settings did not apply correctly".
Status<SerialError> apply_line_settings(int fd, std::uint32_t baud);

}  // namespace ahrs
