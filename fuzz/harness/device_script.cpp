// device_script.cpp - the malicious converter and its run through the world.
#include "device_script.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace fuzzing {

namespace {

// USBD errors a device or its hub can end a transfer with.
constexpr USBD_STATUS kFailures[] = {
    USBD_STATUS_CRC,           USBD_STATUS_BTSTUFF,         USBD_STATUS_DATA_TOGGLE_MISMATCH,
    USBD_STATUS_DEV_NOT_RESPONDING, USBD_STATUS_PID_CHECK_FAILURE, USBD_STATUS_UNEXPECTED_PID,
    USBD_STATUS_DATA_OVERRUN,  USBD_STATUS_DATA_UNDERRUN,   USBD_STATUS_BUFFER_OVERRUN,
    USBD_STATUS_BUFFER_UNDERRUN, USBD_STATUS_NOT_ACCESSED,  USBD_STATUS_FIFO,
    USBD_STATUS_DEVICE_GONE,   USBD_STATUS_ERROR_BUSY,
};

class Reader {
public:
    explicit Reader(std::span<const uint8_t> data) : data_(data) {}
    bool empty() const { return at_ >= data_.size(); }
    uint8_t U8(uint8_t otherwise = 0) { return empty() ? otherwise : data_[at_++]; }
    uint16_t U16(uint16_t otherwise = 0)
    {
        if (data_.size() - std::min(at_, data_.size()) < 2)
            return (at_ = data_.size(), otherwise);
        uint16_t v = uint16_t(data_[at_] | data_[at_ + 1] << 8);
        at_ += 2;
        return v;
    }
    std::vector<uint8_t> Bytes(size_t n)
    {
        n = std::min(n, data_.size() - std::min(at_, data_.size()));
        std::vector<uint8_t> v(data_.begin() + std::ptrdiff_t(at_), data_.begin() + std::ptrdiff_t(at_ + n));
        at_ += n;
        return v;
    }
    std::vector<uint8_t> Rest() { return Bytes(data_.size()); }

private:
    std::span<const uint8_t> data_;
    size_t at_ = 0;
};

}  // namespace

// ---------------------------------------------------------------------------
// Input

Input Parse(std::span<const uint8_t> data)
{
    Reader r(data);
    Input in;
    in.endPointCaps = r.U8(1) % 5;
    uint8_t flags = r.U8(0x1C);
    in.win98Unplug = flags & 0x01;
    in.closeFirst = flags & 0x02;
    in.unplugAfter = (flags >> 2) & 0x07;
    in.deviceDescriptor = r.Bytes(std::min<size_t>(r.U16(), 256));
    in.configurationDescriptor = r.Bytes(std::min<size_t>(r.U16(), 1024));
    in.script = r.Rest();
    return in;
}

std::vector<uint8_t> Serialize(const Input &in)
{
    std::vector<uint8_t> out;
    out.push_back(uint8_t(in.endPointCaps));
    out.push_back(uint8_t((in.win98Unplug ? 1 : 0) | (in.closeFirst ? 2 : 0) | (in.unplugAfter & 7) << 2));
    auto put = [&out](const std::vector<uint8_t> &bytes) {
        out.push_back(uint8_t(bytes.size()));
        out.push_back(uint8_t(bytes.size() >> 8));
        out.insert(out.end(), bytes.begin(), bytes.end());
    };
    put(in.deviceDescriptor);
    put(in.configurationDescriptor);
    out.insert(out.end(), in.script.begin(), in.script.end());
    return out;
}

// ---------------------------------------------------------------------------
// The device

ScriptedConverter::ScriptedConverter(std::span<const uint8_t> script) : script_(script.begin(), script.end()) {}

size_t ScriptedConverter::opsUsed() const
{
    std::lock_guard guard(mutex_);
    return used_;
}

