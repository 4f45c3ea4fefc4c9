/*
 * The simulated Velkor HID collection.
 */
#include <velkor_hid_collection.h>

#include <hostkernel/registry.h>

#include <hidclass.h>

#include <map>

namespace hk
{

namespace
{
NTSTATUS CollectionDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    auto* collection = *(VelkorHidCollection**)DeviceObject->DeviceExtension;
    return collection->Dispatch(Irp);
}

Bytes Utf16Bytes(const std::u16string& text)
{
    Bytes bytes((text.size() + 1) * 2, 0);
    for (size_t i = 0; i < text.size(); i++)
    {
        bytes[2 * i] = (uint8_t)(text[i] & 0xFF);
        bytes[2 * i + 1] = (uint8_t)(text[i] >> 8);
    }
    return bytes;
}

/* The caller's data of a write, however the I/O manager described it. */
const uint8_t* WriteData(PIRP irp)
{
    if (irp->Flags & IRP_BUFFERED_IO)
        return (const uint8_t*)irp->AssociatedIrp.SystemBuffer;
    if (irp->MdlAddress)
        return (const uint8_t*)MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
    return (const uint8_t*)irp->UserBuffer;
}
} // namespace

VelkorHidCollection::VelkorHidCollection(ULONG ioFlags, const char16_t* instancePath)
{
    driver_ = CreateDriverObject(L"\\Driver\\velkorhid");
    for (auto& routine : driver_->MajorFunction)
        routine = CollectionDispatch;
    IoCreateDevice(driver_, sizeof(VelkorHidCollection*), NULL, FILE_DEVICE_UNKNOWN, 0, FALSE,
                   &pdo_);
    *(VelkorHidCollection**)pdo_->DeviceExtension = this;
    /* The HID class driver names its collection PDOs, and reports them as
       its bus's children. */
    pdo_->Flags =
        (pdo_->Flags | ioFlags | DO_POWER_PAGABLE | DO_DEVICE_HAS_NAME | DO_BUS_ENUMERATED_DEVICE) &
        ~DO_DEVICE_INITIALIZING;
    manufacturer_ = Utf16Bytes(u"QX7LMN/1");
    RegisterPdo(pdo_, instancePath);
}

VelkorHidCollection::~VelkorHidCollection()
{
    for (auto& thread : threads_)
        thread.join();
    if (!held_.empty())
        ReportViolation("test ended with requests held by the HID collection");
    UnregisterPdo(pdo_);
    if (DeviceObjectExists(pdo_))
        IoDeleteDevice(pdo_);
    DeleteDriverObject(driver_);
}

void VelkorHidCollection::SetManufacturer(const std::u16string& text)
{
    std::lock_guard<std::mutex> guard(lock_);
    manufacturer_ = Utf16Bytes(text);
}

void VelkorHidCollection::SetPnpStatus(UCHAR minor, NTSTATUS status)
{
    std::lock_guard<std::mutex> guard(lock_);
    pnpStatus_[minor] = status;
}

bool VelkorHidCollection::WaitHeld(size_t n, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> guard(lock_);
    return heldChanged_.wait_for(guard, timeout, [&] { return held_.size() >= n; });
}

/* The held requests whose cancel routine this call took back: a cancel
   under way completes the others itself. */
std::vector<VelkorHidCollection::Held> VelkorHidCollection::TakeHeld()
{
    std::vector<Held> released;
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& held : held_)
        if (!held.cancelable || IoSetCancelRoutine(held.irp, NULL))
            released.push_back(held);
    held_.clear();
    return released;
}

void VelkorHidCollection::SetLateCancelRoutines()
{
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& held : held_)
        if (!held.cancelable)
        {
            held.cancelable = true;
            (void)IoSetCancelRoutine(held.irp, CancelHeld);
        }
}

