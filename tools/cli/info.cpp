// plateio info: the format, the size, every image_info value and statistics over the plate.
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>

#include "commands.hpp"
#include "errors.hpp"
#include "exposure.hpp"
#include "header.hpp"
#include "stats.hpp"
#include "text.hpp"

namespace plateio::cli {

const char *const kInfoHelp = R"(usage: plateio info [--json] FILE...

Describes TRA and X-Area exposures as the library reads them (the family is told by the file's
content): the header of each (the keys every output of the tool carries, docs/header.md: format,
source, width, height, compressed, overflow_threshold, saturation_value, overflow_value,
overflow_count, off_plate_count, overload_count, geometry_0 to geometry_8, setting, scale_value; a
key the file does not carry is left out), one "key: value" line each, and statistics over the pixels
that carry a measurement -- those on the plate (a TRA grid's corners lie off the round plate and hold
no value) that are not overflowed (saturated TRA pixels and X-Area pixels above the file's overflow
threshold, which the library marks PIXEL_OVERFLOW = 256001): the number of them, minimum, maximum,
mean and the 1st, 5th, 50th, 95th and 99th percentiles (nearest rank).

Reals are given as the exact double the library returned (a TRA file's single-precision values too:
0.7106999754905701).

options:
  --json       one JSON array on standard output, with an object for every FILE in order:
               "ok": true, "header" (the keys above), "image_info" (the library's record as it is,
               its markers for absent values included: -1, -1.0, null for NaN), "pixels" (the
               statistics) and "warnings"; or "ok": false and "error" ({"code", "text", "reason"}:
               the library's PLATEIO_E_... code, its text and what is wrong). Warnings (such as value
               counts of a difference-coded block that disagree with its header) are also printed
               on standard error.
  -h, --help   this help

File names: a byte that is not valid UTF-8 is written as \xHH (two lower-case hexadecimal digits)
and a backslash of the name as \\, so the output is always UTF-8 and the name's bytes can be
recovered: replace \\ by \ and \xHH by the byte HH. On a terminal, in the text description and in
messages, the bytes of control characters (line breaks, ESC, DEL and the like) are escaped alike.

Nothing but the description is printed on standard output; failures and warnings go to standard
error as "plateio: FILE: ...". A failure to write standard output is reported and exits 1.

Compressed files (gzip, bzip2, xz, told by their content) are read too, expanded in memory to at
most 1 GiB, or PLATEIO_DECOMPRESS_LIMIT bytes (a number with K, M or G), and to no more than the
size their header implies; a larger one is refused with the limit named.
Exit status: 0 when every file was described, 1 when one could not be read (the others are still
described), 2 for a wrong command line.
)";

namespace {

std::string percent_name(double percent) {
    return format_real(percent);
}

std::string describe_text(const Exposure &exposure, const Header &header, const PlateStatistics &s) {
    std::string out = escape_name(exposure.source, Escape::terminal) + "\n";
    const auto line = [&out](const std::string &key, const std::string &value) {
        out += "  " + key + ": " + value + "\n";
    };
    for (const HeaderField &field : header) {
        line(field.key, header_word(field, Escape::terminal));
    }
    const auto integer = [](const std::optional<std::int32_t> &v) { return v ? std::to_string(*v) : "-"; };
    line("measured", std::to_string(s.measured));
    line("minimum", integer(s.min));
    line("maximum", integer(s.max));
    if (s.mean) {
        char mean[64];
        std::snprintf(mean, sizeof mean, "%.3f", *s.mean);
        line("mean", mean);
    } else {
        line("mean", "-");
    }
    std::string percentiles;
    for (std::size_t i = 0; i < kReportedPercentiles.size(); ++i) {
        percentiles +=
            (i == 0 ? "" : "  ") + percent_name(kReportedPercentiles[i]) + ": " + integer(s.percentiles[i]);
    }
    line("percentiles", percentiles);
    return out;
}

template <class T> void optional_number(Json &json, const std::optional<T> &value) {
    if (!value) {
        json.null();
    } else if constexpr (std::is_floating_point_v<T>) {
        json.number(*value);
    } else {
        json.number(std::int64_t{*value});
    }
}

void describe_json(Json &json, const Exposure &exposure, const Header &header, const PlateStatistics &s) {
    const image_info &info = exposure.frame.info;
    json.key("header");
    put_header(json, header);
    json.key("image_info").open_object();
    json.key("overload_count").number(std::int64_t{info.overload_count});
    json.key("geometry").open_array();
    for (const double value : info.geometry) {
        json.number(value);
    }
    json.close();
    json.key("setting").number(std::int64_t{info.setting});
    json.key("overflow_threshold").number(std::int64_t{info.overflow_threshold});
    json.key("scale_value").number(info.scale_value);
    json.key("path").name(info.path);
    json.close();
    json.key("pixels").open_object();
    json.key("measured").number(s.measured);
    json.key("min");
    optional_number(json, s.min);
    json.key("max");
    optional_number(json, s.max);
    json.key("mean");
    optional_number(json, s.mean);
    json.key("percentiles").open_object();
    for (std::size_t i = 0; i < kReportedPercentiles.size(); ++i) {
        json.key(percent_name(kReportedPercentiles[i]));
        optional_number(json, s.percentiles[i]);
    }
    json.close().close();
    json.key("warnings").open_array();
    for (const std::string &warning : exposure.warnings) {
        json.text(warning);
    }
    json.close();
}

void failure_json(Json &json, const FileError &error) {
    const int code = error.code() != 0 ? error.code() : PLATEIO_E_OPEN;
    json.key("error").open_object();
    json.key("code").number(std::int64_t{code});
    json.key("text").text(plateio_strerror(code));
    json.key("reason").text(error.reason());
    json.close();
    json.key("warnings").open_array().close();
}

InfoOptions parse_info(Args &args) {
    InfoOptions options;
    while (!args.done()) {
        if (args.flag({"--json"})) {
            options.json = true;
        } else if (args.at_option()) {
            throw UsageError("unknown option '" + args.current() + "'");
        } else {
            options.files.push_back(args.take());
        }
    }
    if (options.files.empty()) {
        throw UsageError("no FILE given");
    }
    return options;
}

} // namespace

int info(const InfoOptions &options) {
    int status = kExitOk;
    Json json(true);
    if (options.json) {
        json.open_array();
    }
    for (const std::string &path : options.files) {
        std::optional<Exposure> exposure;
        std::optional<FileError> failure;
        try {
            exposure = load_exposure(path);
        } catch (const FileError &error) {
            failure = error;
        } catch (const std::bad_alloc &) {
            failure = FileError(path, plateio_strerror(PLATEIO_E_NO_MEMORY), PLATEIO_E_NO_MEMORY);
        }
        if (failure) {
            report(*failure);
            status = kExitFile;
            if (options.json) {
                json.open_object().key("file").name(path).key("ok").boolean(false);
                failure_json(json, *failure);
                json.close();
            }
            continue;
        }
        for (const std::string &warning : exposure->warnings) {
            report(FileError(path, "warning: " + warning));
        }
        const Header header = exposure_header(*exposure);
        const PlateStatistics stats = plate_statistics(exposure->view(), exposure->mask);
        if (options.json) {
            json.open_object().key("file").name(path).key("ok").boolean(true);
            describe_json(json, *exposure, header, stats);
            json.close();
        } else {
            if (&path != &options.files.front()) {
                print("\n");
            }
            print(describe_text(*exposure, header, stats));
        }
    }
    if (options.json) {
        print(json.close().str() + "\n");
    }
    return status;
}

int run_info(Args &args) {
    return info(parse_info(args));
}

} // namespace plateio::cli
