#include "nxmx.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <hdf5.h>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "formats.hpp"
#include "header.hpp"
#include "plateio.h"

#ifndef PLATEIO_VERSION
#define PLATEIO_VERSION "unknown"
#endif

namespace plateio::cli {

namespace {

// An HDF5 identifier that closes itself with the function its kind needs.
class Handle {
  public:
    Handle() = default;
    Handle(hid_t id, herr_t (*closer)(hid_t)) : id_(id), close_(closer) {}
    ~Handle() { reset(); }
    Handle(Handle &&other) noexcept : id_(std::exchange(other.id_, -1)), close_(other.close_) {}
    Handle &operator=(Handle &&other) noexcept {
        reset();
        id_ = std::exchange(other.id_, -1);
        close_ = other.close_;
        return *this;
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    hid_t get() const { return id_; }
    // Closes now, so that a failure to finish the file is seen.
    herr_t close() { return close_ != nullptr && id_ >= 0 ? close_(std::exchange(id_, -1)) : 0; }

  private:
    void reset() {
        if (id_ >= 0 && close_ != nullptr) {
            close_(std::exchange(id_, -1));
        }
    }
    hid_t id_ = -1;
    herr_t (*close_)(hid_t) = nullptr;
};

// The innermost message of the calling thread's HDF5 error stack, which names the system's reason
// of a failed write ("... errno = 28, error message = 'No space left on device' ...").
herr_t keep_message(unsigned, const H5E_error2_t *error, void *data) {
    auto &message = *static_cast<std::string *>(data);
    if (error->desc != nullptr && error->desc[0] != '\0') {
        message = error->desc;
    }
    return 0;
}

class Writer {
  public:
    explicit Writer(std::string target) : target_(std::move(target)) {
        // A file whose writing failed cannot be closed (HDF5 keeps trying to flush it), and HDF5's
        // own clean-up at exit would then crash on it: the system closes what the tool leaves, and
        // the tool removes the temporary file itself. Only the first call, before any other, counts.
        H5dont_atexit();
        // The automatic report prints the stack on standard error; the tool reports in its own words.
        H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    }

    [[noreturn]] void fail(const std::string &what) const {
        std::string message;
        H5Ewalk2(H5E_DEFAULT, H5E_WALK_DOWNWARD, keep_message, &message);
        H5Eclear2(H5E_DEFAULT);
        // A failed system call is said as the system says it ("File too large").
        if (const auto at = message.find("errno = "); at != std::string::npos) {
            const int error = std::atoi(message.c_str() + at + 8);
            if (error > 0) {
                throw FileError(target_, errno_text(error));
            }
        }
        throw FileError(target_, "HDF5 could not " + what + (message.empty() ? "" : ": " + message));
    }
    hid_t made(hid_t id, const std::string &what) const {
        if (id < 0) {
            fail(what);
        }
        return id;
    }
    void check(herr_t status, const std::string &what) const {
        if (status < 0) {
            fail(what);
        }
    }

    Handle group(hid_t parent, const char *name, const char *nx_class) {
        Handle g(made(H5Gcreate2(parent, name, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT),
                      std::string("create the group ") + name),
                 H5Gclose);
        text_attribute(g.get(), "NX_class", nx_class);
        return g;
    }

    Handle string_type() {
        Handle type(made(H5Tcopy(H5T_C_S1), "make a string type"), H5Tclose);
        check(H5Tset_size(type.get(), H5T_VARIABLE), "make a string type");
        check(H5Tset_cset(type.get(), H5T_CSET_UTF8), "make a string type");
        return type;
    }

    void text_attribute(hid_t object, const char *name, const std::string &value) {
        const Handle type = string_type();
        const Handle space(made(H5Screate(H5S_SCALAR), "make a dataspace"), H5Sclose);
        const Handle attribute(
            made(H5Acreate2(object, name, type.get(), space.get(), H5P_DEFAULT, H5P_DEFAULT),
                 std::string("create the attribute ") + name),
            H5Aclose);
        const char *text = value.c_str();
        check(H5Awrite(attribute.get(), type.get(), &text), "write an attribute");
    }

