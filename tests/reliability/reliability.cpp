// reliability.cpp - shared parts of the reliability tests.
#include "reliability.hpp"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

namespace reliability {

std::vector<uint8_t> Pattern(size_t n, unsigned salt)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = uint8_t(i * 31 + i / 251 + salt * 17);
    return v;
}

Watchdog::Watchdog(std::chrono::milliseconds limit, std::string what)
{
    thread_ = std::thread([this, limit, what = std::move(what)] {
        std::unique_lock lock(mutex_);
        if (!done_.wait_for(lock, limit, [this] { return finished_; })) {
            std::fprintf(stderr, "\n*** HANG: %s did not finish within %lld ms\n", what.c_str(),
                         (long long)limit.count());
            std::fflush(stderr);
            std::abort();
        }
    });
}

Watchdog::~Watchdog()
{
    {
        std::lock_guard lock(mutex_);
        finished_ = true;
    }
    done_.notify_all();
    thread_.join();
}

Bench::Bench(world::WorldOptions options) : world(std::make_unique<world::World>(options)) {}

Bench::~Bench() { Teardown(); }

bool Bench::Plug(int variant, bool scriptedPeer)
{
    world::ConverterOptions options;
    options.latencyFrames = world::ConverterOptions::kNoLatencyTimer;
    std::shared_ptr<world::SerialPeer> plug;
    if (scriptedPeer) {
        peer = std::make_shared<world::ScriptedPeer>();
        plug = peer;
    } else {
        plug = std::make_shared<world::LoopbackPlug>();
    }
    converter = world->Plug(variant, plug, options);
    return NT_SUCCESS(converter->status) && converter->child != nullptr;
}

void Bench::Attach()
{
    exports = world::NorvaExports::Bind(world->norva());
    port = std::make_unique<world::PortModel>(exports, world::PortHandle{converter->filter, converter->child});
}

std::string Bench::Teardown(world::UnplugKind kind)
{
    if (!world)
        return platform::LeakReport();
    if (converter && converter->plugged)
        world->Unplug(converter, kind);
    port.reset();
    world->UnloadDrivers();
    world.reset();
    peer.reset();
    return platform::LeakReport();
}

bool Bench::RoundTrip(size_t n, unsigned salt, std::chrono::milliseconds timeout)
{
    std::vector<uint8_t> data = Pattern(n, salt);
    if (peer)
        peer->TakeReceived();
    world::PortResult written = port->WriteAll(data, timeout);
    bool ok = written.ok();
    std::vector<uint8_t> back;
    if (ok && peer) {
        ok = peer->WaitForBytes(n, timeout);
        back = peer->TakeReceived();
    } else if (ok) {
        back = port->ReadExactly(n, timeout);
    }
    ok = ok && back == data;
    if (!ok) {
        world::PortCounters c = port->Counters();
        std::printf("round trip of %zu bytes: %zu written (%s), %zu came back%s; port counters: %" PRIu64
                    " bytes handed to norva in %" PRIu64 " transfers, %" PRIu64 " bytes received in %" PRIu64
                    " data calls and %" PRIu64 " status calls\n",
                    n, written.bytes, world::Describe(written).c_str(), back.size(),
                    back.size() == n ? " altered" : "", c.bytesOut, c.transfers, c.bytesIn, c.dataCalls,
                    c.statusCalls);
    }
    return ok;
}

}  // namespace reliability
