/*
 * Driver entry, device addition and the Plug and Play frame of the stand-in.
 */
#include "standin.h"

namespace
{

/*
 * HidRegisterMinidriver takes over the create, close and device-control slots
 * for hidclass. The control device lives on the same driver object, so those
 * slots are wrapped: the control device's requests are served here, every
 * other request goes on to hidclass exactly as it would have.
 */
PDRIVER_DISPATCH ClassCreate;
PDRIVER_DISPATCH ClassClose;
PDRIVER_DISPATCH ClassDeviceControl;
PDRIVER_DISPATCH ClassCleanup;
PDRIVER_UNLOAD ClassUnload;

NTSTATUS RouteRequest(PDRIVER_DISPATCH ClassRoutine, PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (IsControlDevice(DeviceObject))
        return DispatchControlDevice(DeviceObject, Irp);
    if (ClassRoutine == NULL)
        return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    return ClassRoutine(DeviceObject, Irp);
}

NTSTATUS NTAPI RouteCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return RouteRequest(ClassCreate, DeviceObject, Irp);
}

NTSTATUS NTAPI RouteClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return RouteRequest(ClassClose, DeviceObject, Irp);
}

NTSTATUS NTAPI RouteDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return RouteRequest(ClassDeviceControl, DeviceObject, Irp);
}

NTSTATUS NTAPI RouteCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return RouteRequest(ClassCleanup, DeviceObject, Irp);
}

VOID NTAPI StandInUnload(PDRIVER_OBJECT DriverObject)
{
    // hidclass's unload frees its minidriver record; the control device is ours.
    DeleteControlDevice();
    if (ClassUnload != NULL)
        ClassUnload(DriverObject);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT, PDEVICE_OBJECT FunctionalDevice)
{
    PSTANDIN_DEVICE device = StandInDevice(FunctionalDevice);
    RtlZeroMemory(device, sizeof(*device));
    InitializeReadQueue(device);
    static LONG added;
    device->Number = static_cast<UCHAR>(InterlockedIncrement(&added));
    FunctionalDevice->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PSTANDIN_DEVICE device = StandInDevice(DeviceObject);

    switch (stack->MinorFunction)
    {
    case IRP_MN_START_DEVICE:
        // The device key holds the test's choice of identity; it is read before
        // the collection exists, so the first open already sees it.
        ReadDeviceSettings(HidExtension(DeviceObject)->PhysicalDeviceObject);
        device->Removed = FALSE;
        device->SurpriseRemoved = FALSE;
        CountEvent(&STANDIN_STATE::Starts, 1);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
        // What Wine sends when a device goes with its port held: the tests
        // read the order back.
        if (stack->MinorFunction == IRP_MN_SURPRISE_REMOVAL)
        {
            device->SurpriseRemoved = TRUE;
            CountEvent(&STANDIN_STATE::SurpriseRemovals, 1);
        }
        else if (device->SurpriseRemoved)
        {
            CountEvent(&STANDIN_STATE::RemovalsAfterSurprise, 1);
        }
        // hidclass waits for its read loop at teardown: a read left pending
        // here would hold the removal forever.
        CompletePendingReads(device, TRUE);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    default:
        break;
    }

    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(HidExtension(DeviceObject)->NextDeviceObject, Irp);
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(HidExtension(DeviceObject)->NextDeviceObject, Irp);
}

} // namespace

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    InitializeReportLog();

    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalIoctl;
    DriverObject->DriverExtension->AddDevice = AddDevice;

    HID_MINIDRIVER_REGISTRATION registration;
    RtlZeroMemory(&registration, sizeof(registration));
    registration.Revision = HID_REVISION;
    registration.DriverObject = DriverObject;
    registration.RegistryPath = RegistryPath;
    registration.DeviceExtensionSize = sizeof(STANDIN_DEVICE);
    registration.DevicesArePolled = FALSE;
    NTSTATUS status = HidRegisterMinidriver(&registration);
    if (!NT_SUCCESS(status))
        return status;

    ClassCreate = DriverObject->MajorFunction[IRP_MJ_CREATE];
    ClassClose = DriverObject->MajorFunction[IRP_MJ_CLOSE];
    ClassDeviceControl = DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL];
    ClassCleanup = DriverObject->MajorFunction[IRP_MJ_CLEANUP];
    ClassUnload = DriverObject->DriverUnload;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = RouteCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = RouteClose;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = RouteDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = RouteCleanup;
    DriverObject->DriverUnload = StandInUnload;

    return CreateControlDevice(DriverObject);
}
