// plateio convert: exposures to TIFF, NumPy, CBF or NeXus/HDF5 images, in parallel when asked.
#include <algorithm>
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
#include "exposure_fields.hpp"
#include "files.hpp"
#include "output.hpp"
#include "user_geometry.hpp"
#ifdef PLATEIO_HAVE_HDF5
#include "nxmx.hpp"
#endif

namespace plateio::cli {

const char *const kConvertHelp =
    R"(usage: plateio convert [--to tiff|npy|cbf|h5] [--mask] [--header] [-j N] -o OUT FILE...

Converts TRA and X-Area exposures to the pixels the library loads, as
  tiff   a single-page TIFF of 32-bit signed integers (SampleFormat 2, uncompressed), which ImageJ,
         Fiji and the Python imaging tools read; the header values as a JSON object in its
         ImageDescription tag
  npy    a NumPy array of int32 (little-endian) with shape (height, width)
  cbf    imgCIF/CBF with the "x-CBF_BYTE_OFFSET" compression and a Content-MD5, as
         crystallography programs and fabio read it; the header values as "# name value" lines of
         the mini-header (_array_data.header_contents)
  h5     NeXus/HDF5 (also .hdf5, .nxs): /entry/data/data (NXdata, signal "data") holds the image,
         chunked and deflate-compressed; /entry/instrument/detector/pixel_mask the mask (see
         below); /entry/header a dataset for every header value. Only in a build with HDF5.
Overflowed pixels keep the library's mark PIXEL_OVERFLOW = 256001; pixels a TRA plate does not
cover are 0.

The header values: source (the input's name), format, width, height, compressed (X-Area),
overflow_mark (256001), overflow_threshold, overflow_count, off_plate_count, and the image_info
values the file carries (X-Area: overload_count, geometry_0 to geometry_8, setting, scale_value;
TRA: geometry_0, geometry_2 to geometry_5).

The mask, in every format with --mask, and in HDF5 always: 0 for a pixel that carries a
measurement, 1 (NeXus's bit 0, "no sensor there") for a pixel the file records no value for (off the
round TRA plate), 8 (bit 3) for an overflowed pixel. 8-bit in TIFF and NumPy, 32-bit in CBF and HDF5.

One FILE and an OUT that is not a directory: OUT is the output file, its format taken from --to or
else from its extension (.tif .tiff .npy .cbf .h5 .hdf5 .nxs); an extension that names another
format than --to is an error. Several FILEs, or an OUT that is a directory or ends in "/": OUT is a
directory (made if missing), and each FILE becomes OUT/NAME.EXT after its name without its
extension (TIFF unless --to says otherwise).

options:
  -o, --output OUT   the output file or directory (required)
  --to FORMAT        tiff, npy, cbf or h5
  --mask             also write each image's mask beside it, as NAME.mask.EXT in the same format
  --header           also write each image's header values as a JSON object to NAME.json (npy
                     carries them nowhere else)
  -j, --jobs N       convert N files at a time (1 to 64, default 1); the library keeps no state, so
                     the files are read in parallel, and the output does not depend on N
  -h, --help         this help

Outputs are safe to interrupt: each is written to a temporary file beside it (.NAME.plateio-tmp-...)
and renamed over OUT only when complete, so OUT is either what it was or the whole new file; a
symbolic link at OUT is replaced, not written through. A file that fails, or an interruption
(Ctrl-C, SIGTERM), leaves nothing behind. Only regular files are written and read: a FIFO, socket or
device is refused before it is opened, and an output that is the same file as an input (also through
a link) is refused before anything is read or written.

A progress bar is drawn on standard error when it is a terminal and more than one file is converted.
Exit status: 0 when every file was converted, 1 when one could not be read or written (each is
reported on standard error, and the others are still converted), 2 for a wrong command line.
)";

namespace {

struct Job {
    std::string input;
    std::string output;
    std::string mask;   // empty without --mask
    std::string header; // empty without --header
};

struct Options {
    std::optional<OutputFormat> format;
    bool mask = false;
    bool header = false;
    bool stack = false;
    bool quiet = false;
    UserGeometry geometry;
};

// A bar on standard error, redrawn as files finish; failures and warnings are printed above it.
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
        say(message);
    }
    void warn(const std::string &message) {
        const std::lock_guard lock(mutex_);
        say(message);
    }
    void close() {
        const std::lock_guard lock(mutex_);
        clear();
    }

  private:
    void say(const std::string &message) {
        clear();
        report(message);
        draw("");
    }
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

std::string stem_of(const std::string &path) {
    return std::filesystem::path(path).stem().string();
}

// The output beside `output` with `suffix` in place of its extension: x.tif -> x.mask.tif, x.json.
std::string beside(const std::string &output, const std::string &suffix, bool keep_extension) {
    const std::filesystem::path path(output);
    const std::string extension = path.extension().string();
    const std::string base = output.substr(0, output.size() - extension.size());
    return base + suffix + (keep_extension ? extension : "");
}

