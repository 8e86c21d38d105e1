#include "repr_number.hpp"

#include "protocol/shortest.hpp"

namespace ahrs {
namespace {

template <class T>
void append_any(std::string& out, T v) {
    char text[kShortestRoom];
    const char* end = write_shortest_repr(text, shortest(v));
    out.append(text, static_cast<std::size_t>(end - text));
}

}  // namespace

void append_repr(std::string& out, float v) { append_any(out, v); }
void append_repr(std::string& out, double v) { append_any(out, v); }

}  // namespace ahrs
