/*
 * The one wait-on-mask request the port holds pending.
 *
 * The slot is touched only under the cancel spin lock, and a request leaves
 * it exactly once: whoever clears its cancel routine and gets a routine back
 * completes it; when the routine is already gone, a cancel is under way and
 * the cancel routine completes it.
 */
#include "vkserial.h"

static DRIVER_CANCEL CancelWaitOnMask;

static VOID CancelWaitOnMask(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION extension = (PPORT_EXTENSION)DeviceObject->DeviceExtension;

    /* Entered with the cancel spin lock held. */
    if (extension->PendingWait == Irp)
        extension->PendingWait = NULL;
    IoReleaseCancelSpinLock(Irp->CancelIrql);

    CompleteRequest(Irp, STATUS_CANCELLED, 0);
    IoReleaseRemoveLock(&extension->RemoveLock, Irp);
}

/*
 * Takes the pending wait out of its slot, when it was sent on FileObject
 * or FileObject is NULL; NULL when there is none to complete.
 */
static PIRP TakePendingWait(PPORT_EXTENSION Extension, PFILE_OBJECT FileObject)
{
    PIRP irp;
    KIRQL irql;

    IoAcquireCancelSpinLock(&irql);
    irp = Extension->PendingWait;
    if (irp && FileObject && IoGetCurrentIrpStackLocation(irp)->FileObject != FileObject)
        irp = NULL;
    if (irp)
    {
        Extension->PendingWait = NULL;
        if (IoSetCancelRoutine(irp, NULL) == NULL)
            irp = NULL;
    }
    IoReleaseCancelSpinLock(irql);
    return irp;
}

/*
 * A wait that ends without an event says so, as serial drivers do: the
 * event value 0, 4 bytes. With no bytes the program's variable would keep
 * whatever it held. The output length was checked before the wait was held.
 */
static VOID EndWaitWithoutEvent(PPORT_EXTENSION Extension, PIRP Irp)
{
    ULONG none = 0;

    RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, &none, sizeof(none));
    CompleteRequest(Irp, STATUS_SUCCESS, sizeof(none));
    IoReleaseRemoveLock(&Extension->RemoveLock, Irp);
}

/* From now on a wait ends at once; the one held, if any, is ended. */
VOID RefuseWaits(PPORT_EXTENSION Extension)
{
    KIRQL irql;

    IoAcquireCancelSpinLock(&irql);
    Extension->WaitsRefused = TRUE;
    IoReleaseCancelSpinLock(irql);
    CompletePendingWait(Extension);
}

NTSTATUS CompletePendingWait(PPORT_EXTENSION Extension)
{
    PIRP irp = TakePendingWait(Extension, NULL);

    if (irp)
        EndWaitWithoutEvent(Extension, irp);
    return STATUS_SUCCESS;
}

/*
 * Ends the pending wait only if it was sent on FileObject. At the close:
 * on Windows the cleanup has ended it already, but Wine sends no cleanup,
 * and a wait ended after the close would write into a program's memory
 * that it may have freed since.
 */
NTSTATUS CompletePendingWaitOf(PPORT_EXTENSION Extension, PFILE_OBJECT FileObject)
{
    PIRP irp = TakePendingWait(Extension, FileObject);

    if (irp)
        EndWaitWithoutEvent(Extension, irp);
    return STATUS_SUCCESS;
}

/*
 * Holds the request until the next event that ends a wait. An earlier wait
 * ends first, with success and the event value 0.
 */
NTSTATUS PendWaitOnMask(PPORT_EXTENSION Extension, PIRP Irp)
{
    PIRP earlier;
    NTSTATUS status;
    KIRQL irql;

    /* The request keeps the device from being removed while it waits. */
    status = IoAcquireRemoveLock(&Extension->RemoveLock, Irp);
    if (!NT_SUCCESS(status))
        return CompleteRequest(Irp, status, 0);

    CompletePendingWait(Extension);

    IoMarkIrpPending(Irp);
    IoAcquireCancelSpinLock(&irql);
    if (Irp->Cancel || Extension->WaitsRefused)
    {
        /* Cancelled before it could be held (no cancel routine will run), or
           the device is going away. */
        status = Irp->Cancel ? STATUS_CANCELLED : STATUS_DELETE_PENDING;
        IoReleaseCancelSpinLock(irql);
        CompleteRequest(Irp, status, 0);
        IoReleaseRemoveLock(&Extension->RemoveLock, Irp);
        return STATUS_PENDING;
    }
    (VOID) IoSetCancelRoutine(Irp, CancelWaitOnMask);
    /* Another wait may have slipped in since the slot was emptied. */
    earlier = Extension->PendingWait;
    Extension->PendingWait = Irp;
    if (earlier && IoSetCancelRoutine(earlier, NULL) == NULL)
        earlier = NULL;
    IoReleaseCancelSpinLock(irql);

    if (earlier)
        EndWaitWithoutEvent(Extension, earlier);
    return STATUS_PENDING;
}
