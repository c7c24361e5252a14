#include "activation/process.hpp"
#include "activation_support.hpp"
#include "foundation/error.hpp"
#include "foundation/text.hpp"

#include <gtest/gtest.h>
#include <shellapi.h>

#include <chrono>
#include <thread>

namespace tess {
namespace {
namespace fs = std::filesystem;

std::vector<std::wstring> splitLikeWindows(const std::wstring& commandLine) {
    int count = 0;
    LocalMemory<LPWSTR*> list(::CommandLineToArgvW(commandLine.c_str(), &count));
    std::vector<std::wstring> result;
    for (int index = 1; index < count; ++index)
        result.emplace_back(list.get()[index]);
    return result;
}

TEST(QuoteArgument, IsTheInverseOfWindowsSplitting) {
    struct Case {
        std::wstring argument;
        std::wstring quoted;
    } cases[] = {
        {L"", L"\"\""},
        {L"plain", L"\"plain\""},
        {L"C:\\Program Files\\x\\", L"\"C:\\Program Files\\x\\\\\""},
        {L"a\"b", L"\"a\\\"b\""},
        {L"\\\\\"", L"\"\\\\\\\\\\\"\""},
        {L"a\\b\\\\c", L"\"a\\b\\\\c\""},
        {L"\u00e4 \t x", L"\"\u00e4 \t x\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(quoteArgument(c.argument), c.quoted) << toUtf8(c.argument);
        EXPECT_EQ(splitLikeWindows(L"x.exe " + quoteArgument(c.argument)),
                  std::vector<std::wstring>{c.argument})
            << toUtf8(c.argument);
    }
}

TEST(StartProcess, ReadsTheEnvironmentBlockWithUpperCasedNames) {
    const wchar_t block[] = L"Path=C:\\bin\0=C:=C:\\work\0no-equals-sign\0lower=1\0LOWER=2\0Empty=\0\0";
    const Environment expected = {
        {L"=C:", L"C:\\work"}, {L"EMPTY", L""}, {L"LOWER", L"2"}, {L"PATH", L"C:\\bin"}};
    EXPECT_EQ(environmentFromBlock(block), expected);
}

// Starts the test application under a file name and returns what it recorded.
Json startAndRecord(const test::ScratchFolder& scratch, const std::wstring& exeName,
                    const std::vector<std::wstring>& arguments, bool hidden) {
    const fs::path folder = scratch / (L"app-" + exeName);
    test::prepareTestApp(folder, Json{{"afterStartMs", 0}}, exeName);
    const fs::path records = scratch / (L"records-" + exeName);
    fs::create_directories(records);
    test::ScopedVariable recordDir(L"TESTAPP_RECORD_DIR", records.native());
    StartedProcess started = startProcess(folder / exeName, arguments, hidden);
    EXPECT_NE(started.processId, 0u);
    EXPECT_EQ(::WaitForSingleObject(started.process.get(), 30000), WAIT_OBJECT_0);
    return test::awaitJsonFile(records / L"start-seen.json", 1000);
}

bool hasName(const Json& seen, const std::string& name) {
    for (const Json& entry : seen.at("environmentNames"))
        if (entry == name)
            return true;
    return false;
}

TEST(StartProcess, GivesOnlyTheApplicationItsOwnRuntimeEnvironment) {
    test::ScratchFolder scratch;
    test::ScopedVariable path(L"PATH", std::nullopt);
    test::ScopedVariable mixedPath(L"Path", L"C:\\inherited");
    test::ScopedVariable mixed(L"Testapp_Marker", L"kept");
    test::ScopedVariable home(L"PYTHONHOME", L"C:\\python");
    test::ScopedVariable pythonPath(L"PYTHONPATH", L"C:\\python\\lib");
    test::ScopedVariable other(L"QT_QPA_PLATFORM", L"offscreen");
    wchar_t windows[MAX_PATH];
    const std::string w = toUtf8(std::wstring(windows, ::GetWindowsDirectoryW(windows, MAX_PATH)));

    // Upper case in the file name still makes it the application.
    const Json app = startAndRecord(scratch, L"APPTESSARO.EXE", {L"one", L"two words", L""}, false);
    const std::string d = toUtf8((scratch / L"app-APPTESSARO.EXE").native());
    const Json expected = {{"PATH", d + ";" + w + "\\System32;" + w},
                           {"QT_PLUGIN_PATH", d},
                           {"QML_IMPORT_PATH", d + "\\qml"},
                           {"QML2_IMPORT_PATH", d + "\\qml"},
                           {"QT_QPA_PLATFORM", "windows"},
                           {"TESSARO_STAGE_PYTHON", d + "\\tools\\stage-import\\python\\python.exe"},
                           {"PYTHONDONTWRITEBYTECODE", "1"},
                           {"PYTHONHOME", nullptr},
                           {"PYTHONPATH", nullptr},
                           {"QT_QPA_PLATFORM_PLUGIN_PATH", d + "\\platforms"},
                           {"CORVALIS_LAUNCHER_PIPE", nullptr},
                           {"CORVALIS_LAUNCHER_PATH", nullptr},
                           {"TESTAPP_MARKER", "kept"}};
    EXPECT_EQ(app.at("environment"), expected);
    EXPECT_EQ(app.at("arguments"), Json({"one", "two words", ""}));
    EXPECT_EQ(app.at("currentDirectory"), d);
    EXPECT_FALSE(app.at("hidden").get<bool>());
    EXPECT_TRUE(hasName(app, "PATH") && hasName(app, "TESTAPP_MARKER"));
    EXPECT_FALSE(hasName(app, "Path") || hasName(app, "Testapp_Marker"));

    // Any other program keeps what it inherits, names upper-cased.
    const Json helper = startAndRecord(scratch, L"helper.exe", {L"--x"}, true);
    const Json& environment = helper.at("environment");
    EXPECT_EQ(environment.at("PATH"), "C:\\inherited");
    EXPECT_EQ(environment.at("PYTHONHOME"), "C:\\python");
    EXPECT_EQ(environment.at("PYTHONPATH"), "C:\\python\\lib");
    EXPECT_EQ(environment.at("QT_QPA_PLATFORM"), "offscreen");
    EXPECT_EQ(environment.at("QT_PLUGIN_PATH"), nullptr);
    EXPECT_EQ(helper.at("currentDirectory"), toUtf8((scratch / L"app-helper.exe").native()));
    EXPECT_TRUE(helper.at("hidden").get<bool>());
    EXPECT_TRUE(hasName(helper, "PATH") && hasName(helper, "TESTAPP_MARKER"));
    EXPECT_FALSE(hasName(helper, "Path") || hasName(helper, "Testapp_Marker"));
}

TEST(IsProgramRunningFrom, MatchesTheFileAndItsFoldersButNotANameThatOnlyBeginsAlike) {
    test::ScratchFolder scratch;
    const fs::path folder = scratch / L"Helpers";
    test::prepareTestApp(folder, Json{{"afterStartMs", 20000}}, L"helper.exe");
    StartedProcess started = startProcess(folder / L"helper.exe", {}, true);
    const struct {
        fs::path location;
        bool running;
    } cases[] = {{folder / L"HELPER.EXE", true},
                 {scratch.path(), true},
                 {folder, true},
                 {scratch / L"Help", false},
                 {folder / L"helper.ex", false}};
    for (const auto& c : cases)
        EXPECT_EQ(isProgramRunningFrom(c.location), c.running) << toUtf8(c.location.native());
    ::TerminateProcess(started.process.get(), 0);
    ::WaitForSingleObject(started.process.get(), 10000);
    EXPECT_FALSE(isProgramRunningFrom(folder));
}

// A scanner that holds a freshly installed program open for a moment does not make its start fail. The
// hold outlasts the first attempt and ends before the last one; the time the start took shows that it
// came from a retry.
TEST(StartProcess, StartsAProgramThatWasHeldOpenForAMoment) {
    test::ScratchFolder scratch;
    const fs::path folder = scratch / L"app";
    test::prepareTestApp(folder, Json{{"afterStartMs", 0}}, L"helper.exe");
    FileHandle held(::CreateFileW((folder / L"helper.exe").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held.valid());
    const auto began = std::chrono::steady_clock::now();
    std::jthread scanner([&] {
        ::Sleep(400);
        held.reset();
    });
    StartedProcess started = startProcess(folder / L"helper.exe", {}, true);
    EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(250));
    EXPECT_EQ(::WaitForSingleObject(started.process.get(), 30000), WAIT_OBJECT_0);
}

TEST(StartProcess, RefusesAProgramThatCannotStart) {
    test::ScratchFolder scratch;
    try {
        (void)startProcess(scratch / L"missing.exe", {}, true);
        FAIL() << "started a missing program";
    } catch (const Error& error) {
        EXPECT_STREQ(error.what(), "Programm konnte nicht gestartet werden.");
    }
}

} // namespace
} // namespace tess
