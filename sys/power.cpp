/*
 * Power requests go to the HID stack untouched.
 *
 * Who owns device power policy for the collection: the HID class driver.
 * The power policy owner is the one driver in a stack that knows when the
 * device is in use and idle, and sends the device power requests (set and
 * query power, wait/wake) that follow from that and from the system's
 * power changes; usually the function driver, but another driver may take
 * the role. Here the HID class driver holds what that needs: it is the
 * function driver of the physical HID device (USB below it), sends that
 * device its D-state changes when the system sleeps and wakes, arms it for
 * wake and idles it (selective suspend), and as the bus driver of the
 * collection keeps the collection PDO's own system and device power state
 * and its wait/wake request.
 *
 * Why this driver requests no device power IRPs: the port is not hardware.
 * It has no registers to save and no D-state of its own, and it cannot tell
 * idle from in use any better than the collection below (a keying program
 * holds the port open for hours between line changes). A D-IRP it
 * requested would reach only the collection PDO, whose power the HID class
 * driver already follows from the HID device it owns; two owners in one
 * stack would contradict each other. So it acts as a filter does for power:
 * each request starts the next (PoStartNextPowerIrp, for the systems before
 * Vista) and goes down unchanged with PoCallDriver, and nothing it keeps
 * depends on a power state. Output reports sent while the device sleeps
 * are the HID class driver's to hold or fail, as for any HID program.
 */
#include "vkserial.h"

NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION extension = (PPORT_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS status;

    PoStartNextPowerIrp(Irp);
    status = IoAcquireRemoveLock(&extension->RemoveLock, Irp);
    if (!NT_SUCCESS(status))
        return CompleteRequest(Irp, status, 0);

    IoSkipCurrentIrpStackLocation(Irp);
    status = PoCallDriver(extension->LowerDevice, Irp);
    IoReleaseRemoveLock(&extension->RemoveLock, Irp);
    return status;
}
