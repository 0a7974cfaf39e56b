// irql.cpp - IRQL, spin locks, dispatcher objects and time.
//
// IRQL is per thread.  Spin locks raise to DISPATCH_LEVEL and spin on an
// atomic; events and waits are real (one dispatcher lock; a waiting thread
// is linked into the object's wait list, as Windows links its wait blocks,
// and setting the object wakes the threads waiting on it alone), so a driver
// that waits for something no one will set hangs here as it would on
// Windows - tests bound such waits with timeouts of their own.
#include "image.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace platform::detail {

constinit thread_local ThreadState tThread;

bool RequirePassiveLevel(const char *routine)
{
    KIRQL irql = ThreadIrql();
    if (irql == PASSIVE_LEVEL)
        return true;
    ViolateF("IRQL_NOT_LESS_OR_EQUAL", "%s called at IRQL %u; it must be called at PASSIVE_LEVEL", routine, irql);
    return false;
}

platform::ShortLock &DispatcherLock()
{
    static platform::ShortLock lock;
    return lock;
}

}  // namespace platform::detail

namespace {

// A thread waiting on a dispatcher object: linked into the object's
// WaitListHead (under the dispatcher lock) for as long as it waits.  Whoever
// signals the object marks and wakes the threads on its list; a thread never
// sleeps on a lock another object's signal would wake.
struct WaitBlock {
    LIST_ENTRY link{};              // first: a list entry is its block's address
    std::mutex mutex;               // taken after the dispatcher lock, never before
    std::condition_variable woken;
    bool signalled = false;         // under mutex
};

void LinkWaitBlock(LIST_ENTRY *head, LIST_ENTRY *entry)
{
    entry->Flink = head;
    entry->Blink = head->Blink;
    head->Blink->Flink = entry;
    head->Blink = entry;
}

void UnlinkWaitBlock(LIST_ENTRY *entry)
{
    entry->Blink->Flink = entry->Flink;
    entry->Flink->Blink = entry->Blink;
    entry->Flink = entry->Blink = entry;
}

WaitBlock &ThisThreadsWaitBlock()
{
    static thread_local WaitBlock block;
    return block;
}

// Wakes every thread waiting on the object.  Caller holds the dispatcher lock.
void WakeWaiters(DISPATCHER_HEADER *header)
{
    LIST_ENTRY *head = &header->WaitListHead;
    for (LIST_ENTRY *e = head->Flink; e != head; e = e->Flink) {
        auto *w = reinterpret_cast<WaitBlock *>(e);  // the link is the block's first member
        {
            std::lock_guard guard(w->mutex);
            w->signalled = true;
        }
        w->woken.notify_one();
    }
}

}  // namespace

using namespace platform::detail;

// Called by every routine that may not come between KeSetEvent(Wait TRUE)
// and the wait that must follow it, when one did.
void platform::detail::ReportWaitNext(const char *routine)
{
    ThreadState &t = Thread();
    t.waitNextPending = false;
    t.irql = t.waitNextIrql;
    ViolateF("SET_EVENT_WAIT_NOT_FOLLOWED_BY_WAIT",
             "%s called after KeSetEvent with Wait TRUE; the next call must be KeWaitForSingleObject", routine);
}

namespace {

// A spin lock holds 0 when free and the owner's token when held: the
// address of the owner's thread state, odd.
inline ULONG_PTR TokenOf(ThreadState &t) { return reinterpret_cast<ULONG_PTR>(&t) | 1; }

// Takes the lock at DISPATCH_LEVEL (false: the thread holds it already).
inline bool AcquireAtDpc(ThreadState &t, PKSPIN_LOCK lock)
{
    if (t.irql < DISPATCH_LEVEL)
        ViolateF("IRQL_NOT_GREATER_OR_EQUAL", "spin lock %p acquired at DPC level from IRQL %u", (void *)lock,
                 t.irql);
    ULONG_PTR me = TokenOf(t);
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) == me) {
        ViolateF("SPIN_LOCK_ALREADY_OWNED", "spin lock %p acquired twice by one thread", (void *)lock);
        return false;
    }
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
            break;
        while (__atomic_load_n(lock, __ATOMIC_RELAXED) != 0)
            std::this_thread::yield();
    }
    ++t.spinLocksHeld;
    return true;
}

