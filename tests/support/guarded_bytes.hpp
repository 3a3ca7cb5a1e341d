// A copy of some bytes placed so that the first byte past them, and the last before them, lie in pages
// that cannot be read: a reader that strays outside the span crashes instead of reading a neighbour.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <sys/mman.h>
#include <unistd.h>

namespace plateio::test {

class GuardedBytes {
  public:
    explicit GuardedBytes(std::span<const std::uint8_t> bytes) : size_(bytes.size()) {
        const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        const std::size_t inner = (size_ + page - 1) / page * page;
        mapped_ = inner + 2 * page;
        void *map = ::mmap(nullptr, mapped_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        base_ = static_cast<std::uint8_t *>(map);
        if (map == MAP_FAILED ||
            (inner != 0 && ::mprotect(base_ + page, inner, PROT_READ | PROT_WRITE) != 0)) {
            throw std::runtime_error("cannot map a guarded buffer");
        }
        data_ = std::copy(bytes.begin(), bytes.end(), base_ + page + inner - size_) - size_;
    }
    ~GuardedBytes() { ::munmap(base_, mapped_); }
    GuardedBytes(const GuardedBytes &) = delete;

    const void *data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }

  private:
    std::size_t size_;
    std::size_t mapped_ = 0;
    std::uint8_t *base_ = nullptr;
    std::uint8_t *data_ = nullptr;
};

} // namespace plateio::test
