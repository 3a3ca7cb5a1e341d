// Captures what the library prints, byte for byte.
#pragma once

#include <functional>
#include <string>

namespace plateio::test {

// Runs `action` with the process's standard output redirected to a file and returns every byte
// written to it, escape characters and missing line ends included.
std::string capture_stdout(const std::function<void()> &action);

// The same for standard output and standard error together (what is written to either), for calls
// that must say nothing at all.
std::string capture_stdout_and_stderr(const std::function<void()> &action);

} // namespace plateio::test
