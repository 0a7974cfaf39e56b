// rtl.cpp - the run-time library routines of wdm.h: counted strings, GUID
// text and 64-bit arithmetic helpers.
//
// Counted strings follow the kernel's rules: Length and MaximumLength are in
// bytes, the text is not necessarily zero-terminated, and a terminator is
// written only when there is room after the text.

#include "internal_registry.hpp"

#include <cstdio>

namespace platform::detail {

WCHAR UpcaseChar(WCHAR wc)
{
    const uint16_t c = uint16_t(wc);
    auto pairEvenUpper = [](uint16_t ch) { return uint16_t((ch & 1) ? ch - 1 : ch); };
    auto pairOddUpper = [](uint16_t ch) { return uint16_t((ch & 1) ? ch : ch - 1); };

    if (c < 0x80)
        return (c >= 'a' && c <= 'z') ? WCHAR(c - 0x20) : wc;
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7)
        return WCHAR(c - 0x20);
    if (c == 0xFF)
        return WCHAR(0x178);
    if ((c >= 0x100 && c <= 0x12F) || (c >= 0x132 && c <= 0x137) || (c >= 0x14A && c <= 0x177))
        return WCHAR(pairEvenUpper(c));
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E))
        return WCHAR(pairOddUpper(c));
    if ((c >= 0x3B1 && c <= 0x3C1) || (c >= 0x3C3 && c <= 0x3CB))
        return WCHAR(c - 0x20);
    if (c == 0x3C2)
        return WCHAR(0x3A3);
    if (c == 0x3AC)
        return WCHAR(0x386);
    if (c >= 0x3AD && c <= 0x3AF)
        return WCHAR(c - 0x25);
    if (c == 0x3CC)
        return WCHAR(0x38C);
    if (c == 0x3CD || c == 0x3CE)
        return WCHAR(c - 0x3F);
    if (c >= 0x430 && c <= 0x44F)
        return WCHAR(c - 0x20);
    if (c >= 0x450 && c <= 0x45F)
        return WCHAR(c - 0x50);
    if (c >= 0xFF41 && c <= 0xFF5A)
        return WCHAR(c - 0x20);
    return wc;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (UpcaseChar(WCHAR(a[i])) != UpcaseChar(WCHAR(b[i])))
            return false;
    }
    return true;
}

}  // namespace platform::detail

namespace {

// Counted strings cannot describe more than MAXUSHORT bytes; the kernel keeps
// the byte count even and leaves room for a terminator.
constexpr size_t kMaxUnicodeLength = 0xFFFC;
constexpr size_t kMaxAnsiLength = 0xFFFE;

// The kernel's string allocations (RtlStringFromGUID) carry this tag.
constexpr ULONG kStringTag = platform::MakeTag("StrG");

size_t WideLength(PCWSTR s)
{
    size_t n = 0;
    while (s[n])
        ++n;
    return n;
}

}  // namespace

extern "C" {

SIZE_T NTAPI RtlCompareMemory(const void *Source1, const void *Source2, SIZE_T Length)
{
    auto a = static_cast<const UCHAR *>(Source1);
    auto b = static_cast<const UCHAR *>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i])
        ++i;
    return i;
}

void NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (!SourceString) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = WideLength(SourceString) * sizeof(WCHAR);
    if (bytes > kMaxUnicodeLength)
        bytes = kMaxUnicodeLength;
    DestinationString->Length = USHORT(bytes);
    DestinationString->MaximumLength = USHORT(bytes + sizeof(WCHAR));
}

void NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString)
{
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
    if (!SourceString) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = strlen(SourceString);
    if (bytes > kMaxAnsiLength)
        bytes = kMaxAnsiLength;
    DestinationString->Length = USHORT(bytes);
    DestinationString->MaximumLength = USHORT(bytes + 1);
}

void NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (!SourceString) {
        DestinationString->Length = 0;
        return;
    }
    USHORT n = SourceString->Length;
    if (n > DestinationString->MaximumLength)
        n = DestinationString->MaximumLength;
    n &= ~USHORT(1);  // whole characters only
    if (n)
        RtlMoveMemory(DestinationString->Buffer, SourceString->Buffer, n);
    DestinationString->Length = n;
    if (size_t(n) + sizeof(WCHAR) <= DestinationString->MaximumLength)
        DestinationString->Buffer[n / sizeof(WCHAR)] = 0;
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    if (String1->Length != String2->Length)
        return FALSE;
    size_t chars = String1->Length / sizeof(WCHAR);
    for (size_t i = 0; i < chars; ++i) {
        WCHAR a = String1->Buffer[i];
        WCHAR b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = platform::detail::UpcaseChar(a);
            b = platform::detail::UpcaseChar(b);
        }
        if (a != b)
            return FALSE;
    }
    return TRUE;
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    USHORT n = Source->Length;
    if (n == 0)
        return STATUS_SUCCESS;
    if (size_t(Destination->Length) + n > Destination->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    PWCHAR end = Destination->Buffer + Destination->Length / sizeof(WCHAR);
    RtlMoveMemory(end, Source->Buffer, n);
    Destination->Length = USHORT(Destination->Length + n);
    if (size_t(Destination->Length) + sizeof(WCHAR) <= Destination->MaximumLength)
        end[n / sizeof(WCHAR)] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
{
    if (!Source)
        return STATUS_SUCCESS;
    size_t n = WideLength(Source) * sizeof(WCHAR);
    if (size_t(Destination->Length) + n > Destination->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    PWCHAR end = Destination->Buffer + Destination->Length / sizeof(WCHAR);
    RtlMoveMemory(end, Source, n);
    Destination->Length = USHORT(Destination->Length + n);
    if (size_t(Destination->Length) + sizeof(WCHAR) <= Destination->MaximumLength)
        end[n / sizeof(WCHAR)] = 0;
    return STATUS_SUCCESS;
}

void NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
{
    if (UnicodeString->Buffer)
        ExFreePool(UnicodeString->Buffer);
    RtlZeroMemory(UnicodeString, sizeof *UnicodeString);
}

NTSTATUS NTAPI RtlStringFromGUID(REFGUID Guid, PUNICODE_STRING GuidString)
{
    std::u16string text = platform::ToU16(platform::GuidToString(Guid));
    size_t bytes = text.size() * sizeof(WCHAR);
    auto buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), kStringTag));
    if (!buffer)
        return STATUS_NO_MEMORY;
    RtlCopyMemory(buffer, text.c_str(), bytes + sizeof(WCHAR));
    GuidString->Buffer = buffer;
    GuidString->Length = USHORT(bytes);
    GuidString->MaximumLength = USHORT(bytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String)
{
    if (Base == 0)
        Base = 10;
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16)
        return STATUS_INVALID_PARAMETER;
    char digits[33];
    size_t n = 0;
    do {
        digits[n++] = "0123456789ABCDEF"[Value % Base];
        Value /= Base;
    } while (Value != 0);
    // The text and its terminator must fit; the string is left as it was
    // when they do not.
    if ((n + 1) * sizeof(WCHAR) > String->MaximumLength)
        return STATUS_BUFFER_OVERFLOW;
    for (size_t i = 0; i < n; ++i)
        String->Buffer[i] = WCHAR(digits[n - 1 - i]);
    String->Buffer[n] = 0;
    String->Length = USHORT(n * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

LARGE_INTEGER NTAPI RtlExtendedIntegerMultiply(LARGE_INTEGER Multiplicand, LONG Multiplier)
{
    LARGE_INTEGER result;
    // The product keeps its low 64 bits, as the kernel's routine does.
    result.QuadPart = LONGLONG(ULONGLONG(Multiplicand.QuadPart) * ULONGLONG(LONGLONG(Multiplier)));
    return result;
}

LARGE_INTEGER NTAPI RtlExtendedLargeIntegerDivide(LARGE_INTEGER Dividend, ULONG Divisor, PULONG Remainder)
{
    LARGE_INTEGER result;
    if (Divisor == 0) {
        char detail[96];
        std::snprintf(detail, sizeof detail, "RtlExtendedLargeIntegerDivide of 0x%llx by zero",
                      static_cast<unsigned long long>(Dividend.QuadPart));
        platform::Violate("DIVIDE_BY_ZERO", detail);
        result.QuadPart = 0;
        if (Remainder)
            *Remainder = 0;
        return result;
    }
    ULONGLONG dividend = ULONGLONG(Dividend.QuadPart);
    result.QuadPart = LONGLONG(dividend / Divisor);
    if (Remainder)
        *Remainder = ULONG(dividend % Divisor);
    return result;
}

}  // extern "C"
