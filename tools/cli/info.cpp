// plateio info: the format, the size, every image_info value and pixel statistics of exposures.
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>

#include "commands.hpp"
#include "errors.hpp"
#include "exposure.hpp"

namespace plateio::cli {

const char *const kInfoHelp = R"(usage: plateio info [--json] FILE...

Describes TRA and X-Area exposures: the format (X-Area by its magic, TRA by its row table and
length), the size, every value of the library's image description record (image_info) by name, and
pixel statistics of the image the library loads: minimum, maximum and mean of the pixels that are not
overflowed, and the number of overflowed ones (saturated TRA pixels and X-Area pixels above the
file's overflow threshold, which the library marks PIXEL_OVERFLOW = 256001).

Values a format does not carry are shown as the library fills them (-1, -1.0) or, for geometry
entries it leaves alone, as "-" (null in JSON). TRA header values are stored in single precision and
shown so; JSON always gives the exact double the library returned.

options:
  --json       one JSON array with an object per file that could be read
  -h, --help   this help

Exit status: 0 when every file was described, 1 when one could not be read (reported on standard
error; the others are still described), 2 for a wrong command line. A message the library prints
for a damaged file appears on standard output, as it would in any host.
)";

namespace {

struct PixelStats {
    std::optional<std::int32_t> min;
    std::optional<std::int32_t> max;
    std::optional<double> mean;
    std::int64_t overflowed = 0;
};

PixelStats statistics(std::span<const std::int32_t> pixels) {
    PixelStats stats;
    double sum = 0.0;
    std::int64_t counted = 0;
    std::int32_t min = 0;
    std::int32_t max = 0;
    for (std::int32_t v : pixels) {
        if (v == PIXEL_OVERFLOW) {
            ++stats.overflowed;
            continue;
        }
        min = counted == 0 ? v : std::min(min, v);
        max = counted == 0 ? v : std::max(max, v);
        sum += v;
        ++counted;
    }
    if (counted > 0) {
        stats.min = min;
        stats.max = max;
        stats.mean = sum / static_cast<double>(counted);
    }
    return stats;
}

std::string json_string(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string json_real(double value) {
    return std::isfinite(value) ? format_real(value) : "null";
}

template <class T> std::string json_optional(const std::optional<T> &value) {
    if (!value) {
        return "null";
    }
    if constexpr (std::is_floating_point_v<T>) {
        return json_real(*value);
    } else {
        return std::to_string(*value);
    }
}

std::string describe_text(const std::string &path, const Exposure &e, const PixelStats &stats) {
    const image_info &info = *e.info;
    const auto real = [&](double v) {
        if (std::isnan(v)) {
            return std::string("-");
        }
        return e.format == Format::tra ? format_single(v) : format_real(v);
    };
    const auto line = [](std::string &out, const std::string &name, const std::string &value) {
        out += "  " + name + std::string(name.size() < 20 ? 20 - name.size() : 1, ' ') + value + "\n";
    };
    std::string out = path + "\n";
    std::string format = format_name(e.format);
    if (e.compressed) {
        format += *e.compressed ? " (difference-coded pixels)" : " (plain pixels)";
    }
    line(out, "format", format);
    line(out, "size", std::to_string(e.width) + " x " + std::to_string(e.height));
    line(out, "overload_count", std::to_string(info.overload_count));
    for (int i = 0; i < 9; ++i) {
        line(out, "geometry[" + std::to_string(i) + "]", real(info.geometry[i]));
    }
    line(out, "setting", std::to_string(info.setting));
    line(out, "overflow_threshold", std::to_string(info.overflow_threshold));
    line(out, "scale_value", real(info.scale_value));
    line(out, "path", info.path);
    const auto integer = [](const std::optional<std::int32_t> &v) { return v ? std::to_string(*v) : "-"; };
    line(out, "minimum", integer(stats.min));
    line(out, "maximum", integer(stats.max));
    if (stats.mean) {
        char mean[64];
        std::snprintf(mean, sizeof mean, "%.3f", *stats.mean);
        line(out, "mean", mean);
    } else {
        line(out, "mean", "-");
    }
    line(out, "overflowed", std::to_string(stats.overflowed));
    return out;
}

std::string describe_json(const std::string &path, const Exposure &e, const PixelStats &stats) {
    const image_info &info = *e.info;
    std::string geometry;
    for (int i = 0; i < 9; ++i) {
        geometry += (i == 0 ? "" : ", ") + json_real(info.geometry[i]);
    }
    std::string out = "  {\n";
    out += "    \"file\": " + json_string(path) + ",\n";
    out += "    \"format\": \"" + std::string(e.format == Format::tra ? "tra" : "xarea") + "\",\n";
    out += "    \"width\": " + std::to_string(e.width) + ",\n";
    out += "    \"height\": " + std::to_string(e.height) + ",\n";
    out += "    \"compressed\": " + std::string(e.compressed ? (*e.compressed ? "true" : "false") : "null") +
           ",\n";
    out += "    \"image_info\": {\n";
    out += "      \"overload_count\": " + std::to_string(info.overload_count) + ",\n";
    out += "      \"geometry\": [" + geometry + "],\n";
    out += "      \"setting\": " + std::to_string(info.setting) + ",\n";
    out += "      \"overflow_threshold\": " + std::to_string(info.overflow_threshold) + ",\n";
    out += "      \"scale_value\": " + json_real(info.scale_value) + ",\n";
    out += "      \"path\": " + json_string(info.path) + "\n";
    out += "    },\n";
    out += "    \"pixels\": {\"min\": " + json_optional(stats.min) +
           ", \"max\": " + json_optional(stats.max) + ", \"mean\": " + json_optional(stats.mean) +
           ", \"overflowed\": " + std::to_string(stats.overflowed) + "}\n";
    out += "  }";
    return out;
}

} // namespace

int run_info(Args &args) {
    bool json = false;
    std::vector<std::string> files;
    while (!args.done()) {
        if (args.flag({"--json"})) {
            json = true;
        } else if (args.at_option()) {
            throw UsageError("unknown option '" + args.current() + "'");
        } else if (!args.done()) {
            files.push_back(args.take());
        }
    }
    if (files.empty()) {
        throw UsageError("no FILE given");
    }
    int status = kExitOk;
    std::size_t described = 0;
    // JSON is printed whole at the end, so that a message the library prints for a damaged file
    // comes before the array instead of inside it.
    std::string json_text;
    for (const std::string &path : files) {
        try {
            const Exposure exposure = load_exposure(path, true);
            const PixelStats stats = statistics(exposure.view());
            if (json) {
                json_text += described == 0 ? "[\n" : ",\n";
                json_text += describe_json(path, exposure, stats);
            } else {
                std::fputs(described == 0 ? "" : "\n", stdout);
                std::fputs(describe_text(path, exposure, stats).c_str(), stdout);
            }
            ++described;
        } catch (const FileError &error) {
            std::fflush(stdout);
            report(error.what());
            status = kExitFile;
        }
    }
    if (json) {
        json_text += described == 0 ? "[]\n" : "\n]\n";
        std::fputs(json_text.c_str(), stdout);
    }
    std::fflush(stdout);
    return status;
}

} // namespace plateio::cli
