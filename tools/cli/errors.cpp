#include "errors.hpp"

#include <cstring>

namespace plateio::cli {

std::string errno_text(int error) {
    char buffer[256];
    // The GNU strerror_r may return a static string instead of filling the buffer.
    const char *text = strerror_r(error, buffer, sizeof buffer);
    return text;
}

} // namespace plateio::cli
