// dbgprint.cpp - DbgPrint, RtlAssert and DbgBreakPoint.
//
// The kernel's format language is implemented here rather than handed to the
// C library: `l` is a 32-bit size on Windows (64-bit in glibc), `%ws`/`%S`
// expect 16-bit WCHAR text (glibc's %ls expects 32-bit wchar_t), `%Z`/`%wZ`
// take counted strings and `%p` is upper-case and zero-padded to the pointer
// size.  Every call's text goes to an in-memory sink the tests read (all of
// it by default; a long-running program keeps a bounded ring, or nothing)
// and, optionally, to a live echo.

#include <platform/platform.hpp>

#include <cstdarg>
#include <cstdio>
#include <deque>
#include <mutex>

namespace platform {

namespace {

// Assertion records kept; a driver that asserts in a loop is counted on.
constexpr size_t kAssertionsKept = 4096;

struct DebugSink {
    std::mutex lock;
    std::deque<std::string> calls;  // the calls kept, oldest first
    size_t bytes = 0;               // their text's length
    size_t limit = kCaptureEverything;
    uint64_t dropped = 0;           // calls the limit left out or pushed out
    std::function<void(std::string_view)> echo;
    std::vector<AssertionRecord> assertions;
    uint64_t assertionsDropped = 0;
};

// With sink.lock held: the oldest calls go until the rest fit the limit.
void Trim(DebugSink &sink)
{
    while (sink.bytes > sink.limit && !sink.calls.empty()) {
        sink.bytes -= sink.calls.front().size();
        sink.calls.pop_front();
        ++sink.dropped;
    }
}

DebugSink &Sink()
{
    static DebugSink sink;
    return sink;
}

// The argument list, passed by reference so that every reader advances it
// (a va_list itself may not be passed on and used again portably).
struct Args {
    va_list ap;
    bool wideText = false;  // a conversion took 16-bit text (%ws, %wZ, %S, %C, %lc ...)
};

// One conversion (flags, width, precision, size), as parsed from the format.
struct Conversion {
    bool left = false;
    bool zero = false;
    bool plus = false;
    bool space = false;
    bool alternate = false;
    int width = 0;
    int precision = -1;  // -1: not given
    enum class Size { Default, Char, Short, Long32, Long64, Pointer, LongDouble } size = Size::Default;
    bool wide = false;    // 'l' or 'w': wide text for c, s, Z
    bool narrow = false;  // 'h': narrow text for c, s, Z (and %S, %C)
};

void Pad(std::string &out, int count, char c)
{
    if (count > 0)
        out.append(size_t(count), c);
}

// Places text (whose displayed length is `length` characters) in its field.
void Field(std::string &out, const Conversion &conv, const std::string &text, int length)
{
    if (!conv.left)
        Pad(out, conv.width - length, ' ');
    out += text;
    if (conv.left)
        Pad(out, conv.width - length, ' ');
}

void FormatInteger(std::string &out, const Conversion &conv, char conversion, uint64_t magnitude, bool negative)
{
    unsigned radix = 10;
    const char *digitSet = "0123456789abcdef";
    std::string prefix;
    bool isSigned = conversion == 'd' || conversion == 'i';
    int precision = conv.precision;

    switch (conversion) {
    case 'o':
        radix = 8;
        break;
    case 'x':
        radix = 16;
        if (conv.alternate && magnitude != 0)
            prefix = "0x";
        break;
    case 'X':
    case 'p':
        radix = 16;
        digitSet = "0123456789ABCDEF";
        if (conv.alternate && magnitude != 0)
            prefix = "0X";
        break;
    default:
        break;
    }
    if (conversion == 'p')
        precision = int(2 * sizeof(void *));

    std::string digits;
    for (uint64_t v = magnitude; v != 0; v /= radix)
        digits.insert(digits.begin(), digitSet[v % radix]);
    int minimum = precision < 0 ? 1 : precision;
    if (int(digits.size()) < minimum)
        digits.insert(0, size_t(minimum - int(digits.size())), '0');
    if (conversion == 'o' && conv.alternate && (digits.empty() || digits[0] != '0'))
        digits.insert(digits.begin(), '0');

    if (isSigned) {
        if (negative)
            prefix = "-";
        else if (conv.plus)
            prefix = "+";
        else if (conv.space)
            prefix = " ";
    }

    int length = int(prefix.size() + digits.size());
    // A given precision turns off zero padding, as does left justification.
    if (conv.zero && !conv.left && conv.precision < 0 && conversion != 'p') {
        out += prefix;
        Pad(out, conv.width - length, '0');
        out += digits;
        return;
    }
    Field(out, conv, prefix + digits, length);
}

void AppendUtf8Char(std::string &out, uint16_t c)
{
    WCHAR w = WCHAR(c);
    out += ToUtf8(&w, 1);
}

// Formats wide text of at most `chars` code units (stopping at a zero when
// `zeroTerminated`), honouring precision as a character limit.
void FormatWide(std::string &out, const Conversion &conv, const WCHAR *text, size_t chars, bool zeroTerminated)
{
    size_t limit = conv.precision >= 0 ? size_t(conv.precision) : SIZE_MAX;
    size_t n = 0;
    if (zeroTerminated) {
        while (n < limit && text[n])
            ++n;
    } else {
        n = chars < limit ? chars : limit;
    }
    Field(out, conv, ToUtf8(text, n), int(n));
}

void FormatNarrow(std::string &out, const Conversion &conv, const char *text, size_t chars, bool zeroTerminated)
{
    size_t limit = conv.precision >= 0 ? size_t(conv.precision) : SIZE_MAX;
    size_t n = 0;
    if (zeroTerminated) {
        while (n < limit && text[n])
            ++n;
    } else {
        n = chars < limit ? chars : limit;
    }
    Field(out, conv, std::string(text, n), int(n));
}

void FormatNull(std::string &out, const Conversion &conv)
{
    // For %s a precision cuts the placeholder too; %Z comes with none.
    static const char kNull[] = "(null)";
    FormatNarrow(out, conv, kNull, sizeof kNull - 1, true);
}

uint64_t ReadUnsigned(const Conversion &conv, Args &args)
{
    switch (conv.size) {
    case Conversion::Size::Char:
        return uint8_t(va_arg(args.ap, unsigned int));
    case Conversion::Size::Short:
        return uint16_t(va_arg(args.ap, unsigned int));
    case Conversion::Size::Long64:
        return va_arg(args.ap, unsigned long long);
    case Conversion::Size::Pointer:
        return va_arg(args.ap, uintptr_t);
    case Conversion::Size::Default:
    case Conversion::Size::Long32:
    case Conversion::Size::LongDouble:
        break;
    }
    return va_arg(args.ap, unsigned int);  // int and `l` are both 32-bit
}

int64_t ReadSigned(const Conversion &conv, Args &args)
{
    switch (conv.size) {
    case Conversion::Size::Char:
        return int8_t(va_arg(args.ap, int));
    case Conversion::Size::Short:
        return int16_t(va_arg(args.ap, int));
    case Conversion::Size::Long64:
        return va_arg(args.ap, long long);
    case Conversion::Size::Pointer:
        return va_arg(args.ap, intptr_t);
    case Conversion::Size::Default:
    case Conversion::Size::Long32:
    case Conversion::Size::LongDouble:
        break;
    }
    return va_arg(args.ap, int);
}

// Floating point is not part of what drivers print, but the argument must be
// consumed so that the conversions after it stay in step.
void FormatFloat(std::string &out, const Conversion &conv, char conversion, Args &args)
{
    long double value = conv.size == Conversion::Size::LongDouble ? va_arg(args.ap, long double) : va_arg(args.ap, double);
    std::string format = "%";
    if (conv.left)
        format += '-';
    if (conv.zero)
        format += '0';
    if (conv.plus)
        format += '+';
    if (conv.space)
        format += ' ';
    if (conv.alternate)
        format += '#';
    format += "*.*L";
    format += conversion;
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, format.c_str(), conv.width, conv.precision < 0 ? 6 : conv.precision, value);
    out += buffer;
}

// Parses the conversion starting after '%' and formats it; returns the
// position after the conversion.
const char *FormatOne(std::string &out, const char *p, Args &args)
{
    const char *start = p - 1;
    Conversion conv;

    for (;; ++p) {
        if (*p == '-')
            conv.left = true;
        else if (*p == '0')
            conv.zero = true;
        else if (*p == '+')
            conv.plus = true;
        else if (*p == ' ')
            conv.space = true;
        else if (*p == '#')
            conv.alternate = true;
        else
            break;
    }

    if (*p == '*') {
        conv.width = va_arg(args.ap, int);
        if (conv.width < 0) {
            conv.left = true;
            conv.width = -conv.width;
        }
        ++p;
    } else {
        while (*p >= '0' && *p <= '9')
            conv.width = conv.width * 10 + (*p++ - '0');
    }

    if (*p == '.') {
        ++p;
        conv.precision = 0;
        if (*p == '*') {
            conv.precision = va_arg(args.ap, int);
            if (conv.precision < 0)
                conv.precision = -1;  // a negative precision counts as none
            ++p;
        } else {
            while (*p >= '0' && *p <= '9')
                conv.precision = conv.precision * 10 + (*p++ - '0');
        }
    }

    for (bool more = true; more;) {
        switch (*p) {
        case 'h':
            conv.size = conv.size == Conversion::Size::Short ? Conversion::Size::Char : Conversion::Size::Short;
            conv.narrow = true;
            ++p;
            break;
        case 'l':
            conv.size = conv.size == Conversion::Size::Long32 ? Conversion::Size::Long64 : Conversion::Size::Long32;
            conv.wide = true;
            ++p;
            break;
        case 'w':
            conv.wide = true;
            ++p;
            break;
        case 'L':
            conv.size = Conversion::Size::LongDouble;
            ++p;
            break;
        case 'I':
            if (p[1] == '6' && p[2] == '4') {
                conv.size = Conversion::Size::Long64;
                p += 3;
            } else if (p[1] == '3' && p[2] == '2') {
                conv.size = Conversion::Size::Long32;
                p += 3;
            } else {
                conv.size = Conversion::Size::Pointer;
                ++p;
            }
            break;
        default:
            more = false;
            break;
        }
    }

    char conversion = *p;
    switch (conversion) {
    case 'd':
    case 'i': {
        int64_t v = ReadSigned(conv, args);
        uint64_t magnitude = v < 0 ? uint64_t(0) - uint64_t(v) : uint64_t(v);
        FormatInteger(out, conv, conversion, magnitude, v < 0);
        break;
    }
    case 'u':
    case 'o':
    case 'x':
    case 'X':
        FormatInteger(out, conv, conversion, ReadUnsigned(conv, args), false);
        break;
    case 'p':
        FormatInteger(out, conv, 'p', uintptr_t(va_arg(args.ap, void *)), false);
        break;
    case 'c':
    case 'C': {
        int c = va_arg(args.ap, int);
        bool wide = conversion == 'C' ? !conv.narrow : conv.wide;
        args.wideText = args.wideText || wide;
        std::string text;
        if (wide)
            AppendUtf8Char(text, uint16_t(c));
        else
            text += char(c);
        Field(out, conv, text, 1);
        break;
    }
    case 's':
    case 'S': {
        bool wide = conversion == 'S' ? !conv.narrow : conv.wide;
        args.wideText = args.wideText || wide;
        if (wide) {
            const WCHAR *text = va_arg(args.ap, const WCHAR *);
            if (text)
                FormatWide(out, conv, text, 0, true);
            else
                FormatNull(out, conv);
        } else {
            const char *text = va_arg(args.ap, const char *);
            if (text)
                FormatNarrow(out, conv, text, 0, true);
            else
                FormatNull(out, conv);
        }
        break;
    }
    case 'Z': {
        // Counted strings print Length bytes; the precision does not apply.
        Conversion counted = conv;
        counted.precision = -1;
        args.wideText = args.wideText || conv.wide;
        if (conv.wide) {
            const UNICODE_STRING *s = va_arg(args.ap, const UNICODE_STRING *);
            if (s && s->Buffer)
                FormatWide(out, counted, s->Buffer, s->Length / sizeof(WCHAR), false);
            else
                FormatNull(out, counted);
        } else {
            const ANSI_STRING *s = va_arg(args.ap, const ANSI_STRING *);
            if (s && s->Buffer)
                FormatNarrow(out, counted, s->Buffer, s->Length, false);
            else
                FormatNull(out, counted);
        }
        break;
    }
    case 'e':
    case 'E':
    case 'f':
    case 'g':
    case 'G':
    case 'a':
    case 'A':
        FormatFloat(out, conv, conversion, args);
        break;
    case 'n':
        // Writing through an argument pointer is not something a debug print
        // does for a driver; the pointer is consumed and nothing is written.
        (void)va_arg(args.ap, void *);
        break;
    case '%':
        out += '%';
        break;
    case '\0':
        // A lone '%' at the end of the format.
        out.append(start, p);
        return p;
    default:
        // Unknown conversion: printed as written.
        out.append(start, p + 1);
        break;
    }
    return p + 1;
}

// Formats like the kernel; *wideText (if given) tells whether a conversion
// took 16-bit text.
std::string FormatV(const char *format, va_list ap, bool *wideText = nullptr)
{
    Args args;
    va_copy(args.ap, ap);
    std::string out;
    for (const char *p = format; *p;) {
        if (*p != '%') {
            const char *run = p;
            while (*p && *p != '%')
                ++p;
            out.append(run, p);
            continue;
        }
        p = FormatOne(out, p + 1, args);
    }
    va_end(args.ap);
    if (wideText)
        *wideText = args.wideText;
    return out;
}

void Emit(std::string text)
{
    std::function<void(std::string_view)> echo;
    {
        DebugSink &sink = Sink();
        std::lock_guard guard(sink.lock);
        if (text.size() <= sink.limit) {
            sink.bytes += text.size();
            sink.calls.push_back(text);
            Trim(sink);
        } else {
            ++sink.dropped;
        }
        echo = sink.echo;
    }
    // The echo runs outside the lock so that it may print itself.
    if (echo)
        echo(text);
}

}  // namespace

