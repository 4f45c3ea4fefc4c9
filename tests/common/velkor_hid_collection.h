/*
 * A simulated Velkor HID collection: the physical device object the port
 * driver attaches to, with the behaviour of the HID class driver's
 * collection device as the port driver sees it.
 *
 * Each kind of request can be answered at once, held until the test lets
 * it go, or completed later from another thread.
 */
#pragma once

#include <hostkernel/bench.h>

#include <atomic>
#include <map>
#include <set>
#include <string>
#include <thread>

namespace hk
{

enum class Answer
{
    AtOnce,
    Held,       /* pended until ReleaseHeld */
    FromThread, /* pended, completed at DISPATCH_LEVEL from another thread after a
                   short delay, as a USB stack completes from its DPC */
    /* Pended until ReleaseHeld, its cancel routine set only by
       SetLateCancelRoutines, which does not look at the Cancel flag: a
       stack that missed a cancel that came before it set its routine. */
    HeldCancelLate
};

struct WriteRecord
{
    Bytes bytes;
    ULONG length;
    LONGLONG offset;
    PFILE_OBJECT fileObject;
    bool fileWasOpen; /* the write named a file the collection had open */
};

class VelkorHidCollection
{
  public:
    static constexpr const char16_t* DefaultInstancePath =
        u"HID\\VID_1234&PID_5678\\1&2d595ca7&0&0000";

    /* A second collection at once needs its own instance path (another
       device, or the same one in another USB port). */
    explicit VelkorHidCollection(ULONG ioFlags = DO_BUFFERED_IO,
                                 const char16_t* instancePath = DefaultInstancePath);
    ~VelkorHidCollection();

    PDEVICE_OBJECT Pdo() const
    {
        return pdo_;
    }

    /* Opens. */
    void SetCreateStatus(NTSTATUS status)
    {
        Store(createStatus_, status);
    }
    void SetCreateAnswer(Answer answer)
    {
        Store(createAnswer_, answer);
    }
    size_t OpenCount()
    {
        return Locked(openFiles_).size();
    }
    bool IsOpen(PFILE_OBJECT file)
    {
        return Locked(openFiles_).count(file) != 0;
    }

    /* The manufacturer string: text (terminated), raw bytes, or a failure. */
    void SetManufacturer(const std::u16string& text);
    void SetManufacturerBytes(const Bytes& bytes)
    {
        Store(manufacturer_, bytes);
    }
    void SetManufacturerStatus(NTSTATUS status)
    {
        Store(manufacturerStatus_, status);
    }
    void SetManufacturerAnswer(Answer answer)
    {
        Store(manufacturerAnswer_, answer);
    }
    unsigned ManufacturerQueries()
    {
        return Locked(manufacturerQueries_);
    }
    /* The file object the last query carried. */
    PFILE_OBJECT LastQueryFileObject()
    {
        return Locked(lastQueryFile_);
    }

    /* Writes (output reports and passed-down writes). */
    void SetWriteStatus(NTSTATUS status)
    {
        Store(writeStatus_, status);
    }
    void SetWriteAnswer(Answer answer)
    {
        Store(writeAnswer_, answer);
    }
    std::vector<WriteRecord> Writes()
    {
        return Locked(writes_);
    }
    void ClearWrites()
    {
        Store(writes_, std::vector<WriteRecord>());
    }

    /* Everything else that reaches the collection. */
    std::vector<ULONG> DeviceControls()
    {
        return Locked(controls_);
    }
    unsigned Reads()
    {
        return Locked(reads_);
    }
    unsigned Flushes()
    {
        return Locked(flushes_);
    }
    unsigned Cleanups()
    {
        return Locked(cleanups_);
    }
    unsigned Closes()
    {
        return Locked(closes_);
    }
    std::vector<UCHAR> PnpMinors()
    {
        return Locked(pnpMinors_);
    }
    /* WMI requests (IRP_MJ_SYSTEM_CONTROL): counted and completed with the
       status they came with, as a device that provides no WMI data does. */
    unsigned SystemControls()
    {
        return Locked(systemControls_);
    }
    void SetPnpStatus(UCHAR minor, NTSTATUS status);

    /* Held requests: how many, and letting them go. A held request is
       cancellable; CancelledCount says how many were cancelled. */
    size_t HeldCount()
    {
        return Locked(held_).size();
    }
    unsigned CancelledCount()
    {
        return Locked(cancelled_);
    }
    void ReleaseHeld();
    void FailHeld(NTSTATUS status);
    /* Sets the cancel routine of requests held by HeldCancelLate. */
    void SetLateCancelRoutines();
    /* Waits until at least n requests are held. */
    bool WaitHeld(size_t n, std::chrono::milliseconds timeout = 5000ms);

    /* How long FromThread answers wait before completing (default 20 ms). */
    void SetThreadDelay(std::chrono::microseconds delay)
    {
        Store(threadDelay_, delay);
    }

    /* For the dispatch routine. */
    NTSTATUS Dispatch(PIRP irp);

  private:
    /* A field read or written under the collection's lock. */
    template <typename T> T Locked(const T& field)
    {
        std::lock_guard<std::mutex> guard(lock_);
        return field;
    }
    template <typename T> void Store(T& field, const T& value)
    {
        std::lock_guard<std::mutex> guard(lock_);
        field = value;
    }
    struct Held
    {
        PIRP irp;
        NTSTATUS status;
        ULONG_PTR information;
        bool cancelable;
    };
    std::vector<Held> TakeHeld();
    static VOID CancelHeld(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    NTSTATUS Reply(PIRP irp, Answer how, NTSTATUS status, ULONG_PTR information);
    void Complete(PIRP irp, NTSTATUS status, ULONG_PTR information);
    NTSTATUS Create(PIRP irp);
    NTSTATUS Write(PIRP irp);
    NTSTATUS DeviceControl(PIRP irp);
    NTSTATUS Pnp(PIRP irp);

    PDRIVER_OBJECT driver_;
    PDEVICE_OBJECT pdo_;

    std::mutex lock_;
    std::condition_variable heldChanged_;
    std::vector<Held> held_;
    unsigned cancelled_ = 0;
    std::vector<std::thread> threads_;
    std::chrono::microseconds threadDelay_{20000};

    NTSTATUS createStatus_ = STATUS_SUCCESS;
    Answer createAnswer_ = Answer::AtOnce;
    std::set<PFILE_OBJECT> openFiles_;

    Bytes manufacturer_;
    NTSTATUS manufacturerStatus_ = STATUS_SUCCESS;
    Answer manufacturerAnswer_ = Answer::AtOnce;
    unsigned manufacturerQueries_ = 0;
    PFILE_OBJECT lastQueryFile_ = nullptr;

    NTSTATUS writeStatus_ = STATUS_SUCCESS;
    Answer writeAnswer_ = Answer::AtOnce;
    std::vector<WriteRecord> writes_;

    std::vector<ULONG> controls_;
    unsigned reads_ = 0;
    unsigned flushes_ = 0;
    unsigned cleanups_ = 0;
    unsigned closes_ = 0;
    unsigned systemControls_ = 0;
    std::vector<UCHAR> pnpMinors_;
    std::map<UCHAR, NTSTATUS> pnpStatus_;
};

} // namespace hk
