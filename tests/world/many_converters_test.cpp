// many_converters_test.cpp - converters of every variant on one hub: ports and
// bus addresses, the order in which the port driver finds them, and one
// plugged or pulled out while the others carry data.
#include "usb_harness.hpp"

#include "port/port_model.hpp"
#include "world/world.hpp"

#include <set>
#include <thread>

using namespace std::chrono_literals;

namespace {

// A device the hub can hold without drivers above it.
std::shared_ptr<world::UsbDevice> PlainDevice()
{
    return std::make_shared<world::ConverterDevice>(1);
}

using HubPorts = usbtest::UsbTest;

// 127 devices take the bus's 127 addresses, the first at 2 as a host gives
// them and 1 last; the 128th is refused with the reason.  A device that
// goes leaves its port and its address to the next.
TEST_F(HubPorts, TheBusHolds127DevicesEachWithItsOwnAddress)
{
    std::vector<PDEVICE_OBJECT> pdos;
    std::set<unsigned> addresses;
    for (unsigned k = 0; k < world::UsbHub::kMaxPorts; ++k) {
        std::string why;
        PDEVICE_OBJECT pdo = hub.Plug(PlainDevice(), 0, &why);
        ASSERT_NE(pdo, nullptr) << "device " << k << ": " << why;
        EXPECT_EQ(hub.portOf(pdo), k + 1);
        addresses.insert(hub.addressOf(pdo));
        pdos.push_back(pdo);
    }
    EXPECT_EQ(hub.addressOf(pdos[0]), 2u);
    EXPECT_EQ(hub.addressOf(pdos[125]), 127u);
    EXPECT_EQ(hub.addressOf(pdos[126]), 1u);
    EXPECT_EQ(addresses.size(), 127u);
    EXPECT_EQ(*addresses.begin(), 1u);
    EXPECT_EQ(*addresses.rbegin(), 127u);

    std::string why;
    EXPECT_EQ(hub.Plug(PlainDevice(), 0, &why), nullptr);
    EXPECT_NE(why.find("127 ports"), std::string::npos) << why;
    EXPECT_EQ(hub.Plug(PlainDevice(), 200, &why), nullptr);
    EXPECT_NE(why.find("ports 1 to 127"), std::string::npos) << why;

    hub.DeletePdo(pdos[40]);
    EXPECT_EQ(hub.PdoAt(41), nullptr);
    PDEVICE_OBJECT again = hub.Plug(PlainDevice(), 41, &why);
    ASSERT_NE(again, nullptr) << why;
    EXPECT_EQ(hub.portOf(again), 41u);
    EXPECT_EQ(hub.addressOf(again), 42u) << "the address the device that left had";
    EXPECT_EQ(hub.PdoAt(41), again);
}

TEST(HubPortCount, ASmallHubRefusesAPlugBeyondItsPortsAndOneIntoATakenPort)
{
    world::UsbHub hub(world::ClockMode::Fast, 2);
    std::string why;
    PDEVICE_OBJECT a = hub.Plug(PlainDevice(), 2, &why);
    ASSERT_NE(a, nullptr) << why;
    EXPECT_EQ(hub.Plug(PlainDevice(), 2, &why), nullptr);
    EXPECT_EQ(why, "port 2 of the hub is taken");
    PDEVICE_OBJECT b = hub.Plug(PlainDevice(), 0, &why);
    ASSERT_NE(b, nullptr) << why;
    EXPECT_EQ(hub.portOf(b), 1u);
    EXPECT_EQ(hub.Plug(PlainDevice(), 0, &why), nullptr);
    EXPECT_EQ(why, "every one of the hub's 2 ports is taken");
}

std::vector<uint8_t> Pattern(size_t n, unsigned seed)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = uint8_t(i * 31 + seed * 7 + i / 251);
    return v;
}

class ManyConverters : public testing_support::KernelTest {
protected:
    void SetUp() override
    {
        world_ = std::make_unique<world::World>();
    }
    void TearDown() override
    {
        ports_.clear();
        world_.reset();
    }

