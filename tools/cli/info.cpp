// plateio info: the format, the size, every image_info value and statistics over the plate.
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>

#include "commands.hpp"
#include "errors.hpp"
#include "exposure.hpp"
#include "stats.hpp"
#include "text.hpp"

namespace plateio::cli {

const char *const kInfoHelp = R"(usage: plateio info [--json] FILE...

Describes TRA and X-Area exposures as the library reads them (the family is told by the file's
content): the format, the size, every value of the library's image description record (image_info)
by name, and statistics over the pixels that carry a measurement -- those on the plate (a TRA
grid's corners lie off the round plate and hold no value) that are not overflowed (saturated TRA
pixels and X-Area pixels above the file's overflow threshold, which the library marks
PIXEL_OVERFLOW = 256001): minimum, maximum, mean and the 1st, 5th, 50th, 95th and 99th percentiles
(nearest rank), with the counts of measured, off-plate and overflowed pixels beside them.

Values a format does not carry are shown as the library fills them (-1, -1.0) or, for geometry
entries it leaves alone, as "-" (null in JSON). TRA header values are stored in single precision and
shown so; JSON always gives the exact double the library returned.

options:
  --json       one JSON array on standard output, with an object for every FILE in order:
               "ok": true and the description, or "ok": false and "error" ({"code", "text",
               "reason"}: the library's PLATEIO_E_... code, its text and what is wrong). Warnings
               (such as value counts of a difference-coded block that disagree with its header)
               are listed in "warnings" and printed on standard error.
  -h, --help   this help

File names in JSON: a byte that is not valid UTF-8 is written as \xHH (two lower-case hexadecimal
digits) and a backslash of the name as \\, so the output is always UTF-8 and the name's bytes can be
recovered: replace \\ by \ and \xHH by the byte HH.

Nothing but the description is printed on standard output; failures and warnings go to standard
error as "plateio: FILE: ...".
Exit status: 0 when every file was described, 1 when one could not be read (the others are still
described), 2 for a wrong command line.
)";

namespace {

struct Described {
    Exposure exposure;
    PlateStatistics stats;
};

std::string percent_name(double percent) {
    return format_real(percent);
}

std::string describe_text(const std::string &path, const Described &d) {
    const plateio_frame &frame = d.exposure.frame;
    const image_info &info = frame.info;
    const bool tra = d.exposure.tra();
    const auto real = [&](double v) {
        if (std::isnan(v)) {
            return std::string("-");
        }
        return tra ? format_single(v) : format_real(v);
    };
    const auto line = [](std::string &out, const std::string &name, const std::string &value) {
        out += "  " + name + std::string(name.size() < 20 ? 20 - name.size() : 1, ' ') + value + "\n";
    };
    std::string out = path + "\n";
    std::string format = family_name(frame.family);
    if (!tra) {
        format += frame.compressed != 0 ? " (difference-coded pixels)" : " (plain pixels)";
    }
    line(out, "format", format);
    line(out, "size", std::to_string(frame.width) + " x " + std::to_string(frame.height));
    line(out, "overload_count", std::to_string(info.overload_count));
    for (int i = 0; i < 9; ++i) {
        line(out, "geometry[" + std::to_string(i) + "]", real(info.geometry[i]));
    }
    line(out, "setting", std::to_string(info.setting));
    line(out, "overflow_threshold", std::to_string(info.overflow_threshold));
    line(out, "scale_value", real(info.scale_value));
    line(out, "path", info.path);
    const PlateStatistics &s = d.stats;
    line(out, "measured", std::to_string(s.measured));
    line(out, "off_plate", std::to_string(s.off_plate));
    line(out, "overflowed", std::to_string(s.overflowed));
    const auto integer = [](const std::optional<std::int32_t> &v) { return v ? std::to_string(*v) : "-"; };
    line(out, "minimum", integer(s.min));
    line(out, "maximum", integer(s.max));
    if (s.mean) {
        char mean[64];
        std::snprintf(mean, sizeof mean, "%.3f", *s.mean);
        line(out, "mean", mean);
    } else {
        line(out, "mean", "-");
    }
    std::string percentiles;
    for (std::size_t i = 0; i < kReportedPercentiles.size(); ++i) {
        percentiles +=
            (i == 0 ? "" : "  ") + percent_name(kReportedPercentiles[i]) + ": " + integer(s.percentiles[i]);
    }
    line(out, "percentiles", percentiles);
    return out;
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

std::string json_warnings(const std::vector<std::string> &warnings) {
    std::string out = "[";
    for (std::size_t i = 0; i < warnings.size(); ++i) {
        out += (i == 0 ? "" : ", ") + json_text(warnings[i]);
    }
    return out + "]";
}

std::string describe_json(const std::string &path, const Described &d) {
    const plateio_frame &frame = d.exposure.frame;
    const image_info &info = frame.info;
    const bool tra = d.exposure.tra();
    std::string geometry;
    for (int i = 0; i < 9; ++i) {
        geometry += (i == 0 ? "" : ", ") + json_real(info.geometry[i]);
    }
    const PlateStatistics &s = d.stats;
    std::string percentiles;
    for (std::size_t i = 0; i < kReportedPercentiles.size(); ++i) {
        percentiles += (i == 0 ? "\"" : ", \"") + percent_name(kReportedPercentiles[i]) +
                       "\": " + json_optional(s.percentiles[i]);
    }
    std::string out = "  {\n";
    out += "    \"file\": " + json_name(path) + ",\n";
    out += "    \"ok\": true,\n";
    out += "    \"format\": \"" + std::string(tra ? "tra" : "xarea") + "\",\n";
    out += "    \"width\": " + std::to_string(frame.width) + ",\n";
    out += "    \"height\": " + std::to_string(frame.height) + ",\n";
    out += "    \"compressed\": " +
           std::string(tra                     ? "null"
                       : frame.compressed != 0 ? "true"
                                               : "false") +
           ",\n";
    out += "    \"image_info\": {\n";
    out += "      \"overload_count\": " + std::to_string(info.overload_count) + ",\n";
    out += "      \"geometry\": [" + geometry + "],\n";
    out += "      \"setting\": " + std::to_string(info.setting) + ",\n";
    out += "      \"overflow_threshold\": " + std::to_string(info.overflow_threshold) + ",\n";
    out += "      \"scale_value\": " + json_real(info.scale_value) + ",\n";
    out += "      \"path\": " + json_name(info.path) + "\n";
    out += "    },\n";
    out += "    \"pixels\": {\"measured\": " + std::to_string(s.measured) +
           ", \"off_plate\": " + std::to_string(s.off_plate) +
           ", \"overflowed\": " + std::to_string(s.overflowed) +
           ",\n               \"min\": " + json_optional(s.min) + ", \"max\": " + json_optional(s.max) +
           ", \"mean\": " + json_optional(s.mean) + ",\n               \"percentiles\": {" + percentiles +
           "}},\n";
    out += "    \"warnings\": " + json_warnings(d.exposure.warnings) + "\n";
    out += "  }";
    return out;
}

std::string failure_json(const FileError &error) {
    const int code = error.code() != 0 ? error.code() : PLATEIO_E_OPEN;
    std::string out = "  {\n";
    out += "    \"file\": " + json_name(error.path()) + ",\n";
    out += "    \"ok\": false,\n";
    out += "    \"error\": {\"code\": " + std::to_string(code) +
           ", \"text\": " + json_text(plateio_strerror(code)) + ", \"reason\": " + json_text(error.reason()) +
           "},\n";
    out += "    \"warnings\": []\n";
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
    if (json) {
        std::fputs("[\n", stdout);
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string &path = files[i];
        std::string text;
        try {
            Described d{load_exposure(path, true), {}};
            d.stats = plate_statistics(d.exposure.view(), d.exposure.mask);
            for (const std::string &warning : d.exposure.warnings) {
                report(path + ": warning: " + warning);
            }
            text = json ? describe_json(path, d) : describe_text(path, d);
        } catch (const FileError &error) {
            report(error.what());
            status = kExitFile;
            if (!json) {
                continue;
            }
            text = failure_json(error);
        } catch (const std::bad_alloc &) {
            const FileError error(path, plateio_strerror(PLATEIO_E_NO_MEMORY), PLATEIO_E_NO_MEMORY);
            report(error.what());
            status = kExitFile;
            if (!json) {
                continue;
            }
            text = failure_json(error);
        }
        if (json) {
            text += i + 1 < files.size() ? ",\n" : "\n";
        } else if (i > 0) {
            text = "\n" + text;
        }
        std::fputs(text.c_str(), stdout);
        std::fflush(stdout);
    }
    if (json) {
        std::fputs("]\n", stdout);
    }
    std::fflush(stdout);
    return status;
}

} // namespace plateio::cli
