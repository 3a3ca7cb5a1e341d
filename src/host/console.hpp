// What the specified functions print a path as.
#pragma once

namespace plateio::host {

// The path as a message shows it; a NULL path, which names no file, as "(null)".
inline const char *shown(const char *path) noexcept {
    return path != nullptr ? path : "(null)";
}

} // namespace plateio::host
