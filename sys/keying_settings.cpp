/*
 * The keying settings in the device's hardware key, and the registry value
 * reader they share with the port name.
 */
#include "vkserial.h"

/*
 * Reads one value's data into Destination, which is zeroed first, so that
 * shorter data reads as if zero-extended and a string that fills the
 * destination without a terminator is still terminated by the caller's
 * spare room. Data longer than the destination is not copied and fails
 * with STATUS_BUFFER_OVERFLOW. The registry type is not checked.
 */
NTSTATUS ReadRegistryValue(HANDLE Key, PCWSTR ValueName, PVOID Destination, ULONG DestinationSize)
{
    PKEY_VALUE_FULL_INFORMATION information;
    UNICODE_STRING name;
    ULONG scratchSize;
    ULONG resultLength = 0;
    NTSTATUS status;

    RtlInitUnicodeString(&name, ValueName);
    scratchSize = name.Length + sizeof(WCHAR) + DestinationSize + 24;
    information =
        (PKEY_VALUE_FULL_INFORMATION)ExAllocatePoolWithTag(PagedPool, scratchSize, VK_POOL_TAG);
    if (!information)
        return STATUS_INSUFFICIENT_RESOURCES;

    RtlZeroMemory(Destination, DestinationSize);
    status = ZwQueryValueKey(Key, &name, KeyValueFullInformation, information, scratchSize,
                             &resultLength);
    if (NT_SUCCESS(status))
    {
        if (information->DataLength > DestinationSize)
            status = STATUS_BUFFER_OVERFLOW;
        else
            RtlCopyMemory(Destination, (PUCHAR)information + information->DataOffset,
                          information->DataLength);
    }

    ExFreePool(information);
    return status;
}

/* The device's hardware key. KEY_READ, not just STANDARD_RIGHTS_READ: the
   handle must allow querying values wherever access is checked. */
NTSTATUS OpenHardwareKey(PPORT_EXTENSION Extension, PHANDLE Key)
{
    return IoOpenDeviceRegistryKey(Extension->PhysicalDevice, PLUGPLAY_REGKEY_DEVICE, KEY_READ,
                                   Key);
}

/*
 * Re-reads KeyLogic, PttLogic, KeyFunc and PttFunc, in that order. Each
 * value read is taken at once; the first that cannot be read ends the
 * sequence, and the ones after it keep their earlier values. Called with
 * the output lock held.
 */
NTSTATUS ReadKeyingSettingsLocked(PPORT_EXTENSION Extension)
{
    HANDLE key;
    ULONG value;
    NTSTATUS status;

    status = OpenHardwareKey(Extension, &key);
    if (!NT_SUCCESS(status))
        return status;

    status = ReadRegistryValue(key, VK_VALUE_KEY_LOGIC, &value, sizeof(value));
    if (status == STATUS_SUCCESS)
    {
        Extension->KeyLogic = (BOOLEAN)(value == 1);
        status = ReadRegistryValue(key, VK_VALUE_PTT_LOGIC, &value, sizeof(value));
    }
    if (status == STATUS_SUCCESS)
    {
        Extension->PttLogic = (BOOLEAN)(value == 1);
        status = ReadRegistryValue(key, VK_VALUE_KEY_FUNC, &value, sizeof(value));
    }
    if (status == STATUS_SUCCESS)
    {
        Extension->KeyFunc = value;
        status = ReadRegistryValue(key, VK_VALUE_PTT_FUNC, &value, sizeof(value));
    }
    if (status == STATUS_SUCCESS)
        Extension->PttFunc = value;

    ZwClose(key);
    return status;
}

/* Line changes wait, so none is reported with half a new mapping. */
NTSTATUS ReadKeyingSettings(PPORT_EXTENSION Extension)
{
    NTSTATUS status;

    AcquireOutputLock(Extension);
    status = ReadKeyingSettingsLocked(Extension);
    ReleaseOutputLock(Extension);
    return status;
}
