// The switches of one start, read once from the command line and kept for the life of the process.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tess {

struct CommandLineOptions {
    std::wstring selfTestResultPath;
    std::string helperMode;
    bool manageRequested = false;
    std::string requestedReleaseId;
    std::uint32_t parentProcessId = 0;
    std::string desktopPipeName;
};

// Arguments after the program name. A value switch in last position and unknown arguments are ignored;
// a "--parent-pid" value that is not a number throws the standard conversion error.
CommandLineOptions parseArguments(const std::vector<std::wstring>& arguments);

// Splits a raw command line with CommandLineToArgvW and drops the program name.
std::vector<std::wstring> splitCommandLine(const wchar_t* commandLine);

// The options of this process; the manager's switch operation reads and clears two of them.
CommandLineOptions& processOptions();

} // namespace tess
