// A launcher stand-in for the tests: it runs one launcher operation of the engine in a process that then
// ends (so that a helper it started can go on), and serves the self-test and helper modes as the entry
// does. Published as a signed launcher release, it passes every check a launcher must pass.
//   launcher_driver.exe setup | setup-desktop | update | uninstall
#include "client/client.hpp"
#include "launcher/replace.hpp"
#include "launcher_test_report.hpp"
#include "shell/command_line.hpp"
#include "trust/envelope.hpp"

#include <windows.h>

#include <string>
#include <vector>

namespace {

using tess::Json;

int runOperation(const std::wstring& operation) {
    Json report = {{"operation", tess::toUtf8(operation)}, {"error", nullptr}, {"reports", Json::array()}};
    int code = 0;
    try {
        tess::Client client;
        client.progress.report = [&report](const std::string& text, std::uint64_t, std::uint64_t) {
            report["reports"].push_back(text);
        };
        if (operation == L"setup" || operation == L"setup-desktop")
            client.setup(operation == L"setup-desktop");
        else if (operation == L"update")
            client.updateLauncher();
        else if (operation == L"uninstall")
            client.uninstall();
        else
            throw std::runtime_error("unknown operation");
    } catch (const std::exception& failure) {
        report["error"] = failure.what();
        code = 1;
    }
    tess::test::writeTestReport(operation + L".json", report);
    return code;
}

} // namespace

int wmain() {
    try {
        tess::CommandLineOptions options = tess::parseArguments(tess::splitCommandLine(::GetCommandLineW()));
        if (!options.selfTestResultPath.empty()) {
            tess::writeSelfTestReport(options.selfTestResultPath);
            return 0;
        }
        if (!options.helperMode.empty())
            return tess::test::reportHelper(
                options.helperMode, [&] { tess::runHelper(options.helperMode, options.parentProcessId); });
        std::vector<std::wstring> arguments = tess::splitCommandLine(::GetCommandLineW());
        return arguments.empty() ? 2 : runOperation(arguments.front());
    } catch (...) {
        return 1;
    }
}
