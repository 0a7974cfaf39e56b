// Counted strings, GUID text and the large-integer helpers; the world's text
// conversions.
#include "fixture.hpp"

namespace {

class RtlStrings : public testing_support::KernelTest {};
class RtlArithmetic : public testing_support::KernelTest {};
class Text : public testing_support::KernelTest {};

// {82CCC361-C550-11D4-961C-006067728FA8}
constexpr GUID kGuid = {0x82CCC361, 0xC550, 0x11D4, {0x96, 0x1C, 0x00, 0x60, 0x67, 0x72, 0x8F, 0xA8}};

std::string Utf8(const UNICODE_STRING &s) { return platform::ToUtf8(s); }

TEST_F(RtlStrings, InitCountsBytesAndLeavesRoomForTheTerminator)
{
    UNICODE_STRING u;
    RtlInitUnicodeString(&u, L"PIPE01");
    EXPECT_EQ(u.Length, 12);
    EXPECT_EQ(u.MaximumLength, 14);
    EXPECT_EQ(Utf8(u), "PIPE01");

    RtlInitUnicodeString(&u, nullptr);
    EXPECT_EQ(u.Length, 0);
    EXPECT_EQ(u.MaximumLength, 0);
    EXPECT_EQ(u.Buffer, nullptr);

    ANSI_STRING a;
    RtlInitAnsiString(&a, "abc");
    EXPECT_EQ(a.Length, 3);
    EXPECT_EQ(a.MaximumLength, 4);
    RtlInitAnsiString(&a, nullptr);
    EXPECT_EQ(a.Length, 0);
    EXPECT_EQ(a.Buffer, nullptr);
}

TEST_F(RtlStrings, CopyTruncatesToTheDestinationAndTerminatesOnlyWhenThereIsRoom)
{
    UNICODE_STRING src;
    RtlInitUnicodeString(&src, L"ABCDEF");

    WCHAR big[10];
    std::fill(std::begin(big), std::end(big), WCHAR(0x7777));
    UNICODE_STRING dst{0, sizeof big, big};
    RtlCopyUnicodeString(&dst, &src);
    EXPECT_EQ(dst.Length, 12);
    EXPECT_EQ(Utf8(dst), "ABCDEF");
    EXPECT_EQ(big[6], 0);

    WCHAR small[5];
    std::fill(std::begin(small), std::end(small), WCHAR(0x7777));
    UNICODE_STRING narrow{0, 8, small};  // room for four characters of five
    RtlCopyUnicodeString(&narrow, &src);
    EXPECT_EQ(narrow.Length, 8);
    EXPECT_EQ(Utf8(narrow), "ABCD");
    EXPECT_EQ(small[4], WCHAR(0x7777)) << "nothing is written past MaximumLength";

    RtlCopyUnicodeString(&dst, nullptr);
    EXPECT_EQ(dst.Length, 0);
}

TEST_F(RtlStrings, EqualComparesLengthsAndFoldsCaseOnRequest)
{
    UNICODE_STRING a, b, c, d, e;
    RtlInitUnicodeString(&a, L"EndPointCaps");
    RtlInitUnicodeString(&b, L"ENDPOINTCAPS");
    RtlInitUnicodeString(&c, L"EndPointCap");
    RtlInitUnicodeString(&d, L"\u00e9t\u00e9 \u0434\u0430");  // été да
    RtlInitUnicodeString(&e, L"\u00c9T\u00c9 \u0414\u0410");  // ÉTÉ ДА
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &a, FALSE));
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &c, TRUE));
    EXPECT_TRUE(RtlEqualUnicodeString(&d, &e, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&d, &e, FALSE));
}

