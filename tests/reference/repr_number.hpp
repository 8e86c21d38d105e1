#pragma once
// Numbers for JSON and CSV: the shortest decimal that reads back to the same
// value at the item's own width, laid out as Python writes floats (its
// repr), which JSON and CSV readers take as they stand: 0.9388715, 1.0,
// 123456789.0, 0.0001, 1e-05, 1e+16. Not-a-number and the infinities are
// written nan, inf and -inf; JSON has no form for them, so its writer puts
// null in their place. The digits are those of the driver's own text.
#include <string>

namespace ahrs {

void append_repr(std::string& out, float v);
void append_repr(std::string& out, double v);

}  // namespace ahrs
