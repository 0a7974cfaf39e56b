// lower_file.hpp - a file object opened on one device object itself, not on
// the top of its stack: the way a driver above reaches the driver below
// (norva opens tembris's pipes so).  vcp uses it to read tembris's pipe table
// while norva sits on top of the stack.
#pragma once

extern "C" {
#include <ntddk.h>
}

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace vcp {

class LowerFile {
public:
    // Sends IRP_MJ_CREATE with the file name to the device.  Null (with the
    // status in *status) when the device refuses.
    static std::unique_ptr<LowerFile> Open(PDEVICE_OBJECT device, std::u16string name, NTSTATUS *status);
    // Sends IRP_MJ_CLOSE.
    ~LowerFile();
    LowerFile(const LowerFile &) = delete;
    LowerFile &operator=(const LowerFile &) = delete;

    // A METHOD_BUFFERED device-control request on this file object.
    NTSTATUS DeviceControl(ULONG code, std::span<const uint8_t> input, std::span<uint8_t> output,
                           ULONG_PTR *returned);

private:
    LowerFile(PDEVICE_OBJECT device, std::u16string name);
    NTSTATUS SendFileRequest(UCHAR major);

    PDEVICE_OBJECT device_;
    std::u16string name_;
    FILE_OBJECT file_{};
};

}  // namespace vcp
