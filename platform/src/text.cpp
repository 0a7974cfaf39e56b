// text.cpp - wide text conversions for the world and the tests.
//
// WCHAR is a UTF-16 code unit in both builds.  These helpers are the only way
// host code turns kernel text into something it can print or compare; none of
// them touches the C library's wide functions.

#include <platform/platform.hpp>

#include <cstdio>

namespace platform {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

void AppendUtf8(std::string &out, char32_t c)
{
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

void AppendUtf16(std::u16string &out, char32_t c)
{
    if (c < 0x10000) {
        out += char16_t(c);
    } else {
        c -= 0x10000;
        out += char16_t(0xD800 + (c >> 10));
        out += char16_t(0xDC00 + (c & 0x3FF));
    }
}

}  // namespace

std::string ToUtf8(const WCHAR *text, size_t chars)
{
    std::string out;
    if (!text)
        return out;
    out.reserve(chars);
    for (size_t i = 0; i < chars; ++i) {
        char32_t c = uint16_t(text[i]);
        if (IsHighSurrogate(c) && i + 1 < chars && IsLowSurrogate(uint16_t(text[i + 1]))) {
            char32_t low = uint16_t(text[++i]);
            c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
            c = kReplacement;  // an unpaired half of a pair
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::string ToUtf8(const WCHAR *zeroTerminated)
{
    if (!zeroTerminated)
        return {};
    size_t n = 0;
    while (zeroTerminated[n])
        ++n;
    return ToUtf8(zeroTerminated, n);
}

std::string ToUtf8(const UNICODE_STRING &s)
{
    return ToUtf8(s.Buffer, s.Buffer ? s.Length / sizeof(WCHAR) : 0);
}

std::u16string ToU16(std::string_view utf8)
{
    std::u16string out;
    out.reserve(utf8.size());
    size_t i = 0;
    while (i < utf8.size()) {
        uint8_t lead = uint8_t(utf8[i]);
        int extra = lead < 0x80 ? 0 : (lead >> 5) == 0x6 ? 1 : (lead >> 4) == 0xE ? 2 : (lead >> 3) == 0x1E ? 3 : -1;
        if (extra < 0 || i + size_t(extra) >= utf8.size()) {
            AppendUtf16(out, kReplacement);
            ++i;
            continue;
        }
        char32_t c = extra == 0 ? lead : extra == 1 ? (lead & 0x1F) : extra == 2 ? (lead & 0x0F) : (lead & 0x07);
        bool ok = true;
        for (int k = 1; k <= extra; ++k) {
            uint8_t b = uint8_t(utf8[i + k]);
            if ((b & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            c = (c << 6) | (b & 0x3F);
        }
        static constexpr char32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
        if (!ok || c < kMinimum[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            AppendUtf16(out, kReplacement);
            ++i;  // resynchronise on the next byte
            continue;
        }
        AppendUtf16(out, c);
        i += extra + 1;
    }
    return out;
}

std::string GuidToString(const GUID &g)
{
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", unsigned(g.Data1),
                  unsigned(g.Data2), unsigned(g.Data3), g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

}  // namespace platform
