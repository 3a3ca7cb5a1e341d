// plateio convert: exposures to 32-bit TIFF images or NumPy arrays, in parallel when asked.
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "commands.hpp"
#include "errors.hpp"
#include "exposure.hpp"
#include "output.hpp"

namespace plateio::cli {

const char *const kConvertHelp = R"(usage: plateio convert [--to tiff|npy] [-j N] -o OUT FILE...

Converts TRA and X-Area exposures to the pixels the library loads, as
  tiff   a single-page TIFF of 32-bit signed integers (SampleFormat 2, uncompressed), which ImageJ,
         Fiji and the Python imaging tools read, or
  npy    a NumPy array of int32 (little-endian) with shape (height, width).
Overflowed pixels keep the library's mark PIXEL_OVERFLOW = 256001; pixels a TRA plate does not
cover are 0.

One FILE and an OUT that is not a directory: OUT is the output file, its format taken from its
extension (.tif, .tiff, .npy) or from --to. Several FILEs, or an OUT that is a directory or ends in
"/": OUT is a directory (made if missing), and each FILE becomes OUT/NAME.tif or OUT/NAME.npy after
its name without its extension (TIFF unless --to npy).

options:
  -o, --output OUT   the output file or directory (required)
  --to tiff|npy      the output format
  -j, --jobs N       convert N files at a time (1 to 64, default 1); the library keeps no state, so
                     the files are read in parallel, and the output does not depend on N
  -h, --help         this help

A progress bar is drawn on standard error when it is a terminal and more than one file is converted.
Exit status: 0 when every file was converted, 1 when one could not be read or written (each is
reported on standard error, and the others are still converted), 2 for a wrong command line.
)";

namespace {

enum class OutputFormat { tiff, npy };

std::optional<OutputFormat> format_of_extension(const std::filesystem::path &path) {
    const std::string extension = path.extension().string();
    if (extension == ".tif" || extension == ".tiff" || extension == ".TIF" || extension == ".TIFF") {
        return OutputFormat::tiff;
    }
    if (extension == ".npy" || extension == ".NPY") {
        return OutputFormat::npy;
    }
    return std::nullopt;
}

struct Job {
    std::string input;
    std::string output;
};

// A bar on standard error, redrawn as files finish; failures are printed above it.
class Progress {
  public:
    Progress(std::size_t total, bool shown) : total_(total), shown_(shown) {}

    void finished(const std::string &name) {
        const std::lock_guard lock(mutex_);
        ++done_;
        draw(name);
    }
    void failed(const std::string &message) {
        const std::lock_guard lock(mutex_);
        ++done_;
        clear();
        std::fflush(stdout);
        report(message);
        draw("");
    }
    void close() {
        const std::lock_guard lock(mutex_);
        clear();
    }

  private:
    void draw(const std::string &name) {
        if (!shown_) {
            return;
        }
        constexpr std::size_t kWidth = 30;
        const std::size_t filled = kWidth * done_ / total_;
        std::string bar = "\r[" + std::string(filled, '#') + std::string(kWidth - filled, ' ') + "] " +
                          std::to_string(done_) + "/" + std::to_string(total_) + " " + name.substr(0, 40);
        std::fprintf(stderr, "%s\033[K", bar.c_str());
        std::fflush(stderr);
    }
    void clear() {
        if (shown_) {
            std::fputs("\r\033[K", stderr);
        }
    }

    std::mutex mutex_;
    std::size_t done_ = 0;
    std::size_t total_;
    bool shown_;
};

void convert_one(const Job &job, OutputFormat format) {
    const Exposure exposure = load_exposure(job.input, false);
    if (format == OutputFormat::npy) {
        write_output(job.output, npy_bytes(exposure.view(), exposure.width, exposure.height));
    } else {
        const std::string description = "plateio: " + std::filesystem::path(job.input).filename().string() +
                                        " (" + format_name(exposure.format) +
                                        "); overflowed pixels are 256001";
        write_tiff(job.output, exposure.view(), exposure.width, exposure.height, description);
    }
}

std::vector<Job> plan(const std::vector<std::string> &files, const std::string &out,
                      std::optional<OutputFormat> &format) {
    std::error_code ignored;
    const bool directory =
        files.size() > 1 || out.ends_with('/') || std::filesystem::is_directory(out, ignored);
    if (!directory) {
        if (!format) {
            format = format_of_extension(out);
        }
        if (!format) {
            throw UsageError("cannot tell the format of '" + out +
                             "' from its extension; give --to tiff or --to npy");
        }
        return {{files[0], out}};
    }
    format = format.value_or(OutputFormat::tiff);
    const char *extension = *format == OutputFormat::tiff ? ".tif" : ".npy";
    std::vector<Job> jobs;
    std::map<std::string, std::string> taken;
    for (const std::string &file : files) {
        const std::string output =
            (std::filesystem::path(out) / std::filesystem::path(file).stem()).string() + extension;
        if (const auto [at, fresh] = taken.emplace(output, file); !fresh) {
            throw UsageError("'" + at->second + "' and '" + file + "' would both be written to '" + output +
                             "'");
        }
        jobs.push_back({file, output});
    }
    std::error_code error;
    std::filesystem::create_directories(out, error);
    if (error) {
        throw FileError(out, error.message());
    }
    return jobs;
}

} // namespace

int run_convert(Args &args) {
    std::optional<OutputFormat> format;
    std::optional<std::string> out;
    std::int64_t threads = 1;
    std::vector<std::string> files;
    while (!args.done()) {
        if (auto to = args.value({"--to"})) {
            if (*to == "tiff" || *to == "tif") {
                format = OutputFormat::tiff;
            } else if (*to == "npy") {
                format = OutputFormat::npy;
            } else {
                throw UsageError("--to must be tiff or npy, not '" + *to + "'");
            }
        } else if (auto o = args.value({"-o", "--output"})) {
            out = *o;
        } else if (auto j = args.value({"-j", "--jobs"})) {
            threads = parse_integer(*j, "-j", 1, 64);
        } else if (args.at_option()) {
            throw UsageError("unknown option '" + args.current() + "'");
        } else if (!args.done()) {
            files.push_back(args.take());
        }
    }
    if (files.empty()) {
        throw UsageError("no FILE given");
    }
    if (!out || out->empty()) {
        throw UsageError("no output given: -o OUT");
    }
    const std::vector<Job> jobs = plan(files, *out, format);

    Progress progress(jobs.size(), jobs.size() > 1 && ::isatty(STDERR_FILENO) == 1);
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    const auto work = [&] {
        for (std::size_t i = next++; i < jobs.size(); i = next++) {
            try {
                convert_one(jobs[i], *format);
                progress.finished(jobs[i].input);
            } catch (const FileError &error) {
                failed = true;
                progress.failed(error.what());
            } catch (const std::bad_alloc &) {
                failed = true;
                progress.failed(jobs[i].input + ": out of memory");
            }
        }
    };
    {
        std::vector<std::jthread> workers;
        const auto count = std::min<std::size_t>(static_cast<std::size_t>(threads), jobs.size());
        for (std::size_t t = 1; t < count; ++t) {
            workers.emplace_back(work);
        }
        work();
    }
    progress.close();
    return failed ? kExitFile : kExitOk;
}

} // namespace plateio::cli
