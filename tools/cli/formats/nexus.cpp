// NeXus files (HDF5) of an image, as h5py, silx, pyFAI and crystallography programs read them:
//
//   /                                  NX_class NXroot, default "entry"
//   /entry                             NXentry, default "data"
//   /entry/data                        NXdata, signal "data"
//   /entry/data/data                   the image (int32, or the mask as uint32), height x width,
//                                      chunked by rows, shuffled and deflate-compressed
//   /entry/instrument                  NXinstrument
//   /entry/instrument/detector         NXdetector
//     pixel_mask                       uint32, height x width, NeXus's bit field: 0 a pixel with a
//                                      measurement, bit 0 (1) off the plate (no sensor there),
//                                      bit 3 (8) overflowed (holds PIXEL_OVERFLOW); compressed alike
//     saturation_value                 the header's: the lowest raw count that is saturated
//     data                             a link to /entry/data/data
//     header                           NXcollection: every header key as a scalar dataset (int64,
//                                      float64 or a UTF-8 string)
//
// Only deflate and shuffle are used, the filters every HDF5 build has.
#include <algorithm>
#include <hdf5.h>
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
    Handle(hid_t id, herr_t (*closer)(hid_t)) : id_(id), close_(closer) {}
    ~Handle() {
        if (id_ >= 0) {
            close_(id_);
        }
    }
    Handle(Handle &&other) noexcept : id_(std::exchange(other.id_, -1)), close_(other.close_) {}
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    hid_t get() const { return id_; }
    // Closes now, so that a failure to finish the file is seen.
    herr_t close() {
        const hid_t id = id_;
        id_ = -1;
        return close_(id);
    }

  private:
    hid_t id_;
    herr_t (*close_)(hid_t);
};

// The innermost message of the calling thread's HDF5 error stack, which names the system's reason
// of a failed write ("... errno = 27, error message = 'File too large' ...").
herr_t keep_message(unsigned, const H5E_error2_t *error, void *data) {
    auto &message = *static_cast<std::string *>(data);
    if (error->desc != nullptr && error->desc[0] != '\0') {
        message = error->desc;
    }
    return 0;
}

class Writer {
  public:
    explicit Writer(const std::string &target) : target_(target) {
        // The automatic report prints the stack on standard error; the tool reports in its own words.
        H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    }

    [[noreturn]] void fail(const std::string &what) const {
        std::string message;
        H5Ewalk2(H5E_DEFAULT, H5E_WALK_DOWNWARD, keep_message, &message);
        H5Eclear2(H5E_DEFAULT);
        throw FileError(target_, "HDF5 could not " + what + (message.empty() ? "" : ": " + message));
    }

    hid_t made(hid_t id, const std::string &what) const {
        if (id < 0) {
            fail(what);
        }
        return id;
    }
    void check(herr_t status, const char *what) const {
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

    // A scalar dataset: the file type, and the value in memory with its memory type.
    void scalar(hid_t parent, const std::string &name, hid_t file_type, hid_t memory_type,
                const void *value) {
        const Handle space(made(H5Screate(H5S_SCALAR), "make a dataspace"), H5Sclose);
        const Handle set(made(H5Dcreate2(parent, name.c_str(), file_type, space.get(), H5P_DEFAULT,
                                         H5P_DEFAULT, H5P_DEFAULT),
                              "create the dataset " + name),
                         H5Dclose);
        check(H5Dwrite(set.get(), memory_type, H5S_ALL, H5S_ALL, H5P_DEFAULT, value), "write a dataset");
    }

    void field(hid_t parent, const HeaderField &f) {
        if (const auto *integer = std::get_if<std::int64_t>(&f.value)) {
            scalar(parent, f.key, H5T_STD_I64LE, H5T_NATIVE_INT64, integer);
        } else if (const auto *real = std::get_if<double>(&f.value)) {
            scalar(parent, f.key, H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, real);
        } else {
            const Handle type = string_type();
            // UTF-8 text: a name's invalid bytes are escaped.
            const std::string value = header_word(f, Escape::utf8);
            const char *text = value.c_str();
            scalar(parent, f.key, type.get(), type.get(), &text);
        }
    }

    // A height x width image, chunked by rows (about 1 MiB a chunk), shuffled and deflated.
    void image(hid_t parent, const char *name, hid_t file_type, hid_t memory_type, const void *data,
               std::int32_t width, std::int32_t height, std::size_t sample_bytes) {
        const hsize_t dims[2] = {static_cast<hsize_t>(height), static_cast<hsize_t>(width)};
        const Handle space(made(H5Screate_simple(2, dims, nullptr), "make a dataspace"), H5Sclose);
        const Handle properties(made(H5Pcreate(H5P_DATASET_CREATE), "make dataset properties"), H5Pclose);
        const hsize_t row_bytes = std::max<hsize_t>(1, dims[1] * sample_bytes);
        const hsize_t chunk[2] = {
            std::clamp<hsize_t>((1u << 20) / row_bytes, 1, std::max<hsize_t>(1, dims[0])),
            std::max<hsize_t>(1, dims[1])};
        check(H5Pset_chunk(properties.get(), 2, chunk), "set the chunks");
        check(H5Pset_shuffle(properties.get()), "set the shuffle filter");
        check(H5Pset_deflate(properties.get(), 4), "set the deflate filter");
        const Handle set(
            made(H5Dcreate2(parent, name, file_type, space.get(), H5P_DEFAULT, properties.get(), H5P_DEFAULT),
                 std::string("create the dataset ") + name),
            H5Dclose);
        if (dims[0] > 0 && dims[1] > 0) {
            check(H5Dwrite(set.get(), memory_type, H5S_ALL, H5S_ALL, H5P_DEFAULT, data), "write the image");
        }
    }

  private:
    std::string target_;
};

} // namespace

