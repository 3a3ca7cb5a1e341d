#include "detect.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "errors.hpp"

namespace plateio::cli {

namespace {

constexpr std::string_view kXareaMagic{"STOE_XFILE\0", 11};
constexpr std::size_t kTraHeaderBytes = 336;
constexpr std::size_t kTraRowTableEntries = 600;
constexpr std::uint64_t kTraBlock = 512;

class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

} // namespace

const char *format_name(Format format) {
    return format == Format::tra ? "TRA" : "X-Area";
}

Detection classify(std::span<const std::uint8_t> head, std::uint64_t size) {
    if (head.size() >= kXareaMagic.size() &&
        std::equal(kXareaMagic.begin(), kXareaMagic.end(), head.begin(),
                   [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; })) {
        return {Format::xarea, {}};
    }
    const std::string neither = "not a TRA or X-Area exposure: no X-Area magic, and ";
    if (size < kDetectBytes || head.size() < kDetectBytes) {
        return {std::nullopt, neither + "at " + std::to_string(size) +
                                  " bytes too short for a TRA header and row table (" +
                                  std::to_string(kDetectBytes) + " bytes)"};
    }
    std::uint64_t half_widths = 0;
    for (std::size_t i = 0; i < kTraRowTableEntries; ++i) {
        const std::size_t at = kTraHeaderBytes + 2 * i;
        const unsigned half = (head[at] | (unsigned{head[at + 1]} << 8)) >> 1;
        if (half > 600) {
            return {std::nullopt, neither + "TRA row " + std::to_string(i) + " would be " +
                                      std::to_string(2 * half) + " pixels wide, more than the grid's 1200"};
        }
        half_widths += half;
    }
    const std::uint64_t expected = kDetectBytes + 8 * half_widths;
    if (size < expected || size - expected >= kTraBlock) {
        return {std::nullopt, neither + "its TRA row table calls for " + std::to_string(expected) +
                                  " bytes, but it has " + std::to_string(size)};
    }
    return {Format::tra, {}};
}

Format detect_format(const std::string &path) {
    const Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) {
        throw FileError(path, errno_text(errno));
    }
    struct stat status {};
    if (::fstat(file.get(), &status) != 0) {
        throw FileError(path, errno_text(errno));
    }
    if (S_ISDIR(status.st_mode)) {
        throw FileError(path, errno_text(EISDIR));
    }
    if (!S_ISREG(status.st_mode)) {
        throw FileError(path, "not a regular file");
    }
    std::vector<std::uint8_t> head(kDetectBytes);
    std::size_t filled = 0;
    while (filled < head.size()) {
        const ssize_t n = ::read(file.get(), head.data() + filled, head.size() - filled);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            throw FileError(path, errno_text(errno));
        }
        if (n == 0) {
            break;
        }
        filled += static_cast<std::size_t>(n);
    }
    head.resize(filled);
    Detection detection = classify(head, static_cast<std::uint64_t>(status.st_size));
    if (!detection.format) {
        throw FileError(path, detection.reason);
    }
    return *detection.format;
}

} // namespace plateio::cli
