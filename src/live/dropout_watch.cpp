#include "dropout_watch.hpp"

#include <algorithm>

namespace ahrs {

double DropoutWatch::median() const {
    std::array<double, kWindow> sorted = steps_;
    const auto mid = sorted.begin() + static_cast<std::ptrdiff_t>(count_ / 2);
    std::nth_element(sorted.begin(), mid, sorted.begin() + static_cast<std::ptrdiff_t>(count_));
    return *mid;
}

// Steps back in time (a clock set back) and repeated stamps are no periods.
bool DropoutWatch::next(double t) {
    const double step = t - last_;
    if (!std::isnan(t)) last_ = t;
    if (!(step > 0)) return false;
    const bool gap = count_ >= kMinSteps && step > kFactor * median();
    steps_[next_] = step;
    next_ = (next_ + 1) % kWindow;
    if (count_ < kWindow) ++count_;
    return gap;
}

}  // namespace ahrs
