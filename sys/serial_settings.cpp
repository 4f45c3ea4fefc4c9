/*
 * The settings a serial program keeps on the port, and the answers to its
 * status and capability queries.
 *
 * Programs set line control, special characters, handshake, time-outs and
 * queue sizes and read them back (kernel32's GetCommState asks for four of
 * them and fails unless all four answer); they ask how much is queued before
 * keying and what the port can do. The port carries no characters, so each
 * answer describes a port with nothing queued, no errors and nothing held.
 * Of all this, only the handshake's DTR and RTS modes move a line, and
 * modem_lines.cpp keeps the handshake.
 */
#include "vkserial.h"

/* Every baud rate the rate bits can name: any rate is taken as given. */
#define VK_SETTABLE_BAUD                                                                           \
    (SERIAL_BAUD_075 | SERIAL_BAUD_110 | SERIAL_BAUD_134_5 | SERIAL_BAUD_150 | SERIAL_BAUD_300 |   \
     SERIAL_BAUD_600 | SERIAL_BAUD_1200 | SERIAL_BAUD_1800 | SERIAL_BAUD_2400 | SERIAL_BAUD_4800 | \
     SERIAL_BAUD_7200 | SERIAL_BAUD_9600 | SERIAL_BAUD_14400 | SERIAL_BAUD_19200 |                 \
     SERIAL_BAUD_38400 | SERIAL_BAUD_56K | SERIAL_BAUD_128K | SERIAL_BAUD_115200 |                 \
     SERIAL_BAUD_57600 | SERIAL_BAUD_USER)

#define VK_SETTABLE_DATA                                                                           \
    (SERIAL_DATABITS_5 | SERIAL_DATABITS_6 | SERIAL_DATABITS_7 | SERIAL_DATABITS_8)

#define VK_SETTABLE_STOP_PARITY                                                                    \
    (SERIAL_STOPBITS_10 | SERIAL_STOPBITS_15 | SERIAL_STOPBITS_20 | SERIAL_PARITY_NONE |           \
     SERIAL_PARITY_ODD | SERIAL_PARITY_EVEN | SERIAL_PARITY_MARK | SERIAL_PARITY_SPACE)

/* Version of SERIAL_COMMPROP that the platform's serial drivers report. */
#define VK_COMMPROP_VERSION 2

/* ASCII DC1 and DC3, the XON and XOFF every serial port starts with. */
#define VK_DEFAULT_XON 0x11
#define VK_DEFAULT_XOFF 0x13

/*
 * What a freshly opened port reports: 8 data bits, no parity, one stop bit,
 * XON/XOFF characters DC1/DC3, no handshake (so DTR and RTS are not claimed
 * raised while the lines are clear), no flow control, zero time-outs, and
 * queue sizes 0 ("unknown": the port keeps no queue). Called at every start
 * with the output lock held, as BaudRate is reset.
 */
VOID ResetSerialSettings(PPORT_EXTENSION Extension)
{
    KIRQL irql;

    KeAcquireSpinLock(&Extension->StateLock, &irql);
    RtlZeroMemory(&Extension->LineControl, sizeof(Extension->LineControl));
    Extension->LineControl.StopBits = STOP_BIT_1;
    Extension->LineControl.Parity = NO_PARITY;
    Extension->LineControl.WordLength = 8;
    RtlZeroMemory(&Extension->SpecialChars, sizeof(Extension->SpecialChars));
    Extension->SpecialChars.XonChar = VK_DEFAULT_XON;
    Extension->SpecialChars.XoffChar = VK_DEFAULT_XOFF;
    RtlZeroMemory(&Extension->HandFlow, sizeof(Extension->HandFlow));
    RtlZeroMemory(&Extension->Timeouts, sizeof(Extension->Timeouts));
    RtlZeroMemory(&Extension->QueueSize, sizeof(Extension->QueueSize));
    Extension->ModemControl = 0;
    KeReleaseSpinLock(&Extension->StateLock, irql);
}

/*
 * A set whose input is shorter than its structure changes nothing; any
 * values are taken as given, as the baud rate is.
 */
NTSTATUS StoreSerialSetting(PPORT_EXTENSION Extension, PIRP Irp, PVOID Setting, ULONG Size)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    KIRQL irql;

    if (stack->Parameters.DeviceIoControl.InputBufferLength < Size)
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);

    KeAcquireSpinLock(&Extension->StateLock, &irql);
    RtlCopyMemory(Setting, Irp->AssociatedIrp.SystemBuffer, Size);
    KeReleaseSpinLock(&Extension->StateLock, irql);
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

/* The I/O manager copies back Information bytes: exactly the structure. */
static NTSTATUS CompleteWithStructure(PIRP Irp, const VOID* Answer, ULONG Size)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    if (stack->Parameters.DeviceIoControl.OutputBufferLength < Size)
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, Answer, Size);
    return CompleteRequest(Irp, STATUS_SUCCESS, Size);
}

