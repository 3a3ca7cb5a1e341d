// A directory of test files that removes itself, and process-level resource counts.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace plateio::test {

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    // The path of `name` inside the directory.
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    // Writes `bytes` to `name` and returns its path.
    std::string write(const std::string &name, std::span<const std::uint8_t> bytes) const;

  private:
    std::string path_;
};

// Number of open file descriptors of this process.
int open_descriptor_count();

// Bytes of heap in use, as the C library counts them, mapped blocks included.
std::size_t heap_in_use();

} // namespace plateio::test
