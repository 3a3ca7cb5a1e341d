#include "formats.hpp"

#include <algorithm>

namespace plateio::cli {

namespace {

constexpr Format kFormats[] = {
    {"tiff", "TIFF", {".tif", ".tiff", nullptr, nullptr}, write_tiff},
    {"npy", "NumPy", {".npy", nullptr, nullptr, nullptr}, write_npy},
    {"cbf", "CBF", {".cbf", nullptr, nullptr, nullptr}, write_cbf_image},
#ifdef PLATEIO_HAVE_HDF5
    {"h5", "HDF5", {".h5", ".hdf5", ".hdf", ".nxs"}, write_nexus},
#else
    {"h5", "HDF5", {".h5", ".hdf5", ".hdf", ".nxs"}, nullptr},
#endif
};

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
    return out;
}

} // namespace

std::span<const Format> output_formats() {
    return kFormats;
}

const Format *format_named(std::string_view word) {
    const std::string w = lower(word);
    for (const Format &format : kFormats) {
        if (w == format.name) {
            return &format;
        }
        for (const char *extension : format.extensions) {
            if (extension != nullptr && w == extension + 1) {
                return &format;
            }
        }
    }
    return nullptr;
}

const Format *format_of_path(const std::string &path) {
    const std::size_t dot = path.rfind('.');
    const std::size_t slash = path.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        return nullptr;
    }
    const std::string extension = lower(std::string_view(path).substr(dot));
    for (const Format &format : kFormats) {
        for (const char *known : format.extensions) {
            if (known != nullptr && extension == known) {
                return &format;
            }
        }
    }
    return nullptr;
}

} // namespace plateio::cli
