#include "foundation/changes.hpp"
#include "foundation/disk.hpp"
#include "foundation/files.hpp"
#include "foundation/tree.hpp"
#include "foundation/paths.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <thread>
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
    ::SetFileAttributesW((folder / L"a" / L"b" / L"state.json").c_str(), FILE_ATTRIBUTE_READONLY);
    removeTree(folder / L"a");
    observeChanges(nullptr);
    ASSERT_EQ(announced.size(), 8u);
    const std::vector<std::string> expected = {"CreateDirectoryW new a",
                                               "CreateDirectoryW new b",
                                               "CreateFileW new",
                                               "MoveFileExW new state.json",
                                               "SetFileAttributesW existing state.json",
                                               "DeleteFileW existing state.json",
                                               "RemoveDirectoryW existing b",
                                               "RemoveDirectoryW existing a"};
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_TRUE(announced[i].starts_with(expected[i])) << announced[i] << " / " << expected[i];
}

// Changes made on two threads at once each get a number of their own: the sweep's kill point n must
// mean one change, whichever thread makes it.
std::mutex numbersLock;
std::vector<std::uint64_t> numbers;
void recordNumber(std::uint64_t number, const char*, const wchar_t*) {
    std::lock_guard lock(numbersLock);
    numbers.push_back(number);
}

TEST(Changes, ChangesOnTwoThreadsAreNumberedOnceEach) {
    test::ScratchFolder folder;
    numbers.clear();
    observeChanges(recordNumber);
    const auto announce = [&folder] {
        for (int i = 0; i < 20000; ++i)
            beforeChange("test", folder.path());
    };
    std::thread other(announce);
    announce();
    other.join();
    observeChanges(nullptr);
    std::sort(numbers.begin(), numbers.end());
    ASSERT_EQ(numbers.size(), 40000u);
    EXPECT_EQ(std::adjacent_find(numbers.begin(), numbers.end()), numbers.end()) << "a number came twice";
    EXPECT_EQ(numbers.back() - numbers.front(), 39999u);
}

} // namespace
} // namespace tess
