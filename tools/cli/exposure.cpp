#include "exposure.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "decompress.hpp"
#include "errors.hpp"
#include "files.hpp"

namespace plateio::cli {

namespace {

// A TRA image is always 1200 x 1200; an X-Area pixel takes at least a byte of its file (a code of a
// difference-coded block, four bytes of a plain one). So max(1200 * 1200, file size) pixels always
// hold the image, and the whole frame comes from one read. The memory is not touched beyond the
// image. Beyond a bound the size is asked first instead.
constexpr std::uint64_t kTraPixels = 1200 * 1200;
constexpr std::uint64_t kGuessBound = std::uint64_t{1} << 27;

std::string reason_of(const plateio_frame &frame, std::int32_t code) {
    return frame.reason[0] != '\0' ? std::string(frame.reason) : std::string(plateio_strerror(code));
}

std::int32_t *allocate(std::size_t count) {
    return static_cast<std::int32_t *>(std::malloc(std::max<std::size_t>(count, 1) * sizeof(std::int32_t)));
}

} // namespace

namespace {

// The whole of a plain file, when it fits the ceiling of what is read into memory.
std::vector<std::uint8_t> read_all(const InputFile &input, const std::string &path) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(input.size()));
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            ::pread(input.fd(), bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            throw FileError(path, errno_text(errno), PLATEIO_E_OPEN);
        }
        if (n == 0) {
            break; // shortened meanwhile: the library judges what there is
        }
        done += static_cast<std::size_t>(n);
    }
    bytes.resize(done);
    return bytes;
}

// The most bytes an exposure can take once its first bytes are known: at most 5 bytes a pixel (a
// difference-coded pixel with its widest escape) and 16 MiB for the rest of its container. Content
// without the X-Area magic can only be a TRA file, 1200 x 1200 pixels at most.
std::uint64_t implied_limit(const std::vector<std::uint8_t> &prefix) {
    plateio_frame frame{};
    plateio_read_memory(prefix.data(), prefix.size(), nullptr, 0, &frame, 0);
    const auto bound = [](std::uint64_t pixels) { return 5 * pixels + (std::uint64_t{16} << 20); };
    if (frame.family != PLATEIO_FAMILY_XAREA) {
        return bound(kTraPixels);
    }
    if (frame.width <= 0 || frame.height <= 0) {
        return UINT64_MAX;
    }
    return bound(static_cast<std::uint64_t>(frame.width) * static_cast<std::uint64_t>(frame.height));
}

// Where the library reads an input from: the content in memory, or the open descriptor by name.
struct Content {
    std::vector<std::uint8_t> bytes;
    std::string name; // when not in memory
    bool in_memory = true;

    std::int32_t read(std::int32_t *pixels, std::size_t capacity, plateio_frame *frame) const {
        return in_memory ? plateio_read_memory(bytes.data(), bytes.size(), pixels, capacity, frame, 0)
                         : plateio_read(name.c_str(), pixels, capacity, frame, 0);
    }
    std::int32_t read_mask(std::uint8_t *mask, std::size_t capacity, plateio_frame *frame) const {
        return in_memory ? plateio_read_mask_memory(bytes.data(), bytes.size(), mask, capacity, frame)
                         : plateio_read_mask(name.c_str(), mask, capacity, frame);
    }
};

Compression compression_of_input(const InputFile &input) {
    std::uint8_t magic[6] = {};
    const ssize_t n = ::pread(input.fd(), magic, sizeof magic, 0);
    return compression_of(magic, n > 0 ? static_cast<std::size_t>(n) : 0);
}

Content content_of(const InputFile &input, const std::string &path) {
    const Compression compression = compression_of_input(input);
    const std::uint64_t ceiling = decompress_ceiling();
    Content content;
    if (compression != Compression::none) {
        content.bytes = decompress(input.fd(), compression, path, ceiling, implied_limit);
    } else if (input.size() <= ceiling) {
        content.bytes = read_all(input, path);
    } else {
        // The library reads the descriptor already opened and checked, never what the name leads to now.
        content.in_memory = false;
        content.name = input.descriptor_path();
    }
    return content;
}

} // namespace

plateio_frame probe_exposure(const std::string &path) {
    const InputFile input = open_input(path);
    plateio_frame frame{};
    std::int32_t code = 0;
    if (compression_of_input(input) == Compression::none) {
        // The library tells the size from the file's first 64 KiB, through the descriptor already
        // opened and checked; the pixels are read once, later.
        code = plateio_probe(input.descriptor_path().c_str(), &frame);
    } else {
        code = content_of(input, path).read(nullptr, 0, &frame);
    }
    if (code != PLATEIO_OK && code != PLATEIO_E_CAPACITY) {
        throw FileError(path, reason_of(frame, code), code);
    }
    return frame;
}

Exposure load_exposure(const std::string &path) {
    const InputFile input = open_input(path);
    Content content = content_of(input, path);
    Exposure exposure;
    exposure.source = path;
    const auto fail = [&](const plateio_frame &frame, std::int32_t code) {
        throw FileError(path, reason_of(frame, code), code);
    };
    const auto reserve = [&](std::size_t count) {
        exposure.pixels.reset(allocate(count));
        if (!exposure.pixels) {
            throw FileError(path, plateio_strerror(PLATEIO_E_NO_MEMORY), PLATEIO_E_NO_MEMORY);
        }
        return count;
    };
    std::size_t capacity = 0;
    const std::uint64_t length = content.in_memory ? content.bytes.size() : input.size();
    if (const std::uint64_t guess = std::max(kTraPixels, length); guess <= kGuessBound) {
        capacity = reserve(static_cast<std::size_t>(guess));
    }
    std::int32_t code = content.read(exposure.pixels.get(), capacity, &exposure.frame);
    if (code == PLATEIO_E_CAPACITY) {
        capacity = reserve(exposure.size());
        code = content.read(exposure.pixels.get(), capacity, &exposure.frame);
    }
    if (code != PLATEIO_OK) {
        fail(exposure.frame, code);
    }
    // The record names the file as the user did.
    std::memset(exposure.frame.info.path, 0, sizeof exposure.frame.info.path);
    std::memcpy(exposure.frame.info.path, path.data(),
                std::min(path.size(), sizeof exposure.frame.info.path - 1));
    if ((exposure.frame.warnings & PLATEIO_WARN_COUNTS) != 0) {
        exposure.warnings.push_back(reason_of(exposure.frame, code));
    }
    exposure.mask.resize(exposure.size());
    plateio_frame frame{};
    code = content.read_mask(exposure.mask.data(), exposure.mask.size(), &frame);
    if (code != PLATEIO_OK) {
        fail(frame, code);
    }
    content = Content{}; // the file's bytes are done with
    const std::int32_t *pixels = exposure.pixels.get();
    for (std::size_t i = 0; i < exposure.mask.size(); ++i) {
        const bool off = exposure.mask[i] != 0;
        const bool over = !off && pixels[i] == PIXEL_OVERFLOW;
        exposure.mask[i] = off ? kMaskOffPlate : over ? kMaskOverflowed : 0;
        exposure.off_plate += off ? 1 : 0;
        exposure.overflowed += over ? 1 : 0;
    }
    return exposure;
}

} // namespace plateio::cli
