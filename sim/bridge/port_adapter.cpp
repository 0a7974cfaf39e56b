// port_adapter.cpp - the port model behind the SerialPort interface.
#include "bridge/port_adapter.hpp"

#include "port/port_model.hpp"

#include <algorithm>

namespace bridge {

using namespace std::chrono_literals;

namespace {

// The _DCB's codes: parity 0 none, 1 odd, 2 even, 3 mark, 4 space; stop
// bits 0 one, 1 one and a half, 2 two.
uint8_t DcbParity(Parity p)
{
    switch (p) {
    case Parity::None: return 0;
    case Parity::Odd: return 1;
    case Parity::Even: return 2;
    case Parity::Mark: return 3;
    case Parity::Space: return 4;
    }
    return 0;
}

uint8_t DcbStopBits(StopBits s)
{
    return s == StopBits::One ? 0 : s == StopBits::OneAndHalf ? 1 : 2;
}

// Calls the port's settings request with the _DCB codes, whatever the
// port model names its code types.
template <class P, class S>
world::PortResult SetSettings(world::PortModel &port, world::PortResult (world::PortModel::*set)(ULONG, UCHAR, P, S, bool),
                              const SerialConfig &c)
{
    return (port.*set)(c.baud, c.dataBits, P(DcbParity(c.parity)), S(DcbStopBits(c.stopBits)), false);
}

// Waits are cut into slices so that Cancel is noticed.
constexpr auto kSlice = 100ms;

}  // namespace

PortModelPort::PortModelPort(world::PortModel &port) : port_(port) {}

SerialConfig PortModelPort::Config() const
{
    std::lock_guard guard(mutex_);
    return config_;
}

PortOutcome PortModelPort::Configure(const SerialConfig &wanted)
{
    std::lock_guard guard(mutex_);
    world::PortResult r = SetSettings(port_, &world::PortModel::SetLineSettings, wanted);
    if (!r.ok())
        return PortOutcome::Failed(r.message);
    config_ = wanted;
    return PortOutcome::Ok();
}

bool PortModelPort::Dtr() const
{
    return (port_.ModemControl() & 0x02) != 0;
}

bool PortModelPort::Rts() const
{
    return (port_.ModemControl() & 0x01) != 0;
}

PortOutcome PortModelPort::SetDtr(bool on)
{
    world::PortResult r = on ? port_.SetDtr() : port_.ClearDtr();
    return r.ok() ? PortOutcome::Ok() : PortOutcome::Failed(r.message);
}

PortOutcome PortModelPort::SetRts(bool on)
{
    world::PortResult r = on ? port_.SetRts() : port_.ClearRts();
    return r.ok() ? PortOutcome::Ok() : PortOutcome::Failed(r.message);
}

uint8_t PortModelPort::ModemStatus() const
{
    return port_.ModemStatus();
}

PortTransfer PortModelPort::Read(std::span<uint8_t> buffer, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!cancelled_) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        world::PortResult r = port_.Read(buffer, std::clamp(left, 0ms, std::chrono::milliseconds(kSlice)));
        if (r.bytes || r.ok())
            return {r.bytes, false};
        if (r.status != STATUS_TIMEOUT)
            return {0, true};  // removed, or closed under us
        if (left <= kSlice)
            return {0, false};
    }
    return {0, true};
}

PortTransfer PortModelPort::Write(std::span<const uint8_t> bytes, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    size_t done = 0;
    while (done < bytes.size() && !cancelled_) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        world::PortResult r = port_.WriteAll(bytes.subspan(done), std::clamp(left, 0ms, std::chrono::milliseconds(kSlice)));
        done += r.bytes;
        if (!r.ok() && r.status != STATUS_TIMEOUT)
            return {done, true};
        if (done < bytes.size() && left <= kSlice)
            break;
    }
    return {done, cancelled_.load()};
}

// A purge drops what the port's rings hold.  The pipes are not reset: a
// pipe reset clears a halted endpoint, and a host controller refuses it
// while transfers are queued on the pipe, as the receive loop's read always
// is while the port is open.  Bytes norva has not fetched never go out, nor
// does the rest of its write in flight.
PortOutcome PortModelPort::Purge(bool rx, bool tx)
{
    if (rx)
        port_.PurgeReceived();
    if (tx)
        port_.PurgeUnsent();
    return PortOutcome::Ok();
}

bool PortModelPort::Removed() const
{
    return cancelled_ || port_.isRemoved();
}

uint64_t PortModelPort::Overruns() const
{
    std::function<uint64_t()> below;
    {
        std::lock_guard guard(mutex_);
        below = overrunsBelow_;
    }
    return port_.Counters().overrunBytes + (below ? below() : 0);
}

size_t PortModelPort::Unsent() const
{
    return port_.WriteWaiting();
}

void PortModelPort::SetOverrunsBelow(std::function<uint64_t()> below)
{
    std::lock_guard guard(mutex_);
    overrunsBelow_ = std::move(below);
}

}  // namespace bridge
