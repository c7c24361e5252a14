#include "activation_support.hpp"
#include "foundation/paths.hpp"
#include "foundation/text.hpp"
#include "foundation/tree.hpp"

#include <gtest/gtest.h>

namespace tess {
namespace {
namespace fs = std::filesystem;

// The per-user folders of the prefix as launch mode sees them; whatever this
// test adds is taken away again and what was there before comes back.
class RealFolders {
  public:
    RealFolders() : installRoot(installRootPath()), dataRoot(dataRootPath()) {
        fs::create_directories(installRoot / L"releases");
        fs::create_directories(dataRoot / L"receipts");
        for (const fs::path& file : kept())
            if (fs::exists(file))
                fs::rename(file, backup(file));
    }
    ~RealFolders() {
        for (const fs::path& added : added_)
            removeTree(added);
        for (const fs::path& file : kept()) {
            fs::remove(file);
            if (fs::exists(backup(file)))
                fs::rename(backup(file), file);
        }
    }
    RealFolders(const RealFolders&) = delete;
    RealFolders& operator=(const RealFolders&) = delete;

    fs::path launcher() const { return installRoot / L"TESSARO.exe"; }
    std::string install(const std::string& package) {
        const std::string id = test::publishedPackage(package).releaseId;
        added_.push_back(installRoot / L"releases" / toWide(id));
        added_.push_back(dataRoot / L"receipts" / toWide(id + ".json"));
        return test::installPackage(installRoot, dataRoot, package);
    }

    const fs::path installRoot;
    const fs::path dataRoot;

  private:
    std::vector<fs::path> kept() const {
        return {launcher(), dataRoot / L"current.json", dataRoot / L"journal.json",
                dataRoot / L"recovery.json"};
    }
    static fs::path backup(const fs::path& file) { return file.native() + L".activation-test"; }
    std::vector<fs::path> added_;
};

struct Observed {
    std::optional<DWORD> exitCode;
    bool window = false;
    std::optional<test::MessageBoxText> box;
};

test::ChildProcess startInstalledLauncher(const RealFolders& folders) {
    return test::startChild(L"\"" + folders.launcher().native() + L"\"");
}

// Watches the launcher until it ends or has shown both a box and the manager
// window.
Observed watch(const test::ChildProcess& child) {
    Observed observed;
    for (int poll = 0; poll < 1200 && !observed.exitCode; ++poll) {
        observed.window = observed.window || ::FindWindowW(L"CORVALIS.NativeInstaller", nullptr) != nullptr;
        if (!observed.box && ::FindWindowW(L"#32770", L"TESSARO Start"))
            observed.box = test::dismissMessageBox(L"TESSARO Start", 1000);
        if (observed.window && observed.box)
            break;
        observed.exitCode = child.wait(50);
    }
    return observed;
}

TEST(LaunchMode, TheInstalledLauncherStartsTheActiveVersionWithoutAWindowAndExitsZero) {
    ASSERT_TRUE(test::awaitNoApplication());
    test::ScratchFolder scratch;
    test::ScopedVariable recordDir(L"TESTAPP_RECORD_DIR", scratch.path().native());
    RealFolders folders;
    fs::copy_file(test::tessaroExe(), folders.launcher());
    const std::string a = folders.install("a");
    test::writeBytes(folders.dataRoot / L"current.json",
                     dumpCompact(Json{{"active", a}, {"pending", false}}));

    test::ChildProcess launcher = startInstalledLauncher(folders);
    const Observed observed = watch(launcher);
    EXPECT_EQ(observed.exitCode, std::optional<DWORD>(0));
    EXPECT_FALSE(observed.window);
    EXPECT_FALSE(observed.box.has_value()) << toUtf8(observed.box ? observed.box->text : L"");
    const Json current = parse(test::readBytes(folders.dataRoot / L"current.json"));
    EXPECT_EQ(current.at("lastGood"), a);
    EXPECT_EQ(current.at("pending"), false);
    EXPECT_FALSE(fs::exists(folders.dataRoot / L"journal.json"));
    const Json seen = test::awaitJsonFile(scratch / L"start-seen.json", 1000);
    EXPECT_EQ(seen.at("environment").at("CORVALIS_LAUNCHER_PATH"), toUtf8(folders.launcher().native()));
    EXPECT_TRUE(test::awaitNoApplication());
}

TEST(LaunchMode, AFailedLaunchIsShownAndTheManagerOpens) {
    ASSERT_TRUE(test::awaitNoApplication());
    RealFolders folders;
    fs::copy_file(test::tessaroExe(), folders.launcher());

    test::ChildProcess launcher = startInstalledLauncher(folders);
    const Observed observed = watch(launcher);
    ASSERT_TRUE(observed.box.has_value());
    EXPECT_EQ(observed.box->text, L"Bitte zuerst eine Softwareversion installieren und ausw\u00e4hlen.");
    HWND window = test::findWindowOfClass(L"CORVALIS.NativeInstaller", 60000);
    ASSERT_NE(window, nullptr);
    ::PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(launcher.wait(60000), std::optional<DWORD>(0));
}

} // namespace
} // namespace tess