void VelkorHidCollection::CancelHeld(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    auto* collection = *(VelkorHidCollection**)DeviceObject->DeviceExtension;
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    {
        std::lock_guard<std::mutex> guard(collection->lock_);
        auto& held = collection->held_;
        for (auto it = held.begin(); it != held.end(); ++it)
            if (it->irp == Irp)
            {
                held.erase(it);
                break;
            }
        collection->cancelled_++;
    }
    collection->Complete(Irp, STATUS_CANCELLED, 0);
}

void VelkorHidCollection::ReleaseHeld()
{
    for (auto& held : TakeHeld())
        Complete(held.irp, held.status, held.information);
}

void VelkorHidCollection::FailHeld(NTSTATUS status)
{
    for (auto& held : TakeHeld())
        Complete(held.irp, status, 0);
}

void VelkorHidCollection::Complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_CREATE && NT_SUCCESS(status))
    {
        std::lock_guard<std::mutex> guard(lock_);
        openFiles_.insert(stack->FileObject);
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS VelkorHidCollection::Reply(PIRP irp, Answer how, NTSTATUS status, ULONG_PTR information)
{
    if (how == Answer::AtOnce)
    {
        Complete(irp, status, information);
        return status;
    }
    IoMarkIrpPending(irp);
    std::unique_lock<std::mutex> guard(lock_);
    if (how == Answer::HeldCancelLate)
    {
        held_.push_back(Held{irp, status, information, false});
        heldChanged_.notify_all();
    }
    else if (how == Answer::Held)
    {
        /* Cancellable, as a real driver's queued requests are; one cancelled
           before it was queued ends at once. */
        held_.push_back(Held{irp, status, information, true});
        (void)IoSetCancelRoutine(irp, CancelHeld);
        if (irp->Cancel && IoSetCancelRoutine(irp, NULL))
        {
            held_.pop_back();
            guard.unlock();
            Complete(irp, STATUS_CANCELLED, 0);
            return STATUS_PENDING;
        }
        heldChanged_.notify_all();
    }
    else
    {
        auto delay = threadDelay_;
        threads_.emplace_back([this, irp, status, information, delay] {
            std::this_thread::sleep_for(delay);
            KIRQL irql;
            KeRaiseIrql(DISPATCH_LEVEL, &irql);
            Complete(irp, status, information);
            KeLowerIrql(irql);
        });
    }
    return STATUS_PENDING;
}

NTSTATUS VelkorHidCollection::Create(PIRP irp)
{
    std::unique_lock<std::mutex> guard(lock_);
    NTSTATUS status = createStatus_;
    Answer how = createAnswer_;
    guard.unlock();
    return Reply(irp, how, status, 0);
}

NTSTATUS VelkorHidCollection::Write(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG length = stack->Parameters.Write.Length;
    const uint8_t* data = WriteData(irp);

    WriteRecord record;
    record.bytes.assign(data, data + length);
    record.length = length;
    record.offset = stack->Parameters.Write.ByteOffset.QuadPart;
    record.fileObject = stack->FileObject;

    std::unique_lock<std::mutex> guard(lock_);
    record.fileWasOpen = openFiles_.count(stack->FileObject) != 0;
    if (!record.fileWasOpen)
        ReportViolation("HID collection got a write for a file it does not have open");
    writes_.push_back(record);
    NTSTATUS status = writeStatus_;
    Answer how = writeAnswer_;
    guard.unlock();
    return Reply(irp, how, status, NT_SUCCESS(status) ? length : 0);
}

NTSTATUS VelkorHidCollection::DeviceControl(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    std::unique_lock<std::mutex> guard(lock_);
    controls_.push_back(code);
    /* A HID class driver serves a device control in the context of one of
       its opens: Wine's starts every control by reading the request's
       original file object, and faults on a request that has none. */
    PFILE_OBJECT original = irp->Tail.Overlay.OriginalFileObject;
    if (!original || stack->FileObject != original || !openFiles_.count(original))
    {
        ReportViolation("HID collection got a device control outside any of its opens");
        guard.unlock();
        return Reply(irp, Answer::AtOnce, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    if (code != IOCTL_HID_GET_MANUFACTURER_STRING)
    {
        guard.unlock();
        return Reply(irp, Answer::AtOnce, STATUS_SUCCESS, 0);
    }

    manufacturerQueries_++;
    lastQueryFile_ = stack->FileObject;
    NTSTATUS status = manufacturerStatus_;
    Answer how = manufacturerAnswer_;
    ULONG_PTR information = 0;
    if (NT_SUCCESS(status))
    {
        ULONG room = stack->Parameters.DeviceIoControl.OutputBufferLength;
        if (!irp->MdlAddress || room < manufacturer_.size())
        {
            status = STATUS_INVALID_PARAMETER;
        }
        else
        {
            void* buffer = MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
            memcpy(buffer, manufacturer_.data(), manufacturer_.size());
            information = manufacturer_.size();
        }
    }
    guard.unlock();
    return Reply(irp, how, status, information);
}

NTSTATUS VelkorHidCollection::Pnp(PIRP irp)
{
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    NTSTATUS status;
    /* The PnP manager sends these marked "not supported"; a function driver
       that passes one down must first mark it handled. */
    if ((minor == IRP_MN_STOP_DEVICE || minor == IRP_MN_QUERY_STOP_DEVICE ||
         minor == IRP_MN_QUERY_REMOVE_DEVICE || minor == IRP_MN_CANCEL_STOP_DEVICE ||
         minor == IRP_MN_CANCEL_REMOVE_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL ||
         minor == IRP_MN_REMOVE_DEVICE) &&
        irp->IoStatus.Status != STATUS_SUCCESS)
        ReportViolation("PnP request " + std::to_string(minor) +
                        " passed down to the collection without STATUS_SUCCESS set");
    {
        std::lock_guard<std::mutex> guard(lock_);
        pnpMinors_.push_back(minor);
        auto found = pnpStatus_.find(minor);
        if (found != pnpStatus_.end())
            status = found->second;
        else if (minor == IRP_MN_START_DEVICE || minor == IRP_MN_STOP_DEVICE ||
                 minor == IRP_MN_REMOVE_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL ||
                 minor == IRP_MN_QUERY_REMOVE_DEVICE || minor == IRP_MN_QUERY_STOP_DEVICE ||
                 minor == IRP_MN_CANCEL_REMOVE_DEVICE || minor == IRP_MN_CANCEL_STOP_DEVICE ||
                 minor == IRP_MN_QUERY_CAPABILITIES)
            status = STATUS_SUCCESS;
        else
            status = irp->IoStatus.Status; /* a bus driver leaves what it does not handle */
    }
    Complete(irp, status, irp->IoStatus.Information);
    return status;
}

NTSTATUS VelkorHidCollection::Dispatch(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MajorFunction)
    {
    case IRP_MJ_CREATE:
        return Create(irp);
    case IRP_MJ_CLEANUP: {
        std::lock_guard<std::mutex> guard(lock_);
        cleanups_++;
        break;
    }
    case IRP_MJ_CLOSE: {
        std::lock_guard<std::mutex> guard(lock_);
        closes_++;
        if (!openFiles_.erase(stack->FileObject))
            ReportViolation("HID collection got a close for a file it does not have open");
        break;
    }
    case IRP_MJ_READ: {
        std::lock_guard<std::mutex> guard(lock_);
        reads_++;
        break;
    }
    case IRP_MJ_FLUSH_BUFFERS: {
        std::lock_guard<std::mutex> guard(lock_);
        flushes_++;
        break;
    }
    case IRP_MJ_WRITE:
        return Write(irp);
    case IRP_MJ_DEVICE_CONTROL:
        return DeviceControl(irp);
    case IRP_MJ_PNP:
        return Pnp(irp);
    case IRP_MJ_SYSTEM_CONTROL: {
        {
            std::lock_guard<std::mutex> guard(lock_);
            systemControls_++;
        }
        NTSTATUS status = irp->IoStatus.Status;
        Complete(irp, status, irp->IoStatus.Information);
        return status;
    }
    default:
        break;
    }
    Complete(irp, STATUS_SUCCESS, 0);
    return STATUS_SUCCESS;
}

} // namespace hk
