// Statistics over the pixels that carry a measurement: those the pixel mask leaves at 0, on the plate
// (a TRA grid's corners lie off the round plate and hold 0, which is no count) and not overflowed
// (the mark PIXEL_OVERFLOW is no count either).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace plateio::cli {

// The percentiles info reports.
inline constexpr std::array<double, 5> kReportedPercentiles = {1.0, 5.0, 50.0, 95.0, 99.0};

struct PlateStatistics {
    std::int64_t measured = 0; // pixels that carry a measurement
    std::optional<std::int32_t> min;
    std::optional<std::int32_t> max;
    std::optional<double> mean;
    std::array<std::optional<std::int32_t>, kReportedPercentiles.size()> percentiles;
};

PlateStatistics plate_statistics(std::span<const std::int32_t> pixels, std::span<const std::uint8_t> mask);

// The measured pixels' values, in no particular order.
std::vector<std::int32_t> measured_values(std::span<const std::int32_t> pixels,
                                          std::span<const std::uint8_t> mask);

// The values at `percents` (each 0 to 100, ascending) by nearest rank: the element at rank
// round(p / 100 * (n - 1)) of the sorted values. Reorders `values`, which must not be empty.
std::vector<std::int32_t> percentiles(std::vector<std::int32_t> &values, std::span<const double> percents);

} // namespace plateio::cli
