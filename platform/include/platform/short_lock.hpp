// short_lock.hpp - a mutual-exclusion lock for short critical sections.
//
// Taking a free ShortLock is one compare-and-swap and releasing it one
// exchange, both inline: a fraction of what std::mutex costs through
// pthreads, which matters on the paths every request takes (the I/O
// manager's records, the pool's block map, a device model's state).  A
// thread that finds it held spins briefly, then sleeps on the lock word
// (a Linux futex) until the holder lets it go; fairness is not promised.
//
// It meets the Lockable requirements (std::lock_guard, std::unique_lock,
// std::scoped_lock) but cannot be used with std::condition_variable: a lock
// that a condition variable waits with stays a std::mutex.
#pragma once

#include <atomic>
#include <cstdint>

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {

class ShortLock {
public:
    ShortLock() = default;
    ShortLock(const ShortLock &) = delete;
    ShortLock &operator=(const ShortLock &) = delete;

    void lock() noexcept
    {
        uint32_t expected = kFree;
        if (!state_.compare_exchange_strong(expected, kHeld, std::memory_order_acquire, std::memory_order_relaxed))
            LockContended();
    }

    bool try_lock() noexcept
    {
        uint32_t expected = kFree;
        return state_.compare_exchange_strong(expected, kHeld, std::memory_order_acquire, std::memory_order_relaxed);
    }

    void unlock() noexcept
    {
        if (state_.exchange(kFree, std::memory_order_release) == kHeldWithSleepers)
            Futex(FUTEX_WAKE_PRIVATE, 1);
    }

private:
    static constexpr uint32_t kFree = 0;
    static constexpr uint32_t kHeld = 1;
    static constexpr uint32_t kHeldWithSleepers = 2;

    void LockContended() noexcept
    {
        for (int spin = 0; spin < 64; ++spin) {
            uint32_t expected = kFree;
            if (state_.load(std::memory_order_relaxed) == kFree &&
                state_.compare_exchange_weak(expected, kHeld, std::memory_order_acquire, std::memory_order_relaxed))
                return;
#if defined(__i386__) || defined(__x86_64__)
            __builtin_ia32_pause();
#endif
        }
        // Whoever takes it from here on marks it as having sleepers, so that
        // its release wakes one; a woken thread that loses the race sleeps again.
        while (state_.exchange(kHeldWithSleepers, std::memory_order_acquire) != kFree)
            Futex(FUTEX_WAIT_PRIVATE, kHeldWithSleepers);
    }

    void Futex(int op, uint32_t value) noexcept
    {
        static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
        syscall(SYS_futex, reinterpret_cast<uint32_t *>(&state_), op, value, nullptr, nullptr, 0);
    }

    std::atomic<uint32_t> state_{kFree};
};

}  // namespace platform
