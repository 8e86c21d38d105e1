#pragma once
// Byte strings for building wire data by hand. Nothing here knows the
// protocol, so the protocol tests can use it without the device layer.
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace test_bytes {

using Bytes = std::vector<std::uint8_t>;

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// The low `width` bytes of `v`, most significant first, as the wire has them.
inline void put_be(Bytes& out, std::uint64_t v, int width) {
    for (int i = width - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

}  // namespace test_bytes
