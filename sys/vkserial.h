/*
 * vkserial: a virtual serial port above the Velkor device's HID collection.
 * Routines shared between the driver's source files.
 */
#pragma once

#include <wdm.h>
#include <ntddser.h>
#include <hidusage.h>
#include <hidclass.h>

#include "port_extension.h"

#define FILE_DEVICE_KEYER 0x9C43u
#define IOCTL_KEYER_RELOAD_SETTINGS                                                                \
    CTL_CODE(FILE_DEVICE_KEYER, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_KEYER_REPUBLISH_PORT                                                                 \
    CTL_CODE(FILE_DEVICE_KEYER, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS)

/* The modem-control register's line bits, as ntddser.h names them; the
   mingw-w64 header lacks them. */
#ifndef SERIAL_MCR_DTR
#define SERIAL_MCR_DTR 0x01
#define SERIAL_MCR_RTS 0x02
#endif

/* What an unset baud rate reads back as. */
#define VK_DEFAULT_BAUD_RATE 2048

/* The manufacturer string that identifies a Velkor device. */
#define VK_MANUFACTURER L"QX7LMN/1"
#define VK_MANUFACTURER_COMPARE_CHARS 18
#define VK_MANUFACTURER_BUFFER_BYTES 256

#define VK_REPORT_LENGTH 9

/*
 * How long a report write or the manufacturer query may stay with the HID
 * stack before it is cancelled. A device takes a report within a USB frame
 * or two; one that has not answered in this time has stopped answering.
 */
#define VK_LOWER_REQUEST_TIMEOUT_MS 2000

/* Registry value names in the device's hardware key. */
#define VK_VALUE_KEY_LOGIC L"KeyLogic"
#define VK_VALUE_PTT_LOGIC L"PttLogic"
#define VK_VALUE_KEY_FUNC L"KeyFunc"
#define VK_VALUE_PTT_FUNC L"PttFunc"
#define VK_VALUE_PORT_NAME L"PortName"
#define VK_VALUE_IDENTIFIER L"Identifier"

/* The longest port name that fits SerialCommData with its terminator. */
#define VK_MAX_PORT_NAME_CHARS (VK_SERIALCOMM_CHARS - 1)
/* Bytes of a port name as read from the registry. */
#define VK_PORT_NAME_BYTES 256

/* driver_entry.cpp */
extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_ADD_DEVICE AddDevice;
/* The pool every non-paged allocation comes from, chosen in DriverEntry. */
extern POOL_TYPE VkNonPagedPool;

/* pnp.cpp, power.cpp */
DRIVER_DISPATCH DispatchPnp;
DRIVER_DISPATCH DispatchPower;
NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS StopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS SurpriseRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);

/* keying_settings.cpp */
NTSTATUS ReadRegistryValue(HANDLE Key, PCWSTR ValueName, PVOID Destination, ULONG DestinationSize);
NTSTATUS ReadKeyingSettings(PPORT_EXTENSION Extension);
NTSTATUS ReadKeyingSettingsLocked(PPORT_EXTENSION Extension);
NTSTATUS OpenHardwareKey(PPORT_EXTENSION Extension, PHANDLE Key);

/* port_name.cpp */
NTSTATUS PublishPortName(PPORT_EXTENSION Extension);
VOID WithdrawPortName(PPORT_EXTENSION Extension);
NTSTATUS RepublishPortName(PPORT_EXTENSION Extension);
VOID AcquirePublishLock(PPORT_EXTENSION Extension);
VOID ReleasePublishLock(PPORT_EXTENSION Extension);
VOID FreePortNameBuffers(PPORT_EXTENSION Extension);

/* port_name_choice.cpp */
VOID InitializePortNameRecord(PUNICODE_STRING RegistryPath);
VOID AcquireNameChoiceLock(VOID);
VOID ReleaseNameChoiceLock(VOID);
NTSTATUS ClaimPortName(PPORT_EXTENSION Extension, PWCHAR Name, PUSHORT NameBytes);
NTSTATUS RecordPublishedName(PPORT_EXTENSION Extension);

/* dispatch_general.cpp */
DRIVER_DISPATCH DispatchGeneral;
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);

/* lower_requests.cpp */
NTSTATUS PassDown(PPORT_EXTENSION Extension, PIRP Irp);
NTSTATUS ForwardAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID InitializeBoundedRequest(PBOUNDED_REQUEST Request);
NTSTATUS CallBounded(PDEVICE_OBJECT LowerDevice, PBOUNDED_REQUEST Request);
VOID CancelBoundedRequest(PBOUNDED_REQUEST Request);

