#include "common/memory.hpp"

#include <cstring>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace plateio {

std::size_t allocated_size(const void *block, [[maybe_unused]] std::size_t requested) noexcept {
#if defined(__GLIBC__)
    return block != nullptr ? malloc_usable_size(const_cast<void *>(block)) : 0;
#else
    return block != nullptr ? requested : 0;
#endif
}

void clear_allocation_slack(void *block, std::size_t length) noexcept {
    const std::size_t size = allocated_size(block, length);
    if (size > length) {
        std::memset(static_cast<std::uint8_t *>(block) + length, 0, size - length);
    }
}

} // namespace plateio
