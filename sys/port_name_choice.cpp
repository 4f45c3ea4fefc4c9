/*
 * The name a keyer publishes when its stored name belongs to another port,
 * and the driver's record of the names its devices were given.
 *
 * The installer gives every keyer the same PortName, and no Ports class
 * installer or COM database hands out numbers for this class (Wine has
 * neither, and a universal INF may not bring a co-installer). So the first
 * keyer publishes the stored name, and a second one plugged in beside it
 * would fail its start and have no port at all. Until a device has once
 * published a name, a stored name that another port holds is therefore
 * swapped for the lowest free one from COM40 up, and stored back so that
 * the page shows it. Once published, the name is the user's: a later start
 * publishes it or fails, and never moves it.
 */
#include "vkserial.h"

/* Beside the five settings: set once the device has published a name. */
#define VK_VALUE_PUBLISHED L"PortNamePublished"
#define VK_FIRST_CHOSEN_PORT 40
#define VK_LAST_CHOSEN_PORT 256
#define VK_PARAMETERS L"\\Parameters"
#define VK_SERIALCOMM_PATH L"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM"
#define VK_GLOBAL_DOS_DEVICES L"\\DosDevices\\Global\\"
#define VK_SERVICE_PATH_CHARS 256
/* Room for a value's name and a port name's data: a value that does not
   fit cannot hold a name this driver would choose. */
#define VK_ENUMERATION_BYTES 2048

/*
 * The service key's Parameters subkey, where each of the driver's devices
 * has a value named after its interface holding the name it last
 * published: an unplugged keyer's name stays its own. Copied in
 * DriverEntry, since the path Windows passes goes when DriverEntry
 * returns; empty when none was given, and then no record is kept.
 */
static WCHAR ParametersPathBuffer[VK_SERVICE_PATH_CHARS];
static UNICODE_STRING ParametersPath;

/* Held from the choice of a name until it is published and recorded, so
   two keyers starting at once never both take the same free name. */
static FAST_MUTEX NameChoiceLock;

VOID InitializePortNameRecord(PUNICODE_STRING RegistryPath)
{
    ExInitializeFastMutex(&NameChoiceLock);
    RtlZeroMemory(ParametersPathBuffer, sizeof(ParametersPathBuffer));
    ParametersPath.Buffer = ParametersPathBuffer;
    ParametersPath.Length = 0;
    /* The last character stays a terminator. */
    ParametersPath.MaximumLength = sizeof(ParametersPathBuffer) - sizeof(WCHAR);
    if (!RegistryPath || !RegistryPath->Buffer ||
        !NT_SUCCESS(RtlAppendUnicodeStringToString(&ParametersPath, RegistryPath)) ||
        !NT_SUCCESS(RtlAppendUnicodeToString(&ParametersPath, VK_PARAMETERS)))
        ParametersPath.Length = 0;
}

/* Inside a critical region, like the publish lock it nests in. */
VOID AcquireNameChoiceLock(VOID)
{
    KeEnterCriticalRegion();
    ExAcquireFastMutexUnsafe(&NameChoiceLock);
}

VOID ReleaseNameChoiceLock(VOID)
{
    ExReleaseFastMutexUnsafe(&NameChoiceLock);
    KeLeaveCriticalRegion();
}

static WCHAR Upper(WCHAR C)
{
    return (C >= L'a' && C <= L'z') ? (WCHAR)(C - L'a' + L'A') : C;
}

/* Names compare as Windows' object names do: without regard to case. The
   data counts up to its first terminator. */
static BOOLEAN SameName(const WCHAR* Data, ULONG DataBytes, PCWSTR Name, USHORT NameBytes)
{
    ULONG chars = 0, nameChars = NameBytes / sizeof(WCHAR);

    while (chars < DataBytes / sizeof(WCHAR) && Data[chars] != L'\0')
        chars++;
    if (chars != nameChars)
        return FALSE;
    for (chars = 0; chars < nameChars; chars++)
        if (Upper(Data[chars]) != Upper(Name[chars]))
            return FALSE;
    return TRUE;
}

/* Whether a REG_SZ value of the key other than Own holds Name. A key that
   does not exist holds none. */
