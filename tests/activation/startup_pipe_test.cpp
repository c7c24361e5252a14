#include "activation/startup_pipe.hpp"
#include "activation_support.hpp"
#include "foundation/crypto.hpp"
#include "foundation/error.hpp"
#include "foundation/identity.hpp"
#include "foundation/text.hpp"

#include <gtest/gtest.h>
#include <aclapi.h>
#include <sddl.h>

namespace tess {
namespace {
namespace fs = std::filesystem;

std::string freshName() {
    return "TESSARO-Updater-" + randomId();
}

TEST(MessageType, AMessageOfTheWrongShapeHasNoType) {
    for (const char* text : {R"([{"type":"startup-ready"}])", R"({"type":1})", R"({"type":null})", R"("x")"})
        EXPECT_EQ(messageType(parse(text)), "") << text;
    EXPECT_EQ(messageType(parse(R"({"type":"startup-ready"})")), "startup-ready");
}

TEST(PipePathFor, AcceptsOnlyUpdateConnectionNames) {
    const std::string prefix = "TESSARO-Updater-";
    struct Case {
        std::string name;
        bool valid;
    } cases[] = {
        {prefix, true},
        {prefix + std::string(83, 'a'), true},
        {prefix + std::string(84, 'a'), false},
        {prefix + "AZaz09-", true},
        {prefix + "a_b", false},
        {prefix + "a b", false},
        {prefix + "\xC3\xA4", false},
        {prefix + "a\\b", false},
        {"tessaro-updater-abc", false},
        {"TESSARO-Updater", false},
        {"", false},
    };
    for (const auto& c : cases) {
        if (c.valid) {
            EXPECT_EQ(pipePathFor(c.name), L"\\\\.\\pipe\\" + toWide(c.name)) << c.name.size();
            continue;
        }
        try {
            (void)pipePathFor(c.name);
            ADD_FAILURE() << "accepted " << c.name;
        } catch (const Error& error) {
            EXPECT_STREQ(error.what(), "Ungültige Updateverbindung.") << c.name;
        }
    }
}

FileHandle connectTo(const std::string& name) {
    return FileHandle(::CreateFileW(pipePathFor(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
}

void write(HANDLE pipe, const std::string& bytes) {
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
}

std::string failureOf(HANDLE pipe, std::uint32_t timeoutMs) {
    try {
        (void)readMessage(pipe, timeoutMs);
        return "";
    } catch (const std::exception& error) {
        return error.what();
    }
}

TEST(StartupPipe, TheExpectedClientDeliversOneDocumentPerWrite) {
    const std::string name = freshName();
    StartupPipe pipe = createStartupPipe(name);
    FileHandle client = connectTo(name);
    ASSERT_TRUE(client.valid());
    ASSERT_TRUE(awaitClient(pipe, ::GetCurrentProcessId(), 5000));

    write(client.get(), R"({"buildId":"b","profileSchema":1,"type":"startup-ready"})");
    EXPECT_EQ(readMessage(pipe.pipe.get(), 5000),
              (Json{{"buildId", "b"}, {"profileSchema", 1}, {"type", "startup-ready"}}));
    write(client.get(), R"({"a":1}{"b":2})");
    EXPECT_EQ(failureOf(pipe.pipe.get(), 5000), "JSON-Dokument ist unvollstaendig oder ungueltig.");
    client.reset();
    EXPECT_EQ(failureOf(pipe.pipe.get(), 5000), "Ungültige Startbestätigung.");
}

TEST(StartupPipe, AClientThatSendsNothingTimesOutAndNothingStaysPending) {
    const std::string name = freshName();
    StartupPipe pipe = createStartupPipe(name);
    FileHandle client = connectTo(name);
    ASSERT_TRUE(awaitClient(pipe, ::GetCurrentProcessId(), 5000));
    const ULONGLONG started = ::GetTickCount64();
    EXPECT_EQ(failureOf(pipe.pipe.get(), 15000), "Startbestätigung ist ausgeblieben.");
    EXPECT_GE(::GetTickCount64() - started, 14900u);
    // The cancelled read consumed nothing: a later message arrives whole.
    write(client.get(), R"({"type":"late"})");
    EXPECT_EQ(readMessage(pipe.pipe.get(), 5000), Json({{"type", "late"}}));
}

TEST(StartupPipe, AnotherProcessOfTheSameUserConnectingFirstIsRefused) {
    test::ScratchFolder scratch;
    test::prepareTestApp(scratch / L"other", Json{{"afterStartMs", 3000}}, L"other.exe");
    const std::string name = freshName();
    StartupPipe pipe = createStartupPipe(name);
    test::RunningApp intruder;
    {
        test::ScopedVariable variable(L"CORVALIS_LAUNCHER_PIPE", toWide(name));
        intruder.started = startProcess(scratch / L"other" / L"other.exe", {}, true);
    }
    EXPECT_FALSE(awaitClient(pipe, ::GetCurrentProcessId(), 30000));
}

TEST(StartupPipe, NoClientWithinTheTimeOutIsFalseAndTheConnectIsCancelled) {
    const std::string name = freshName();
    StartupPipe pipe = createStartupPipe(name);
    const ULONGLONG started = ::GetTickCount64();
    EXPECT_FALSE(awaitClient(pipe, ::GetCurrentProcessId(), 500));
    EXPECT_GE(::GetTickCount64() - started, 490u);
    FileHandle late = connectTo(name);
    ASSERT_TRUE(late.valid());
    EXPECT_TRUE(awaitClient(pipe, ::GetCurrentProcessId(), 5000));
}

TEST(StartupPipe, ANameInUseCannotBeCreatedAgain) {
    const std::string name = freshName();
    StartupPipe first = createStartupPipe(name);
    try {
        (void)createStartupPipe(name);
        FAIL() << "second pipe of one name";
    } catch (const Error& error) {
        EXPECT_STREQ(error.what(), "Startbestätigung nicht verfügbar.");
    }
}

TEST(StartupPipe, OnlyTheCurrentUserMayOpenIt) {
    StartupPipe pipe = createStartupPipe(freshName());
    PACL dacl = nullptr;
    LocalMemory<PSECURITY_DESCRIPTOR> descriptor;
    ASSERT_EQ(::GetSecurityInfo(pipe.pipe.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                nullptr, &dacl, nullptr, descriptor.put()),
              ERROR_SUCCESS);
    ASSERT_NE(dacl, nullptr);
    ASSERT_EQ(dacl->AceCount, 1);
    ACCESS_ALLOWED_ACE* ace = nullptr;
    ASSERT_TRUE(::GetAce(dacl, 0, reinterpret_cast<void**>(&ace)));
    EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    LocalMemory<LPWSTR> sid;
    ASSERT_TRUE(::ConvertSidToStringSidW(&ace->SidStart, sid.put()));
    EXPECT_EQ(toUtf8(sid.get()), currentUserSid());
}

} // namespace
} // namespace tess
