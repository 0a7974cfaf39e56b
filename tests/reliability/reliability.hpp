// reliability.hpp - what the reliability tests share: one converter in the
// whole world with its port, teardown to an unloaded, verified-clean kernel,
// and a watchdog that turns a hang into a named failure.
#pragma once

#include <fixture.hpp>

#include <port/port_model.hpp>
#include <world/world.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace reliability {

using namespace std::chrono_literals;

std::vector<uint8_t> Pattern(size_t n, unsigned salt = 0);

// Aborts the process with `what` if it is still alive after `limit`: a wait
// that never ends is a finding, not a stuck test run.
class Watchdog {
public:
    Watchdog(std::chrono::milliseconds limit, std::string what);
    ~Watchdog();
    Watchdog(const Watchdog &) = delete;
    Watchdog &operator=(const Watchdog &) = delete;

private:
    std::mutex mutex_;
    std::condition_variable done_;
    bool finished_ = false;
    std::thread thread_;
};

// One converter with its port.  Idle reads wait for data (no latency timer),
// so that nothing allocates while the test is not acting.
struct Bench {
    std::unique_ptr<world::World> world;
    world::World::Converter *converter = nullptr;
    std::shared_ptr<world::ScriptedPeer> peer;  // null: a loopback plug
    world::NorvaExports exports;
    std::unique_ptr<world::PortModel> port;

    explicit Bench(world::WorldOptions options = {});
    ~Bench();  // Teardown()

    // Plugs a converter; false when its stack did not start or its port was
    // not enumerated.
    bool Plug(int variant, bool scriptedPeer = false);
    // The port model on the enumerated port (needs Plug).
    void Attach();
    // Pulls the converter out (if still in), drops the port, unloads both
    // drivers; returns the kernel's leak report (empty: clean).
    std::string Teardown(world::UnplugKind kind = world::UnplugKind::Surprise);
    // Bytes written come back through the loopback plug (or reach the
    // scripted peer), in order.  It returns as soon as they have; the bound
    // is only for a port where nothing moves any more, and is far beyond
    // what a loaded machine or a sanitizer build needs.  A round trip that
    // fails says how far its bytes got.
    bool RoundTrip(size_t n, unsigned salt = 0, std::chrono::milliseconds timeout = 30s);
};

}  // namespace reliability
