// world_harness.cpp - the world facade behind the port tests' harness.
#include "world_harness.hpp"

#include "world/world.hpp"

namespace port_test {

bool KernelAllowsRemovalUnderAFilter()
{
    static const bool allowed = [] {
        PDRIVER_OBJECT driver = platform::CreateDriverObject(u"\\Driver\\PortRemovalProbe");
        PDEVICE_OBJECT lower = nullptr, function = nullptr, filter = nullptr;
        IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower);
        IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &function);
        IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &filter);
        IoAttachDeviceToDeviceStack(function, lower);
        IoAttachDeviceToDeviceStack(filter, function);
        bool refused;
        {
            platform::ViolationTrap trap;
            size_t before = platform::Violations().size();
            IoDetachDevice(lower);
            IoDeleteDevice(function);  // the function driver's removal, under the filter
            refused = platform::Violations().size() > before;
        }
        IoDetachDevice(function);
        IoDeleteDevice(filter);
        if (refused) {
            IoDeleteDevice(function);  // kept by the verifier, free to go now
            platform::ClearViolations();
        }
        IoDeleteDevice(lower);
        platform::DeleteDriverObject(driver);
        return !refused;
    }();
    return allowed;
}

struct WorldHarness::Impl {
    world::World world;
    world::World::Converter *converter = nullptr;
};

WorldHarness::WorldHarness() : impl_(std::make_unique<Impl>()) {}

WorldHarness::~WorldHarness() = default;

WorldHarness::Plugged WorldHarness::PlugLoopback(int variant)
{
    impl_->converter = impl_->world.Plug(variant, std::make_shared<world::LoopbackPlug>());
    return {impl_->converter->filter, impl_->converter->child, impl_->converter->status};
}

void WorldHarness::Unplug(bool surprise)
{
    impl_->world.Unplug(impl_->converter, surprise ? world::UnplugKind::Surprise : world::UnplugKind::Win98);
}

bool WorldHarness::UnloadDrivers() { return impl_->world.UnloadDrivers(); }

const world::DriverModule &WorldHarness::norva() const { return impl_->world.norva(); }

std::string WorldHarness::ConverterSettings() const { return world::ToString(impl_->converter->device->settings()); }

}  // namespace port_test
