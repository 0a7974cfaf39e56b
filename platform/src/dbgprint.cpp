// dbgprint.cpp - DbgPrint, RtlAssert and DbgBreakPoint.
//
// The kernel's format language is implemented here rather than handed to the
// C library: `l` is a 32-bit size on Windows (64-bit in glibc), `%ws`/`%S`
// expect 16-bit WCHAR text (glibc's %ls expects 32-bit wchar_t), `%Z`/`%wZ`
// take counted strings and `%p` is upper-case and zero-padded to the pointer
// size.  Every call's text goes to an in-memory sink the tests read and,
// optionally, to a live echo.

#include <platform/platform.hpp>

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace platform {

namespace {

struct DebugSink {
    std::mutex lock;
    std::string text;
    std::vector<std::string> calls;
    std::function<void(std::string_view)> echo;
    std::vector<AssertionRecord> assertions;
};

DebugSink &Sink()
{
    static DebugSink sink;
    return sink;
}

// The argument list, passed by reference so that every reader advances it
// (a va_list itself may not be passed on and used again portably).
struct Args {
    va_list ap;
};

// One conversion specification, as parsed from the format.
struct Spec {
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
void Field(std::string &out, const Spec &spec, const std::string &text, int length)
{
    if (!spec.left)
        Pad(out, spec.width - length, ' ');
    out += text;
    if (spec.left)
        Pad(out, spec.width - length, ' ');
}

void FormatInteger(std::string &out, const Spec &spec, char conversion, uint64_t magnitude, bool negative)
{
    unsigned radix = 10;
    const char *digitSet = "0123456789abcdef";
    std::string prefix;
    bool isSigned = conversion == 'd' || conversion == 'i';
    int precision = spec.precision;

    switch (conversion) {
    case 'o':
        radix = 8;
        break;
    case 'x':
        radix = 16;
        if (spec.alternate && magnitude != 0)
            prefix = "0x";
        break;
    case 'X':
    case 'p':
        radix = 16;
        digitSet = "0123456789ABCDEF";
        if (spec.alternate && magnitude != 0)
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
    if (conversion == 'o' && spec.alternate && (digits.empty() || digits[0] != '0'))
        digits.insert(digits.begin(), '0');

    if (isSigned) {
        if (negative)
            prefix = "-";
        else if (spec.plus)
            prefix = "+";
        else if (spec.space)
            prefix = " ";
    }

    int length = int(prefix.size() + digits.size());
    // A given precision turns off zero padding, as does left justification.
    if (spec.zero && !spec.left && spec.precision < 0 && conversion != 'p') {
        out += prefix;
        Pad(out, spec.width - length, '0');
        out += digits;
        return;
    }
    Field(out, spec, prefix + digits, length);
}

void AppendUtf8Char(std::string &out, uint16_t c)
{
    WCHAR w = WCHAR(c);
    out += ToUtf8(&w, 1);
}

// Formats wide text of at most `chars` code units (stopping at a zero when
// `zeroTerminated`), honouring precision as a character limit.
void FormatWide(std::string &out, const Spec &spec, const WCHAR *text, size_t chars, bool zeroTerminated)
{
    size_t limit = spec.precision >= 0 ? size_t(spec.precision) : SIZE_MAX;
    size_t n = 0;
    if (zeroTerminated) {
        while (n < limit && text[n])
            ++n;
    } else {
        n = chars < limit ? chars : limit;
    }
    Field(out, spec, ToUtf8(text, n), int(n));
}

void FormatNarrow(std::string &out, const Spec &spec, const char *text, size_t chars, bool zeroTerminated)
{
    size_t limit = spec.precision >= 0 ? size_t(spec.precision) : SIZE_MAX;
    size_t n = 0;
    if (zeroTerminated) {
        while (n < limit && text[n])
            ++n;
    } else {
        n = chars < limit ? chars : limit;
    }
    Field(out, spec, std::string(text, n), int(n));
}

void FormatNull(std::string &out, const Spec &spec)
{
    // For %s a precision cuts the placeholder too; %Z comes with none.
    static const char kNull[] = "(null)";
    FormatNarrow(out, spec, kNull, sizeof kNull - 1, true);
}

uint64_t ReadUnsigned(const Spec &spec, Args &args)
{
    switch (spec.size) {
    case Spec::Size::Char:
        return uint8_t(va_arg(args.ap, unsigned int));
    case Spec::Size::Short:
        return uint16_t(va_arg(args.ap, unsigned int));
    case Spec::Size::Long64:
        return va_arg(args.ap, unsigned long long);
    case Spec::Size::Pointer:
        return va_arg(args.ap, uintptr_t);
    case Spec::Size::Default:
    case Spec::Size::Long32:
    case Spec::Size::LongDouble:
        break;
    }
    return va_arg(args.ap, unsigned int);  // int and `l` are both 32-bit
}

int64_t ReadSigned(const Spec &spec, Args &args)
{
    switch (spec.size) {
    case Spec::Size::Char:
        return int8_t(va_arg(args.ap, int));
    case Spec::Size::Short:
        return int16_t(va_arg(args.ap, int));
    case Spec::Size::Long64:
        return va_arg(args.ap, long long);
    case Spec::Size::Pointer:
        return va_arg(args.ap, intptr_t);
    case Spec::Size::Default:
    case Spec::Size::Long32:
    case Spec::Size::LongDouble:
        break;
    }
    return va_arg(args.ap, int);
}

// Floating point is not part of what drivers print, but the argument must be
// consumed so that the conversions after it stay in step.
void FormatFloat(std::string &out, const Spec &spec, char conversion, Args &args)
{
    long double value = spec.size == Spec::Size::LongDouble ? va_arg(args.ap, long double) : va_arg(args.ap, double);
    std::string format = "%";
    if (spec.left)
        format += '-';
    if (spec.zero)
        format += '0';
    if (spec.plus)
        format += '+';
    if (spec.space)
        format += ' ';
    if (spec.alternate)
        format += '#';
    format += "*.*L";
    format += conversion;
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, format.c_str(), spec.width, spec.precision < 0 ? 6 : spec.precision, value);
    out += buffer;
}

// Parses the conversion starting after '%' and formats it; returns the
// position after the conversion.
const char *FormatOne(std::string &out, const char *p, Args &args)
{
    const char *start = p - 1;
    Spec spec;

    for (;; ++p) {
        if (*p == '-')
            spec.left = true;
        else if (*p == '0')
            spec.zero = true;
        else if (*p == '+')
            spec.plus = true;
        else if (*p == ' ')
            spec.space = true;
        else if (*p == '#')
            spec.alternate = true;
        else
            break;
    }

    if (*p == '*') {
        spec.width = va_arg(args.ap, int);
        if (spec.width < 0) {
            spec.left = true;
            spec.width = -spec.width;
        }
        ++p;
    } else {
        while (*p >= '0' && *p <= '9')
            spec.width = spec.width * 10 + (*p++ - '0');
    }

    if (*p == '.') {
        ++p;
        spec.precision = 0;
        if (*p == '*') {
            spec.precision = va_arg(args.ap, int);
            if (spec.precision < 0)
                spec.precision = -1;  // a negative precision counts as none
            ++p;
        } else {
            while (*p >= '0' && *p <= '9')
                spec.precision = spec.precision * 10 + (*p++ - '0');
        }
    }

    for (bool more = true; more;) {
        switch (*p) {
        case 'h':
            spec.size = spec.size == Spec::Size::Short ? Spec::Size::Char : Spec::Size::Short;
            spec.narrow = true;
            ++p;
            break;
        case 'l':
            spec.size = spec.size == Spec::Size::Long32 ? Spec::Size::Long64 : Spec::Size::Long32;
            spec.wide = true;
            ++p;
            break;
        case 'w':
            spec.wide = true;
            ++p;
            break;
        case 'L':
            spec.size = Spec::Size::LongDouble;
            ++p;
            break;
        case 'I':
            if (p[1] == '6' && p[2] == '4') {
                spec.size = Spec::Size::Long64;
                p += 3;
            } else if (p[1] == '3' && p[2] == '2') {
                spec.size = Spec::Size::Long32;
                p += 3;
            } else {
                spec.size = Spec::Size::Pointer;
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
        int64_t v = ReadSigned(spec, args);
        uint64_t magnitude = v < 0 ? uint64_t(0) - uint64_t(v) : uint64_t(v);
        FormatInteger(out, spec, conversion, magnitude, v < 0);
        break;
    }
    case 'u':
    case 'o':
    case 'x':
    case 'X':
        FormatInteger(out, spec, conversion, ReadUnsigned(spec, args), false);
        break;
    case 'p':
        FormatInteger(out, spec, 'p', uintptr_t(va_arg(args.ap, void *)), false);
        break;
    case 'c':
    case 'C': {
        int c = va_arg(args.ap, int);
        bool wide = conversion == 'C' ? !spec.narrow : spec.wide;
        std::string text;
        if (wide)
            AppendUtf8Char(text, uint16_t(c));
        else
            text += char(c);
        Field(out, spec, text, 1);
        break;
    }
    case 's':
    case 'S': {
        bool wide = conversion == 'S' ? !spec.narrow : spec.wide;
        if (wide) {
            const WCHAR *text = va_arg(args.ap, const WCHAR *);
            if (text)
                FormatWide(out, spec, text, 0, true);
            else
                FormatNull(out, spec);
        } else {
            const char *text = va_arg(args.ap, const char *);
            if (text)
                FormatNarrow(out, spec, text, 0, true);
            else
                FormatNull(out, spec);
        }
        break;
    }
    case 'Z': {
        // Counted strings print Length bytes; the precision does not apply.
        Spec counted = spec;
        counted.precision = -1;
        if (spec.wide) {
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
        FormatFloat(out, spec, conversion, args);
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

std::string FormatV(const char *format, va_list ap)
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
    return out;
}

void Emit(std::string text)
{
    std::function<void(std::string_view)> echo;
    {
        DebugSink &sink = Sink();
        std::lock_guard guard(sink.lock);
        sink.text += text;
        sink.calls.push_back(text);
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
    return sink.text;
}

std::vector<std::string> DebugCalls()
{
    DebugSink &sink = Sink();
    std::lock_guard guard(sink.lock);
    return sink.calls;
}

void ClearDebugOutput()
{
    DebugSink &sink = Sink();
    std::lock_guard guard(sink.lock);
    sink.text.clear();
    sink.calls.clear();
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
}

}  // namespace platform

extern "C" {

ULONG DbgPrint(PCSTR Format, ...)
{
    if (!Format) {
        platform::Violate("ACCESS_VIOLATION", "DbgPrint called with a null format string");
        return STATUS_SUCCESS;
    }
    va_list ap;
    va_start(ap, Format);
    std::string text = platform::FormatV(Format, ap);
    va_end(ap);
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
        sink.assertions.push_back(record);
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
