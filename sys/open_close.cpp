/*
 * Opens, cleanups and closes of the port.
 */
#include "vkserial.h"

/*
 * The access the handle will hold: what the I/O manager granted against the
 * device's security descriptor and what remains of the request, which the
 * handle receives too (a kernel-mode requester is not checked, so what it
 * asked for is all still remaining). Windows always supplies the security
 * context; Wine's I/O manager supplies none, and its opens are taken as
 * writers, or no program under Wine could republish.
 */
static BOOLEAN CreateGrantsWrite(PIO_STACK_LOCATION Stack)
{
    PIO_SECURITY_CONTEXT context = Stack->Parameters.Create.SecurityContext;
    ACCESS_MASK granted;

    if (!context || !context->AccessState)
        return TRUE;
    granted = context->AccessState->PreviouslyGrantedAccess |
              context->AccessState->RemainingDesiredAccess;
    return (BOOLEAN)((granted & FILE_WRITE_DATA) != 0);
}

/*
 * The HID stack decides the open. The create is forwarded and waited for,
 * also when the stack pends it, so that the identity check runs on an open
 * that exists and the create is completed exactly once, with the status the
 * HID stack gave it.
 */
NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION extension = (PPORT_EXTENSION)DeviceObject->DeviceExtension;
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    BOOLEAN mayWrite = CreateGrantsWrite(IoGetCurrentIrpStackLocation(Irp));
    POPEN_RECORD record;
    NTSTATUS status;

    /* Taken before the open reaches the HID stack: an open it accepted
       can no longer be refused for want of memory. */
    record = (POPEN_RECORD)ExAllocatePoolWithTag(VkNonPagedPool, sizeof(OPEN_RECORD), VK_POOL_TAG);
    if (!record)
        return CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);

    status = ForwardAndWait(DeviceObject, Irp);
    if (NT_SUCCESS(status))
    {
        TrackOpen(extension, record, fileObject, mayWrite);
        record = NULL;
        /* The outcome shows in IdentityVerified; the open keeps its status. */
        CheckDeviceIdentity(extension, fileObject);
    }

    if (record)
        ExFreePool(record);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS DispatchCleanup(PPORT_EXTENSION Extension, PIRP Irp)
{
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;

    CompletePendingWait(Extension);
    /* Before the cleanup goes down: a lowering report is written on the
       closing open, which the HID stack still has open. */
    ForgetOpen(Extension, fileObject);
    return PassDown(Extension, Irp);
}

NTSTATUS DispatchClose(PPORT_EXTENSION Extension, PIRP Irp)
{
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;

    /* Some systems close without a cleanup first: what the cleanup does
       for this open happens here. */
    CompletePendingWaitOf(Extension, fileObject);
    ForgetOpen(Extension, fileObject);
    return PassDown(Extension, Irp);
}
