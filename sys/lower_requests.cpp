/*
 * Handing requests to the HID collection below.
 */
#include "vkserial.h"

NTSTATUS PassDown(PPORT_EXTENSION Extension, PIRP Irp)
{
    NTSTATUS status = IoAcquireRemoveLock(&Extension->RemoveLock, Irp);
    if (!NT_SUCCESS(status))
        return CompleteRequest(Irp, status, 0);

    IoSkipCurrentIrpStackLocation(Irp);
    status = IoCallDriver(Extension->LowerDevice, Irp);

    IoReleaseRemoveLock(&Extension->RemoveLock, Irp);
    return status;
}

static IO_COMPLETION_ROUTINE ForwardCompletion;

static NTSTATUS ForwardCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);

    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    /* The request comes back to the forwarder, which completes it. */
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/*
 * Sends the request down and waits until the lower stack has completed it.
 * Returns the final status, also when the lower stack first pended it; the
 * caller owns the request again and must complete it.
 */
NTSTATUS ForwardAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION extension = (PPORT_EXTENSION)DeviceObject->DeviceExtension;
    KEVENT event;

    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, ForwardCompletion, &event, TRUE, TRUE, TRUE);

    IoCallDriver(extension->LowerDevice, Irp);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    return Irp->IoStatus.Status;
}
