/*
 * The general dispatch routine: opens, closes, reads, writes, flushes, file
 * information and the emulated serial device controls.
 */
#include "vkserial.h"

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

static ULONG ReadInputWord(PIRP Irp)
{
    ULONG value;
    RtlCopyMemory(&value, Irp->AssociatedIrp.SystemBuffer, sizeof(value));
    return value;
}

static NTSTATUS CompleteWithWord(PIRP Irp, ULONG Value)
{
    RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, &Value, sizeof(Value));
    return CompleteRequest(Irp, STATUS_SUCCESS, sizeof(Value));
}

static NTSTATUS LineControl(PPORT_EXTENSION Extension, ULONG Line, BOOLEAN Raise, PIRP Irp)
{
    return CompleteRequest(
        Irp, SetModemLine(Extension, IoGetCurrentIrpStackLocation(Irp)->FileObject, Line, Raise),
        0);
}

static NTSTATUS HandFlowControl(PPORT_EXTENSION Extension, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    SERIAL_HANDFLOW handFlow;

    if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(handFlow))
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    RtlCopyMemory(&handFlow, Irp->AssociatedIrp.SystemBuffer, sizeof(handFlow));
    return CompleteRequest(Irp, SetHandFlow(Extension, stack->FileObject, &handFlow), 0);
}

static NTSTATUS WaitOnMask(PPORT_EXTENSION Extension, PIRP Irp)
{
    ULONG mask = ReadShared(Extension, &Extension->WaitMask);

    if (mask == 0)
        return CompleteWithWord(Irp, 0);
    if (mask & SERIAL_EV_TXEMPTY)
        return CompleteWithWord(Irp, SERIAL_EV_TXEMPTY);
    return PendWaitOnMask(Extension, Irp);
}

static NTSTATUS SerialControl(PPORT_EXTENSION Extension, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;

    switch (stack->Parameters.DeviceIoControl.IoControlCode)
    {
    case IOCTL_SERIAL_SET_BAUD_RATE:
        if (inputLength < sizeof(ULONG))
            return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
        WriteShared(Extension, &Extension->BaudRate, ReadInputWord(Irp));
        return CompleteRequest(Irp, STATUS_SUCCESS, 0);

    case IOCTL_SERIAL_SET_DTR:
        return LineControl(Extension, SERIAL_DTR_STATE, TRUE, Irp);
    case IOCTL_SERIAL_CLR_DTR:
        return LineControl(Extension, SERIAL_DTR_STATE, FALSE, Irp);
    case IOCTL_SERIAL_SET_RTS:
        return LineControl(Extension, SERIAL_RTS_STATE, TRUE, Irp);
    case IOCTL_SERIAL_CLR_RTS:
        return LineControl(Extension, SERIAL_RTS_STATE, FALSE, Irp);

    case IOCTL_SERIAL_GET_WAIT_MASK:
        if (outputLength < sizeof(ULONG))
            return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
        return CompleteWithWord(Irp, ReadShared(Extension, &Extension->WaitMask));

    case IOCTL_SERIAL_SET_WAIT_MASK:
        /* A new mask ends the pending wait even when the mask itself is bad. */
        CompletePendingWait(Extension);
        if (inputLength < sizeof(ULONG))
            return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
        WriteShared(Extension, &Extension->WaitMask, ReadInputWord(Irp));
        return CompleteRequest(Irp, STATUS_SUCCESS, 0);

    case IOCTL_SERIAL_WAIT_ON_MASK:
        if (outputLength < sizeof(ULONG))
            return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
        return WaitOnMask(Extension, Irp);

    case IOCTL_SERIAL_GET_BAUD_RATE:
        if (outputLength < sizeof(ULONG))
            return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
        return CompleteWithWord(Irp, ReadShared(Extension, &Extension->BaudRate));

    case IOCTL_SERIAL_SET_LINE_CONTROL:
        return StoreSerialSetting(Extension, Irp, &Extension->LineControl,
                                  sizeof(SERIAL_LINE_CONTROL));
    case IOCTL_SERIAL_GET_LINE_CONTROL:
        return AnswerSerialSetting(Extension, Irp, &Extension->LineControl,
                                   sizeof(SERIAL_LINE_CONTROL));
    case IOCTL_SERIAL_SET_CHARS:
        return StoreSerialSetting(Extension, Irp, &Extension->SpecialChars, sizeof(SERIAL_CHARS));
    case IOCTL_SERIAL_GET_CHARS:
        return AnswerSerialSetting(Extension, Irp, &Extension->SpecialChars, sizeof(SERIAL_CHARS));
    case IOCTL_SERIAL_SET_HANDFLOW:
        return HandFlowControl(Extension, Irp);
    case IOCTL_SERIAL_SET_MODEM_CONTROL:
        if (inputLength < sizeof(ULONG))
            return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
        return CompleteRequest(
            Irp, SetModemControl(Extension, stack->FileObject, ReadInputWord(Irp)), 0);
    case IOCTL_SERIAL_GET_HANDFLOW:
        return AnswerSerialSetting(Extension, Irp, &Extension->HandFlow, sizeof(SERIAL_HANDFLOW));
    case IOCTL_SERIAL_SET_TIMEOUTS:
        return StoreSerialSetting(Extension, Irp, &Extension->Timeouts, sizeof(SERIAL_TIMEOUTS));
    case IOCTL_SERIAL_GET_TIMEOUTS:
        return AnswerSerialSetting(Extension, Irp, &Extension->Timeouts, sizeof(SERIAL_TIMEOUTS));
    case IOCTL_SERIAL_SET_QUEUE_SIZE:
        return StoreSerialSetting(Extension, Irp, &Extension->QueueSize, sizeof(SERIAL_QUEUE_SIZE));

    case IOCTL_SERIAL_GET_COMMSTATUS:
        return AnswerCommStatus(Irp);
    case IOCTL_SERIAL_GET_DTRRTS:
        return AnswerModemLines(Extension, Irp);
    case IOCTL_SERIAL_GET_MODEM_CONTROL:
        return AnswerModemControl(Extension, Irp);
    case IOCTL_SERIAL_GET_MODEMSTATUS:
        return AnswerModemStatus(Irp);
    case IOCTL_SERIAL_GET_STATS:
        return AnswerStats(Irp);
    case IOCTL_SERIAL_CONFIG_SIZE:
        return AnswerConfigSize(Irp);
    case IOCTL_SERIAL_GET_PROPERTIES:
        return AnswerProperties(Extension, Irp);

    default:
        /* Purges, breaks, XON/XOFF, statistics reset: nothing is queued or
           sent, so each is accepted and changes nothing. */
        return CompleteRequest(Irp, STATUS_SUCCESS, 0);
    }
}

