/*
 * The cancel spin lock and IoCancelIrp.
 */
#include "internal.h"

#include <atomic>
#include <thread>

namespace
{
KSPIN_LOCK cancelLock = 0;
std::atomic<std::thread::id> cancelOwner{};
} // namespace

extern "C" VOID IoAcquireCancelSpinLock(PKIRQL Irql)
{
    if (cancelOwner.load() == std::this_thread::get_id())
        hk::ReportViolation("cancel spin lock acquired twice by one thread");
    *Irql = KfAcquireSpinLock(&cancelLock);
    cancelOwner = std::this_thread::get_id();
}

extern "C" VOID IoReleaseCancelSpinLock(KIRQL Irql)
{
    if (cancelOwner.load() != std::this_thread::get_id())
        hk::ReportViolation("cancel spin lock released by a thread that does not hold it");
    cancelOwner = std::thread::id();
    KfReleaseSpinLock(&cancelLock, Irql);
}

namespace hk
{
/* IoCancelIrp's body, entered with the cancel spin lock held; leaves it released. */
BOOLEAN CancelIrpLocked(PIRP Irp, KIRQL Irql)
{
    /* Stored atomically: a completion may be reading it without the lock. */
    __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_SEQ_CST);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, NULL);
    if (!routine)
    {
        IoReleaseCancelSpinLock(Irql);
        return FALSE;
    }
    Irp->CancelIrql = Irql;
    /* The routine releases the cancel spin lock. */
    routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
    if (cancelOwner.load() == std::this_thread::get_id())
        ReportViolation("cancel routine returned holding the cancel spin lock");
    return TRUE;
}
} // namespace hk

extern "C" BOOLEAN IoCancelIrp(PIRP Irp)
{
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    return hk::CancelIrpLocked(Irp, irql);
}
