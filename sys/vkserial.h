/*
 * vkserial: a virtual serial port above the Velkor device's HID collection.
 * Routines shared between the driver's source files.
 */
#pragma once

#include <wdm.h>
#include <ntddser.h>
#include <hidclass.h>

#include "port_extension.h"

#define FILE_DEVICE_KEYER 0x9C43
#define IOCTL_KEYER_RELOAD_SETTINGS                                                                \
    CTL_CODE(FILE_DEVICE_KEYER, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_KEYER_REPUBLISH_PORT                                                                 \
    CTL_CODE(FILE_DEVICE_KEYER, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS)

/* What an unset baud rate reads back as. */
#define VK_DEFAULT_BAUD_RATE 2048

/* The manufacturer string that identifies a Velkor device. */
#define VK_MANUFACTURER L"QX7LMN/1"
#define VK_MANUFACTURER_COMPARE_CHARS 18
#define VK_MANUFACTURER_BUFFER_BYTES 256

#define VK_REPORT_LENGTH 9

/* dispatch_general.cpp */
DRIVER_DISPATCH DispatchGeneral;
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);

/* lower_requests.cpp */
NTSTATUS PassDown(PPORT_EXTENSION Extension, PIRP Irp);
NTSTATUS ForwardAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp);

/* open_close.cpp */
NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchCleanup(PPORT_EXTENSION Extension, PIRP Irp);
NTSTATUS DispatchClose(PPORT_EXTENSION Extension, PIRP Irp);
VOID InitializeOpenTracking(PPORT_EXTENSION Extension);
PFILE_OBJECT ReferenceOutputFileObject(PPORT_EXTENSION Extension);
VOID ForgetAllOpens(PPORT_EXTENSION Extension);

/* identity_check.cpp */
NTSTATUS CheckDeviceIdentity(PPORT_EXTENSION Extension);

/* wait_on_mask.cpp */
NTSTATUS CompletePendingWait(PPORT_EXTENSION Extension);
NTSTATUS PendWaitOnMask(PPORT_EXTENSION Extension, PIRP Irp);

/* keying_output.cpp */
NTSTATUS UpdateKeyingOutput(PPORT_EXTENSION Extension);
NTSTATUS SendOutputReport(PPORT_EXTENSION Extension, UCHAR State);
UCHAR ComputeKeyingState(const PORT_EXTENSION* Extension);