std::string FormatKernel(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    std::string text = FormatV(format, ap);
    va_end(ap);
    return text;
}

std::string DebugText()
{
    DebugSink &sink = Sink();
    std::lock_guard guard(sink.lock);
    std::string text;
    text.reserve(sink.bytes);
    for (const std::string &call : sink.calls)
        text += call;
    return text;
}

std::vector<std::string> DebugCalls()
{
    DebugSink &sink = Sink();
    std::lock_guard guard(sink.lock);
    return {sink.calls.begin(), sink.calls.end()};
}

void ClearDebugOutput()
{
    DebugSink &sink = Sink();
    std::lock_guard guard(sink.lock);
    sink.calls.clear();
    sink.bytes = 0;
    sink.dropped = 0;
}

void SetDebugCapture(size_t bytes)
{
    DebugSink &sink = Sink();
    std::lock_guard guard(sink.lock);
    sink.limit = bytes;
    Trim(sink);
}

uint64_t DroppedDebugCalls()
{
    DebugSink &sink = Sink();
    std::lock_guard guard(sink.lock);
    return sink.dropped;
}

void SetDebugEcho(std::function<void(std::string_view)> echo)
{
    DebugSink &sink = Sink();
    std::lock_guard guard(sink.lock);
    sink.echo = std::move(echo);
}

