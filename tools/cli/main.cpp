// plateio: look at, describe, convert and synthesise image-plate exposures through libplateio.
// A host of the library like any other: it loads exposures only through the exported functions.
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include <cerrno>
#include <stdio_ext.h>

#include "commands.hpp"
#include "errors.hpp"
#include "files.hpp"
#include "text.hpp"

namespace plateio::cli {

void report(std::string_view message) {
    const std::string text = "plateio: " + escape_name(message, Escape::terminal) + "\n";
    std::fputs(text.c_str(), stderr);
}

void print(std::string_view text) {
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) {
        const int error = errno;
        // Reported once, here: what is left in the buffer is dropped rather than failing again.
        __fpurge(stdout);
        std::clearerr(stdout);
        throw FileError("write error", errno_text(error));
    }
}

namespace {

const Command kCommands[] = {
    {"info", "describe exposures: format, size, header values, pixel statistics", kInfoHelp, run_info},
    {"convert", "convert exposures to TIFF, NumPy .npy, CBF or NeXus/HDF5", kConvertHelp, run_convert},
    {"preview", "draw an exposure as a PNG (log grey scale, overflowed red, off the plate blue)",
     kPreviewHelp, run_preview},
    {"synth", "write a synthetic TRA or X-Area exposure", kSynthHelp, run_synth},
    {"correct", "apply the detector geometry correction (or its inverse) to points", kCorrectHelp,
     run_correct},
};

std::string tool_help() {
    std::string help = "usage: plateio COMMAND [options] [FILE...]\n\n"
                       "Reads TRA and X-Area image-plate exposures through libplateio.\n\ncommands:\n";
    for (const Command &command : kCommands) {
        help += "  " + std::string(command.name) + std::string(10 - std::strlen(command.name), ' ') +
                command.summary + "\n";
    }
    help += "\n'plateio COMMAND --help' describes a command.\n"
            "Exit status: 0 on success, 1 when a file could not be read or written (the reason is on\n"
            "standard error), 2 for a wrong command line. Exposures are read through the library's\n"
            "quiet functions, so standard output carries only what the command prints.\n";
    return help;
}

const Command *find_command(const std::string &name) {
    for (const Command &command : kCommands) {
        if (name == command.name) {
            return &command;
        }
    }
    return nullptr;
}

int run(const std::vector<std::string> &arguments) {
    if (arguments.empty()) {
        std::fputs(tool_help().c_str(), stderr);
        return kExitUsage;
    }
    const std::string &first = arguments[0];
    if (first == "-h" || first == "--help" || first == "help") {
        const Command *command = arguments.size() > 1 ? find_command(arguments[1]) : nullptr;
        std::fputs(command != nullptr ? command->help : tool_help().c_str(), stdout);
        return kExitOk;
    }
    if (first == "--version") {
        std::puts("plateio " PLATEIO_VERSION);
        return kExitOk;
    }
    const Command *command = find_command(first);
    if (command == nullptr) {
        report("unknown command '" + first + "'");
        std::fputs("Try 'plateio --help'.\n", stderr);
        return kExitUsage;
    }
    std::vector<std::string> rest(arguments.begin() + 1, arguments.end());
    for (const std::string &item : rest) {
        if (item == "--") {
            break;
        }
        if (item == "-h" || item == "--help") {
            std::fputs(command->help, stdout);
            return kExitOk;
        }
    }
    try {
        Args args(std::move(rest));
        return command->run(args);
    } catch (const UsageError &error) {
        std::fflush(stdout);
        std::fprintf(stderr, "plateio %s: %s\nTry 'plateio %s --help'.\n", command->name,
                     escape_name(error.what(), Escape::terminal).c_str(), command->name);
        return kExitUsage;
    } catch (const FileError &error) {
        std::fflush(stdout);
        report(error);
        return kExitFile;
    }
}

// Standard output is flushed and closed here, so that a write that fails late (a full disk,
// /dev/full) is reported and fails the run rather than being lost.
int close_stdout(int status) {
    errno = 0;
    const bool failed = std::ferror(stdout) != 0;
    if (std::fflush(stdout) != 0 || failed) {
        report(FileError("write error", errno_text(errno != 0 ? errno : EIO)));
        return kExitFile;
    }
    if (std::fclose(stdout) != 0) {
        report(FileError("write error", errno_text(errno)));
        return kExitFile;
    }
    return status;
}

} // namespace

} // namespace plateio::cli

int main(int argc, char **argv) {
    plateio::cli::install_output_cleanup();
    int status = plateio::cli::kExitFile;
    try {
        status = plateio::cli::run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::bad_alloc &) {
        plateio::cli::report("out of memory");
    }
    return plateio::cli::close_stdout(status);
}
