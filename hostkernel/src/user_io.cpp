/*
 * The user-mode side of I/O: what CreateFile, DeviceIoControl, ReadFile,
 * WriteFile, CancelIo and CloseHandle turn into. Each request holds a
 * reference on its file object until it completes, so a close never
 * overtakes a request that is still pending.
 */
#include "internal.h"

namespace hk
{

Request::Request(ULONG outputLength) : output_(outputLength) {}

void Request::Finish(NTSTATUS status, ULONG_PTR information, const uint8_t* output, size_t length)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (output)
    {
        if (length > output_.size())
        {
            ReportViolation("request completed with more bytes than its output buffer holds");
            length = output_.size();
        }
        if (length)
            memcpy(output_.data(), output, length);
    }
    status_ = status;
    information_ = information;
    completed_ = true;
    done_.notify_all();
}

size_t Request::OutputCapacity()
{
    std::lock_guard<std::mutex> guard(lock_);
    return output_.size();
}

bool Request::Wait(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> guard(lock_);
    return done_.wait_for(guard, timeout, [this] { return completed_; });
}

bool Request::Completed()
{
    std::lock_guard<std::mutex> guard(lock_);
    return completed_;
}

NTSTATUS Request::Status()
{
    std::lock_guard<std::mutex> guard(lock_);
    return status_;
}

ULONG_PTR Request::Information()
{
    std::lock_guard<std::mutex> guard(lock_);
    return information_;
}

Bytes Request::Output()
{
    std::lock_guard<std::mutex> guard(lock_);
    return output_;
}

bool Request::Cancel()
{
    KIRQL irql;
    /* Holding the cancel spin lock keeps the request from being freed. */
    IoAcquireCancelSpinLock(&irql);
    PIRP irp = Irp;
    if (!irp)
    {
        IoReleaseCancelSpinLock(irql);
        return false;
    }
    return CancelIrpLocked(irp, irql);
}

namespace
{
struct Built
{
    PIRP irp;
    RequestPtr request;
};

Built BuildRequest(PDEVICE_OBJECT device, PFILE_OBJECT file, UCHAR major, ULONG outputLength)
{
    PDEVICE_OBJECT top = TopOfStack(device);
    PIRP irp = AllocateIrp(top->StackSize, false);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->FileObject = file;
    irp->Tail.Overlay.OriginalFileObject = file;
    irp->RequestorMode = UserMode;
    auto request = std::make_shared<Request>(outputLength);
    SetIrpRequest(irp, request);
    ObReferenceObject(file);
    return Built{irp, request};
}

/* The program's system call: the driver runs in the program's thread. */
RequestPtr Send(PDEVICE_OBJECT device, const Built& built)
{
    ProgramThreadScope program;
    IoCallDriver(TopOfStack(device), built.irp);
    return built.request;
}

NTSTATUS SendAndWait(PDEVICE_OBJECT device, const Built& built)
{
    RequestPtr request = Send(device, built);
    if (!request->Wait())
    {
        ReportViolation("a request the test expected to finish is still pending");
        return STATUS_PENDING;
    }
    return request->Status();
}

Built BuildDeviceControl(PDEVICE_OBJECT device, PFILE_OBJECT file, ULONG code, const Bytes& input,
                         ULONG outputLength)
{
    Built built = BuildRequest(device, file, IRP_MJ_DEVICE_CONTROL, outputLength);
    PIRP irp = built.irp;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->Parameters.DeviceIoControl.IoControlCode = code;
    stack->Parameters.DeviceIoControl.InputBufferLength = (ULONG)input.size();
    stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;

    switch (METHOD_FROM_CTL_CODE(code))
    {
    case METHOD_BUFFERED: {
        size_t length = std::max(input.size(), (size_t)outputLength);
        if (length)
        {
            irp->AssociatedIrp.SystemBuffer = AllocateInternal(length);
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            /* The I/O manager does not clear what follows the input: an
               answer the driver does not write reads as junk. */
            memset(irp->AssociatedIrp.SystemBuffer, 0xCC, length);
            if (!input.empty())
                memcpy(irp->AssociatedIrp.SystemBuffer, input.data(), input.size());
            if (outputLength)
                irp->Flags |= IRP_INPUT_OPERATION;
        }
        break;
    }
    default:
        /* Direct and neither I/O: the bench keeps the buffers as system buffers. */
        if (!input.empty())
        {
            irp->AssociatedIrp.SystemBuffer = AllocateInternal(input.size());
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            memcpy(irp->AssociatedIrp.SystemBuffer, input.data(), input.size());
        }
        if (outputLength)
        {
            irp->MdlAddress = AllocateMdl(AllocateInternal(outputLength), outputLength);
            irp->MdlAddress->MdlFlags = BenchOwnedOutputMdl;
        }
        break;
    }
    return built;
}
} // namespace