std::vector<AssertionRecord> Assertions()
{
    DebugSink &sink = Sink();
    std::lock_guard guard(sink.lock);
    return sink.assertions;
}

void ClearAssertions()
{
    DebugSink &sink = Sink();
    std::lock_guard guard(sink.lock);
    sink.assertions.clear();
    sink.assertionsDropped = 0;
}

uint64_t DroppedAssertions()
{
    DebugSink &sink = Sink();
    std::lock_guard guard(sink.lock);
    return sink.assertionsDropped;
}

}  // namespace platform

extern "C" {

namespace {
constexpr size_t kDbgPrintLimit = 512;
}  // namespace

ULONG DbgPrint(PCSTR Format, ...)
{
    if (!Format) {
        platform::Violate("ACCESS_VIOLATION", "DbgPrint called with a null format string");
        return STATUS_SUCCESS;
    }
    va_list ap;
    va_start(ap, Format);
    bool wideText = false;
    std::string text = platform::FormatV(Format, ap, &wideText);
    va_end(ap);
    // Converting 16-bit text may touch paged memory: the kernel allows it
    // at PASSIVE_LEVEL only.
    KIRQL irql = KeGetCurrentIrql();
    if (wideText && irql != PASSIVE_LEVEL)
        platform::Violate("DBGPRINT_UNICODE_ABOVE_PASSIVE",
                          platform::FormatKernel("DbgPrint(\"%s\") with a Unicode conversion at IRQL %u",
                                                 Format, unsigned(irql)));
    // The kernel formats into a buffer of 512 bytes; the rest is lost.
    if (text.size() > kDbgPrintLimit) {
        platform::Violate("DBGPRINT_TRUNCATED", platform::FormatKernel("DbgPrint(\"%s\") printed %u bytes; the "
                                                                       "kernel keeps %u",
                                                                       Format, unsigned(text.size()),
                                                                       unsigned(kDbgPrintLimit)));
        text.resize(kDbgPrintLimit);
    }
    platform::Emit(std::move(text));
    return STATUS_SUCCESS;
}

void NTAPI RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PSTR Message)
{
    platform::AssertionRecord record;
    record.expression = FailedAssertion ? static_cast<const char *>(FailedAssertion) : "";
    record.file = FileName ? static_cast<const char *>(FileName) : "";
    record.line = LineNumber;
    record.message = Message ? Message : "";
    {
        platform::DebugSink &sink = platform::Sink();
        std::lock_guard guard(sink.lock);
        if (sink.assertions.size() < platform::kAssertionsKept)
            sink.assertions.push_back(record);
        else
            ++sink.assertionsDropped;
    }
    // The checked kernel then asks the debugger whether to break; here the
    // caller simply continues, and the test decides whether that was expected.
    platform::Emit(platform::FormatKernel("*** Assertion failed: %s%s\n***   Source File: %s, line %lu\n",
                                          record.message.c_str(), record.expression.c_str(), record.file.c_str(),
                                          LineNumber));
}

void NTAPI DbgBreakPoint(void)
{
    platform::Emit("*** DbgBreakPoint\n");
}

}  // extern "C"
