// Runs a program as a user would from a shell, and keeps what it printed and how it ended.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace plateio::test {

struct RunResult {
    int status = -1; // exit status; -1 when the program did not exit normally
    std::string out; // standard output
    std::string err; // standard error
};

struct RunOptions {
    std::string input;         // standard input
    bool terminal_err = false; // standard error is a pseudo-terminal instead of a file
    std::vector<std::pair<std::string, std::string>> environment; // variables set for the program
    long file_size_limit = -1;     // bytes a file may grow to (ulimit -f), when not negative
    unsigned timeout_seconds = 60; // the program is killed by SIGALRM after this long
};

// Runs `program` with `arguments` and waits for it.
RunResult run_program(const std::string &program, const std::vector<std::string> &arguments,
                      const RunOptions &options = {});

// Starts `program`, calls `ready` every millisecond until it says true (or the program ends), then
// sends `signal_number`. Returns the raw wait status; `signalled` tells whether the signal was sent
// before the program ended by itself.
int run_and_signal(const std::string &program, const std::vector<std::string> &arguments,
                   const std::function<bool()> &ready, int signal_number, bool &signalled);

} // namespace plateio::test
