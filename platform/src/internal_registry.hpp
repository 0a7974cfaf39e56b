// internal_registry.hpp - what the Rtl, registry and device-interface units of
// the host kernel share.  Not part of the interface the world sees.
#pragma once

#include <platform/platform.hpp>

#include <string>
#include <string_view>

namespace platform::detail {

// Upper case of one UTF-16 code unit as the kernel's case table gives it for
// ASCII, Latin-1, Latin Extended-A, Greek and Cyrillic (rtl.cpp).
WCHAR UpcaseChar(WCHAR c);
// Case-insensitive equality of two names (object and value names).
bool EqualNoCase(std::u16string_view a, std::u16string_view b);

// True when the device object is a PDO with a device node (registry.cpp).
bool HasDeviceNode(PDEVICE_OBJECT pdo);

// Forgets the interfaces registered for a PDO whose node goes away
// (interfaces.cpp; called by DeleteDeviceNode).
void RemoveInterfacesOf(PDEVICE_OBJECT pdo);

// Clear the pending one-shot faults of these units (for ResetRecords).
void ClearRegistryFaults();
void ClearInterfaceFaults();

// STATUS_OBJECT_NAME_EXISTS: an informational (successful) status.
inline constexpr NTSTATUS kStatusObjectNameExists = NTSTATUS(0x40000000L);

}  // namespace platform::detail
