/*
 * DTR and RTS. The one writer of the lines: a program moves them with the
 * line controls, with the handshake's DTR and RTS modes (what SetCommState
 * sends under Wine for a DCB's fDtrControl and fRtsControl) and with the
 * modem-control register. Each open that moved one is marked, and when the
 * last such open goes both lines go down. Every change is reported to the
 * device on the newest open before the next change can begin, and what the
 * device did not take is remembered, so a close never leaves it keyed on
 * the word of a report that failed.
 */
#include "vkserial.h"

typedef enum _LINE_REQUEST_KIND
{
    /* The four line controls: a report on every request. */
    VkLineControl,
    /* A new handshake, or a new modem-control register: a report only when
       a line moved. */
    VkHandFlow,
    VkModemControl
} LINE_REQUEST_KIND;

typedef struct _LINE_REQUEST
{
    LINE_REQUEST_KIND Kind;
    ULONG Line;
    BOOLEAN Raise;
    const SERIAL_HANDFLOW* HandFlow;
    ULONG ModemControl;
} LINE_REQUEST, *PLINE_REQUEST;

/* Called with StateLock held: the lines as SERIAL_DTR_STATE and
   SERIAL_RTS_STATE bits. */
static ULONG LinesLocked(const PORT_EXTENSION* Extension)
{
    return (Extension->DtrState ? SERIAL_DTR_STATE : 0) |
           (Extension->RtsState ? SERIAL_RTS_STATE : 0);
}

/* Called with the output lock and StateLock held, so that a reader holding
   either sees both lines as one pair. */
static VOID SetLinesLocked(PPORT_EXTENSION Extension, ULONG Lines)
{
    Extension->DtrState = (UCHAR)((Lines & SERIAL_DTR_STATE) != 0);
    Extension->RtsState = (UCHAR)((Lines & SERIAL_RTS_STATE) != 0);
}

/*
 * Where a handshake mode puts its line, as on a serial port whose receive
 * buffer is always empty and which never sends: the control and handshake
 * modes raise it (the receive handshake never has cause to drop it), a mode
 * of 0 lowers it, and so does the transmit toggle, which raises RTS only
 * while characters go out. A DTR mode with both bits set is taken as the
 * handshake.
 */
static ULONG DtrOfMode(ULONG ControlHandShake)
{
    return (ControlHandShake & SERIAL_DTR_MASK) ? SERIAL_DTR_STATE : 0;
}

static ULONG RtsOfMode(ULONG FlowReplace)
{
    ULONG mode = FlowReplace & SERIAL_RTS_MASK;
    return (mode == SERIAL_RTS_CONTROL || mode == SERIAL_RTS_HANDSHAKE) ? SERIAL_RTS_STATE : 0;
}

/*
 * Called with the output lock and StateLock held: keeps the request's
 * setting and returns the lines it leaves. A handshake moves a line only
 * when the line's mode changes, as a serial driver sets up a new handshake:
 * a program that keyed with a line control and then sets a new baud rate
 * with the DCB it read stays keyed.
 */
static ULONG RequestedLinesLocked(PPORT_EXTENSION Extension, const LINE_REQUEST* Request)
{
    ULONG lines = LinesLocked(Extension);
    const SERIAL_HANDFLOW* kept = &Extension->HandFlow;

    switch (Request->Kind)
    {
    case VkLineControl:
        lines = (lines & ~Request->Line) | (Request->Raise ? Request->Line : 0);
        break;
    case VkHandFlow:
        if ((Request->HandFlow->ControlHandShake ^ kept->ControlHandShake) & SERIAL_DTR_MASK)
            lines = (lines & ~SERIAL_DTR_STATE) | DtrOfMode(Request->HandFlow->ControlHandShake);
        if ((Request->HandFlow->FlowReplace ^ kept->FlowReplace) & SERIAL_RTS_MASK)
            lines = (lines & ~SERIAL_RTS_STATE) | RtsOfMode(Request->HandFlow->FlowReplace);
        Extension->HandFlow = *Request->HandFlow;
        break;
    case VkModemControl:
        lines = ((Request->ModemControl & SERIAL_MCR_DTR) ? SERIAL_DTR_STATE : 0) |
                ((Request->ModemControl & SERIAL_MCR_RTS) ? SERIAL_RTS_STATE : 0);
        Extension->ModemControl = Request->ModemControl;
        break;
    }
    return lines;
}

