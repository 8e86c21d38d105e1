#pragma once
// Keeps the driver's own descriptors off 0, 1 and 2. A process started with a
// standard descriptor closed would otherwise get its device or file there,
// and the driver's diagnostic lines would be written onto the sensor's line.

namespace ahrs {

// Returns `fd` if it is above 2; otherwise a close-on-exec duplicate above 2,
// closing `fd`. A negative `fd` is returned as it is; on failure -1, with
// errno set. Either way the caller owns exactly the descriptor returned.
int above_standard_descriptors(int fd);

}  // namespace ahrs
