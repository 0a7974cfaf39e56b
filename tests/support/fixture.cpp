// fixture.cpp - the base of every test: the kernel must end clean.
#include "fixture.hpp"

namespace testing_support {

KernelTest::KernelTest() { platform::ResetRecords(); }

KernelTest::~KernelTest()
{
    std::string report = platform::LeakReport();
    if (!report.empty())
        ADD_FAILURE() << "the kernel is not clean at the end of the test:\n" << report;
    platform::ResetRecords();
}

std::vector<platform::AssertionRecord> KernelTest::TakeAssertions()
{
    auto taken = platform::Assertions();
    platform::ClearAssertions();
    return taken;
}

std::vector<platform::Violation> KernelTest::TakeViolations()
{
    auto taken = platform::Violations();
    platform::ClearViolations();
    return taken;
}

bool DebugContains(const std::string &text) { return platform::DebugText().find(text) != std::string::npos; }

size_t DebugCount(const std::string &text)
{
    std::string all = platform::DebugText();
    size_t n = 0;
    for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + text.size()))
        ++n;
    return n;
}

}  // namespace testing_support