/*
 * Called with the output lock held. Sends the lines as they stand, on
 * FileObject, and remembers whether the device took them. The verdict of
 * the identity check is read once: an open checking it meanwhile decides
 * for the next change, not half-way through this one.
 */
static VOID ReportLines(PPORT_EXTENSION Extension, PFILE_OBJECT FileObject)
{
    NTSTATUS status;

    if (!ReadSharedFlag(Extension, &Extension->IdentityVerified))
        status = STATUS_INVALID_DEVICE_REQUEST;
    else if (!FileObject)
        status = STATUS_INVALID_DEVICE_STATE;
    else
        status = SendOutputReport(Extension, ComputeKeyingState(Extension), FileObject);
    WriteSharedFlag(Extension, &Extension->LastReportUntaken, (BOOLEAN)!NT_SUCCESS(status));
}

/*
 * Called with StateLock held. The newest open carries the report, kept
 * from closing so that its close cannot reach the HID stack while the
 * report is on its way. The requester's own open is kept by the request
 * itself (the I/O manager holds a reference until it completes), so only
 * another open takes a reference; under Wine each reference from none is a
 * wineserver round trip.
 */
static PFILE_OBJECT ReferenceReportFileLocked(PPORT_EXTENSION Extension, PFILE_OBJECT Requester,
                                              PBOOLEAN Referenced)
{
    PFILE_OBJECT fileObject = NewestOpenLocked(Extension);

    *Referenced = (BOOLEAN)(fileObject != NULL && fileObject != Requester);
    if (*Referenced)
        ObReferenceObject(fileObject);
    return fileObject;
}

/*
 * Moves the lines as the request says and reports them. Returns the status
 * the program gets: a refused, failed or timed-out report is not its
 * business while the device is there; a device surprise-removed, or a
 * handle cleaned up, while the request waited for the lock is, and then
 * nothing moves. A handle's cleanup forgets it either before this looks
 * for its record, and its lowering (if any) has passed, or after this
 * marked it, and its lowering counts this change.
 */
static NTSTATUS MoveLines(PPORT_EXTENSION Extension, PFILE_OBJECT Requester,
                          const LINE_REQUEST* Request)
{
    NTSTATUS status = STATUS_SUCCESS;
    PFILE_OBJECT fileObject = NULL;
    BOOLEAN referenced = FALSE;
    BOOLEAN report = FALSE;
    POPEN_RECORD record;
    ULONG lines;
    KIRQL irql;

    AcquireOutputLock(Extension);
    KeAcquireSpinLock(&Extension->StateLock, &irql);
    record = FindOpenLocked(Extension, Requester);
    if (Extension->DeviceGone)
    {
        status = STATUS_DELETE_PENDING;
    }
    else if (!record)
    {
        status = STATUS_FILE_CLOSED;
    }
    else
    {
        lines = RequestedLinesLocked(Extension, Request);
        report = (BOOLEAN)(Request->Kind == VkLineControl || lines != LinesLocked(Extension));
        if (report)
        {
            SetLinesLocked(Extension, lines);
            record->MovedLines = TRUE;
            fileObject = ReferenceReportFileLocked(Extension, Requester, &referenced);
        }
    }
    KeReleaseSpinLock(&Extension->StateLock, irql);
    if (report)
        ReportLines(Extension, fileObject);
    ReleaseOutputLock(Extension);

    /* Dropped outside the output lock: when this was the last reference,
       the open's close runs here, and the close may take that lock. */
    if (referenced)
        ObDereferenceObject(fileObject);
    return status;
}

/* IOCTL_SERIAL_SET_DTR and the three others: Line is SERIAL_DTR_STATE or
   SERIAL_RTS_STATE. */
NTSTATUS SetModemLine(PPORT_EXTENSION Extension, PFILE_OBJECT Requester, ULONG Line, BOOLEAN Raise)
{
    LINE_REQUEST request;

    RtlZeroMemory(&request, sizeof(request));
    request.Kind = VkLineControl;
    request.Line = Line;
    request.Raise = Raise;
    return MoveLines(Extension, Requester, &request);
}

