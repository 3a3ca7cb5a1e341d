// The two ways a command fails, and the exit status each one gives.
#pragma once

#include <stdexcept>
#include <string>

namespace plateio::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFile = 1;  // a file could not be read or written
inline constexpr int kExitUsage = 2; // the command line is wrong

// A command line that cannot be carried out as written. The message says what is wrong.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A file that could not be read or written. The message names the file and the reason; `code` is
// the library's PLATEIO_E_... code of a read that failed (PLATEIO_E_OPEN for a file the tool would
// not or could not open), 0 for an output that could not be written.
class FileError : public std::runtime_error {
  public:
    FileError(const std::string &path, const std::string &reason, int code = 0)
        : std::runtime_error(path + ": " + reason), path_(path), reason_(reason), code_(code) {}
    const std::string &path() const { return path_; }
    const std::string &reason() const { return reason_; }
    int code() const { return code_; }

  private:
    std::string path_;
    std::string reason_;
    int code_;
};

// The C library's text for an errno value ("No such file or directory"), safe on any thread.
std::string errno_text(int error);

} // namespace plateio::cli
