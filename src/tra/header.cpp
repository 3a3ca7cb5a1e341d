#include "tra/header.hpp"

#include <array>
#include <cstdint>

#include "common/file.hpp"
#include "tra/word_swap.hpp"

namespace plateio::tra {

namespace {

// Field offsets within the header. The header opens with a 114-byte text line and a 16-bit field;
// the reals between and after the ones below are not used by any host.
constexpr std::size_t kGeometry4At = 116;
constexpr std::size_t kGeometry2At = 140;
constexpr std::size_t kGeometry0At = 178;
constexpr std::size_t kGeometry3At = 186;
constexpr std::size_t kGeometry5At = 194; // an F_floating field: four bytes of its own

} // namespace

std::optional<HeaderValues> read_header_values(std::FILE *file) noexcept {
    std::array<std::uint8_t, kHeaderValueBytes> bytes;
    if (!read_exact(file, bytes.data(), bytes.size())) {
        return std::nullopt;
    }
    HeaderValues values;
    values.geometry4 = decode_vax_real(bytes.data() + kGeometry4At);
    values.geometry2 = decode_vax_real(bytes.data() + kGeometry2At);
    values.geometry0 = decode_vax_real(bytes.data() + kGeometry0At);
    values.geometry3 = decode_vax_real(bytes.data() + kGeometry3At);
    values.geometry5 = decode_vax_real(bytes.data() + kGeometry5At);
    return values;
}

} // namespace plateio::tra
