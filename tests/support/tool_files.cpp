#include "support/tool_files.hpp"

#include <cstdlib>
#include <stdexcept>

#include "plateio.h"
#include "support/image_files.hpp"

namespace plateio::test {

RunResult plateio(const std::vector<std::string> &arguments, const RunOptions &options) {
    return run_program(PLATEIO_TOOL, arguments, options);
}

LoadedImage library_pixels(const std::string &path, bool xarea) {
    LoadedImage image;
    std::int32_t *pixels = nullptr;
    if (xarea) {
        pixel_image record{};
        reduction_params params{};
        params.geometry2 = PLATEIO_UNSET;
        if (read_xi(path.c_str(), &record, &params) != 1) {
            throw std::runtime_error("read_xi refused " + path);
        }
        pixels = record.pixels;
        image.width = record.width;
        image.height = record.height;
    } else if (read_tra(path.c_str(), &pixels, &image.width, &image.height) != 1) {
        throw std::runtime_error("read_tra refused " + path);
    }
    const std::unique_ptr<std::int32_t, decltype(&std::free)> owned(pixels, &std::free);
    image.pixels.assign(pixels, pixels + static_cast<std::size_t>(image.width) *
                                             static_cast<std::size_t>(image.height));
    return image;
}

std::vector<std::uint8_t> library_mask(const std::string &path) {
    plateio_frame frame{};
    plateio_read_mask(path.c_str(), nullptr, 0, &frame);
    std::vector<std::uint8_t> mask(static_cast<std::size_t>(frame.width) *
                                   static_cast<std::size_t>(frame.height));
    if (plateio_read_mask(path.c_str(), mask.data(), mask.size(), &frame) != PLATEIO_OK) {
        throw std::runtime_error("plateio_read_mask refused " + path);
    }
    return mask;
}

OutsideReading read_outside(const std::string &mode, const std::string &path, const std::string &scratch) {
    OutsideReading reading;
    const std::string pixels = scratch + "/outside-" + mode + ".npy";
    const RunResult r = run_program(PLATEIO_PYTHON, {PLATEIO_OUTSIDE_READERS, mode, path, pixels});
    reading.status = r.status;
    reading.skipped = r.status == 77;
    reading.out = r.out + r.err;
    if (r.status == 0) {
        reading.pixels = read_npy(pixels).values;
        if (mode == "h5py") {
            reading.extra = read_npy(pixels.substr(0, pixels.size() - 4) + ".pixel_mask.npy").values;
        }
    }
    return reading;
}

bool has_line(const std::string &lines, const std::string &line) {
    return ("\n" + lines).find("\n" + line + "\n") != std::string::npos;
}

RunResult check_json(const std::string &json) {
    RunOptions options;
    options.input = json;
    return run_program(PLATEIO_PYTHON, {PLATEIO_OUTSIDE_READERS, "json"}, options);
}

namespace {

std::unique_ptr<ToolFiles> make_tool_files() {
    auto files = std::make_unique<ToolFiles>();
    files->tra = files->dir.file("powder.tra");
    files->xarea = files->dir.file("plain.xa");
    files->xarea_coded = files->dir.file("coded.xa");
    const std::vector<std::vector<std::string>> commands = {
        {"synth", "--format", "tra", "--seed", "3", "--geometry", "0=80", "--geometry", "3=0.7107",
         "--geometry", "4=250", "-o", files->tra},
        {"synth", "--format", "xarea", "--size", "640x480", "--seed", "4", "-o", files->xarea},
        {"synth", "--format", "xarea", "--compressed", "--size", "320x200", "--seed", "5", "--setting", "7",
         "--overflow-threshold", "500000", "-o", files->xarea_coded},
    };
    for (const auto &command : commands) {
        const RunResult result = plateio(command);
        if (result.status != 0) {
            throw std::runtime_error("plateio synth failed: " + result.err);
        }
    }
    return files;
}

} // namespace

const ToolFiles &tool_files() {
    static const std::unique_ptr<ToolFiles> files = make_tool_files();
    return *files;
}

} // namespace plateio::test
