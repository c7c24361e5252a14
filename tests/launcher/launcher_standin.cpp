// Stands in for other programs in the launcher tests; its own file name says which:
//   appTESSARO.exe  a running application of this user (sleeps until it is ended, at most two minutes)
//   sleeper.exe     a self-test candidate that hangs
//   exit-one.exe    a self-test candidate that answers correctly and still exits with 1
//   any other name  a launcher 1.0.3 that passes its self-test everywhere except as TESSARO.exe, and
//                   carries out the helper modes like the entry
#include "foundation/crypto.hpp"
#include "foundation/files.hpp"
#include "foundation/json.hpp"
#include "foundation/paths.hpp"
#include "launcher/replace.hpp"
#include "launcher_test_report.hpp"
#include "shell/command_line.hpp"
#include "trust/envelope.hpp"

#include <windows.h>

namespace {

using tess::Json;

void answerSelfTest(const std::wstring& answerPath, const char* version) {
    Json answer = {{"ok", true},
                   {"sha256", tess::sha256FileHex(tess::executablePath(), nullptr, {})},
                   {"version", version}};
    tess::writeFileDurably(answerPath, tess::dumpCompact(answer));
}

} // namespace

int wmain() {
    try {
        const std::wstring name = tess::executablePath().filename().native();
        tess::CommandLineOptions options = tess::parseArguments(tess::splitCommandLine(::GetCommandLineW()));
        if (name == L"appTESSARO.exe" || name == L"sleeper.exe") {
            ::Sleep(120000);
            return 0;
        }
        if (name == L"exit-one.exe") {
            answerSelfTest(options.selfTestResultPath, "1.0.2");
            return 1;
        }
        if (!options.selfTestResultPath.empty()) {
            if (name == L"TESSARO.exe")
                return 3;
            answerSelfTest(options.selfTestResultPath, "1.0.3");
            return 0;
        }
        if (!options.helperMode.empty())
            return tess::test::reportHelper(
                options.helperMode, [&] { tess::runHelper(options.helperMode, options.parentProcessId); });
        return 2;
    } catch (...) {
        return 1;
    }
}
