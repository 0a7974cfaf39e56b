// Dispatcher objects, spin locks and IRQL, each with a second thread.
#include "fixture.hpp"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using testing_support::KernelTest;

namespace {

class Sync : public KernelTest {};

std::vector<std::string> Rules(const std::vector<platform::Violation> &found)
{
    std::vector<std::string> rules;
    for (const auto &v : found)
        rules.push_back(v.rule);
    return rules;
}

LARGE_INTEGER Relative(LONGLONG milliseconds)
{
    LARGE_INTEGER t;
    t.QuadPart = -milliseconds * 10000;
    return t;
}

}  // namespace

TEST_F(Sync, NotificationEventReleasesEveryWaiterAndStaysSignalled)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] {
            EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr));
            ++woken;
        });
    LARGE_INTEGER zero{};
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero));
    EXPECT_EQ(0, KeSetEvent(&event, IO_NO_INCREMENT, FALSE));
    for (auto &t : waiters)
        t.join();
    EXPECT_EQ(3, woken.load());
    EXPECT_EQ(1, KeReadStateEvent(&event));
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero));
    EXPECT_EQ(1, KeResetEvent(&event));
    EXPECT_EQ(0, KeReadStateEvent(&event));
}

TEST_F(Sync, SynchronizationEventReleasesOneWaiterPerSet)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::atomic<int> woken{0};
    std::thread a([&] {
        LARGE_INTEGER t = Relative(2000);
        if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &t) == STATUS_SUCCESS)
            ++woken;
    });
    std::thread b([&] {
        LARGE_INTEGER t = Relative(2000);
        if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &t) == STATUS_SUCCESS)
            ++woken;
    });
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    // Exactly one waiter is released; the event is reset by that wait.
    while (woken.load() == 0)
        std::this_thread::yield();
    LARGE_INTEGER shortWait = Relative(50);
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &shortWait));
    EXPECT_EQ(1, woken.load());
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    a.join();
    b.join();
    EXPECT_EQ(2, woken.load());
    EXPECT_EQ(0, KeReadStateEvent(&event));
}

// Two threads pass a turn back and forth through two synchronization
// events many times: a set that came while its waiter was between its last
// look at the event and its sleep must still wake it (a bounded wait fails
// the test where a lost wake would hang it).
TEST_F(Sync, SynchronizationEventsPassATurnBackAndForthWithoutALostWake)
{
    constexpr int kTurns = 20000;
    KEVENT ping, pong;
    KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
    std::atomic<int> lost{0};
    std::thread other([&] {
        for (int i = 0; i < kTurns; ++i) {
            LARGE_INTEGER t = Relative(10000);
            if (KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, &t) != STATUS_SUCCESS)
                ++lost;
            EXPECT_EQ(0, KeSetEvent(&pong, IO_NO_INCREMENT, FALSE));
        }
    });
    for (int i = 0; i < kTurns && lost.load() == 0; ++i) {
        EXPECT_EQ(0, KeSetEvent(&ping, IO_NO_INCREMENT, FALSE));
        LARGE_INTEGER t = Relative(10000);
        if (KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, &t) != STATUS_SUCCESS)
            ++lost;
    }
    other.join();
    EXPECT_EQ(0, lost.load());
    EXPECT_EQ(0, KeReadStateEvent(&ping));
    EXPECT_EQ(0, KeReadStateEvent(&pong));
}

TEST_F(Sync, TimedWaitTimesOut)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER t = Relative(20);
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &t));
}

TEST_F(Sync, SpinLockExcludesASecondThreadAndRaisesIrql)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0;  // guarded by lock only
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
            long seen = counter;
            counter = seen + 1;
            KeReleaseSpinLock(&lock, old);
        }
        EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(40000, counter);
}

