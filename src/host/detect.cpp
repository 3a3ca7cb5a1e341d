#include "host/detect.hpp"

#include <algorithm>
#include <cstring>

#include "common/bytes.hpp"
#include "plateio.h"

namespace plateio::host {

namespace {

constexpr char kXareaMagic[] = "STOE_XFILE"; // with its terminating zero: 11 bytes
constexpr std::size_t kTraHeadBytes = 1536;
constexpr std::size_t kTraRowTableAt = 336;
constexpr std::size_t kTraRows = 600;
constexpr std::int64_t kTraBlock = 512;

} // namespace

Fault classify(std::span<const std::uint8_t> head, std::int64_t size, std::int32_t &family) noexcept {
    if (head.size() >= sizeof kXareaMagic && std::memcmp(head.data(), kXareaMagic, sizeof kXareaMagic) == 0) {
        family = PLATEIO_FAMILY_XAREA;
        return {};
    }
    if (head.size() < kTraHeadBytes) {
        return fault(FaultKind::unknown_short, size >= 0 ? size : static_cast<std::int64_t>(head.size()));
    }
    std::int64_t half_widths = 0;
    for (std::size_t row = 0; row < kTraRows; ++row) {
        const unsigned half = load_le<std::uint16_t>(head.data() + kTraRowTableAt + 2 * row) >> 1;
        if (half > 600) {
            return fault(FaultKind::unknown_row, static_cast<std::int64_t>(row), 2 * std::int64_t{half});
        }
        half_widths += half;
    }
    const std::int64_t expected = static_cast<std::int64_t>(kTraHeadBytes) + 8 * half_widths;
    if (size >= 0 && (size < expected || size - expected >= kTraBlock)) {
        return fault(FaultKind::unknown_length, expected, size);
    }
    family = PLATEIO_FAMILY_TRA;
    return {};
}

} // namespace plateio::host
