// power.cpp - the power manager's calls: PoCallDriver (with the power
// manager's serialisation and its hand-off to a passive-level thread for
// pageable devices), PoStartNextPowerIrp, PoSetPowerState and
// PoRequestPowerIrp.
//
// Serialisation, as Windows 2000 does it: a device object takes one query-
// or set-power request of each type (system, device) at a time.  PoCallDriver
// holds a second one back (answering STATUS_PENDING, its stack location
// marked pending) until the driver of the device calls PoStartNextPowerIrp
// for the first; the next one is then dispatched on a thread of the power
// manager.  Wait-wake requests are not serialised.
#include "kernel.hpp"

#include <deque>
#include <thread>
#include <unordered_map>

using namespace platform::detail;

namespace {

// A device's serialisation slots, by request type (system, device).
struct DeviceSlots {
    PIRP active[2] = {nullptr, nullptr};
    std::deque<PIRP> waiting[2];
};

struct PowerState {
    std::mutex lock;
    std::vector<platform::PowerStateRecord> calls;
    std::unordered_map<PDEVICE_OBJECT, POWER_STATE> deviceStates;
    NTSTATUS failNextRequest = STATUS_SUCCESS;
    std::unordered_map<PDEVICE_OBJECT, DeviceSlots> slots;
    // Requests being dispatched on the power manager's threads.
    std::condition_variable changed;
    int busy = 0;
};

PowerState &Power()
{
    static PowerState *state = new PowerState;
    return *state;
}

// The slot of a query- or set-power request of this type; -1 for the rest.
int SlotOf(UCHAR minor, POWER_STATE_TYPE type)
{
    if (minor != IRP_MN_SET_POWER && minor != IRP_MN_QUERY_POWER)
        return -1;
    return type == SystemPowerState ? 0 : 1;
}

NTSTATUS SendPower(PDEVICE_OBJECT device, PIRP irp, PowerSend how = PowerSend::Direct)
{
    ThreadSendingPower() = how;
    return IofCallDriver(device, irp);
}

// Dispatches a request at PASSIVE_LEVEL on a thread of the power manager's
// own (a pageable device's request sent at raised IRQL, or one that waited
// for its device's slot).  A thread each: a dispatch routine that waits
// holds up no other request.
void DispatchOnPowerThread(PDEVICE_OBJECT device, PIRP irp)
{
    PowerState &p = Power();
    {
        std::lock_guard<std::mutex> guard(p.lock);
        ++p.busy;
    }
    std::thread([device, irp] {
        SendPower(device, irp, PowerSend::HandedOff);
        PowerState &power = Power();
        {
            std::lock_guard<std::mutex> guard(power.lock);
            --power.busy;
        }
        power.changed.notify_all();
    }).detach();
}

// Sends a request that holds its device's slot (or needs none).
NTSTATUS Deliver(PDEVICE_OBJECT device, PIRP irp)
{
    if (ThreadIrql() == PASSIVE_LEVEL || !(device->Flags & DO_POWER_PAGABLE))
        return SendPower(device, irp);
    // A pageable device takes its power requests at PASSIVE_LEVEL: the power
    // manager hands this one to a thread of its own.
    IoGetNextIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED;
    DispatchOnPowerThread(device, irp);
    return STATUS_PENDING;
}

// Ends `irp`'s hold on the slot of `device`; starts the next waiting
// request of that slot, if any.
void ReleaseSlot(PDEVICE_OBJECT device, PIRP irp, int slot)
{
    PowerState &p = Power();
    PIRP next = nullptr;
    {
        std::lock_guard<std::mutex> guard(p.lock);
        auto it = p.slots.find(device);
        if (it == p.slots.end() || it->second.active[slot] != irp)
            return;
        DeviceSlots &s = it->second;
        s.active[slot] = nullptr;
        if (!s.waiting[slot].empty()) {
            next = s.waiting[slot].front();
            s.waiting[slot].pop_front();
            s.active[slot] = next;
        }
    }
    if (next)
        DispatchOnPowerThread(device, next);
}

}  // namespace

namespace platform::detail {

// Waits until no power request is being dispatched on the power manager's
// threads.
void DrainPowerWorker()
{
    PowerState &p = Power();
    std::unique_lock<std::mutex> guard(p.lock);
    p.changed.wait(guard, [&] { return p.busy == 0; });
}

void ForgetPowerDevice(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> guard(Power().lock);
    Power().slots.erase(device);
}

void ReleasePowerSlot(PIRP irp, PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type)
{
    int slot = SlotOf(minor, type);
    if (slot >= 0)
        ReleaseSlot(device, irp, slot);
}

}  // namespace platform::detail

