#include "file_io.hpp"

#include <cstdio>

namespace plateio::writers {

bool write_file(const std::string &path, std::span<const std::uint8_t> bytes) {
    std::FILE *file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return (std::fclose(file) == 0) && written;
}

} // namespace plateio::writers
