#include "shell/progress_text.hpp"

#include <gtest/gtest.h>

namespace tess {
namespace {

TEST(ProgressText, AddsPercentAndWholeMiBForAKnownTotal) {
    struct Case {
        std::uint64_t done, total;
        std::string expected;
    } cases[] = {
        {0, 0, "Lade …"},
        {524288, 1048576, "Lade …\n50 % · 0 MiB / 1 MiB"},
        {2097152, 1048576, "Lade …\n100 % · 2 MiB / 1 MiB"},
        {1048575, 1048576, "Lade …\n99 % · 0 MiB / 1 MiB"},
        {UINT64_MAX - 1, UINT64_MAX, "Lade …\n99 % · 17592186044415 MiB / 17592186044415 MiB"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(progressText("Lade …", c.done, c.total), c.expected) << c.done << "/" << c.total;
}

} // namespace
} // namespace tess
