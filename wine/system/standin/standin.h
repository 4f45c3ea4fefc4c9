/*
 * vkstandin: a HID minidriver that stands in for the Velkor device under Wine's
 * hidclass.sys. Routines shared between its source files.
 */
#pragma once

#include <wdm.h>

#include "hidport_defs.h"
#include "standin_control.h"

/* Per-device state, the minidriver part of the class driver's FDO extension. */
typedef struct _STANDIN_DEVICE
{
    KSPIN_LOCK ReadLock;
    LIST_ENTRY PendingReads;
    BOOLEAN Removed;
    BOOLEAN SurpriseRemoved;
    UCHAR Number; /* tags its reports in the driver-wide log */
} STANDIN_DEVICE, *PSTANDIN_DEVICE;

inline PHID_DEVICE_EXTENSION HidExtension(PDEVICE_OBJECT DeviceObject)
{
    return static_cast<PHID_DEVICE_EXTENSION>(DeviceObject->DeviceExtension);
}

inline PSTANDIN_DEVICE StandInDevice(PDEVICE_OBJECT DeviceObject)
{
    return static_cast<PSTANDIN_DEVICE>(HidExtension(DeviceObject)->MiniDeviceExtension);
}

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);

/* hid_requests.cpp */
DRIVER_DISPATCH DispatchInternalIoctl;

/* read_queue.cpp */
VOID InitializeReadQueue(PSTANDIN_DEVICE Device);
NTSTATUS PendReadReport(PSTANDIN_DEVICE Device, PIRP Irp);
VOID CompletePendingReads(PSTANDIN_DEVICE Device, BOOLEAN DeviceGone);

/* report_log.cpp */
VOID InitializeReportLog();
VOID RecordOutputReport(UCHAR Device, UCHAR Kind, UCHAR ReportId, const UCHAR* Data, ULONG Length);
ULONG CopyManufacturer(PWCHAR Buffer, ULONG BufferBytes);
VOID SetManufacturer(const WCHAR* Text, ULONG Chars);
VOID ResetManufacturer();
VOID CountEvent(ULONG STANDIN_STATE::*Counter, LONG Delta);

/* control_device.cpp */
NTSTATUS CreateControlDevice(PDRIVER_OBJECT DriverObject);
VOID DeleteControlDevice();
BOOLEAN IsControlDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS DispatchControlDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);

/* device_settings.cpp */
VOID ReadDeviceSettings(PDEVICE_OBJECT PhysicalDevice);
