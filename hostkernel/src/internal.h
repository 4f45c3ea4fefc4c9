/*
 * What the bench's parts share among themselves.
 */
#pragma once

#include <wdm.h>

#include <hostkernel/bench.h>

#include <mutex>

namespace hk
{

/* Guards the bench's own bookkeeping (never held while calling a driver). */
std::mutex& BenchLock();

/* Allocation outside failure injection and driver accounting (the I/O
   manager's own buffers). */
void* AllocateInternal(size_t bytes);
void FreeInternal(void* p);

/* An injectable allocation point that is not a pool call (requests). */
bool ShouldFailAllocation(ULONG tag);

/* IRP life: allocation, quarantine at free, liveness. */
PIRP AllocateIrp(CCHAR stackSize, bool injectable);
void FreeIrp(PIRP irp);
bool IrpIsLive(PIRP irp);
void SetIrpRequest(PIRP irp, RequestPtr request);
void ResetIrps();

void ResetPool();
/* The emulated system is this NT version (and build) or later. */
bool WindowsAtLeast(ULONG major, ULONG minor, ULONG build = 0);
/* NT major << 8 | minor, and the build. */
ULONG EmulatedVersion();
ULONG EmulatedBuild();
void ResetDevices();
void ResetFiles();
void ResetRemoveLocks();

/* Called by IoDeleteDevice: the memory stays reserved but poisoned. */
void QuarantineMemory(void* p, size_t bytes);

/* File objects created for user handles. */
PFILE_OBJECT CreateFileObject(PDEVICE_OBJECT device);
void DestroyFileObject(PFILE_OBJECT file);

} // namespace hk

namespace hk
{
BOOLEAN CancelIrpLocked(PIRP Irp, KIRQL Irql);
PMDL AllocateMdl(PVOID buffer, ULONG length);
/* An MDL over a buffer the bench allocated for a user request's output. */
constexpr SHORT BenchOwnedOutputMdl = 0x4000;
} // namespace hk

namespace hk
{
bool FileObjectIsOpen(PFILE_OBJECT file);
}

#include <hostkernel/registry.h>

namespace hk
{
bool CallFails(KernelCall call, NTSTATUS* status);
/* Called with the bench lock held. */
WString InstancePathLocked(PDEVICE_OBJECT pdo, bool* found);
void ResetObjectNames();
/* A handle ZwClose closes: to a key (by its folded path) or to a link. */
HANDLE NewHandle(const WString& key, ACCESS_MASK access, bool link);
} // namespace hk

/* Windows 10 1803's routine, found with MmGetSystemRoutineAddress only. */
extern "C" NTSTATUS IoOpenDriverRegistryKey(PDRIVER_OBJECT DriverObject, ULONG RegKeyType,
                                            ACCESS_MASK DesiredAccess, ULONG Flags,
                                            PHANDLE DriverRegKey);

namespace hk
{
/* A request from the system (Plug and Play, power, WMI): runs as a system
   thread, even when a test sends it from inside a ProgramThreadScope, with
   the same return-time checks. */
class SystemThreadScope
{
  public:
    SystemThreadScope();
    ~SystemThreadScope();

  private:
    int outerDepth_;
    LONG apcDisable_;
    size_t ownedMutexes_;
};
void ResetThreadChecks();
/* Events as locks: a wait that consumed the event's signal, a set, and a
   fresh initialization (the memory is a new event). */
void NoteEventConsumed(PKEVENT event);
void NoteEventSet(PKEVENT event);
void NoteEventInitialized(PKEVENT event);
/* Special kernel APCs disabled (a guarded region). */
bool InGuardedRegion();

/*
 * A request built with IoBuildSynchronousFsdRequest or
 * IoBuildDeviceIoControlRequest belongs to the thread that built it, and
 * the I/O manager finishes it (status block, event, free) in a special
 * kernel APC to that thread: at once when it completes there below
 * APC_LEVEL, otherwise when the thread next can take it (a wait, a return
 * below APC_LEVEL, the end of a guarded region).
 */
void NoteThreadRequest(PIRP irp);
void QueueCompletionApc(PIRP irp);
/* Runs the current thread's queued completion APCs if it can take them. */
void DeliverCompletionApcs();
/* The same whatever the thread's state (a wait reported for it). */
void DeliverQueuedApcs();
/* The I/O manager's final stage, run by the APC. */
void FinishThreadRequest(PIRP irp);
} // namespace hk
