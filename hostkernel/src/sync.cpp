/*
 * IRQL, spin locks, events and waits on real threads.
 *
 * IRQL is tracked per thread: spin locks raise it to DISPATCH_LEVEL, and
 * the rules that depend on it (no waiting, no paged pool at DISPATCH_LEVEL)
 * are checked. Events share one mutex and condition variable; a wait that
 * never ends is reported and the test process stops, rather than hanging.
 */
#include "internal.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace
{
thread_local KIRQL currentIrql = PASSIVE_LEVEL;
std::mutex eventLock;
std::condition_variable eventChanged;
constexpr auto hangLimit = std::chrono::seconds(20);
std::atomic<long long> timeoutCapMicroseconds{0};
} // namespace

void hk::CapKernelTimeouts(std::chrono::microseconds cap)
{
    timeoutCapMicroseconds = cap.count();
}

extern "C" KIRQL KeGetCurrentIrql(void)
{
    return currentIrql;
}

extern "C" VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock)
{
    *SpinLock = 0;
}

extern "C" KIRQL KfAcquireSpinLock(PKSPIN_LOCK SpinLock)
{
    KIRQL old = currentIrql;
    if (old > DISPATCH_LEVEL)
        hk::ReportViolation("spin lock acquired above DISPATCH_LEVEL");
    currentIrql = DISPATCH_LEVEL;
    ULONG_PTR expected = 0;
    while (!__atomic_compare_exchange_n(SpinLock, &expected, (ULONG_PTR)1, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED))
    {
        expected = 0;
        std::this_thread::yield();
    }
    return old;
}

extern "C" VOID KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) != 1)
        hk::ReportViolation("spin lock released that was not held");
    __atomic_store_n(SpinLock, (ULONG_PTR)0, __ATOMIC_RELEASE);
    currentIrql = NewIrql;
}

extern "C" VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    Event->Header.Type = (UCHAR)Type;
    Event->Header.SignalState = State ? 1 : 0;
    hk::NoteEventInitialized(Event);
}

extern "C" LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    (void)Increment;
    (void)Wait;
    hk::NoteEventSet(Event);
    LONG previous;
    {
        std::lock_guard<std::mutex> guard(eventLock);
        previous = Event->Header.SignalState;
        Event->Header.SignalState = 1;
    }
    eventChanged.notify_all();
    return previous;
}

extern "C" VOID KeClearEvent(PRKEVENT Event)
{
    std::lock_guard<std::mutex> guard(eventLock);
    Event->Header.SignalState = 0;
}

extern "C" LONG KeResetEvent(PRKEVENT Event)
{
    std::lock_guard<std::mutex> guard(eventLock);
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

extern "C" LONG KeReadStateEvent(PRKEVENT Event)
{
    std::lock_guard<std::mutex> guard(eventLock);
    return Event->Header.SignalState;
}

extern "C" NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                          KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                          PLARGE_INTEGER Timeout)
{
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    PKEVENT event = (PKEVENT)Object;
    bool polls = Timeout && Timeout->QuadPart == 0;
    if (!polls && currentIrql >= DISPATCH_LEVEL)
        hk::ReportViolation("wait at DISPATCH_LEVEL");

    std::unique_lock<std::mutex> guard(eventLock);
    auto signalled = [event] { return event->Header.SignalState != 0; };
    if (polls)
    {
        if (!signalled())
            return STATUS_TIMEOUT;
    }
    else if (Timeout)
    {
        /* Relative times are negative, in 100 ns units. */
        auto wait = std::chrono::microseconds(-Timeout->QuadPart / 10);
        long long cap = timeoutCapMicroseconds;
        if (cap && wait.count() > cap)
            wait = std::chrono::microseconds(cap);
        if (!eventChanged.wait_for(guard, wait, signalled))
            return STATUS_TIMEOUT;
    }
    else if (!eventChanged.wait_for(guard, hangLimit, signalled))
    {
        guard.unlock();
        hk::ReportViolation("a wait without time-out never ended");
        std::fprintf(stderr, "stopping: a kernel wait hangs\n");
        std::abort();
    }
    if (event->Header.Type == SynchronizationEvent)
    {
        event->Header.SignalState = 0;
        guard.unlock();
        hk::NoteEventConsumed(event);
    }
    return STATUS_SUCCESS;
}