RequestPtr SendIrp(PDEVICE_OBJECT device, UCHAR major, UCHAR minor, NTSTATUS initialStatus)
{
    PDEVICE_OBJECT top = TopOfStack(device);
    PIRP irp = AllocateIrp(top->StackSize, false);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->MinorFunction = minor;
    irp->IoStatus.Status = initialStatus;
    irp->RequestorMode = KernelMode;
    auto request = std::make_shared<Request>(0);
    SetIrpRequest(irp, request);
    SystemThreadScope system;
    IoCallDriver(top, irp);
    return request;
}

NTSTATUS SendPnp(PDEVICE_OBJECT device, UCHAR minor)
{
    /* The PnP manager's requests start out as "not supported". */
    RequestPtr request = SendIrp(device, IRP_MJ_PNP, minor, STATUS_NOT_SUPPORTED);
    if (!request->Wait())
    {
        ReportViolation("a Plug and Play request never completed");
        return STATUS_PENDING;
    }
    return request->Status();
}

NTSTATUS CallAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT before = TopOfStack(pdo);
    NTSTATUS status = driver->DriverExtension->AddDevice(driver, pdo);
    PDEVICE_OBJECT top = TopOfStack(pdo);
    if (NT_SUCCESS(status) && top == before)
        ReportViolation("AddDevice succeeded without attaching a device");
    if (top != before && (top->Flags & DO_DEVICE_INITIALIZING))
        ReportViolation("AddDevice left DO_DEVICE_INITIALIZING set");
    /* Only the PDO is named and enumerated by a bus; a function device
       object with those flags misleads the PnP and I/O managers. */
    if (top != before && (top->Flags & (DO_DEVICE_HAS_NAME | DO_BUS_ENUMERATED_DEVICE)))
        ReportViolation("AddDevice's device object carries the PDO's flags");
    /* The I/O manager lays buffers out for the top device: it must ask
       what the device below expects. */
    const ULONG ioMethod = DO_BUFFERED_IO | DO_DIRECT_IO;
    if (top != before && (top->Flags & ioMethod) != (before->Flags & ioMethod))
        ReportViolation("AddDevice's device object uses another I/O method than the one below");
    return status;
}

std::unique_ptr<UserFile> UserFile::Open(PDEVICE_OBJECT device, NTSTATUS* status,
                                         ACCESS_MASK access)
{
    PFILE_OBJECT file = CreateFileObject(device);
    Built built = BuildRequest(device, file, IRP_MJ_CREATE, 0);
    /* As the I/O manager leaves them after checking a user-mode open against
       the device's security: the generic rights mapped, all of them granted. */
    ACCESS_MASK mapped = access & ~(GENERIC_READ | GENERIC_WRITE);
    if (access & GENERIC_READ)
        mapped |= FILE_GENERIC_READ;
    if (access & GENERIC_WRITE)
        mapped |= FILE_GENERIC_WRITE;
    ACCESS_STATE accessState = {0, mapped, mapped};
    IO_SECURITY_CONTEXT security = {nullptr, &accessState, mapped, 0};
    IoGetNextIrpStackLocation(built.irp)->Parameters.Create.SecurityContext = &security;
    NTSTATUS result = SendAndWait(device, built);
    if (status)
        *status = result;
    if (!NT_SUCCESS(result))
    {
        /* A failed open leaves no handle; the file goes without a close. */
        DestroyFileObject(file);
        return nullptr;
    }
    return std::unique_ptr<UserFile>(new UserFile(device, file));
}

UserFile::~UserFile()
{
    Close();
}

RequestPtr UserFile::StartDeviceControl(ULONG code, const Bytes& input, ULONG outputLength)
{
    return Send(device_, BuildDeviceControl(device_, file_, code, input, outputLength));
}

RequestPtr UserFile::StartCancelledDeviceControl(ULONG code, const Bytes& input, ULONG outputLength)
{
    Built built = BuildDeviceControl(device_, file_, code, input, outputLength);
    /* No cancel routine is set yet, so this only marks the request. */
    IoCancelIrp(built.irp);
    return Send(device_, built);
}

RequestPtr UserFile::StartRead(ULONG length)
{
    Built built = BuildRequest(device_, file_, IRP_MJ_READ, length);
    PIRP irp = built.irp;
    IoGetNextIrpStackLocation(irp)->Parameters.Read.Length = length;
    irp->AssociatedIrp.SystemBuffer = AllocateInternal(length);
    irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | IRP_INPUT_OPERATION;
    if (TopOfStack(device_)->Flags & DO_DIRECT_IO)
        irp->MdlAddress = AllocateMdl(irp->AssociatedIrp.SystemBuffer, length);
    return Send(device_, built);
}

RequestPtr UserFile::StartWrite(const Bytes& data)
{
    Built built = BuildRequest(device_, file_, IRP_MJ_WRITE, 0);
    PIRP irp = built.irp;
    IoGetNextIrpStackLocation(irp)->Parameters.Write.Length = (ULONG)data.size();
    irp->AssociatedIrp.SystemBuffer = AllocateInternal(data.size());
    irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    if (!data.empty())
        memcpy(irp->AssociatedIrp.SystemBuffer, data.data(), data.size());
    if (TopOfStack(device_)->Flags & DO_DIRECT_IO)
        irp->MdlAddress = AllocateMdl(irp->AssociatedIrp.SystemBuffer, (ULONG)data.size());
    return Send(device_, built);
}

