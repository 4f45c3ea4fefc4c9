/*
 * Access to the port state that requests on several handles share.
 */
#include "vkserial.h"

ULONG ReadShared(PPORT_EXTENSION Extension, const ULONG* Field)
{
    KIRQL irql;
    ULONG value;

    KeAcquireSpinLock(&Extension->StateLock, &irql);
    value = *Field;
    KeReleaseSpinLock(&Extension->StateLock, irql);
    return value;
}

VOID WriteShared(PPORT_EXTENSION Extension, PULONG Field, ULONG Value)
{
    KIRQL irql;

    KeAcquireSpinLock(&Extension->StateLock, &irql);
    *Field = Value;
    KeReleaseSpinLock(&Extension->StateLock, irql);
}

BOOLEAN ReadSharedFlag(PPORT_EXTENSION Extension, const BOOLEAN* Field)
{
    KIRQL irql;
    BOOLEAN value;

    KeAcquireSpinLock(&Extension->StateLock, &irql);
    value = *Field;
    KeReleaseSpinLock(&Extension->StateLock, irql);
    return value;
}

VOID WriteSharedFlag(PPORT_EXTENSION Extension, PBOOLEAN Field, BOOLEAN Value)
{
    KIRQL irql;

    KeAcquireSpinLock(&Extension->StateLock, &irql);
    *Field = Value;
    KeReleaseSpinLock(&Extension->StateLock, irql);
}

/*
 * Every line change takes this lock, nearly always uncontended: then it is
 * one interlocked operation and no wait. Under Wine any kernel wait, even on
 * a signalled event, is three wineserver round trips. The critical region
 * keeps a program's thread from being suspended while it holds the lock
 * (normal kernel APCs wait until it leaves), as ExAcquireFastMutex would,
 * without raising to APC_LEVEL.
 */
VOID AcquireOutputLock(PPORT_EXTENSION Extension)
{
    KeEnterCriticalRegion();
    ExAcquireFastMutexUnsafe(&Extension->OutputLock);
}

VOID ReleaseOutputLock(PPORT_EXTENSION Extension)
{
    ExReleaseFastMutexUnsafe(&Extension->OutputLock);
    KeLeaveCriticalRegion();
}
