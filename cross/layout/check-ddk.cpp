/*
 * check-ddk.cpp - platform/include laid out as mingw-w64's DDK lays out the
 * same structures for x86, and every routine the kernel provides to driver
 * images declared as mingw-w64 declares it (32-bit host build only).  The
 * asserts come from the target compiler's probe of ddk-types.def and
 * ddk-routines.def.
 */
#include <stddef.h>

extern "C" {
#include <ntddk.h>
#include <usbdi.h>
#include <usbdlib.h>
}

#include "routine-signature.h"

#include "ddk-layout.h"
#include "routines-layout.h"

static_assert(sizeof(void *) == 4, "the layout contract holds for the 32-bit build");
