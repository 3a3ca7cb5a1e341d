#include "host/image_info.hpp"

#include <cstring>

namespace plateio::host {

bool path_fits(const char *path) noexcept {
    return path != nullptr && ::strnlen(path, PLATEIO_PATH_CAPACITY) < PLATEIO_PATH_CAPACITY;
}

void store_path(image_info &info, const char *path) noexcept {
    std::memcpy(info.path, path, std::strlen(path) + 1);
}

} // namespace plateio::host
