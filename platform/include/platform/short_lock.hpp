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
// std::scoped_lock); a thread waits for a change made under it with a
// ShortCondition.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
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

// A condition variable for a ShortLock (or any lock) that signals only when
// a thread waits: most changes made under a busy lock have no one waiting
// for them, and then a notify costs one load.  A waiter counts itself while
// it holds the lock, so a notifier that made its change under that lock and
// then notifies (holding it or not) sees the count.  Waits take a predicate.
class ShortCondition {
public:
    template <class Lock, class Predicate>
    void wait(Lock &lock, Predicate ready)
    {
        while (!ready()) {
            Waiting counted(waiters_);
            cv_.wait(lock);
        }
    }

    template <class Lock, class Clock, class Duration, class Predicate>
    bool wait_until(Lock &lock, const std::chrono::time_point<Clock, Duration> &deadline, Predicate ready)
    {
        while (!ready()) {
            Waiting counted(waiters_);
            if (cv_.wait_until(lock, deadline) == std::cv_status::timeout)
                return ready();
        }
        return true;
    }

    template <class Lock, class Rep, class Period, class Predicate>
    bool wait_for(Lock &lock, const std::chrono::duration<Rep, Period> &timeout, Predicate ready)
    {
        return wait_until(lock, std::chrono::steady_clock::now() + timeout, ready);
    }

    void notify_all()
    {
        if (waiters_.load(std::memory_order_seq_cst) != 0)
            cv_.notify_all();
    }

    void notify_one()
    {
        if (waiters_.load(std::memory_order_seq_cst) != 0)
            cv_.notify_one();
    }

private:
    struct Waiting {
        explicit Waiting(std::atomic<int> &n) : count(n) { count.fetch_add(1, std::memory_order_seq_cst); }
        ~Waiting() { count.fetch_sub(1, std::memory_order_seq_cst); }
        std::atomic<int> &count;
    };

    std::condition_variable_any cv_;
    std::atomic<int> waiters_{0};
};

}  // namespace platform
