// lifecycle.cpp - the fixture of the whole-stack lifecycle tests.
#include "lifecycle.hpp"

namespace lifecycle {

bool WaitUntil(const std::function<bool()> &condition, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

std::vector<uint8_t> Pattern(size_t n, uint8_t seed)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = uint8_t(i * 7 + seed + i / 251);
    return v;
}

const char *KindName(world::UnplugKind kind) { return kind == world::UnplugKind::Surprise ? "Surprise" : "Win98"; }

void LifecycleTest::SetUp()
{
    world::WorldOptions options;
    options.clock = clock_;
    world_ = std::make_unique<world::World>(options);
    exports_ = world::NorvaExports::Bind(world_->norva());
    ASSERT_TRUE(exports_.Missing().empty()) << "norva lacks " << exports_.Missing().front();
    world_->onRemoved = [this](world::World::Converter &c) {
        removalSeen_ = true;
        urbsAtRemoval_ = world_->hub().urbs(c.pdo);
        pendingAtRemoval_ = world_->hub().pending(c.pdo);
    };
}

void LifecycleTest::TearDown()
{
    if (!world_)
        return;
    if (converter_ && converter_->plugged)
        Unplug(world::UnplugKind::Surprise);
    port_.reset();
    EXPECT_TRUE(world_->UnloadDrivers());
    world_.reset();
}

world::World::Converter *LifecycleTest::Plug(int variant, std::shared_ptr<world::SerialPeer> peer,
                                             world::ConverterOptions options, std::optional<ULONG> debugLevel)
{
    converter_ = world_->Plug(variant, std::move(peer), options, debugLevel);
    EXPECT_EQ(converter_->status, STATUS_SUCCESS);
    EXPECT_NE(converter_->child, nullptr) << "the port's PDO was not enumerated";
    pdo_ = converter_->pdo;
    device_ = converter_->device;
    return converter_;
}

world::PortModel &LifecycleTest::Attach(world::PortModel::Options options)
{
    auto ports = world::FindPorts(exports_);
    EXPECT_EQ(ports.size(), 1u);
    world::PortHandle handle = ports.empty() ? world::PortHandle{converter_->filter, converter_->child} : ports[0];
    EXPECT_EQ(handle.filter, converter_->filter);
    EXPECT_EQ(handle.childPdo, converter_->child);
    port_ = std::make_unique<world::PortModel>(exports_, handle, options);
    EXPECT_TRUE(port_->removeRoutineRegistered());
    return *port_;
}

world::PortModel &LifecycleTest::PlugAndOpen(int variant, std::shared_ptr<world::SerialPeer> peer,
                                             world::ConverterOptions options)
{
    Plug(variant, std::move(peer), options);
    world::PortModel &port = Attach();
    world::PortResult opened = port.Open();
    EXPECT_TRUE(opened.ok()) << Describe(opened);
    return port;
}

void LifecycleTest::Echo(size_t n, uint8_t seed)
{
    auto data = Pattern(n, seed);
    world::PortResult written = port_->WriteAll(data, kWait);
    ASSERT_TRUE(written.ok()) << Describe(written);
    EXPECT_EQ(port_->ReadExactly(n, kWait), data);
}

void LifecycleTest::Unplug(world::UnplugKind kind)
{
    Bounded([&] { world_->Unplug(converter_, kind); }, "the unplug");
}

bool LifecycleTest::WaitOutstanding(USHORT function, uint8_t endpoint, std::chrono::milliseconds timeout) const
{
    return WaitUntil(
        [&] {
            for (const world::UrbRecord &r : Urbs())
                if (r.function == function && r.endpoint == endpoint && r.status == USBD_STATUS_PENDING)
                    return true;
            return false;
        },
        timeout);
}

}  // namespace lifecycle
