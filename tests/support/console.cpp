#include "console.hpp"

#include <cstdio>
#include <stdexcept>
#include <unistd.h>

namespace plateio::test {

std::string capture_stdout(const std::function<void()> &action) {
    std::fflush(stdout);
    std::FILE *sink = std::tmpfile();
    if (sink == nullptr) {
        throw std::runtime_error("tmpfile failed");
    }
    const int saved = dup(STDOUT_FILENO);
    dup2(fileno(sink), STDOUT_FILENO);
    action();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
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

} // namespace plateio::test
