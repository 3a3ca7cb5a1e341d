// Runs a program as a user would from a shell, and keeps what it printed and how it ended.
#pragma once

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
};

// Runs `program` with `arguments` and waits for it.
RunResult run_program(const std::string &program, const std::vector<std::string> &arguments,
                      const RunOptions &options = {});

} // namespace plateio::test
