/*
 * Plug and Play: start, stop, surprise removal and removal of the port.
 */
#include "vkserial.h"

/* The values every start begins from. Called with the output lock held. */
static VOID ResetStartState(PPORT_EXTENSION Extension)
{
    ResetPassThrough(Extension);
    WriteShared(Extension, &Extension->BaudRate, VK_DEFAULT_BAUD_RATE);
    WriteSharedFlag(Extension, &Extension->IdentityVerified, FALSE);
    ResetSerialSettings(Extension);
    Extension->KeyFunc = 0;
    Extension->PttFunc = 0;
    Extension->KeyLogic = TRUE;
    Extension->PttLogic = TRUE;
}

static NTSTATUS WithdrawPortLocked(PPORT_EXTENSION Extension);

/*
 * The HID stack starts first. When it fails, the start fails with its
 * status and nothing is published; otherwise the interface goes on, the
 * name is published and the settings are read, and the first failure of
 * these is the start's result.
 */
NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION extension = (PPORT_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS status;

    status = ForwardAndWait(DeviceObject, Irp);
    if (NT_SUCCESS(status))
    {
        /* A republish sees the port started only once it is published, and
           a program that opens the name as soon as it appears has its line
           changes wait until the mapping has been read. */
        AcquirePublishLock(extension);
        AcquireOutputLock(extension);
        status = IoSetDeviceInterfaceState(&extension->InterfaceName, TRUE);
        ResetStartState(extension);
        /* An interface that would not switch on is not there to switch
           off, and a port whose start failed must not look started to a
           republish. */
        extension->InterfaceEnabled = (BOOLEAN)NT_SUCCESS(status);
        if (NT_SUCCESS(status))
            status = PublishPortName(extension);
        if (NT_SUCCESS(status))
            status = ReadKeyingSettingsLocked(extension);
        /* Wine ignores a failed start and keeps its interface on and
           openable by its path: a failed start leaves nothing behind. */
        if (!NT_SUCCESS(status))
            WithdrawPortLocked(extension);
        ReleaseOutputLock(extension);
        ReleasePublishLock(extension);
    }
    return CompleteRequest(Irp, status, 0);
}

/*
 * Withdraws the COM name and switches the interface off, under the publish
 * lock so that no republish overlaps. Returns the switch-off's status; the
 * interface stays recorded as on when it would not switch off, so a later
 * withdrawal tries again.
 */
static NTSTATUS WithdrawPortLocked(PPORT_EXTENSION Extension)
{
    NTSTATUS status = STATUS_SUCCESS;

    WithdrawPortName(Extension);
    if (Extension->InterfaceEnabled)
        status = IoSetDeviceInterfaceState(&Extension->InterfaceName, FALSE);
    if (NT_SUCCESS(status))
        Extension->InterfaceEnabled = FALSE;
    return status;
}

NTSTATUS StopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION extension = (PPORT_EXTENSION)DeviceObject->DeviceExtension;

    AcquirePublishLock(extension);
    WithdrawPortLocked(extension);
    /* A stopped port must not look started to a republish, whatever the
       switch-off said. */
    extension->InterfaceEnabled = FALSE;
    ReleasePublishLock(extension);

    /* A function driver that handles the request says so on its way down. */
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(extension->LowerDevice, Irp);
}

/*
 * The device has gone, but the removal comes only when the last program
 * holding the port has closed it, which may take long. Whatever lets a
 * program find the port goes now, so no program opens a port that is gone
 * and a device plugged in meanwhile can publish the same name. Whatever
 * could not be withdrawn stays recorded, and the removal tries it again.
 */
NTSTATUS SurpriseRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION extension = (PPORT_EXTENSION)DeviceObject->DeviceExtension;

    WriteSharedFlag(extension, &extension->DeviceGone, TRUE);
    /* Ends a wait that slipped in after DispatchPnp ended the last one, and
       holds no new one. */
    RefuseWaits(extension);

    AcquirePublishLock(extension);
    WithdrawPortLocked(extension);
    ReleasePublishLock(extension);

    /* A line change already sending its report finishes before the HID
       stack hears of the removal; every later one finds the device gone.
       A report the device has not taken is cancelled first, so the removal
       never waits behind one that would not come back. A stack that missed
       this cancel (it came before the stack set its cancel routine) gets
       the writer's own at its bound (CallBounded), which ends it. */
    CancelReportInFlight(extension);
    AcquireOutputLock(extension);
    ReleaseOutputLock(extension);

    /* A surprise removal may not fail; every driver in the stack sees it. */
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(extension->LowerDevice, Irp);
}

/*
 * Entered holding the remove lock for this request. Waits until every
 * request the driver is handling has finished; after that no request can
 * reach the extension, which goes with the device object.
 */
NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION extension = (PPORT_EXTENSION)DeviceObject->DeviceExtension;

    RefuseWaits(extension);
    IoReleaseRemoveLockAndWait(&extension->RemoveLock, Irp);

    AcquirePublishLock(extension);
    WithdrawPortLocked(extension);
    extension->InterfaceEnabled = FALSE;
    ReleasePublishLock(extension);
    /* The driver's own copy (AddDevice). */
    if (extension->InterfaceName.Buffer)
        ExFreePool(extension->InterfaceName.Buffer);
    RtlZeroMemory(&extension->InterfaceName, sizeof(extension->InterfaceName));
    FreePortNameBuffers(extension);
    ForgetAllOpens(extension);

    /* Marked handled on its way down, as for a stop. */
    Irp->IoStatus.Status = STATUS_SUCCESS;
    ForwardAndWait(DeviceObject, Irp);
    IoDetachDevice(extension->LowerDevice);
    IoDeleteDevice(DeviceObject);
    /* A removal may not fail: the device object is gone whatever the
       interface switch-off said, and Plug and Play takes any other status
       for a broken stack. */
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION extension = (PPORT_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS status;

    status = IoAcquireRemoveLock(&extension->RemoveLock, Irp);
    if (!NT_SUCCESS(status))
        return CompleteRequest(Irp, status, 0);

    /* Any Plug and Play request ends a pending wait. */
    CompletePendingWait(extension);

    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction)
    {
    case IRP_MN_START_DEVICE:
        status = StartDevice(DeviceObject, Irp);
        break;
    case IRP_MN_REMOVE_DEVICE:
        /* Releases the remove lock itself. */
        return RemoveDevice(DeviceObject, Irp);
    case IRP_MN_STOP_DEVICE:
        status = StopDevice(DeviceObject, Irp);
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        status = SurpriseRemoveDevice(DeviceObject, Irp);
        break;
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        /* The port can always be stopped or removed and holds nothing to
           restore: it agrees, and the PnP manager reads a request still
           marked "not supported" as no driver having handled it. */
        Irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(Irp);
        status = IoCallDriver(extension->LowerDevice, Irp);
        break;
    default:
        IoSkipCurrentIrpStackLocation(Irp);
        status = IoCallDriver(extension->LowerDevice, Irp);
        break;
    }

    IoReleaseRemoveLock(&extension->RemoveLock, Irp);
    return status;
}