    world::World::Converter *PlugLoopback(int variant, unsigned port = 0)
    {
        world::World::Converter *c = world_->Plug(variant, std::make_shared<world::LoopbackPlug>(), {}, {}, port);
        EXPECT_EQ(c->status, STATUS_SUCCESS) << c->refused;
        EXPECT_NE(c->child, nullptr);
        return c;
    }

    std::vector<PDEVICE_OBJECT> FiltersFound()
    {
        std::vector<PDEVICE_OBJECT> filters;
        for (const world::PortHandle &h : world::FindPorts(exports()))
            filters.push_back(h.filter);
        return filters;
    }

    const world::NorvaExports &exports()
    {
        if (!exports_.GetNextPDO)
            exports_ = world::NorvaExports::Bind(world_->norva());
        return exports_;
    }

    std::unique_ptr<world::World> world_;
    world::NorvaExports exports_;
    std::vector<std::unique_ptr<world::PortModel>> ports_;
};

// GetNextPDO hands out the most recently added converter first, each with
// its own child PDO; an unplugged one leaves the walk, and a new one comes
// first, on the lowest free port and address.
TEST_F(ManyConverters, GetNextPdoFindsEveryConverterNewestFirst)
{
    std::vector<world::World::Converter *> plugged;
    for (int k = 0; k < 6; ++k)
        plugged.push_back(PlugLoopback(k % 4));
    std::vector<PDEVICE_OBJECT> expected;
    for (auto it = plugged.rbegin(); it != plugged.rend(); ++it)
        expected.push_back((*it)->filter);
    EXPECT_EQ(FiltersFound(), expected);
    for (const world::PortHandle &h : world::FindPorts(exports())) {
        auto c = std::find_if(plugged.begin(), plugged.end(), [&](auto *p) { return p->filter == h.filter; });
        ASSERT_NE(c, plugged.end());
        EXPECT_EQ(h.childPdo, (*c)->child);
        EXPECT_EQ(exports().GetEndPointCaps(h.filter), ULONG((c - plugged.begin()) % 4));
    }
    for (size_t k = 0; k < plugged.size(); ++k) {
        EXPECT_EQ(plugged[k]->port, k + 1);
        EXPECT_EQ(plugged[k]->address, k + 2);
    }

    world_->Unplug(plugged[2], world::UnplugKind::Surprise);
    std::vector<PDEVICE_OBJECT> remaining;
    for (auto it = plugged.rbegin(); it != plugged.rend(); ++it)
        if (*it != plugged[2])
            remaining.push_back((*it)->filter);
    EXPECT_EQ(FiltersFound(), remaining);
    EXPECT_EQ(world_->ConverterAt(3), nullptr);

    world::World::Converter *late = PlugLoopback(3);
    EXPECT_EQ(late->port, 3u);
    EXPECT_EQ(late->address, 4u);
    EXPECT_EQ(world_->ConverterAt(3), late);
    remaining.insert(remaining.begin(), late->filter);
    EXPECT_EQ(FiltersFound(), remaining);
}

