#include "shell/progress_text.hpp"

#include <algorithm>

namespace tess {

int progressPercent(std::uint64_t done, std::uint64_t total) {
    if (total == 0)
        return 0;
    // Widened so that byte counts near 2^64 cannot overflow the multiplication.
    const unsigned __int128 shown = std::min(done, total);
    return static_cast<int>(shown * 100 / total);
}

std::string progressText(const std::string& text, std::uint64_t done, std::uint64_t total) {
    if (total == 0)
        return text;
    return text + "\n" + std::to_string(progressPercent(done, total)) + " % · " + std::to_string(done >> 20) +
           " MiB / " + std::to_string(total >> 20) + " MiB";
}

} // namespace tess