static NTSTATUS NamedInKey(PCWSTR KeyPath, PCUNICODE_STRING Own, PCWSTR Name, USHORT NameBytes,
                           PBOOLEAN Named)
{
    OBJECT_ATTRIBUTES attributes;
    UNICODE_STRING path;
    HANDLE key;
    PKEY_VALUE_FULL_INFORMATION information;
    ULONG index, length;
    NTSTATUS status;

    *Named = FALSE;
    RtlInitUnicodeString(&path, KeyPath);
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                               NULL);
    status = ZwOpenKey(&key, KEY_QUERY_VALUE, &attributes);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND)
        return STATUS_SUCCESS;
    if (!NT_SUCCESS(status))
        return status;

    information = (PKEY_VALUE_FULL_INFORMATION)ExAllocatePoolWithTag(
        PagedPool, VK_ENUMERATION_BYTES, VK_POOL_TAG);
    status = information ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    for (index = 0; NT_SUCCESS(status) && !*Named; index++)
    {
        status = ZwEnumerateValueKey(key, index, KeyValueFullInformation, information,
                                     VK_ENUMERATION_BYTES, &length);
        if (status == STATUS_BUFFER_OVERFLOW)
            status = STATUS_SUCCESS;
        else if (NT_SUCCESS(status) && information->Type == REG_SZ &&
                 !SameName(information->Name, information->NameLength, Own->Buffer,
                           Own->Length))
            *Named = SameName((const WCHAR*)((PUCHAR)information + information->DataOffset),
                              information->DataLength, Name, NameBytes);
    }
    if (status == STATUS_NO_MORE_ENTRIES)
        status = STATUS_SUCCESS;
    if (information)
        ExFreePool(information);
    ZwClose(key);
    return status;
}

/* Looked up, not inferred from a failed create: Windows reports a taken
   name as a collision, Wine as a type mismatch. */
static NTSTATUS NameLinked(PCWSTR Name, USHORT NameBytes, PBOOLEAN Linked)
{
    WCHAR buffer[64];
    UNICODE_STRING link = {0, sizeof(buffer), buffer};
    UNICODE_STRING name = {NameBytes, NameBytes, (PWSTR)Name};
    OBJECT_ATTRIBUTES attributes;
    HANDLE handle;
    NTSTATUS status;

    *Linked = FALSE;
    status = RtlAppendUnicodeToString(&link, VK_GLOBAL_DOS_DEVICES);
    if (NT_SUCCESS(status))
        status = RtlAppendUnicodeStringToString(&link, &name);
    if (!NT_SUCCESS(status))
        return status;
    InitializeObjectAttributes(&attributes, &link, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                               NULL);
    status = ZwOpenSymbolicLinkObject(&handle, SYMBOLIC_LINK_QUERY, &attributes);
    if (NT_SUCCESS(status))
        ZwClose(handle);
    /* Some other object holds the name. */
    if (NT_SUCCESS(status) || status == STATUS_OBJECT_TYPE_MISMATCH)
        *Linked = TRUE;
    else if (status != STATUS_OBJECT_NAME_NOT_FOUND)
        return status;
    return STATUS_SUCCESS;
}

/* Taken: linked, in the SERIALCOMM map, or recorded for another of this
   driver's devices, which may be unplugged just now. */
static NTSTATUS NameTaken(PPORT_EXTENSION Extension, PCWSTR Name, USHORT NameBytes,
                          PBOOLEAN Taken)
{
    NTSTATUS status;

    status = NameLinked(Name, NameBytes, Taken);
    if (NT_SUCCESS(status) && !*Taken)
        status = NamedInKey(VK_SERIALCOMM_PATH, &Extension->InterfaceName, Name, NameBytes, Taken);
    if (NT_SUCCESS(status) && !*Taken && ParametersPath.Length)
        status = NamedInKey(ParametersPath.Buffer, &Extension->InterfaceName, Name, NameBytes,
                            Taken);
    return status;
}

