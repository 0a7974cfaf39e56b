// peers.cpp - loopback plug, null-modem cable and the scripted peer.
#include "usb/peers.hpp"

namespace world {

// ---------------------------------------------------------------------------
// Loopback plug

void LoopbackPlug::OnTransmit(ConverterDevice &from, std::span<const uint8_t> bytes)
{
    from.ReceiveFromLine(bytes);
}

void LoopbackPlug::OnOutputLines(ConverterDevice &from, bool rts, bool dtr)
{
    from.SetInputLines({.cts = rts, .dsr = dtr, .dcd = dtr, .ri = false});
}

// ---------------------------------------------------------------------------
// Null-modem cable

namespace {

class CableEnd : public SerialPeer {
public:
    explicit CableEnd(std::weak_ptr<UsbDevice> other) : other_(std::move(other)) {}

    void OnTransmit(ConverterDevice &, std::span<const uint8_t> bytes) override
    {
        if (auto other = Other())
            other->ReceiveFromLine(bytes);
    }
    void OnOutputLines(ConverterDevice &, bool rts, bool dtr) override
    {
        if (auto other = Other())
            other->SetInputLines({.cts = rts, .dsr = dtr, .dcd = dtr, .ri = false});
    }

private:
    std::shared_ptr<ConverterDevice> Other() const
    {
        return std::static_pointer_cast<ConverterDevice>(other_.lock());
    }
    std::weak_ptr<UsbDevice> other_;
};

}  // namespace

void NullModemCable::Connect(const std::shared_ptr<ConverterDevice> &a, const std::shared_ptr<ConverterDevice> &b)
{
    a->Connect(std::make_shared<CableEnd>(b));
    b->Connect(std::make_shared<CableEnd>(a));
    // Each end reported its lines when its cable end was attached, but a's
    // report went nowhere until b's end existed: report a's again.
    ConverterLineState s = a->lineState();
    b->SetInputLines({.cts = s.rts, .dsr = s.dtr, .dcd = s.dtr, .ri = false});
}

// ---------------------------------------------------------------------------
// Scripted peer

std::vector<uint8_t> ScriptedPeer::received() const
{
    std::lock_guard guard(mutex_);
    return received_;
}

std::vector<uint8_t> ScriptedPeer::TakeReceived()
{
    std::lock_guard guard(mutex_);
    return std::exchange(received_, {});
}

bool ScriptedPeer::WaitForBytes(size_t n, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, timeout, [&] { return received_.size() >= n; });
}

bool ScriptedPeer::rts() const
{
    std::lock_guard guard(mutex_);
    return rts_;
}

bool ScriptedPeer::dtr() const
{
    std::lock_guard guard(mutex_);
    return dtr_;
}

std::vector<ScriptedPeer::LineEvent> ScriptedPeer::lineEvents() const
{
    std::lock_guard guard(mutex_);
    return lineEvents_;
}

LineSettings ScriptedPeer::settings() const
{
    std::lock_guard guard(mutex_);
    return settings_;
}

size_t ScriptedPeer::settingsChanges() const
{
    std::lock_guard guard(mutex_);
    return settingsChanges_;
}

void ScriptedPeer::Send(std::span<const uint8_t> bytes)
{
    ConverterDevice *to;
    {
        std::lock_guard guard(mutex_);
        to = converter_;
    }
    if (to)
        to->ReceiveFromLine(bytes, true);
}

void ScriptedPeer::SetLines(const ModemLines &lines)
{
    ConverterDevice *to;
    {
        std::lock_guard guard(mutex_);
        lines_ = lines;
        to = converter_;
    }
    if (to)
        to->SetInputLines(lines);
}

ModemLines ScriptedPeer::lines() const
{
    std::lock_guard guard(mutex_);
    return lines_;
}

void ScriptedPeer::Attached(ConverterDevice *converter)
{
    ModemLines lines;
    {
        std::lock_guard guard(mutex_);
        converter_ = converter;
        lines = lines_;
    }
    if (converter)
        converter->SetInputLines(lines);
}

void ScriptedPeer::OnTransmit(ConverterDevice &, std::span<const uint8_t> bytes)
{
    {
        std::lock_guard guard(mutex_);
        received_.insert(received_.end(), bytes.begin(), bytes.end());
    }
    arrived_.notify_all();
}

void ScriptedPeer::OnOutputLines(ConverterDevice &, bool rts, bool dtr)
{
    std::lock_guard guard(mutex_);
    rts_ = rts;
    dtr_ = dtr;
    lineEvents_.push_back({rts, dtr});
}

void ScriptedPeer::OnSettings(ConverterDevice &, const LineSettings &settings)
{
    std::lock_guard guard(mutex_);
    settings_ = settings;
    ++settingsChanges_;
}

}  // namespace world
