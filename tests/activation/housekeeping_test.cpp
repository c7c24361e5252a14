#include "activation/launch.hpp"
#include "activation_support.hpp"
#include "foundation/handles.hpp"
#include "foundation/text.hpp"

#include <gtest/gtest.h>

namespace tess {
namespace {
namespace fs = std::filesystem;

constexpr std::uint64_t hour = 36000000000ull; // in 100-ns units

void ageBy(const fs::path& path, std::uint64_t age) {
    FileHandle file(::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    ASSERT_TRUE(file.valid()) << path.string();
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    const std::uint64_t then =
        ((static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime) - age;
    FILETIME time{static_cast<DWORD>(then), static_cast<DWORD>(then >> 32)};
    ASSERT_TRUE(::SetFileTime(file.get(), nullptr, nullptr, &time));
}

TEST(RemoveStaleLeftovers, RemovesOnlyWhatWasNotWrittenFor72Hours) {
    test::ScratchInstallation installation;
    const fs::path downloads = installation.client.dataRoot / L"downloads";
    const fs::path releases = installation.client.installRoot / L"releases";
    const std::string id = "00000000-0000-4000-8000-000000000a01";
    struct Case {
        fs::path path;
        bool folder;
        unsigned hours;
        bool kept;
    } cases[] = {
        {downloads / L"partial-71h.part", false, 71, true},
        {downloads / L"partial-73h.part", false, 73, false},
        {downloads / L"folder-73h", true, 73, false},
        {releases / toWide(id + "-staging-0123456789abcdef0123456789abcdef"), true, 71, true},
        {releases / toWide(id + "-staging-fedcba9876543210fedcba9876543210"), true, 73, false},
        {releases / toWide(id), true, 300, true},
    };
    for (const auto& c : cases) {
        if (c.folder)
            test::writeBytes(c.path / L"inner" / L"file.bin", "x");
        else
            test::writeBytes(c.path, "x");
        ageBy(c.path, c.hours * hour);
    }
    removeStaleLeftovers(installation.client);
    for (const auto& c : cases)
        EXPECT_EQ(fs::exists(c.path), c.kept) << c.path.filename().string();
}

TEST(RemoveStaleLeftovers, MissingFoldersAreNoError) {
    test::ScratchInstallation installation;
    fs::remove_all(installation.client.dataRoot / L"downloads");
    fs::remove_all(installation.client.installRoot / L"releases");
    EXPECT_NO_THROW(removeStaleLeftovers(installation.client));
}

// The fixture made this staging folder with a directory link inside (make-packages.sh).
TEST(RemoveStaleLeftovers, AStagingFolderHoldingALinkIsRefusedWhole) {
    test::ScratchInstallation installation;
    installation.client.installRoot = L"C:\\tessaro-activation\\housekeeping";
    const fs::path staging = installation.client.installRoot / L"releases" /
                             L"00000000-0000-4000-8000-00000000aaaa-staging-0123456789abcdef0123456789abcdef";
    ASSERT_TRUE(fs::exists(staging / L"partial.bin"));
    ageBy(staging, 73 * hour);
    EXPECT_EQ(test::failureOf([&] { removeStaleLeftovers(installation.client); }),
              "Verzeichnisverknüpfungen sind hier nicht erlaubt.");
    EXPECT_TRUE(fs::exists(staging / L"partial.bin"));
    EXPECT_TRUE(fs::exists(L"C:\\tessaro-activation\\link-target\\keep.txt"));
}

} // namespace
} // namespace tess
