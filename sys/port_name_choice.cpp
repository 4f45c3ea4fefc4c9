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
 * Windows' COM database: bit n-1 of ComDB is set while COMn belongs to a
 * port, also to a serial adapter that is unplugged just now. Windows keeps
 * at most 4096 numbers, 512 bytes.
 */
#define VK_COM_ARBITER_PATH                                                                        \
    L"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\COM Name Arbiter"
#define VK_VALUE_COMDB L"ComDB"
#define VK_COMDB_BYTES 512

/* DriverRegKeyPersistentState of DRIVER_REGKEY_TYPE (Windows 10 1803 on). */
#define VK_DRIVER_REGKEY_PERSISTENT_STATE 1
typedef NTSTATUS(NTAPI* VK_OPEN_DRIVER_REGISTRY_KEY)(PDRIVER_OBJECT DriverObject, ULONG RegKeyType,
                                                     ACCESS_MASK DesiredAccess, ULONG Flags,
                                                     PHANDLE DriverRegKey);

/*
 * Where each of the driver's devices has a value named after its interface
 * holding the name it last published: an unplugged keyer's name stays its
 * own. From Windows 10 1803 on, the driver's own state key: under driver
 * package isolation the service key is the installer's, not the driver's
 * to write. Before, the service key's Parameters subkey, copied in
 * DriverEntry (the path Windows passes goes when DriverEntry returns);
 * empty when none was given. Records written there before an upgrade are
 * still read, and a record in the state key replaces one there.
 */
static WCHAR ParametersPathBuffer[VK_SERVICE_PATH_CHARS];
static UNICODE_STRING ParametersPath;
static PDRIVER_OBJECT RecordDriver;
static VK_OPEN_DRIVER_REGISTRY_KEY OpenDriverRegistryKey;

/* Held from the choice of a name until it is published and recorded, so
   two keyers starting at once never both take the same free name. */
static FAST_MUTEX NameChoiceLock;

VOID InitializePortNameRecord(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNICODE_STRING routine;

    ExInitializeFastMutex(&NameChoiceLock);
    RecordDriver = DriverObject;
    /* Looked up, not imported: a driver importing it would not load on
       any Windows before 10 1803, nor on Wine. */
    RtlInitUnicodeString(&routine, L"IoOpenDriverRegistryKey");
    OpenDriverRegistryKey = (VK_OPEN_DRIVER_REGISTRY_KEY)MmGetSystemRoutineAddress(&routine);
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

/* Names compare as the object manager compares them (OBJ_CASE_INSENSITIVE).
   The data counts up to its first terminator. */
static BOOLEAN SameName(const WCHAR* Data, ULONG DataBytes, PCWSTR Name, USHORT NameBytes)
{
    UNICODE_STRING data, name;
    ULONG chars = 0;

    while (chars < DataBytes / sizeof(WCHAR) && Data[chars] != L'\0')
        chars++;
    data.Buffer = (PWSTR)Data;
    data.Length = data.MaximumLength = (USHORT)(chars * sizeof(WCHAR));
    name.Buffer = (PWSTR)Name;
    name.Length = name.MaximumLength = NameBytes;
    return RtlEqualUnicodeString(&data, &name, TRUE);
}

/* Whether the key holds a value of that name (of any type or size). */
static NTSTATUS KeyHoldsValue(HANDLE Key, const WCHAR* ValueName, ULONG ValueNameBytes,
                              PBOOLEAN Holds)
{
    KEY_VALUE_FULL_INFORMATION information;
    UNICODE_STRING name;
    ULONG length;
    NTSTATUS status;

    name.Buffer = (PWSTR)ValueName;
    name.Length = name.MaximumLength = (USHORT)ValueNameBytes;
    status = ZwQueryValueKey(Key, &name, KeyValueFullInformation, &information, sizeof(information),
                             &length);
    *Holds = (BOOLEAN)(NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW ||
                       status == STATUS_BUFFER_TOO_SMALL);
    if (*Holds || status == STATUS_OBJECT_NAME_NOT_FOUND)
        status = STATUS_SUCCESS;
    return status;
}

/* Whether a REG_SZ value of the key other than Own holds Name. A value
   that Newer also holds is Newer's to answer for. */
static NTSTATUS NamedInOpenKey(HANDLE Key, HANDLE Newer, PCUNICODE_STRING Own, PCWSTR Name,
                               USHORT NameBytes, PBOOLEAN Named)
{
    PKEY_VALUE_FULL_INFORMATION information;
    ULONG index, length;
    BOOLEAN replaced;
    NTSTATUS status;

    *Named = FALSE;
    information = (PKEY_VALUE_FULL_INFORMATION)ExAllocatePoolWithTag(
        PagedPool, VK_ENUMERATION_BYTES, VK_POOL_TAG);
    status = information ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    for (index = 0; NT_SUCCESS(status) && !*Named; index++)
    {
        status = ZwEnumerateValueKey(Key, index, KeyValueFullInformation, information,
                                     VK_ENUMERATION_BYTES, &length);
        if (status == STATUS_BUFFER_OVERFLOW)
        {
            status = STATUS_SUCCESS;
            continue;
        }
        if (!NT_SUCCESS(status) || information->Type != REG_SZ ||
            SameName(information->Name, information->NameLength, Own->Buffer, Own->Length))
            continue;
        replaced = FALSE;
        if (Newer)
            status = KeyHoldsValue(Newer, information->Name, information->NameLength, &replaced);
        if (NT_SUCCESS(status) && !replaced)
            *Named = SameName((const WCHAR*)((PUCHAR)information + information->DataOffset),
                              information->DataLength, Name, NameBytes);
    }
    if (status == STATUS_NO_MORE_ENTRIES)
        status = STATUS_SUCCESS;
    if (information)
        ExFreePool(information);
    return status;
}

/* Opens a key by its absolute path; a key that does not exist is no
   error, and leaves *Key NULL. */
static NTSTATUS OpenKeyIfPresent(PCWSTR KeyPath, ACCESS_MASK Access, PHANDLE Key)
{
    OBJECT_ATTRIBUTES attributes;
    UNICODE_STRING path;
    NTSTATUS status;

    *Key = NULL;
    RtlInitUnicodeString(&path, KeyPath);
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                               NULL);
    status = ZwOpenKey(Key, Access, &attributes);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND)
    {
        *Key = NULL;
        status = STATUS_SUCCESS;
    }
    return status;
}

