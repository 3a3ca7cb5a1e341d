// Runs a piece of a test in a child process: a call that might crash the test program, or one whose
// memory must be measured (or limited) on its own.
#pragma once

#include <functional>
#include <string>

namespace plateio::test {

struct ChildResult {
    bool exited = false; // the child ended by returning, not by a signal
    int status = -1;     // what the action returned
    int signal = 0;      // the signal that ended it, if one did
    std::string out;     // what it wrote on standard output
};

// Runs `action` in a forked child whose standard output is captured, and waits for it. The child
// ends with the status `action` returns; it must not use the test framework's assertions.
ChildResult in_child(const std::function<int()> &action);

// KiB by which the resident memory of the calling process rose above where it stood when `measure`
// began, at its peak (the kernel's high-water mark is reset first). For a child's own measurement.
long peak_resident_growth_kib(const std::function<void()> &measure);

// True in a build under the address or memory sanitizer, whose shadow memory for an allocation of
// gigabytes costs gigabytes of its own: measurements of the library's memory are made without it.
bool under_sanitizer();

// Limits the address space of the calling process to what it uses now and `bytes` more, so that a
// call that merely reserves more fails. False where that cannot be done: under a sanitizer, which
// reserves vast ranges of its own. For a child's own use.
bool limit_address_space_growth(std::size_t bytes);

} // namespace plateio::test
