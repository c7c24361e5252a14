// Starts every child process: exact command-line quoting, a complete environment block with
// upper-cased names and, for the application only, a runtime environment that points into its own
// version folder so one version never picks up libraries or an interpreter from elsewhere.
#pragma once

#include "foundation/handles.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace tess {

struct StartedProcess {
    KernelHandle process;
    std::uint32_t processId = 0;
};

// Names upper-cased, ordered by UTF-16 code units.
using Environment = std::map<std::wstring, std::wstring>;

// The inverse of the standard Windows argument splitting; always quoted, "" for an empty argument.
std::wstring quoteArgument(std::wstring_view argument);

// Reads a block as GetEnvironmentStringsW returns it; a name may start with "=" (per-drive entries).
Environment environmentFromBlock(const wchar_t* block);

// Calls visit with the id and image name of every process but this one until it answers true. True
// when it did, and also when the process list could not be read to its end: a caller that asks
// whether something runs must then assume that it does.
[[nodiscard]] bool
anyOtherProcess(const std::function<bool(std::uint32_t processId, std::wstring_view image)>& visit);

// Whether another process of this user runs the program file or one below the folder (also true when
// the process list cannot be read).
[[nodiscard]] bool isProgramRunningFrom(const std::filesystem::path& fileOrFolder);

// Starts hidden (no window) or normally; the current directory is the program's own folder.
[[nodiscard]] StartedProcess startProcess(const std::filesystem::path& program,
                                          const std::vector<std::wstring>& arguments, bool hidden);

} // namespace tess
