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

static NTSTATUS QueryManufacturer(PPORT_EXTENSION Extension, PWCHAR Buffer)
{
    IO_STATUS_BLOCK ioStatus;
    KEVENT event;
    PIRP irp;
    NTSTATUS status;

    KeInitializeEvent(&event, NotificationEvent, FALSE);
    irp = IoBuildDeviceIoControlRequest(IOCTL_HID_GET_MANUFACTURER_STRING, Extension->LowerDevice,
                                        NULL, 0, Buffer, VK_MANUFACTURER_BUFFER_BYTES, FALSE,
                                        &event, &ioStatus);
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;

    status = IoCallDriver(Extension->LowerDevice, irp);
    if (status == STATUS_PENDING)
    {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
    }
    return status;
}

/*
 * Asks the device for its manufacturer string. A match enables output
 * reports, a different string disables them (STATUS_ACCESS_DENIED), and a
 * failed query leaves the earlier verdict in place.
 */
NTSTATUS CheckDeviceIdentity(PPORT_EXTENSION Extension)
{
    PWCHAR buffer;
    NTSTATUS status;

    buffer = (PWCHAR)ExAllocatePoolWithTag(PagedPool, VK_MANUFACTURER_BUFFER_BYTES, VK_POOL_TAG);
    if (!buffer)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(buffer, VK_MANUFACTURER_BUFFER_BYTES);

    status = QueryManufacturer(Extension, buffer);
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