inline void ReleaseFromDpc(ThreadState &t, PKSPIN_LOCK lock)
{
    ULONG_PTR owner = __atomic_load_n(lock, __ATOMIC_RELAXED);
    if (owner != TokenOf(t)) {
        ViolateF("SPIN_LOCK_NOT_OWNED", "spin lock %p released by a thread that does not hold it", (void *)lock);
        return;
    }
    if (t.irql != DISPATCH_LEVEL)
        ViolateF("IRQL_NOT_LESS_OR_EQUAL", "spin lock %p released at IRQL %u", (void *)lock, t.irql);
    --t.spinLocksHeld;
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}

// The spin lock routines take a short way when no rule can be broken: the
// IRQL is what the routine expects, no KeSetEvent(Wait TRUE) awaits its
// wait, and the lock is free (to take) or the caller's (to release).  Every
// other case goes the checked way, which finds what is wrong, or spins.

[[gnu::noinline]] KIRQL AcquireSpinLockChecked(ThreadState &t, PKSPIN_LOCK lock)
{
    CheckNoWaitNext("KeAcquireSpinLock");
    KIRQL old = t.irql;
    if (old > DISPATCH_LEVEL)
        ViolateF("IRQL_NOT_LESS_OR_EQUAL", "KeAcquireSpinLock at IRQL %u", old);
    if (old < DISPATCH_LEVEL)
        TrimPageableCode();
    t.irql = DISPATCH_LEVEL;
    AcquireAtDpc(t, lock);
    return old;
}

[[gnu::noinline]] void ReleaseSpinLockChecked(ThreadState &t, PKSPIN_LOCK lock, KIRQL newIrql)
{
    ReleaseFromDpc(t, lock);
    if (newIrql > DISPATCH_LEVEL)
        ViolateF("IRQL_NOT_LESS_OR_EQUAL", "KeReleaseSpinLock to IRQL %u", newIrql);
    t.irql = newIrql;
}

[[gnu::noinline]] void AcquireAtDpcChecked(ThreadState &t, PKSPIN_LOCK lock)
{
    CheckNoWaitNext("KeAcquireSpinLockAtDpcLevel");
    AcquireAtDpc(t, lock);
}

[[gnu::noinline]] void ReleaseFromDpcChecked(ThreadState &t, PKSPIN_LOCK lock) { ReleaseFromDpc(t, lock); }

inline bool TryTake(ThreadState &t, PKSPIN_LOCK lock)
{
    ULONG_PTR expected = 0;
    return __atomic_compare_exchange_n(lock, &expected, TokenOf(t), false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED);
}

inline bool HeldBy(ThreadState &t, PKSPIN_LOCK lock) { return __atomic_load_n(lock, __ATOMIC_RELAXED) == TokenOf(t); }

}  // namespace

extern "C" {

KIRQL NTAPI KeGetCurrentIrql(void) { return ThreadIrql(); }

// KfRaiseIrql and KfLowerIrql, the checked way: the rules, and the trim of
// pageable code (as Driver Verifier trims it when the IRQL rises).
[[gnu::noinline]] static KIRQL RaiseIrqlChecked(ThreadState &t, KIRQL newIrql)
{
    CheckNoWaitNext("KeRaiseIrql");
    KIRQL old = t.irql;
    if (newIrql < old)
        ViolateF("IRQL_NOT_GREATER_OR_EQUAL", "KeRaiseIrql to %u from %u", newIrql, old);
    if (newIrql >= DISPATCH_LEVEL && old < DISPATCH_LEVEL)
        TrimPageableCode();
    t.irql = newIrql;
    return old;
}

[[gnu::noinline]] static void LowerIrqlChecked(ThreadState &t, KIRQL newIrql)
{
    CheckNoWaitNext("KeLowerIrql");
    KIRQL old = t.irql;
    if (newIrql > old)
        ViolateF("IRQL_NOT_LESS_OR_EQUAL", "KeLowerIrql to %u from %u", newIrql, old);
    t.irql = newIrql;
}

KIRQL FASTCALL KfRaiseIrql(KIRQL newIrql)
{
    ThreadState &t = Thread();
    const KIRQL old = t.irql;
    if (newIrql >= old && !t.waitNextPending && !gPageableResident.load(std::memory_order_relaxed)) [[likely]] {
        t.irql = newIrql;
        return old;
    }
    return RaiseIrqlChecked(t, newIrql);
}

void FASTCALL KfLowerIrql(KIRQL newIrql)
{
    ThreadState &t = Thread();
    if (newIrql <= t.irql && !t.waitNextPending) [[likely]] {
        t.irql = newIrql;
        return;
    }
    LowerIrqlChecked(t, newIrql);
}

KIRQL NTAPI KeRaiseIrqlToDpcLevel(void) { return KfRaiseIrql(DISPATCH_LEVEL); }

void NTAPI KeInitializeSpinLock(PKSPIN_LOCK lock) { __atomic_store_n(lock, 0, __ATOMIC_RELEASE); }

void FASTCALL KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock)
{
    ThreadState &t = Thread();
    if (t.irql >= DISPATCH_LEVEL && !t.waitNextPending && TryTake(t, lock)) [[likely]] {
        ++t.spinLocksHeld;
        return;
    }
    AcquireAtDpcChecked(t, lock);
}

