/*
 * probe.cpp - the x86 layout of every structure in ddk-types.def, as
 * mingw-w64's DDK headers and the target compiler lay them out.
 *
 * Compiled to assembly only (-S), never linked: each size or offset becomes
 * a line "->LAYOUT <expression> <value>" in the output, which
 * layout-header.cmake turns into static_asserts for the 32-bit host build.
 * Compile it with the target build's flags; PROBE_TYPES names the list
 * (ddk-types.def or ddk-routines.def, or a driver's record list) and
 * PROBE_INCLUDE the header that declares its types.
 */
#include <stddef.h>

extern "C" {
#include <ntddk.h>
#include <usbdi.h>
#include <usbdlib.h>
}
#ifdef PROBE_INCLUDE
#include PROBE_INCLUDE
#endif
#include "routine-signature.h"

#define LAYOUT_EMIT(expression, value) __asm__ volatile("\n->LAYOUT " expression " %c0" : : "i"(value))
#define LAYOUT_SIZE(type) LAYOUT_EMIT("sizeof(" #type ")", sizeof(type));
#define LAYOUT_ALIGN(type) LAYOUT_EMIT("alignof(" #type ")", alignof(type));
#define LAYOUT_FIELD(type, member) LAYOUT_EMIT("offsetof(" #type ", " #member ")", offsetof(type, member));
#define DDK_ROUTINE(module, routine)                                                                  \
    LAYOUT_EMIT("ROUTINE_SIGNATURE(" #routine ").convention", ROUTINE_SIGNATURE(routine).convention);       \
    LAYOUT_EMIT("ROUTINE_SIGNATURE(" #routine ").argumentBytes", ROUTINE_SIGNATURE(routine).argumentBytes); \
    LAYOUT_EMIT("ROUTINE_SIGNATURE(" #routine ").resultBytes", ROUTINE_SIGNATURE(routine).resultBytes);

void LayoutProbe()
{
#include PROBE_TYPES
}
