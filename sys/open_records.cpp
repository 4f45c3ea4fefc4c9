/*
 * The record of the port's opens, from the create the HID stack accepted to
 * the cleanup: whether the open passes its reads and writes through and may
 * republish. The lines an open moved are modem_lines.cpp's, which also lets
 * a record go.
 */
#include "vkserial.h"

VOID InitializeOpenTracking(PPORT_EXTENSION Extension)
{
    KeInitializeSpinLock(&Extension->StateLock);
    ExInitializeFastMutex(&Extension->OutputLock);
    InitializeListHead(&Extension->OpenList);
    KeInitializeEvent(&Extension->ReportUnpinned, NotificationEvent, TRUE);
}

/* The newest open, which carries the reports from now on. */
VOID TrackOpen(PPORT_EXTENSION Extension, POPEN_RECORD Record, PFILE_OBJECT FileObject,
               BOOLEAN MayWrite)
{
    KIRQL irql;

    Record->FileObject = FileObject;
    Record->PassThrough = FALSE;
    Record->MayWrite = MayWrite;
    Record->MovedLines = FALSE;
    KeAcquireSpinLock(&Extension->StateLock, &irql);
    InsertHeadList(&Extension->OpenList, &Record->Link);
    KeReleaseSpinLock(&Extension->StateLock, irql);
}

/* Called with StateLock held. */
POPEN_RECORD FindOpenLocked(PPORT_EXTENSION Extension, PFILE_OBJECT FileObject)
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

/* Called with StateLock held: the file object of the newest open, or NULL. */
PFILE_OBJECT NewestOpenLocked(PPORT_EXTENSION Extension)
{
    if (IsListEmpty(&Extension->OpenList))
        return NULL;
    return CONTAINING_RECORD(Extension->OpenList.Flink, OPEN_RECORD, Link)->FileObject;
}

/* Called with StateLock held. */
BOOLEAN AnyOpenMovedLinesLocked(PPORT_EXTENSION Extension)
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
 * A copy of the open's record as it stands. An open the port no longer
 * tracks (its handle was cleaned up) is not found: it is a serial one and
 * may not write.
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

/* At removal, when no request can reach the device any more. */
VOID ForgetAllOpens(PPORT_EXTENSION Extension)
{
    KIRQL irql;
    LIST_ENTRY orphans;

    InitializeListHead(&orphans);
    KeAcquireSpinLock(&Extension->StateLock, &irql);
    while (!IsListEmpty(&Extension->OpenList))
        InsertHeadList(&orphans, RemoveHeadList(&Extension->OpenList));
    KeReleaseSpinLock(&Extension->StateLock, irql);

    while (!IsListEmpty(&orphans))
        ExFreePool(CONTAINING_RECORD(RemoveHeadList(&orphans), OPEN_RECORD, Link));
}
