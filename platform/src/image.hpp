// image.hpp - the loader's internals shared by its source files.
#pragma once

#include "kernel.hpp"

#include <atomic>
#include <vector>

namespace platform::detail {

// One routine the kernel provides to driver images.
struct KernelExport {
    const char *module;  // "ntoskrnl.exe", "HAL.dll", "USBD.SYS"
    const char *routine;
    void *address;       // what an image's import is bound to
    bool fastcall;       // decorated @Name@N
    bool stdcall;        // decorated _Name@N
    unsigned argumentBytes;  // the N of the decoration
};
const std::vector<KernelExport> &KernelExports();

// Whether a thread may have paged in pageable code since the last trim.
extern std::atomic<bool> gPageableResident;
// Trims the images' pageable code (TrimPageableCode's work).
void TrimResidentPageableCode();

// Called when the calling thread raises its IRQL to DISPATCH_LEVEL or above:
// trims the images' pageable code if a thread paged it in since the last
// trim.  One load when there is nothing to trim.
inline void TrimPageableCode()
{
    if (gPageableResident.load(std::memory_order_relaxed))
        TrimResidentPageableCode();
}

// The base of the loaded image holding an address; 0 when none does.
uintptr_t ImageBaseAt(const void *address);

}  // namespace platform::detail