void convert_one(const Job &job, const Options &options, Progress &progress) {
    const OutputFormat format = *options.format;
    const Exposure exposure = load_exposure(job.input, true);
    for (const std::string &warning : exposure.warnings) {
        progress.warn(job.input + ": warning: " + warning);
    }
    const auto off_plate =
        static_cast<std::int64_t>(std::count(exposure.mask.begin(), exposure.mask.end(), 1));
    const std::vector<std::uint8_t> mask = pixel_mask(exposure);
    const std::string name = stem_of(job.input);

    PendingOutput image(job.output);
    const HeaderFields fields = header_fields(exposure, job.input, off_plate);
#ifdef PLATEIO_HAVE_HDF5
    if (format == OutputFormat::h5) {
        image.close();
        NxmxFile file(image.temporary(), job.output, exposure.frame.width, exposure.frame.height, 1,
                      options.geometry);
        file.add_frame(exposure.view(), exposure.mask, fields);
        file.finish();
    } else
#endif
    {
        write_plane(format, image, {exposure.view(), {}, exposure.frame.width, exposure.frame.height}, fields,
                    mask, name);
    }
    std::optional<PendingOutput> mask_file;
    if (!job.mask.empty()) {
        mask_file.emplace(job.mask);
        write_plane(format, *mask_file, {{}, mask, exposure.frame.width, exposure.frame.height},
                    header_fields(exposure, job.input, off_plate, true), mask, name + ".mask");
    }
    std::optional<PendingOutput> header_file;
    if (!job.header.empty()) {
        header_file.emplace(job.header);
        const std::string text = header_json(fields) + "\n";
        header_file->write({reinterpret_cast<const std::uint8_t *>(text.data()), text.size()});
    }
    // Every file of the job is complete: only now do they take their names.
    image.commit();
    if (mask_file) {
        mask_file->commit();
    }
    if (header_file) {
        header_file->commit();
    }
}

std::vector<std::string> outputs_of(const Job &job) {
    std::vector<std::string> outputs = {job.output};
    for (const std::string *extra : {&job.mask, &job.header}) {
        if (!extra->empty()) {
            outputs.push_back(*extra);
        }
    }
    return outputs;
}

// Refuses, before anything is read or written, outputs that would overwrite one another or an input,
// and targets that are not regular files.
void check_outputs(const std::vector<Job> &jobs, const std::vector<std::string> &files) {
    std::map<std::string, std::string> taken;
    for (const Job &job : jobs) {
        for (const std::string &output : outputs_of(job)) {
            if (const auto [at, fresh] = taken.emplace(output, job.input); !fresh) {
                throw UsageError("'" + at->second + "' and '" + job.input + "' would both be written to '" +
                                 output + "'");
            }
        }
    }
    std::vector<std::pair<FileIdentity, std::string>> inputs;
    for (const std::string &file : files) {
        if (const auto identity = identity_of(file)) {
            inputs.emplace_back(*identity, file);
        }
    }
    for (const auto &[output, input] : taken) {
        const auto identity = identity_of(output);
        for (const auto &[input_identity, file] : inputs) {
            if (identity && *identity == input_identity) {
                throw UsageError("the output '" + output + "' is the input '" + file +
                                 "'; refusing to overwrite an input");
            }
        }
        check_output_target(output);
    }
}

std::vector<Job> plan(const std::vector<std::string> &files, const std::string &out, Options &options) {
    std::error_code ignored;
    const bool directory =
        files.size() > 1 || out.ends_with('/') || std::filesystem::is_directory(out, ignored);
    std::vector<Job> jobs;
    if (!directory) {
        const std::optional<OutputFormat> named = format_of_extension(out);
        if (options.format && named && *named != *options.format) {
            throw UsageError("'" + out + "' is named as a " + format_title(*named) +
                             " file, but --to asks for " + format_title(*options.format));
        }
        options.format = options.format ? options.format : named;
        if (!options.format) {
            throw UsageError("cannot tell the format of '" + out +
                             "' from its extension; give --to tiff, npy, cbf or h5");
        }
        jobs.push_back({files[0], out, "", ""});
    } else {
        options.format = options.format.value_or(OutputFormat::tiff);
        for (const std::string &file : files) {
            jobs.push_back(
                {file,
                 (std::filesystem::path(out) / stem_of(file)).string() + default_extension(*options.format),
                 "", ""});
        }
    }
    if (!format_built(*options.format)) {
        throw UsageError(std::string("this plateio was built without ") + format_title(*options.format) +
                         " support");
    }
    for (Job &job : jobs) {
        job.mask = options.mask ? beside(job.output, ".mask", true) : "";
        job.header = options.header ? beside(job.output, ".json", false) : "";
    }
    check_outputs(jobs, files);
    if (directory) {
        std::error_code error;
        std::filesystem::create_directories(out, error);
        if (error) {
            throw FileError(out, error.message());
        }
    }
    return jobs;
}

