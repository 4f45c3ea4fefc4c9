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

/*
 * Who finishes a bounded request. A canceller marks the start of its cancel
 * and its end; the completion routine marks the request completed. When the
 * completion comes while a cancel is under way, the completion routine
 * keeps the request (the I/O manager would free it at once) and the
 * canceller completes it again when done with it, which finishes it.
 */
#define VK_REQUEST_CANCELABLE 0
#define VK_REQUEST_CANCEL_STARTED 1
#define VK_REQUEST_CANCEL_DONE 2
#define VK_REQUEST_COMPLETED 3

static IO_COMPLETION_ROUTINE BoundedRequestComplete;

/*
 * Runs as the request leaves the HID stack, before the I/O manager's final
 * processing: the I/O manager would take a request with an original file
 * object for that file's own I/O and drop a reference on it (and, on a
 * request built with an event, take the event for an object), so the file
 * object goes off the request here.
 */
static NTSTATUS BoundedRequestComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    PBOUNDED_REQUEST request = (PBOUNDED_REQUEST)Context;

    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->Tail.Overlay.OriginalFileObject = NULL;
    if (InterlockedExchange(&request->Ownership, VK_REQUEST_COMPLETED) == VK_REQUEST_CANCEL_STARTED)
        return STATUS_MORE_PROCESSING_REQUIRED;
    return STATUS_SUCCESS;
}

VOID InitializeBoundedRequest(PBOUNDED_REQUEST Request)
{
    KeInitializeEvent(&Request->Event, NotificationEvent, FALSE);
    Request->Irp = NULL;
    Request->Ownership = VK_REQUEST_CANCELABLE;
}

/*
 * Cancels the request unless it has completed or another cancel has begun.
 * Only one canceller gets past the first exchange, and only while the
 * completion routine has not run, so the request it cancels still exists.
 */
VOID CancelBoundedRequest(PBOUNDED_REQUEST Request)
{
    if (InterlockedCompareExchange(&Request->Ownership, VK_REQUEST_CANCEL_STARTED,
                                   VK_REQUEST_CANCELABLE) != VK_REQUEST_CANCELABLE)
        return;
    (VOID)IoCancelIrp(Request->Irp);
    if (InterlockedExchange(&Request->Ownership, VK_REQUEST_CANCEL_DONE) == VK_REQUEST_COMPLETED)
        IoCompleteRequest(Request->Irp, IO_NO_INCREMENT);
}

/*
 * Sends a request built with the request's event and status block, and
 * waits until it is back. A request the HID stack has not completed within
 * VK_LOWER_REQUEST_TIMEOUT_MS is cancelled, and then waited for without
 * time-out: a request built with IoBuildSynchronousFsdRequest or
 * IoBuildDeviceIoControlRequest belongs to this thread and its buffers and
 * event to this frame, so the thread may not go on before the I/O manager
 * has finished it. Returns the request's final status, or STATUS_IO_TIMEOUT
 * when it was cancelled for want of an answer.
 */
NTSTATUS CallBounded(PDEVICE_OBJECT LowerDevice, PBOUNDED_REQUEST Request)
{
    LARGE_INTEGER timeout;
    NTSTATUS status;

    IoSetCompletionRoutine(Request->Irp, BoundedRequestComplete, Request, TRUE, TRUE, TRUE);
    status = IoCallDriver(LowerDevice, Request->Irp);
    if (status != STATUS_PENDING)
        return status;

    /* Wine's hidclass returns STATUS_PENDING for writes it has already
       completed, and a wait there costs wineserver round trips even on a
       signalled event. The event is set after the status block is written. */
    if (KeReadStateEvent(&Request->Event))
        return Request->IoStatus.Status;

    timeout.QuadPart = -10000LL * VK_LOWER_REQUEST_TIMEOUT_MS;
    if (KeWaitForSingleObject(&Request->Event, Executive, KernelMode, FALSE, &timeout) !=
        STATUS_TIMEOUT)
        return Request->IoStatus.Status;

    CancelBoundedRequest(Request);
    KeWaitForSingleObject(&Request->Event, Executive, KernelMode, FALSE, NULL);
    status = Request->IoStatus.Status;
    return NT_SUCCESS(status) ? status : STATUS_IO_TIMEOUT;
}
