#include "interrupt.hpp"

namespace ahrs {
namespace {

// In the static TLS block: the leak checker's scan of a thread's dynamic TLS
// crashes when threads of this library are still running at exit.
[[gnu::tls_model("initial-exec")]] thread_local InterruptCheck t_check = nullptr;

}  // namespace

InterruptScope::InterruptScope(InterruptCheck check) : previous_(t_check) { t_check = check; }
InterruptScope::~InterruptScope() { t_check = previous_; }

bool interrupt_requested() { return t_check && t_check(); }

IoError interrupted() { return IoError::custom(IoKind::Other, "Operation interrupted by a signal"); }

bool is_interruption(const IoError& e) {
    const IoError i = interrupted();
    return e.shape() == i.shape() && e.kind() == i.kind() && e.text() == i.text();
}

}  // namespace ahrs
