#include "subprocess.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace plateio::test {

namespace {

// A temporary file that goes away with this object.
class Scratch {
  public:
    Scratch() : file_(std::tmpfile()) {
        if (file_ == nullptr) {
            throw std::runtime_error("tmpfile failed");
        }
    }
    ~Scratch() { std::fclose(file_); }
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;
    int fd() const { return fileno(file_); }
    std::string contents() const {
        std::string text;
        std::rewind(file_);
        char buffer[4096];
        std::size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0) {
            text.append(buffer, n);
        }
        return text;
    }

  private:
    std::FILE *file_;
};

// The controlling side and the name of a new pseudo-terminal.
class PseudoTerminal {
  public:
    PseudoTerminal() : master_(posix_openpt(O_RDWR | O_NOCTTY)) {
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
            throw std::runtime_error("no pseudo-terminal");
        }
        char name[256];
        if (ptsname_r(master_, name, sizeof name) != 0) {
            throw std::runtime_error("ptsname_r failed");
        }
        name_ = name;
    }
    ~PseudoTerminal() { close(master_); }
    PseudoTerminal(const PseudoTerminal &) = delete;
    PseudoTerminal &operator=(const PseudoTerminal &) = delete;
    const std::string &name() const { return name_; }
    // What the other side wrote so far, without waiting for more.
    std::string drain() const {
        std::string text;
        const int flags = fcntl(master_, F_GETFL);
        fcntl(master_, F_SETFL, flags | O_NONBLOCK);
        char buffer[4096];
        ssize_t n = 0;
        while ((n = read(master_, buffer, sizeof buffer)) > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
        }
        return text;
    }

  private:
    int master_;
    std::string name_;
};

// execv's argument vector: the program, the arguments, NULL.
std::vector<char *> argv_of(const std::string &program, const std::vector<std::string> &arguments) {
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(program.c_str()));
    for (const std::string &argument : arguments) {
        argv.push_back(const_cast<char *>(argument.c_str()));
    }
    argv.push_back(nullptr);
    return argv;
}

} // namespace

RunResult run_program(const std::string &program, const std::vector<std::string> &arguments,
                      const RunOptions &options) {
    Scratch in;
    Scratch out;
    Scratch err;
    for (std::size_t written = 0; written < options.input.size();) {
        const ssize_t n = write(in.fd(), options.input.data() + written, options.input.size() - written);
        if (n <= 0) {
            throw std::runtime_error("cannot write standard input");
        }
        written += static_cast<std::size_t>(n);
    }
    lseek(in.fd(), 0, SEEK_SET);
    std::unique_ptr<PseudoTerminal> terminal;
    if (options.terminal_err) {
        terminal = std::make_unique<PseudoTerminal>();
    }

    std::vector<char *> argv = argv_of(program, arguments);
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) {
        throw std::runtime_error("fork failed");
    }
    if (child == 0) {
        const int err_fd = terminal ? open(terminal->name().c_str(), O_RDWR | O_NOCTTY) : err.fd();
        if (dup2(in.fd(), STDIN_FILENO) < 0 || dup2(out.fd(), STDOUT_FILENO) < 0 || err_fd < 0 ||
            dup2(err_fd, STDERR_FILENO) < 0) {
            _exit(127);
        }
        for (const auto &[name, value] : options.environment) {
            setenv(name.c_str(), value.c_str(), 1);
        }
        if (options.file_size_limit >= 0) {
            const rlimit limit{static_cast<rlim_t>(options.file_size_limit),
                               static_cast<rlim_t>(options.file_size_limit)};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        alarm(options.timeout_seconds); // kept across exec: a program that hangs is ended
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    int wait_status = 0;
    while (waitpid(child, &wait_status, 0) < 0) {
        if (errno != EINTR) {
            throw std::runtime_error("waitpid failed");
        }
    }
    RunResult result;
    result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
    if (WIFSIGNALED(wait_status)) {
        result.err += "(ended by signal " + std::to_string(WTERMSIG(wait_status)) + ")\n";
    }
    result.out = out.contents();
    result.err += terminal ? terminal->drain() : err.contents();
    return result;
}

int run_and_signal(const std::string &program, const std::vector<std::string> &arguments,
                   const std::function<bool()> &ready, int signal_number, bool &signalled) {
    std::vector<char *> argv = argv_of(program, arguments);
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) {
        throw std::runtime_error("fork failed");
    }
    if (child == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        alarm(60);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    signalled = false;
    int wait_status = 0;
    for (int waited = 0; waited < 60000; ++waited) {
        const pid_t done = waitpid(child, &wait_status, WNOHANG);
        if (done == child) {
            return wait_status;
        }
        if (ready()) {
            kill(child, signal_number);
            signalled = true;
            break;
        }
        usleep(1000);
    }
    while (waitpid(child, &wait_status, 0) < 0) {
        if (errno != EINTR) {
            throw std::runtime_error("waitpid failed");
        }
    }
    return wait_status;
}

} // namespace plateio::test