bool ScriptedConverter::Next(Op *op, std::span<const uint8_t> *args)
{
    if (at_ >= script_.size())
        return false;
    *op = Op(script_[at_++] % uint8_t(Op::kCount));
    size_t n = 0;
    switch (*op) {
    case Op::Data:
        n = at_ < script_.size() ? 1 + script_[at_] : 0;
        break;
    case Op::Fail:
    case Op::Nak:
        n = 1;
        break;
    default:
        break;
    }
    n = std::min(n, script_.size() - at_);
    *args = std::span<const uint8_t>(script_).subspan(at_, n);
    at_ += n;
    ++used_;
    return true;
}

world::UsbAnswer ScriptedConverter::Answer(Op op, std::span<const uint8_t> args, world::EndpointTransfer *t,
                                           world::Frame now)
{
    bool in = t && (t->endpoint & 0x80);
    size_t room = t ? t->buffer.size() - t->done : 0;
    switch (op) {
    case Op::Data: {
        std::span<const uint8_t> bytes = args.empty() ? args : args.subspan(1);
        if (!t)
            return world::UsbAnswer::Done();
        size_t n = std::min(bytes.size(), room);
        if (in) {
            std::copy_n(bytes.begin(), n, t->buffer.begin() + std::ptrdiff_t(t->done));
            t->done += n;
            return world::UsbAnswer::Done();  // a short packet ends an IN transfer
        }
        t->done += n;
        return t->done == t->buffer.size() ? world::UsbAnswer::Done() : world::UsbAnswer::Nak(now + 1);
    }
    case Op::Empty:
        return world::UsbAnswer::Done();
    case Op::Stall:
        return world::UsbAnswer::Stall();
    case Op::Fail:
        return world::UsbAnswer::Fail(kFailures[(args.empty() ? 0 : args[0]) % std::size(kFailures)]);
    case Op::Nak: {
        world::Frame until = now + 1 + (args.empty() ? 0 : args[0]);
        nakUntil_[t ? t->endpoint : 0] = until;
        return world::UsbAnswer::Nak(until);
    }
    case Op::Full:
        if (t) {
            if (in)
                for (size_t i = t->done; i < t->buffer.size(); ++i)
                    t->buffer[i] = uint8_t(i * 7 + 1);
            t->done = t->buffer.size();
        }
        return world::UsbAnswer::Done();
    case Op::Gone:
    default:
        gone_ = true;
        return world::UsbAnswer::Fail(USBD_STATUS_DEVICE_GONE);
    }
}

world::UsbAnswer ScriptedConverter::OnTransfer(world::EndpointTransfer &t)
{
    if (gone_)
        return world::UsbAnswer::Fail(USBD_STATUS_DEVICE_GONE);
    auto nak = nakUntil_.find(t.endpoint);
    if (nak != nakUntil_.end() && t.now < nak->second)
        return world::UsbAnswer::Nak(nak->second);
    Op op;
    std::span<const uint8_t> args;
    if (!Next(&op, &args)) {
        // An idle converter: reads end empty after its latency time, writes go out.
        if (t.endpoint & 0x80)
            return t.now >= t.firstSeen + 16 ? world::UsbAnswer::Done() : world::UsbAnswer::Nak(t.firstSeen + 16);
        t.done = t.buffer.size();
        return world::UsbAnswer::Done();
    }
    return Answer(op, args, &t, t.now);
}

world::UsbAnswer ScriptedConverter::OnClassOrVendor(const world::SetupPacket &setup, std::span<uint8_t> data,
                                                    size_t *returned)
{
    *returned = 0;
    if (gone_)
        return world::UsbAnswer::Fail(USBD_STATUS_DEVICE_GONE);
    Op op;
    std::span<const uint8_t> args;
    if (!Next(&op, &args))
        return world::UsbAnswer::Done();
    if (op == Op::Data && setup.deviceToHost() && args.size() > 1) {
        size_t n = std::min(args.size() - 1, data.size());
        std::copy_n(args.begin() + 1, n, data.begin());
        *returned = n;
    }
    if (op == Op::Nak)
        return world::UsbAnswer::Stall();  // a control transfer NAKed past its time fails as a stall would
    return Answer(op, args, nullptr, Now());
}

}  // namespace fuzzing
