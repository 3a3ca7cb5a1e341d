#include "common/memory.hpp"

#if defined(__GLIBC__) || defined(__linux__)
#include <malloc.h>
#endif

namespace plateio {

std::size_t allocated_size(const void *block, [[maybe_unused]] std::size_t requested) noexcept {
#if defined(__GLIBC__) || defined(__linux__)
    return block != nullptr ? malloc_usable_size(const_cast<void *>(block)) : 0;
#else
    return block != nullptr ? requested : 0;
#endif
}

} // namespace plateio
