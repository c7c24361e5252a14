#include "foundation/error.hpp"
#include "foundation/identity.hpp"
#include "foundation/handles.hpp"
#include "foundation/paths.hpp"
#include "foundation/tree.hpp"
#include "foundation/text.hpp"
#include "support/links.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <malloc.h>

#include <algorithm>
#include <thread>

namespace tess {
namespace {
namespace fs = std::filesystem;

TEST(Identity, SidAndMutexName) {
    std::string sid = currentUserSid();
    EXPECT_EQ(sid.rfind("S-1-", 0), 0u);
    EXPECT_EQ(instanceMutexName(), toWide("Global\\CORVALIS.TESSARO.Installer." + sid));
}

TEST(Identity, ProcessOwnerTest) {
    EXPECT_TRUE(isProcessOfCurrentUser(::GetCurrentProcessId()));
    EXPECT_FALSE(isProcessOfCurrentUser(0xFFFFFFF0u)); // no such process
}

TEST(InstanceMutex, SecondInteractiveStartIsRefusedUntilTheFirstEnds) {
    KernelHandle first = acquireInstanceMutex();
    try {
        acquireInstanceMutex();
        ADD_FAILURE() << "second owner accepted";
    } catch (const Error& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Eine TESSARO-Installation oder Versionsverwaltung ist bereits geöffnet.");
    }
    first.reset();
    EXPECT_TRUE(acquireInstanceMutex().valid());
}

TEST(InstanceMutex, HelperWhoseParentEndedTakesTheMutexAtOnce) {
    test::ChildProcess child = test::startChild(L"cmd.exe /c exit 0");
    ASSERT_TRUE(child.wait(30000).has_value());
    KernelHandle mutex = acquireHelperInstanceMutex(child.id);
    EXPECT_TRUE(mutex.valid());
}

TEST(InstanceMutex, HelperWaitsForItsParentToEnd) {
    test::ChildProcess parent = test::startChild(L"cmd.exe /c ping -n 3 127.0.0.1 >NUL");
    ULONGLONG started = ::GetTickCount64();
    KernelHandle mutex = acquireHelperInstanceMutex(parent.id);
    EXPECT_TRUE(mutex.valid());
    EXPECT_TRUE(parent.wait(0).has_value()) << "mutex taken while the parent still ran";
    EXPECT_GE(::GetTickCount64() - started, 500u);
}

TEST(InstanceMutex, HelperWaitsForASiblingToReleaseTheMutex) {
    KernelHandle sibling = acquireInstanceMutex();
    std::thread release([&sibling] {
        ::Sleep(1200);
        sibling.reset();
    });
    // A mutex held by another thread of this process still counts as taken for CreateMutexW's
    // ERROR_ALREADY_EXISTS; the helper must keep trying instead of giving up.
    KernelHandle mutex = acquireHelperInstanceMutex(0xFFFFFFF0u);
    release.join();
    EXPECT_TRUE(mutex.valid());
}

TEST(RemoveTree, RemovesDeepAndLongTrees) {
    test::ScratchFolder folder;
    fs::path deep = folder.path();
    for (int i = 0; i < 12; ++i)
        deep /= std::wstring(30, static_cast<wchar_t>(L'a' + i));
    fs::path file = fs::path(L"\\\\?\\" + deep.native()) / L"file.txt";
    createDirectories(fs::path(L"\\\\?\\" + deep.native()));
    test::writeBytes(file, "x");
    ASSERT_GT(file.native().size(), 300u);
    fs::path readOnly = folder / L"readonly.txt";
    test::writeBytes(readOnly, "r");
    ::SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY);

    removeTree(folder / L"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaa");
    removeTree(readOnly);
    EXPECT_TRUE(fs::is_empty(folder.path()));
    EXPECT_NO_THROW(removeTree(folder / L"missing"));
}

TEST(RemoveTree, RefusesATreeWithALinkAndLeavesEverything) {
    try {
        removeTree(test::linksRoot());
        ADD_FAILURE() << "tree with a link removed";
    } catch (const Error& e) {
        EXPECT_EQ(std::string(e.what()), "Verzeichnisverknüpfungen sind hier nicht erlaubt.");
    }
    EXPECT_TRUE(fs::exists(test::linkTarget() / L"keep.txt"));
    EXPECT_TRUE(fs::exists(test::linkTarget() / L"inner" / L"keep.txt"));
    EXPECT_TRUE(fs::exists(test::linkToTarget()));
}

// The links folder is shared with other subsystems' fixtures, so only its first-level link and the
// target it points at are looked at here.
TEST(WalkTree, ReportsLinksWithoutEnteringThem) {
    std::vector<std::wstring> links;
    std::vector<std::wstring> entered;
    std::vector<std::wstring> targetEntries;
    walkTree(test::linksRoot(), [&](const TreeEntry& entry) {
        const std::wstring& relative = entry.relative.native();
        if (entry.reparsePoint && relative.find(L'\\') == std::wstring::npos)
            links.push_back(relative);
        if (relative.starts_with(L"link\\"))
            entered.push_back(relative);
        if (relative.starts_with(L"target\\"))
            targetEntries.push_back(relative);
    });
    EXPECT_EQ(links, std::vector<std::wstring>{L"link"});
    EXPECT_TRUE(entered.empty());
    std::sort(targetEntries.begin(), targetEntries.end());
    EXPECT_EQ(targetEntries,
              (std::vector<std::wstring>{L"target\\inner", L"target\\inner\\keep.txt", L"target\\keep.txt"}));
}

// Empty folders are legal in a version folder, so a chain of them is walked however deep it is. The walk
// runs with 128 KB of stack left (Wine gives every thread at least 1 MB, so the rest is taken first):
// a walk that recursed once per level would overflow there long before 200 levels.
TEST(WalkTree, WalksAChainOfEmptyFoldersDeeperThanASmallStackCouldRecurse) {
    test::ScratchFolder folder;
    constexpr int depth = 200;
    fs::path deepest = extendedPath(folder.path(), true);
    for (int level = 0; level < depth; ++level) {
        deepest /= L"d";
        ASSERT_TRUE(::CreateDirectoryW(deepest.c_str(), nullptr)) << level;
    }
    struct Walk {
        fs::path root;
        int folders = 0;
        std::string failure;
    } walk{folder.path()};
    auto run = [](void* argument) -> DWORD {
        volatile char* taken = static_cast<char*>(_alloca(896 * 1024));
        taken[0] = 0;
        auto* state = static_cast<Walk*>(argument);
        try {
            walkTree(state->root, [state](const TreeEntry& entry) { state->folders += entry.directory; });
        } catch (const std::exception& e) {
            state->failure = e.what();
        }
        return 0;
    };
    KernelHandle thread(
        ::CreateThread(nullptr, 1024 * 1024, run, &walk, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    ASSERT_TRUE(thread.valid());
    ASSERT_EQ(::WaitForSingleObject(thread.get(), 120000), WAIT_OBJECT_0);
    EXPECT_EQ(walk.failure, "");
    EXPECT_EQ(walk.folders, depth);
}

} // namespace
} // namespace tess
