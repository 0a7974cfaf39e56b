// idle_and_flow_test.cpp - what the host pays: an idle port in interactive
// time waits out its latency timer instead of spinning through empty reads,
// and an unpaced line whose far end is slow holds the converter back instead
// of losing bytes.
#include <fixture.hpp>

#include "bridge/line_peers.hpp"
#include "port/port_model.hpp"
#include "world/world.hpp"

#include <atomic>
#include <thread>

using namespace std::chrono_literals;

namespace {

std::vector<uint8_t> Pattern(size_t n)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = uint8_t(i * 31 + i / 253);
    return v;
}

class HostCost : public testing_support::KernelTest {
protected:
    std::unique_ptr<world::PortModel> Attach(world::World &w, std::shared_ptr<world::SerialPeer> peer,
                                             world::ConverterOptions options = {})
    {
        converter_ = w.Plug(2, std::move(peer), options);
        EXPECT_EQ(converter_->status, STATUS_SUCCESS);
        exports_ = world::NorvaExports::Bind(w.norva());
        return std::make_unique<world::PortModel>(exports_,
                                                  world::PortHandle{converter_->filter, converter_->child});
    }

    size_t BulkInReads(world::World &w)
    {
        size_t n = 0;
        for (const world::UrbRecord &u : w.hub().urbs(converter_->pdo))
            n += u.endpoint == world::ConverterDevice::kBulkIn && u.status != USBD_STATUS_PENDING;
        return n;
    }

    world::World::Converter *converter_ = nullptr;
    world::NorvaExports exports_;
};

// 300 ms of an open, idle port: with a 16-frame latency timer passing in real
// time, some 18 empty data reads, where the fast clock runs thousands.  Bytes
// written still come back at once.
TEST_F(HostCost, AnIdlePortInInteractiveTimeWaitsOutItsLatencyTimer)
{
    world::WorldOptions o;
    o.clock = world::ClockMode::Interactive;
    world::World w(o);
    auto port = Attach(w, std::make_shared<world::LoopbackPlug>());
    ASSERT_TRUE(port->Open().ok());
    w.hub().ClearUrbs(converter_->pdo);
    std::this_thread::sleep_for(300ms);
    size_t reads = BulkInReads(w);
    EXPECT_GE(reads, 2u);
    EXPECT_LE(reads, 40u);

    auto data = Pattern(3000);
    ASSERT_TRUE(port->WriteAll(data, 5s).ok());
    EXPECT_EQ(port->ReadExactly(data.size(), 5s), data);
    EXPECT_TRUE(port->Close().ok());
    port.reset();
    w.Unplug(converter_, world::UnplugKind::Surprise);
    EXPECT_TRUE(w.UnloadDrivers());
}

// The far end of the line outside the world, taking bytes slowly.
class SlowOutside : public bridge::ExternalPeer {
public:
    SlowOutside()
    {
        queueLimit_ = 64 * 1024;
        holdAt_ = 16 * 1024;
    }
    ~SlowOutside() override { Stop(); }
    std::vector<uint8_t> received()
    {
        std::lock_guard guard(mutex_);
        return received_;
    }
    size_t count()
    {
        std::lock_guard guard(mutex_);
        return received_.size();
    }

protected:
    bool ReadOutside(std::span<uint8_t>, size_t *got) override
    {
        *got = 0;
        std::this_thread::sleep_for(5ms);
        return true;
    }
    Written WriteOutside(std::span<const uint8_t> bytes, std::chrono::milliseconds) override
    {
        std::this_thread::sleep_for(2ms);  // a slow application
        std::lock_guard guard(mutex_);
        received_.insert(received_.end(), bytes.begin(), bytes.end());
        return {bytes.size(), false};
    }

private:
    std::mutex mutex_;
    std::vector<uint8_t> received_;
};

// An unpaced converter sends as fast as the host writes: a megabyte reaches
// a far end that takes 16 KiB every 2 ms whole and in order, because the far
// end holds the converter back while its queue is full.
TEST_F(HostCost, ASlowFarEndHoldsAnUnpacedConverterBackAndLosesNothing)
{
    world::World w;
    auto outside = std::make_shared<SlowOutside>();
    auto port = Attach(w, outside);
    outside->Start();
    ASSERT_TRUE(port->Open().ok());

    auto data = Pattern(1 << 20);
    ASSERT_TRUE(port->WriteAll(data, 20s).ok());
    for (int i = 0; i < 2000 && outside->count() < data.size(); ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(outside->bytesDropped(), 0u);
    EXPECT_EQ(outside->received(), data);

    EXPECT_TRUE(port->Close().ok());
    outside->Stop();
    port.reset();
    w.Unplug(converter_, world::UnplugKind::Surprise);
    EXPECT_TRUE(w.UnloadDrivers());
}

}  // namespace
