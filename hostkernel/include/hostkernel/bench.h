/*
 * The host kernel bench as tests see it: rule violations, pool accounting
 * and failure injection, driver objects, and the user-mode side of I/O
 * (handles and requests, as kernel32 would issue them).
 */
#pragma once

#include <wdm.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace hk
{

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

/* ---- Rule checks ---------------------------------------------------------- */

/* Records a breach of a kernel rule; tests fail on any recorded breach. */
void ReportViolation(const std::string& text);
std::vector<std::string> TakeViolations();

/* Clears violations, counters and injected failures: call at test start. */
void ResetBench();
/* Kernel waits with a time-out end after at most cap (0: as asked), so a
   test of a driver's bound need not wait it out. */
void CapKernelTimeouts(std::chrono::microseconds cap);

/* The Windows version the bench emulates, as NT major.minor and build (0:
   the build that version last shipped as; 10.0.19045 after ResetBench):
   6.1 Windows 7, 6.2 Windows 8, 10.0.16299 Windows 10 1709. RtlGetVersion
   answers with it; IoIsWdmVersionAvailable with the WDM number Windows
   keeps, 6.00 from Vista on; MmGetSystemRoutineAddress finds
   IoOpenDriverRegistryKey from 10.0.17134 (1803) on; the pool takes
   NonPagedPoolNx from 6.2 on and refuses it before. */
void SetWindowsVersion(ULONG major, ULONG minor, ULONG build = 0);

/* ---- Threads ------------------------------------------------------------------- */

/*
 * For its lifetime, marks the current thread as a program's thread inside a
 * system call: the driver then runs in that program's process and logon
 * session (a DOS device link created without "Global" lands in the
 * session's own directory, and a suspended program thread stops wherever
 * normal kernel APCs are enabled). Every request a UserFile issues runs in
 * one; other threads are system threads. At the end it checks what Windows
 * checks on the way back to user mode: normal kernel APCs enabled again
 * (otherwise bug check APC_INDEX_MISMATCH) and no fast mutex still held.
 */
class ProgramThreadScope
{
  public:
    ProgramThreadScope();
    ~ProgramThreadScope();
    ProgramThreadScope(const ProgramThreadScope&) = delete;
    ProgramThreadScope& operator=(const ProgramThreadScope&) = delete;

  private:
    int outerDepth_;
    LONG apcDisable_;
    size_t ownedMutexes_;
};
bool InProgramThread();

/* ---- Pool -------------------------------------------------------------------- */

ULONG PoolTag(const char (&text)[5]);
size_t OutstandingAllocations();
size_t OutstandingAllocations(ULONG tag);
/* Allocations that may fail (pool and requests built for drivers) since reset. */
unsigned AllocationCount();
/* The n-th such allocation from now (1 = the next one) fails. 0 disarms. */
void FailAllocationNumber(unsigned n);
/* Every allocation with this tag fails until cleared. Requests built by
   IoBuild*Request carry the tag "Irp ". */
void FailAllocationsWithTag(ULONG tag, bool fail);
size_t LiveIrpCount();

/* ---- Drivers and devices -------------------------------------------------- */

/* A driver object whose every major function fails as Windows' default does. */
PDRIVER_OBJECT CreateDriverObject(const wchar_t* name);
void DeleteDriverObject(PDRIVER_OBJECT driver);
bool DeviceObjectExists(PDEVICE_OBJECT device);
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device);

/* ---- Requests as user mode issues them -------------------------------------- */

class Request
{
  public:
    /* Bytes the caller's output buffer holds. */
    size_t OutputCapacity();
    /* Waits for completion; false when the request is still pending. */
    bool Wait(std::chrono::milliseconds timeout = 5000ms);
    bool Completed();
    NTSTATUS Status();
    ULONG_PTR Information();
    /* The output buffer as the caller sees it after completion. */
    Bytes Output();
    /* CancelIo: cancels the request if it is still pending. */
    bool Cancel();

