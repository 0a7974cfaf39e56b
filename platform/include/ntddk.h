/* ntddk.h - the host kernel's NT DDK interface: everything of wdm.h. */
#pragma once
#include <wdm.h>
