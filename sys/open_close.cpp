/*
 * Opens, cleanups and closes of the port, and the record of the opens in
 * whose context output reports are written.
 */
#include "vkserial.h"

VOID InitializeOpenTracking(PPORT_EXTENSION Extension)
{
    KeInitializeSpinLock(&Extension->StateLock);
    ExInitializeFastMutex(&Extension->OutputLock);
    InitializeListHead(&Extension->OpenList);
    Extension->OpenFileObject = NULL;
    KeInitializeEvent(&Extension->ReportUnpinned, NotificationEvent, TRUE);
}

static VOID TrackOpen(PPORT_EXTENSION Extension, POPEN_RECORD Record, PFILE_OBJECT FileObject,
                      BOOLEAN MayWrite)
{
    KIRQL irql;

    Record->FileObject = FileObject;
    Record->PassThrough = FALSE;
    Record->MayWrite = MayWrite;
    Record->MovedLines = FALSE;
    KeAcquireSpinLock(&Extension->StateLock, &irql);
    InsertHeadList(&Extension->OpenList, &Record->Link);
    Extension->OpenFileObject = FileObject;
    KeReleaseSpinLock(&Extension->StateLock, irql);
}

/* Called with StateLock held. */
static POPEN_RECORD FindOpenLocked(PPORT_EXTENSION Extension, PFILE_OBJECT FileObject)
{
    PLIST_ENTRY entry;

    for (entry = Extension->OpenList.Flink; entry != &Extension->OpenList; entry = entry->Flink)
    {
        POPEN_RECORD record = CONTAINING_RECORD(entry, OPEN_RECORD, Link);
        if (record->FileObject == FileObject)
            return record;
    }
    return NULL;
}

/*
 * A copy of the open's record as it stands. An open the port no longer
 * tracks (its handle was cleaned up) is not found: it is a serial one, may
 * not write and moved no line.
 */
static BOOLEAN LookUpOpen(PPORT_EXTENSION Extension, PFILE_OBJECT FileObject, POPEN_RECORD Copy)
{
    POPEN_RECORD record;
    KIRQL irql;

    KeAcquireSpinLock(&Extension->StateLock, &irql);
    record = FindOpenLocked(Extension, FileObject);
    if (record)
        *Copy = *record;
    KeReleaseSpinLock(&Extension->StateLock, irql);
    return (BOOLEAN)(record != NULL);
}

/* Whether reads and writes on this open go to the HID stack. */
BOOLEAN OpenPassesThrough(PPORT_EXTENSION Extension, PFILE_OBJECT FileObject)
{
    OPEN_RECORD open;
    return (BOOLEAN)(LookUpOpen(Extension, FileObject, &open) && open.PassThrough);
}

/* Whether the handle may change what the port publishes. */
BOOLEAN OpenMayWrite(PPORT_EXTENSION Extension, PFILE_OBJECT FileObject)
{
    OPEN_RECORD open;
    return (BOOLEAN)(LookUpOpen(Extension, FileObject, &open) && open.MayWrite);
}

VOID SetOpenPassThrough(PPORT_EXTENSION Extension, PFILE_OBJECT FileObject, BOOLEAN PassThrough)
{
    POPEN_RECORD record;
    KIRQL irql;

    KeAcquireSpinLock(&Extension->StateLock, &irql);
    record = FindOpenLocked(Extension, FileObject);
    if (record)
        record->PassThrough = PassThrough;
    KeReleaseSpinLock(&Extension->StateLock, irql);
}

/* A start begins with every open in serial mode. */
VOID ResetPassThrough(PPORT_EXTENSION Extension)
{
    PLIST_ENTRY entry;
    KIRQL irql;

    KeAcquireSpinLock(&Extension->StateLock, &irql);
    for (entry = Extension->OpenList.Flink; entry != &Extension->OpenList; entry = entry->Flink)
        CONTAINING_RECORD(entry, OPEN_RECORD, Link)->PassThrough = FALSE;
    KeReleaseSpinLock(&Extension->StateLock, irql);
}

/* Called with the output lock held, under which the lines move. */
VOID NoteOpenMovedLine(PPORT_EXTENSION Extension, PFILE_OBJECT FileObject)
{
    POPEN_RECORD record;
    KIRQL irql;

    KeAcquireSpinLock(&Extension->StateLock, &irql);
    record = FindOpenLocked(Extension, FileObject);
    if (record)
        record->MovedLines = TRUE;
    KeReleaseSpinLock(&Extension->StateLock, irql);
}

static BOOLEAN OpenMovedLines(PPORT_EXTENSION Extension, PFILE_OBJECT FileObject)
{
    OPEN_RECORD open;
    return (BOOLEAN)(LookUpOpen(Extension, FileObject, &open) && open.MovedLines);
}

/* Called with StateLock held. */
static BOOLEAN AnyOpenMovedLinesLocked(PPORT_EXTENSION Extension)
{
    PLIST_ENTRY entry;

    for (entry = Extension->OpenList.Flink; entry != &Extension->OpenList; entry = entry->Flink)
    {
        if (CONTAINING_RECORD(entry, OPEN_RECORD, Link)->MovedLines)
            return TRUE;
    }
    return FALSE;
}

/*
 * Forgets an open once its handle is gone. When it was the one reports are
 * written for, the newest open that remains takes its place. Returns TRUE
 * when it had moved a line and no open left has.
 */
