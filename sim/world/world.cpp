// world.cpp - the whole simulated machine in one object.
#include "world/world.hpp"

#include <stdexcept>

namespace world {

namespace {

std::unique_ptr<DriverModule> LoadOrThrow(const std::string &path, std::u16string_view service)
{
    std::string error;
    auto module = DriverModule::Load(path, service, &error);
    if (!module)
        throw std::runtime_error("cannot load " + path + ": " + error);
    if (!NT_SUCCESS(module->entryStatus()))
        throw std::runtime_error(path + ": DriverEntry failed");
    return module;
}

}  // namespace

World::World(WorldOptions options)
{
    hub_ = std::make_unique<UsbHub>(options.clock, options.hubPorts);
    pnp_.SetFlavor(options.flavor);
    tembris_ = LoadOrThrow(options.tembrisPath.empty() ? TEMBRIS_MODULE_DEFAULT : options.tembrisPath, u"tembris");
    norva_ = LoadOrThrow(options.norvaPath.empty() ? NORVA_MODULE_DEFAULT : options.norvaPath, u"norva");
    // The power manager's wait-wakes go to hub PDOs: the hub says when it holds one.
    pnp_.waitWakeHeld = [this](PnpManager::Node *node, std::chrono::milliseconds timeout) {
        return hub_->WaitWakeArmed(node->devnode->pdo(), timeout);
    };
    pnp_.onChildStarted = [this](PnpManager::Node *parent, PnpManager::Node *child) {
        // Matched by PDO: the node is only known to the converter once
        // AddRoot (which enumerates) has returned.
        for (Converter &c : converters_)
            if (c.plugged && c.pdo == parent->devnode->pdo()) {  // a PDO of one unplugged earlier may have its address
                c.node = parent;
                c.child = child->devnode->pdo();
                if (onPortStarted)
                    onPortStarted(c);
            }
    };
}

World::~World()
{
    for (Converter &c : converters_)
        if (c.plugged)
            Unplug(&c, UnplugKind::Surprise);
    UnloadDrivers();
}

World::Converter *World::Plug(int variant, std::shared_ptr<SerialPeer> peer, ConverterOptions options,
                              std::optional<ULONG> debugLevel, unsigned port)
{
    auto device = std::make_shared<ConverterDevice>(variant, options);
    if (peer)
        device->Connect(peer);
    return PlugDevice(device, [variant, debugLevel](DevNode &node) {
        node.SetDword(u"EndPointCaps", ULONG(variant));
        if (debugLevel)
            node.SetDword(u"DebugLevel", *debugLevel);
    }, port);
}

World::Converter *World::PlugDevice(std::shared_ptr<UsbDevice> device, const std::function<void(DevNode &)> &values,
                                    unsigned port)
{
    Converter &c = converters_.emplace_back();
    c.device = std::dynamic_pointer_cast<ConverterDevice>(device);
    c.pdo = hub_->Plug(device, port, &c.refused);
    if (!c.pdo) {
        c.status = STATUS_INSUFFICIENT_RESOURCES;
        c.plugged = false;
        return &c;
    }
    c.port = hub_->portOf(c.pdo);
    c.address = hub_->addressOf(c.pdo);
    std::u16string path = u"USB\\VID_FFFE&PID_0001\\" + platform::ToU16(std::to_string(++serial_));
    PDEVICE_OBJECT pdo = c.pdo;
    c.node = pnp_.AddRoot(pdo, path, tembris_.get(), {norva_.get()}, values, &c.status);
    if (pdo->AttachedDevice) {
        c.fdo = pdo->AttachedDevice;
        c.filter = IoGetAttachedDevice(pdo) != c.fdo ? IoGetAttachedDevice(pdo) : nullptr;
    }
    return &c;
}

void World::Unplug(Converter *c, UnplugKind kind)
{
    if (!c->plugged)
        return;
    hub_->Unplug(c->pdo);
    if (c->node) {
        if (kind == UnplugKind::Surprise)
            pnp_.RemoveSurprise(c->node);
        else
            pnp_.RemoveWin98(c->node);
    }
    if (onRemoved)
        onRemoved(*c);
    hub_->DeletePdo(c->pdo);
    c->node = nullptr;
    c->fdo = c->filter = c->child = nullptr;
    c->plugged = false;
}

World::Converter *World::ConverterAt(unsigned port)
{
    for (Converter &c : converters_)
        if (c.plugged && c.port == port)
            return &c;
    return nullptr;
}

void World::ForgetUnplugged()
{
    converters_.remove_if([](const Converter &c) { return !c.plugged; });
}

bool World::UnloadDrivers()
{
    bool clean = true;
    if (norva_ && norva_->loaded())
        clean = norva_->Unload() && clean;
    if (tembris_ && tembris_->loaded())
        clean = tembris_->Unload() && clean;
    return clean;
}

}  // namespace world
