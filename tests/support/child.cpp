#include "child.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace plateio::test {

namespace {

long status_kib(const char *field) {
    std::FILE *status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) {
        return -1;
    }
    char line[256];
    long value = -1;
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::strncmp(line, field, std::strlen(field)) == 0) {
            value = std::atol(line + std::strlen(field));
        }
    }
    std::fclose(status);
    return value;
}

} // namespace

ChildResult in_child(const std::function<int()> &action) {
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0) {
        return {};
    }
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        close(pipe_ends[0]);
        dup2(pipe_ends[1], STDOUT_FILENO);
        close(pipe_ends[1]);
        const int status = action();
        std::fflush(stdout);
        _exit(status);
    }
    close(pipe_ends[1]);
    ChildResult result;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = read(pipe_ends[0], buffer, sizeof buffer)) > 0) {
        result.out.append(buffer, static_cast<std::size_t>(n));
    }
    close(pipe_ends[0]);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) {
        return result;
    }
    result.exited = WIFEXITED(status);
    result.status = result.exited ? WEXITSTATUS(status) : -1;
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return result;
}

long peak_resident_growth_kib(const std::function<void()> &measure) {
    if (std::FILE *clear = std::fopen("/proc/self/clear_refs", "w")) {
        std::fputs("5", clear);
        std::fclose(clear);
    }
    const long before = status_kib("VmRSS:");
    measure();
    return status_kib("VmHWM:") - before;
}

bool under_sanitizer() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer) || __has_feature(thread_sanitizer)
    return true;
#else
    return false;
#endif
#else
    return false;
#endif
}

bool limit_address_space_growth(std::size_t bytes) {
    if (under_sanitizer()) {
        return false;
    }
    const long size_kib = status_kib("VmSize:");
    if (size_kib < 0) {
        return false;
    }
    const rlimit limit{static_cast<rlim_t>(size_kib) * 1024 + bytes,
                       static_cast<rlim_t>(size_kib) * 1024 + bytes};
    return setrlimit(RLIMIT_AS, &limit) == 0;
}

} // namespace plateio::test
