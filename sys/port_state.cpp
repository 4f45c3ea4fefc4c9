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
 * a signalled event, is three wineserver round trips.
 */
VOID AcquireOutputLock(PPORT_EXTENSION Extension)
{
    if (InterlockedIncrement(&Extension->OutputLockUsers) > 1)
        KeWaitForSingleObject(&Extension->OutputLock, Executive, KernelMode, FALSE, NULL);
}

/* A waiter that has not reached its wait yet finds the event signalled. */
VOID ReleaseOutputLock(PPORT_EXTENSION Extension)
{
    if (InterlockedDecrement(&Extension->OutputLockUsers) > 0)
        KeSetEvent(&Extension->OutputLock, IO_NO_INCREMENT, FALSE);
}