/* open_close.cpp */
NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchCleanup(PPORT_EXTENSION Extension, PIRP Irp);
NTSTATUS DispatchClose(PPORT_EXTENSION Extension, PIRP Irp);

/* open_records.cpp */
VOID InitializeOpenTracking(PPORT_EXTENSION Extension);
VOID TrackOpen(PPORT_EXTENSION Extension, POPEN_RECORD Record, PFILE_OBJECT FileObject,
               BOOLEAN MayWrite);
POPEN_RECORD FindOpenLocked(PPORT_EXTENSION Extension, PFILE_OBJECT FileObject);
PFILE_OBJECT NewestOpenLocked(PPORT_EXTENSION Extension);
BOOLEAN AnyOpenMovedLinesLocked(PPORT_EXTENSION Extension);
VOID ForgetAllOpens(PPORT_EXTENSION Extension);
BOOLEAN OpenPassesThrough(PPORT_EXTENSION Extension, PFILE_OBJECT FileObject);
BOOLEAN OpenMayWrite(PPORT_EXTENSION Extension, PFILE_OBJECT FileObject);
VOID SetOpenPassThrough(PPORT_EXTENSION Extension, PFILE_OBJECT FileObject, BOOLEAN PassThrough);
VOID ResetPassThrough(PPORT_EXTENSION Extension);

/* modem_lines.cpp: the only writer of DTR and RTS */
NTSTATUS SetModemLine(PPORT_EXTENSION Extension, PFILE_OBJECT Requester, ULONG Line, BOOLEAN Raise);
NTSTATUS SetHandFlow(PPORT_EXTENSION Extension, PFILE_OBJECT Requester,
                     const SERIAL_HANDFLOW* HandFlow);
NTSTATUS SetModemControl(PPORT_EXTENSION Extension, PFILE_OBJECT Requester, ULONG ModemControl);
VOID ForgetOpen(PPORT_EXTENSION Extension, PFILE_OBJECT FileObject);

/* identity_check.cpp */
NTSTATUS CheckDeviceIdentity(PPORT_EXTENSION Extension, PFILE_OBJECT FileObject);

/* wait_on_mask.cpp */
NTSTATUS CompletePendingWait(PPORT_EXTENSION Extension);
NTSTATUS CompletePendingWaitOf(PPORT_EXTENSION Extension, PFILE_OBJECT FileObject);
NTSTATUS PendWaitOnMask(PPORT_EXTENSION Extension, PIRP Irp);
VOID RefuseWaits(PPORT_EXTENSION Extension);

/* port_state.cpp */
ULONG ReadShared(PPORT_EXTENSION Extension, const ULONG* Field);
VOID WriteShared(PPORT_EXTENSION Extension, PULONG Field, ULONG Value);
BOOLEAN ReadSharedFlag(PPORT_EXTENSION Extension, const BOOLEAN* Field);
VOID WriteSharedFlag(PPORT_EXTENSION Extension, PBOOLEAN Field, BOOLEAN Value);
VOID AcquireOutputLock(PPORT_EXTENSION Extension);
VOID ReleaseOutputLock(PPORT_EXTENSION Extension);

/* keying_output.cpp */
NTSTATUS SendOutputReport(PPORT_EXTENSION Extension, UCHAR State, PFILE_OBJECT FileObject);
VOID CancelReportInFlight(PPORT_EXTENSION Extension);
UCHAR ComputeKeyingState(const PORT_EXTENSION* Extension);

/* serial_settings.cpp */
VOID ResetSerialSettings(PPORT_EXTENSION Extension);
NTSTATUS StoreSerialSetting(PPORT_EXTENSION Extension, PIRP Irp, PVOID Setting, ULONG Size);
NTSTATUS AnswerSerialSetting(PPORT_EXTENSION Extension, PIRP Irp, const VOID* Setting, ULONG Size);
NTSTATUS AnswerCommStatus(PIRP Irp);
NTSTATUS AnswerModemLines(PPORT_EXTENSION Extension, PIRP Irp);
NTSTATUS AnswerModemControl(PPORT_EXTENSION Extension, PIRP Irp);
NTSTATUS AnswerModemStatus(PIRP Irp);
NTSTATUS AnswerStats(PIRP Irp);
NTSTATUS AnswerConfigSize(PIRP Irp);
NTSTATUS AnswerProperties(PPORT_EXTENSION Extension, PIRP Irp);

/* file_information.cpp */
NTSTATUS QueryPortInformation(PIRP Irp);
NTSTATUS SetPortInformation(PIRP Irp);
