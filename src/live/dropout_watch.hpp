#pragma once
// Dropouts of one GPS clock as they happen: a step forward longer than 1.5
// median periods, the median taken over the recent forward steps (a whole
// recording's median is not known while it is being received).
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace ahrs {

class DropoutWatch {
public:
    // Takes the next stamp in seconds; true when the step to it is a dropout.
    bool next(double t);

    static constexpr double kFactor = 1.5;
    static constexpr std::size_t kWindow = 63;  // recent forward steps
    static constexpr std::size_t kMinSteps = 4;  // before any median is trusted

private:
    double median() const;

    std::array<double, kWindow> steps_{};
    std::size_t count_ = 0;
    std::size_t next_ = 0;
    double last_ = NAN;
};

}  // namespace ahrs
