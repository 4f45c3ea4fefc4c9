/*
 * IOCTL_HID_READ_REPORT requests held until the device goes away or the class
 * driver cancels them. Cancellation follows the usual rule: only the side that
 * takes the cancel routine back (non-NULL) may complete the request.
 */
#include "standin.h"

namespace
{

VOID NTAPI CancelReadReport(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    PSTANDIN_DEVICE device = StandInDevice(DeviceObject);

    KIRQL irql;
    KeAcquireSpinLock(&device->ReadLock, &irql);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&device->ReadLock, irql);

    CountEvent(&STANDIN_STATE::PendingReads, -1);
    CompleteRequest(Irp, STATUS_CANCELLED, 0);
}

} // namespace

VOID InitializeReadQueue(PSTANDIN_DEVICE Device)
{
    KeInitializeSpinLock(&Device->ReadLock);
    InitializeListHead(&Device->PendingReads);
}

NTSTATUS PendReadReport(PSTANDIN_DEVICE Device, PIRP Irp)
{
    KIRQL irql;
    KeAcquireSpinLock(&Device->ReadLock, &irql);
    if (Device->Removed)
    {
        KeReleaseSpinLock(&Device->ReadLock, irql);
        return CompleteRequest(Irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    }
    IoSetCancelRoutine(Irp, CancelReadReport);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL)
    {
        KeReleaseSpinLock(&Device->ReadLock, irql);
        return CompleteRequest(Irp, STATUS_CANCELLED, 0);
    }
    IoMarkIrpPending(Irp);
    InsertTailList(&Device->PendingReads, &Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&Device->ReadLock, irql);
    CountEvent(&STANDIN_STATE::PendingReads, 1);
    return STATUS_PENDING;
}

VOID CompletePendingReads(PSTANDIN_DEVICE Device, BOOLEAN DeviceGone)
{
    LIST_ENTRY taken;
    InitializeListHead(&taken);

    // Gather under the lock, complete after releasing it.
    KIRQL irql;
    KeAcquireSpinLock(&Device->ReadLock, &irql);
    if (DeviceGone)
        Device->Removed = TRUE;
    while (!IsListEmpty(&Device->PendingReads))
    {
        PLIST_ENTRY entry = RemoveHeadList(&Device->PendingReads);
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(irp, NULL) == NULL)
        {
            // The cancel routine owns it and is waiting for the lock.
            InitializeListHead(entry);
            continue;
        }
        InsertTailList(&taken, entry);
    }
    KeReleaseSpinLock(&Device->ReadLock, irql);

    while (!IsListEmpty(&taken))
    {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&taken), IRP, Tail.Overlay.ListEntry);
        CountEvent(&STANDIN_STATE::PendingReads, -1);
        CountEvent(&STANDIN_STATE::ReadsCompletedAtRemoval, 1);
        CompleteRequest(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    }
}
