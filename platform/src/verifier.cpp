// verifier.cpp - what Driver Verifier would catch is a bug check here: the
// broken rule is named with the offending object and the process stops,
// unless a test has set a ViolationTrap to prove that a rule fires.
#include "kernel.hpp"
#include "internal_registry.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

std::atomic<int> gTraps{0};
std::mutex gLock;
std::vector<platform::Violation> *gViolations = new std::vector<platform::Violation>;

}  // namespace

namespace platform {

void Violate(const char *rule, const std::string &detail)
{
    if (gTraps.load() > 0) {
        std::lock_guard<std::mutex> guard(gLock);
        gViolations->push_back(Violation{rule, detail});
        return;
    }
    std::fprintf(stderr, "\n*** DRIVER VERIFIER: rule %s broken: %s\n", rule, detail.c_str());
    std::fflush(stderr);
    std::abort();
}

std::vector<Violation> Violations()
{
    std::lock_guard<std::mutex> guard(gLock);
    return *gViolations;
}

void ClearViolations()
{
    std::lock_guard<std::mutex> guard(gLock);
    gViolations->clear();
}

ViolationTrap::ViolationTrap() { ++gTraps; }
ViolationTrap::~ViolationTrap() { --gTraps; }

std::string LeakReport()
{
    detail::DrainPowerWorker();
    detail::DrainDeferredCompletions();
    std::string report = PoolLeakReport();
    if (uint64_t n = detail::IoIrpsOutstanding())
        report += std::to_string(n) + " IRP(s) not freed\n";
    if (uint64_t n = detail::IoMdlsOutstanding())
        report += std::to_string(n) + " MDL(s) not freed\n";
    if (uint64_t n = DevicesAlive())
        report += std::to_string(n) + " device object(s) not deleted\n";
    if (uint64_t n = RegistryHandlesOpen())
        report += std::to_string(n) + " registry handle(s) not closed\n";
    for (auto &a : Assertions())
        report += "assertion \"" + a.expression + "\" failed at " + a.file + "(" + std::to_string(a.line) + ")\n";
    for (auto &v : Violations())
        report += "verifier rule " + v.rule + " broken: " + v.detail + "\n";
    return report;
}

void ResetRecords()
{
    ClearDebugOutput();
    ClearAssertions();
    ClearViolations();
    ClearAllocationFaults();
    LimitAllocationFaultsToDrivers(false);
    ClearPowerStateCalls();
    detail::ClearRegistryFaults();
    detail::ClearInterfaceFaults();
}

}  // namespace platform

void platform::detail::ViolateF(const char *rule, const char *format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    platform::Violate(rule, text);
}
