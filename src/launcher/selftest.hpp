// The runner side of the launcher self-test: starts a candidate executable in its self-test mode and
// trusts it only when it ends in time, with exit code 0 and an answer naming its own hash and version.
#pragma once

#include <filesystem>
#include <string>

namespace tess {

// Never throws: every failure, an error inside included, answers false. An empty expected version is
// not compared.
[[nodiscard]] bool runLauncherSelfTest(const std::filesystem::path& candidate,
                                       const std::filesystem::path& answerFolder,
                                       const std::string& expectedVersion) noexcept;

} // namespace tess
