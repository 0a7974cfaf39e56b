// lifecycle.hpp - the whole stack through its life: the world (hub,
// converter model, tembris, norva as upper filter, the PnP and power
// managers) with the port model on norva's exports, and the helpers that
// keep every wait bounded.
#pragma once

#include <fixture.hpp>

#include "port/port_model.hpp"
#include "world/world.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <optional>
#include <thread>

namespace lifecycle {

using namespace std::chrono_literals;

// Long enough for anything the stack does; reached only when it hangs.
inline constexpr std::chrono::milliseconds kWait = 10s;

// A call made on a thread of its own (a request the test leaves in flight,
// or a removal that must not hang the suite).  Wait() gives its result; a
// call still running when the object goes is a hang: the test process
// reports it and ends.
template <class T> class Background {
public:
    explicit Background(std::function<T()> fn, const char *what) : what_(what)
    {
        std::packaged_task<T()> task(std::move(fn));
        result_ = task.get_future().share();
        thread_ = std::thread(std::move(task));
    }
    ~Background()
    {
        if (!Wait(kWait)) {
            std::fprintf(stderr, "%s never returned\n", what_);
            std::abort();
        }
        thread_.join();
    }
    Background(const Background &) = delete;
    Background &operator=(const Background &) = delete;

    bool Wait(std::chrono::milliseconds timeout) { return result_.wait_for(timeout) == std::future_status::ready; }
    bool done() { return Wait(0ms); }
    T get()
    {
        if (!Wait(kWait)) {
            std::fprintf(stderr, "%s never returned\n", what_);
            std::abort();
        }
        return result_.get();
    }

private:
    const char *what_;
    std::shared_future<T> result_;
    std::thread thread_;
};

// Runs fn within the bounded wait (see Background).
inline void Bounded(const std::function<void()> &fn, const char *what)
{
    Background<bool> call([&fn] { fn(); return true; }, what);
    call.get();
}

// Polls a condition until it holds; false after the timeout.
bool WaitUntil(const std::function<bool()> &condition, std::chrono::milliseconds timeout = kWait);

std::vector<uint8_t> Pattern(size_t n, uint8_t seed = 0);

const char *KindName(world::UnplugKind kind);

class LifecycleTest : public testing_support::KernelTest {
protected:
    // The clock runs one frame per millisecond: an idle receive loop waits
    // for the converter's latency timer instead of spinning.
    explicit LifecycleTest(world::ClockMode clock = world::ClockMode::Frames) : clock_(clock) {}
    void SetUp() override;
    void TearDown() override;

    // Plugs a converter, as the PnP manager sees it: stack built, started,
    // the port's PDO enumerated and started.
    world::World::Converter *Plug(int variant, std::shared_ptr<world::SerialPeer> peer,
                                  world::ConverterOptions options = {},
                                  std::optional<ULONG> debugLevel = std::nullopt);
    // The port driver finds the converter with GetNextPDO and registers its
    // remove routine.
    world::PortModel &Attach(world::PortModel::Options options = {});
    // Both, and Open.
    world::PortModel &PlugAndOpen(int variant, std::shared_ptr<world::SerialPeer> peer,
                                  world::ConverterOptions options = {});
    // Writes through the port and reads the bytes back (a loopback plug).
    void Echo(size_t n, uint8_t seed);

    // Pulls the converter out within the bounded wait.
    void Unplug(world::UnplugKind kind);

    // The URBs the hub received for the converter (while plugged).
    std::vector<world::UrbRecord> Urbs() const { return world_->hub().urbs(converter_->pdo); }
    // Waits until a URB of this function (on this endpoint) is outstanding.
    bool WaitOutstanding(USHORT function, uint8_t endpoint = 0, std::chrono::milliseconds timeout = kWait) const;

    PDEVICE_OBJECT pdo() const { return pdo_; }
    world::PnpManager::Node *node() const { return converter_->node; }
    world::PnpManager &pnp() { return world_->pnp(); }
    world::UsbHub &hub() { return world_->hub(); }

    world::ClockMode clock_;
    std::unique_ptr<world::World> world_;
    world::NorvaExports exports_;
    world::World::Converter *converter_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;  // the hub's PDO, kept after the converter goes
    std::shared_ptr<world::ConverterDevice> device_;
    std::unique_ptr<world::PortModel> port_;
    // What the hub held for the converter once its stack was removed.
    std::vector<world::UrbRecord> urbsAtRemoval_;
    size_t pendingAtRemoval_ = 0;
    bool removalSeen_ = false;
};

}  // namespace lifecycle
