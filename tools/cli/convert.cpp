// plateio convert: exposures to TIFF, NumPy, CBF or NeXus/HDF5 images, in parallel when asked.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "commands.hpp"
#include "errors.hpp"
#include "exposure.hpp"
#include "files.hpp"
#include "formats/formats.hpp"
#ifdef PLATEIO_HAVE_HDF5
#include "formats/nxmx.hpp"
#endif
#include "header.hpp"
#include "text.hpp"

namespace plateio::cli {

const char *const kConvertHelp =
    R"(usage: plateio convert [--to tiff|npy|cbf|h5] [--mask] [--header] [-j N] -o OUT FILE...

Converts TRA and X-Area exposures to the pixels the library loads, as
  tiff   a single-page TIFF of 32-bit signed integers (SampleFormat 2, uncompressed), which ImageJ,
         Fiji and the Python imaging tools read; the header as {"header": {...}} in its
         ImageDescription tag
  npy    a NumPy array of int32 (little-endian) with shape (height, width)
  cbf    imgCIF/CBF with the "x-CBF_BYTE_OFFSET" compression and a Content-MD5, as
         crystallography programs and fabio read it; the header values as "# name value" lines of
         the mini-header (_array_data.header_contents); a name in it is escaped as text (see below),
         and a '-' that follows a '-' is written \x2d
  h5     NeXus/HDF5 (also .hdf5, .nxs): /entry/data/data (NXdata, signal "data") holds the image,
         chunked and deflate-compressed; /entry/instrument/detector/pixel_mask the mask (see
         below); /entry/instrument/detector/saturation_value the header's saturation_value;
         /entry/instrument/detector/header (NXcollection) a scalar dataset for every header key.
         Only in a build with HDF5.
Overflowed pixels keep the library's mark PIXEL_OVERFLOW = 256001; pixels a TRA plate does not
cover are 0.

The header is what plateio info describes (docs/header.md): format, source (the input's name
without directories), width, height, compressed, overflow_threshold, saturation_value (the lowest
saturated raw count: 65535 for TRA, the threshold + 1 for X-Area), overflow_value (256001),
overflow_count, off_plate_count, overload_count, geometry_0 to geometry_8, setting, scale_value;
a key the file does not carry is left out. Every output carries the same keys and values, the mask
too.

The mask, in every format with --mask, and in HDF5 always: 0 for a pixel that carries a
measurement, 1 (NeXus's bit 0, "no sensor there") for a pixel the file records no value for (off the
round TRA plate), 8 (bit 3) for an overflowed pixel. 8-bit in TIFF and NumPy, 32-bit in CBF and HDF5.

One FILE and an OUT that is not a directory: OUT is the output file, its format taken from --to or
else from its extension (.tif .tiff .npy .cbf .h5 .hdf5 .hdf .nxs); an extension that names another
format than --to is an error. An OUT that is a directory or ends in "/": OUT is a directory (made if
missing), and each FILE becomes OUT/NAME.EXT after its name without its extension (TIFF unless --to
says otherwise). Several FILEs need such an OUT: any other is a wrong command line.

options:
  -o, --output OUT   the output file or directory (required)
  --to FORMAT        tiff, npy, cbf or h5
  --mask             also write each image's mask beside it, as NAME.mask.EXT in the same format
  --header           also write each image's header as {"header": {...}} to NAME.json (npy
                     carries it nowhere else)
  -j, --jobs N       convert N files at a time (1 to 64, default 1); the library keeps no state, so
                     the files are read in parallel, and the output does not depend on N
  --stack            h5: every FILE, in the order given, a frame of one NXmx file OUT (a rotation
                     series for DIALS); all of one width and height, one frame in memory at a time
  -q, --quiet        no progress bar
  -h, --help         this help

Geometry, written where the format has a place for it (h5: NXmx; cbf: the mini-header lines
Wavelength, Detector_distance, Pixel_size, Beam_xy, Start_angle, Angle_increment) and left out when
not given -- the exposure files do not say which header value means what:
  --wavelength A              the X-ray wavelength in angstrom
  --distance MM               sample to detector plane, in millimetres
  --pixel-size MM[,MM]        pixel size in millimetres, along a row and along a column
  --beam-center X,Y           where the beam meets the plate, in pixels from the first pixel's
                              outer corner (column, row)
  --oscillation START,WIDTH   a rotation series: frame k turns from START + k*WIDTH degrees by WIDTH
  --poni FILE                 a pyFAI calibration: distance, beam centre, pixel sizes, wavelength
                              (its rotations must be 0); options after it override it
