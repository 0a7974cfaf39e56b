/*
 * codeplace.h - code placement for driver routines.
 *
 * CODE_INIT puts a routine in the discardable initialisation section, CODE_PAGE
 * in the pageable section, CODE_RESIDENT keeps a routine that a pageable one
 * calls out of it (never inlined there).  The target build's copy of this
 * header (cross/include) maps them to section attributes; the host kernel
 * has no sections, so here they are empty.
 */
#pragma once
#define CODE_INIT
#define CODE_PAGE
#define CODE_RESIDENT
