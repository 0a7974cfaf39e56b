// broken_filter.hpp - a filter driver that breaks one Windows rule on
// purpose, so that a test can prove the verifier names the rule and the
// offending object.  Every other request passes down untouched, as a
// well-behaved filter passes it.
//
//   ScriptedDriver bus;
//   ScriptedDevice &pdo = bus.CreatePdo(u"TEST\\0000");
//   BrokenFilter filter(pdo.device(), BrokenFilter::Fault::DetachesAtSurpriseRemoval);
//   world::SendPnp(pdo.device(), IRP_MN_SURPRISE_REMOVAL);  // DETACH_DURING_SURPRISE_REMOVAL
#pragma once

#include <platform/platform.hpp>

#include <memory>

namespace testing_support {

class BrokenFilter {
public:
    enum class Fault {
        None,
        // Reads: its completion routine lets the walk go on without
        // IoMarkIrpPending although the request pended below.
        CompletionDropsPending,
        // Reads: completed with the cancel routine still set.
        CompletesWithCancelRoutine,
        // Reads: completed while the filter holds a spin lock.
        CompletesHoldingSpinLock,
        // Reads: completed with STATUS_PENDING as the final status.
        CompletesWithPendingStatus,
        // IRP_MN_QUERY_STOP_DEVICE: failed, then passed down anyway.
        FailsPnpThenPassesDown,
        // PnP and power requests of a minor it does not know: status set to
        // STATUS_SUCCESS on the way down.
        ChangesUnknownStatus,
        // IRP_MN_SURPRISE_REMOVAL: detaches (and deletes at removal).
        DetachesAtSurpriseRemoval,
        // IRP_MN_SURPRISE_REMOVAL: detaches and deletes.
        DeletesAtSurpriseRemoval,
        // IRP_MN_REMOVE_DEVICE: passes it down and keeps its device.
        KeepsDeviceAtRemoval,
        // Reads: passed down, then the dispatch routine returns at
        // DISPATCH_LEVEL.
        ReturnsAtRaisedIrql,
        // Reads: passed down, then the dispatch routine returns holding its
        // spin lock (taken at DPC level: send it at DISPATCH_LEVEL).
        ReturnsHoldingSpinLock,
        // Reads: its completion routine returns at DISPATCH_LEVEL.
        CompletionReturnsAtRaisedIrql,
        // Reads: passed down with a cancel routine still set.
        SendsWithCancelRoutine,
        // Reads: completed with the status 0xFFFFFFFF.
        CompletesWithInvalidStatus,
        // Device controls: completed with more Information than the caller's
        // output buffer holds.
        OverstatesInformation,
        // Power: passed down with IoCallDriver.
        SendsPowerWithIoCallDriver,
        // Power: passed down without PoStartNextPowerIrp.
        PassesPowerWithoutStartNext,
        // Power: failed, then passed down anyway.
        FailsPowerThenPassesDown,
        // Its device lacks DO_POWER_PAGABLE although the device below has it.
        NotPageableAbovePageable,
        // PnP and power requests of a minor it does not know: completed.
        CompletesUnknownRequests,
        // IRP_MN_CANCEL_STOP_DEVICE: failed.
        FailsCancelStop,
    };

    // Creates the filter's device and attaches it on top of target's stack.
    BrokenFilter(PDEVICE_OBJECT target, Fault fault);
    // Detaches and deletes the device if the removal did not.
    ~BrokenFilter();
    BrokenFilter(const BrokenFilter &) = delete;
    BrokenFilter &operator=(const BrokenFilter &) = delete;

    PDEVICE_OBJECT device() const { return device_; }
    PDRIVER_OBJECT driver() const { return driver_; }
    PKSPIN_LOCK lock() const { return &state_->lock; }
    bool deleted() const;

    struct State {
        Fault fault = Fault::None;
        PDEVICE_OBJECT lower = nullptr;
        bool detached = false;
        bool deleted = false;
        KSPIN_LOCK lock = 0;
    };

private:
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    std::unique_ptr<State> state_;
};

}  // namespace testing_support
