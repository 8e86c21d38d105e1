#pragma once
// Fixed text held in a padded piece, so that it is copied in one fixed-size
// move and the write position then advances by its true length.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace ahrs {

template <std::size_t N>
struct TextPiece {
    std::array<char, N> text{};
    std::uint8_t size = 0;

    char* copy_to(char* out) const {
        std::memcpy(out, text.data(), N);
        return out + size;
    }
};

// Every label of the catalogue fits; a longer one would be cut, which the
// text tests would show at once.
template <std::size_t N>
TextPiece<N> make_piece(std::string_view text) {
    TextPiece<N> p;
    const std::size_t n = text.size() < N ? text.size() : N;
    text.copy(p.text.data(), n);
    p.size = static_cast<std::uint8_t>(n);
    return p;
}

}  // namespace ahrs
