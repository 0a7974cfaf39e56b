// DbgPrint's format language, the debug sink and echo, RtlAssert.
#include "fixture.hpp"

#include <thread>

using platform::FormatKernel;

namespace {

class DbgPrintFormat : public testing_support::KernelTest {};
class DebugSink : public testing_support::KernelTest {};
class Assertions : public testing_support::KernelTest {};

TEST_F(DbgPrintFormat, IntegersWithFlagsWidthAndPrecision)
{
    EXPECT_EQ(FormatKernel("%d %i %u", -12, 34, 56u), "-12 34 56");
    EXPECT_EQ(FormatKernel("%x %X %o", 0xbeefu, 0xbeefu, 8u), "beef BEEF 10");
    EXPECT_EQ(FormatKernel("%#x %#X %#o %#x", 31u, 31u, 8u, 0u), "0x1f 0X1F 010 0");
    EXPECT_EQ(FormatKernel("%+d %+d % d", 5, -5, 5), "+5 -5  5");
    EXPECT_EQ(FormatKernel("[%5d][%-5d][%05d][%05d]", 42, 42, 42, -42), "[   42][42   ][00042][-0042]");
    EXPECT_EQ(FormatKernel("[%.3d][%8.3d][%08.3d][%.0d]", 7, 7, 7, 0), "[007][     007][     007][]");
    EXPECT_EQ(FormatKernel("[%*d][%*d][%.*d]", 4, 1, -4, 1, 3, 1), "[   1][1   ][001]");
}

TEST_F(DbgPrintFormat, LongIsThirtyTwoBitsAndI64IsSixtyFour)
{
    EXPECT_EQ(FormatKernel("%ld", LONG(-5)), "-5");
    EXPECT_EQ(FormatKernel("%lu", ULONG(0xFFFFFFFF)), "4294967295");
    EXPECT_EQ(FormatKernel("%lx", ULONG(0xDEADBEEF)), "deadbeef");
    // A 32-bit argument read with `l` leaves the next one in place.
    EXPECT_EQ(FormatKernel("%lx %s %ld", ULONG(0x12345678), "next", LONG(-1)), "12345678 next -1");
    EXPECT_EQ(FormatKernel("%I64d %lld %I64x", -(1LL << 40), 1LL << 40, 0x123456789abcULL),
              "-1099511627776 1099511627776 123456789abc");
    EXPECT_EQ(FormatKernel("%hd %hx %hu", 0x12345, 0xABCDEF, 0x1FFFF), "9029 cdef 65535");
}

TEST_F(DbgPrintFormat, PointersAreUpperCaseAtFullWidthAndPtrToUlongKeepsEightDigits)
{
    // A pointer's full width: 16 digits on x86-64, 8 on x86.
    const std::string pad(2 * sizeof(void *) - 8, '0');
    void *p = reinterpret_cast<void *>(uintptr_t(0x1234abcdULL));
    EXPECT_EQ(FormatKernel("%p", p), pad + "1234ABCD");
    EXPECT_EQ(FormatKernel("%p", nullptr), pad + "00000000");
    void *high = reinterpret_cast<void *>(uintptr_t(0x00007f0012345678ULL));
    EXPECT_EQ(FormatKernel("FsContext=0x%08lx", PtrToUlong(high)), "FsContext=0x12345678");
    EXPECT_EQ(FormatKernel("0x%08lx", PtrToUlong(reinterpret_cast<void *>(uintptr_t(0xab)))), "0x000000ab");
}

TEST_F(DbgPrintFormat, NarrowStringsAndCharacters)
{
    EXPECT_EQ(FormatKernel("%s|%.3s|%6s|%-6s|", "abcdef", "abcdef", "ab", "ab"), "abcdef|abc|    ab|ab    |");
    EXPECT_EQ(FormatKernel("%s", static_cast<const char *>(nullptr)), "(null)");
    EXPECT_EQ(FormatKernel("%c%c%3c", 'o', 'k', '!'), "ok  !");
    EXPECT_EQ(FormatKernel("%hs", "narrow"), "narrow");
}

TEST_F(DbgPrintFormat, WideStringsAreSixteenBitText)
{
    EXPECT_EQ(FormatKernel("pipe=%ws", L"PIPE01"), "pipe=PIPE01");
    EXPECT_EQ(FormatKernel("%S %ls", L"one", L"two"), "one two");
    EXPECT_EQ(FormatKernel("[%8ws][%.2ws]", L"PIPE", L"PIPE"), "[    PIPE][PI]");
    EXPECT_EQ(FormatKernel("%ws", static_cast<const WCHAR *>(nullptr)), "(null)");
    EXPECT_EQ(FormatKernel("%ws", L"caf\u00e9 \u20ac"), "caf\xc3\xa9 \xe2\x82\xac");
    const WCHAR pair[] = {WCHAR(0xD83D), WCHAR(0xDE00), 0};
    EXPECT_EQ(FormatKernel("%ws", pair), "\xf0\x9f\x98\x80");
    EXPECT_EQ(FormatKernel("%wc%C", WCHAR(L'A'), WCHAR(0x00e9)), "A\xc3\xa9");
}

TEST_F(DbgPrintFormat, CountedStringsPrintTheirLengthOnly)
{
    WCHAR text[] = L"PIPE01 and more";
    UNICODE_STRING name{12, sizeof text, text};
    EXPECT_EQ(FormatKernel("rx  pipe=%wZ\r\n", &name), "rx  pipe=PIPE01\r\n");
    EXPECT_EQ(FormatKernel("[%8wZ][%-8wZ]", &name, &name), "[  PIPE01][PIPE01  ]");

    // The text need not be zero-terminated: only Length bytes are read.
    WCHAR unterminated[3] = {L'a', L'b', L'c'};
    UNICODE_STRING exact{sizeof unterminated, sizeof unterminated, unterminated};
    EXPECT_EQ(FormatKernel("%wZ", &exact), "abc");

    UNICODE_STRING empty{0, 0, nullptr};
    EXPECT_EQ(FormatKernel("(%wZ)", &empty), "((null))");
    EXPECT_EQ(FormatKernel("(%wZ)", static_cast<UNICODE_STRING *>(nullptr)), "((null))");

    char ansiText[] = "ansi text";
    ANSI_STRING ansi{4, sizeof ansiText, ansiText};
    EXPECT_EQ(FormatKernel("%Z", &ansi), "ansi");
    EXPECT_EQ(FormatKernel("%Z", static_cast<ANSI_STRING *>(nullptr)), "(null)");
}

TEST_F(DbgPrintFormat, PercentSignsAndUnknownConversionsPrintAsWritten)
{
    EXPECT_EQ(FormatKernel("100%% done"), "100% done");
    EXPECT_EQ(FormatKernel("%q %d", 5), "%q 5");
    EXPECT_EQ(FormatKernel("trailing %"), "trailing %");
}

TEST_F(DebugSink, EveryCallIsRecordedWholeAndInOrder)
{
    EXPECT_EQ(DbgPrint("first %d\n", 1), ULONG(STATUS_SUCCESS));
    DbgPrint("second ");
    DbgPrint("line\n");
    EXPECT_EQ(platform::DebugText(), "first 1\nsecond line\n");
    EXPECT_EQ(platform::DebugCalls(), (std::vector<std::string>{"first 1\n", "second ", "line\n"}));
    EXPECT_TRUE(testing_support::DebugContains("second line"));

    platform::ClearDebugOutput();
    EXPECT_EQ(platform::DebugText(), "");
    EXPECT_TRUE(platform::DebugCalls().empty());
}

// What the kernel's DbgPrint allows: 512 bytes a call, and 16-bit text only
// at PASSIVE_LEVEL.
TEST_F(DebugSink, TheKernelsLimitsAreKeptAndNamed)
{
    platform::ViolationTrap trap;
    std::string line(600, 'x');
    DbgPrint("%s\n", line.c_str());
    ASSERT_EQ(platform::DebugCalls().size(), 1u);
    EXPECT_EQ(platform::DebugCalls()[0], std::string(512, 'x')) << "cut where the kernel's buffer ends";
    auto found = TakeViolations();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].rule, "DBGPRINT_TRUNCATED");

    DbgPrint("%ws %wZ\n", L"ok", nullptr);  // at PASSIVE_LEVEL
    platform::AtDispatchLevel([] {
        DbgPrint("%s %lx\n", "narrow", ULONG(1));
        DbgPrint("%ws\n", L"PIPE01");
    });
    found = TakeViolations();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].rule, "DBGPRINT_UNICODE_ABOVE_PASSIVE");
    EXPECT_NE(found[0].detail.find("%ws"), std::string::npos) << found[0].detail;
    EXPECT_TRUE(testing_support::DebugContains("PIPE01")) << "printed all the same";
}