RequestPtr UserFile::StartFlush()
{
    return Send(device_, BuildRequest(device_, file_, IRP_MJ_FLUSH_BUFFERS, 0));
}

NTSTATUS UserFile::Flush()
{
    RequestPtr request = StartFlush();
    if (!request->Wait())
        return STATUS_PENDING;
    return request->Status();
}

namespace
{
/* The I/O manager's smallest lengths for the classes the bench sends; 0
   for a class it passes on with any length. */
ULONG MinimumInformationLength(FILE_INFORMATION_CLASS infoClass)
{
    switch (infoClass)
    {
    case FileStandardInformation:
        return sizeof(FILE_STANDARD_INFORMATION);
    case FilePositionInformation:
    case FileEndOfFileInformation:
    case FileAllocationInformation:
        return sizeof(LARGE_INTEGER);
    default:
        return 0;
    }
}

RequestPtr RefusedBeforeSending(NTSTATUS status)
{
    auto request = std::make_shared<Request>(0);
    request->Finish(status, 0, nullptr, 0);
    return request;
}
} // namespace

RequestPtr UserFile::StartQueryInformation(FILE_INFORMATION_CLASS infoClass, ULONG length)
{
    if (length < MinimumInformationLength(infoClass))
        return RefusedBeforeSending(STATUS_INFO_LENGTH_MISMATCH);
    Built built = BuildRequest(device_, file_, IRP_MJ_QUERY_INFORMATION, length);
    PIRP irp = built.irp;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->Parameters.QueryFile.Length = length;
    stack->Parameters.QueryFile.FileInformationClass = infoClass;
    /* Always buffered, whatever the device's I/O method. */
    irp->AssociatedIrp.SystemBuffer = AllocateInternal(length ? length : 1);
    irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | IRP_INPUT_OPERATION;
    return Send(device_, built);
}

RequestPtr UserFile::StartSetInformation(FILE_INFORMATION_CLASS infoClass, const Bytes& input)
{
    if (input.size() < MinimumInformationLength(infoClass))
        return RefusedBeforeSending(STATUS_INFO_LENGTH_MISMATCH);
    Built built = BuildRequest(device_, file_, IRP_MJ_SET_INFORMATION, 0);
    PIRP irp = built.irp;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->Parameters.SetFile.Length = (ULONG)input.size();
    stack->Parameters.SetFile.FileInformationClass = infoClass;
    irp->AssociatedIrp.SystemBuffer = AllocateInternal(input.empty() ? 1 : input.size());
    irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    if (!input.empty())
        memcpy(irp->AssociatedIrp.SystemBuffer, input.data(), input.size());
    return Send(device_, built);
}

NTSTATUS UserFile::QueryInformation(FILE_INFORMATION_CLASS infoClass, ULONG length, Bytes* output,
                                    ULONG_PTR* information)
{
    RequestPtr request = StartQueryInformation(infoClass, length);
    if (!request->Wait())
        return STATUS_PENDING;
    if (output)
        *output = request->Output();
    if (information)
        *information = request->Information();
    return request->Status();
}

NTSTATUS UserFile::SetInformation(FILE_INFORMATION_CLASS infoClass, const Bytes& input)
{
    RequestPtr request = StartSetInformation(infoClass, input);
    if (!request->Wait())
        return STATUS_PENDING;
    return request->Status();
}

NTSTATUS UserFile::DeviceControl(ULONG code, const Bytes& input, ULONG outputLength, Bytes* output,
                                 ULONG_PTR* information)
{
    RequestPtr request = StartDeviceControl(code, input, outputLength);
    if (!request->Wait())
    {
        ReportViolation("a device control the test expected to finish is still pending");
        return STATUS_PENDING;
    }
    if (output)
        *output = request->Output();
    if (information)
        *information = request->Information();
    return request->Status();
}

NTSTATUS UserFile::Read(ULONG length, ULONG_PTR* information)
{
    RequestPtr request = StartRead(length);
    if (!request->Wait())
        return STATUS_PENDING;
    if (information)
        *information = request->Information();
    return request->Status();
}

NTSTATUS UserFile::Write(const Bytes& data, ULONG_PTR* information)
{
    RequestPtr request = StartWrite(data);
    if (!request->Wait())
        return STATUS_PENDING;
    if (information)
        *information = request->Information();
    return request->Status();
}

void UserFile::Close()
{
    if (closed_)
        return;
    closed_ = true;
    Built built = BuildRequest(device_, file_, IRP_MJ_CLEANUP, 0);
    SendAndWait(device_, built);
    /* The close, when this was the last reference, runs in the program's
       thread too. */
    ProgramThreadScope program;
    ObDereferenceObject(file_);
}

void UserFile::CloseWithoutCleanup()
{
    if (closed_)
        return;
    closed_ = true;
    ProgramThreadScope program;
    ObDereferenceObject(file_);
}

} // namespace hk
