// peers.cpp - loopback plug, null-modem cable and the scripted peer.
#include "usb/peers.hpp"

namespace world {

// ---------------------------------------------------------------------------
// Loopback plug

void LoopbackPlug::OnTransmit(ConverterDevice &from, std::span<const uint8_t> bytes)
{
    std::lock_guard guard(mutex_);
    if (!waiting_.empty()) {  // behind what is already waiting, in order
        waiting_.insert(waiting_.end(), bytes.begin(), bytes.end());
        return;
    }
    size_t taken = from.OfferFromLine(bytes);
    if (taken < bytes.size()) {
        waiting_.assign(bytes.begin() + taken, bytes.end());
        from.SetLineReady(false);
    }
}

void LoopbackPlug::OnRoom(ConverterDevice &from)
{
    std::lock_guard guard(mutex_);
    if (waiting_.empty())
        return;
    size_t taken = from.OfferFromLine(waiting_);
    waiting_.erase(waiting_.begin(), waiting_.begin() + taken);
    if (waiting_.empty())
        from.SetLineReady(true);
}

void LoopbackPlug::OnOutputLines(ConverterDevice &from, bool rts, bool dtr)
{
    from.SetInputLines({.cts = rts, .dsr = dtr, .dcd = dtr, .ri = false});
}

// ---------------------------------------------------------------------------
// Null-modem cable

namespace {

// Both ends of one cable: what each converter transmitted that the other
// could not take yet.  The receiver's room is reported to its own end, and
// the bytes waiting for it belong to the other end.
struct Cable {
    std::mutex mutex;
    std::weak_ptr<UsbDevice> ends[2];
    std::vector<uint8_t> waiting[2];  // waiting[i]: sent by ends[i], for the other
};

class CableEnd : public SerialPeer {
public:
    CableEnd(std::shared_ptr<Cable> cable, int self) : cable_(std::move(cable)), self_(self) {}

    void OnTransmit(ConverterDevice &from, std::span<const uint8_t> bytes) override
    {
        std::lock_guard guard(cable_->mutex);
        std::vector<uint8_t> &waiting = cable_->waiting[self_];
        if (!waiting.empty()) {
            waiting.insert(waiting.end(), bytes.begin(), bytes.end());
            return;
        }
        auto other = End(1 - self_);
        if (!other)
            return;  // the other converter is gone: the bytes fall off the cable
        size_t taken = other->OfferFromLine(bytes);
        if (taken < bytes.size()) {
            waiting.assign(bytes.begin() + taken, bytes.end());
            from.SetLineReady(false);
        }
    }
    void OnRoom(ConverterDevice &receiver) override
    {
        std::lock_guard guard(cable_->mutex);
        std::vector<uint8_t> &waiting = cable_->waiting[1 - self_];
        if (waiting.empty())
            return;
        size_t taken = receiver.OfferFromLine(waiting);
        waiting.erase(waiting.begin(), waiting.begin() + taken);
        if (auto sender = End(1 - self_); sender && waiting.empty())
            sender->SetLineReady(true);
    }
    void OnOutputLines(ConverterDevice &, bool rts, bool dtr) override
    {
        if (auto other = End(1 - self_))
            other->SetInputLines({.cts = rts, .dsr = dtr, .dcd = dtr, .ri = false});
    }

private:
    std::shared_ptr<ConverterDevice> End(int i) const
    {
        return std::static_pointer_cast<ConverterDevice>(cable_->ends[i].lock());
    }
    std::shared_ptr<Cable> cable_;
    int self_;
};

}  // namespace

void NullModemCable::Connect(const std::shared_ptr<ConverterDevice> &a, const std::shared_ptr<ConverterDevice> &b)
{
    auto cable = std::make_shared<Cable>();
    cable->ends[0] = a;
    cable->ends[1] = b;
    a->Connect(std::make_shared<CableEnd>(cable, 0));
    b->Connect(std::make_shared<CableEnd>(cable, 1));
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