TEST_F(DebugSink, EchoSeesEachCallUntilRemoved)
{
    std::vector<std::string> echoed;
    platform::SetDebugEcho([&](std::string_view text) { echoed.emplace_back(text); });
    DbgPrint("gDebugLevel = %ld\r\n", LONG(7));
    DbgPrint("x");
    platform::SetDebugEcho({});
    DbgPrint("not echoed");
    EXPECT_EQ(echoed, (std::vector<std::string>{"gDebugLevel = 7\r\n", "x"}));
    EXPECT_EQ(platform::DebugCalls().size(), 3u);
}

TEST_F(DebugSink, ABoundedSinkKeepsTheNewestCallsAndCountsTheRest)
{
    platform::SetDebugCapture(12);
    DbgPrint("first\n");
    DbgPrint("second\n");
    DbgPrint("third\n");
    EXPECT_EQ(platform::DebugCalls(), (std::vector<std::string>{"third\n"})) << "12 bytes hold the newest call";
    EXPECT_EQ(platform::DroppedDebugCalls(), 2u);
    DbgPrint("much longer than the ring\n");
    EXPECT_EQ(platform::DebugText(), "third\n") << "a call longer than the ring is left out whole";
    EXPECT_EQ(platform::DroppedDebugCalls(), 3u);

    std::vector<std::string> echoed;
    platform::SetDebugEcho([&](std::string_view text) { echoed.emplace_back(text); });
    platform::SetDebugCapture(0);
    EXPECT_EQ(platform::DebugText(), "");
    DbgPrint("echoed only");
    platform::SetDebugEcho({});
    EXPECT_EQ(echoed, (std::vector<std::string>{"echoed only"})) << "the echo does not depend on the capture";
    EXPECT_TRUE(platform::DebugCalls().empty());
    platform::SetDebugCapture(platform::kCaptureEverything);
}

