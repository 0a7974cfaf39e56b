// fuzz_converter.cpp - libFuzzer target: the input is a converter (its
// descriptors and a script of answers to every transfer and vendor request);
// the run plugs it, starts its stack, opens the port, moves data, changes
// settings and lines, pulls it out at the step the input names and unloads
// both drivers.  Findings: a broken verifier rule or a driver assertion (a
// bug check), a sanitizer report, a hang (libFuzzer's -timeout), or a
// kernel left unclean after the unload.
#include "device_script.hpp"

#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The driver modules stay mapped between runs: libFuzzer keeps the
    // coverage counters they registered when first loaded.
    for (const char *path : {NORVA_MODULE_PATH, TEMBRIS_MODULE_PATH})
        if (!dlopen(path, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE)) {
            std::fprintf(stderr, "cannot load %s: %s\n", path, dlerror());
            std::abort();
        }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzing::RunReport report = fuzzing::RunConverterScript({data, size});
    if (!report.leaks.empty()) {
        std::fprintf(stderr, "\n*** kernel not clean after unload:\n%s", report.leaks.c_str());
        std::abort();
    }
    return 0;
}
