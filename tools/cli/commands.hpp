// The subcommands of plateio. Each parses its arguments into an options struct (a UsageError for a
// wrong command line) and hands it to a function that does the work and returns the exit status; a
// FileError is the one file it failed on (commands over many files report each failure themselves
// and go on).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "synth.hpp"
#include "user_geometry.hpp"

#include "args.hpp"
#include "errors.hpp"
#include "plateio.h"

namespace plateio::cli {

struct Format;

struct Command {
    const char *name;
    const char *summary; // one line for the tool's help
    const char *help;    // the command's own --help
    int (*run)(Args &args);
};

struct InfoOptions {
    bool json = false;
    std::vector<std::string> files;
};

struct ConvertOptions {
    const Format *format = nullptr; // from --to, else from the output's extension
    std::string out;
    bool mask = false;
    bool header = false;
    bool stack = false; // every file a frame of one NXmx file
    bool quiet = false; // no progress bar
    int threads = 1;
    UserGeometry geometry;
    std::vector<std::string> files;
};

struct PreviewOptions {
    std::string out;
    double low = 1.0;
    double high = 99.8;
    std::size_t size = 1024;
    bool header = false;
    std::string file;
};

struct CorrectOptions {
    geometry_params params{};
    double distance = 0.0;
    bool inverse = false;
    std::vector<double> coordinates; // X Y pairs; none: read standard input
};

struct SynthOptions {
    std::string out;                   // a run of '#' stands for the frame number of a series
    std::optional<std::string> format; // "tra" or "xarea"
    std::optional<std::pair<std::int32_t, std::int32_t>> size;
    std::uint64_t seed = 1;
    bool compressed = false;
    bool xarea_only_given = false; // an X-Area header value was given
    std::array<bool, 9> geometry_given{};
    writers::ExposureValues values;
    bool rings = true;
    std::int32_t spots = 0;
    std::int32_t frames = 1;
    std::optional<std::pair<double, double>> oscillation; // start, width in degrees
};

int info(const InfoOptions &options);
int synth(const SynthOptions &options);
int convert(const ConvertOptions &options);
int preview(const PreviewOptions &options);
int correct(const CorrectOptions &options);

int run_info(Args &args);
int run_convert(Args &args);
int run_preview(Args &args);
int run_synth(Args &args);
int run_correct(Args &args);

extern const char *const kInfoHelp;
extern const char *const kConvertHelp;
extern const char *const kPreviewHelp;
extern const char *const kSynthHelp;
extern const char *const kCorrectHelp;

// Prints "plateio: <message>" on standard error, the message escaped for a terminal (text.hpp).
void report(std::string_view message);
inline void report(const FileError &error) {
    report(error.what());
}

// Writes text to standard output; a failure throws FileError naming "write error" with the reason.
void print(std::string_view text);

} // namespace plateio::cli
