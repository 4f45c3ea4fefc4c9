/*
 * Driver entry and device creation.
 */
/* This file defines GUID_DEVINTERFACE_COMPORT for the driver. */
#include <initguid.h>

#include "vkserial.h"

static DRIVER_UNLOAD DriverUnload;

static VOID DriverUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    InitializePortNameRecord(RegistryPath);

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
 * Creates the port device object above the HID collection and registers it
 * as a COM port. The interface stays off until the device starts.
 */
NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PDEVICE_OBJECT device;
    PPORT_EXTENSION extension;
    NTSTATUS status;

    status = IoCreateDevice(DriverObject, sizeof(PORT_EXTENSION), NULL, FILE_DEVICE_SERIAL_PORT,
                            0, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;

    extension = (PPORT_EXTENSION)device->DeviceExtension;
    RtlZeroMemory(extension, sizeof(PORT_EXTENSION));
    InitializeOpenTracking(extension);
    ExInitializeFastMutex(&extension->PublishLock);

    extension->LowerDevice = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
    if (!extension->LowerDevice)
    {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    /* Takes the collection's I/O and power flags; this also ends
       DO_DEVICE_INITIALIZING. */
    device->Flags = extension->LowerDevice->Flags | DO_DIRECT_IO;
    extension->PhysicalDevice = PhysicalDeviceObject;

    status = IoRegisterDeviceInterface(PhysicalDeviceObject, &GUID_DEVINTERFACE_COMPORT, NULL,
                                       &extension->InterfaceName);
    if (!NT_SUCCESS(status))
    {
        IoDetachDevice(extension->LowerDevice);
        IoDeleteDevice(device);
        return status;
    }

    IoInitializeRemoveLock(&extension->RemoveLock, VK_REMOVE_LOCK_TAG, 1, 100);
    return status;
}
