#include "tra/word_swap.hpp"

#include <array>

#include "common/bytes.hpp"

namespace plateio::tra {

namespace {

std::array<std::uint8_t, 4> swap_halves(const std::uint8_t *field) noexcept {
    return {field[2], field[3], field[0], field[1]};
}

} // namespace

double decode_vax_real(const std::uint8_t *field) noexcept {
    const auto word = swap_halves(field);
    // Widening to double and scaling by a power of two are both exact.
    return static_cast<double>(load_le<float>(word.data())) * 0.25;
}

std::int32_t decode_swapped_int(const std::uint8_t *field) noexcept {
    const auto word = swap_halves(field);
    return load_le<std::int32_t>(word.data());
}

} // namespace plateio::tra