Each must be a positive finite number (a beam centre and a start angle: finite). DIALS needs the
wavelength, distance, pixel size and beam centre (and --oscillation for a rotation series).
Outputs are safe to interrupt: each is written to a temporary file beside it (.NAME.plateio-tmp-...)
and renamed over OUT only when complete, so OUT is either what it was or the whole new file; a
symbolic link at OUT is replaced, not written through. The files of one input (image, mask, .json)
are all written, their names checked, before the first takes its name, and they take their names
together: a failure or an interruption (Ctrl-C, SIGTERM) leaves none of them, never a new image
beside an old mask. Only regular files are written and read: an input is opened once, without
waiting, and a FIFO, socket or device is refused by what the open descriptor is; an output that is
the same file as an input (also through a link) is refused before anything is read or written.

Inputs may be compressed (gzip, bzip2, xz, told by their content): see 'plateio info --help' for
the limit of their expansion (PLATEIO_DECOMPRESS_LIMIT).

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
                          std::to_string(done_) + "/" + std::to_string(total_) + " " +
                          escape_name(name, Escape::terminal).substr(0, 40);
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

void convert_one(const Job &job, const Format &format, const UserGeometry &geometry, Progress &progress) {
    const Exposure exposure = load_exposure(job.input);
    for (const std::string &warning : exposure.warnings) {
        progress.warn(job.input + ": warning: " + warning);
    }
    const Header header = exposure_header(exposure);
    const std::string name = stem_of(job.input);
    PendingOutput image(job.output);
    format.write(image, {exposure, header, false, name, &geometry});
    std::optional<PendingOutput> mask;
    if (!job.mask.empty()) {
        mask.emplace(job.mask);
        format.write(*mask, {exposure, header, true, name, &geometry});
    }
    std::optional<PendingOutput> sidecar;
    if (!job.header.empty()) {
        sidecar.emplace(job.header);
        const std::string text = header_document(header) + "\n";
        sidecar->write({reinterpret_cast<const std::uint8_t *>(text.data()), text.size()});
    }
    // Every file of the job is complete: only now do they take their names, together.
    commit_all({&image, mask ? &*mask : nullptr, sidecar ? &*sidecar : nullptr});
}

