// How the exported functions say a fault: the quiet functions' code and reason, the container
// reader's console message, the name of a code, and a path as a message shows it. All of it comes
// from the one table of fault kinds (common/fault.hpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/fault.hpp"

namespace plateio::api {

// The quiet functions' result code for a fault: PLATEIO_OK for none.
std::int32_t result_code(const Fault &f) noexcept;

// One line that says what is wrong, with the fault's numbers, into `out` (zero-terminated, cut to
// `capacity`).
void describe(const Fault &f, char *out, std::size_t capacity) noexcept;

// What readXImage prints for the fault, line end included where there is one; nullptr for a fault
// the container reader never meets.
const char *container_message(FaultKind kind) noexcept;

// plateio_strerror's name of a result code.
const char *code_name(std::int32_t code) noexcept;

// The path as a message shows it; a NULL path, which names no file, as "(null)".
inline const char *shown(const char *path) noexcept {
    return path != nullptr ? path : "(null)";
}

} // namespace plateio::api
