// world_harness.hpp - the simulated machine for the port's end-to-end tests:
// both drivers, the hub and a converter with a loopback plug.
//
// The world's headers and the port model's cannot meet in one file (the
// converter model has a world::Parity of its own), so the tests reach the
// world through this small interface.
#pragma once

extern "C" {
#include <ntddk.h>
}

#include <memory>
#include <string>

namespace world {
class DriverModule;
}

namespace port_test {

// Whether the kernel lets a function driver delete its device while a filter
// is still attached above it, as every WDM removal does (the filter passes
// the removal down first, then detaches).  Until it does, the world cannot
// unplug a converter with norva on it.
bool KernelAllowsRemovalUnderAFilter();

class WorldHarness {
public:
    WorldHarness();
    ~WorldHarness();  // unplugs what is left and unloads the drivers
    WorldHarness(const WorldHarness &) = delete;
    WorldHarness &operator=(const WorldHarness &) = delete;

    struct Plugged {
        PDEVICE_OBJECT filter = nullptr;
        PDEVICE_OBJECT child = nullptr;
        NTSTATUS status = STATUS_SUCCESS;
    };
    // A converter of this variant with a loopback plug on its serial side
    // (TX to RX, RTS to CTS, DTR to DSR and DCD).
    Plugged PlugLoopback(int variant);
    // Pulls the converter out: surprise removal, or the Windows 98 kind.
    void Unplug(bool surprise);
    // Unloads both drivers; false when a device object was left.
    bool UnloadDrivers();

    const world::DriverModule &norva() const;
    // The converter's own settings, e.g. "19200 7E2".
    std::string ConverterSettings() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace port_test
