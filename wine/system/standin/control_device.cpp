/*
 * The control device \\.\VkStandIn through which a test reads what the
 * stand-in received. It sits outside every Plug and Play stack, so opening it
 * never disturbs the collection or the driver above it.
 */
#include "standin.h"

ULONG CopyReports(PVOID Buffer, ULONG BufferBytes);
VOID ClearReports();
VOID CopyState(STANDIN_STATE* Out);

namespace
{

PDEVICE_OBJECT ControlDevice;
UNICODE_STRING ControlLink;

NTSTATUS ControlIoctl(PIRP Irp, PIO_STACK_LOCATION Stack)
{
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
    ULONG inputLength = Stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outputLength = Stack->Parameters.DeviceIoControl.OutputBufferLength;

    switch (Stack->Parameters.DeviceIoControl.IoControlCode)
    {
    case IOCTL_STANDIN_GET_REPORTS: {
        ULONG copied = CopyReports(buffer, outputLength);
        if (copied == 0)
            return CompleteRequest(Irp, STATUS_BUFFER_TOO_SMALL, 0);
        return CompleteRequest(Irp, STATUS_SUCCESS, copied);
    }
    case IOCTL_STANDIN_CLEAR_REPORTS:
        ClearReports();
        return CompleteRequest(Irp, STATUS_SUCCESS, 0);
    case IOCTL_STANDIN_SET_MANUFACTURER:
        SetManufacturer(static_cast<const WCHAR*>(buffer), inputLength / sizeof(WCHAR));
        return CompleteRequest(Irp, STATUS_SUCCESS, 0);
    case IOCTL_STANDIN_GET_STATE:
        if (outputLength < sizeof(STANDIN_STATE))
            return CompleteRequest(Irp, STATUS_BUFFER_TOO_SMALL, 0);
        CopyState(static_cast<STANDIN_STATE*>(buffer));
        return CompleteRequest(Irp, STATUS_SUCCESS, sizeof(STANDIN_STATE));
    default:
        return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

} // namespace

NTSTATUS CreateControlDevice(PDRIVER_OBJECT DriverObject)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\VkStandInControl");
    RtlInitUnicodeString(&ControlLink, L"\\DosDevices\\VkStandIn");

    NTSTATUS status =
        IoCreateDevice(DriverObject, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &ControlDevice);
    if (!NT_SUCCESS(status))
        return status;
    status = IoCreateSymbolicLink(&ControlLink, &name);
    if (!NT_SUCCESS(status))
    {
        IoDeleteDevice(ControlDevice);
        ControlDevice = NULL;
        return status;
    }
    ControlDevice->Flags |= DO_BUFFERED_IO;
    ControlDevice->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID DeleteControlDevice()
{
    if (ControlDevice == NULL)
        return;
    IoDeleteSymbolicLink(&ControlLink);
    IoDeleteDevice(ControlDevice);
    ControlDevice = NULL;
}

BOOLEAN IsControlDevice(PDEVICE_OBJECT DeviceObject)
{
    return ControlDevice != NULL && DeviceObject == ControlDevice;
}

NTSTATUS DispatchControlDevice(PDEVICE_OBJECT, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MajorFunction)
    {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
        return CompleteRequest(Irp, STATUS_SUCCESS, 0);
    case IRP_MJ_DEVICE_CONTROL:
        return ControlIoctl(Irp, stack);
    default:
        return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}
