#include "leak_check.hpp"

#include <gtest/gtest.h>

#include "console.hpp"
#include "temp_dir.hpp"

namespace plateio::test {

void expect_rounds_keep_nothing(const std::function<void()> &round, int times) {
    capture_stdout(round);
    const int descriptors = open_descriptor_count();
    const std::size_t heap = heap_in_use();
    capture_stdout([&] {
        for (int i = 0; i < times; ++i) {
            round();
        }
    });
    EXPECT_EQ(open_descriptor_count(), descriptors) << "descriptors left open";
    EXPECT_EQ(heap_in_use(), heap) << "heap blocks left behind";
}

} // namespace plateio::test
