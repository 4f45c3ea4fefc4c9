/*
 * The requests hidclass sends its minidriver: what the stand-in device says
 * about itself, and the output reports it is given.
 */
#include "standin.h"

namespace
{

/*
 * One vendor-defined application collection with a single output report of 8
 * bytes and no report IDs: a 9-byte write (id 0, then 8 bytes) is the only
 * report the port driver can send.
 */
const UCHAR ReportDescriptor[] = {
    0x06, 0x00, 0xFF, // Usage Page (vendor defined 0xFF00)
    0x09, 0x01,       // Usage (1)
    0xA1, 0x01,       // Collection (Application)
    0x09, 0x01,       //   Usage (1)
    0x15, 0x00,       //   Logical Minimum (0)
    0x26, 0xFF, 0x00, //   Logical Maximum (255)
    0x75, 0x08,       //   Report Size (8)
    0x95, 0x08,       //   Report Count (8)
    0x91, 0x02,       //   Output (Data, Variable, Absolute)
    0xC0,             // End Collection
};

const USHORT VendorId = 0x1234;
const USHORT ProductId = 0x5678;

const WCHAR ProductString[] = L"Velkor stand-in";
const WCHAR SerialString[] = L"0001";

NTSTATUS GetDeviceDescriptor(PIRP Irp, ULONG OutputLength)
{
    if (OutputLength < sizeof(HID_DESCRIPTOR))
        return CompleteRequest(Irp, STATUS_BUFFER_TOO_SMALL, 0);
    PHID_DESCRIPTOR descriptor = static_cast<PHID_DESCRIPTOR>(Irp->UserBuffer);
    RtlZeroMemory(descriptor, sizeof(*descriptor));
    descriptor->bLength = sizeof(HID_DESCRIPTOR);
    descriptor->bDescriptorType = HID_HID_DESCRIPTOR_TYPE;
    descriptor->bcdHID = 0x0100;
    descriptor->bNumDescriptors = 1;
    descriptor->DescriptorList[0].bReportType = HID_REPORT_DESCRIPTOR_TYPE;
    descriptor->DescriptorList[0].wReportLength = sizeof(ReportDescriptor);
    return CompleteRequest(Irp, STATUS_SUCCESS, sizeof(HID_DESCRIPTOR));
}

NTSTATUS GetReportDescriptor(PIRP Irp, ULONG OutputLength)
{
    if (OutputLength < sizeof(ReportDescriptor))
        return CompleteRequest(Irp, STATUS_BUFFER_TOO_SMALL, 0);
    RtlCopyMemory(Irp->UserBuffer, ReportDescriptor, sizeof(ReportDescriptor));
    return CompleteRequest(Irp, STATUS_SUCCESS, sizeof(ReportDescriptor));
}

NTSTATUS GetDeviceAttributes(PIRP Irp, ULONG OutputLength)
{
    if (OutputLength < sizeof(HID_DEVICE_ATTRIBUTES))
        return CompleteRequest(Irp, STATUS_BUFFER_TOO_SMALL, 0);
    PHID_DEVICE_ATTRIBUTES attributes = static_cast<PHID_DEVICE_ATTRIBUTES>(Irp->UserBuffer);
    RtlZeroMemory(attributes, sizeof(*attributes));
    attributes->Size = sizeof(HID_DEVICE_ATTRIBUTES);
    attributes->VendorID = VendorId;
    attributes->ProductID = ProductId;
    attributes->VersionNumber = 0x0100;
    return CompleteRequest(Irp, STATUS_SUCCESS, sizeof(HID_DEVICE_ATTRIBUTES));
}

ULONG CopyFixedString(const WCHAR* Text, ULONG TextBytes, PWCHAR Buffer, ULONG BufferBytes)
{
    if (BufferBytes < TextBytes)
        return 0;
    RtlCopyMemory(Buffer, Text, TextBytes);
    return TextBytes;
}

NTSTATUS GetString(PIRP Irp, PIO_STACK_LOCATION Stack)
{
    // METHOD_NEITHER: the string id travels in the input pointer itself, the
    // language in its high word.
    ULONG id = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(
                   Stack->Parameters.DeviceIoControl.Type3InputBuffer)) &
               0xFFFF;
    PWCHAR buffer = static_cast<PWCHAR>(Irp->UserBuffer);
    ULONG bufferBytes = Stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG copied;

    switch (id)
    {
    case VK_HID_STRING_ID_IMANUFACTURER:
    case VK_WINE_STRING_ID_IMANUFACTURER:
        CountEvent(&STANDIN_STATE::StringQueries, 1);
        copied = CopyManufacturer(buffer, bufferBytes);
        break;
    case VK_HID_STRING_ID_IPRODUCT:
    case VK_WINE_STRING_ID_IPRODUCT:
        copied = CopyFixedString(ProductString, sizeof(ProductString), buffer, bufferBytes);
        break;
    case VK_HID_STRING_ID_ISERIALNUMBER:
    case VK_WINE_STRING_ID_ISERIALNUMBER:
        copied = CopyFixedString(SerialString, sizeof(SerialString), buffer, bufferBytes);
        break;
    default:
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    if (copied == 0)
        return CompleteRequest(Irp, STATUS_BUFFER_TOO_SMALL, 0);
    return CompleteRequest(Irp, STATUS_SUCCESS, copied);
}

NTSTATUS TakeOutputReport(PDEVICE_OBJECT DeviceObject, PIRP Irp, UCHAR Kind)
{
    PHID_XFER_PACKET packet = static_cast<PHID_XFER_PACKET>(Irp->UserBuffer);
    if (packet == NULL || packet->reportBuffer == NULL)
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    RecordOutputReport(StandInDevice(DeviceObject)->Number, Kind, packet->reportId,
                       packet->reportBuffer, packet->reportBufferLen);
    return CompleteRequest(Irp, STATUS_SUCCESS, packet->reportBufferLen);
}

} // namespace

NTSTATUS NTAPI DispatchInternalIoctl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PSTANDIN_DEVICE device = StandInDevice(DeviceObject);
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;

    switch (stack->Parameters.DeviceIoControl.IoControlCode)
    {
    case IOCTL_HID_GET_DEVICE_DESCRIPTOR:
        return GetDeviceDescriptor(Irp, outputLength);
    case IOCTL_HID_GET_REPORT_DESCRIPTOR:
        return GetReportDescriptor(Irp, outputLength);
    case IOCTL_HID_GET_DEVICE_ATTRIBUTES:
        return GetDeviceAttributes(Irp, outputLength);
    case IOCTL_HID_GET_STRING:
        return GetString(Irp, stack);
    case IOCTL_HID_READ_REPORT:
        // The device has no input report: reads wait until it goes away.
        return PendReadReport(device, Irp);
    case IOCTL_HID_WRITE_REPORT:
        return TakeOutputReport(DeviceObject, Irp, STANDIN_KIND_WRITE);
    case IOCTL_HID_SET_OUTPUT_REPORT:
        return TakeOutputReport(DeviceObject, Irp, STANDIN_KIND_SET_OUTPUT);
    case IOCTL_HID_ACTIVATE_DEVICE:
    case IOCTL_HID_DEACTIVATE_DEVICE:
        return CompleteRequest(Irp, STATUS_SUCCESS, 0);
    default:
        return CompleteRequest(Irp, STATUS_NOT_SUPPORTED, 0);
    }
}
