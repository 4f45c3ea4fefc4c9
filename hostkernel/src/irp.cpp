/*
 * IRPs: allocation, IoCallDriver, completion with completion routines, and
 * the I/O manager's final stage (copy-back, status block, event, free).
 *
 * Every call of a dispatch routine is watched: a routine that returns
 * STATUS_PENDING must have marked the request pending at its stack
 * location, one that marked it must return STATUS_PENDING, and one that
 * returns another status for a request completed through its location must
 * return the status the request was completed with. A request is completed
 * at most once, never with STATUS_PENDING and never with a cancel routine
 * set.
 */
#include "internal.h"

#include <cstdio>
#include <map>
#include <unordered_map>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace hk
{

namespace
{
/* One stack location's use by one dispatch call (shared by the drivers
   that pass the location down with IoSkipCurrentIrpStackLocation). */
struct Frame
{
    int activeCalls = 0;
    bool markedPending = false;
    bool completed = false;
    NTSTATUS completedStatus = STATUS_PENDING;
};
using FramePtr = std::shared_ptr<Frame>;

struct IrpRecord
{
    size_t bytes = 0;
    RequestPtr request;
    std::map<int, FramePtr> frames;
};

std::unordered_map<PIRP, IrpRecord> liveIrps;
std::vector<std::pair<void*, size_t>> quarantine;

std::string Hex(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", (unsigned)status);
    return text;
}

/* Called with the bench lock held. */
FramePtr FrameAt(PIRP irp, int level)
{
    auto found = liveIrps.find(irp);
    if (found == liveIrps.end())
        return nullptr;
    auto frame = found->second.frames.find(level);
    return frame == found->second.frames.end() ? nullptr : frame->second;
}

FramePtr EnterFrame(PIRP irp, int level)
{
    std::lock_guard<std::mutex> guard(BenchLock());
    IrpRecord& record = liveIrps[irp];
    FramePtr& frame = record.frames[level];
    if (!frame || frame->activeCalls == 0)
        frame = std::make_shared<Frame>();
    frame->activeCalls++;
    return frame;
}

void NoteMarkedPending(PIRP irp, int level)
{
    std::lock_guard<std::mutex> guard(BenchLock());
    if (FramePtr frame = FrameAt(irp, level))
        frame->markedPending = true;
}

void NoteLevelCompleted(PIRP irp, int level, bool pending, NTSTATUS status)
{
    std::lock_guard<std::mutex> guard(BenchLock());
    if (FramePtr frame = FrameAt(irp, level))
    {
        frame->markedPending = frame->markedPending || pending;
        frame->completed = true;
        frame->completedStatus = status;
    }
}

void FreeMdls(PIRP irp)
{
    PMDL mdl = irp->MdlAddress;
    while (mdl)
    {
        PMDL next = mdl->Next;
        if (mdl->MdlFlags & BenchOwnedOutputMdl)
            FreeInternal(mdl->MappedSystemVa);
        FreeInternal(mdl);
        mdl = next;
    }
    irp->MdlAddress = NULL;
}

/* The I/O manager's part once completion has passed the top location. */
void FinishIrp(PIRP irp)
{
    RequestPtr request;
    {
        std::lock_guard<std::mutex> guard(BenchLock());
        request = liveIrps[irp].request;
    }
    NTSTATUS status = irp->IoStatus.Status;
    ULONG_PTR information = irp->IoStatus.Information;

    const uint8_t* output = nullptr;
    size_t outputLength = 0;
    if ((irp->Flags & IRP_BUFFERED_IO) && (irp->Flags & IRP_INPUT_OPERATION) && !NT_ERROR(status))
    {
        output = (const uint8_t*)irp->AssociatedIrp.SystemBuffer;
        outputLength = information;
        /* The I/O manager copies Information bytes back into the caller's
           buffer: more than it holds overruns it. Checked before the copy,
           which would read past the system buffer too. */
        if (request && information > request->OutputCapacity())
        {
            ReportViolation("request completed with more bytes than its output buffer holds");
            outputLength = request->OutputCapacity();
        }
        if (!request && irp->UserBuffer)
            memcpy(irp->UserBuffer, output, information);
    }
    else if (irp->MdlAddress && (irp->MdlAddress->MdlFlags & BenchOwnedOutputMdl) &&
             !NT_ERROR(status))
    {
        output = (const uint8_t*)irp->MdlAddress->MappedSystemVa;
        outputLength = information;
    }
    Bytes userOutput;
    if (request && output)
        userOutput.assign(output, output + outputLength);
    if (irp->Flags & IRP_DEALLOCATE_BUFFER)
        FreeInternal(irp->AssociatedIrp.SystemBuffer);
    FreeMdls(irp);

    if (irp->UserIosb)
        *irp->UserIosb = irp->IoStatus;
    /* The I/O manager drops a reference on the original file object of
       every request it finishes, also of one a driver built and gave one.
       It then finishes the request as that file's own I/O, and dereferences
       the event of a request that is not a synchronous API call as an
       object: an event a driver passed to IoBuildDeviceIoControlRequest or
       IoBuildSynchronousFsdRequest is a KEVENT, not an object. */
    PFILE_OBJECT file = irp->Tail.Overlay.OriginalFileObject;
    PKEVENT event = irp->UserEvent;
    if (!request && file && event)
        ReportViolation("a request a driver built with an event reached the I/O manager's "
                        "completion with an original file object");

    /* Freed before the waiter runs on, as the I/O manager does. */
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    FreeIrp(irp);
    IoReleaseCancelSpinLock(irql);

    /* The request's reference on its file goes before the requester learns
       of the completion, so a failed open finds its file unreferenced. */
    if (file)
        ObDereferenceObject(file);
    if (event)
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    if (request)
        request->Finish(status, information, output ? userOutput.data() : nullptr,
                        userOutput.size());
}
} // namespace

PIRP AllocateIrp(CCHAR stackSize, bool injectable)
{
    if (injectable && ShouldFailAllocation(PoolTag("Irp ")))
        return NULL;
    if (stackSize < 1)
        ReportViolation("request built for a device with no stack size");
    size_t bytes = sizeof(IRP) + (size_t)stackSize * sizeof(IO_STACK_LOCATION);
    PIRP irp = (PIRP)AllocateInternal(bytes);
    irp->Type = 6;
    irp->Size = (USHORT)bytes;
    irp->StackCount = stackSize;
    irp->CurrentLocation = (CHAR)(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = (PIO_STACK_LOCATION)(irp + 1) + stackSize;
    irp->IoStatus.Status = STATUS_SUCCESS;

    std::lock_guard<std::mutex> guard(BenchLock());
    liveIrps[irp].bytes = bytes;
    return irp;
}

void FreeIrp(PIRP irp)
{
    size_t bytes;
    {
        std::lock_guard<std::mutex> guard(BenchLock());
        auto found = liveIrps.find(irp);
        bytes = found->second.bytes;
        if (found->second.request)
            found->second.request->Irp = nullptr;
        liveIrps.erase(found);
        quarantine.emplace_back(irp, bytes);
    }
    QuarantineMemory(irp, bytes);
}

bool IrpIsLive(PIRP irp)
{
    std::lock_guard<std::mutex> guard(BenchLock());
    return liveIrps.count(irp) != 0;
}

void SetIrpRequest(PIRP irp, RequestPtr request)
{
    std::lock_guard<std::mutex> guard(BenchLock());
    request->Irp = irp;
    liveIrps[irp].request = std::move(request);
}

size_t LiveIrpCount()
{
    std::lock_guard<std::mutex> guard(BenchLock());
    return liveIrps.size();
}

void ResetIrps()
{
    std::lock_guard<std::mutex> guard(BenchLock());
    for (auto& entry : quarantine)
    {
#if defined(__SANITIZE_ADDRESS__)
        ASAN_UNPOISON_MEMORY_REGION(entry.first, entry.second);
#endif
        FreeInternal(entry.first);
    }
    quarantine.clear();
    for (auto& entry : liveIrps)
        FreeInternal(entry.first);
    liveIrps.clear();
}

} // namespace hk

using namespace hk;

extern "C" VOID IoMarkIrpPending(PIRP Irp)
{
    IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED;
    NoteMarkedPending(Irp, Irp->CurrentLocation);
}

extern "C" NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (!IrpIsLive(Irp))
    {
        ReportViolation("IoCallDriver with a request that was already completed");
        return STATUS_INVALID_PARAMETER;
    }
    if (!DeviceObjectExists(DeviceObject))
    {
        ReportViolation("IoCallDriver to a device object that was deleted");
        return STATUS_NO_SUCH_DEVICE;
    }
    if (Irp->CurrentLocation <= 1)
    {
        ReportViolation("IoCallDriver with no stack location left");
        return STATUS_INVALID_PARAMETER;
    }
    Irp->CurrentLocation--;
    PIO_STACK_LOCATION stack = --Irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = DeviceObject;
    int level = Irp->CurrentLocation;
    UCHAR major = stack->MajorFunction;

    FramePtr frame = EnterFrame(Irp, level);
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL)
        ReportViolation("IoCallDriver above DISPATCH_LEVEL");

    NTSTATUS status = DeviceObject->DriverObject->MajorFunction[major](DeviceObject, Irp);

    if (KeGetCurrentIrql() != irql)
        ReportViolation("dispatch routine returned at another IRQL");
    std::lock_guard<std::mutex> guard(BenchLock());
    frame->activeCalls--;
    if (status == STATUS_PENDING && !frame->markedPending)
        ReportViolation("STATUS_PENDING returned for a request not marked pending (major " +
                        std::to_string(major) + ")");
    if (status != STATUS_PENDING && frame->markedPending)
        ReportViolation("request marked pending but " + Hex(status) + " returned (major " +
                        std::to_string(major) + ")");
    if (status != STATUS_PENDING && frame->completed && status != frame->completedStatus)
        ReportViolation("dispatch returned " + Hex(status) + " for a request completed with " +
                        Hex(frame->completedStatus) + " (major " + std::to_string(major) + ")");
    return status;
}

