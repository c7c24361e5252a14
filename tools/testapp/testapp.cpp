// A stand-in for the TESSARO application in tests and benchmarks. It answers the preflight, confirms
// its start over the launcher's pipe and serves an update pipe, each as "testapp-behaviour.json" in
// its own folder says, and records what it saw (arguments, environment, current directory) so tests
// can check what the launcher handed over.
//
// Behaviour members (all optional):
//   "preflight"          "accept" | "refuse" (ok false, exit 0) | "exit-1" (ok true, exit 1) |
//                        "no-answer" (exit 0, no file) | "ok-text" (ok is a string)
//   "preflightDelayMs"   pause before answering
//   "preflightError"     the "error" member of the answer
//   "profileSchema"      reported in the answer (default 1)
//   "rollbackSafe"       reported in the answer when present
//   "startup"            "confirm" | "wrong-build" | "never-connect" | "exit-early" | "silent" |
//                        "two-documents"
//   "profileSchemaWrite" confirmed profile schema (default: "profileSchema")
//   "desktopPipe"        serve an update pipe after the start: "approve" | "decline" | "close" |
//                        "split" | "keep-running" | "raw" (sends "desktopAnswer" as it is)
//   "afterStartMs"       how long to stay after the start when no update pipe is served (default 500)
//   "lifetimeMs"         hard upper bound of the whole run (default 300000)
// Records: the preflight writes "<answer>.seen.json"; a normal start writes "start-seen.json" and the
// update request "desktop-request.json" into %TESTAPP_RECORD_DIR% when that is set.
#include "foundation/handles.hpp"

#include <nlohmann/json.hpp>
#include <shellapi.h>

#include <cstdint>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Json = nlohmann::json;
using tess::FileHandle;
using tess::LocalMemory;

std::string utf8(const std::wstring& text) {
    if (text.empty())
        return {};
    int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                     nullptr, nullptr);
    std::string result(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size,
                          nullptr, nullptr);
    return result;
}

std::wstring wide(const std::string& text) {
    if (text.empty())
        return {};
    int size = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size);
    return result;
}

std::wstring ownFolder() {
    std::vector<wchar_t> buffer(32768, L'\0');
    DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    std::wstring path(buffer.data(), length);
    return path.substr(0, path.find_last_of(L'\\'));
}

std::optional<std::wstring> variable(const wchar_t* name) {
    std::vector<wchar_t> buffer(32768, L'\0');
    ::SetLastError(0);
    DWORD length = ::GetEnvironmentVariableW(name, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0 && ::GetLastError() == ERROR_ENVVAR_NOT_FOUND)
        return std::nullopt;
    return std::wstring(buffer.data(), length);
}

Json readJson(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    if (!in)
        return Json::object();
    std::stringstream content;
    content << in.rdbuf();
    return Json::parse(content.str());
}

