#include "activation/process.hpp"

#include "foundation/error.hpp"
#include "foundation/handles.hpp"
#include "foundation/identity.hpp"

#include <windows.h>
#include <tlhelp32.h>

#include <cwchar>
#include <cwctype>

namespace tess {
namespace fs = std::filesystem;
namespace {

constexpr DWORD startRetryDelaysMs[] = {250, 500};

std::wstring upperCased(std::wstring name) {
    for (wchar_t& c : name)
        c = static_cast<wchar_t>(std::towupper(c));
    return name;
}

class EnvironmentStrings {
  public:
    EnvironmentStrings() : block_(::GetEnvironmentStringsW()) {}
    ~EnvironmentStrings() {
        if (block_)
            ::FreeEnvironmentStringsW(block_);
    }
    EnvironmentStrings(const EnvironmentStrings&) = delete;
    EnvironmentStrings& operator=(const EnvironmentStrings&) = delete;
    const wchar_t* get() const { return block_; }

  private:
    wchar_t* block_;
};

std::wstring windowsFolder() {
    std::vector<wchar_t> buffer(32768, L'\0');
    UINT length = ::GetWindowsDirectoryW(buffer.data(), static_cast<UINT>(buffer.size()));
    require(length != 0, "Windows-Pfad fehlt.");
    return std::wstring(buffer.data(), length);
}

// The variables the application's runtime reads must point into its own version folder.
void applyApplicationVariables(Environment& environment, const std::wstring& folder) {
    const std::wstring windows = windowsFolder();
    environment[L"PATH"] = folder + L";" + windows + L"\\System32;" + windows;
    environment[L"QT_PLUGIN_PATH"] = folder;
    environment[L"QML_IMPORT_PATH"] = folder + L"\\qml";
    environment[L"QML2_IMPORT_PATH"] = folder + L"\\qml";
    environment[L"QT_QPA_PLATFORM"] = L"windows";
    environment[L"TESSARO_STAGE_PYTHON"] = folder + L"\\tools\\stage-import\\python\\python.exe";
    environment[L"PYTHONDONTWRITEBYTECODE"] = L"1";
    environment.erase(L"PYTHONHOME");
    environment.erase(L"PYTHONPATH");
    environment[L"QT_QPA_PLATFORM_PLUGIN_PATH"] = folder + L"\\platforms";
}

std::wstring environmentBlock(const Environment& environment) {
    std::wstring block;
    for (const auto& [name, value] : environment) {
        block += name;
        block += L'=';
        block += value;
        block += L'\0';
    }
    block += L'\0';
    return block;
}

bool isApplicationProgram(const fs::path& program) {
    return ::_wcsicmp(program.filename().c_str(), L"appTESSARO.exe") == 0;
}

// The same file or a path below the folder, compared as Windows compares names.
bool isAtOrBelow(std::wstring_view image, const fs::path& fileOrFolder) {
    constexpr std::wstring_view longPrefix = L"\\\\?\\";
    if (image.starts_with(longPrefix))
        image.remove_prefix(longPrefix.size());
    std::wstring location = fs::path(fileOrFolder).make_preferred().native();
    if (location.starts_with(longPrefix))
        location.erase(0, longPrefix.size());
    while (!location.empty() && location.back() == L'\\')
        location.pop_back();
    const auto sameText = [](std::wstring_view left, std::wstring_view right) {
        return ::CompareStringOrdinal(left.data(), static_cast<int>(left.size()), right.data(),
                                      static_cast<int>(right.size()), TRUE) == CSTR_EQUAL;
    };
    if (image.size() == location.size())
        return sameText(image, location);
    return image.size() > location.size() && image[location.size()] == L'\\' &&
           sameText(image.substr(0, location.size()), location);
}

} // namespace

bool anyOtherProcess(const std::function<bool(std::uint32_t processId, std::wstring_view image)>& visit) {
    FileHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return true;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    // The error of a query made by visit must not pass for the end of the list.
    const auto next = [&] {
        ::SetLastError(ERROR_SUCCESS);
        return ::Process32NextW(snapshot.get(), &entry);
    };
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = next()) {
        if (entry.th32ProcessID != ::GetCurrentProcessId() && entry.th32ProcessID != 0 &&
            visit(entry.th32ProcessID, entry.szExeFile))
            return true;
    }
    const DWORD error = ::GetLastError();
    return error != ERROR_NO_MORE_FILES && error != ERROR_SUCCESS;
}

bool isProgramRunningFrom(const fs::path& fileOrFolder) {
    std::vector<wchar_t> image(32768);
    return anyOtherProcess([&](std::uint32_t processId, std::wstring_view) {
        KernelHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
        DWORD length = static_cast<DWORD>(image.size());
        return process && ::QueryFullProcessImageNameW(process.get(), 0, image.data(), &length) &&
               isAtOrBelow(std::wstring_view(image.data(), length), fileOrFolder) &&
               isProcessOfCurrentUser(processId);
    });
}

std::wstring quoteArgument(std::wstring_view argument) {
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
        } else if (c == L'"') {
            quoted.append(2 * backslashes + 1, L'\\');
            quoted += c;
            backslashes = 0;
        } else {
            quoted.append(backslashes, L'\\');
            quoted += c;
            backslashes = 0;
        }
    }
    quoted.append(2 * backslashes, L'\\');
    quoted += L'"';
    return quoted;
}

Environment environmentFromBlock(const wchar_t* block) {
    Environment environment;
    for (const wchar_t* entry = block; *entry != L'\0'; entry += std::wcslen(entry) + 1) {
        std::wstring_view text(entry);
        // Searching from the second character keeps the leading "=" of per-drive names like "=C:".
        size_t equals = text.find(L'=', 1);
        if (equals == std::wstring_view::npos)
            continue;
        environment[upperCased(std::wstring(text.substr(0, equals)))] = std::wstring(text.substr(equals + 1));
    }
    return environment;
}

StartedProcess startProcess(const fs::path& program, const std::vector<std::wstring>& arguments,
                            bool hidden) {
    std::wstring commandLine = quoteArgument(program.native());
    for (const std::wstring& argument : arguments)
        commandLine += L" " + quoteArgument(argument);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    if (hidden) {
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = SW_HIDE;
    }

    Environment environment;
    {
        EnvironmentStrings strings;
        require(strings.get() != nullptr, "Prozessumgebung fehlt.");
        environment = environmentFromBlock(strings.get());
    }
    const fs::path folder = program.parent_path();
    if (isApplicationProgram(program))
        applyApplicationVariables(environment, folder.native());
    std::wstring block = environmentBlock(environment);

    const DWORD flags = CREATE_UNICODE_ENVIRONMENT | (hidden ? CREATE_NO_WINDOW : 0);
    PROCESS_INFORMATION info{};
    auto create = [&] {
        std::wstring line = commandLine; // CreateProcessW may write into the command line it is given
        return ::CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, flags, block.data(),
                                folder.c_str(), &startup, &info) != FALSE;
    };
    // A scanner or indexer that has a just-installed program open keeps it from starting for a moment:
    // it is tried again a little later before the start counts as failed.
    bool created = create();
    for (DWORD delayMs : startRetryDelaysMs) {
        if (created)
            break;
        ::Sleep(delayMs);
        created = create();
    }
    require(created, "Programm konnte nicht gestartet werden.");
    KernelHandle thread(info.hThread);
    return StartedProcess{KernelHandle(info.hProcess), static_cast<std::uint32_t>(info.dwProcessId)};
}

} // namespace tess
