#include "foundation/disk.hpp"
#include "foundation/paths.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

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

} // namespace
} // namespace tess
