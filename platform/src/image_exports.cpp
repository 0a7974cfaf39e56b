// image_exports.cpp - the routines this kernel provides to driver images, by
// the module that exports each on Windows x86 (ntoskrnl.exe, HAL.dll,
// USBD.SYS): the loader binds an image's imports from this table.
//
// The list is cross/layout/ddk-routines.def, whose every entry the build
// checks against mingw-w64's declaration (calling convention, argument
// bytes, result size).  Four routines return a structure: Windows x86
// returns one of up to 8 bytes in EDX:EAX, where the i386 System V ABI
// (this build) returns it through a hidden pointer.  Images are bound to a
// shim of each that returns the same bytes as an integer, in EDX:EAX.
#include "image.hpp"

#if defined(__i386__)

#include "routine-signature.h"

#include <cstring>

extern "C" {
#include <usbdlib.h>
}

namespace {

ULONGLONG NTAPI ShimKeQueryPerformanceCounter(PLARGE_INTEGER frequency)
{
    return KeQueryPerformanceCounter(frequency).QuadPart;
}

ULONGLONG NTAPI ShimRtlExtendedIntegerMultiply(LARGE_INTEGER multiplicand, LONG multiplier)
{
    return RtlExtendedIntegerMultiply(multiplicand, multiplier).QuadPart;
}

ULONGLONG NTAPI ShimRtlExtendedLargeIntegerDivide(LARGE_INTEGER dividend, ULONG divisor, PULONG remainder)
{
    return RtlExtendedLargeIntegerDivide(dividend, divisor, remainder).QuadPart;
}

ULONG NTAPI ShimPoSetPowerState(PDEVICE_OBJECT device, POWER_STATE_TYPE type, POWER_STATE state)
{
    POWER_STATE previous = PoSetPowerState(device, type, state);
    ULONG bits;
    static_assert(sizeof previous == sizeof bits);
    std::memcpy(&bits, &previous, sizeof bits);
    return bits;
}

// A shim takes what the routine takes, the same way, and returns as many
// bytes.
template <class Routine, class Shim> constexpr bool SameCall(Routine routine, Shim shim)
{
    auto r = vcp_routine::Of(routine);
    auto s = vcp_routine::Of(shim);
    return r.convention == s.convention && r.argumentBytes == s.argumentBytes && r.resultBytes == s.resultBytes;
}
static_assert(SameCall(&KeQueryPerformanceCounter, &ShimKeQueryPerformanceCounter));
static_assert(SameCall(&RtlExtendedIntegerMultiply, &ShimRtlExtendedIntegerMultiply));
static_assert(SameCall(&RtlExtendedLargeIntegerDivide, &ShimRtlExtendedLargeIntegerDivide));
static_assert(SameCall(&PoSetPowerState, &ShimPoSetPowerState));

void *Bound(const char *routine, void *address)
{
    struct Shim {
        const char *routine;
        void *address;
    };
    static const Shim shims[] = {
        {"KeQueryPerformanceCounter", reinterpret_cast<void *>(&ShimKeQueryPerformanceCounter)},
        {"RtlExtendedIntegerMultiply", reinterpret_cast<void *>(&ShimRtlExtendedIntegerMultiply)},
        {"RtlExtendedLargeIntegerDivide", reinterpret_cast<void *>(&ShimRtlExtendedLargeIntegerDivide)},
        {"PoSetPowerState", reinterpret_cast<void *>(&ShimPoSetPowerState)},
    };
    for (const Shim &shim : shims) {
        if (std::strcmp(shim.routine, routine) == 0)
            return shim.address;
    }
    return address;
}

constexpr const char *kHAL = "HAL.dll";
constexpr const char *kNTOSKRNL = "ntoskrnl.exe";
constexpr const char *kUSBD = "USBD.SYS";

}  // namespace

const std::vector<platform::detail::KernelExport> &platform::detail::KernelExports()
{
    static const std::vector<KernelExport> table = [] {
        std::vector<KernelExport> exports;
#define DDK_ROUTINE(module, routine)                                                                  \
    {                                                                                                 \
        constexpr vcp_routine::Signature s = ROUTINE_SIGNATURE(routine);                              \
        exports.push_back({k##module, #routine, Bound(#routine, reinterpret_cast<void *>(&routine)), \
                           s.convention == vcp_routine::Fastcall, s.convention == vcp_routine::Stdcall,  \
                           s.argumentBytes});                                                         \
    }
#include "ddk-routines.def"
#undef DDK_ROUTINE
        return exports;
    }();
    return table;
}

#else

const std::vector<platform::detail::KernelExport> &platform::detail::KernelExports()
{
    static const std::vector<KernelExport> none;
    return none;
}

#endif