extern "C" {

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    if (next->MajorFunction != IRP_MJ_POWER)
        ViolateF("PO_CALL_DRIVER_NOT_POWER", "PoCallDriver(%p) with a request that is not a power request",
                 (void *)device);
    KIRQL irql = ThreadIrql();
    if (irql > DISPATCH_LEVEL)
        ViolateF("IRQL_NOT_LESS_OR_EQUAL", "PoCallDriver at IRQL %u", irql);
    // Every device of a stack has the same DO_POWER_PAGABLE: a pageable
    // device may not send to a non-pageable one below (nor the other way),
    // or the power manager calls one of them at the wrong IRQL.
    PDEVICE_OBJECT below = DeviceBelow(device);
    if (below && (device->Flags & DO_POWER_PAGABLE) != (below->Flags & DO_POWER_PAGABLE))
        ViolateF("POWER_PAGABLE_MISMATCH", "device %p %s DO_POWER_PAGABLE but the device %p below it %s",
                 (void *)device, (device->Flags & DO_POWER_PAGABLE) ? "has" : "lacks", (void *)below,
                 (below->Flags & DO_POWER_PAGABLE) ? "has it" : "does not");

    int slot = SlotOf(next->MinorFunction, next->Parameters.Power.Type);
    if (slot >= 0) {
        PowerState &p = Power();
        std::lock_guard<std::mutex> guard(p.lock);
        DeviceSlots &s = p.slots[device];
        if (s.active[slot] != nullptr && s.active[slot] != irp) {
            // The device's driver has not let the previous one go: this one
            // waits, pending for its sender.
            next->Control |= SL_PENDING_RETURNED;
            s.waiting[slot].push_back(irp);
            return STATUS_PENDING;
        }
        s.active[slot] = irp;
    }
    return Deliver(device, irp);
}

void NTAPI PoStartNextPowerIrp(PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MajorFunction != IRP_MJ_POWER) {
        ViolateF("PO_START_NEXT_NOT_POWER", "PoStartNextPowerIrp(%p) on a request that is not a power request",
                 (void *)irp);
        return;
    }
    PDEVICE_OBJECT device = sp->DeviceObject;
    int slot = SlotOf(sp->MinorFunction, sp->Parameters.Power.Type);
    if (slot < 0 || !device)
        return;
    NotePowerStartNext(irp, device);
    ReleaseSlot(device, irp, slot);
}

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT device, POWER_STATE_TYPE type, POWER_STATE state)
{
    PowerState &p = Power();
    std::lock_guard<std::mutex> guard(p.lock);
    p.calls.push_back(platform::PowerStateRecord{device, type, ULONG(state.DeviceState)});
    POWER_STATE old{};
    old.DeviceState = PowerDeviceD0;
    auto it = p.deviceStates.find(device);
    if (it != p.deviceStates.end())
        old = it->second;
    if (type == DevicePowerState)
        p.deviceStates[device] = state;
    return old;
}

NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state,
                                 PREQUEST_POWER_COMPLETE completion, PVOID context, PIRP *irpOut)
{
    if (minor != IRP_MN_SET_POWER && minor != IRP_MN_QUERY_POWER && minor != IRP_MN_WAIT_WAKE)
        return STATUS_INVALID_PARAMETER;
    // Windows 98 sends the request to the stack of the PDO it is given.
    if (!platform::IsPdo(device))
        ViolateF("POWER_REQUEST_NOT_FOR_PDO",
                 "PoRequestPowerIrp(%p, minor 0x%02x) for a device that is not the PDO of its stack", (void *)device,
                 minor);
    // A wait-wake travels at PASSIVE_LEVEL (drivers hold it in their
    // dispatch routines).
    if (minor == IRP_MN_WAIT_WAKE && ThreadIrql() != PASSIVE_LEVEL)
        ViolateF("WAIT_WAKE_ABOVE_PASSIVE", "PoRequestPowerIrp(%p, IRP_MN_WAIT_WAKE) at IRQL %u", (void *)device,
                 ThreadIrql());
    {
        PowerState &p = Power();
        std::lock_guard<std::mutex> guard(p.lock);
        if (p.failNextRequest != STATUS_SUCCESS) {
            NTSTATUS status = p.failNextRequest;
            p.failNextRequest = STATUS_SUCCESS;
            return status;
        }
    }
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
    PIRP irp = AllocateIrp(top->StackSize, IrpKind::Power);
    if (!irp) {
        ObfDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_POWER;
    sp->MinorFunction = minor;
    if (minor == IRP_MN_WAIT_WAKE) {
        sp->Parameters.WaitWake.PowerState = state.SystemState;
    } else {
        sp->Parameters.Power.Type = DevicePowerState;
        sp->Parameters.Power.State = state;
    }
    SetIrpFinisher(irp, [device, minor, state, completion, context, top](PIRP done) {
        if (completion)
            completion(device, minor, state, context, &done->IoStatus);
        ObfDereferenceObject(top);
    });
    if (irpOut)
        *irpOut = irp;
    PoCallDriver(top, irp);
    return STATUS_PENDING;
}

}  // extern "C"

namespace platform {

std::vector<PowerStateRecord> PowerStateCalls()
{
    std::lock_guard<std::mutex> guard(Power().lock);
    return Power().calls;
}

void ClearPowerStateCalls()
{
    std::lock_guard<std::mutex> guard(Power().lock);
    Power().calls.clear();
    Power().deviceStates.clear();
}

void FailNextPowerRequest(NTSTATUS status)
{
    std::lock_guard<std::mutex> guard(Power().lock);
    Power().failNextRequest = status;
}

}  // namespace platform
