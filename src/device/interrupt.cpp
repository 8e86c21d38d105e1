#include "interrupt.hpp"

namespace ahrs {

IoError interrupted() { return IoError::custom(IoKind::Other, "Operation interrupted by a signal"); }

bool is_interruption(const IoError& e) {
    const IoError i = interrupted();
    return e.shape() == i.shape() && e.kind() == i.kind() && e.text() == i.text();
}

}  // namespace ahrs
