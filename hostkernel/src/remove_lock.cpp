/*
 * Remove locks, as the kernel implements them, with the checked build's
 * tag tracking: a release must match an acquisition with the same tag.
 */
#include "internal.h"

#include <map>
#include <set>
#include <unordered_map>

namespace hk
{
namespace
{
std::unordered_map<PIO_REMOVE_LOCK, std::multiset<PVOID>> heldTags;
}

void ResetRemoveLocks()
{
    std::lock_guard<std::mutex> guard(BenchLock());
    heldTags.clear();
}
} // namespace hk

using namespace hk;

extern "C" VOID IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag,
                                         ULONG MaxLockedMinutes, ULONG HighWatermark,
                                         ULONG RemlockSize)
{
    (void)AllocateTag;
    (void)MaxLockedMinutes;
    (void)HighWatermark;
    if (RemlockSize != sizeof(IO_REMOVE_LOCK))
        ReportViolation("remove lock initialised with a wrong size");
    Lock->Common.Removed = FALSE;
    Lock->Common.IoCount = 1;
    KeInitializeEvent(&Lock->Common.RemoveEvent, SynchronizationEvent, FALSE);
    std::lock_guard<std::mutex> guard(BenchLock());
    heldTags[Lock].clear();
}

extern "C" NTSTATUS IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File,
                                          ULONG Line, ULONG RemlockSize)
{
    (void)File;
    (void)Line;
    (void)RemlockSize;
    InterlockedIncrement(&RemoveLock->Common.IoCount);
    if (RemoveLock->Common.Removed)
    {
        if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0)
            KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
        return STATUS_DELETE_PENDING;
    }
    std::lock_guard<std::mutex> guard(BenchLock());
    heldTags[RemoveLock].insert(Tag);
    return STATUS_SUCCESS;
}

extern "C" VOID IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize)
{
    (void)RemlockSize;
    {
        std::lock_guard<std::mutex> guard(BenchLock());
        auto& tags = heldTags[RemoveLock];
        auto found = tags.find(Tag);
        if (found == tags.end())
            ReportViolation("remove lock released with a tag that does not hold it");
        else
            tags.erase(found);
    }
    LONG count = InterlockedDecrement(&RemoveLock->Common.IoCount);
    if (count < 0)
        ReportViolation("remove lock released more often than acquired");
    if (count == 0)
        KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
}

extern "C" VOID IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag,
                                             ULONG RemlockSize)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        ReportViolation("IoReleaseRemoveLockAndWait above PASSIVE_LEVEL");
    if (RemoveLock->Common.Removed)
        ReportViolation("IoReleaseRemoveLockAndWait called twice");
    RemoveLock->Common.Removed = TRUE;
    InterlockedDecrement(&RemoveLock->Common.IoCount);
    IoReleaseRemoveLockEx(RemoveLock, Tag, RemlockSize);
    KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE, NULL);
    std::lock_guard<std::mutex> guard(BenchLock());
    heldTags.erase(RemoveLock);
}
