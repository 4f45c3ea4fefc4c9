/*
 * What the stand-in remembers for the test: every output report in arrival
 * order, the manufacturer string it answers with, and a few counters. Kept in
 * memory: a registry write per report would add half a millisecond to every
 * line change the port driver makes.
 */
#include "standin.h"

namespace
{

const WCHAR DefaultManufacturer[] = L"QX7LMN/1";

KSPIN_LOCK LogLock;
STANDIN_REPORT Reports[STANDIN_LOG_CAPACITY];
ULONG Recorded;
ULONG Lost;
ULONG NextSequence;
WCHAR Manufacturer[STANDIN_MANUFACTURER_CHARS + 1];
ULONG ManufacturerChars;
STANDIN_STATE State;

} // namespace

VOID InitializeReportLog()
{
    KeInitializeSpinLock(&LogLock);
    Recorded = 0;
    Lost = 0;
    NextSequence = 1;
    RtlZeroMemory(&State, sizeof(State));
    ResetManufacturer();
}

VOID ResetManufacturer()
{
    SetManufacturer(DefaultManufacturer, sizeof(DefaultManufacturer) / sizeof(WCHAR) - 1);
}

VOID RecordOutputReport(UCHAR Device, UCHAR Kind, UCHAR ReportId, const UCHAR* Data, ULONG Length)
{
    KIRQL irql;
    KeAcquireSpinLock(&LogLock, &irql);
    ULONG sequence = NextSequence++;
    if (Recorded < STANDIN_LOG_CAPACITY)
    {
        STANDIN_REPORT* report = &Reports[Recorded++];
        RtlZeroMemory(report, sizeof(*report));
        report->Sequence = sequence;
        report->Kind = Kind;
        report->Device = Device;
        report->ReportId = ReportId;
        // Length keeps what arrived, so an oversized report shows as such.
        report->Length = static_cast<UCHAR>(Length > 0xFF ? 0xFF : Length);
        RtlCopyMemory(report->Data, Data,
                      Length < STANDIN_REPORT_BYTES ? Length : STANDIN_REPORT_BYTES);
    }
    else
    {
        ++Lost;
    }
    KeReleaseSpinLock(&LogLock, irql);
}

ULONG CopyReports(PVOID Buffer, ULONG BufferBytes)
{
    if (BufferBytes < sizeof(STANDIN_LOG_HEADER))
        return 0;
    STANDIN_LOG_HEADER* header = static_cast<STANDIN_LOG_HEADER*>(Buffer);
    STANDIN_REPORT* out = reinterpret_cast<STANDIN_REPORT*>(header + 1);
    ULONG room = (BufferBytes - sizeof(STANDIN_LOG_HEADER)) / sizeof(STANDIN_REPORT);

    KIRQL irql;
    KeAcquireSpinLock(&LogLock, &irql);
    ULONG returned = Recorded < room ? Recorded : room;
    RtlCopyMemory(out, Reports, returned * sizeof(STANDIN_REPORT));
    header->Recorded = Recorded;
    header->Returned = returned;
    header->Lost = Lost;
    KeReleaseSpinLock(&LogLock, irql);
    return sizeof(STANDIN_LOG_HEADER) + returned * sizeof(STANDIN_REPORT);
}

VOID ClearReports()
{
    KIRQL irql;
    KeAcquireSpinLock(&LogLock, &irql);
    Recorded = 0;
    Lost = 0;
    KeReleaseSpinLock(&LogLock, irql);
}

ULONG CopyManufacturer(PWCHAR Buffer, ULONG BufferBytes)
{
    KIRQL irql;
    KeAcquireSpinLock(&LogLock, &irql);
    ULONG bytes = (ManufacturerChars + 1) * sizeof(WCHAR);
    if (BufferBytes < bytes)
        bytes = 0;
    else
        RtlCopyMemory(Buffer, Manufacturer, bytes);
    KeReleaseSpinLock(&LogLock, irql);
    return bytes;
}

VOID SetManufacturer(const WCHAR* Text, ULONG Chars)
{
    if (Chars > STANDIN_MANUFACTURER_CHARS)
        Chars = STANDIN_MANUFACTURER_CHARS;
    KIRQL irql;
    KeAcquireSpinLock(&LogLock, &irql);
    RtlCopyMemory(Manufacturer, Text, Chars * sizeof(WCHAR));
    Manufacturer[Chars] = 0;
    ManufacturerChars = Chars;
    KeReleaseSpinLock(&LogLock, irql);
}

VOID CountEvent(ULONG STANDIN_STATE::*Counter, LONG Delta)
{
    InterlockedExchangeAdd(reinterpret_cast<volatile LONG*>(&(State.*Counter)), Delta);
}

VOID CopyState(STANDIN_STATE* Out)
{
    KIRQL irql;
    KeAcquireSpinLock(&LogLock, &irql);
    *Out = State;
    KeReleaseSpinLock(&LogLock, irql);
}