TEST_F(RtlStrings, AppendFailsWhenItDoesNotFitAndLeavesTheDestination)
{
    WCHAR buffer[8] = {};
    UNICODE_STRING dst{0, sizeof buffer, buffer};
    EXPECT_EQ(RtlAppendUnicodeToString(&dst, L"PIPE"), STATUS_SUCCESS);
    UNICODE_STRING tail;
    RtlInitUnicodeString(&tail, L"01");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&dst, &tail), STATUS_SUCCESS);
    EXPECT_EQ(Utf8(dst), "PIPE01");
    EXPECT_EQ(buffer[6], 0);

    EXPECT_EQ(RtlAppendUnicodeToString(&dst, L"xyz"), STATUS_BUFFER_TOO_SMALL);
    RtlInitUnicodeString(&tail, L"xyz");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&dst, &tail), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Utf8(dst), "PIPE01");

    // Exactly full: the text fits, no terminator is written.
    buffer[7] = WCHAR(0x7777);
    EXPECT_EQ(RtlAppendUnicodeToString(&dst, L"AB"), STATUS_SUCCESS);
    EXPECT_EQ(dst.Length, 16);
    EXPECT_EQ(Utf8(dst), "PIPE01AB");
    EXPECT_EQ(RtlAppendUnicodeToString(&dst, nullptr), STATUS_SUCCESS);
}

TEST_F(RtlStrings, StringFromGuidIsAPagedPoolBlockThatFreeReturns)
{
    UNICODE_STRING s;
    ASSERT_EQ(RtlStringFromGUID(kGuid, &s), STATUS_SUCCESS);
    EXPECT_EQ(Utf8(s), "{82CCC361-C550-11D4-961C-006067728FA8}");
    EXPECT_EQ(s.Length, 38 * 2);
    EXPECT_EQ(s.MaximumLength, 39 * 2);
    EXPECT_EQ(s.Buffer[38], 0);
    POOL_TYPE type;
    ASSERT_TRUE(platform::IsPoolBlock(s.Buffer, &type));
    EXPECT_EQ(type, PagedPool);

    RtlFreeUnicodeString(&s);
    EXPECT_EQ(s.Buffer, nullptr);
    EXPECT_EQ(s.Length, 0);
    EXPECT_EQ(s.MaximumLength, 0);
    EXPECT_EQ(platform::PoolBlocksOutstanding(), 0u);
}

TEST_F(RtlStrings, StringFromGuidReportsAFailedAllocation)
{
    platform::FailAllocationNumber(1);
    UNICODE_STRING s{};
    EXPECT_EQ(RtlStringFromGUID(kGuid, &s), STATUS_NO_MEMORY);
    EXPECT_EQ(s.Buffer, nullptr);
}

TEST_F(RtlStrings, IntegerToTextInEachBaseAndRefusesWhatDoesNotFit)
{
    WCHAR buffer[12];
    UNICODE_STRING s{0, sizeof buffer, buffer};
    EXPECT_EQ(RtlIntegerToUnicodeString(1234, 0, &s), STATUS_SUCCESS);
    EXPECT_EQ(Utf8(s), "1234");
    EXPECT_EQ(s.Length, 8);
    EXPECT_EQ(buffer[4], 0);
    EXPECT_EQ(RtlIntegerToUnicodeString(0xBEEF, 16, &s), STATUS_SUCCESS);
    EXPECT_EQ(Utf8(s), "BEEF");
    EXPECT_EQ(RtlIntegerToUnicodeString(5, 2, &s), STATUS_SUCCESS);
    EXPECT_EQ(Utf8(s), "101");
    EXPECT_EQ(RtlIntegerToUnicodeString(8, 8, &s), STATUS_SUCCESS);
    EXPECT_EQ(Utf8(s), "10");
    EXPECT_EQ(RtlIntegerToUnicodeString(0, 10, &s), STATUS_SUCCESS);
    EXPECT_EQ(Utf8(s), "0");
    EXPECT_EQ(RtlIntegerToUnicodeString(5, 7, &s), STATUS_INVALID_PARAMETER);

    WCHAR tiny[4] = {1, 2, 3, 4};
    UNICODE_STRING t{0, sizeof tiny, tiny};
    EXPECT_EQ(RtlIntegerToUnicodeString(1234, 10, &t), STATUS_BUFFER_OVERFLOW) << "no room for the terminator";
    EXPECT_EQ(t.Length, 0);
    EXPECT_EQ(tiny[3], 4);
    EXPECT_EQ(RtlIntegerToUnicodeString(123, 10, &t), STATUS_SUCCESS);
    EXPECT_EQ(Utf8(t), "123");
}

TEST_F(RtlStrings, CompareMemoryCountsTheEqualPrefix)
{
    const char a[] = "abcdef", b[] = "abcxef";
    EXPECT_EQ(RtlCompareMemory(a, b, 6), 3u);
    EXPECT_EQ(RtlCompareMemory(a, a, 6), 6u);
    EXPECT_EQ(RtlCompareMemory(a, b, 0), 0u);
}