/* The driver's state key, where the records go from Windows 10 1803 on;
   NULL before. */
static NTSTATUS OpenStateKey(ACCESS_MASK Access, PHANDLE Key)
{
    *Key = NULL;
    if (!OpenDriverRegistryKey)
        return STATUS_SUCCESS;
    return OpenDriverRegistryKey(RecordDriver, VK_DRIVER_REGKEY_PERSISTENT_STATE, Access, 0, Key);
}

/* Whether a record of another of the driver's devices holds Name, in the
   state key or in Parameters. */
static NTSTATUS NamedInRecords(PCUNICODE_STRING Own, PCWSTR Name, USHORT NameBytes, PBOOLEAN Named)
{
    HANDLE state = NULL, parameters = NULL;
    NTSTATUS status;

    *Named = FALSE;
    status = OpenStateKey(KEY_QUERY_VALUE, &state);
    if (NT_SUCCESS(status) && state)
        status = NamedInOpenKey(state, NULL, Own, Name, NameBytes, Named);
    if (NT_SUCCESS(status) && !*Named && ParametersPath.Length)
        status = OpenKeyIfPresent(ParametersPath.Buffer, KEY_QUERY_VALUE, &parameters);
    if (NT_SUCCESS(status) && parameters)
        status = NamedInOpenKey(parameters, state, Own, Name, NameBytes, Named);
    if (parameters)
        ZwClose(parameters);
    if (state)
        ZwClose(state);
    return status;
}

/* Whether the SERIALCOMM map lists Name for another port. */
static NTSTATUS NamedInSerialComm(PCUNICODE_STRING Own, PCWSTR Name, USHORT NameBytes,
                                  PBOOLEAN Named)
{
    HANDLE key;
    NTSTATUS status;

    *Named = FALSE;
    status = OpenKeyIfPresent(VK_SERIALCOMM_PATH, KEY_QUERY_VALUE, &key);
    if (NT_SUCCESS(status) && key)
    {
        status = NamedInOpenKey(key, NULL, Own, Name, NameBytes, Named);
        ZwClose(key);
    }
    return status;
}

/* The n of "COMn" (any case), or 0 for a name of another form. */
static ULONG ComNumber(PCWSTR Name, USHORT NameBytes)
{
    ULONG chars = NameBytes / sizeof(WCHAR), index, number = 0;

    if (chars < 4 || chars > 7 || (Name[0] | 0x20) != L'c' || (Name[1] | 0x20) != L'o' ||
        (Name[2] | 0x20) != L'm' || Name[3] == L'0')
        return 0;
    for (index = 3; index < chars; index++)
    {
        if (Name[index] < L'0' || Name[index] > L'9')
            return 0;
        number = number * 10 + (ULONG)(Name[index] - L'0');
    }
    return number;
}

