// The status-line text of one progress line: the text, and for a known total a second line with the
// percentage and whole MiB.
#pragma once

#include <cstdint>
#include <string>

namespace tess {

std::string progressText(const std::string& text, std::uint64_t done, std::uint64_t total);
int progressPercent(std::uint64_t done, std::uint64_t total);

} // namespace tess