/* "COM" and the number, terminated; returns its bytes. */
static USHORT FormatComName(ULONG Number, PWCHAR Name)
{
    WCHAR digits[4];
    USHORT count = 0, chars = 0;

    do
    {
        digits[count++] = (WCHAR)(L'0' + Number % 10);
        Number /= 10;
    } while (Number);
    Name[chars++] = L'C';
    Name[chars++] = L'O';
    Name[chars++] = L'M';
    while (count)
        Name[chars++] = digits[--count];
    Name[chars] = L'\0';
    return (USHORT)(chars * sizeof(WCHAR));
}

static NTSTATUS OpenHardwareKeyToWrite(PPORT_EXTENSION Extension, PHANDLE Key)
{
    return IoOpenDeviceRegistryKey(Extension->PhysicalDevice, PLUGPLAY_REGKEY_DEVICE,
                                   KEY_READ | KEY_SET_VALUE, Key);
}

/*
 * Called with the name choice lock held, with the name read for
 * publication (its buffer holds at least VK_MAX_PORT_NAME_CHARS + 1
 * characters). A device that never published and whose name is taken gets
 * the lowest free name from COM40 up, stored as its PortName.
 */
NTSTATUS ClaimPortName(PPORT_EXTENSION Extension, PWCHAR Name, PUSHORT NameBytes)
{
    UNICODE_STRING valueName;
    HANDLE key;
    ULONG published = 0, number = VK_FIRST_CHOSEN_PORT;
    BOOLEAN taken = FALSE, chosen = FALSE;
    NTSTATUS status;

    status = OpenHardwareKeyToWrite(Extension, &key);
    if (!NT_SUCCESS(status))
        return status;
    status = ReadRegistryValue(key, VK_VALUE_PUBLISHED, &published, sizeof(published));
    if (status == STATUS_OBJECT_NAME_NOT_FOUND)
        published = 0;
    /* A mark longer than a word still says the name was published. */
    else if (status == STATUS_BUFFER_OVERFLOW)
        published = 1;
    else if (!NT_SUCCESS(status))
        goto Exit;

    status = published ? STATUS_SUCCESS : NameTaken(Extension, Name, *NameBytes, &taken);
    while (NT_SUCCESS(status) && taken)
    {
        if (number > VK_LAST_CHOSEN_PORT)
        {
            status = STATUS_OBJECT_NAME_COLLISION;
            break;
        }
        *NameBytes = FormatComName(number++, Name);
        chosen = TRUE;
        status = NameTaken(Extension, Name, *NameBytes, &taken);
    }
    if (NT_SUCCESS(status) && chosen)
    {
        RtlInitUnicodeString(&valueName, VK_VALUE_PORT_NAME);
        status = ZwSetValueKey(key, &valueName, 0, REG_SZ, Name, *NameBytes + sizeof(WCHAR));
    }

Exit:
    ZwClose(key);
    return status;
}

/*
 * Called with the name choice lock held once the name is published: from
 * now on the name is the device's, and no other of the driver's devices
 * chooses it while this one is unplugged.
 */
NTSTATUS RecordPublishedName(PPORT_EXTENSION Extension)
{
    OBJECT_ATTRIBUTES attributes;
    UNICODE_STRING valueName;
    HANDLE key;
    ULONG published = 1;
    NTSTATUS status;

    status = OpenHardwareKeyToWrite(Extension, &key);
    if (!NT_SUCCESS(status))
        return status;
    RtlInitUnicodeString(&valueName, VK_VALUE_PUBLISHED);
    status = ZwSetValueKey(key, &valueName, 0, REG_DWORD, &published, sizeof(published));
    ZwClose(key);
    if (!NT_SUCCESS(status) || !ParametersPath.Length)
        return status;

    InitializeObjectAttributes(&attributes, &ParametersPath,
                               OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    status = ZwCreateKey(&key, KEY_SET_VALUE, &attributes, 0, NULL, REG_OPTION_NON_VOLATILE,
                         NULL);
    if (!NT_SUCCESS(status))
        return status;
    status = ZwSetValueKey(key, &Extension->InterfaceName, 0, REG_SZ,
                           Extension->PortName.Buffer, Extension->PortName.Length + sizeof(WCHAR));
    ZwClose(key);
    return status;
}