    /* For the bench only. */
    Request(ULONG outputLength);
    void Finish(NTSTATUS status, ULONG_PTR information, const uint8_t* output, size_t length);
    PIRP Irp = nullptr;

  private:
    std::mutex lock_;
    std::condition_variable done_;
    bool completed_ = false;
    NTSTATUS status_ = STATUS_PENDING;
    ULONG_PTR information_ = 0;
    Bytes output_;
};
using RequestPtr = std::shared_ptr<Request>;

/* An open handle to a device: a file object and its requests. */
class UserFile
{
  public:
    /* CreateFile with the desired access (GENERIC_ and FILE_ rights), granted
       as the device's security descriptor would for its owner. Returns null
       (and the status) when the open fails. Waits for a create the stack
       pends. */
    static std::unique_ptr<UserFile> Open(PDEVICE_OBJECT device, NTSTATUS* status = nullptr,
                                          ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE);
    ~UserFile();

    RequestPtr StartDeviceControl(ULONG code, const Bytes& input, ULONG outputLength);
    /* CancelIoEx from another thread that wins the race with the dispatch:
       the request reaches the driver already marked cancelled. */
    RequestPtr StartCancelledDeviceControl(ULONG code, const Bytes& input, ULONG outputLength);
    RequestPtr StartRead(ULONG length);
    RequestPtr StartWrite(const Bytes& data);

    /* Synchronous forms: start, wait, return the status. */
    NTSTATUS DeviceControl(ULONG code, const Bytes& input = {}, ULONG outputLength = 0,
                           Bytes* output = nullptr, ULONG_PTR* information = nullptr);
    NTSTATUS Read(ULONG length, ULONG_PTR* information = nullptr);
    NTSTATUS Write(const Bytes& data, ULONG_PTR* information = nullptr);

    /* FlushFileBuffers. */
    RequestPtr StartFlush();
    NTSTATUS Flush();
    /* NtQueryInformationFile and NtSetInformationFile. As the I/O manager
       does, a length below the class's structure fails with
       STATUS_INFO_LENGTH_MISMATCH before any request is built (the result
       is then an already completed request). */
    RequestPtr StartQueryInformation(FILE_INFORMATION_CLASS infoClass, ULONG length);
    RequestPtr StartSetInformation(FILE_INFORMATION_CLASS infoClass, const Bytes& input);
    NTSTATUS QueryInformation(FILE_INFORMATION_CLASS infoClass, ULONG length,
                              Bytes* output = nullptr, ULONG_PTR* information = nullptr);
    NTSTATUS SetInformation(FILE_INFORMATION_CLASS infoClass, const Bytes& input);

    /* CloseHandle: IRP_MJ_CLEANUP, then the handle's reference goes; the
       close follows when no other reference remains. */
    void Close();
    /* CloseHandle as Wine does it: no IRP_MJ_CLEANUP, only the close. */
    void CloseWithoutCleanup();
    PFILE_OBJECT FileObject() const
    {
        return file_;
    }

  private:
    UserFile(PDEVICE_OBJECT device, PFILE_OBJECT file) : device_(device), file_(file) {}
    PDEVICE_OBJECT device_;
    PFILE_OBJECT file_;
    bool closed_ = false;
};

/* A request from the system rather than from a handle (Plug and Play,
   power, WMI), sent to the top of the device's stack. */
RequestPtr SendIrp(PDEVICE_OBJECT device, UCHAR major, UCHAR minor, NTSTATUS initialStatus);

/* A Plug and Play request, waited for; returns its final status. */
NTSTATUS SendPnp(PDEVICE_OBJECT device, UCHAR minor);
/* Calls the driver's AddDevice for the PDO as the PnP manager does and
   checks the new device object is ready (DO_DEVICE_INITIALIZING cleared). */
NTSTATUS CallAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);

/* Bytes of a 32-bit little-endian word, and back. */
Bytes Word(ULONG value);
ULONG WordAt(const Bytes& bytes, size_t offset = 0);

} // namespace hk
