/*
 * Publishing the port under its COM name: the DOS device link to the
 * port's interface and the port's entry in the SERIALCOMM map.
 */
#include "vkserial.h"

#define VK_SERIALCOMM_KEY L"SERIALCOMM"
#define VK_DOS_DEVICES L"DosDevices"
/*
 * From Windows XP on, \DosDevices in a program's thread is that logon
 * session's own directory: a republish requested by a program would hide
 * the name from services, other sessions and the other token of an
 * elevated user, and the withdrawal, in a system thread, would not find
 * it. "Global" names the one directory every thread sees, also in the
 * system threads of start, stop and removal.
 */
#define VK_GLOBAL L"Global"
#define VK_SCRATCH_BYTES (VK_PORT_NAME_BYTES + sizeof(WCHAR))

/*
 * A republish holds this lock in a program's thread: inside a critical
 * region, so that suspending that thread cannot stop a start, stop or
 * removal waiting for it.
 */
VOID AcquirePublishLock(PPORT_EXTENSION Extension)
{
    KeEnterCriticalRegion();
    ExAcquireFastMutexUnsafe(&Extension->PublishLock);
}

VOID ReleasePublishLock(PPORT_EXTENSION Extension)
{
    ExReleaseFastMutexUnsafe(&Extension->PublishLock);
    KeLeaveCriticalRegion();
}

static VOID FreeString(PUNICODE_STRING String)
{
    if (String->Buffer)
        ExFreePool(String->Buffer);
    String->Buffer = NULL;
    String->Length = String->MaximumLength = 0;
}

/* A zero-filled buffer of Bytes bytes holding a copy of Text. */
static NTSTATUS BuildString(PUNICODE_STRING String, PCWSTR Text, USHORT TextBytes, USHORT Bytes)
{
    String->Buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, Bytes, VK_POOL_TAG);
    if (!String->Buffer)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(String->Buffer, Bytes);
    RtlCopyMemory(String->Buffer, Text, TextBytes);
    String->Length = TextBytes;
    String->MaximumLength = Bytes;
    return STATUS_SUCCESS;
}

/* PortName, or Identifier when PortName cannot be read. */
static NTSTATUS ReadPortNameValue(PPORT_EXTENSION Extension, PWCHAR Name)
{
    HANDLE key;
    NTSTATUS status;

    status = OpenHardwareKey(Extension, &key);
    if (!NT_SUCCESS(status))
        return status;
    status = ReadRegistryValue(key, VK_VALUE_PORT_NAME, Name, VK_PORT_NAME_BYTES);
    /* Memory running out says nothing about PortName: Identifier standing
       in then would publish a name the user never chose, or report a value
       missing that is there. */
    if (!NT_SUCCESS(status) && status != STATUS_INSUFFICIENT_RESOURCES)
        status = ReadRegistryValue(key, VK_VALUE_IDENTIFIER, Name, VK_PORT_NAME_BYTES);
    ZwClose(key);
    return status;
}

/*
 * Counts the name's characters. A name that is empty or longer than
 * SerialCommData holds is refused rather than shortened: a shortened name
 * would publish a port the user never chose.
 */