void FASTCALL KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock)
{
    ThreadState &t = Thread();
    if (t.irql == DISPATCH_LEVEL && HeldBy(t, lock)) [[likely]] {
        --t.spinLocksHeld;
        __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
        return;
    }
    ReleaseFromDpcChecked(t, lock);
}

KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK lock)
{
    ThreadState &t = Thread();
    const KIRQL old = t.irql;
    // Pageable code to trim (as Driver Verifier trims it when the IRQL
    // rises) also goes the checked way.
    if (old <= DISPATCH_LEVEL && !t.waitNextPending &&
        (old == DISPATCH_LEVEL || !gPageableResident.load(std::memory_order_relaxed)) && TryTake(t, lock)) [[likely]] {
        t.irql = DISPATCH_LEVEL;
        ++t.spinLocksHeld;
        return old;
    }
    return AcquireSpinLockChecked(t, lock);
}

void FASTCALL KfReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql)
{
    ThreadState &t = Thread();
    if (t.irql == DISPATCH_LEVEL && newIrql <= DISPATCH_LEVEL && HeldBy(t, lock)) [[likely]] {
        --t.spinLocksHeld;
        __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
        t.irql = newIrql;
        return;
    }
    ReleaseSpinLockChecked(t, lock, newIrql);
}

// ---------------------------------------------------------------------------
// Events

static constexpr UCHAR kEventObjectBase = 0;  // Header.Type is the EVENT_TYPE

void NTAPI KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state)
{
    std::lock_guard guard(DispatcherLock());
    event->Header.Type = UCHAR(kEventObjectBase + type);
    event->Header.Absolute = 0;
    event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    event->Header.Inserted = 0;
    event->Header.SignalState = state ? 1 : 0;
    event->Header.WaitListHead.Flink = event->Header.WaitListHead.Blink = &event->Header.WaitListHead;
}

LONG NTAPI KeSetEvent(PRKEVENT event, KPRIORITY, BOOLEAN wait)
{
    CheckNoWaitNext("KeSetEvent");
    if (ThreadIrql() > DISPATCH_LEVEL)
        ViolateF("IRQL_NOT_LESS_OR_EQUAL", "KeSetEvent %p at IRQL %u", (void *)event, ThreadIrql());
    else if (wait && ThreadIrql() > APC_LEVEL) {
        ViolateF("IRQL_NOT_LESS_OR_EQUAL", "KeSetEvent %p with Wait TRUE at IRQL %u", (void *)event, ThreadIrql());
        wait = FALSE;
    }
    LONG previous;
    {
        std::lock_guard guard(DispatcherLock());
        previous = event->Header.SignalState;
        event->Header.SignalState = 1;
        WakeWaiters(&event->Header);
    }
    if (wait) {
        // The caller keeps the dispatcher at DISPATCH_LEVEL until its wait.
        ThreadState &t = Thread();
        t.waitNextPending = true;
        t.waitNextIrql = t.irql;
        t.irql = DISPATCH_LEVEL;
    }
    return previous;
}

LONG NTAPI KeResetEvent(PRKEVENT event)
{
    CheckNoWaitNext("KeResetEvent");
    std::lock_guard guard(DispatcherLock());
    LONG previous = event->Header.SignalState;
    event->Header.SignalState = 0;
    return previous;
}

void NTAPI KeClearEvent(PRKEVENT event)
{
    CheckNoWaitNext("KeClearEvent");
    std::lock_guard guard(DispatcherLock());
    event->Header.SignalState = 0;
}

LONG NTAPI KeReadStateEvent(PRKEVENT event)
{
    std::lock_guard guard(DispatcherLock());
    return event->Header.SignalState;
}

