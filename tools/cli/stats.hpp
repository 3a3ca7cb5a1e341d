// Statistics over the pixels that carry a measurement: on the plate (the mask is 0) and not
// overflowed. A TRA grid's corners lie off the round plate and hold 0, which is no count; an
// overflowed pixel holds the mark PIXEL_OVERFLOW, which is no count either.
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
    std::int64_t measured = 0;   // pixels that carry a measurement
    std::int64_t off_plate = 0;  // pixels the file records no value for
    std::int64_t overflowed = 0; // pixels on the plate holding PIXEL_OVERFLOW
    std::optional<std::int32_t> min;
    std::optional<std::int32_t> max;
    std::optional<double> mean;
    std::array<std::optional<std::int32_t>, kReportedPercentiles.size()> percentiles;
};

// `mask` may be empty (every pixel on the plate).
PlateStatistics plate_statistics(std::span<const std::int32_t> pixels, std::span<const std::uint8_t> mask);

// The measured pixels' values, in no particular order.
std::vector<std::int32_t> measured_values(std::span<const std::int32_t> pixels,
                                          std::span<const std::uint8_t> mask);

// The values at `percents` (each 0 to 100, ascending) by nearest rank: the element at rank
// round(p / 100 * (n - 1)) of the sorted values. Reorders `values`, which must not be empty.
std::vector<std::int32_t> percentiles(std::vector<std::int32_t> &values, std::span<const double> percents);

} // namespace plateio::cli