    void vector_attribute(hid_t object, const char *name, std::span<const double> values) {
        const hsize_t dims[1] = {values.size()};
        const Handle space(made(H5Screate_simple(1, dims, nullptr), "make a dataspace"), H5Sclose);
        const Handle attribute(
            made(H5Acreate2(object, name, H5T_IEEE_F64LE, space.get(), H5P_DEFAULT, H5P_DEFAULT),
                 std::string("create the attribute ") + name),
            H5Aclose);
        check(H5Awrite(attribute.get(), H5T_NATIVE_DOUBLE, values.data()), "write an attribute");
    }

    // A dataset of `count` values (a scalar when `scalar`), returned open for its attributes.
    Handle values(hid_t parent, const std::string &name, hid_t file_type, hid_t memory_type, const void *data,
                  std::size_t count, bool scalar) {
        const hsize_t dims[1] = {count};
        const Handle space(
            made(scalar ? H5Screate(H5S_SCALAR) : H5Screate_simple(1, dims, nullptr), "make a dataspace"),
            H5Sclose);
        Handle set(made(H5Dcreate2(parent, name.c_str(), file_type, space.get(), H5P_DEFAULT, H5P_DEFAULT,
                                   H5P_DEFAULT),
                        "create the dataset " + name),
                   H5Dclose);
        if (count > 0) {
            check(H5Dwrite(set.get(), memory_type, H5S_ALL, H5S_ALL, H5P_DEFAULT, data), "write " + name);
        }
        return set;
    }

    Handle real(hid_t parent, const std::string &name, double value, const char *units) {
        Handle set = values(parent, name, H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, &value, 1, true);
        if (units != nullptr) {
            text_attribute(set.get(), "units", units);
        }
        return set;
    }

    void text(hid_t parent, const std::string &name, const std::string &value) {
        const Handle type = string_type();
        const char *data = value.c_str();
        values(parent, name, type.get(), type.get(), &data, 1, true);
    }

    // A transformation: its values, its kind, its unit vector, its offset and the next axis.
    Handle axis(hid_t parent, const std::string &name, std::span<const double> values_, const char *kind,
                std::array<double, 3> vector, std::array<double, 3> offset, const char *units,
                const std::string &depends_on) {
        Handle set =
            values(parent, name, H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, values_.data(), values_.size(), false);
        text_attribute(set.get(), "transformation_type", kind);
        vector_attribute(set.get(), "vector", vector);
        vector_attribute(set.get(), "offset", offset);
        text_attribute(set.get(), "offset_units", "mm");
        text_attribute(set.get(), "units", units);
        text_attribute(set.get(), "depends_on", depends_on);
        return set;
    }

  private:
    std::string target_;
};

using Value = std::variant<std::int64_t, double, std::string>;

} // namespace

struct NxmxFile::State {
    Writer w;
    std::int32_t width;
    std::int32_t height;
    std::size_t frames;
    UserGeometry geometry;
    bool mask_data;
    Handle file;
    Handle data;
    std::size_t added = 0;
    std::vector<std::uint8_t> mask;    // kGap | kOverloaded bits, as bytes until the end
    std::vector<HeaderFields> headers; // a frame's header each: a few hundred bytes a frame
    std::optional<std::int64_t> saturation;

    State(const std::string &target, std::int32_t w_, std::int32_t h_, std::size_t n, const UserGeometry &g,
          bool mask_data_)
        : w(target), width(w_), height(h_), frames(n), geometry(g), mask_data(mask_data_),
          mask(static_cast<std::size_t>(w_) * static_cast<std::size_t>(h_), 0) {}
};

NxmxFile::NxmxFile(const std::string &path, const std::string &target, std::int32_t width,
                   std::int32_t height, std::size_t frames, const UserGeometry &geometry, bool mask_data)
    : state_(std::make_unique<State>(target, width, height, frames, geometry, mask_data)) {
    State &s = *state_;
    Writer &w = s.w;
    s.file =
        Handle(w.made(H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT), "create the file"),
               H5Fclose);
    const Handle root(w.made(H5Gopen2(s.file.get(), "/", H5P_DEFAULT), "open the root group"), H5Gclose);
    w.text_attribute(root.get(), "NX_class", "NXroot");
    w.text_attribute(root.get(), "default", "entry");
    w.text_attribute(root.get(), "creator", "plateio " PLATEIO_VERSION);
    const Handle entry = w.group(s.file.get(), "entry", "NXentry");
    w.text_attribute(entry.get(), "default", "data");
    w.text(entry.get(), "definition", "NXmx");
    const Handle data = w.group(entry.get(), "data", "NXdata");
    w.text_attribute(data.get(), "signal", "data");

