/*
 * Requests that drivers build for devices below them, laid out as the
 * I/O manager lays them out: buffered I/O through a system buffer, direct
 * I/O through an MDL, neither I/O through the caller's pointers.
 */
#include "internal.h"

namespace hk
{

PMDL AllocateMdl(PVOID buffer, ULONG length)
{
    PMDL mdl = (PMDL)AllocateInternal(sizeof(MDL));
    mdl->StartVa = buffer;
    mdl->MappedSystemVa = buffer;
    mdl->ByteCount = length;
    return mdl;
}

} // namespace hk

using namespace hk;

extern "C" PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject,
                                             PVOID Buffer, ULONG Length,
                                             PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                             PIO_STATUS_BLOCK IoStatusBlock)
{
    if (MajorFunction != IRP_MJ_READ && MajorFunction != IRP_MJ_WRITE &&
        MajorFunction != IRP_MJ_FLUSH_BUFFERS && MajorFunction != IRP_MJ_SHUTDOWN)
        ReportViolation("IoBuildSynchronousFsdRequest for an unsupported major function");
    PIRP irp = AllocateIrp(DeviceObject->StackSize, true);
    if (!irp)
        return NULL;

    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = (UCHAR)MajorFunction;
    if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE)
    {
        stack->Parameters.Write.Length = Length;
        if (StartingOffset)
            stack->Parameters.Write.ByteOffset = *StartingOffset;
        if (DeviceObject->Flags & DO_BUFFERED_IO)
        {
            irp->AssociatedIrp.SystemBuffer = AllocateInternal(Length);
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            if (MajorFunction == IRP_MJ_WRITE)
                memcpy(irp->AssociatedIrp.SystemBuffer, Buffer, Length);
            else
                irp->Flags |= IRP_INPUT_OPERATION;
        }
        else if (DeviceObject->Flags & DO_DIRECT_IO)
        {
            irp->MdlAddress = AllocateMdl(Buffer, Length);
        }
        irp->UserBuffer = Buffer;
    }
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->RequestorMode = KernelMode;
    NoteThreadRequest(irp);
    return irp;
}

extern "C" PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                              PVOID InputBuffer, ULONG InputBufferLength,
                                              PVOID OutputBuffer, ULONG OutputBufferLength,
                                              BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                              PIO_STATUS_BLOCK IoStatusBlock)
{
    PIRP irp = AllocateIrp(DeviceObject->StackSize, true);
    if (!irp)
        return NULL;

    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction =
        InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    stack->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    stack->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;

    switch (METHOD_FROM_CTL_CODE(IoControlCode))
    {
    case METHOD_BUFFERED: {
        ULONG length =
            InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
        if (length)
        {
            irp->AssociatedIrp.SystemBuffer = AllocateInternal(length);
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            if (InputBuffer && InputBufferLength)
                memcpy(irp->AssociatedIrp.SystemBuffer, InputBuffer, InputBufferLength);
            if (OutputBuffer)
                irp->Flags |= IRP_INPUT_OPERATION;
        }
        irp->UserBuffer = OutputBuffer;
        break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        if (InputBuffer && InputBufferLength)
        {
            irp->AssociatedIrp.SystemBuffer = AllocateInternal(InputBufferLength);
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            memcpy(irp->AssociatedIrp.SystemBuffer, InputBuffer, InputBufferLength);
        }
        if (OutputBuffer && OutputBufferLength)
            irp->MdlAddress = AllocateMdl(OutputBuffer, OutputBufferLength);
        break;
    default:
        stack->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
        break;
    }
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->RequestorMode = KernelMode;
    NoteThreadRequest(irp);
    return irp;
}
