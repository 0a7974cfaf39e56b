// descriptors.hpp - a device's descriptors from a file (vcp info
// --descriptors): read with a bound, and checked field by field before the
// device is plugged, so that a mistake is named where it is.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vcp {

// No descriptor set is larger than this (a configuration's wTotalLength is
// 16 bits, plus the 18-byte device descriptor).
inline constexpr size_t kDescriptorFileLimit = 64 * 1024;

// Reads the file: the device descriptor (18 bytes), then the whole
// configuration descriptor.  A regular file, a FIFO or a device: at most
// kDescriptorFileLimit bytes are read, and a longer one is refused.  Waits
// for a slow writer only as long as interrupted() says no (it is asked every
// 100 ms), and throws Interrupted when it says yes.  Throws
// std::runtime_error with the reason otherwise.
std::vector<uint8_t> ReadDescriptorFile(const std::string &path, const std::function<std::optional<int>()> &interrupted);

// The first problem of a descriptor set, naming the descriptor, where it
// starts and the field; empty when the set can be plugged as a converter:
// the descriptors are well formed, every interface has the endpoints it
// counts, and interface 0 starts with the bulk OUT and bulk IN pipes the port
// sends and receives on.
std::string CheckDescriptors(std::span<const uint8_t> device, std::span<const uint8_t> configuration);

}  // namespace vcp
