/*
 * Threads as the kernel sees them: a program's thread inside a system call
 * or a system thread; critical regions (normal kernel APCs disabled); fast
 * mutexes; and the rule that a lock held at PASSIVE_LEVEL in a program's
 * thread must be held inside a critical region.
 *
 * Why the rule: SuspendThread (a debugger, or any program with the right to
 * the thread) stops a thread by a normal kernel APC, which Windows delivers
 * at PASSIVE_LEVEL unless the thread is in a critical region. A program
 * thread suspended while holding a driver's lock blocks every other thread
 * that needs it, in every process.
 */
#include "internal.h"

#include <algorithm>
#include <map>
#include <thread>

namespace
{
struct ThreadState
{
    int programDepth = 0;
    LONG apcDisable = 0;
    LONG specialApcDisable = 0;
    std::vector<PFAST_MUTEX> owned;
};
thread_local ThreadState self;

PKTHREAD CurrentThread()
{
    return (PKTHREAD)&self;
}

/*
 * Synchronization events used as locks: a thread that consumed an event's
 * signal with a wait and then sets the event itself was holding it as a
 * lock (a completion event is set by whoever completes, not by its
 * waiter). Recorded: which thread consumed each event, and whether it was
 * then protected from suspension.
 */
struct Consumed
{
    std::thread::id thread;
    bool exposed;
};
std::mutex consumedLock;
std::map<PKEVENT, Consumed> consumed;

/* A program thread at PASSIVE_LEVEL with normal kernel APCs enabled can be
   suspended where it stands. */
bool Suspendable()
{
    return self.programDepth > 0 && KeGetCurrentIrql() == PASSIVE_LEVEL && self.apcDisable == 0;
}

void CheckReturn(LONG apcDisable, size_t ownedMutexes, const char* who)
{
    if (self.apcDisable != apcDisable)
        hk::ReportViolation(std::string(who) +
                            " returns with a critical region entered or left unbalanced "
                            "(APC_INDEX_MISMATCH)");
    if (self.owned.size() != ownedMutexes)
        hk::ReportViolation(std::string(who) + " returns holding a fast mutex");
}
} // namespace

namespace hk
{

ProgramThreadScope::ProgramThreadScope()
    : outerDepth_(self.programDepth), apcDisable_(self.apcDisable), ownedMutexes_(self.owned.size())
{
    self.programDepth++;
}

ProgramThreadScope::~ProgramThreadScope()
{
    CheckReturn(apcDisable_, ownedMutexes_, "a program's request");
    self.programDepth = outerDepth_;
}

bool InProgramThread()
{
    return self.programDepth > 0;
}

SystemThreadScope::SystemThreadScope()
    : outerDepth_(self.programDepth), apcDisable_(self.apcDisable), ownedMutexes_(self.owned.size())
{
    self.programDepth = 0;
}

SystemThreadScope::~SystemThreadScope()
{
    CheckReturn(apcDisable_, ownedMutexes_, "a system request");
    self.programDepth = outerDepth_;
}

void ResetThreadChecks()
{
    std::lock_guard<std::mutex> guard(consumedLock);
    consumed.clear();
}

void NoteEventInitialized(PKEVENT event)
{
    std::lock_guard<std::mutex> guard(consumedLock);
    consumed.erase(event);
}

void NoteEventConsumed(PKEVENT event)
{
    std::lock_guard<std::mutex> guard(consumedLock);
    consumed[event] = Consumed{std::this_thread::get_id(), Suspendable()};
}

void NoteEventSet(PKEVENT event)
{
    bool exposed = false;
    {
        std::lock_guard<std::mutex> guard(consumedLock);
        auto found = consumed.find(event);
        if (found == consumed.end())
            return;
        if (found->second.thread == std::this_thread::get_id())
            exposed = found->second.exposed || Suspendable();
        consumed.erase(found);
    }
    if (exposed)
        ReportViolation("a synchronization event used as a lock was held at PASSIVE_LEVEL in a "
                        "program's thread outside a critical region");
}

} // namespace hk

