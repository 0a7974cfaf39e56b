/*
 * check-drivers.cpp - norva's and tembris's own records as the 32-bit host
 * build compiles their headers, laid out as the target build lays them out
 * in norva.sys and tembris.sys (tests read them in the loaded images).
 */
#include <stddef.h>

#define NORVA_UNIT "layout"
#include "norva.h"
#include "tembris.h"

#include "norva-layout.h"
#include "tembris-layout.h"
