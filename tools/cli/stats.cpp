#include "stats.hpp"

#include <algorithm>
#include <cmath>

namespace plateio::cli {

std::vector<std::int32_t> measured_values(std::span<const std::int32_t> pixels,
                                          std::span<const std::uint8_t> mask) {
    std::vector<std::int32_t> values;
    values.reserve(pixels.size());
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        if (mask[i] == 0) {
            values.push_back(pixels[i]);
        }
    }
    return values;
}

std::vector<std::int32_t> percentiles(std::vector<std::int32_t> &values, std::span<const double> percents) {
    std::vector<std::int32_t> result;
    auto from = values.begin();
    for (const double percent : percents) {
        const auto rank = static_cast<std::ptrdiff_t>(
            std::llround(percent / 100.0 * static_cast<double>(values.size() - 1)));
        // Each rank is at or above the one before, whose partition left only larger values behind it.
        const auto at = values.begin() + rank;
        if (at >= from) {
            std::nth_element(from, at, values.end());
            from = at;
        }
        result.push_back(*at);
    }
    return result;
}

PlateStatistics plate_statistics(std::span<const std::int32_t> pixels, std::span<const std::uint8_t> mask) {
    PlateStatistics stats;
    std::vector<std::int32_t> values = measured_values(pixels, mask);
    stats.measured = static_cast<std::int64_t>(values.size());
    if (values.empty()) {
        return stats;
    }
    std::int64_t sum = 0;
    std::int32_t min = values[0];
    std::int32_t max = values[0];
    for (const std::int32_t v : values) {
        sum += v;
        min = std::min(min, v);
        max = std::max(max, v);
    }
    stats.min = min;
    stats.max = max;
    stats.mean = static_cast<double>(sum) / static_cast<double>(values.size());
    const std::vector<std::int32_t> found = percentiles(values, kReportedPercentiles);
    for (std::size_t i = 0; i < found.size(); ++i) {
        stats.percentiles[i] = found[i];
    }
    return stats;
}

} // namespace plateio::cli