static NTSTATUS MeasurePortName(PCWSTR Name, PUSHORT Bytes)
{
    USHORT chars = 0;

    /* The name buffer has room for one character more than is read. */
    while (chars <= VK_MAX_PORT_NAME_CHARS && Name[chars] != L'\0')
        chars++;
    if (chars == 0 || chars > VK_MAX_PORT_NAME_CHARS)
        return STATUS_OBJECT_NAME_INVALID;
    *Bytes = (USHORT)(chars * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

/*
 * Deletes the DOS link. A link that could not be deleted stays recorded,
 * with its name, so the next withdrawal tries again instead of leaving a
 * COM name behind that nothing would remove.
 */
static VOID DeletePortLink(PPORT_EXTENSION Extension)
{
    NTSTATUS status;

    if (!Extension->LinkName.Buffer || !Extension->LinkCreated)
        return;
    status = IoDeleteSymbolicLink(&Extension->LinkName);
    if (NT_SUCCESS(status) || status == STATUS_OBJECT_NAME_NOT_FOUND)
        Extension->LinkCreated = FALSE;
}

static NTSTATUS BuildPublication(PPORT_EXTENSION Extension, PCWSTR Name, USHORT NameBytes,
                                 PUNICODE_STRING LinkScratch)
{
    NTSTATUS status;

    status = BuildString(&Extension->PortName, Name, NameBytes, NameBytes + sizeof(WCHAR));
    if (!NT_SUCCESS(status))
        return status;

    RtlAppendUnicodeToString(LinkScratch, L"\\");
    RtlAppendUnicodeToString(LinkScratch, VK_DOS_DEVICES);
    RtlAppendUnicodeToString(LinkScratch, L"\\");
    RtlAppendUnicodeToString(LinkScratch, VK_GLOBAL);
    RtlAppendUnicodeToString(LinkScratch, L"\\");
    RtlAppendUnicodeStringToString(LinkScratch, &Extension->PortName);

    /* A link an earlier withdrawal could not delete still holds LinkName. */
    DeletePortLink(Extension);
    if (Extension->LinkCreated)
        return STATUS_OBJECT_NAME_COLLISION;
    FreeString(&Extension->LinkName);
    status = BuildString(&Extension->LinkName, LinkScratch->Buffer, LinkScratch->Length,
                         LinkScratch->Length + sizeof(WCHAR));
    if (!NT_SUCCESS(status))
        return status;

    FreeString(&Extension->SerialCommData);
    return BuildString(&Extension->SerialCommData, Name, NameBytes,
                       VK_SERIALCOMM_CHARS * sizeof(WCHAR));
}

/* Undoes a publication that failed part-way: no link, no map entry. */
static VOID RollBackPublication(PPORT_EXTENSION Extension)
{
    FreeString(&Extension->SerialCommData);
    DeletePortLink(Extension);
    if (!Extension->LinkCreated)
        FreeString(&Extension->LinkName);
    if (Extension->InterfaceName.Buffer)
        RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, VK_SERIALCOMM_KEY,
                               Extension->InterfaceName.Buffer);
    FreeString(&Extension->PortName);
}

/*
 * Called with the publish lock held. Holds the driver-wide name choice lock
 * from reading the name until it is published and recorded, so that two
 * keyers starting at once never publish the same free name.
 */
NTSTATUS PublishPortName(PPORT_EXTENSION Extension)
{
    UNICODE_STRING linkScratch = {0, 0, NULL};
    PWCHAR name;
    USHORT nameBytes = 0;
    BOOLEAN published = FALSE, marked = FALSE;
    NTSTATUS status;

    name = (PWCHAR)ExAllocatePoolWithTag(PagedPool, VK_SCRATCH_BYTES, VK_POOL_TAG);
    linkScratch.Buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, VK_SCRATCH_BYTES, VK_POOL_TAG);
    if (!name || !linkScratch.Buffer)
    {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    RtlZeroMemory(name, VK_SCRATCH_BYTES);
    RtlZeroMemory(linkScratch.Buffer, VK_SCRATCH_BYTES);
    linkScratch.MaximumLength = VK_PORT_NAME_BYTES;

    AcquireNameChoiceLock();
    status = ReadPortNameValue(Extension, name);
    if (NT_SUCCESS(status))
        status = MeasurePortName(name, &nameBytes);
    if (NT_SUCCESS(status))
        status = ClaimPortName(Extension, name, &nameBytes, &published);
    if (NT_SUCCESS(status))
        status = BuildPublication(Extension, name, nameBytes, &linkScratch);
    if (NT_SUCCESS(status))
    {
        status = IoCreateSymbolicLink(&Extension->LinkName, &Extension->InterfaceName);
        if (NT_SUCCESS(status))
            Extension->LinkCreated = TRUE;
    }
    /* Before the map entry, which programs (and Plug and Play's own
       requests after the start) follow: the start ends soon after it. */
    if (NT_SUCCESS(status))
        status = RecordPublishedName(Extension);
    if (NT_SUCCESS(status) && !published)
    {
        status = MarkNamePublished(Extension, TRUE);
        marked = (BOOLEAN)NT_SUCCESS(status);
    }
    if (NT_SUCCESS(status))
    {
        status = RtlWriteRegistryValue(
            RTL_REGISTRY_DEVICEMAP, VK_SERIALCOMM_KEY, Extension->InterfaceName.Buffer, REG_SZ,
            Extension->SerialCommData.Buffer, Extension->SerialCommData.Length + sizeof(WCHAR));
        if (NT_SUCCESS(status))
            Extension->SerialCommWritten = TRUE;
    }
    if (!NT_SUCCESS(status))
        RollBackPublication(Extension);
    if (!NT_SUCCESS(status) && marked)
        (VOID) MarkNamePublished(Extension, FALSE);
    ReleaseNameChoiceLock();

Exit:
    if (linkScratch.Buffer)
        ExFreePool(linkScratch.Buffer);
    if (name)
        ExFreePool(name);
    return status;
}

/*
 * Called with the publish lock held. Never fails; may be repeated, and a
 * repeat deletes only what the last one could not: the value it deleted may
 * meanwhile belong to the same device plugged in again.
 */
VOID WithdrawPortName(PPORT_EXTENSION Extension)
{
    NTSTATUS status;

    DeletePortLink(Extension);
    FreeString(&Extension->PortName);
    if (Extension->InterfaceName.Buffer && Extension->SerialCommWritten)
    {
        status = RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, VK_SERIALCOMM_KEY,
                                        Extension->InterfaceName.Buffer);
        if (NT_SUCCESS(status) || status == STATUS_OBJECT_NAME_NOT_FOUND)
            Extension->SerialCommWritten = FALSE;
    }
}

/* The buffers a withdrawal keeps for the next publication. */
VOID FreePortNameBuffers(PPORT_EXTENSION Extension)
{
    FreeString(&Extension->LinkName);
    FreeString(&Extension->SerialCommData);
}

/*
 * IOCTL_KEYER_REPUBLISH_PORT: withdraw and publish again, so a new name
 * takes effect without restarting the device. Refused while the device is
 * not started, so a stopped device never gains a name.
 */
NTSTATUS RepublishPortName(PPORT_EXTENSION Extension)
{
    NTSTATUS status;

    AcquirePublishLock(Extension);
    /* A request that passed the dispatch before the device went must not
       publish the name of a device that is gone. */
    if (ReadSharedFlag(Extension, &Extension->DeviceGone))
    {
        status = STATUS_DELETE_PENDING;
    }
    else if (Extension->InterfaceEnabled)
    {
        WithdrawPortName(Extension);
        status = PublishPortName(Extension);
    }
    else
    {
        status = STATUS_INVALID_DEVICE_STATE;
    }
    ReleasePublishLock(Extension);
    return status;
}
