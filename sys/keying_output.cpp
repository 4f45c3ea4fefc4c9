/*
 * Turning the emulated DTR and RTS lines into the Key/PTT output report, and
 * writing it to the HID stack. Only modem_lines.cpp, the lines' owner,
 * sends one.
 */
#include "vkserial.h"

#define VK_LINE_DTR 1
#define VK_LINE_RTS 2

static UCHAR OutputBit(const PORT_EXTENSION* Extension, ULONG Function, BOOLEAN Inverted)
{
    switch (Function)
    {
    case VK_LINE_DTR:
        return (UCHAR)((Inverted ? 1 : 0) ^ Extension->DtrState);
    case VK_LINE_RTS:
        return (UCHAR)((Inverted ? 1 : 0) ^ Extension->RtsState);
    default:
        return 0;
    }
}

/*
 * The device drives an output when its bit is 0: an asserted line reads 0
 * unless its output is inverted, and an output with no line stays at 1.
 * Called with the output lock held, under which the lines and the mapping
 * change.
 */
UCHAR ComputeKeyingState(const PORT_EXTENSION* Extension)
{
    UCHAR key = OutputBit(Extension, Extension->KeyFunc, Extension->KeyLogic);
    UCHAR ptt = OutputBit(Extension, Extension->PttFunc, Extension->PttLogic);
    return (UCHAR)(((ptt << 1) | key) ^ 0x03);
}

/*
 * Publishes the report as the one in flight, unless the device is gone:
 * read under the same lock as the surprise removal sets DeviceGone and
 * looks for a report to cancel, so either the removal finds this report or
 * the report is never sent.
 */
static BOOLEAN BeginReport(PPORT_EXTENSION Extension, PBOUNDED_REQUEST Request)
{
    BOOLEAN send;
    KIRQL irql;

    KeAcquireSpinLock(&Extension->StateLock, &irql);
    send = (BOOLEAN)!Extension->DeviceGone;
    if (send)
        Extension->ReportInFlight = Request;
    KeReleaseSpinLock(&Extension->StateLock, irql);
    return send;
}

/* Once this is back, no canceller can reach the request any more. */
static VOID EndReport(PPORT_EXTENSION Extension)
{
    BOOLEAN pinned;
    KIRQL irql;

    KeAcquireSpinLock(&Extension->StateLock, &irql);
    Extension->ReportInFlight = NULL;
    pinned = Extension->ReportPinned;
    KeReleaseSpinLock(&Extension->StateLock, irql);
    if (pinned)
        KeWaitForSingleObject(&Extension->ReportUnpinned, Executive, KernelMode, FALSE, NULL);
}

/*
 * The device is gone: a report it has not taken will never matter, and
 * must not hold the surprise removal behind the output lock. The report is
 * pinned while it is cancelled, so its writer keeps its frame until the
 * cancel is done; the cancel itself runs with no lock held, since it may
 * complete the request.
 */
VOID CancelReportInFlight(PPORT_EXTENSION Extension)
{
    PBOUNDED_REQUEST request;
    KIRQL irql;

    KeAcquireSpinLock(&Extension->StateLock, &irql);
    request = Extension->ReportInFlight;
    if (request)
    {
        Extension->ReportPinned = TRUE;
        KeClearEvent(&Extension->ReportUnpinned);
    }
    KeReleaseSpinLock(&Extension->StateLock, irql);
    if (!request)
        return;

    CancelBoundedRequest(request);
    KeAcquireSpinLock(&Extension->StateLock, &irql);
    Extension->ReportPinned = FALSE;
    KeReleaseSpinLock(&Extension->StateLock, irql);
    KeSetEvent(&Extension->ReportUnpinned, IO_NO_INCREMENT, FALSE);
}

static NTSTATUS WriteReport(PPORT_EXTENSION Extension, PUCHAR Report, PFILE_OBJECT FileObject)
{
    BOUNDED_REQUEST request;
    LARGE_INTEGER offset;
    NTSTATUS status;

    InitializeBoundedRequest(&request);
    offset.QuadPart = 0;
    request.Irp =
        IoBuildSynchronousFsdRequest(IRP_MJ_WRITE, Extension->LowerDevice, Report, VK_REPORT_LENGTH,
                                     &offset, &request.Event, &request.IoStatus);
    if (!request.Irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    /* The HID stack takes a write only in the context of one of its opens. */
    IoGetNextIrpStackLocation(request.Irp)->FileObject = FileObject;

    if (!BeginReport(Extension, &request))
    {
        /* Never sent: completing it hands it back to the I/O manager, which
           finishes it (a request built for a thread may not simply be freed). */
        request.Irp->IoStatus.Status = STATUS_DELETE_PENDING;
        IoCompleteRequest(request.Irp, IO_NO_INCREMENT);
        KeWaitForSingleObject(&request.Event, Executive, KernelMode, FALSE, NULL);
        return STATUS_DELETE_PENDING;
    }
    status = CallBounded(Extension->LowerDevice, &request);
    EndReport(Extension);
    return status;
}

/* Writes 00 01 State 00 00 00 00 00 00 and waits until the HID stack took
   it, or gave up on it. */
NTSTATUS SendOutputReport(PPORT_EXTENSION Extension, UCHAR State, PFILE_OBJECT FileObject)
{
    PUCHAR report;
    NTSTATUS status;

    report = (PUCHAR)ExAllocatePoolWithTag(VkNonPagedPool, VK_REPORT_LENGTH, VK_POOL_TAG);
    if (!report)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(report, VK_REPORT_LENGTH);
    report[1] = 0x01;
    report[2] = State;

    status = WriteReport(Extension, report, FileObject);

    ExFreePool(report);
    return status;
}
