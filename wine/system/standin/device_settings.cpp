/*
 * The stand-in's identity comes from its device key, so a test can install a
 * device that answers with a wrong manufacturer string from its first open.
 */
#include "standin.h"

VOID ReadDeviceSettings(PDEVICE_OBJECT PhysicalDevice)
{
    // A device plugged in after another must not inherit that one's identity.
    ResetManufacturer();
    HANDLE key;
    // KEY_READ, not STANDARD_RIGHTS_READ alone: Wine checks kernel handles too.
    if (!NT_SUCCESS(
            IoOpenDeviceRegistryKey(PhysicalDevice, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key)))
        return;

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"Manufacturer");
    const ULONG dataBytes = STANDIN_MANUFACTURER_CHARS * sizeof(WCHAR);
    const ULONG infoBytes = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) + dataBytes;
    PKEY_VALUE_PARTIAL_INFORMATION info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(
        ExAllocatePoolWithTag(PagedPool, infoBytes, 'nIsV'));
    if (info != NULL)
    {
        ULONG resultBytes;
        NTSTATUS status =
            ZwQueryValueKey(key, &name, KeyValuePartialInformation, info, infoBytes, &resultBytes);
        if (NT_SUCCESS(status) && info->Type == REG_SZ)
        {
            const WCHAR* text = reinterpret_cast<const WCHAR*>(info->Data);
            ULONG chars = info->DataLength / sizeof(WCHAR);
            // Registry strings may or may not carry their terminator.
            ULONG length = 0;
            while (length < chars && text[length] != 0)
                ++length;
            SetManufacturer(text, length);
        }
        ExFreePoolWithTag(info, 'nIsV');
    }
    ZwClose(key);
}