static BOOLEAN ForgetOpen(PPORT_EXTENSION Extension, PFILE_OBJECT FileObject)
{
    POPEN_RECORD found;
    BOOLEAN lastToMoveLines = FALSE;
    KIRQL irql;

    KeAcquireSpinLock(&Extension->StateLock, &irql);
    found = FindOpenLocked(Extension, FileObject);
    if (found)
    {
        RemoveEntryList(&found->Link);
        lastToMoveLines = (BOOLEAN)(found->MovedLines && !AnyOpenMovedLinesLocked(Extension));
    }
    if (Extension->OpenFileObject == FileObject)
    {
        Extension->OpenFileObject =
            IsListEmpty(&Extension->OpenList)
                ? NULL
                : CONTAINING_RECORD(Extension->OpenList.Flink, OPEN_RECORD, Link)->FileObject;
    }
    KeReleaseSpinLock(&Extension->StateLock, irql);

    if (found)
        ExFreePool(found);
    return lastToMoveLines;
}

/*
 * The open goes, at its cleanup or, when none came, its close. An open
 * that moved a line is forgotten under the output lock, where line changes
 * note the opens that make them, so a second keying program's change is
 * either counted before this decides or comes after the lines went down.
 * The lowering report is written on the closing open, which the HID stack
 * still has open: the cleanup or close is passed down only afterwards.
 * Nothing here references the file object: at its close it has none left.
 */
static VOID LetOpenGo(PPORT_EXTENSION Extension, PFILE_OBJECT FileObject)
{
    if (!OpenMovedLines(Extension, FileObject))
    {
        (VOID)ForgetOpen(Extension, FileObject);
        return;
    }
    AcquireOutputLock(Extension);
    if (ForgetOpen(Extension, FileObject))
        LowerModemLines(Extension, FileObject);
    ReleaseOutputLock(Extension);
}

VOID ForgetAllOpens(PPORT_EXTENSION Extension)
{
    KIRQL irql;
    LIST_ENTRY orphans;

    InitializeListHead(&orphans);
    KeAcquireSpinLock(&Extension->StateLock, &irql);
    while (!IsListEmpty(&Extension->OpenList))
        InsertHeadList(&orphans, RemoveHeadList(&Extension->OpenList));
    Extension->OpenFileObject = NULL;
    KeReleaseSpinLock(&Extension->StateLock, irql);

    while (!IsListEmpty(&orphans))
        ExFreePool(CONTAINING_RECORD(RemoveHeadList(&orphans), OPEN_RECORD, Link));
}

/*
 * The file object of the open that output reports are written for, kept
 * from closing, so that its close cannot reach the HID stack while a report
 * is on its way. The requester's own open is kept by the request itself
 * (the I/O manager holds a reference until the request completes), so only
 * another open takes a reference (*Referenced); under Wine each reference
 * from none is a wineserver round trip. NULL when no open remains.
 */
PFILE_OBJECT ReferenceOutputFileObject(PPORT_EXTENSION Extension, PFILE_OBJECT Requester,
                                       PBOOLEAN Referenced)
{
    PFILE_OBJECT fileObject;
    KIRQL irql;

    KeAcquireSpinLock(&Extension->StateLock, &irql);
    fileObject = Extension->OpenFileObject;
    *Referenced = (BOOLEAN)(fileObject != NULL && fileObject != Requester);
    if (*Referenced)
        ObReferenceObject(fileObject);
    KeReleaseSpinLock(&Extension->StateLock, irql);
    return fileObject;
}

/*
 * The access the handle will hold: what the I/O manager granted against the
 * device's security descriptor and what remains of the request, which the
 * handle receives too (a kernel-mode requester is not checked, so what it
 * asked for is all still remaining). Windows always supplies the security
 * context; Wine's I/O manager supplies none, and its opens are taken as
 * writers, or no program under Wine could republish.
 */
static BOOLEAN CreateGrantsWrite(PIO_STACK_LOCATION Stack)
{
    PIO_SECURITY_CONTEXT context = Stack->Parameters.Create.SecurityContext;
    ACCESS_MASK granted;

    if (!context || !context->AccessState)
        return TRUE;
    granted = context->AccessState->PreviouslyGrantedAccess |
              context->AccessState->RemainingDesiredAccess;
    return (BOOLEAN)((granted & FILE_WRITE_DATA) != 0);
}

/*
 * The HID stack decides the open. The create is forwarded and waited for,
 * also when the stack pends it, so that the identity check runs on an open
 * that exists and the create is completed exactly once, with the status the
 * HID stack gave it.
 */
NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION extension = (PPORT_EXTENSION)DeviceObject->DeviceExtension;
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    BOOLEAN mayWrite = CreateGrantsWrite(IoGetCurrentIrpStackLocation(Irp));
    POPEN_RECORD record;
    NTSTATUS status;

    /* Taken before the open reaches the HID stack: an open it accepted
       can no longer be refused for want of memory. */
    record = (POPEN_RECORD)ExAllocatePoolWithTag(VkNonPagedPool, sizeof(OPEN_RECORD), VK_POOL_TAG);
    if (!record)
        return CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);

    status = ForwardAndWait(DeviceObject, Irp);
    if (NT_SUCCESS(status))
    {
        TrackOpen(extension, record, fileObject, mayWrite);
        record = NULL;
        /* The outcome shows in IdentityVerified; the open keeps its status. */
        CheckDeviceIdentity(extension, fileObject);
    }

    if (record)
        ExFreePool(record);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS DispatchCleanup(PPORT_EXTENSION Extension, PIRP Irp)
{
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;

    CompletePendingWait(Extension);
    LetOpenGo(Extension, fileObject);
    return PassDown(Extension, Irp);
}

NTSTATUS DispatchClose(PPORT_EXTENSION Extension, PIRP Irp)
{
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;

    /* Some systems close without a cleanup first: what the cleanup does
       for this open happens here. */
    CompletePendingWaitOf(Extension, fileObject);
    LetOpenGo(Extension, fileObject);
    return PassDown(Extension, Irp);
}
