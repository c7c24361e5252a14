// Shared helpers of the Windows test binaries: scratch folders, child processes, message boxes of
// other processes, and host paths seen from inside Wine.
#pragma once

#include <windows.h>

#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tess::test {

// A folder of the host file system as Wine shows it (Z: is the host root).
std::filesystem::path hostPath(const std::string& unixPath);
std::filesystem::path binaryDir();
std::filesystem::path sourceDir();
std::filesystem::path tessaroExe();
bool runningUnderWine();

// A fresh folder below the user's temporary folder, removed with everything in it at the end.
class ScratchFolder {
  public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& relative) const { return path_ / relative; }

  private:
    std::filesystem::path path_;
};

// Polls the condition every 100 ms; false when it still does not hold after timeoutMs.
bool waitUntil(const std::function<bool()>& condition, DWORD timeoutMs);

void writeBytes(const std::filesystem::path& path, const std::string& bytes);
std::string readBytes(const std::filesystem::path& path);

struct ChildProcess {
    HANDLE process = nullptr;
    std::uint32_t id = 0;
    ~ChildProcess();
    ChildProcess() = default;
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&&) = delete;
    // Waits up to timeoutMs; returns the exit code, or nullopt when it is still running.
    std::optional<DWORD> wait(DWORD timeoutMs) const;
    void terminate() const;
};

ChildProcess startChild(const std::wstring& commandLine, const std::filesystem::path& workingDirectory = {});

struct MessageBoxText {
    std::wstring caption;
    std::wstring text;
};

// Waits for a message box (dialog class #32770) with this caption in any process, returns its text and
// presses its OK button.
std::optional<MessageBoxText> dismissMessageBox(const std::wstring& caption, DWORD timeoutMs);
// The same, pressing the button with this id (IDYES, IDNO, ...).
std::optional<MessageBoxText> answerMessageBox(const std::wstring& caption, int button, DWORD timeoutMs);

// The message of the exception a call throws, or an empty text when it returns.
template <class Call> std::string failureOf(Call&& call) {
    try {
        call();
    } catch (const std::exception& e) {
        return e.what();
    }
    return {};
}

// True when a top-level window of this class exists.
HWND findWindowOfClass(const std::wstring& className, DWORD timeoutMs);

} // namespace tess::test
