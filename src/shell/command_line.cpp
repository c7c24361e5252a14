#include "shell/command_line.hpp"

#include "foundation/handles.hpp"
#include "foundation/text.hpp"

#include <shellapi.h>

namespace tess {

CommandLineOptions parseArguments(const std::vector<std::wstring>& arguments) {
    CommandLineOptions options;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::wstring& argument = arguments[i];
        const bool hasValue = i + 1 < arguments.size();
        if (argument == L"--launcher-selftest" && hasValue) {
            options.selfTestResultPath = arguments[++i];
        } else if (argument == L"--install" && hasValue) {
            options.requestedReleaseId = toUtf8(arguments[++i]);
        } else if (argument == L"--parent-pid" && hasValue) {
            options.parentProcessId = static_cast<std::uint32_t>(std::stoul(arguments[++i], nullptr, 10));
        } else if (argument == L"--desktop-pipe" && hasValue) {
            options.desktopPipeName = toUtf8(arguments[++i]);
        } else if (argument == L"--replace-launcher" || argument == L"--finish-uninstall") {
            options.helperMode = toUtf8(argument);
        } else if (argument == L"--manage" || argument == L"--uninstall") {
            options.manageRequested = true;
        }
    }
    return options;
}

std::vector<std::wstring> splitCommandLine(const wchar_t* commandLine) {
    int count = 0;
    LocalMemory<LPWSTR*> argv(::CommandLineToArgvW(commandLine, &count));
    std::vector<std::wstring> arguments;
    for (int i = 1; argv && i < count; ++i)
        arguments.emplace_back(argv.get()[i]);
    return arguments;
}

CommandLineOptions& processOptions() {
    static CommandLineOptions options;
    return options;
}

} // namespace tess
