// A FILE handle that closes itself, so that no path out of a reader leaks a descriptor.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

namespace plateio {

struct FileCloser {
    void operator()(std::FILE *file) const noexcept { std::fclose(file); }
};

using File = std::unique_ptr<std::FILE, FileCloser>;

// Opens `path` with the C library's fopen; an empty handle when it cannot be opened.
inline File open_file(const char *path, const char *mode) noexcept {
    return File(path != nullptr ? std::fopen(path, mode) : nullptr);
}

// Reads exactly `size` bytes; false when the file ends or fails first.
inline bool read_exact(std::FILE *file, void *into, std::size_t size) noexcept {
    return std::fread(into, 1, size, file) == size;
}

// The size in bytes of a regular file, or -1 when the handle is not a regular file (a pipe or a
// device, whose length is not known in advance).
std::int64_t regular_file_size(std::FILE *file) noexcept;

} // namespace plateio