/* IOCTL_SERIAL_SET_HANDFLOW: kept whole, as given; its DTR and RTS modes
   move the lines. */
NTSTATUS SetHandFlow(PPORT_EXTENSION Extension, PFILE_OBJECT Requester,
                     const SERIAL_HANDFLOW* HandFlow)
{
    LINE_REQUEST request;

    RtlZeroMemory(&request, sizeof(request));
    request.Kind = VkHandFlow;
    request.HandFlow = HandFlow;
    return MoveLines(Extension, Requester, &request);
}

/* IOCTL_SERIAL_SET_MODEM_CONTROL: the register's DTR and RTS bits are the
   lines; its other bits are kept and read back. */
NTSTATUS SetModemControl(PPORT_EXTENSION Extension, PFILE_OBJECT Requester, ULONG ModemControl)
{
    LINE_REQUEST request;

    RtlZeroMemory(&request, sizeof(request));
    request.Kind = VkModemControl;
    request.ModemControl = ModemControl;
    return MoveLines(Extension, Requester, &request);
}

/*
 * Called with the output lock held. When no open that moved a line is
 * left, the lines go down, as a serial port's close drops DTR and RTS: a
 * keying program that ends keyed, is killed or crashes must not leave the
 * transmitter on. The report goes out, on the closing open itself, when a
 * line was up or the device did not take the last report (it may still be
 * keyed); after a surprise removal none. The handshake's line modes go back
 * to disabled with the lines, so the next program's GetCommState reads the
 * lines as they are.
 */
static VOID ForgetOpenLocked(PPORT_EXTENSION Extension, PFILE_OBJECT FileObject)
{
    POPEN_RECORD record;
    BOOLEAN lower = FALSE;
    KIRQL irql;

    KeAcquireSpinLock(&Extension->StateLock, &irql);
    record = FindOpenLocked(Extension, FileObject);
    if (record)
    {
        RemoveEntryList(&record->Link);
        if (!AnyOpenMovedLinesLocked(Extension))
        {
            lower = (BOOLEAN)(LinesLocked(Extension) != 0 || Extension->LastReportUntaken);
            lower = (BOOLEAN)(lower && !Extension->DeviceGone);
            SetLinesLocked(Extension, 0);
            if (record->MovedLines)
            {
                Extension->HandFlow.ControlHandShake &= ~SERIAL_DTR_MASK;
                Extension->HandFlow.FlowReplace &= ~SERIAL_RTS_MASK;
            }
        }
    }
    KeReleaseSpinLock(&Extension->StateLock, irql);

    if (lower)
        ReportLines(Extension, FileObject);
    if (record)
        ExFreePool(record);
}

/*
 * The open's handle is gone: its cleanup, or its close when none came.
 * The lowering report is written on the closing open, which the HID stack
 * still has open: the cleanup or close is passed down only afterwards.
 * Nothing here references the file object: at its close it has none left.
 */
VOID ForgetOpen(PPORT_EXTENSION Extension, PFILE_OBJECT FileObject)
{
    POPEN_RECORD record;
    BOOLEAN quiet;
    KIRQL irql;

    /* An open that moved no line, while the device took the last report,
       goes without the output lock: a report the device does not take must
       not hold back a page's or a status program's close. A line change on
       the same handle marks it under StateLock too, so either it is marked
       first and the lowering below counts it, or it finds no record. */
    KeAcquireSpinLock(&Extension->StateLock, &irql);
    record = FindOpenLocked(Extension, FileObject);
    quiet = (BOOLEAN)(record && !record->MovedLines && !Extension->LastReportUntaken);
    if (quiet)
        RemoveEntryList(&record->Link);
    KeReleaseSpinLock(&Extension->StateLock, irql);

    if (quiet)
    {
        ExFreePool(record);
    }
    else if (record)
    {
        AcquireOutputLock(Extension);
        ForgetOpenLocked(Extension, FileObject);
        ReleaseOutputLock(Extension);
    }
}