// Four ports move data at once, each through its own loopback plug, with
// different settings; one is pulled out in the middle.  Its port learns of
// the removal and keeps what it had received; every byte of the others
// comes back in order.
TEST_F(ManyConverters, OneUnpluggedWhileTheOthersCarryDataIntact)
{
    const ULONG bauds[] = {9600, 19200, 38400, 115200};
    std::vector<world::World::Converter *> plugged;
    for (int k = 0; k < 4; ++k)
        plugged.push_back(PlugLoopback(1 + k % 3));
    for (const world::PortHandle &h : world::FindPorts(exports())) {
        auto port = std::make_unique<world::PortModel>(exports(), h);
        ASSERT_TRUE(port->Open().ok());
        ports_.push_back(std::move(port));
    }
    ASSERT_EQ(ports_.size(), 4u);
    // ports_ is newest first: ports_[3] is the first converter plugged.
    for (size_t k = 0; k < 4; ++k) {
        world::PortResult r = ports_[k]->SetLineSettings(bauds[k], 8, k % 2 ? world::CommParity::Even : world::CommParity::None,
                                                         world::CommStopBits::One);
        ASSERT_TRUE(r.ok()) << world::Describe(r);
    }
    constexpr size_t kBytes = 128 * 1024;
    std::vector<std::vector<uint8_t>> sent, got(4);
    for (unsigned k = 0; k < 4; ++k)
        sent.push_back(Pattern(kBytes, k));
    std::atomic<bool> halfway[4] = {};
    std::atomic<bool> unplugging{false};
    std::vector<std::thread> movers;
    for (unsigned k = 0; k < 4; ++k)
        movers.emplace_back([&, k] {
            world::PortModel &port = *ports_[k];
            std::vector<uint8_t> buffer(4096);
            size_t written = 0;
            auto deadline = std::chrono::steady_clock::now() + 30s;
            while (got[k].size() < kBytes && std::chrono::steady_clock::now() < deadline) {
                if (written < kBytes) {
                    world::PortResult w = port.Write(std::span(sent[k]).subspan(written, std::min<size_t>(4096, kBytes - written)));
                    if (w.status == STATUS_DEVICE_REMOVED)
                        break;
                    written += w.bytes;
                }
                world::PortResult r = port.Read(buffer, 2ms);
                got[k].insert(got[k].end(), buffer.begin(), buffer.begin() + std::ptrdiff_t(r.bytes));
                if (got[k].size() >= kBytes / 2 && !halfway[k]) {
                    // Every port has moved half when the unplug begins, and
                    // moves the rest while it goes on.
                    halfway[k] = true;
                    while (!unplugging)
                        std::this_thread::sleep_for(100us);
                }
                if (r.status == STATUS_DEVICE_REMOVED)
                    break;
            }
        });
    // The second converter plugged (ports_[2]) goes once every port has moved half.
    while (!(halfway[0] && halfway[1] && halfway[2] && halfway[3]))
        std::this_thread::sleep_for(1ms);
    unplugging = true;
    world_->Unplug(plugged[1], world::UnplugKind::Surprise);
    for (auto &t : movers)
        t.join();

    EXPECT_TRUE(ports_[2]->isRemoved());
    EXPECT_GE(got[2].size(), kBytes / 2);
    EXPECT_TRUE(std::equal(got[2].begin(), got[2].end(), sent[2].begin())) << "what came before the unplug is intact";
    for (unsigned k : {0u, 1u, 3u}) {
        SCOPED_TRACE("port " + std::to_string(k));
        EXPECT_FALSE(ports_[k]->isRemoved());
        EXPECT_EQ(got[k], sent[k]);
        EXPECT_EQ(ports_[k]->Counters().overrunBytes, 0u);
        ASSERT_TRUE(ports_[k]->LineSettingsInForce());
        EXPECT_EQ(ports_[k]->LineSettingsInForce()->baudRate, bauds[k]);
        EXPECT_TRUE(ports_[k]->Close().ok());
    }
    // Each converter was told its own settings.
    EXPECT_EQ(plugged[0]->device->settings().baud, 115200u);
    EXPECT_EQ(plugged[3]->device->settings().baud, 9600u);
    EXPECT_EQ(plugged[2]->device->settings().parity, world::Parity::Even);
}

// The whole address space in one world: 127 converters of every variant,
// each with its stack and port PDO; the 128th is refused with the reason.
TEST_F(ManyConverters, AHubOf127ConvertersEnumeratesEveryPort)
{
    for (int k = 0; k < 127; ++k) {
        world::World::Converter *c = world_->Plug(k % 4);
        ASSERT_EQ(c->status, STATUS_SUCCESS) << "converter " << k << ": " << c->refused;
        ASSERT_NE(c->child, nullptr) << "converter " << k;
    }
    world::World::Converter *extra = world_->Plug(1);
    EXPECT_FALSE(extra->plugged);
    EXPECT_EQ(extra->pdo, nullptr);
    EXPECT_NE(extra->refused.find("ports is taken"), std::string::npos) << extra->refused;
    EXPECT_EQ(world::FindPorts(exports()).size(), 127u);
}

}  // namespace
