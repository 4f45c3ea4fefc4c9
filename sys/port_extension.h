/*
 * The port device object's extension: everything vkserial knows about one
 * Velkor device.
 */
#pragma once

#include <wdm.h>
#include <ntddser.h>

/* Pool tag "Wdm " and remove-lock tag "TFil", as pool tools print them. */
#define VK_POOL_TAG ((ULONG)'W' | ((ULONG)'d' << 8) | ((ULONG)'m' << 16) | ((ULONG)' ' << 24))
#define VK_REMOVE_LOCK_TAG                                                                         \
    ((ULONG)'T' | ((ULONG)'F' << 8) | ((ULONG)'i' << 16) | ((ULONG)'l' << 24))

/* Capacity of SerialCommData in wide characters, terminator included. */
#define VK_SERIALCOMM_CHARS 33

/*
 * A request the driver builds and sends to the HID stack, waited for at
 * most a bound and then cancelled. Ownership says who finishes the request
 * once a cancel has begun: the completion routine and the canceller each
 * swap in their mark, and the second of them completes it, so the request
 * is never freed under a canceller that still uses it (lower_requests.cpp).
 */
typedef struct _BOUNDED_REQUEST {
    PIRP Irp;
    KEVENT Event;
    IO_STATUS_BLOCK IoStatus;
    LONG Ownership;
} BOUNDED_REQUEST, *PBOUNDED_REQUEST;

typedef struct _PORT_EXTENSION {
    PDEVICE_OBJECT LowerDevice;
    PDEVICE_OBJECT PhysicalDevice;
    UNICODE_STRING InterfaceName;
    BOOLEAN InterfaceEnabled;
    IO_REMOVE_LOCK RemoveLock;
    UNICODE_STRING PortName;
    UNICODE_STRING LinkName;
    UNICODE_STRING SerialCommData;
    PFILE_OBJECT OpenFileObject;
    BOOLEAN LinkCreated;
    BOOLEAN SerialCommWritten;
    BOOLEAN IdentityVerified;
    UCHAR RtsState;
    UCHAR DtrState;
    BOOLEAN KeyLogic;
    BOOLEAN PttLogic;
    ULONG KeyFunc;
    ULONG PttFunc;
    ULONG BaudRate;
    ULONG WaitMask;
    PIRP PendingWait;

    /*
     * The opens the lower stack accepted and that have not been cleaned up
     * or closed, newest first (OPEN_RECORD). OpenFileObject is always the
     * newest of them, so an output report never names a closed file.
     */
    LIST_ENTRY OpenList;

    /*
     * Requests on different handles run at the same time. StateLock guards
     * the open list and each open's pass-through switch, OpenFileObject,
     * IdentityVerified, BaudRate and WaitMask. The output lock is held from
     * a line change until its report has been written, so reports leave in
     * the order of the line changes and the last one matches the lines; it
     * also guards the lines and the keying settings. Opens never take it: a
     * report the device does not accept must not hold back a new open.
     * A fast mutex taken with the unsafe calls inside a critical region:
     * the holder stays at PASSIVE_LEVEL, where the synchronous write is
     * awaited (its completion needs a special kernel APC, which APC_LEVEL
     * would block), and cannot be suspended while holding it. Uncontended,
     * it is one interlocked operation and no wait.
     */
    KSPIN_LOCK StateLock;
    FAST_MUTEX OutputLock;

    /*
     * Held while the port name is published or withdrawn, so that a
     * republish requested through a handle never overlaps a start, stop or
     * remove. A fast mutex, held inside a critical region like OutputLock.
     */
    FAST_MUTEX PublishLock;

    /* Set under the cancel spin lock once removal has begun: no new wait is
       held after the last one was ended. */
    BOOLEAN WaitsRefused;

    /*
     * Set once Plug and Play reports the device surprise-removed: the COM
     * name, the SERIALCOMM value and the interface are withdrawn at once,
     * and every request on the handles still open, except their cleanup and
     * close, fails with STATUS_DELETE_PENDING and reaches nothing. Read and
     * written under StateLock; a line change reads it again under the
     * output lock, so none sends a report once the surprise removal has
     * passed that lock.
     */
    BOOLEAN DeviceGone;

    /*
     * The output report on its way to the HID stack, if any, so that a
     * surprise removal can cancel one the device will never take. Set and
     * cleared under StateLock, where DeviceGone is read before it is sent.
     * ReportPinned: a surprise removal is cancelling it, outside the lock
     * (no request is completed under a spin lock); the report's writer
     * keeps the request's frame until ReportUnpinned is set.
     */
    PBOUNDED_REQUEST ReportInFlight;
    BOOLEAN ReportPinned;
    KEVENT ReportUnpinned;

    /*
     * What serial programs set and read back (serial_settings.cpp): kept
     * and answered, never acted on, so no line moves and no report goes out
     * because of them. Back to their defaults at every start; guarded by
     * StateLock like BaudRate. StateLock also guards every write of DtrState
     * and RtsState (made under the output lock too), so the line queries read
     * both lines without waiting behind a report being written.
     */
    SERIAL_LINE_CONTROL LineControl;
    SERIAL_CHARS SpecialChars;
    SERIAL_HANDFLOW HandFlow;
    SERIAL_TIMEOUTS Timeouts;
    SERIAL_QUEUE_SIZE QueueSize;
} PORT_EXTENSION, *PPORT_EXTENSION;

/*
 * PassThrough: the open's latest device control was neither a serial nor a
 * private one, so its reads and writes go to the HID stack. It belongs to
 * the open: a HID program on the collection must not turn a keying
 * program's writes into output reports.
 * MovedLines: a line control came on this open. When the last such open
 * goes, both lines go down, as a serial port's close drops DTR and RTS;
 * opens that never moved a line (the page's reload, a HID program, status
 * queries) leave the lines alone.
 */
typedef struct _OPEN_RECORD {
    LIST_ENTRY Link;
    PFILE_OBJECT FileObject;
    BOOLEAN PassThrough;
    /* The handle was granted write access at its open. */
    BOOLEAN MayWrite;
    BOOLEAN MovedLines;
} OPEN_RECORD, *POPEN_RECORD;
