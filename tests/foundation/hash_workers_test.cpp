#include "foundation/crypto.hpp"
#include "foundation/error.hpp"
#include "foundation/hash_workers.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <new>
#include <system_error>

namespace tess {
namespace {

// The pass that uses the pool ends with the failure that kept a thread from working, and never waits
// for ever: neither for a result nor for threads started before the failure.
TEST(HashWorkers, AThreadThatCannotStartOrPrepareEndsThePassWithItsFailure) {
    test::ScratchFolder scratch;
    test::writeBytes(scratch / L"abc.txt", "abc");
    const HashPool pool = HashWorkers::poolFor(1, 3, true);
    const unsigned lastThread = pool.hashThreads + pool.flushThreads - 1;
    const std::system_error noThread(std::make_error_code(std::errc::resource_unavailable_try_again));
    struct Case {
        const char* name;
        HashWorkerSteps steps;
        std::string expected;
    } cases[] = {
        {"the last thread cannot start",
         {[&](unsigned thread) {
              if (thread == lastThread)
                  throw noThread;
          },
          {}},
         noThread.what()},
        {"no hash provider",
         {{},
          [] {
              throw Error("SHA256 fehlt.");
          }},
         "SHA256 fehlt."},
        {"no buffer",
         {{},
          [] {
              throw std::bad_alloc();
          }},
         "std::bad_alloc"},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string failure = test::failureOf([&] {
            HashWorkers workers({}, pool, std::move(c.steps));
            workers.add(scratch / L"abc.txt");
            std::optional<FileHash> result;
            while (!(result = workers.takeOldest(std::chrono::milliseconds(100))))
                ;
            if (result->error)
                std::rethrow_exception(result->error);
            EXPECT_EQ(result->sha256, sha256Hex("abc"));
        });
        EXPECT_EQ(failure, c.expected);
    }
}

} // namespace
} // namespace tess
