#include "common/file.hpp"

#include <sys/stat.h>

namespace plateio {

std::int64_t regular_file_size(std::FILE *file) noexcept {
    struct stat status {};
    if (fstat(fileno(file), &status) != 0 || !S_ISREG(status.st_mode)) {
        return -1;
    }
    return static_cast<std::int64_t>(status.st_size);
}

} // namespace plateio