bool is_geometry_option(const std::string &argument) {
    const std::string option = argument.substr(0, argument.find('='));
    for (const char *name : {"--wavelength", "--distance", "--pixel-size", "--beam-center", "--oscillation",
                             "--poni"}) {
        if (option == name) {
            return true;
        }
    }
    return false;
}

// Every exposure in one NXmx file, in the order given: all are probed first, so that a file of
// another size (or one that cannot be read at all) stops the job before anything is written; then
// one frame at a time is read and written.
int convert_stack(const std::vector<std::string> &files, const std::string &out, Options &options) {
    const std::optional<OutputFormat> named = format_of_extension(out);
    if (options.format.value_or(named.value_or(OutputFormat::h5)) != OutputFormat::h5 ||
        (named && *named != OutputFormat::h5)) {
        throw UsageError("--stack writes one NXmx file: give --to h5 and an output named .h5 or .nxs");
    }
    if (options.mask || options.header) {
        throw UsageError("--stack keeps the mask and the header values inside the NXmx file; "
                         "--mask and --header do not apply");
    }
#ifndef PLATEIO_HAVE_HDF5
    throw UsageError("this plateio was built without NeXus/HDF5 support");
#else
    std::error_code ignored;
    if (out.ends_with('/') || std::filesystem::is_directory(out, ignored)) {
        throw UsageError("--stack writes one file, but '" + out + "' is a directory");
    }
    if (options.geometry.start && !options.geometry.increment) {
        throw UsageError("--oscillation needs START,WIDTH");
    }
    std::int32_t width = 0;
    std::int32_t height = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
        check_input(files[i]);
        plateio_frame frame{};
        if (const std::int32_t code = plateio_probe(files[i].c_str(), &frame); code != PLATEIO_OK) {
            throw FileError(files[i], frame.reason[0] != '\0' ? frame.reason : plateio_strerror(code), code);
        }
        if (i == 0) {
            width = frame.width;
            height = frame.height;
        } else if (frame.width != width || frame.height != height) {
            throw UsageError("'" + files[i] + "' is " + std::to_string(frame.width) + " x " +
                             std::to_string(frame.height) + " pixels, but '" + files[0] + "' is " +
                             std::to_string(width) + " x " + std::to_string(height) +
                             "; a series needs frames of one size");
        }
    }
    check_outputs({{files[0], out, "", ""}}, files);
    Progress progress(files.size(), !options.quiet && ::isatty(STDERR_FILENO) == 1);
    try {
        PendingOutput output(out);
        output.close();
        NxmxFile file(output.temporary(), out, width, height, files.size(), options.geometry);
        for (const std::string &input : files) {
            const Exposure exposure = load_exposure(input, true);
            if (exposure.frame.width != width || exposure.frame.height != height) {
                throw FileError(input, "changed size while the series was written");
            }
            for (const std::string &warning : exposure.warnings) {
                progress.warn(input + ": warning: " + warning);
            }
            const auto off_plate =
                static_cast<std::int64_t>(std::count(exposure.mask.begin(), exposure.mask.end(), 1));
            file.add_frame(exposure.view(), exposure.mask, header_fields(exposure, input, off_plate));
            progress.finished(input);
        }
        file.finish();
        output.commit();
    } catch (const FileError &) {
        progress.close();
        throw;
    }
    progress.close();
    return kExitOk;
#endif
}

} // namespace

int run_convert(Args &args) {
    Options options;
    std::optional<std::string> out;
    std::int64_t threads = 1;
    std::vector<std::string> files;
    while (!args.done()) {
        if (auto to = args.value({"--to"})) {
            options.format = format_of_word(*to);
            if (!options.format) {
                throw UsageError("--to must be tiff, npy, cbf or h5, not '" + *to + "'");
            }
        } else if (auto o = args.value({"-o", "--output"})) {
            out = *o;
        } else if (auto j = args.value({"-j", "--jobs"})) {
            threads = parse_integer(*j, "-j", 1, 64);
        } else if (args.flag({"--mask"})) {
            options.mask = true;
        } else if (args.flag({"--header"})) {
            options.header = true;
        } else if (args.flag({"--stack"})) {
            options.stack = true;
        } else if (args.flag({"-q", "--quiet"})) {
            options.quiet = true;
        } else if (args.at_option() && is_geometry_option(args.current())) {
            const std::string option = args.current().substr(0, args.current().find('='));
            take_geometry_option(option, *args.value({option}), options.geometry);
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
    if (options.stack) {
        return convert_stack(files, *out, options);
    }
    const std::vector<Job> jobs = plan(files, *out, options);

    Progress progress(jobs.size(), !options.quiet && jobs.size() > 1 && ::isatty(STDERR_FILENO) == 1);
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    const auto work = [&] {
        for (std::size_t i = next++; i < jobs.size(); i = next++) {
            try {
                convert_one(jobs[i], options, progress);
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
