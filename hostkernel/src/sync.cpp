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
#include <deque>
#include <set>
#include <thread>

namespace
{
thread_local KIRQL currentIrql = PASSIVE_LEVEL;
std::mutex eventLock;
std::condition_variable eventChanged;
constexpr auto hangLimit = std::chrono::seconds(20);
std::atomic<long long> timeoutCapMicroseconds{0};

/* A thread's built requests and the completion APCs queued to it; with
   eventLock held. A thread cannot end before its built requests: it waits
   for each. */
struct RequestThread
{
    std::deque<PIRP> queued;
    std::multiset<PKEVENT> outstandingEvents;
};
thread_local RequestThread requestThread;

/* Special kernel APCs reach a thread below APC_LEVEL outside a guarded
   region. */
bool CanTakeApcs()
{
    return currentIrql < APC_LEVEL && !hk::InGuardedRegion();
}
} // namespace

namespace hk
{
void NoteThreadRequest(PIRP irp)
{
    std::lock_guard<std::mutex> guard(eventLock);
    irp->Tail.Overlay.Thread = &requestThread;
    if (irp->UserEvent)
        requestThread.outstandingEvents.insert(irp->UserEvent);
}

void QueueCompletionApc(PIRP irp)
{
    auto* thread = (RequestThread*)irp->Tail.Overlay.Thread;
    {
        std::lock_guard<std::mutex> guard(eventLock);
        thread->queued.push_back(irp);
    }
    eventChanged.notify_all();
    if (thread == &requestThread)
        DeliverCompletionApcs();
}

/* Runs without the event lock, at APC_LEVEL: the APC sets the event. */
void DeliverQueuedApcs()
{
    for (;;)
    {
        PIRP irp;
        {
            std::lock_guard<std::mutex> guard(eventLock);
            if (requestThread.queued.empty())
                return;
            irp = requestThread.queued.front();
            requestThread.queued.pop_front();
            auto& events = requestThread.outstandingEvents;
            if (irp->UserEvent && events.count(irp->UserEvent))
                events.erase(events.find(irp->UserEvent));
        }
        KIRQL irql = currentIrql;
        currentIrql = APC_LEVEL;
        FinishThreadRequest(irp);
        currentIrql = irql;
    }
}

void DeliverCompletionApcs()
{
    if (CanTakeApcs())
        DeliverQueuedApcs();
}
} // namespace hk

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
    hk::DeliverCompletionApcs();
}

extern "C" KIRQL KfRaiseIrql(KIRQL NewIrql)
{
    KIRQL old = currentIrql;
    if (NewIrql < old)
        hk::ReportViolation("KeRaiseIrql to a lower IRQL");
    currentIrql = NewIrql;
    return old;
}

extern "C" VOID KfLowerIrql(KIRQL NewIrql)
{
    if (NewIrql > currentIrql)
        hk::ReportViolation("KeLowerIrql to a higher IRQL");
    currentIrql = NewIrql;
    hk::DeliverCompletionApcs();
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

    RequestThread* me = &requestThread; /* its first touch is outside the lock */
    std::unique_lock<std::mutex> guard(eventLock);
    auto signalled = [event] { return event->Header.SignalState != 0; };
    /* A wait takes the thread's completion APCs when it can. One that
       cannot, on the event of a request of its own, would never end on
       Windows: reported, and the APC delivered all the same so the test
       goes on. */
    bool takesApcs = CanTakeApcs();
    if (!polls && !takesApcs && me->outstandingEvents.count(event))
    {
        guard.unlock();
        hk::ReportViolation("a wait at APC_LEVEL or in a guarded region for a built request's "
                            "event: the I/O manager's completion APC cannot reach the thread");
        guard.lock();
        takesApcs = true;
    }
    auto apcQueued = [takesApcs, me] { return takesApcs && !me->queued.empty(); };
    auto ready = [&] { return signalled() || apcQueued(); };

    std::chrono::microseconds wait = hangLimit;
    bool bounded = false;
    if (Timeout && !polls)
    {
        /* Relative times are negative, in 100 ns units. */
        wait = std::chrono::microseconds(-Timeout->QuadPart / 10);
        long long cap = timeoutCapMicroseconds;
        if (cap && wait.count() > cap)
            wait = std::chrono::microseconds(cap);
        bounded = true;
    }
    auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;)
    {
        if (apcQueued())
        {
            guard.unlock();
            hk::DeliverQueuedApcs();
            guard.lock();
            continue;
        }
        if (signalled())
            break;
        if (polls)
            return STATUS_TIMEOUT;
        if (!eventChanged.wait_until(guard, deadline, ready))
        {
            if (bounded)
                return STATUS_TIMEOUT;
            guard.unlock();
            hk::ReportViolation("a wait without time-out never ended");
            std::fprintf(stderr, "stopping: a kernel wait hangs\n");
            std::abort();
        }
    }
    if (event->Header.Type == SynchronizationEvent)
    {
        event->Header.SignalState = 0;
        guard.unlock();
        hk::NoteEventConsumed(event);
    }
    return STATUS_SUCCESS;
}
