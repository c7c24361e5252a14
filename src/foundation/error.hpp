// The system's exceptions: every refusal carries a complete German sentence in UTF-8; a failed final
// rename also carries the Windows error and the number of attempts.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace tess {

class Error : public std::runtime_error {
  public:
    explicit Error(const std::string& message) : std::runtime_error(message) {}
    explicit Error(const char* message) : std::runtime_error(message) {}
};

class FinalizeError : public Error {
  public:
    FinalizeError(std::uint32_t windowsError, std::int32_t attempts, const std::string& detail);

    std::uint32_t windowsError;
    std::int32_t attempts;
};

inline void require(bool condition, const char* message) {
    if (!condition)
        throw Error(message);
}

} // namespace tess