extern "C" VOID IofCompleteRequest(PIRP Irp, KPRIORITY PriorityBoost)
{
    (void)PriorityBoost;
    if (!IrpIsLive(Irp))
    {
        ReportViolation("request completed twice");
        return;
    }
    if (Irp->IoStatus.Status == STATUS_PENDING)
        ReportViolation("request completed with STATUS_PENDING");
    /* IoCancelIrp may run on a request while it is being completed (it then
       swaps a NULL routine for NULL), so the routine is read atomically. */
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_SEQ_CST))
        ReportViolation("request completed with its cancel routine still set");
    /* One past the last location is the I/O manager's: a request a driver
       built and got back through STATUS_MORE_PROCESSING_REQUIRED (or never
       sent) is finished by completing it there, as Windows does. */
    if (Irp->CurrentLocation > Irp->StackCount + 1)
    {
        ReportViolation("request completed that no driver holds");
        return;
    }

    while (Irp->CurrentLocation <= Irp->StackCount)
    {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
        bool pending = (stack->Control & SL_PENDING_RETURNED) != 0;
        NTSTATUS status = Irp->IoStatus.Status;
        NoteLevelCompleted(Irp, Irp->CurrentLocation, pending, status);

        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        UCHAR control = stack->Control;
        stack->MinorFunction = 0;
        stack->Flags = 0;
        stack->Control = 0;
        stack->CompletionRoutine = NULL;
        stack->Context = NULL;
        stack->FileObject = NULL;
        memset(&stack->Parameters, 0, sizeof(stack->Parameters));

        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        Irp->PendingReturned = pending;

        /* Read atomically: IoCancelIrp may be setting it meanwhile. */
        bool cancelled = __atomic_load_n(&Irp->Cancel, __ATOMIC_SEQ_CST);
        bool invoke = (NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                      (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                      (cancelled && (control & SL_INVOKE_ON_CANCEL));
        if (routine && invoke)
        {
            PDEVICE_OBJECT device = Irp->CurrentLocation > Irp->StackCount
                                        ? NULL
                                        : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            if (routine(device, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED)
                return;
        }
        else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount)
        {
            IoMarkIrpPending(Irp);
        }
    }
    if (Irp->Tail.Overlay.Thread)
        QueueCompletionApc(Irp);
    else
        FinishIrp(Irp);
}

void hk::FinishThreadRequest(PIRP irp)
{
    FinishIrp(irp);
}

extern "C" PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority)
{
    (void)Priority;
    return Mdl->MappedSystemVa;
}
