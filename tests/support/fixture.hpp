// fixture.hpp - the base of every test: the kernel must end clean.
#pragma once

#include <gtest/gtest.h>
#include <platform/platform.hpp>

#include <string>

namespace testing_support {

// Every test derives from KernelTest.  Its destructor runs after the derived
// fixture's members (the world, the loaded modules) are gone and fails the
// test if anything is left: pool, IRPs, MDLs, device objects, registry
// handles, an assertion the test did not take with TakeAssertions(), or a
// verifier finding it did not take with TakeViolations().
class KernelTest : public ::testing::Test {
protected:
    KernelTest();
    ~KernelTest() override;

    // Returns the assertions recorded so far and forgets them.
    std::vector<platform::AssertionRecord> TakeAssertions();
    // Returns the verifier findings recorded so far and forgets them.
    std::vector<platform::Violation> TakeViolations();
};

// Debug output helpers.
bool DebugContains(const std::string &text);
size_t DebugCount(const std::string &text);  // occurrences in the whole output

}  // namespace testing_support