/* Reads back a kept setting whole, as one consistent copy. The system
   buffer is non-paged, so it is written under the spin lock. */
NTSTATUS AnswerSerialSetting(PPORT_EXTENSION Extension, PIRP Irp, const VOID* Setting, ULONG Size)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    KIRQL irql;

    if (stack->Parameters.DeviceIoControl.OutputBufferLength < Size)
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);

    KeAcquireSpinLock(&Extension->StateLock, &irql);
    RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, Setting, Size);
    KeReleaseSpinLock(&Extension->StateLock, irql);
    return CompleteRequest(Irp, STATUS_SUCCESS, Size);
}

/* Writes are taken at once and nothing is ever received: nothing queued,
   no errors, nothing holding transmission. */
NTSTATUS AnswerCommStatus(PIRP Irp)
{
    SERIAL_STATUS status;

    RtlZeroMemory(&status, sizeof(status));
    return CompleteWithStructure(Irp, &status, sizeof(status));
}

/* DTR and RTS as they stand. */
NTSTATUS AnswerModemLines(PPORT_EXTENSION Extension, PIRP Irp)
{
    ULONG lines = 0;
    KIRQL irql;

    KeAcquireSpinLock(&Extension->StateLock, &irql);
    if (Extension->DtrState)
        lines |= SERIAL_DTR_STATE;
    if (Extension->RtsState)
        lines |= SERIAL_RTS_STATE;
    KeReleaseSpinLock(&Extension->StateLock, irql);
    return CompleteWithStructure(Irp, &lines, sizeof(lines));
}

/* The register as last set, with DTR and RTS as the lines stand. */
NTSTATUS AnswerModemControl(PPORT_EXTENSION Extension, PIRP Irp)
{
    ULONG bits;
    KIRQL irql;

    KeAcquireSpinLock(&Extension->StateLock, &irql);
    bits = Extension->ModemControl & ~(ULONG)(SERIAL_MCR_DTR | SERIAL_MCR_RTS);
    if (Extension->DtrState)
        bits |= SERIAL_MCR_DTR;
    if (Extension->RtsState)
        bits |= SERIAL_MCR_RTS;
    KeReleaseSpinLock(&Extension->StateLock, irql);
    return CompleteWithStructure(Irp, &bits, sizeof(bits));
}

/* The device has no input lines: CTS, DSR, RI and DCD read as not asserted,
   and no change of them is ever reported. */
NTSTATUS AnswerModemStatus(PIRP Irp)
{
    ULONG status = 0;
    return CompleteWithStructure(Irp, &status, sizeof(status));
}

/* No character is ever sent on a line or received: every count is 0. */
NTSTATUS AnswerStats(PIRP Irp)
{
    SERIALPERF_STATS stats;

    RtlZeroMemory(&stats, sizeof(stats));
    return CompleteWithStructure(Irp, &stats, sizeof(stats));
}

/* No provider-specific configuration. */
NTSTATUS AnswerConfigSize(PIRP Irp)
{
    ULONG size = 0;
    return CompleteWithStructure(Irp, &size, sizeof(size));
}

/*
 * An RS-232 port with DTR and RTS for a program to drive, taking any baud
 * rate, 5 to 8 data bits, every stop-bit count and parity, the XON/XOFF
 * characters and time-outs (every read and write completes at once, within
 * any time-out); no queue limit, and the queue sizes last set. It claims no
 * handshake, parity check or carrier detect.
 */
NTSTATUS AnswerProperties(PPORT_EXTENSION Extension, PIRP Irp)
{
    SERIAL_COMMPROP properties;
    KIRQL irql;

    RtlZeroMemory(&properties, sizeof(properties));
    properties.PacketLength = sizeof(SERIAL_COMMPROP);
    properties.PacketVersion = VK_COMMPROP_VERSION;
    properties.ServiceMask = SERIAL_SP_SERIALCOMM;
    properties.MaxBaud = SERIAL_BAUD_USER;
    properties.ProvSubType = SERIAL_SP_RS232;
    properties.ProvCapabilities = SERIAL_PCF_DTRDSR | SERIAL_PCF_RTSCTS | SERIAL_PCF_SETXCHAR |
                                  SERIAL_PCF_TOTALTIMEOUTS | SERIAL_PCF_INTTIMEOUTS;
    properties.SettableParams =
        SERIAL_SP_PARITY | SERIAL_SP_BAUD | SERIAL_SP_DATABITS | SERIAL_SP_STOPBITS;
    properties.SettableBaud = VK_SETTABLE_BAUD;
    properties.SettableData = VK_SETTABLE_DATA;
    properties.SettableStopParity = VK_SETTABLE_STOP_PARITY;

    KeAcquireSpinLock(&Extension->StateLock, &irql);
    properties.CurrentTxQueue = Extension->QueueSize.OutSize;
    properties.CurrentRxQueue = Extension->QueueSize.InSize;
    KeReleaseSpinLock(&Extension->StateLock, irql);
    return CompleteWithStructure(Irp, &properties, sizeof(properties));
}