// Readers poll for these files, so they appear whole or not at all.
void writeFileAtOnce(const std::wstring& path, const std::string& content) {
    const std::wstring temporary = path + L".tmp";
    {
        std::ofstream out(temporary.c_str(), std::ios::binary | std::ios::trunc);
        out << content;
    }
    ::MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

std::vector<std::wstring> arguments() {
    int count = 0;
    LocalMemory<LPWSTR*> list(::CommandLineToArgvW(::GetCommandLineW(), &count));
    std::vector<std::wstring> result;
    for (int index = 0; list && index < count; ++index)
        result.emplace_back(list.get()[index]);
    return result;
}

struct EnvironmentBlock {
    wchar_t* block = ::GetEnvironmentStringsW();
    ~EnvironmentBlock() { ::FreeEnvironmentStringsW(block); }
};

Json observations(const Json& extra) {
    Json seen = extra;
    std::vector<std::wstring> all = arguments();
    seen["arguments"] = Json::array();
    for (size_t index = 1; index < all.size(); ++index)
        seen["arguments"].push_back(utf8(all[index]));
    seen["commandLine"] = utf8(::GetCommandLineW());
    std::vector<wchar_t> directory(32768, L'\0');
    seen["currentDirectory"] = utf8(std::wstring(
        directory.data(), ::GetCurrentDirectoryW(static_cast<DWORD>(directory.size()), directory.data())));
    seen["processId"] = ::GetCurrentProcessId();
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    ::GetStartupInfoW(&startup);
    seen["hidden"] = (startup.dwFlags & STARTF_USESHOWWINDOW) != 0 && startup.wShowWindow == SW_HIDE;

    seen["environmentNames"] = Json::array();
    EnvironmentBlock environment;
    for (const wchar_t* entry = environment.block; *entry; entry += wcslen(entry) + 1) {
        std::wstring text(entry);
        size_t equals = text.find(L'=', 1);
        seen["environmentNames"].push_back(utf8(text.substr(0, equals)));
    }
    seen["environment"] = Json::object();
    for (const wchar_t* name : {L"PATH", L"QT_PLUGIN_PATH", L"QML_IMPORT_PATH", L"QML2_IMPORT_PATH",
                                L"QT_QPA_PLATFORM", L"TESSARO_STAGE_PYTHON", L"PYTHONDONTWRITEBYTECODE",
                                L"PYTHONHOME", L"PYTHONPATH", L"QT_QPA_PLATFORM_PLUGIN_PATH",
                                L"CORVALIS_LAUNCHER_PIPE", L"CORVALIS_LAUNCHER_PATH", L"TESTAPP_MARKER"}) {
        std::optional<std::wstring> value = variable(name);
        seen["environment"][utf8(name)] = value ? Json(utf8(*value)) : Json(nullptr);
    }
    return seen;
}

class TestApplication {
  public:
    TestApplication() : folder_(ownFolder()), behaviour_(readJson(folder_ + L"\\testapp-behaviour.json")) {}

    int run() {
        std::thread([lifetime = setting("lifetimeMs", 300000)] {
            ::Sleep(static_cast<DWORD>(lifetime));
            ::ExitProcess(4);
        }).detach();
        std::vector<std::wstring> all = arguments();
        if (all.size() >= 3 && all[1] == L"--update-preflight")
            return preflight(all[2]);
        return normalStart();
    }

  private:
    std::int64_t setting(const char* name, std::int64_t fallback) const {
        return behaviour_.value(name, fallback);
    }
    std::string text(const char* name, const char* fallback) const {
        return behaviour_.value(name, std::string(fallback));
    }

    int preflight(const std::wstring& answerPath) {
        writeFileAtOnce(answerPath + L".seen.json", observations(Json::object()).dump());
        ::Sleep(static_cast<DWORD>(setting("preflightDelayMs", 0)));
        const std::string mode = text("preflight", "accept");
        if (mode == "no-answer")
            return 0;
        Json answer = {{"profileSchema", setting("profileSchema", 1)}};
        if (behaviour_.contains("rollbackSafe"))
            answer["rollbackSafe"] = behaviour_["rollbackSafe"];
        if (behaviour_.contains("preflightError"))
            answer["error"] = behaviour_["preflightError"];
        answer["ok"] = mode == "ok-text" ? Json("yes") : Json(mode != "refuse");
        writeFileAtOnce(answerPath, answer.dump());
        return mode == "exit-1" ? 1 : 0;
    }

    int normalStart() {
        const std::optional<std::wstring> recordDir = variable(L"TESTAPP_RECORD_DIR");
        Json extra = Json::object();
        FileHandle desktopPipe;
        if (behaviour_.contains("desktopPipe")) {
            std::string name = "TESSARO-Updater-testapp-" + std::to_string(::GetCurrentProcessId());
            desktopPipe.reset(::CreateNamedPipeW(wide("\\\\.\\pipe\\" + name).c_str(), PIPE_ACCESS_DUPLEX,
                                                 PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 8192,
                                                 8192, 0, nullptr));
            extra["desktopPipe"] = name;
        }
        if (recordDir)
            writeFileAtOnce(*recordDir + L"\\start-seen.json", observations(extra).dump());

        const std::string startup = text("startup", "confirm");
        if (startup == "exit-early")
            return 3;
        FileHandle launcherPipe;
        if (startup != "never-connect")
            launcherPipe = confirmStart(startup);
        if (desktopPipe)
            return serveDesktopPipe(desktopPipe, recordDir);
        ::Sleep(static_cast<DWORD>(setting("afterStartMs", 500)));
        return 0;
    }

    FileHandle confirmStart(const std::string& startup) {
        const std::optional<std::wstring> name = variable(L"CORVALIS_LAUNCHER_PIPE");
        if (!name)
            return {};
        const std::wstring path = L"\\\\.\\pipe\\" + *name;
        FileHandle pipe;
        for (int attempt = 0; attempt < 50 && !pipe; ++attempt) {
            pipe.reset(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                     nullptr));
            if (!pipe)
                ::Sleep(100);
        }
        if (!pipe || startup == "silent")
            return pipe;
        const Json delivery = readJson(folder_ + L"\\delivery-manifest.json");
        std::string buildId = delivery.value("buildId", std::string());
        if (startup == "wrong-build")
            buildId += "-other";
        const Json message = {{"type", "startup-ready"},
                              {"buildId", buildId},
                              {"profileSchema", setting("profileSchemaWrite", setting("profileSchema", 1))}};
        std::string bytes = message.dump();
        if (startup == "two-documents")
            bytes += bytes;
        DWORD written = 0;
        ::WriteFile(pipe.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        ::FlushFileBuffers(pipe.get());
        return pipe;
    }

    static void send(HANDLE pipe, const std::string& bytes) {
        DWORD written = 0;
        ::WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    }

    int serveDesktopPipe(FileHandle& server, const std::optional<std::wstring>& recordDir) {
        HANDLE pipe = server.get();
        if (!::ConnectNamedPipe(pipe, nullptr) && ::GetLastError() != ERROR_PIPE_CONNECTED)
            return 5;
        std::string request;
        char byte = 0;
        DWORD received = 0;
        while (request.find('\n') == std::string::npos && ::ReadFile(pipe, &byte, 1, &received, nullptr) &&
               received == 1)
            request += byte;
        if (recordDir)
            writeFileAtOnce(*recordDir + L"\\desktop-request.json", Json{{"request", request}}.dump());

        const std::string mode = text("desktopPipe", "approve");
        const DWORD stay = static_cast<DWORD>(setting("afterStartMs", 500));
        if (mode == "close") {
            server.reset();
            ::Sleep(stay);
            return 0;
        }
        if (mode == "split") {
            for (const char* piece : {"{\"type\":", "\"exit-approved\"", "}\n"}) {
                send(pipe, piece);
                ::Sleep(700);
            }
        } else if (mode == "raw") {
            send(pipe, text("desktopAnswer", ""));
        } else {
            send(pipe, mode == "decline" ? "{\"type\":\"busy\"}\n" : "{\"type\":\"exit-approved\"}\n");
        }
        // The answer must be read before the pipe goes away with this process.
        ::FlushFileBuffers(pipe);
        if (mode == "decline" || mode == "raw")
            ::Sleep(stay);
        if (mode == "keep-running")
            ::Sleep(INFINITE);
        return 0;
    }

    std::wstring folder_;
    Json behaviour_;
};

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    try {
        return TestApplication().run();
    } catch (...) {
        return 9;
    }
}
