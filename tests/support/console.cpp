#include "console.hpp"

#include <cstdio>
#include <stdexcept>
#include <unistd.h>

namespace plateio::test {

namespace {

// Runs `action` with descriptor `fd` (whose stdio stream is `stream`) sent to a file; its bytes.
std::string capture(int fd, std::FILE *stream, const std::function<void()> &action) {
    std::fflush(stream);
    std::FILE *sink = std::tmpfile();
    if (sink == nullptr) {
        throw std::runtime_error("tmpfile failed");
    }
    const int saved = dup(fd);
    dup2(fileno(sink), fd);
    action();
    std::fflush(stream);
    dup2(saved, fd);
    close(saved);

    std::string text;
    std::rewind(sink);
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, sink)) > 0) {
        text.append(buffer, n);
    }
    std::fclose(sink);
    return text;
}

} // namespace

std::string capture_stdout(const std::function<void()> &action) {
    return capture(STDOUT_FILENO, stdout, action);
}

std::string capture_stdout_and_stderr(const std::function<void()> &action) {
    std::string out;
    std::string err = capture(STDERR_FILENO, stderr, [&] { out = capture(STDOUT_FILENO, stdout, action); });
    return out + err;
}

} // namespace plateio::test
