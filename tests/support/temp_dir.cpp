#include "temp_dir.hpp"

#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <malloc.h>
#include <stdexcept>

#include "file_io.hpp"

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer's own count of the bytes the program holds (declared here: not every compiler ships
// the sanitizer headers).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace plateio::test {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "plateio-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::write(const std::string &name, std::span<const std::uint8_t> bytes) const {
    const std::string target = file(name);
    if (!writers::write_file(target, bytes)) {
        throw std::runtime_error("cannot write " + target);
    }
    return target;
}

int open_descriptor_count() {
    int count = 0;
    if (DIR *dir = opendir("/proc/self/fd")) {
        while (const dirent *entry = readdir(dir)) {
            count += entry->d_name[0] != '.' ? 1 : 0;
        }
        closedir(dir);
    }
    return count - 1; // the directory's own descriptor
}

std::size_t heap_in_use() {
#if defined(__SANITIZE_ADDRESS__)
    // Under AddressSanitizer the C library's heap is not the one in use; its allocator counts
    // exactly.
    return __sanitizer_get_current_allocated_bytes();
#else
    // Large blocks (a 1200 x 1200 grid, say) are mapped rather than carved from the heap, always on
    // a 32-bit host: count them too, or a leaked grid would go unseen.
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

} // namespace plateio::test
