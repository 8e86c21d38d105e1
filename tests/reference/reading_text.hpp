#pragma once
// The plain text forms of Reading values, one append at a time: the
// reference that the laid-out line (text_layout.hpp) is checked against.
#include <span>
#include <string>

#include "protocol/reading.hpp"

namespace ahrs {

// Shortest decimal that reads back to the same value at the given width,
// with at least one digit after the point, and exponent form at 1e16 and
// above or (non-zero) below 1e-4: 1.0, 0.1, 5e-5, 1e16, NaN, inf, -inf.
void append_float(std::string& out, float v);
void append_double(std::string& out, double v);

// Sensor(ScaledAccVector { x: 1.0, y: 2.0, z: 3.0 })
void append_reading_text(std::string& out, const Reading& r);
std::string reading_text(const Reading& r);
// [first, second] or []
void append_readings_text(std::string& out, std::span<const Reading> readings);
std::string readings_text(std::span<const Reading> readings);

}  // namespace ahrs
