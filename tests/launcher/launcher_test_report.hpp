// What the launcher stand-ins of the tests tell the test that started them: one small JSON file per
// run in the folder named by TESSARO_TEST_REPORT_DIR (nothing is written when it is not set).
#pragma once

#include "foundation/files.hpp"
#include "foundation/json.hpp"
#include "foundation/text.hpp"

#include <windows.h>

#include <string>

namespace tess::test {

inline void writeTestReport(const std::wstring& name, const Json& report) {
    wchar_t folder[MAX_PATH + 1] = {};
    DWORD length = ::GetEnvironmentVariableW(L"TESSARO_TEST_REPORT_DIR", folder, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH)
        return;
    writeFileDurably(std::wstring(folder) + L"\\" + name, dumpCompact(report));
}

// Runs a helper mode as the entry does and reports its outcome in helper.json; 0 or 1 like the entry.
template <class Helper> int reportHelper(const std::string& mode, Helper&& helper) {
    Json report = {{"mode", mode}, {"error", nullptr}};
    int code = 0;
    try {
        helper();
    } catch (const std::exception& failure) {
        report["error"] = failure.what();
        code = 1;
    }
    try {
        writeTestReport(L"helper.json", report);
    } catch (...) {
    }
    return code;
}

} // namespace tess::test
