#include "foundation/error.hpp"
#include "foundation/files.hpp"
#include "foundation/identity.hpp"
#include "foundation/paths.hpp"
#include "foundation/handles.hpp"
#include "foundation/text.hpp"
#include "support/links.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

namespace tess {
namespace {
namespace fs = std::filesystem;

std::wstring driveFolderOfLength(size_t length) {
    std::wstring path = L"C:\\";
    while (path.size() < length)
        path += L'a';
    return path;
}

TEST(ExtendedPath, PrefixesFrom240Characters) {
    EXPECT_EQ(extendedPath(driveFolderOfLength(239), false).native(), driveFolderOfLength(239));
    EXPECT_EQ(extendedPath(driveFolderOfLength(240), false).native(), L"\\\\?\\" + driveFolderOfLength(240));
    EXPECT_EQ(extendedPath(L"C:\\short", true).native(), L"\\\\?\\C:\\short");
    EXPECT_EQ(extendedPath(L"\\\\?\\C:\\x", true).native(), L"\\\\?\\C:\\x");

    std::wstring unc = L"\\\\server\\share\\";
    while (unc.size() < 240)
        unc += L'u';
    EXPECT_EQ(extendedPath(unc, false).native(), L"\\\\?\\UNC\\" + unc.substr(2));
    EXPECT_EQ(extendedPath(L"\\\\server\\share\\x", true).native(), L"\\\\?\\UNC\\server\\share\\x");
}

std::string installPathOutcome(const std::wstring& path) {
    try {
        return toUtf8(checkInstallPath(path).native());
    } catch (const FinalizeError& e) {
        return "FinalizeError " + std::to_string(e.windowsError) + " " + std::to_string(e.attempts);
    }
}

TEST(CheckInstallPath, RefusesUnfitPathsAndNormalisesOthers) {
    const std::string refused = "FinalizeError 123 0";
    struct Case {
        std::wstring path;
        std::string expected;
    } cases[] = {
        {L"", refused},
        {L"C:\\", refused},
        {L"C:/", refused},
        {L"\\\\.\\C:\\x", refused},
        {L"//./C:/x", refused},
        {std::wstring(L"C:\\a\0b", 6), refused},
        {L"C:/a/b/../c/", "\\\\?\\C:\\a\\c"},
        {L"C:\\a\\.\\c", "\\\\?\\C:\\a\\c"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(installPathOutcome(c.path), c.expected) << toUtf8(c.path);
    try {
        checkInstallPath(L"");
    } catch (const FinalizeError& e) {
        EXPECT_TRUE(std::string(e.what()).ends_with(" Installationspfad ist ungültig."));
    }
}

TEST(RefuseReparsePoints, RefusesLinksOnTheWayAndPassesMissingComponents) {
    EXPECT_NO_THROW(refuseReparsePoints(L"C:\\does-not-exist\\a\\b.txt"));
    EXPECT_NO_THROW(refuseReparsePoints(test::linkTarget() / L"keep.txt"));
    for (const fs::path& path : {test::linkToTarget(), test::linkToTarget() / L"keep.txt",
                                 test::linkToTarget() / L"missing" / L"x"}) {
        try {
            refuseReparsePoints(path);
            ADD_FAILURE() << "not refused: " << path.string();
        } catch (const Error& e) {
            EXPECT_EQ(std::string(e.what()), "Verzeichnisverknüpfungen sind hier nicht erlaubt.");
        }
    }
}

TEST(RefuseReparsePoints, BelowARootLooksOnlyAtTheComponentsAfterIt) {
    struct Case {
        fs::path root;
        fs::path path;
        bool refused;
    };
    const Case cases[] = {
        {test::linksRoot(), test::linkToTarget() / L"keep.txt", true},
        {test::linksRoot(), test::linkTarget() / L"keep.txt", false},
        // The caller vouches for the root itself.
        {test::linkToTarget(), test::linkToTarget() / L"keep.txt", false},
        // A path outside the root is looked at whole.
        {test::linkTarget(), test::linkToTarget() / L"keep.txt", true},
    };
    for (const Case& c : cases) {
        std::string message = test::failureOf([&] { refuseReparsePointsBelow(c.root, c.path); });
        EXPECT_EQ(message, c.refused ? "Verzeichnisverknüpfungen sind hier nicht erlaubt." : "")
            << c.root.string() << " " << c.path.string();
    }
}

TEST(WriteFileDurably, ReplacesWholeAndLeavesNoTemporaryFile) {
    test::ScratchFolder folder;
    fs::path target = folder / L"deep" / L"chain" / L"state.json";
    writeFileDurably(target, "first");
    writeFileDurably(target, "second");
    EXPECT_EQ(test::readBytes(target), "second");
    writeFileDurably(folder / L"empty.json", "");
    EXPECT_EQ(fs::file_size(folder / L"empty.json"), 0u);
    for (const auto& entry : fs::recursive_directory_iterator(folder.path()))
        EXPECT_NE(entry.path().extension(), L".tmp") << entry.path().string();
}

TEST(WriteFileDurably, KeepsTheOldFileWhenTheRenameFails) {
    test::ScratchFolder folder;
    fs::path target = folder / L"locked.json";
    writeFileDurably(target, "old");
    // Open without delete sharing: the replacing rename must fail and the old content stay.
    FileHandle lock(
        ::CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(lock.valid());
    try {
        writeFileDurably(target, "new");
        ADD_FAILURE() << "rename over a locked file succeeded";
    } catch (const Error& e) {
        EXPECT_EQ(std::string(e.what()), "Dateiwechsel fehlgeschlagen; vorheriger Stand bleibt erhalten.");
    }
    lock.reset();
    EXPECT_EQ(test::readBytes(target), "old");
}

TEST(WriteFileDurably, RefusesALinkedFolderBeforeWriting) {
    try {
        writeFileDurably(test::linkToTarget() / L"new.json", "x");
        ADD_FAILURE() << "no exception";
    } catch (const Error& e) {
        EXPECT_EQ(std::string(e.what()), "Verzeichnisverknüpfungen sind hier nicht erlaubt.");
    }
    EXPECT_FALSE(fs::exists(test::linkTarget() / L"new.json"));
}

// Wine stores DACLs without enforcing them and loses the protected flag on read-back; the two
// entries are what can be compared there (in any order).
TEST(EnsurePrivateDirectory, SetsOwnerAndSystemEntriesOnly) {
    test::ScratchFolder folder;
    fs::path target = folder / L"a" / L"private";
    ensurePrivateDirectory(target);
    ensurePrivateDirectory(target); // existing folder: applied again, no error
    ASSERT_TRUE(fs::is_directory(target));

    PACL dacl = nullptr;
    LocalMemory<PSECURITY_DESCRIPTOR> descriptor;
    ASSERT_EQ(::GetNamedSecurityInfoW(target.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                      nullptr, &dacl, nullptr, descriptor.put()),
              ERROR_SUCCESS);
    ASSERT_NE(dacl, nullptr);
    std::set<std::string> sids;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        ASSERT_TRUE(::GetAce(dacl, i, &ace));
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_EQ(allowed->Mask & FILE_ALL_ACCESS, static_cast<DWORD>(FILE_ALL_ACCESS));
        LocalMemory<LPWSTR> sid;
        ASSERT_TRUE(::ConvertSidToStringSidW(&allowed->SidStart, sid.put()));
        sids.insert(toUtf8(sid.get()));
    }
    EXPECT_EQ(sids, (std::set<std::string>{currentUserSid(), "S-1-5-18"}));
}

TEST(KnownPaths, RootsLieBelowLocalAppData) {
    fs::path local = localAppDataPath();
    EXPECT_TRUE(fs::is_directory(local));
    EXPECT_EQ(installRootPath(), local / L"Programs" / L"CORVALIS" / L"TESSARO");
    EXPECT_EQ(dataRootPath(), local / L"CORVALIS" / L"TESSARO" / L"Updater");
    EXPECT_EQ(executablePath().filename(), L"foundation_tests.exe");
}

} // namespace
} // namespace tess
