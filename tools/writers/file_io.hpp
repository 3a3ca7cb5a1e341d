// Writing and reading whole files, for the writers' callers.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace plateio::writers {

// Writes `bytes` to `path`, replacing it; false when the file cannot be written.
bool write_file(const std::string &path, std::span<const std::uint8_t> bytes);

} // namespace plateio::writers
