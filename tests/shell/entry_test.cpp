#include "foundation/crypto.hpp"
#include "foundation/json.hpp"
#include "foundation/text.hpp"
#include "shell/command_line.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

namespace tess {
namespace {

TEST(CommandLine, ParsesSwitchesAsTheEntryReadsThem) {
    struct Case {
        std::vector<std::wstring> arguments;
        std::wstring selfTest;
        std::string helper;
        bool manage;
        std::string release;
        std::uint32_t parent;
        std::string pipe;
    } cases[] = {
        {{}, L"", "", false, "", 0, ""},
        {{L"--install"}, L"", "", false, "", 0, ""},
        {{L"--install", L"abc"}, L"", "", false, "abc", 0, ""},
        {{L"--manage"}, L"", "", true, "", 0, ""},
        {{L"--uninstall"}, L"", "", true, "", 0, ""},
        {{L"--launcher-selftest", L"C:\\a.json", L"--manage"}, L"C:\\a.json", "", true, "", 0, ""},
        {{L"--replace-launcher", L"--manage", L"--parent-pid", L"42"},
         L"",
         "--replace-launcher",
         true,
         "",
         42,
         ""},
        {{L"--finish-uninstall"}, L"", "--finish-uninstall", false, "", 0, ""},
        {{L"--parent-pid", L"12abc"}, L"", "", false, "", 12, ""},
        {{L"--desktop-pipe", L"P\u00e4"}, L"", "", false, "", 0, "P\xC3\xA4"},
        {{L"--install", L"a", L"--install", L"b"}, L"", "", false, "b", 0, ""},
        {{L"--MANAGE", L"unknown", L"--parent-pid"}, L"", "", false, "", 0, ""},
        {{L"--install", L"--manage"}, L"", "", false, "--manage", 0, ""},
    };
    for (const auto& c : cases) {
        CommandLineOptions o = parseArguments(c.arguments);
        std::string label = c.arguments.empty() ? "(none)" : toUtf8(c.arguments.front());
        EXPECT_EQ(o.selfTestResultPath, c.selfTest) << label;
        EXPECT_EQ(o.helperMode, c.helper) << label;
        EXPECT_EQ(o.manageRequested, c.manage) << label;
        EXPECT_EQ(o.requestedReleaseId, c.release) << label;
        EXPECT_EQ(o.parentProcessId, c.parent) << label;
        EXPECT_EQ(o.desktopPipeName, c.pipe) << label;
    }
    EXPECT_THROW(parseArguments({L"--parent-pid", L"abc"}), std::invalid_argument);
    EXPECT_THROW(parseArguments({L"--parent-pid", L"99999999999"}), std::out_of_range);
}

TEST(CommandLine, SplitsLikeWindowsAndDropsTheProgram) {
    EXPECT_EQ(splitCommandLine(L"\"C:\\x y\\TESSARO.exe\" --install \"a b\" c\\\\\"d\""),
              (std::vector<std::wstring>{L"--install", L"a b", L"c\\d"}));
}

std::wstring quoted(const std::filesystem::path& path) {
    return L"\"" + path.native() + L"\"";
}

TEST(Entry, SelfTestAnswersWithTheExecutableHash) {
    test::ScratchFolder folder;
    auto answer = folder / L"answer.json";
    auto child =
        test::startChild(quoted(test::tessaroExe()) + L" --manage --launcher-selftest " + quoted(answer));
    ASSERT_EQ(child.wait(60000), std::optional<DWORD>(0));
    Json expected = {
        {"ok", true}, {"sha256", sha256FileHex(test::tessaroExe(), nullptr, {})}, {"version", "1.0.2"}};
    EXPECT_EQ(test::readBytes(answer), dumpCompact(expected));
}

TEST(Entry, InvalidParentPidEndsWithTheConversionErrorInTheInstallerBox) {
    auto child = test::startChild(quoted(test::tessaroExe()) + L" --parent-pid abc");
    auto box = test::dismissMessageBox(L"TESSARO Installer", 60000);
    ASSERT_TRUE(box.has_value());
    EXPECT_EQ(box->text, L"stoul");
    EXPECT_EQ(child.wait(30000), std::optional<DWORD>(1));
}

TEST(Entry, SecondManagerIsRefusedWithExitCodeOne) {
    auto first = test::startChild(quoted(test::tessaroExe()) + L" --manage");
    HWND window = test::findWindowOfClass(L"CORVALIS.NativeInstaller", 60000);
    ASSERT_NE(window, nullptr);
    wchar_t title[256] = {};
    ::GetWindowTextW(window, title, 256);
    EXPECT_EQ(std::wstring(title), L"TESSARO Setup und Versionsverwaltung 1.0.2");

    auto second = test::startChild(quoted(test::tessaroExe()) + L" --manage");
    auto box = test::dismissMessageBox(L"TESSARO Installer", 60000);
    ASSERT_TRUE(box.has_value());
    EXPECT_EQ(box->text, L"Eine TESSARO-Installation oder Versionsverwaltung ist bereits ge\u00f6ffnet.");
    EXPECT_EQ(second.wait(30000), std::optional<DWORD>(1));

    ::PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(first.wait(30000), std::optional<DWORD>(0));
}

} // namespace
} // namespace tess