TEST_F(DebugSink, CallsFromTwoThreadsStayWhole)
{
    constexpr int kCalls = 2000;
    auto writer = [](const char *tag) {
        for (int i = 0; i < kCalls; ++i)
            DbgPrint("%s:%04d;", tag, i);
    };
    std::thread a(writer, "a");
    std::thread b(writer, "b");
    a.join();
    b.join();
    auto calls = platform::DebugCalls();
    ASSERT_EQ(calls.size(), size_t(2 * kCalls));
    int seenA = 0, seenB = 0;
    for (const auto &c : calls) {
        ASSERT_EQ(c.size(), 7u) << c;
        (c[0] == 'a' ? seenA : seenB)++;
    }
    EXPECT_EQ(seenA, kCalls);
    EXPECT_EQ(seenB, kCalls);
    EXPECT_EQ(platform::DebugText().size(), size_t(2 * kCalls * 7));
}

TEST_F(Assertions, RtlAssertRecordsAndPrintsThenReturns)
{
    RtlAssert((PVOID) "pdx->rx.running", (PVOID) "read-rc02-3.cpp", 120, nullptr);
    auto taken = TakeAssertions();
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].expression, "pdx->rx.running");
    EXPECT_EQ(taken[0].file, "read-rc02-3.cpp");
    EXPECT_EQ(taken[0].line, 120u);
    EXPECT_EQ(taken[0].message, "");
    EXPECT_EQ(platform::DebugText(),
              "*** Assertion failed: pdx->rx.running\n***   Source File: read-rc02-3.cpp, line 120\n");
    EXPECT_TRUE(platform::Assertions().empty());
}

TEST_F(Assertions, MessageIsRecordedAndPrintedBeforeTheExpression)
{
    RtlAssert((PVOID) "count > 0", (PVOID) "bus.cpp", 7, (PSTR) "no child: ");
    auto taken = TakeAssertions();
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].message, "no child: ");
    EXPECT_TRUE(testing_support::DebugContains("*** Assertion failed: no child: count > 0\n"));
}

}  // namespace