static NTSTATUS DeviceControl(PPORT_EXTENSION Extension, PIRP Irp)
{
    ULONG code = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;

    /* The private controls are served whatever the identity check found and
       leave the hand-over to the HID stack as it is. */
    if (code == IOCTL_KEYER_RELOAD_SETTINGS)
        return CompleteRequest(Irp, ReadKeyingSettings(Extension), 0);
    /* Republishing rewrites HKLM\HARDWARE and the global DOS name: the
       control code asks no access, so the open's own rights decide. */
    if (code == IOCTL_KEYER_REPUBLISH_PORT)
    {
        if (!OpenMayWrite(Extension, IoGetCurrentIrpStackLocation(Irp)->FileObject))
            return CompleteRequest(Irp, STATUS_ACCESS_DENIED, 0);
        return CompleteRequest(Irp, RepublishPortName(Extension), 0);
    }

    /* Any control that is not a serial one belongs to the HID stack, and so
       do the reads and writes that follow it on the same open; other opens
       keep their own mode. */
    BOOLEAN toHidStack = (BOOLEAN)(DEVICE_TYPE_FROM_CTL_CODE(code) != FILE_DEVICE_SERIAL_PORT);
    SetOpenPassThrough(Extension, IoGetCurrentIrpStackLocation(Irp)->FileObject, toHidStack);
    if (toHidStack)
        return PassDown(Extension, Irp);
    return SerialControl(Extension, Irp);
}

static NTSTATUS DispatchByMajorFunction(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION extension = (PPORT_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    switch (stack->MajorFunction)
    {
    case IRP_MJ_CREATE:
        return DispatchCreate(DeviceObject, Irp);
    case IRP_MJ_CLOSE:
        return DispatchClose(extension, Irp);
    case IRP_MJ_CLEANUP:
        return DispatchCleanup(extension, Irp);
    case IRP_MJ_READ:
        if (OpenPassesThrough(extension, stack->FileObject))
            return PassDown(extension, Irp);
        return CompleteRequest(Irp, STATUS_SUCCESS, 0);
    case IRP_MJ_WRITE:
        if (OpenPassesThrough(extension, stack->FileObject))
            return PassDown(extension, Irp);
        return CompleteRequest(Irp, STATUS_SUCCESS, stack->Parameters.Write.Length);
    case IRP_MJ_FLUSH_BUFFERS:
        /* Writes are taken at once, so there is never anything to flush. */
        if (OpenPassesThrough(extension, stack->FileObject))
            return PassDown(extension, Irp);
        return CompleteRequest(Irp, STATUS_SUCCESS, 0);
    case IRP_MJ_QUERY_INFORMATION:
        return QueryPortInformation(Irp);
    case IRP_MJ_SET_INFORMATION:
        return SetPortInformation(Irp);
    case IRP_MJ_DEVICE_CONTROL:
        return DeviceControl(extension, Irp);
    case IRP_MJ_SYSTEM_CONTROL:
        /* The port provides no WMI data of its own; the HID stack below may,
           and WMI reaches it only through this device. */
        return PassDown(extension, Irp);
    default:
        return CompleteRequest(Irp, STATUS_NOT_IMPLEMENTED, 0);
    }
}

/*
 * What a surprise-removed device still serves: the cleanup and close that
 * let a program's handle go (the HID stack below must see them too, or it
 * never lets go of its own opens), and WMI, which the system sends rather
 * than a handle.
 */
static BOOLEAN ServedWhenGone(UCHAR MajorFunction)
{
    return (BOOLEAN)(MajorFunction == IRP_MJ_CLEANUP || MajorFunction == IRP_MJ_CLOSE ||
                     MajorFunction == IRP_MJ_SYSTEM_CONTROL);
}

NTSTATUS DispatchGeneral(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION extension = (PPORT_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS status;

    /* Held for the whole request so that remove waits for it; a wait that
       pends takes a reference of its own. */
    status = IoAcquireRemoveLock(&extension->RemoveLock, Irp);
    if (!NT_SUCCESS(status))
        return CompleteRequest(Irp, status, 0);

    /* The device is gone: refused as a device being deleted answers, and
       nothing reaches the HID stack, the registry or the published name. */
    if (ReadSharedFlag(extension, &extension->DeviceGone) &&
        !ServedWhenGone(IoGetCurrentIrpStackLocation(Irp)->MajorFunction))
        status = CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
    else
        status = DispatchByMajorFunction(DeviceObject, Irp);

    IoReleaseRemoveLock(&extension->RemoveLock, Irp);
    return status;
}
