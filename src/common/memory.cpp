#include "common/memory.hpp"

#include <cstdint>

#if defined(__GLIBC__) || defined(__linux__)
#include <malloc.h>
#include <sys/mman.h>
#endif

namespace plateio {

std::size_t allocated_size(const void *block, [[maybe_unused]] std::size_t requested) noexcept {
#if defined(__GLIBC__) || defined(__linux__)
    return block != nullptr ? malloc_usable_size(const_cast<void *>(block)) : 0;
#else
    return block != nullptr ? requested : 0;
#endif
}

void advise_huge_pages([[maybe_unused]] void *block, [[maybe_unused]] std::size_t bytes) noexcept {
#if defined(MADV_HUGEPAGE)
    constexpr std::size_t kLarge = std::size_t{32} << 20;
    constexpr std::uintptr_t kPage = 4096;
    if (block == nullptr || bytes < kLarge) {
        return;
    }
    const auto begin = (reinterpret_cast<std::uintptr_t>(block) + kPage - 1) & ~(kPage - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(block) + bytes) & ~(kPage - 1);
    ::madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
#endif
}

} // namespace plateio
