// power.cpp - the power manager's calls: PoCallDriver (with its hand-off to
// a passive-level worker for pageable devices), PoStartNextPowerIrp,
// PoSetPowerState and PoRequestPowerIrp.
#include "kernel.hpp"

#include <deque>
#include <thread>
#include <unordered_map>

using namespace platform::detail;

namespace {

struct PowerState {
    std::mutex lock;
    std::vector<platform::PowerStateRecord> calls;
    std::unordered_map<PDEVICE_OBJECT, POWER_STATE> deviceStates;
    NTSTATUS failNextRequest = STATUS_SUCCESS;
    // Worker for power requests sent at raised IRQL to pageable devices.
    std::deque<std::pair<PDEVICE_OBJECT, PIRP>> queue;
    std::condition_variable changed;
    int busy = 0;
    bool workerStarted = false;
};

PowerState &Power()
{
    static PowerState *state = new PowerState;
    return *state;
}

void PassiveWorker()
{
    PowerState &p = Power();
    for (;;) {
        std::pair<PDEVICE_OBJECT, PIRP> item;
        {
            std::unique_lock<std::mutex> guard(p.lock);
            p.changed.wait(guard, [&] { return !p.queue.empty(); });
            item = p.queue.front();
            p.queue.pop_front();
        }
        IofCallDriver(item.first, item.second);
        {
            std::lock_guard<std::mutex> guard(p.lock);
            --p.busy;
        }
        p.changed.notify_all();
    }
}

}  // namespace

namespace platform::detail {

// Waits until no power request is waiting for or running on the worker.
void DrainPowerWorker()
{
    PowerState &p = Power();
    std::unique_lock<std::mutex> guard(p.lock);
    p.changed.wait(guard, [&] { return p.busy == 0; });
}

}  // namespace platform::detail

extern "C" {

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT device, PIRP irp)
{
    if (IoGetNextIrpStackLocation(irp)->MajorFunction != IRP_MJ_POWER)
        ViolateF("PO_CALL_DRIVER_NOT_POWER", "PoCallDriver(%p) with a request that is not a power request",
                 (void *)device);
    if (ThreadIrql() > DISPATCH_LEVEL)
        ViolateF("IRQL_NOT_LESS_OR_EQUAL", "PoCallDriver at IRQL %u", ThreadIrql());
    if (ThreadIrql() == PASSIVE_LEVEL || !(device->Flags & DO_POWER_PAGABLE))
        return IofCallDriver(device, irp);
    // A pageable device takes its power requests at PASSIVE_LEVEL: the power
    // manager hands this one to its worker thread.
    PowerState &p = Power();
    {
        std::lock_guard<std::mutex> guard(p.lock);
        if (!p.workerStarted) {
            std::thread(PassiveWorker).detach();
            p.workerStarted = true;
        }
        ++p.busy;
        p.queue.emplace_back(device, irp);
    }
    p.changed.notify_all();
    return STATUS_PENDING;
}

void NTAPI PoStartNextPowerIrp(PIRP irp)
{
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_POWER)
        ViolateF("PO_START_NEXT_NOT_POWER", "PoStartNextPowerIrp(%p) on a request that is not a power request",
                 (void *)irp);
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
