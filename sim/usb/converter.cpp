// converter.cpp - the converter's firmware: command interpreter, line state,
// FIFOs, and the serial side towards its peer.
#include "usb/converter.hpp"

#include "usb/peers.hpp"

#include <algorithm>
#include <utility>

namespace world {

namespace {

constexpr uint32_t kBaudV12[] = {9600, 19200, 38400, 115200};
constexpr uint32_t kBaudV3[] = {600, 1200, 2400, 4800, 9600, 19200, 38400, 76800, 115200};
constexpr uint8_t kCmdLineSetting = 0x00;
constexpr uint8_t kCmdModemControl = 0x01;
constexpr uint64_t kNsPerFrame = 1'000'000;

Frame FrameOfNs(uint64_t ns) { return (ns + kNsPerFrame - 1) / kNsPerFrame; }

}  // namespace

std::span<const uint32_t> BaudTableV12() { return kBaudV12; }
std::span<const uint32_t> BaudTableV3() { return kBaudV3; }

std::string ToString(const LineSettings &s)
{
    const char parity = s.parity == Parity::None ? 'N' : s.parity == Parity::Odd ? 'O' : 'E';
    return std::to_string(s.baud) + " " + std::to_string(s.dataBits) + parity + std::to_string(s.stopBits) +
           (s.flag ? " flag" : "");
}

ConverterDevice::ConverterDevice(int variant, ConverterOptions options)
    : variant_(variant), options_(options), rx_(std::max<size_t>(options.rxBufferSize, 1))
{
    if (options_.statusInterval == 0)
        options_.statusInterval = 1;
    paced_.store(options_.pacing, std::memory_order_relaxed);
    std::vector<EndpointSpec> endpoints{{kBulkOut, USB_ENDPOINT_TYPE_BULK, 64, 0},
                                        {kBulkIn, USB_ENDPOINT_TYPE_BULK, 64, 0}};
    if (variant_ != 0)
        endpoints.push_back({kStatusIn, USB_ENDPOINT_TYPE_INTERRUPT, 8, options_.statusInterval});
    deviceDescriptor_ = MakeDeviceDescriptor(options_.vendorId, options_.productId, uint16_t(0x0100 + variant_));
    configurationDescriptor_ = MakeConfigurationDescriptor(0xFF, 0x00, 0x00, endpoints);
}

ConverterDevice::~ConverterDevice()
{
    std::shared_ptr<SerialPeer> old;
    {
        std::lock_guard guard(peerMutex_);
        old.swap(peer_);
    }
    if (old)
        old->Attached(nullptr);
}

ConverterLineState ConverterDevice::lineState() const
{
    std::lock_guard guard(mutex_);
    ConverterLineState s = state_;
    s.statusByte = StatusByte();
    return s;
}

std::vector<ControlRecord> ConverterDevice::vendorRequests() const
{
    std::vector<ControlRecord> vendor;
    for (ControlRecord &r : controlRequests())
        if (r.setup.bmRequestType == 0x40 && r.setup.bRequest == kVendorCommandRequest)
            vendor.push_back(std::move(r));
    return vendor;
}

size_t ConverterDevice::rxPending() const
{
    std::lock_guard guard(mutex_);
    return rx_.size() + rxWire_.size();
}

uint64_t ConverterDevice::rxLostBytes() const
{
    std::lock_guard guard(mutex_);
    return rxLost_;
}

size_t ConverterDevice::txPending() const
{
    std::lock_guard guard(mutex_);
    return txWire_.size();
}

uint64_t ConverterDevice::bytesFromHost() const
{
    std::lock_guard guard(mutex_);
    return fromHost_;
}

uint64_t ConverterDevice::bytesToHost() const
{
    std::lock_guard guard(mutex_);
    return toHost_;
}

void ConverterDevice::SetLatency(unsigned frames)
{
    {
        std::lock_guard guard(mutex_);
        options_.latencyFrames = frames;
    }
    WakeController();
}

void ConverterDevice::SetLineReady(bool ready)
{
    {
        std::lock_guard guard(mutex_);
        lineReady_ = ready;
    }
    if (ready)
        WakeController();
}

void ConverterDevice::ForceLineSettings(const LineSettings &settings)
{
    {
        std::lock_guard guard(mutex_);
        state_.settings = settings;
        settingsDirty_ = true;
        NoteCallout();
    }
    AfterUnlock();
}

void ConverterDevice::SetPacing(bool on)
{
    {
        std::lock_guard guard(mutex_);
        options_.pacing = on;
        paced_.store(on, std::memory_order_relaxed);
        if (!on) {
            // Whatever is on its way moves at once.
            for (const Paced &p : rxWire_)
                Buffer({&p.byte, 1});
            for (const Paced &p : txWire_)
                outbox_.push_back(p.byte);
            if (!outbox_.empty())
                NoteCallout();
            rxWire_.clear();
            txWire_.clear();
        }
    }
    AfterUnlock();
    WakeController();
}

// ---------------------------------------------------------------------------
// Serial side

void ConverterDevice::Connect(std::shared_ptr<SerialPeer> peer)
{
    SetLineReady(true);  // whatever the last peer said
    std::shared_ptr<SerialPeer> old;
    {
        std::lock_guard guard(peerMutex_);
        old = std::exchange(peer_, peer);
    }
    if (old)
        old->Attached(nullptr);
    if (!peer) {
        SetInputLines({});
        return;
    }
    peer->Attached(this);
    ConverterLineState s = lineState();
    peer->OnSettings(*this, s.settings);
    peer->OnOutputLines(*this, s.rts, s.dtr);
}

std::shared_ptr<SerialPeer> ConverterDevice::peer() const
{
    std::lock_guard guard(peerMutex_);
    return peer_;
}

bool ConverterDevice::pacing() const
{
    std::lock_guard guard(mutex_);
    return options_.pacing;
}

size_t ConverterDevice::OfferFromLine(std::span<const uint8_t> bytes, bool paced)
{
    if (bytes.empty())
        return 0;
    const Frame now = Now();
    size_t taken;
    {
        std::lock_guard guard(mutex_);
        taken = Take(bytes, paced, now, /*wireLimit=*/true);
        if (taken < bytes.size()) {
            offerRefused_ = true;
            NoteCallout();
        }
    }
    if (taken)
        WakeController();
    return taken;
}

void ConverterDevice::ReceiveFromLine(std::span<const uint8_t> bytes, bool paced)
{
    if (bytes.empty())
        return;
    const Frame now = Now();
    {
        std::lock_guard guard(mutex_);
        // A UART that cannot wait puts everything on the wire; only a full
        // receive buffer loses bytes.
        size_t taken = Take(bytes, paced, now, /*wireLimit=*/false);
        rxLost_ += bytes.size() - taken;
    }
    WakeController();
}

// What a sender may hand over now: on a paced line the wire's room, on an
// unpaced one the receive buffer's.
size_t ConverterDevice::OfferRoom() const
{
    if (options_.pacing)
        return kWireBytes - std::min(kWireBytes, rxWire_.size());
    return rx_.space();
}

size_t ConverterDevice::Take(std::span<const uint8_t> bytes, bool paced, Frame now, bool wireLimit)
{
    if (!options_.pacing)
        return rx_.Push(bytes);
    if (!paced) {
        Buffer(bytes);  // already at the line's rate: an overrun loses them
        return bytes.size();
    }
    const size_t n = wireLimit ? std::min(bytes.size(), OfferRoom()) : bytes.size();
    const uint64_t charNs = CharNs();
    for (uint8_t b : bytes.first(n)) {
        uint64_t start = std::max(rxWireFreeNs_, now * kNsPerFrame);
        rxWireFreeNs_ = start + charNs;
        rxWire_.push_back({rxWireFreeNs_, b});
    }
    return n;
}

void ConverterDevice::Buffer(std::span<const uint8_t> bytes)
{
    rxLost_ += bytes.size() - rx_.Push(bytes);
}

void ConverterDevice::SetInputLines(const ModemLines &lines)
{
    bool ring;
    {
        std::lock_guard guard(mutex_);
        ring = lines.ri && !state_.inputs.ri;
        state_.inputs = lines;
    }
    if (ring)
        SignalRemoteWake();
    WakeController();
}

void ConverterDevice::AfterUnlock()
{
    // Most calls leave the peer nothing: one load tells.
    if (!callout_.load(std::memory_order_relaxed))
        return;
    // One thread at a time tells the peer, and it goes on until nothing is
    // left: a second thread that finds bytes while the first is still in the
    // peer leaves them to it, so the peer hears them in the order they were
    // sent.  A peer that makes the converter transmit again from within its
    // call (a loopback) hears those bytes after the call returns.
    // The bytes leave in a buffer that trades places with one the thread
    // keeps, so moving a transfer's bytes to the peer allocates nothing.
    thread_local std::vector<uint8_t> spare;
    std::vector<uint8_t> bytes;
    bool first = true;
    for (;;) {
        bool lines, settings, room;
        LineSettings now;
        bool rts, dtr;
        {
            std::lock_guard guard(mutex_);
            if (first && delivering_)
                return;  // callout_ stays set: the delivering thread looks again
            first = false;
            if (!outbox_.empty()) {
                bytes.swap(outbox_);
                outbox_.swap(spare);
            }
            lines = std::exchange(linesDirty_, false);
            settings = std::exchange(settingsDirty_, false);
            room = offerRefused_ && OfferRoom() > 0;
            if (room)
                offerRefused_ = false;
            callout_.store(offerRefused_, std::memory_order_relaxed);  // a refused sender still waits for room
            now = state_.settings;
            rts = state_.rts;
            dtr = state_.dtr;
            delivering_ = !bytes.empty() || lines || settings || room;
            if (!delivering_)
                break;
        }
        if (std::shared_ptr<SerialPeer> to = peer()) {  // else an open line: the bytes are gone
            if (settings)
                to->OnSettings(*this, now);
            if (lines)
                to->OnOutputLines(*this, rts, dtr);
            if (!bytes.empty())
                to->OnTransmit(*this, bytes);
            if (room)
                to->OnRoom(*this);
        }
        bytes.clear();
        if (bytes.capacity() > spare.capacity())
            spare.swap(bytes);
    }
}

uint8_t ConverterDevice::StatusByte() const
{
    const ModemLines &in = state_.inputs;
    return uint8_t((in.cts ? 0x01 : 0) | (in.dsr ? 0x02 : 0) | (in.dcd ? 0x04 : 0) | (in.ri ? 0x08 : 0));
}

uint64_t ConverterDevice::CharNs() const
{
    return uint64_t(state_.settings.bitsPerChar()) * 1'000'000'000ull / state_.settings.baud;
}

void ConverterDevice::ReleasePaced(Frame now, std::vector<uint8_t> *toPeer)
{
    uint64_t limit = now * kNsPerFrame;
    while (!rxWire_.empty() && rxWire_.front().releaseNs <= limit) {
        Buffer({&rxWire_.front().byte, 1});
        rxWire_.pop_front();
    }
    while (!txWire_.empty() && txWire_.front().releaseNs <= limit) {
        toPeer->push_back(txWire_.front().byte);
        txWire_.pop_front();
    }
}

void ConverterDevice::Advance(Frame now)
{
    if (!paced_.load(std::memory_order_relaxed))
        return;  // the wires stay empty
    {
        std::lock_guard guard(mutex_);
        if (rxWire_.empty() && txWire_.empty())
            return;
        ReleasePaced(now, &outbox_);
        if (!outbox_.empty())
            NoteCallout();
    }
    AfterUnlock();
}

Frame ConverterDevice::NextEvent(Frame) const
{
    if (!paced_.load(std::memory_order_relaxed))
        return kNever;  // the wires stay empty
    std::lock_guard guard(mutex_);
    Frame next = kNever;
    if (!rxWire_.empty())
        next = std::min(next, FrameOfNs(rxWire_.front().releaseNs));
    if (!txWire_.empty())
        next = std::min(next, FrameOfNs(txWire_.front().releaseNs));
    return next;
}

// ---------------------------------------------------------------------------
// USB side

UsbAnswer ConverterDevice::OnTransfer(EndpointTransfer &t)
{
    size_t room = t.buffer.size() - t.done;
    switch (t.endpoint) {
    case kBulkOut: {
        std::span<const uint8_t> bytes = t.buffer.subspan(t.done);
        // The bus may carry only part of the transfer in this frame.
        const bool metered = bytes.size() > t.budget;
        if (metered)
            bytes = bytes.first(t.budget);
        if (!options_.pacing) {
            if (!lineReady_)
                return UsbAnswer::Nak(kNever);  // the far end takes nothing for now: woken when it does
            outbox_.insert(outbox_.end(), bytes.begin(), bytes.end());
            NoteCallout();
            fromHost_ += bytes.size();
            t.done += bytes.size();
            return metered ? UsbAnswer::Nak(t.now + 1) : UsbAnswer::Done();
        }
        // The FIFO takes whole packets (the transfer's last one may be
        // short): a packet it has no room for is NAKed, and comes again.  A
        // FIFO smaller than a packet takes what it holds.
        const size_t packet = std::clamp<size_t>(t.maxPacket, 1, std::max<size_t>(options_.txFifoSize, 1));
        const size_t fifoRoom = options_.txFifoSize - std::min(options_.txFifoSize, txWire_.size());
        size_t n = std::min(bytes.size(), fifoRoom);
        if (n < bytes.size() || (t.done + n < t.buffer.size() && n % packet))
            n -= n % packet;
        uint64_t charNs = CharNs();
        for (size_t k = 0; k < n; ++k) {
            uint64_t start = std::max(txWireFreeNs_, t.now * kNsPerFrame);
            txWireFreeNs_ = start + charNs;
            txWire_.push_back({txWireFreeNs_, bytes[k]});
        }
        fromHost_ += n;
        t.done += n;
        if (t.done == t.buffer.size())
            return UsbAnswer::Done();
        if (n == bytes.size() || txWire_.empty())
            return UsbAnswer::Nak(t.now + 1);  // the FIFO has room: the bus brings more next frame
        return UsbAnswer::Nak(FrameOfNs(txWire_.front().releaseNs));  // room comes as bytes leave
    }
    case kBulkIn: {
        const size_t limit = std::min(room, t.budget);
        // A read that has gone on for the latency timer's time (a busy bus
        // gives it a packet now and then, each a full one) ends here with an
        // empty packet: what it has brought reaches the host, and the host's
        // line-status polling goes on under load too.
        if (t.done > 0 && options_.latencyFrames != ConverterOptions::kNoLatencyTimer &&
            t.now >= t.firstSeen + options_.latencyFrames)
            return UsbAnswer::Done();
        if (!rx_.empty() || room == 0) {
            size_t n = rx_.Pop(t.buffer.subspan(t.done, limit));
            t.done += n;
            toHost_ += n;
            if (n == limit && limit < room)
                return UsbAnswer::Nak(t.now + 1);  // the frame's bandwidth ran out: the rest next frame
            return UsbAnswer::Done();
        }
        if (t.done > 0)
            return UsbAnswer::Done();  // begun in an earlier frame: a short packet ends it
        if (options_.latencyFrames == ConverterOptions::kNoLatencyTimer)
            return UsbAnswer::Nak(kNever);
        Frame deadline = t.firstSeen + options_.latencyFrames;
        if (t.now >= deadline)
            return UsbAnswer::Done();  // latency timer: an empty packet ends the read
        return UsbAnswer::Nak(deadline);
    }
    case kStatusIn: {
        if (variant_ == 0)
            return UsbAnswer::Stall();
        Frame interval = options_.statusInterval;
        if (t.now % interval == 0 && lastStatusSlot_ != t.now) {
            lastStatusSlot_ = t.now;
            if (room > 0) {
                t.buffer[t.done++] = StatusByte();
            }
            return UsbAnswer::Done();
        }
        return UsbAnswer::Nak((t.now / interval + 1) * interval);
    }
    default:
        return UsbAnswer::Stall();
    }
}

UsbAnswer ConverterDevice::OnClassOrVendor(const SetupPacket &setup, std::span<uint8_t> data, size_t *returned)
{
    *returned = 0;
    if (setup.bmRequestType != 0x40 || setup.bRequest != kVendorCommandRequest || !Interpret(data)) {
        ++state_.rejectedCommands;
        return UsbAnswer::Stall();
    }
    return UsbAnswer::Done();
}

bool ConverterDevice::Interpret(std::span<const uint8_t> c)
{
    if (variant_ < 1 || variant_ > 3 || c.empty())
        return false;  // variant 0 has no command interpreter
    LineSettings s = state_.settings;
    switch (c[0]) {
    case kCmdLineSetting:
        if (variant_ != 3) {
            if (c.size() != 2)
                return false;
            uint8_t b = c[1];
            if ((b & 0x40) || (b & 0x30) == 0x30)
                return false;
            s.baud = kBaudV12[b & 0x03];
            s.dataBits = (b & 0x04) ? 8 : 7;
            s.stopBits = (b & 0x08) ? 2 : 1;
            s.parity = (b & 0x10) ? Parity::Even : (b & 0x20) ? Parity::Odd : Parity::None;
            s.flag = (b & 0x80) != 0;
        } else {
            if (c.size() != 3 || c[1] >= std::size(kBaudV3))
                return false;
            uint8_t b = c[2];
            if ((b & 0xD0) || (b & 0x0C) == 0x0C)
                return false;
            s.baud = kBaudV3[c[1]];
            s.dataBits = (b & 0x01) ? 8 : 7;
            s.stopBits = (b & 0x02) ? 2 : 1;
            s.parity = (b & 0x04) ? Parity::Even : (b & 0x08) ? Parity::Odd : Parity::None;
            s.flag = (b & 0x20) != 0;
        }
        state_.settings = s;
        ++state_.lineSettingCommands;
        settingsDirty_ = true;
        NoteCallout();
        return true;
    case kCmdModemControl:
        if (c.size() != 2 || (c[1] & ~0x03))
            return false;
        state_.rts = (c[1] & 0x01) != 0;
        state_.dtr = (c[1] & 0x02) != 0;
        ++state_.modemControlCommands;
        linesDirty_ = true;
        NoteCallout();
        return true;
    default:
        return false;
    }
}

void ConverterDevice::OnBusReset()
{
    ModemLines inputs = state_.inputs;
    state_ = ConverterLineState{};
    state_.inputs = inputs;  // the peer's lines do not change with a reset
    rx_.Clear();
    rxWire_.clear();
    txWire_.clear();
    rxWireFreeNs_ = txWireFreeNs_ = 0;
    lastStatusSlot_ = kNever;
    linesDirty_ = settingsDirty_ = true;
    NoteCallout();
}

}  // namespace world