// Refuses, before anything is read or written, outputs that would overwrite one another or an input,
// and targets that are not regular files.
void check_outputs(const std::vector<Job> &jobs, const std::vector<std::string> &files) {
    std::map<std::string, std::string> taken;
    for (const Job &job : jobs) {
        for (const std::string *output : {&job.output, &job.mask, &job.header}) {
            if (output->empty()) {
                continue;
            }
            if (const auto [at, fresh] = taken.emplace(*output, job.input); !fresh) {
                throw UsageError("'" + at->second + "' and '" + job.input + "' would both be written to '" +
                                 *output + "'");
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

std::vector<Job> plan(const ConvertOptions &options, const Format &format, bool directory) {
    std::vector<Job> jobs;
    for (const std::string &file : options.files) {
        const std::string output =
            directory ? (std::filesystem::path(options.out) / stem_of(file)).string() + format.extensions[0]
                      : options.out;
        jobs.push_back({file, output, options.mask ? beside(output, ".mask", true) : "",
                        options.header ? beside(output, ".json", false) : ""});
    }
    check_outputs(jobs, options.files);
    return jobs;
}

bool is_geometry_option(const std::string &argument) {
    const std::string option = argument.substr(0, argument.find('='));
    for (const char *name :
         {"--wavelength", "--distance", "--pixel-size", "--beam-center", "--oscillation", "--poni"}) {
        if (option == name) {
            return true;
        }
    }
    return false;
}

// Every exposure in one NXmx file, in the order given: all are probed first, so that a file of
// another size (or one that cannot be read at all) stops the job before anything is written; then
// one frame at a time is read and written.
int convert_stack(const ConvertOptions &options) {
    const Format *named = format_of_path(options.out);
    const Format *h5 = format_named("h5");
    if ((options.format != nullptr && options.format != h5) || (named != nullptr && named != h5)) {
        throw UsageError("--stack writes one NXmx file: give --to h5 and an output named .h5 or .nxs");
    }
    if (options.mask || options.header) {
        throw UsageError("--stack keeps the mask and the header inside the NXmx file; --mask and --header "
                         "do not apply");
    }
    std::error_code ignored;
    if (options.out.ends_with('/') || std::filesystem::is_directory(options.out, ignored)) {
        throw UsageError("--stack writes one file, but '" + options.out + "' is a directory");
    }
#ifndef PLATEIO_HAVE_HDF5
    throw UsageError("this plateio was built without NeXus/HDF5 support");
#else
    std::int32_t width = 0;
    std::int32_t height = 0;
    for (std::size_t i = 0; i < options.files.size(); ++i) {
        const plateio_frame frame = probe_exposure(options.files[i]);
        if (i == 0) {
            width = frame.width;
            height = frame.height;
        } else if (frame.width != width || frame.height != height) {
            throw UsageError("'" + escape_name(options.files[i], Escape::terminal) + "' is " +
                             std::to_string(frame.width) + " x " + std::to_string(frame.height) +
                             " pixels, but '" + escape_name(options.files[0], Escape::terminal) + "' is " +
                             std::to_string(width) + " x " + std::to_string(height) +
                             "; a series needs frames of one size");
        }
    }
    check_outputs({{options.files[0], options.out, "", ""}}, options.files);
    Progress progress(options.files.size(), !options.quiet && ::isatty(STDERR_FILENO) == 1);
    try {
        PendingOutput output(options.out);
        output.close();
        NxmxFile file(output.temporary(), options.out, width, height, options.files.size(), options.geometry);
        for (const std::string &input : options.files) {
            const Exposure exposure = load_exposure(input);
            if (exposure.frame.width != width || exposure.frame.height != height) {
                throw FileError(input, "changed size while the series was written");
            }
            for (const std::string &warning : exposure.warnings) {
                progress.warn(input + ": warning: " + warning);
            }
            file.add_frame(exposure.view(), exposure.mask, exposure_header(exposure));
            progress.finished(input);
        }
        file.finish();
        commit_all({&output});
    } catch (...) {
        progress.close();
        throw;
    }
    progress.close();
    return kExitOk;
#endif
}

ConvertOptions parse_convert(Args &args) {
    ConvertOptions options;
    while (!args.done()) {
        if (auto to = args.value({"--to"})) {
            options.format = format_named(*to);
            if (options.format == nullptr) {
                throw UsageError("--to must be tiff, npy, cbf or h5, not '" + *to + "'");
            }
        } else if (auto o = args.value({"-o", "--output"})) {
            options.out = *o;
        } else if (auto j = args.value({"-j", "--jobs"})) {
            options.threads = static_cast<int>(parse_integer(*j, "-j", 1, 64));
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
        } else {
            options.files.push_back(args.take());
        }
    }
    if (options.files.empty()) {
        throw UsageError("no FILE given");
    }
    if (options.out.empty()) {
        throw UsageError("no output given: -o OUT");
    }
    return options;
}

} // namespace

int convert(const ConvertOptions &options) {
    if (options.geometry.start && !options.geometry.increment) {
        throw UsageError("--oscillation needs START,WIDTH");
    }
    if (options.stack) {
        return convert_stack(options);
    }
    std::error_code ignored;
    const bool directory = options.out.ends_with('/') || std::filesystem::is_directory(options.out, ignored);
    if (!directory && options.files.size() > 1) {
        throw UsageError("several FILEs are written into a directory: '" + options.out +
                         "' is none; name an existing one, or end OUT with '/' to make it");
    }
    const Format *format = options.format;
    if (!directory) {
        const Format *named = format_of_path(options.out);
        if (format != nullptr && named != nullptr && named != format) {
            throw UsageError("'" + options.out + "' is named as a " + named->title +
                             " file, but --to asks for " + format->title);
        }
        format = format != nullptr ? format : named;
        if (format == nullptr) {
            throw UsageError("cannot tell the format of '" + options.out +
                             "' from its extension; give --to tiff, npy, cbf or h5");
        }
    }
    format = format != nullptr ? format : &output_formats()[0];
    if (format->write == nullptr) {
        throw UsageError(std::string("this plateio was built without ") + format->title + " support");
    }
    const std::vector<Job> jobs = plan(options, *format, directory);
    if (directory) {
        std::error_code error;
        std::filesystem::create_directories(options.out, error);
        if (error) {
            throw FileError(options.out, error.message());
        }
    }

    Progress progress(jobs.size(), !options.quiet && jobs.size() > 1 && ::isatty(STDERR_FILENO) == 1);
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    const auto work = [&] {
        for (std::size_t i = next++; i < jobs.size(); i = next++) {
            try {
                convert_one(jobs[i], *format, options.geometry, progress);
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
        const auto count = std::min<std::size_t>(static_cast<std::size_t>(options.threads), jobs.size());
        for (std::size_t t = 1; t < count; ++t) {
            workers.emplace_back(work);
        }
        work();
    }
    progress.close();
    return failed ? kExitFile : kExitOk;
}

int run_convert(Args &args) {
    return convert(parse_convert(args));
}

} // namespace plateio::cli