TEST_F(RtlArithmetic, MultiplyIsSignedSixtyFourByThirtyTwo)
{
    LARGE_INTEGER bytes;
    bytes.QuadPart = 5000000000LL;
    EXPECT_EQ(RtlExtendedIntegerMultiply(bytes, 3579545).QuadPart, 5000000000LL * 3579545LL);
    EXPECT_EQ(RtlExtendedIntegerMultiply(bytes, -2).QuadPart, -10000000000LL);
    bytes.QuadPart = -7;
    EXPECT_EQ(RtlExtendedIntegerMultiply(bytes, 3).QuadPart, -21);
}

TEST_F(RtlArithmetic, DivideIsUnsignedWithAnOptionalRemainder)
{
    LARGE_INTEGER dividend;
    dividend.QuadPart = 17897725000000LL;
    ULONG remainder = 99;
    EXPECT_EQ(RtlExtendedLargeIntegerDivide(dividend, 3579545, &remainder).QuadPart, 5000000LL);
    EXPECT_EQ(remainder, 0u);
    dividend.QuadPart = 100;
    EXPECT_EQ(RtlExtendedLargeIntegerDivide(dividend, 7, &remainder).QuadPart, 14);
    EXPECT_EQ(remainder, 2u);
    EXPECT_EQ(RtlExtendedLargeIntegerDivide(dividend, 7, nullptr).QuadPart, 14);
    // The dividend is unsigned: all ones is the largest value.
    dividend.QuadPart = -1;
    EXPECT_EQ(ULONGLONG(RtlExtendedLargeIntegerDivide(dividend, 2, &remainder).QuadPart), 0x7FFFFFFFFFFFFFFFULL);
    EXPECT_EQ(remainder, 1u);
}

TEST_F(RtlArithmetic, DivideByZeroIsAViolation)
{
    platform::ViolationTrap trap;
    LARGE_INTEGER dividend;
    dividend.QuadPart = 1000;
    ULONG remainder = 5;
    EXPECT_EQ(RtlExtendedLargeIntegerDivide(dividend, 0, &remainder).QuadPart, 0);
    auto found = TakeViolations();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].rule, "DIVIDE_BY_ZERO");
}

TEST_F(Text, Utf16ToUtf8HandlesPairsAndLoneSurrogates)
{
    const WCHAR text[] = {L'A', WCHAR(0xE9), WCHAR(0xD83D), WCHAR(0xDE00), WCHAR(0xDC00), L'z', 0};
    EXPECT_EQ(platform::ToUtf8(text), "A\xc3\xa9\xf0\x9f\x98\x80\xef\xbf\xbdz");
    EXPECT_EQ(platform::ToUtf8(text, 1), "A");
    // A high surrogate cut off at the end of the counted text.
    EXPECT_EQ(platform::ToUtf8(text, 3), "A\xc3\xa9\xef\xbf\xbd");
    EXPECT_EQ(platform::ToUtf8(static_cast<const WCHAR *>(nullptr)), "");
}

TEST_F(Text, Utf8ToUtf16RoundTripsAndReplacesBrokenSequences)
{
    std::string text = "PIPE01 \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80";
    std::u16string wide = platform::ToU16(text);
    EXPECT_EQ(wide, u"PIPE01 \u00e9\u20ac\U0001F600");
    EXPECT_EQ(platform::ToUtf8(platform::W(wide)), text);
    EXPECT_EQ(platform::ToU16("a\xff" "b"), u"a\uFFFDb");
    EXPECT_EQ(platform::ToU16("a\xc3"), u"a\uFFFD");
    EXPECT_EQ(platform::ToU16("\xc0\xaf"), u"\uFFFD\uFFFD") << "overlong forms are refused";
}

TEST_F(Text, GuidTextIsUpperCaseInBraces)
{
    EXPECT_EQ(platform::GuidToString(kGuid), "{82CCC361-C550-11D4-961C-006067728FA8}");
    constexpr GUID small = {0x1, 0x2, 0x3, {0, 1, 2, 3, 4, 5, 6, 7}};
    EXPECT_EQ(platform::GuidToString(small), "{00000001-0002-0003-0001-020304050607}");
}

}  // namespace