void write_nexus(PendingOutput &output, const Image &image) {
    const std::string &target = output.target();
    Writer w(target);
    // The file is made in memory (the core driver, no backing store) and handed over as bytes:
    // HDF5 never writes to the file system, so a write that fails is the tool's own, reported and
    // cleaned up like any other, and the library keeps no half-written file open.
    const Handle access(w.made(H5Pcreate(H5P_FILE_ACCESS), "make file properties"), H5Pclose);
    w.check(H5Pset_fapl_core(access.get(), std::size_t{1} << 22, 0), "keep the file in memory");
    Handle file(
        w.made(H5Fcreate(target.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, access.get()), "create the file"),
        H5Fclose);
    const Handle root(w.made(H5Gopen2(file.get(), "/", H5P_DEFAULT), "open the root group"), H5Gclose);
    w.text_attribute(root.get(), "NX_class", "NXroot");
    w.text_attribute(root.get(), "default", "entry");
    w.text_attribute(root.get(), "creator", "plateio " PLATEIO_VERSION);
    const std::int32_t width = image.width();
    const std::int32_t height = image.height();
    // The mask's bytes are stored as uint32, HDF5 widening them as it writes.
    const std::uint8_t *mask = image.exposure.mask.data();
    {
        const Handle entry = w.group(file.get(), "entry", "NXentry");
        w.text_attribute(entry.get(), "default", "data");
        {
            const Handle data = w.group(entry.get(), "data", "NXdata");
            w.text_attribute(data.get(), "signal", "data");
            if (image.mask) {
                w.image(data.get(), "data", H5T_STD_U32LE, H5T_NATIVE_UINT8, mask, width, height, 4);
            } else {
                w.image(data.get(), "data", H5T_STD_I32LE, H5T_NATIVE_INT32, image.exposure.pixels.get(),
                        width, height, 4);
            }
        }
        const Handle instrument = w.group(entry.get(), "instrument", "NXinstrument");
        const Handle detector = w.group(instrument.get(), "detector", "NXdetector");
        w.image(detector.get(), "pixel_mask", H5T_STD_U32LE, H5T_NATIVE_UINT8, mask, width, height, 4);
        w.check(
            H5Lcreate_hard(file.get(), "/entry/data/data", detector.get(), "data", H5P_DEFAULT, H5P_DEFAULT),
            "link the detector's data");
        if (const auto saturation = header_integer(image.header, "saturation_value")) {
            w.scalar(detector.get(), "saturation_value", H5T_STD_I64LE, H5T_NATIVE_INT64, &*saturation);
        }
        const Handle mask_set(w.made(H5Dopen2(detector.get(), "pixel_mask", H5P_DEFAULT), "open pixel_mask"),
                              H5Dclose);
        w.text_attribute(mask_set.get(), "description",
                         "0: a measured pixel; bit 0 (1): no value recorded, off the plate; bit 3 (8): "
                         "overflowed, the pixel holds the mark " +
                             std::to_string(PIXEL_OVERFLOW));
        const Handle header = w.group(detector.get(), "header", "NXcollection");
        for (const HeaderField &f : image.header) {
            w.field(header.get(), f);
        }
    }
    w.check(H5Fflush(file.get(), H5F_SCOPE_GLOBAL), "finish the file");
    const ssize_t size = H5Fget_file_image(file.get(), nullptr, 0);
    if (size < 0) {
        w.fail("finish the file");
    }
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    if (H5Fget_file_image(file.get(), bytes.data(), bytes.size()) != size) {
        w.fail("finish the file");
    }
    w.check(file.close(), "finish the file");
    output.write(bytes);
}

} // namespace plateio::cli
