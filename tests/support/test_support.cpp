#include "support/test_support.hpp"

#include "foundation/crypto.hpp"
#include "foundation/files.hpp"
#include "foundation/handles.hpp"
#include "foundation/paths.hpp"
#include "foundation/text.hpp"
#include "foundation/tree.hpp"

#include <stdexcept>

namespace tess::test {
namespace fs = std::filesystem;

fs::path hostPath(const std::string& unixPath) {
    std::wstring text = L"Z:" + toWide(unixPath);
    for (wchar_t& c : text)
        if (c == L'/')
            c = L'\\';
    return fs::path(text);
}

fs::path binaryDir() {
    return hostPath(TESSARO_BINARY_DIR);
}
fs::path sourceDir() {
    return hostPath(TESSARO_SOURCE_DIR);
}
fs::path tessaroExe() {
    return binaryDir() / L"bin" / L"TESSARO.exe";
}

bool runningUnderWine() {
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

ScratchFolder::ScratchFolder() {
    wchar_t buffer[MAX_PATH + 1];
    DWORD length = ::GetTempPathW(MAX_PATH + 1, buffer);
    path_ = fs::path(std::wstring(buffer, length)) / toWide("tessaro-test-" + randomId());
    createDirectories(path_);
}

ScratchFolder::~ScratchFolder() {
    try {
        removeTree(path_);
    } catch (...) {
    }
}

void writeBytes(const fs::path& path, const std::string& bytes) {
    createDirectories(path.parent_path());
    FileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        throw std::runtime_error("cannot create test file");
    DWORD written = 0;
    if (!::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size())
        throw std::runtime_error("cannot write test file");
}

std::string readBytes(const fs::path& path) {
    return readWholeFile(path);
}

ChildProcess::~ChildProcess() {
    if (!process)
        return;
    // A failed test must not leave a program (and its message box) behind for the next one.
    if (::WaitForSingleObject(process, 0) == WAIT_TIMEOUT)
        ::TerminateProcess(process, 99);
    ::CloseHandle(process);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : process(std::exchange(other.process, nullptr)), id(other.id) {}

std::optional<DWORD> ChildProcess::wait(DWORD timeoutMs) const {
    if (::WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0)
        return std::nullopt;
    DWORD code = 0;
    ::GetExitCodeProcess(process, &code);
    return code;
}

void ChildProcess::terminate() const {
    ::TerminateProcess(process, 99);
}

ChildProcess startChild(const std::wstring& commandLine, const fs::path& workingDirectory) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    std::wstring mutableLine = commandLine;
    if (!::CreateProcessW(nullptr, mutableLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          workingDirectory.empty() ? nullptr : workingDirectory.c_str(), &startup, &info))
        throw std::runtime_error("cannot start child process");
    ::CloseHandle(info.hThread);
    ChildProcess child;
    child.process = info.hProcess;
    child.id = info.dwProcessId;
    return child;
}

std::optional<MessageBoxText> answerMessageBox(const std::wstring& caption, int button, DWORD timeoutMs) {
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    while (::GetTickCount64() < deadline) {
        HWND box = ::FindWindowW(L"#32770", caption.c_str());
        HWND textControl = box ? ::GetDlgItem(box, 0xFFFF) : nullptr;
        if (textControl) {
            wchar_t buffer[4096] = {};
            ::SendMessageW(textControl, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(buffer));
            // The button's notification, as a click sends it. A BM_CLICK emulates a mouse press, which
            // needs focus and capture; under Wine it was seen to get lost, and the question went unanswered.
            ::SendMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                           reinterpret_cast<LPARAM>(::GetDlgItem(box, button)));
            return MessageBoxText{caption, buffer};
        }
        ::Sleep(50);
    }
    return std::nullopt;
}

std::optional<MessageBoxText> dismissMessageBox(const std::wstring& caption, DWORD timeoutMs) {
    return answerMessageBox(caption, IDOK, timeoutMs);
}

bool waitUntil(const std::function<bool()>& condition, DWORD timeoutMs) {
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    while (!condition()) {
        if (::GetTickCount64() > deadline)
            return false;
        ::Sleep(100);
    }
    return true;
}

HWND findWindowOfClass(const std::wstring& className, DWORD timeoutMs) {
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    while (::GetTickCount64() < deadline) {
        if (HWND window = ::FindWindowW(className.c_str(), nullptr))
            return window;
        ::Sleep(50);
    }
    return nullptr;
}

} // namespace tess::test
