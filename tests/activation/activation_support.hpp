// Helpers shared by the activation tests: environment changes that undo themselves, running copies of
// the test application, and the wait that keeps one test's application from blocking the next.
#pragma once

#include "activation/launch.hpp"
#include "activation/process.hpp"
#include "foundation/json.hpp"
#include "support/test_support.hpp"
#include "support/version_fixture.hpp"

#include <windows.h>

#include <algorithm>
#include <optional>
#include <string>

namespace tess::test {

// Sets (or removes, with nullopt) one variable of this process and restores the old value.
class ScopedVariable {
  public:
    ScopedVariable(std::wstring name, std::optional<std::wstring> value) : name_(std::move(name)) {
        wchar_t buffer[32768];
        ::SetLastError(0);
        DWORD length = ::GetEnvironmentVariableW(name_.c_str(), buffer, 32768);
        if (length != 0 || ::GetLastError() != ERROR_ENVVAR_NOT_FOUND)
            old_ = std::wstring(buffer, length);
        ::SetEnvironmentVariableW(name_.c_str(), value ? value->c_str() : nullptr);
    }
    ~ScopedVariable() { ::SetEnvironmentVariableW(name_.c_str(), old_ ? old_->c_str() : nullptr); }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

  private:
    std::wstring name_;
    std::optional<std::wstring> old_;
};

// Polls until no test application of this user runs; true when that happened in time.
inline bool awaitNoApplication(unsigned timeoutMs = 30000) {
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    while (isApplicationRunning(0)) {
        if (::GetTickCount64() > deadline)
            return false;
        ::Sleep(100);
    }
    return true;
}

// A started test application that never outlives its test.
struct RunningApp {
    StartedProcess started;
    Json seen;
    RunningApp() = default;
    RunningApp(RunningApp&&) = default;
    RunningApp& operator=(RunningApp&&) = default;
    ~RunningApp() {
        if (started.process && ::WaitForSingleObject(started.process.get(), 0) == WAIT_TIMEOUT)
            ::TerminateProcess(started.process.get(), 99);
        if (started.process)
            ::WaitForSingleObject(started.process.get(), 10000);
    }
    bool exited(DWORD timeoutMs) const {
        return ::WaitForSingleObject(started.process.get(), timeoutMs) == WAIT_OBJECT_0;
    }
};

// Starts the application copy in folder (already prepared) and waits for its start record.
inline RunningApp startRecordedApp(const std::filesystem::path& program,
                                   const std::filesystem::path& records) {
    std::filesystem::create_directories(records);
    std::filesystem::remove(records / L"start-seen.json");
    ScopedVariable recordDir(L"TESTAPP_RECORD_DIR", records.native());
    RunningApp app;
    app.started = startProcess(program, {}, true);
    app.seen = awaitJsonFile(records / L"start-seen.json", 30000);
    return app;
}

} // namespace tess::test

namespace tess::test {

// A client whose two roots are a scratch folder, with its progress lines collected.
class ScratchInstallation {
  public:
    ScratchInstallation() {
        client.installRoot = scratch / L"install";
        client.dataRoot = scratch / L"data";
        for (const wchar_t* folder :
             {L"install\\releases", L"data\\downloads", L"data\\receipts", L"records"})
            std::filesystem::create_directories(scratch / folder);
        client.progress.report = [this](const std::string& text, std::uint64_t, std::uint64_t) {
            lines.push_back(text);
        };
    }

    std::string install(const std::string& package) {
        return installPackage(client.installRoot, client.dataRoot, package);
    }
    std::filesystem::path data(const wchar_t* name) const { return client.dataRoot / name; }
    Json document(const wchar_t* name) const { return loadJsonOr(data(name), Json()); }
    void writeDocument(const wchar_t* name, const Json& content) const {
        writeBytes(data(name), dumpCompact(content));
    }
    // What the last normal start of the test application recorded.
    Json startRecord() const { return loadJsonOr(scratch / L"records" / L"start-seen.json", Json()); }
    bool reported(const std::string& line) const {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    ScratchFolder scratch;
    Client client;
    std::vector<std::string> lines;
    ScopedVariable recordDir{L"TESTAPP_RECORD_DIR", (scratch / L"records").native()};
};

} // namespace tess::test
