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
 * Runs as the query leaves the HID stack, before the I/O manager's final
 * processing: the I/O manager would take a request with an original file
 * object for that file's own I/O and drop a reference on it (and, on a
 * request built with an event, take the event for an object). The file
 * object goes off the request here; the query's own reference on the open
 * is dropped once the request is gone.
 */
static IO_COMPLETION_ROUTINE QueryManufacturerComplete;

static NTSTATUS QueryManufacturerComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Context);
    Irp->Tail.Overlay.OriginalFileObject = NULL;
    return STATUS_SUCCESS;
}

/*
 * The query goes out on the open being checked, as a program's own HID
 * requests do: the HID class driver serves device controls in the context
 * of one of its opens (Wine's reads the request's original file object for
 * every control and faults without one). The open is referenced for as
 * long as the request lives.
 */
static NTSTATUS QueryManufacturer(PPORT_EXTENSION Extension, PFILE_OBJECT FileObject,
                                  PWCHAR Buffer)
{
    IO_STATUS_BLOCK ioStatus;
    KEVENT event;
    PIRP irp;
    PIO_STACK_LOCATION stack;
    NTSTATUS status;

    KeInitializeEvent(&event, NotificationEvent, FALSE);
    irp = IoBuildDeviceIoControlRequest(IOCTL_HID_GET_MANUFACTURER_STRING, Extension->LowerDevice,
                                        NULL, 0, Buffer, VK_MANUFACTURER_BUFFER_BYTES, FALSE,
                                        &event, &ioStatus);
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;

    ObReferenceObject(FileObject);
    stack = IoGetNextIrpStackLocation(irp);
    stack->FileObject = FileObject;
    irp->Tail.Overlay.OriginalFileObject = FileObject;
    IoSetCompletionRoutine(irp, QueryManufacturerComplete, NULL, TRUE, TRUE, TRUE);

    status = IoCallDriver(Extension->LowerDevice, irp);
    if (status == STATUS_PENDING)
    {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
    }
    ObDereferenceObject(FileObject);
    return status;
}

/*
 * Asks the device, on the open FileObject, for its manufacturer string. A
 * match enables output reports, a different string disables them
 * (STATUS_ACCESS_DENIED), and a failed query leaves the earlier verdict in
 * place.
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

    ExFreePool(buffer);
    return status;
}
