/*
 * Driver entry and device creation.
 */
/* This file defines GUID_DEVINTERFACE_COMPORT for the driver. */
#include <initguid.h>

#include "vkserial.h"

/* RtlGetVersion (in wdm.h of the WDK, in ntddk.h of mingw-w64). */
#include <ntddk.h>

POOL_TYPE VkNonPagedPool;

/* The flags a function driver takes from the device below: how the I/O
   manager lays out the buffers of the reads and writes this device hands
   down, and how the stack is powered. Naming, enumeration and the rest
   belong to the device that set them. */
#define VK_FLAGS_FROM_BELOW (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE | DO_POWER_INRUSH)

static DRIVER_UNLOAD DriverUnload;

static VOID DriverUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
}

/*
 * NonPagedPool is executable, which Driver Verifier's code integrity checks
 * and memory integrity (HVCI) refuse from Windows 8 (NT 6.2) on; the NX pool
 * does not exist before Windows 8, and older systems fail a request for it.
 * Asked of RtlGetVersion: the WDM version IoIsWdmVersionAvailable knows
 * stays 6.00 from Vista on, and RtlGetVersion answers with the true version
 * whatever compatibility the system applies to programs.
 */
static POOL_TYPE ChooseNonPagedPool(VOID)
{
    RTL_OSVERSIONINFOW version;

    RtlZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    if (!NT_SUCCESS(RtlGetVersion(&version)))
        return NonPagedPool;
    if (version.dwMajorVersion > 6 || (version.dwMajorVersion == 6 && version.dwMinorVersion >= 2))
        return NonPagedPoolNx;
    return NonPagedPool;
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    InitializePortNameRecord(DriverObject, RegistryPath);
    VkNonPagedPool = ChooseNonPagedPool();

    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchGeneral;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchGeneral;
    DriverObject->MajorFunction[IRP_MJ_READ] = DispatchGeneral;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchGeneral;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchGeneral;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchGeneral;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchGeneral;
    DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = DispatchGeneral;
    DriverObject->MajorFunction[IRP_MJ_QUERY_INFORMATION] = DispatchGeneral;
    DriverObject->MajorFunction[IRP_MJ_SET_INFORMATION] = DispatchGeneral;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->DriverUnload = DriverUnload;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    return STATUS_SUCCESS;
}

/*
 * IoRegisterDeviceInterface does not promise a terminator, and the name
 * also names the port's SERIALCOMM entry, which the registry routines take
 * as a terminated string: the name is kept as a terminated copy in the
 * driver's own pool, freed with ExFreePool. On failure the name is freed.
 */
static NTSTATUS TerminateInterfaceName(PUNICODE_STRING Name)
{
    ULONG bytes = Name->Length + sizeof(WCHAR);
    PWSTR copy;

    /* A counted string's length fits a USHORT, its terminator may not. */
    copy = bytes <= 0xFFFF ? (PWSTR)ExAllocatePoolWithTag(PagedPool, bytes, VK_POOL_TAG) : NULL;
    if (copy)
    {
        RtlCopyMemory(copy, Name->Buffer, Name->Length);
        copy[Name->Length / sizeof(WCHAR)] = L'\0';
    }
    RtlFreeUnicodeString(Name);
    if (!copy)
        return STATUS_INSUFFICIENT_RESOURCES;
    Name->Buffer = copy;
    Name->Length = (USHORT)(bytes - sizeof(WCHAR));
    Name->MaximumLength = (USHORT)bytes;
    return STATUS_SUCCESS;
}

/*
 * Creates the port device object above the HID collection and registers it
 * as a COM port. The interface stays off until the device starts. Opens are
 * checked against the device's security descriptor whatever name they came
 * by (FILE_DEVICE_SECURE_OPEN).
 */
NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PDEVICE_OBJECT device;
    PPORT_EXTENSION extension;
    NTSTATUS status;

    status = IoCreateDevice(DriverObject, sizeof(PORT_EXTENSION), NULL, FILE_DEVICE_SERIAL_PORT,
                            FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;

    extension = (PPORT_EXTENSION)device->DeviceExtension;
    RtlZeroMemory(extension, sizeof(PORT_EXTENSION));
    InitializeOpenTracking(extension);
    ExInitializeFastMutex(&extension->PublishLock);
    /* Ready before the attach: from then on requests can reach the device. */
    IoInitializeRemoveLock(&extension->RemoveLock, VK_REMOVE_LOCK_TAG, 1, 100);

    extension->LowerDevice = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
    if (!extension->LowerDevice)
    {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    extension->PhysicalDevice = PhysicalDeviceObject;

    status = IoRegisterDeviceInterface(PhysicalDeviceObject, &GUID_DEVINTERFACE_COMPORT, NULL,
                                       &extension->InterfaceName);
    if (NT_SUCCESS(status))
        status = TerminateInterfaceName(&extension->InterfaceName);
    if (!NT_SUCCESS(status))
    {
        IoDetachDevice(extension->LowerDevice);
        IoDeleteDevice(device);
        return status;
    }

    /* Reads and writes a HID program sends through the port reach the
       collection in the form it asked for. */
    device->Flags |= extension->LowerDevice->Flags & VK_FLAGS_FROM_BELOW;
    /* Last: until then the device can be neither opened nor attached to. */
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return status;
}
