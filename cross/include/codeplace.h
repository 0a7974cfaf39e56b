/*
 * codeplace.h - code placement for driver routines (target build).
 *
 * CODE_INIT puts a routine in INIT, the initialisation section the loader
 * discards once DriverEntry has returned; CODE_PAGE puts it in PAGE, the
 * pageable code section.  GNU ld keeps both as PE code sections of those
 * names.  The assembler cannot mark a section discardable, so the link step
 * of cross/CMakeLists.txt sets that bit on INIT afterwards.
 *
 * Only routines that run at PASSIVE_LEVEL (INIT: only during DriverEntry)
 * may carry these; everything that can run at raised IRQL stays resident.
 *
 * CODE_RESIDENT keeps a routine resident although a pageable routine calls
 * it: the compiler would otherwise inline a small routine of the same unit
 * into its pageable caller, and code that holds a spin lock would then run
 * from PAGE at DISPATCH_LEVEL.
 */
#pragma once
#define CODE_INIT __attribute__((section("INIT")))
#define CODE_PAGE __attribute__((section("PAGE")))
#define CODE_RESIDENT __attribute__((noinline))
