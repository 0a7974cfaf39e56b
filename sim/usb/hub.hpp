// hub.hpp - the USB hub driver of the world: a driver object whose PDOs sit
// at the bottom of each converter's stack, below tembris.
#pragma once

#include <platform/platform.hpp>

namespace world {

class UsbHub {
public:
    UsbHub();
    ~UsbHub();  // deletes any PDO left and the driver object
    UsbHub(const UsbHub &) = delete;
    UsbHub &operator=(const UsbHub &) = delete;

    PDRIVER_OBJECT driver() const { return driver_; }

    // Creates a PDO for a device on the next port.  It answers PnP requests
    // (start, capabilities with a DeviceState table and DeviceWake, removal)
    // and power requests as a bus driver does.
    PDEVICE_OBJECT CreatePdo();
    // Deletes a PDO once the stack above it has been removed.
    void DeletePdo(PDEVICE_OBJECT pdo);

    // The capabilities a PDO answers (a realistic USB device by default).
    DEVICE_CAPABILITIES &capabilities() { return capabilities_; }

private:
    PDRIVER_OBJECT driver_ = nullptr;
    DEVICE_CAPABILITIES capabilities_{};
    ULONG nextPort_ = 1;
};

}  // namespace world
