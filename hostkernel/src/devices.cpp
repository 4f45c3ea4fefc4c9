/*
 * Driver and device objects: creation, stacking, detaching, deletion.
 */
#include "internal.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

#include <unordered_map>
#include <unordered_set>

namespace hk
{

namespace
{
std::unordered_map<PDEVICE_OBJECT, size_t> liveDevices;
std::vector<std::pair<void*, size_t>> deletedDevices;

NTSTATUS DefaultDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    (void)DeviceObject;
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}
} // namespace

PDRIVER_OBJECT CreateDriverObject(const wchar_t* name)
{
    PDRIVER_OBJECT driver =
        (PDRIVER_OBJECT)AllocateInternal(sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION));
    driver->Type = 4;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = (PDRIVER_EXTENSION)(driver + 1);
    driver->DriverExtension->DriverObject = driver;
    RtlInitUnicodeString(&driver->DriverName, name);
    for (auto& routine : driver->MajorFunction)
        routine = DefaultDispatch;
    /* A driver Windows loads has its service key, named as the driver. */
    WString service((const char16_t*)name);
    service = service.substr(service.rfind(u'\\') + 1);
    SetDword(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + service, u"Start", 3);
    return driver;
}

void DeleteDriverObject(PDRIVER_OBJECT driver)
{
    if (driver->DeviceObject)
        ReportViolation("driver unloaded with device objects left");
    FreeInternal(driver);
}

bool DeviceObjectExists(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> guard(BenchLock());
    return liveDevices.count(device) != 0;
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> guard(BenchLock());
    while (device->AttachedDevice)
        device = device->AttachedDevice;
    return device;
}

void ResetDevices()
{
    std::lock_guard<std::mutex> guard(BenchLock());
    for (auto& entry : deletedDevices)
    {
#if defined(__SANITIZE_ADDRESS__)
        __asan_unpoison_memory_region(entry.first, entry.second);
#endif
        FreeInternal(entry.first);
    }
    deletedDevices.clear();
}

} // namespace hk

using namespace hk;

extern "C" NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                   PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                   ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                   PDEVICE_OBJECT* DeviceObject)
{
    (void)DeviceName;
    size_t bytes = sizeof(DEVICE_OBJECT) + DeviceExtensionSize;
    PDEVICE_OBJECT device = (PDEVICE_OBJECT)AllocateInternal(bytes);
    device->Type = 3;
    device->Size = (USHORT)bytes;
    device->ReferenceCount = 0;
    device->DriverObject = DriverObject;
    device->DeviceExtension = DeviceExtensionSize ? (PVOID)(device + 1) : NULL;
    device->DeviceType = DeviceType;
    device->Characteristics = DeviceCharacteristics;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
    device->StackSize = 1;

    std::lock_guard<std::mutex> guard(BenchLock());
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    liveDevices[device] = bytes;
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

extern "C" VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    size_t bytes;
    {
        std::lock_guard<std::mutex> guard(BenchLock());
        auto found = liveDevices.find(DeviceObject);
        if (found == liveDevices.end())
        {
            ReportViolation("IoDeleteDevice of a device object that does not exist");
            return;
        }
        if (DeviceObject->AttachedDevice)
            ReportViolation("device object deleted while another is attached above it");
        bytes = found->second;
        liveDevices.erase(found);
        PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject;
        while (*link && *link != DeviceObject)
            link = &(*link)->NextDevice;
        if (*link)
            *link = DeviceObject->NextDevice;
        deletedDevices.emplace_back(DeviceObject, bytes);
    }
    QuarantineMemory(DeviceObject, bytes);
}

extern "C" PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                      PDEVICE_OBJECT TargetDevice)
{
    PDEVICE_OBJECT top = TopOfStack(TargetDevice);
    std::lock_guard<std::mutex> guard(BenchLock());
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = (CHAR)(top->StackSize + 1);
    return top;
}

extern "C" VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
    std::lock_guard<std::mutex> guard(BenchLock());
    if (!TargetDevice->AttachedDevice)
        ReportViolation("IoDetachDevice of a device with nothing attached");
    TargetDevice->AttachedDevice = NULL;
}
