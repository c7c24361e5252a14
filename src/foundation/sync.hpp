// A lock and a condition on Windows' slim reader/writer lock and condition variable, for the few threads
// a pass runs. The runtime's own mutex and condition wait on kernel events; these wait in user mode
// where they can (and under Wine without a round trip to its server), which matters when a wake-up per
// file is the work. Neither owns anything to release.
#pragma once

#include <windows.h>

#include <chrono>
#include <mutex>

namespace tess {

// Usable with std::lock_guard and std::unique_lock.
class SlimMutex {
  public:
    SlimMutex() = default;
    SlimMutex(const SlimMutex&) = delete;
    SlimMutex& operator=(const SlimMutex&) = delete;

    void lock() noexcept { ::AcquireSRWLockExclusive(&lock_); }
    void unlock() noexcept { ::ReleaseSRWLockExclusive(&lock_); }
    [[nodiscard]] PSRWLOCK native() noexcept { return &lock_; }

  private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};

class SlimCondition {
  public:
    SlimCondition() = default;
    SlimCondition(const SlimCondition&) = delete;
    SlimCondition& operator=(const SlimCondition&) = delete;

    template <class Predicate> void wait(std::unique_lock<SlimMutex>& lock, Predicate ready) {
        while (!ready())
            ::SleepConditionVariableSRW(&condition_, lock.mutex()->native(), INFINITE, 0);
    }

    // False when `ready` still does not hold once `wait` has passed.
    template <class Predicate>
    bool waitFor(std::unique_lock<SlimMutex>& lock, std::chrono::milliseconds wait, Predicate ready) {
        const auto deadline = std::chrono::steady_clock::now() + wait;
        while (!ready()) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            ::SleepConditionVariableSRW(&condition_, lock.mutex()->native(), static_cast<DWORD>(left.count()),
                                        0);
        }
        return true;
    }

    void notifyOne() noexcept { ::WakeConditionVariable(&condition_); }
    void notifyAll() noexcept { ::WakeAllConditionVariable(&condition_); }

  private:
    CONDITION_VARIABLE condition_ = CONDITION_VARIABLE_INIT;
};

} // namespace tess
