// The check that a reader keeps nothing: no descriptor, no heap block.
#pragma once

#include <functional>

namespace plateio::test {

// Runs `round` once (the C library sets up stdout's buffer and other once-only state on first use),
// then `times` more with the console captured, and expects the process's open descriptors and heap
// in use to be back where they stood after the first round. `round` frees what a host would free.
void expect_rounds_keep_nothing(const std::function<void()> &round, int times = 1000);

} // namespace plateio::test