/*
 * Whether ComDB holds Name's number. A system without the database (Wine)
 * holds none; a database longer than Windows keeps says nothing.
 */
static NTSTATUS HeldInComDb(PCWSTR Name, USHORT NameBytes, PBOOLEAN Held)
{
    ULONG number = ComNumber(Name, NameBytes);
    PUCHAR bits = NULL;
    HANDLE key = NULL;
    NTSTATUS status;

    *Held = FALSE;
    if (number == 0 || number > VK_COMDB_BYTES * 8)
        return STATUS_SUCCESS;
    status = OpenKeyIfPresent(VK_COM_ARBITER_PATH, KEY_QUERY_VALUE, &key);
    if (!NT_SUCCESS(status) || !key)
        return status;
    bits = (PUCHAR)ExAllocatePoolWithTag(PagedPool, VK_COMDB_BYTES, VK_POOL_TAG);
    status = bits ? ReadRegistryValue(key, VK_VALUE_COMDB, bits, VK_COMDB_BYTES)
                  : STATUS_INSUFFICIENT_RESOURCES;
    /* Shorter data reads as zero-extended: numbers past it are free. */
    if (NT_SUCCESS(status))
        *Held = (BOOLEAN)((bits[(number - 1) / 8] >> ((number - 1) % 8)) & 1);
    else if (status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_BUFFER_OVERFLOW)
        status = STATUS_SUCCESS;
    if (bits)
        ExFreePool(bits);
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

/* Taken: linked, in the SERIALCOMM map, recorded for another of this
   driver's devices, which may be unplugged just now, or held in ComDB for
   another port. */
static NTSTATUS NameTaken(PPORT_EXTENSION Extension, PCWSTR Name, USHORT NameBytes, PBOOLEAN Taken)
{
    NTSTATUS status;

    status = NameLinked(Name, NameBytes, Taken);
    if (NT_SUCCESS(status) && !*Taken)
        status = NamedInSerialComm(&Extension->InterfaceName, Name, NameBytes, Taken);
    if (NT_SUCCESS(status) && !*Taken)
        status = NamedInRecords(&Extension->InterfaceName, Name, NameBytes, Taken);
    if (NT_SUCCESS(status) && !*Taken)
        status = HeldInComDb(Name, NameBytes, Taken);
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
 * the lowest free name from COM40 up, stored as its PortName. Published
 * says whether the device has published a name before.
 */
NTSTATUS ClaimPortName(PPORT_EXTENSION Extension, PWCHAR Name, PUSHORT NameBytes,
                       PBOOLEAN Published)
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
    *Published = (BOOLEAN)(published != 0);

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
 * Called with the name choice lock held once the name is published and
 * before the map entry: from now on no other of the driver's devices
 * chooses the name while this one is unplugged. A count of the interface's
 * name serves as the value's name: IoRegisterDeviceInterface does not
 * promise a terminator.
 */
NTSTATUS RecordPublishedName(PPORT_EXTENSION Extension)
{
    OBJECT_ATTRIBUTES attributes;
    HANDLE key = NULL;
    NTSTATUS status;

    status = OpenStateKey(KEY_SET_VALUE, &key);
    if (NT_SUCCESS(status) && !key && ParametersPath.Length)
    {
        InitializeObjectAttributes(&attributes, &ParametersPath,
                                   OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
        status =
            ZwCreateKey(&key, KEY_SET_VALUE, &attributes, 0, NULL, REG_OPTION_NON_VOLATILE, NULL);
    }
    if (!NT_SUCCESS(status) || !key)
        return status;
    status = ZwSetValueKey(key, &Extension->InterfaceName, 0, REG_SZ, Extension->PortName.Buffer,
                           Extension->PortName.Length + sizeof(WCHAR));
    ZwClose(key);
    return status;
}

/*
 * Called with the name choice lock held: marks a first publication after
 * its record and before its map entry, or takes the mark back when that
 * publication fails after all. A start that fails leaves no mark, and the
 * name stays free to move at the next start, as a name that was never
 * published must.
 */
NTSTATUS MarkNamePublished(PPORT_EXTENSION Extension, BOOLEAN Published)
{
    UNICODE_STRING valueName;
    HANDLE key;
    ULONG published = 1;
    NTSTATUS status;

    status = OpenHardwareKeyToWrite(Extension, &key);
    if (!NT_SUCCESS(status))
        return status;
    RtlInitUnicodeString(&valueName, VK_VALUE_PUBLISHED);
    if (Published)
        status = ZwSetValueKey(key, &valueName, 0, REG_DWORD, &published, sizeof(published));
    else
        status = ZwDeleteValueKey(key, &valueName);
    ZwClose(key);
    return status;
}
