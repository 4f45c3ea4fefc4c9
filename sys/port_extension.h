/*
 * The port device object's extension: everything vkserial knows about one
 * Velkor device.
 *
 * Locks, outermost first. A routine takes them only in this order, and
 * never waits for a lower request or completes a request while holding a
 * spin lock.
 *
 * | Lock           | Kind, IRQL                        | Guards                            |
 * |----------------|-----------------------------------|-----------------------------------|
 * | RemoveLock     | remove lock, taken by every       | the extension's life: removal     |
 * |                | request on entry (any IRQL <=     | waits until every request that    |
 * |                | DISPATCH_LEVEL)                   | took it has released it           |
 * | PublishLock    | fast mutex in a critical region,  | the publication: PortName,        |
 * |                | PASSIVE_LEVEL                     | LinkName, SerialCommData,         |
 * |                |                                   | LinkCreated, SerialCommWritten,   |
 * |                |                                   | InterfaceEnabled                  |
 * | OutputLock     | fast mutex in a critical region,  | the lines and every write of      |
 * |                | PASSIVE_LEVEL; held until a line  | them (modem_lines.cpp), each      |
 * |                | change's report has been written, | open's MovedLines, LastReport-    |
 * |                | so reports leave in the order of  | Untaken, the handshake's line     |
 * |                | the changes. Inside PublishLock   | modes, the keying settings.       |
 * |                | at a start. A create never takes  | Writes of the shared ones also    |
 * |                | it, so a report the device does   | take StateLock, so readers need   |
 * |                | not take holds back no new open;  | only that                         |
 * |                | a cleanup only when its handle    |                                   |
 * |                | moved a line or the last report   |                                   |
 * |                | was not taken                     |                                   |
 * | name choice    | driver-wide fast mutex in a       | the names the driver's ports have |
 * | lock           | critical region, PASSIVE_LEVEL;   | claimed (port_name_choice.cpp)    |
 * |                | only inside PublishLock (and      |                                   |
 * |                | OutputLock at a start)            |                                   |
 * | StateLock      | spin lock, DISPATCH_LEVEL;        | the open list and each record,    |
 * |                | innermost: no lock is taken and   | IdentityVerified, BaudRate,       |
 * |                | nothing is sent or completed      | WaitMask, DeviceGone, the report  |
 * |                | while it is held                  | in flight, the kept serial        |
 * |                |                                   | settings, reads of the lines      |
 * | cancel spin    | system-wide spin lock,            | PendingWait, WaitsRefused         |
 * | lock           | DISPATCH_LEVEL; never held        |                                   |
 * |                | together with StateLock           |                                   |
 *
 * The fast mutexes are taken with the unsafe calls inside a critical
 * region: the holder stays at PASSIVE_LEVEL, where a synchronous write is
 * awaited (its completion needs a special kernel APC, which APC_LEVEL would
 * block), and cannot be suspended while holding one. Uncontended, each is
 * one interlocked operation and no wait.
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
typedef struct _BOUNDED_REQUEST
{
    PIRP Irp;
    KEVENT Event;
    IO_STATUS_BLOCK IoStatus;
    LONG Ownership;
} BOUNDED_REQUEST, *PBOUNDED_REQUEST;

typedef struct _PORT_EXTENSION
{
    PDEVICE_OBJECT LowerDevice;
    PDEVICE_OBJECT PhysicalDevice;
    UNICODE_STRING InterfaceName;
    BOOLEAN InterfaceEnabled;
    IO_REMOVE_LOCK RemoveLock;
    UNICODE_STRING PortName;
    UNICODE_STRING LinkName;
    UNICODE_STRING SerialCommData;
    BOOLEAN LinkCreated;
    BOOLEAN SerialCommWritten;
    BOOLEAN IdentityVerified;
    /* The lines as the programs last set them (modem_lines.cpp). */
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
     * The opens from the create the lower stack accepted to their cleanup
     * (or, when none comes, their close), newest first (OPEN_RECORD). The
     * newest of them carries the output reports, so a report never names
     * a file the HID stack has closed. An open with no record is one that
     * has been cleaned up.
     */
    LIST_ENTRY OpenList;

    KSPIN_LOCK StateLock;
    FAST_MUTEX OutputLock;

    /*
     * The last report due was not taken: it failed, timed out, could not
     * be built or was withheld from an unverified device, so the device
     * may still be keyed whatever the lines read. Cleared by the next
     * report the device takes.
     */
    BOOLEAN LastReportUntaken;

    /* Held while the port name is published or withdrawn, so that a
       republish requested through a handle never overlaps a start, stop or
       remove. */
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
     * What serial programs set and read back (serial_settings.cpp), back to
     * their defaults at every start. Only the handshake's DTR and RTS modes
     * and the modem-control register's DTR and RTS bits act: they move the
     * lines (modem_lines.cpp). ModemControl keeps the register's other bits.
     */
    SERIAL_LINE_CONTROL LineControl;
    SERIAL_CHARS SpecialChars;
    SERIAL_HANDFLOW HandFlow;
    SERIAL_TIMEOUTS Timeouts;
    SERIAL_QUEUE_SIZE QueueSize;
    ULONG ModemControl;
} PORT_EXTENSION, *PPORT_EXTENSION;

/*
 * PassThrough: the open's latest device control was neither a serial nor a
 * private one, so its reads and writes go to the HID stack. It belongs to
 * the open: a HID program on the collection must not turn a keying
 * program's writes into output reports.
 * MovedLines: a line control came on this open, or its handshake or
 * modem-control setting moved a line (modem_lines.cpp). When the last such
 * open goes, both lines go down, as a serial port's close drops DTR and
 * RTS; opens that never moved a line (the page's reload, a HID program,
 * status queries) leave the lines alone.
 */
typedef struct _OPEN_RECORD
{
    LIST_ENTRY Link;
    PFILE_OBJECT FileObject;
    BOOLEAN PassThrough;
    /* The handle was granted write access at its open. */
    BOOLEAN MayWrite;
    BOOLEAN MovedLines;
} OPEN_RECORD, *POPEN_RECORD;
