// fake_norva.hpp - norva's twelve exports played by the test: it records the
// calls the port model makes, keeps the callbacks it registers, and lets the
// test call them as norva's engines would (at DISPATCH_LEVEL, on any thread).
// The filter device is a scripted device that records the port's
// device-control requests.
#pragma once

#include <fixture.hpp>
#include <scripted_device.hpp>

#include "port/port_model.hpp"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace port_test {

class FakeNorva {
public:
    FakeNorva() { current_ = this; }
    ~FakeNorva() { current_ = nullptr; }

    world::NorvaExports Exports() const
    {
        world::NorvaExports e;
        e.GetEndPointCaps = &GetEndPointCaps;
        e.GetNextPDO = &GetNextPDO;
        e.KickTx = &KickTx;
        e.RxThreadStart = &RxThreadStart;
        e.RxThreadStop = &RxThreadStop;
        e.SetRemoveCallback = &SetRemoveCallback;
        e.TransmitChar = &TransmitChar;
        e.TxThreadStart = &TxThreadStart;
        e.TxThreadStop = &TxThreadStop;
        return e;
    }

    // What the port asked for, in order ("RxThreadStart", "KickTx" ...).
    std::vector<std::string> Calls() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }
    size_t Count(const std::string &name) const
    {
        size_t n = 0;
        for (const std::string &c : Calls())
            n += c == name;
        return n;
    }

    // Behaviour.
    ULONG variant = 1;
    ULONG rxStartResult = 1;
    ULONG txStartResult = 1;
    std::vector<world::PortHandle> ports;       // what GetNextPDO walks
    std::function<void()> insideRxStart;        // runs inside RxThreadStart
    std::function<void()> insideKick;           // runs inside KickTx

    // Registered by the port.
    PVOID rxContext = nullptr;
    world::PortRxCallback rxCallback = nullptr;
    world::TxThreadParams txParams{};
    PVOID removeContext = nullptr;
    world::PortRemoveCallback removeCallback = nullptr;
    PDEVICE_OBJECT removeRegisteredOn = nullptr;

    // norva's receive engine: a data call, returns the hold flag.
    ULONG Deliver(std::vector<uint8_t> bytes, UCHAR modemStatus = 0)
    {
        ULONG hold = 0;
        platform::AtDispatchLevel(
            [&] { rxCallback(rxContext, bytes.data(), ULONG(bytes.size()), modemStatus, &hold); });
        return hold;
    }
    // A status-only call after a line-status read; returns the hold flag.
    ULONG Status(UCHAR modemStatus)
    {
        ULONG hold = 0;
        platform::AtDispatchLevel([&] { rxCallback(rxContext, nullptr, 0, modemStatus, &hold); });
        return hold;
    }
    // norva's transmit engine asking for up to offered bytes.
    std::vector<uint8_t> Pull(ULONG offered)
    {
        std::vector<uint8_t> buffer(offered);
        ULONG n = 0;
        platform::AtDispatchLevel([&] { n = txParams.pfnTxCallback(txParams.context, buffer.data(), offered, 0); });
        EXPECT_LE(n, offered) << "the transmit callback handed out more than it was offered";
        buffer.resize(std::min(n, offered));
        return buffer;
    }
    // The child PDO being removed: the remove routine at PASSIVE_LEVEL.
    void Remove() { removeCallback(removeContext); }

private:
    void Record(std::string call)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(std::move(call));
    }

    static ULONG NTAPI GetEndPointCaps(PDEVICE_OBJECT) { return current_->variant; }
    static PDEVICE_OBJECT NTAPI GetNextPDO(PDEVICE_OBJECT *filter)
    {
        auto &ports = current_->ports;
        size_t next = 0;
        if (*filter) {
            while (next < ports.size() && ports[next].filter != *filter)
                ++next;
            ++next;
        }
        if (next >= ports.size()) {
            *filter = nullptr;
            return nullptr;
        }
        *filter = ports[next].filter;
        return ports[next].childPdo;
    }
    static void NTAPI KickTx(PDEVICE_OBJECT)
    {
        current_->Record("KickTx");
        if (current_->insideKick)
            current_->insideKick();
    }
    static ULONG NTAPI RxThreadStart(PDEVICE_OBJECT, PVOID context, world::PortRxCallback callback)
    {
        current_->Record("RxThreadStart");
        current_->rxContext = context;
        current_->rxCallback = callback;
        if (current_->insideRxStart)
            current_->insideRxStart();
        current_->Record("RxThreadStart returns");
        return current_->rxStartResult;
    }
    static ULONG NTAPI RxThreadStop(PDEVICE_OBJECT)
    {
        current_->Record("RxThreadStop");
        return 1;
    }
    static ULONG NTAPI SetRemoveCallback(PDEVICE_OBJECT pdo, PVOID context, world::PortRemoveCallback callback)
    {
        current_->Record(callback ? "SetRemoveCallback" : "SetRemoveCallback(null)");
        current_->removeRegisteredOn = pdo;
        current_->removeContext = context;
        current_->removeCallback = callback;
        return 1;
    }
    static ULONG NTAPI TransmitChar(PDEVICE_OBJECT, ULONG c)
    {
        current_->Record("TransmitChar " + std::to_string(c & 0xFF));
        return 1;
    }
    static ULONG NTAPI TxThreadStart(PDEVICE_OBJECT, world::TxThreadParams *params)
    {
        current_->Record("TxThreadStart");
        current_->txParams = *params;
        return current_->txStartResult;
    }
    static ULONG NTAPI TxThreadStop(PDEVICE_OBJECT)
    {
        current_->Record("TxThreadStop");
        return 1;
    }

    static inline FakeNorva *current_ = nullptr;
    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
};

// A filter device and a child PDO (scripted devices standing in for norva's)
// and the fake exports.
class PortTest : public testing_support::KernelTest {
protected:
    PortTest()
        : filter_(devices_.CreatePdo(u"USB\\VID_0000&PID_0001\\1")),
          child_(devices_.CreatePdo(u"VOZ_BUS\\VOZ_0001\\0000"))
    {
        norva_.ports = {{filter_.device(), child_.device()}};
    }

    world::PortHandle Handle() const { return {filter_.device(), child_.device()}; }

    std::unique_ptr<world::PortModel> NewPort(world::PortModel::Options options = {})
    {
        return std::make_unique<world::PortModel>(norva_.Exports(), Handle(), options);
    }

    // The device-control requests the filter device received.
    std::vector<testing_support::RecordedRequest> Controls() const
    {
        return filter_.Requests(IRP_MJ_DEVICE_CONTROL);
    }

    testing_support::ScriptedDriver devices_{u"\\Driver\\norva"};
    testing_support::ScriptedDevice &filter_;
    testing_support::ScriptedDevice &child_;
    FakeNorva norva_;
};

inline std::vector<uint8_t> Pattern(size_t n, uint8_t seed = 0)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = uint8_t(seed + i * 7 + i / 251);
    return v;
}

}  // namespace port_test
