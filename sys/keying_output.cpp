/*
 * Turning the emulated DTR and RTS lines into the Key/PTT output report.
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
 */
UCHAR ComputeKeyingState(const PORT_EXTENSION* Extension)
{
    UCHAR key = OutputBit(Extension, Extension->KeyFunc, Extension->KeyLogic);
    UCHAR ptt = OutputBit(Extension, Extension->PttFunc, Extension->PttLogic);
    return (UCHAR)(((ptt << 1) | key) ^ 0x03);
}

/*
 * Called with the output lock held, from a request on Requester's open.
 * The verdict is read once: an open checking the identity meanwhile
 * decides for the next line change, not half-way through this one.
 */
NTSTATUS UpdateKeyingOutput(PPORT_EXTENSION Extension, PFILE_OBJECT Requester)
{
    if (!ReadSharedFlag(Extension, &Extension->IdentityVerified))
        return STATUS_INVALID_DEVICE_REQUEST;
    return SendOutputReport(Extension, ComputeKeyingState(Extension), Requester);
}

/*
 * Records a line change and sends its report before the next change can.
 * Returns the status the program gets: a refused or failed report is not
 * its business while the device is there, but a device surprise-removed
 * while the change waited for the lock is, and then nothing is recorded or
 * sent.
 */
NTSTATUS ChangeModemLine(PPORT_EXTENSION Extension, PUCHAR Line, UCHAR State,
                         PFILE_OBJECT Requester)
{
    NTSTATUS status = STATUS_SUCCESS;

    AcquireOutputLock(Extension);
    if (ReadSharedFlag(Extension, &Extension->DeviceGone))
    {
        status = STATUS_DELETE_PENDING;
    }
    else
    {
        RecordModemLine(Extension, Line, State);
        (VOID)UpdateKeyingOutput(Extension, Requester);
    }
    ReleaseOutputLock(Extension);
    return status;
}

static NTSTATUS WriteReport(PPORT_EXTENSION Extension, PUCHAR Report, PFILE_OBJECT FileObject)
{
    IO_STATUS_BLOCK ioStatus;
    LARGE_INTEGER offset;
    KEVENT event;
    PIRP irp;
    NTSTATUS status;

    KeInitializeEvent(&event, NotificationEvent, FALSE);
    offset.QuadPart = 0;
    irp = IoBuildSynchronousFsdRequest(IRP_MJ_WRITE, Extension->LowerDevice, Report,
                                       VK_REPORT_LENGTH, &offset, &event, &ioStatus);
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    /* The HID stack takes a write only in the context of one of its opens. */
    IoGetNextIrpStackLocation(irp)->FileObject = FileObject;

    status = IoCallDriver(Extension->LowerDevice, irp);
    if (status == STATUS_PENDING)
    {
        /* Wine's hidclass returns STATUS_PENDING for writes it has already
           completed, and a wait there costs wineserver round trips even on a
           signalled event. The event is set after ioStatus is written. */
        if (!KeReadStateEvent(&event))
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
    }
    return status;
}

/* Writes 00 01 State 00 00 00 00 00 00 and waits until the HID stack took it. */
NTSTATUS SendOutputReport(PPORT_EXTENSION Extension, UCHAR State, PFILE_OBJECT Requester)
{
    PFILE_OBJECT fileObject;
    BOOLEAN referenced;
    PUCHAR report;
    NTSTATUS status;

    report = (PUCHAR)ExAllocatePoolWithTag(VkNonPagedPool, VK_REPORT_LENGTH, VK_POOL_TAG);
    if (!report)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(report, VK_REPORT_LENGTH);
    report[1] = 0x01;
    report[2] = State;

    fileObject = ReferenceOutputFileObject(Extension, Requester, &referenced);
    if (fileObject)
    {
        status = WriteReport(Extension, report, fileObject);
        if (referenced)
            ObDereferenceObject(fileObject);
    }
    else
    {
        status = STATUS_INVALID_DEVICE_STATE;
    }

    ExFreePool(report);
    return status;
}