// Converts a kernel timeout (negative: relative, 100 ns units; positive:
// absolute system time) into a steady-clock deadline.
static std::chrono::steady_clock::time_point Deadline(const LARGE_INTEGER &timeout)
{
    using namespace std::chrono;
    auto now = steady_clock::now();
    if (timeout.QuadPart <= 0)
        return now + nanoseconds(-timeout.QuadPart * 100);
    LARGE_INTEGER systemNow;
    KeQuerySystemTime(&systemNow);
    LONGLONG delta = timeout.QuadPart - systemNow.QuadPart;
    return now + nanoseconds(delta > 0 ? delta * 100 : 0);
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER timeout)
{
    auto *header = static_cast<DISPATCHER_HEADER *>(object);
    bool zeroTimeout = timeout && timeout->QuadPart == 0;
    ThreadState &t = Thread();
    if (t.waitNextPending) {
        // The wait that KeSetEvent(Wait TRUE) announced: it starts at
        // DISPATCH_LEVEL and returns at the IRQL the thread had before.
        t.waitNextPending = false;
        t.irql = t.waitNextIrql;
    }
    if (ThreadIrql() > DISPATCH_LEVEL || (ThreadIrql() == DISPATCH_LEVEL && !zeroTimeout))
        ViolateF("IRQL_NOT_LESS_OR_EQUAL", "KeWaitForSingleObject on %p at IRQL %u with %s", object,
                 ThreadIrql(), timeout ? "a timeout" : "no timeout");
    if (ThreadSpinLocksHeld() > 0 && !zeroTimeout)
        ViolateF("WAIT_WHILE_HOLDING_SPIN_LOCK", "KeWaitForSingleObject on %p while holding a spin lock", object);

    std::unique_lock guard(DispatcherLock());
    if (header->SignalState <= 0) {
        if (zeroTimeout)
            return STATUS_TIMEOUT;
        const auto deadline = timeout ? Deadline(*timeout) : std::chrono::steady_clock::time_point::max();
        WaitBlock &w = ThisThreadsWaitBlock();
        LinkWaitBlock(&header->WaitListHead, &w.link);
        bool timedOut = false;
        while (header->SignalState <= 0 && !timedOut) {
            // The wait block's lock is taken before the dispatcher lock is
            // let go: a signal given in between finds it and marks it.
            std::unique_lock sleep(w.mutex);
            guard.unlock();
            if (timeout)
                timedOut = !w.woken.wait_until(sleep, deadline, [&w] { return w.signalled; });
            else
                w.woken.wait(sleep, [&w] { return w.signalled; });
            w.signalled = false;
            sleep.unlock();
            guard.lock();
        }
        UnlinkWaitBlock(&w.link);
        if (header->SignalState <= 0)
            return STATUS_TIMEOUT;
    }
    if (header->Type == SynchronizationEvent)
        header->SignalState = 0;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER interval)
{
    CheckNoWaitNext("KeDelayExecutionThread");
    if (ThreadIrql() > APC_LEVEL)
        ViolateF("IRQL_NOT_LESS_OR_EQUAL", "KeDelayExecutionThread at IRQL %u", ThreadIrql());
    std::this_thread::sleep_until(Deadline(*interval));
    return STATUS_SUCCESS;
}

void NTAPI KeStallExecutionProcessor(ULONG microseconds)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(microseconds);
    while (std::chrono::steady_clock::now() < until) {
    }
}

// ---------------------------------------------------------------------------
// Time

// The performance counter runs at 10 MHz from the host's steady clock.
LARGE_INTEGER NTAPI KeQueryPerformanceCounter(PLARGE_INTEGER frequency)
{
    using namespace std::chrono;
    static const auto origin = steady_clock::now();
    if (frequency)
        frequency->QuadPart = 10'000'000;
    LARGE_INTEGER now;
    now.QuadPart = duration_cast<nanoseconds>(steady_clock::now() - origin).count() / 100;
    return now;
}

void NTAPI KeQuerySystemTime(PLARGE_INTEGER currentTime)
{
    using namespace std::chrono;
    // 100 ns units since 1601-01-01.
    constexpr LONGLONG kEpochDelta = 116444736000000000LL;
    currentTime->QuadPart =
        duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100 + kEpochDelta;
}

void NTAPI KeBugCheckEx(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4)
{
    std::fprintf(stderr, "*** STOP: 0x%08X (0x%lX, 0x%lX, 0x%lX, 0x%lX)\n", code, p1, p2, p3, p4);
    std::fflush(stderr);
    std::abort();
}

}  // extern "C"

void platform::AtDispatchLevel(const std::function<void()> &fn)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    fn();
    KeLowerIrql(old);
}
