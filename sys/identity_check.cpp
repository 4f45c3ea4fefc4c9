/*
 * The open-time check that the device below is a Velkor device.
 */
#include "vkserial.h"

/*
 * The buffer was zeroed before the query and is far longer than the
 * compared prefix, so a string the device left unterminated cannot lead the
 * comparison past the buffer.
 */
static BOOLEAN IsVelkorManufacturer(const WCHAR* Returned)
{
    static const WCHAR expected[] = VK_MANUFACTURER;
    ULONG i;

    for (i = 0; i < VK_MANUFACTURER_COMPARE_CHARS; i++)
    {
        WCHAR returned = Returned[i];
        WCHAR wanted = i < sizeof(expected) / sizeof(WCHAR) ? expected[i] : L'\0';
        if (returned != wanted)
            return FALSE;
        if (returned == L'\0')
            return TRUE;
    }
    return TRUE;
}

/*
 * The query goes out on the open being checked, as a program's own HID
 * requests do: the HID class driver serves device controls in the context
 * of one of its opens (Wine's reads the request's original file object for
 * every control and faults without one). The open is referenced for as
 * long as the request lives; the completion routine of the bounded send
 * takes the file object off the request before the I/O manager finishes it.
 */
static NTSTATUS QueryManufacturer(PPORT_EXTENSION Extension, PFILE_OBJECT FileObject, PWCHAR Buffer)
{
    BOUNDED_REQUEST request;
    PIO_STACK_LOCATION stack;
    NTSTATUS status;

    InitializeBoundedRequest(&request);
    request.Irp = IoBuildDeviceIoControlRequest(
        IOCTL_HID_GET_MANUFACTURER_STRING, Extension->LowerDevice, NULL, 0, Buffer,
        VK_MANUFACTURER_BUFFER_BYTES, FALSE, &request.Event, &request.IoStatus);
    if (!request.Irp)
        return STATUS_INSUFFICIENT_RESOURCES;

    ObReferenceObject(FileObject);
    stack = IoGetNextIrpStackLocation(request.Irp);
    stack->FileObject = FileObject;
    request.Irp->Tail.Overlay.OriginalFileObject = FileObject;

    status = CallBounded(Extension->LowerDevice, &request);
    ObDereferenceObject(FileObject);
    return status;
}

/*
 * Asks the device, on the open FileObject, for its manufacturer string. A
 * match enables output reports, a different string disables them
 * (STATUS_ACCESS_DENIED), and so does no answer within the bound
 * (STATUS_IO_TIMEOUT); a failed query leaves the earlier verdict in place.
 */
NTSTATUS CheckDeviceIdentity(PPORT_EXTENSION Extension, PFILE_OBJECT FileObject)
{
    PWCHAR buffer;
    NTSTATUS status;

    buffer = (PWCHAR)ExAllocatePoolWithTag(PagedPool, VK_MANUFACTURER_BUFFER_BYTES, VK_POOL_TAG);
    if (!buffer)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(buffer, VK_MANUFACTURER_BUFFER_BYTES);

    status = QueryManufacturer(Extension, FileObject, buffer);
    if (NT_SUCCESS(status))
    {
        BOOLEAN verified = IsVelkorManufacturer(buffer);
        /* Under StateLock, not the output lock: an open must not wait for a
           report the device has not taken yet. A line change reads the
           verdict once, so it keys with the one or the other. */
        WriteSharedFlag(Extension, &Extension->IdentityVerified, verified);
        if (!verified)
            status = STATUS_ACCESS_DENIED;
    }
    else if (status == STATUS_IO_TIMEOUT)
    {
        /* A device that does not say who it is within the bound is not
           known to be a Velkor device: its line changes send nothing
           rather than each waiting for the bound in turn. */
        WriteSharedFlag(Extension, &Extension->IdentityVerified, FALSE);
    }

    ExFreePool(buffer);
    return status;
}
