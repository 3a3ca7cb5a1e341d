#include "common/memory.hpp"

#include <cstring>

#if defined(__GLIBC__)
#include <malloc.h>
#endif
#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace plateio {

std::size_t allocated_size(const void *block, [[maybe_unused]] std::size_t requested) noexcept {
#if defined(__GLIBC__)
    return block != nullptr ? malloc_usable_size(const_cast<void *>(block)) : 0;
#else
    return block != nullptr ? requested : 0;
#endif
}

void advise_huge_pages([[maybe_unused]] void *block, [[maybe_unused]] std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
    const auto start = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t begin = (start + kHuge - 1) & ~(kHuge - 1);
    const std::uintptr_t end = (start + bytes) & ~(kHuge - 1);
    if (end > begin) {
        madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
    }
#endif
}

void clear_allocation_slack(void *block, std::size_t length) noexcept {
    const std::size_t size = allocated_size(block, length);
    if (size > length) {
        std::memset(static_cast<std::uint8_t *>(block) + length, 0, size - length);
    }
}

} // namespace plateio