TEST_F(Sync, InterlockedCountersAreAtomicAcrossThreads)
{
    LONG count = 0;
    auto work = [&] {
        for (int i = 0; i < 50000; ++i) {
            InterlockedIncrement(&count);
            InterlockedDecrement(&count);
            InterlockedIncrement(&count);
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(100000, count);
}

TEST_F(Sync, IrqlIsPerThreadAndItsRulesAreEnforced)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(PASSIVE_LEVEL, old);
    std::thread([] { EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql()); }).join();
    {
        platform::ViolationTrap trap;
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, TRUE);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);  // a wait at DISPATCH_LEVEL
        PVOID p = ExAllocatePoolWithTag(PagedPool, 16, platform::MakeTag("Test"));
        EXPECT_EQ(nullptr, p);  // paged pool at DISPATCH_LEVEL
        LARGE_INTEGER zero{};
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero);  // a zero-timeout probe is legal
        auto violations = TakeViolations();
        ASSERT_EQ(2u, violations.size());
        EXPECT_EQ("IRQL_NOT_LESS_OR_EQUAL", violations[0].rule);
        EXPECT_EQ("IRQL_NOT_LESS_OR_EQUAL", violations[1].rule);
    }
    KeLowerIrql(old);

    platform::ViolationTrap trap;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KeReleaseSpinLock(&lock, PASSIVE_LEVEL);  // never acquired
    auto violations = TakeViolations();
    ASSERT_EQ(1u, violations.size());
    EXPECT_EQ("SPIN_LOCK_NOT_OWNED", violations[0].rule);
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());

    // Taken twice by one thread; taken at DPC level from below it and
    // released there; released to an IRQL above DISPATCH_LEVEL; another
    // thread's lock released: each named, and the thread's count of locks
    // held right again after each.
    KIRQL first, second;
    KeAcquireSpinLock(&lock, &first);
    KeAcquireSpinLock(&lock, &second);
    EXPECT_EQ(DISPATCH_LEVEL, second);
    KeReleaseSpinLock(&lock, first);
    KeAcquireSpinLockAtDpcLevel(&lock);
    KeReleaseSpinLockFromDpcLevel(&lock);
    KeAcquireSpinLock(&lock, &first);
    KeReleaseSpinLock(&lock, HIGH_LEVEL);
    EXPECT_EQ(HIGH_LEVEL, KeGetCurrentIrql());
    KeLowerIrql(PASSIVE_LEVEL);
    std::thread([&] { KeAcquireSpinLockAtDpcLevel(&lock); }).join();  // taken and never given back
    platform::AtDispatchLevel([&] { KeReleaseSpinLockFromDpcLevel(&lock); });
    EXPECT_EQ((std::vector<std::string>{"SPIN_LOCK_ALREADY_OWNED", "IRQL_NOT_GREATER_OR_EQUAL",
                                        "IRQL_NOT_LESS_OR_EQUAL", "IRQL_NOT_LESS_OR_EQUAL", "IRQL_NOT_GREATER_OR_EQUAL",
                                        "SPIN_LOCK_NOT_OWNED"}),
              Rules(TakeViolations()));
    KEVENT set;
    KeInitializeEvent(&set, NotificationEvent, TRUE);
    LARGE_INTEGER shortWait = Relative(1);
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&set, Executive, KernelMode, FALSE, &shortWait));
    EXPECT_TRUE(TakeViolations().empty()) << "a wait holding no spin lock";
}

TEST_F(Sync, SetEventWithWaitHoldsTheDispatcherUntilTheWaitThatMustFollow)
{
    KEVENT set, awaited;
    KeInitializeEvent(&set, NotificationEvent, FALSE);
    KeInitializeEvent(&awaited, SynchronizationEvent, FALSE);
    std::thread waker([&] {
        KeWaitForSingleObject(&set, Executive, KernelMode, FALSE, nullptr);
        KeSetEvent(&awaited, IO_NO_INCREMENT, FALSE);
    });
    KeSetEvent(&set, IO_NO_INCREMENT, TRUE);
    EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql()) << "returns holding the dispatcher";
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&awaited, Executive, KernelMode, FALSE, nullptr));
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql()) << "the wait returns at the IRQL from before";
    waker.join();

    platform::ViolationTrap trap;
    KeSetEvent(&set, IO_NO_INCREMENT, TRUE);
    KeClearEvent(&set);  // anything but a wait
    auto violations = TakeViolations();
    ASSERT_EQ(1u, violations.size());
    EXPECT_EQ("SET_EVENT_WAIT_NOT_FOLLOWED_BY_WAIT", violations[0].rule);
    EXPECT_NE(std::string::npos, violations[0].detail.find("KeClearEvent"));
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
    platform::AtDispatchLevel([&] { KeSetEvent(&set, IO_NO_INCREMENT, TRUE); });  // Wait TRUE above APC_LEVEL
    violations = TakeViolations();
    ASSERT_EQ(1u, violations.size());
    EXPECT_EQ("IRQL_NOT_LESS_OR_EQUAL", violations[0].rule);
}