    const hsize_t dims[3] = {frames, static_cast<hsize_t>(height), static_cast<hsize_t>(width)};
    const Handle space(w.made(H5Screate_simple(3, dims, nullptr), "make a dataspace"), H5Sclose);
    const Handle properties(w.made(H5Pcreate(H5P_DATASET_CREATE), "make dataset properties"), H5Pclose);
    // One chunk a frame, as readers of a series expect; an empty image has nothing to chunk.
    if (frames > 0 && width > 0 && height > 0) {
        const hsize_t chunk[3] = {1, dims[1], dims[2]};
        w.check(H5Pset_chunk(properties.get(), 3, chunk), "set the chunks");
        w.check(H5Pset_shuffle(properties.get()), "set the shuffle filter");
        w.check(H5Pset_deflate(properties.get(), 4), "set the deflate filter");
    }
    s.data = Handle(w.made(H5Dcreate2(data.get(), "data", mask_data ? H5T_STD_U32LE : H5T_STD_I32LE,
                                      space.get(), H5P_DEFAULT, properties.get(), H5P_DEFAULT),
                           "create the dataset data"),
                    H5Dclose);
}

NxmxFile::~NxmxFile() = default;

void NxmxFile::add_frame(std::span<const std::int32_t> pixels, std::span<const std::uint8_t> mask,
                         const HeaderFields &header) {
    State &s = *state_;
    Writer &w = s.w;
    for (std::size_t i = 0; i < s.mask.size(); ++i) {
        s.mask[i] |= mask[i];
    }
    if (!s.mask.empty()) {
        const hsize_t start[3] = {s.added, 0, 0};
        const hsize_t count[3] = {1, static_cast<hsize_t>(s.height), static_cast<hsize_t>(s.width)};
        const Handle file_space(w.made(H5Dget_space(s.data.get()), "select a frame"), H5Sclose);
        w.check(H5Sselect_hyperslab(file_space.get(), H5S_SELECT_SET, start, nullptr, count, nullptr),
                "select a frame");
        const Handle memory_space(w.made(H5Screate_simple(3, count, nullptr), "select a frame"), H5Sclose);
        w.check(H5Dwrite(s.data.get(), s.mask_data ? H5T_NATIVE_UINT8 : H5T_NATIVE_INT32, memory_space.get(),
                         file_space.get(), H5P_DEFAULT,
                         s.mask_data ? static_cast<const void *>(mask.data()) : pixels.data()),
                "write frame " + std::to_string(s.added + 1));
    }
    if (const auto v = header_integer(header, "saturation_value")) {
        s.saturation = std::max(s.saturation.value_or(*v), *v);
    }
    s.headers.push_back(header);
    ++s.added;
}

namespace {

// The header keys of every frame, in the order they first appear, as one dataset each: a scalar for
// one frame, a value a frame in a series. A key some frames lack (a series mixing families, or a
// value NaN in one file) is written as reals with NaN, or texts with "", where it is absent.
void write_headers(Writer &w, hid_t parent, const std::vector<HeaderFields> &headers) {
    std::vector<std::string> keys;
    for (const HeaderFields &h : headers) {
        for (const HeaderField &f : h) {
            if (std::find(keys.begin(), keys.end(), f.key) == keys.end()) {
                keys.push_back(f.key);
            }
        }
    }
    const bool scalar = headers.size() == 1;
    for (const std::string &key : keys) {
        std::vector<const Value *> column;
        bool everywhere = true;
        bool integers = true;
        bool texts = false;
        for (const HeaderFields &h : headers) {
            const auto f =
                std::find_if(h.begin(), h.end(), [&](const HeaderField &x) { return x.key == key; });
            column.push_back(f == h.end() ? nullptr : &f->value);
            everywhere = everywhere && f != h.end();
            if (f != h.end()) {
                integers = integers && std::holds_alternative<std::int64_t>(f->value);
                texts = texts || std::holds_alternative<std::string>(f->value);
            }
        }
        if (texts) {
            std::vector<const char *> data;
            for (const Value *v : column) {
                data.push_back(v != nullptr && std::holds_alternative<std::string>(*v)
                                   ? std::get<std::string>(*v).c_str()
                                   : "");
            }
            const Handle type = w.string_type();
            w.values(parent, key, type.get(), type.get(), data.data(), data.size(), scalar);
        } else if (integers && everywhere) {
            std::vector<std::int64_t> data;
            for (const Value *v : column) {
                data.push_back(std::get<std::int64_t>(*v));
            }
            w.values(parent, key, H5T_STD_I64LE, H5T_NATIVE_INT64, data.data(), data.size(), scalar);
        } else {
            std::vector<double> data;
            for (const Value *v : column) {
                data.push_back(v == nullptr ? std::nan("")
                               : std::holds_alternative<double>(*v)
                                   ? std::get<double>(*v)
                                   : static_cast<double>(std::get<std::int64_t>(*v)));
            }
            w.values(parent, key, H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, data.data(), data.size(), scalar);
        }
    }
}

} // namespace

void NxmxFile::finish() {
    State &s = *state_;
    Writer &w = s.w;
    const UserGeometry &g = s.geometry;
    const Handle entry(w.made(H5Gopen2(s.file.get(), "/entry", H5P_DEFAULT), "open /entry"), H5Gclose);
    const Handle instrument = w.group(entry.get(), "instrument", "NXinstrument");
    if (g.wavelength) {
        const Handle beam = w.group(instrument.get(), "beam", "NXbeam");
        w.real(beam.get(), "incident_wavelength", *g.wavelength, "angstrom");
    }
    {
        const Handle detector = w.group(instrument.get(), "detector", "NXdetector");
        w.check(H5Lcreate_hard(s.file.get(), "/entry/data/data", detector.get(), "data", H5P_DEFAULT,
                               H5P_DEFAULT),
                "link the detector's data");
        {
            const hsize_t dims[2] = {static_cast<hsize_t>(s.height), static_cast<hsize_t>(s.width)};
            const Handle space(w.made(H5Screate_simple(2, dims, nullptr), "make a dataspace"), H5Sclose);
            const Handle properties(w.made(H5Pcreate(H5P_DATASET_CREATE), "make dataset properties"),
                                    H5Pclose);
            if (!s.mask.empty()) {
                w.check(H5Pset_chunk(properties.get(), 2, dims), "set the chunks");
                w.check(H5Pset_deflate(properties.get(), 4), "set the deflate filter");
            }
            const Handle set(w.made(H5Dcreate2(detector.get(), "pixel_mask", H5T_STD_U32LE, space.get(),
                                               H5P_DEFAULT, properties.get(), H5P_DEFAULT),
                                    "create pixel_mask"),
                             H5Dclose);
            if (!s.mask.empty()) {
                // HDF5 widens the bytes to the file's 32 bits as it writes.
                w.check(H5Dwrite(set.get(), H5T_NATIVE_UINT8, H5S_ALL, H5S_ALL, H5P_DEFAULT, s.mask.data()),
                        "write pixel_mask");
            }
            w.text_attribute(
                set.get(), "description",
                "0: a trusted pixel; bit 0 (1): no value recorded, off the round plate; bit 3 (8): "
                "overflowed in a frame of this file, where it holds " +
                    std::to_string(PIXEL_OVERFLOW));
        }
        if (s.saturation) {
            w.values(detector.get(), "saturation_value", H5T_STD_I64LE, H5T_NATIVE_INT64, &*s.saturation, 1,
                     true);
        }
        if (g.distance) {
            w.real(detector.get(), "distance", *g.distance, "mm");
        }
        if (g.pixel_x) {
            w.real(detector.get(), "x_pixel_size", *g.pixel_x, "mm");
            w.real(detector.get(), "y_pixel_size", *g.pixel_y, "mm");
        }
        if (g.beam_x) {
            w.real(detector.get(), "beam_center_x", *g.beam_x, "pixel");
            w.real(detector.get(), "beam_center_y", *g.beam_y, "pixel");
        }
        if (g.distance && g.pixel_x && g.beam_x) {
            const std::string base = "/entry/instrument/detector";
            w.text(detector.get(), "depends_on", base + "/transformations/translation");
            // A plate's phosphor is none of the sensor materials DIALS models parallax for, and it has
            // no parallax worth modelling: a nominal silicon layer of a micrometre keeps DIALS's
            // correction below a hundredth of a pixel. Said so in the file, not claimed silently.
            w.text(detector.get(), "sensor_material", "Si");
            const Handle thickness = w.real(detector.get(), "sensor_thickness", 0.001, "mm");
            w.text_attribute(thickness.get(), "description",
                             "nominal: an image plate, not a silicon sensor; the material and thickness only "
                             "make parallax corrections vanish");
            const Handle transformations = w.group(detector.get(), "transformations", "NXtransformations");
            const double distance[1] = {*g.distance};
            w.axis(transformations.get(), "translation", distance, "translation", {0, 0, 1}, {0, 0, 0}, "mm",
                   ".");
            const Handle module = w.group(detector.get(), "module", "NXdetector_module");
            const std::array<std::int32_t, 2> origin{0, 0};
            const std::array<std::int32_t, 2> size{s.height, s.width};
            w.values(module.get(), "data_origin", H5T_STD_I32LE, H5T_NATIVE_INT32, origin.data(), 2, false);
            w.values(module.get(), "data_size", H5T_STD_I32LE, H5T_NATIVE_INT32, size.data(), 2, false);
            const double zero[1] = {0.0};
            const std::string offset = base + "/module/module_offset";
            w.axis(module.get(), "module_offset", zero, "translation", {1, 0, 0},
                   {*g.beam_x * *g.pixel_x, *g.beam_y * *g.pixel_y, 0}, "mm",
                   base + "/transformations/translation");
            const double fast[1] = {*g.pixel_x};
            const double slow[1] = {*g.pixel_y};
            w.axis(module.get(), "fast_pixel_direction", fast, "translation", {-1, 0, 0}, {0, 0, 0}, "mm",
                   offset);
            w.axis(module.get(), "slow_pixel_direction", slow, "translation", {0, -1, 0}, {0, 0, 0}, "mm",
                   offset);
        }
        const Handle header = w.group(detector.get(), "header", "NXcollection");
        write_headers(w, header.get(), s.headers);
    }
    {
        const Handle sample = w.group(entry.get(), "sample", "NXsample");
        if (g.wavelength) {
            w.check(H5Lcreate_hard(s.file.get(), "/entry/instrument/beam", sample.get(), "beam", H5P_DEFAULT,
                                   H5P_DEFAULT),
                    "link the sample's beam");
        }
        if (g.start) {
            w.text(sample.get(), "depends_on", "/entry/sample/transformations/omega");
            const Handle transformations = w.group(sample.get(), "transformations", "NXtransformations");
            std::vector<double> angles(s.frames);
            std::vector<double> increments(s.frames, *g.increment);
            std::vector<double> ends(s.frames);
            for (std::size_t k = 0; k < s.frames; ++k) {
                angles[k] = g.angle(k);
                ends[k] = g.angle(k + 1);
            }
            // About -x in NeXus's frame, which is +x in the frame DIALS works in.
            w.axis(transformations.get(), "omega", angles, "rotation", {-1, 0, 0}, {0, 0, 0}, "deg", ".");
            w.values(transformations.get(), "omega_increment_set", H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE,
                     increments.data(), increments.size(), false);
            w.values(transformations.get(), "omega_end", H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, ends.data(),
                     ends.size(), false);
        } else {
            w.text(sample.get(), "depends_on", ".");
        }
    }
    s.data.close();
    w.check(H5Fflush(s.file.get(), H5F_SCOPE_GLOBAL), "finish the file");
    w.check(s.file.close(), "finish the file");
}

} // namespace plateio::cli

namespace plateio::cli {

void write_nexus(PendingOutput &output, const Image &image) {
    // HDF5 writes the temporary file by name; the output renames it into place once complete.
    output.close();
    NxmxFile file(output.temporary(), output.target(), image.width(), image.height(), 1,
                  image.geometry != nullptr ? *image.geometry : UserGeometry{}, image.mask);
    file.add_frame(image.exposure.view(), image.exposure.mask, image.header);
    file.finish();
}

} // namespace plateio::cli
