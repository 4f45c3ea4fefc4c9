/*
 * File information on an open port, answered as serial ports answer it:
 * the port is a stream that is always empty, at position 0.
 */
#include "vkserial.h"

NTSTATUS QueryPortInformation(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG length = stack->Parameters.QueryFile.Length;
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;

    switch (stack->Parameters.QueryFile.FileInformationClass)
    {
    case FileStandardInformation:
        /* The I/O manager checks the length first; a request built by a
           driver is not checked for it. */
        if (length < sizeof(FILE_STANDARD_INFORMATION))
            return CompleteRequest(Irp, STATUS_BUFFER_TOO_SMALL, 0);
        /* No allocation, no data, no links, not a directory. */
        RtlZeroMemory(buffer, sizeof(FILE_STANDARD_INFORMATION));
        return CompleteRequest(Irp, STATUS_SUCCESS, sizeof(FILE_STANDARD_INFORMATION));
    case FilePositionInformation:
        if (length < sizeof(FILE_POSITION_INFORMATION))
            return CompleteRequest(Irp, STATUS_BUFFER_TOO_SMALL, 0);
        ((PFILE_POSITION_INFORMATION)buffer)->CurrentByteOffset.QuadPart = 0;
        return CompleteRequest(Irp, STATUS_SUCCESS, sizeof(FILE_POSITION_INFORMATION));
    default:
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    }
}

/* Setting the end of file or the allocation of an empty stream changes
   nothing and succeeds; nothing else can be set. */
NTSTATUS SetPortInformation(PIRP Irp)
{
    switch (IoGetCurrentIrpStackLocation(Irp)->Parameters.SetFile.FileInformationClass)
    {
    case FileEndOfFileInformation:
    case FileAllocationInformation:
        return CompleteRequest(Irp, STATUS_SUCCESS, 0);
    default:
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    }
}