extern "C" VOID KeEnterCriticalRegion(VOID)
{
    if (KeGetCurrentIrql() > APC_LEVEL)
        hk::ReportViolation("KeEnterCriticalRegion above APC_LEVEL");
    self.apcDisable++;
}

extern "C" VOID KeLeaveCriticalRegion(VOID)
{
    if (KeGetCurrentIrql() > APC_LEVEL)
        hk::ReportViolation("KeLeaveCriticalRegion above APC_LEVEL");
    if (self.apcDisable == 0)
    {
        hk::ReportViolation("KeLeaveCriticalRegion without KeEnterCriticalRegion");
        return;
    }
    self.apcDisable--;
}

extern "C" BOOLEAN KeAreApcsDisabled(VOID)
{
    return (BOOLEAN)(self.apcDisable > 0 || self.specialApcDisable > 0 ||
                     KeGetCurrentIrql() >= APC_LEVEL);
}

/* A guarded region holds back every kernel APC, the I/O manager's
   completion APCs included. */
extern "C" VOID KeEnterGuardedRegion(VOID)
{
    if (KeGetCurrentIrql() > APC_LEVEL)
        hk::ReportViolation("KeEnterGuardedRegion above APC_LEVEL");
    self.specialApcDisable++;
}

extern "C" VOID KeLeaveGuardedRegion(VOID)
{
    if (self.specialApcDisable == 0)
    {
        hk::ReportViolation("KeLeaveGuardedRegion without KeEnterGuardedRegion");
        return;
    }
    if (--self.specialApcDisable == 0)
        hk::DeliverCompletionApcs();
}

bool hk::InGuardedRegion()
{
    return self.specialApcDisable > 0;
}

/* The unsafe forms leave the APC state to the caller, who must already be
   in a critical region or at APC_LEVEL. */
static void CheckFastMutexCaller(const char* routine)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql > APC_LEVEL)
        hk::ReportViolation(std::string(routine) + " above APC_LEVEL");
    else if (irql < APC_LEVEL && self.apcDisable == 0)
        hk::ReportViolation(std::string(routine) +
                            " at PASSIVE_LEVEL outside a critical region: a suspended holder "
                            "would block every thread that needs the lock");
}

extern "C" VOID FASTCALL ExAcquireFastMutexUnsafe(PFAST_MUTEX FastMutex)
{
    CheckFastMutexCaller("ExAcquireFastMutexUnsafe");
    if (__atomic_load_n(&FastMutex->Owner, __ATOMIC_RELAXED) == CurrentThread())
        hk::ReportViolation("fast mutex acquired again by the thread that holds it (a deadlock)");
    if (__atomic_sub_fetch(&FastMutex->Count, 1, __ATOMIC_SEQ_CST) != 0)
    {
        __atomic_add_fetch(&FastMutex->Contention, 1, __ATOMIC_RELAXED);
        KeWaitForSingleObject(&FastMutex->Event, Executive, KernelMode, FALSE, NULL);
    }
    __atomic_store_n(&FastMutex->Owner, CurrentThread(), __ATOMIC_RELAXED);
    self.owned.push_back(FastMutex);
}

extern "C" VOID FASTCALL ExReleaseFastMutexUnsafe(PFAST_MUTEX FastMutex)
{
    CheckFastMutexCaller("ExReleaseFastMutexUnsafe");
    auto mine = std::find(self.owned.begin(), self.owned.end(), FastMutex);
    if (mine == self.owned.end())
    {
        hk::ReportViolation("fast mutex released by a thread that does not hold it");
        return;
    }
    self.owned.erase(mine);
    __atomic_store_n(&FastMutex->Owner, (PKTHREAD)NULL, __ATOMIC_RELAXED);
    if (__atomic_add_fetch(&FastMutex->Count, 1, __ATOMIC_SEQ_CST) != 1)
        KeSetEvent(&FastMutex->Event, IO_NO_INCREMENT, FALSE);
}
