// The subcommands of plateio. Each takes the arguments after its name, writes its results, and
// returns the exit status; it throws UsageError for a wrong command line and FileError for the one
// file it failed on (commands over many files report each failure themselves and go on).
#pragma once

#include "args.hpp"

namespace plateio::cli {

struct Command {
    const char *name;
    const char *summary; // one line for the tool's help
    const char *help;    // the command's own --help
    int (*run)(Args &args);
};

int run_info(Args &args);
int run_convert(Args &args);
int run_preview(Args &args);
int run_synth(Args &args);
int run_correct(Args &args);

extern const char *const kInfoHelp;
extern const char *const kConvertHelp;
extern const char *const kPreviewHelp;
extern const char *const kSynthHelp;
extern const char *const kCorrectHelp;

// Prints "plateio: <message>" on standard error.
void report(const std::string &message);

} // namespace plateio::cli
