// Captures what the library prints on standard output, byte for byte.
#pragma once

#include <functional>
#include <string>

namespace plateio::test {

// Runs `action` with the process's standard output redirected to a file and returns every byte
// written to it, escape characters and missing line ends included.
std::string capture_stdout(const std::function<void()> &action);

} // namespace plateio::test
