// world.hpp - the whole simulated machine in one object: both driver modules
// loaded, the USB hub with its host controller, the PnP and power managers.
//
//   world::World w;                                   // loads tembris and norva
//   auto *c = w.Plug(2, std::make_shared<world::LoopbackPlug>());
//   ... c->filter is norva's filter device, c->child the port's PDO ...
//   w.Unplug(c, world::UnplugKind::Surprise);
//   EXPECT_TRUE(w.UnloadDrivers());
#pragma once

#include "pnp/pnp_manager.hpp"
#include "usb/converter.hpp"
#include "usb/hub.hpp"
#include "usb/peers.hpp"

#include <list>
#include <optional>

namespace world {

enum class UnplugKind {
    Surprise,  // the later kind: surprise removal children first, then removal
    Win98,     // Windows 98: IRP_MN_REMOVE_DEVICE children first, no surprise removal
};

struct WorldOptions {
    ClockMode clock = ClockMode::Fast;
    unsigned hubPorts = UsbHub::kMaxPorts;  // ports of the hub the converters plug into
    PnpFlavor flavor = PnpFlavor::Windows2000;  // the PnP manager's sequences
    std::string norvaPath;    // empty: the module built with this tree
    std::string tembrisPath;  // empty: the module built with this tree
};

class World {
public:
    // One converter plugged into the world.
    struct Converter {
        std::shared_ptr<ConverterDevice> device;
        PDEVICE_OBJECT pdo = nullptr;     // the hub's PDO
        PnpManager::Node *node = nullptr;
        PDEVICE_OBJECT fdo = nullptr;     // tembris's device
        PDEVICE_OBJECT filter = nullptr;  // norva's filter device
        PDEVICE_OBJECT child = nullptr;   // the port's PDO (null until enumerated)
        NTSTATUS status = STATUS_SUCCESS; // of AddDevice and start
        bool plugged = true;
        unsigned port = 0;                // on the hub, 1-based
        uint8_t address = 0;              // on the bus
        std::string refused;              // why the hub took no device (pdo null)
    };

    explicit World(WorldOptions options = {});
    // (WorldOptions::hubPorts sets how many converters fit: 127 at most, the
    // bus's addresses.)
    // Unplugs what is left (surprise removal) and unloads the drivers.
    ~World();
    World(const World &) = delete;
    World &operator=(const World &) = delete;

    // Plugs a converter of `variant` ("EndPointCaps"), its serial side wired
    // to `peer`, into a port of the hub (0: the lowest free one), builds its
    // stack (tembris, norva as upper filter), starts it and enumerates the
    // port's PDO.  debugLevel sets the "DebugLevel" value.  Any number of
    // converters, of any variants, may be plugged and unplugged one by one
    // while the others run; plugs and unplugs come from one thread at a time
    // (the port model's GetNextPDO walk must not meet them either).
    Converter *Plug(int variant, std::shared_ptr<SerialPeer> peer = nullptr, ConverterOptions options = {},
                    std::optional<ULONG> debugLevel = std::nullopt, unsigned port = 0);
    // Plugs any device model with the given driver-key values.  A device the
    // hub refuses (its port taken, no address left) comes back unplugged,
    // with pdo null, status STATUS_INSUFFICIENT_RESOURCES and the reason.
    Converter *PlugDevice(std::shared_ptr<UsbDevice> device, const std::function<void(DevNode &)> &values,
                          unsigned port = 0);
    // The converter plugged into a hub port now (null: none).
    Converter *ConverterAt(unsigned port);
    // Drops the records of converters unplugged earlier (their pointers
    // become invalid).
    void ForgetUnplugged();
    // Pulls the converter out: the hub completes what it holds with
    // USBD_STATUS_DEVICE_GONE, then the PnP manager removes the stack (the
    // surprise removal waits for the last handle to the port to close).
    void Unplug(Converter *converter, UnplugKind kind);

    // Unloads both drivers; false (with a verifier finding) if a device
    // object was left.
    bool UnloadDrivers();

    DriverModule &norva() { return *norva_; }
    DriverModule &tembris() { return *tembris_; }
    UsbHub &hub() { return *hub_; }
    PnpManager &pnp() { return pnp_; }
    const std::list<Converter> &converters() const { return converters_; }

    // Called when a converter's port PDO has been started (the port model
    // registers here).
    std::function<void(Converter &)> onPortStarted;
    // Called by Unplug once the PnP manager has removed the converter's stack,
    // before the hub deletes its PDO: the hub's records of the device can
    // still be read.
    std::function<void(Converter &)> onRemoved;

private:
    std::unique_ptr<UsbHub> hub_;
    std::unique_ptr<DriverModule> tembris_;
    std::unique_ptr<DriverModule> norva_;
    PnpManager pnp_;
    std::list<Converter> converters_;
    unsigned serial_ = 0;
};

}  // namespace world
