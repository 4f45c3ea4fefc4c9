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
 * canceller completes it again when done with it, which finishes it. A
 * cancel that has ended leaves the request cancelable again: a cancel that
 * came before the stack below had set its cancel routine only set the
 * request's Cancel flag, and a stack that pends the request without looking
 * at the flag can be reached only by cancelling it again.
 */
#define VK_REQUEST_CANCELABLE 0
#define VK_REQUEST_CANCEL_STARTED 1
#define VK_REQUEST_CANCEL_DONE 2
#define VK_REQUEST_COMPLETED 3

static IO_COMPLETION_ROUTINE BoundedRequestComplete;

/*
 * Runs as the request leaves the HID stack, before the I/O manager's final
 * processing, possibly at DISPATCH_LEVEL: the I/O manager would take a
 * request with an original file object for that file's own I/O and drop a
 * reference on it (and, on a request built with an event, take the event
 * for an object), so the file object goes off the request here.
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
 * Cancels the request unless it has completed or another cancel is under
 * way; a request cancelled before may be cancelled again. Only one
 * canceller at a time gets past the exchange, and only while the
 * completion routine has not run, so the request it cancels still exists.
 */
VOID CancelBoundedRequest(PBOUNDED_REQUEST Request)
{
    LONG seen = VK_REQUEST_CANCELABLE, expected;

    do
    {
        expected = seen;
        seen = InterlockedCompareExchange(&Request->Ownership, VK_REQUEST_CANCEL_STARTED, expected);
    } while (seen != expected && (seen == VK_REQUEST_CANCELABLE || seen == VK_REQUEST_CANCEL_DONE));
    if (seen != expected)
        return;
    (VOID) IoCancelIrp(Request->Irp);
    if (InterlockedExchange(&Request->Ownership, VK_REQUEST_CANCEL_DONE) == VK_REQUEST_COMPLETED)
        IoCompleteRequest(Request->Irp, IO_NO_INCREMENT);
}

/*
 * Sends a request built with the request's event and status block, and
 * waits until it is back. A request the HID stack has not completed within
 * VK_LOWER_REQUEST_TIMEOUT_MS is cancelled, and cancelled again after each
 * further VK_LOWER_REQUEST_TIMEOUT_MS: whatever the stack did with an
 * earlier cancel (one that came before it had set its cancel routine, from
 * this thread or from a surprise removal), the next one reaches the routine
 * it has set since. A request built with IoBuildSynchronousFsdRequest or
 * IoBuildDeviceIoControlRequest belongs to this thread and its buffers and
 * event to this frame, so the thread may not go on before the I/O manager
 * has finished it: every wait is bounded, the waiting is not. Returns the
 * request's final status, or STATUS_IO_TIMEOUT when it was cancelled for
 * want of an answer.
 *
 * Called below APC_LEVEL outside a guarded region: the I/O manager finishes
 * the request (status block, event, free) in an APC to this thread.
 */
NTSTATUS CallBounded(PDEVICE_OBJECT LowerDevice, PBOUNDED_REQUEST Request)
{
    LARGE_INTEGER timeout;
    BOOLEAN cancelled = FALSE;
    NTSTATUS status;

    IoSetCompletionRoutine(Request->Irp, BoundedRequestComplete, Request, TRUE, TRUE, TRUE);
    status = IoCallDriver(LowerDevice, Request->Irp);
    if (status != STATUS_PENDING)
        return status;

    /* Static Driver Verifier's IoBuildSynchronousFsdRequestWait and
       IoBuildDeviceControlWait rules want a wait after STATUS_PENDING; this
       one is skipped when the event is already set, and rightly: the event
       is set only by the I/O manager's completion APC, which runs in this
       thread after writing the status block, so a set event seen here means
       the request is finished. Wine's hidclass returns STATUS_PENDING for
       writes it has already completed, and a wait there costs wineserver
       round trips even on a signalled event. */
    if (KeReadStateEvent(&Request->Event))
        return Request->IoStatus.Status;

    timeout.QuadPart = -10000LL * VK_LOWER_REQUEST_TIMEOUT_MS;
    while (KeWaitForSingleObject(&Request->Event, Executive, KernelMode, FALSE, &timeout) ==
           STATUS_TIMEOUT)
    {
        CancelBoundedRequest(Request);
        cancelled = TRUE;
    }
    status = Request->IoStatus.Status;
    return (cancelled && !NT_SUCCESS(status)) ? STATUS_IO_TIMEOUT : status;
}
