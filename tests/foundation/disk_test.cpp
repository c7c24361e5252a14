#include "foundation/changes.hpp"
#include "foundation/disk.hpp"
#include "foundation/files.hpp"
#include "foundation/tree.hpp"
#include "foundation/paths.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tess {
namespace {
namespace fs = std::filesystem;

// Test binaries see msvcrt as Windows has it: the standard library finds nothing at a \\?\ path.
TEST(Disk, LongPathsThatTheStandardLibraryCannotSeeUnderWindowsMsvcrt) {
    test::ScratchFolder folder;
    fs::path deep = folder.path();
    for (int i = 0; i < 10; ++i)
        deep /= std::wstring(30, static_cast<wchar_t>(L'a' + i));
    createDirectories(deep);
    const fs::path file = extendedPath(deep / L"file.txt", true);
    test::writeBytes(file, "abc");
    ASSERT_GT(file.native().size(), 300u);
    EXPECT_FALSE(fs::exists(file));

    EXPECT_TRUE(pathExists(file));
    EXPECT_TRUE(isRegularFile(file));
    EXPECT_TRUE(isDirectory(deep));
    EXPECT_EQ(fileSize(file), 3u);
    renameEntry(file, deep / L"moved.txt");
    EXPECT_TRUE(sameEntry(deep / L"moved.txt", extendedPath(deep / L"moved.txt", true)));
    EXPECT_TRUE(removeEntry(deep / L"moved.txt"));
    EXPECT_FALSE(removeEntry(deep / L"moved.txt"));
    try {
        fileSize(file);
        ADD_FAILURE() << "size of a missing file";
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(e.code(), std::error_code(ERROR_FILE_NOT_FOUND, std::system_category()));
        EXPECT_EQ(e.path1(), file);
        EXPECT_NE(std::string(e.what()).find("file_size"), std::string::npos) << e.what();
    }
}

// Each change is announced once, before it is made (its target does not exist yet), and only folders
// that are missing are created: the kill-point sweep ends the program at exactly these points.
std::vector<std::string> announced;
void recordChange(std::uint64_t, const char* call, const wchar_t* target) {
    const bool exists = ::GetFileAttributesW(target) != INVALID_FILE_ATTRIBUTES;
    announced.push_back(std::string(call) + (exists ? " existing " : " new ") +
                        fs::path(target).filename().string());
}

TEST(Changes, EachChangeIsAnnouncedBeforeItIsMade) {
    test::ScratchFolder folder;
    announced.clear();
    observeChanges(recordChange);
    createDirectories(folder / L"a" / L"b");
    createDirectories(folder / L"a" / L"b");
    writeFileDurably(folder / L"a" / L"b" / L"state.json", "{}");
    removeTree(folder / L"a");
    observeChanges(nullptr);
    ASSERT_EQ(announced.size(), 7u);
    const std::vector<std::string> expected = {
        "CreateDirectoryW new a",     "CreateDirectoryW new b",          "CreateFileW new",
        "MoveFileExW new state.json", "DeleteFileW existing state.json", "RemoveDirectoryW existing b",
        "RemoveDirectoryW existing a"};
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_TRUE(announced[i].starts_with(expected[i])) << announced[i] << " / " << expected[i];
}

} // namespace
} // namespace tess
