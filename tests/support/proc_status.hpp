// Fields of the kernel's account of the calling process, /proc/self/status and clear_refs: header-only,
// for the tests and the fuzz targets alike.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace plateio::test {

// The value in KiB of a field such as "VmRSS:" or "VmHWM:"; -1 when it cannot be read.
inline long status_kib(const char *field) {
    std::FILE *status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) {
        return -1;
    }
    char line[256];
    long value = -1;
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::strncmp(line, field, std::strlen(field)) == 0) {
            value = std::atol(line + std::strlen(field));
        }
    }
    std::fclose(status);
    return value;
}

// Sets the high-water mark of resident memory (VmHWM) back to what is resident now; false when the
// kernel does not allow it.
inline bool reset_peak_resident() {
    std::FILE *clear = std::fopen("/proc/self/clear_refs", "w");
    if (clear == nullptr) {
        return false;
    }
    const bool written = std::fputs("5", clear) >= 0;
    return std::fclose(clear) == 0 && written;
}

} // namespace plateio::test
