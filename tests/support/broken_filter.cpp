// broken_filter.cpp - a filter that breaks one rule on purpose.
#include "broken_filter.hpp"

#include <stdexcept>

namespace testing_support {

namespace {

// Kept outside the device object, which may be gone once it is deleted.
using FilterExtension = BrokenFilter::State;

FilterExtension *ExtensionOf(PDEVICE_OBJECT device) { return *static_cast<FilterExtension **>(device->DeviceExtension); }

NTSTATUS PassDown(FilterExtension *ext, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->lower, irp);
}

NTSTATUS CompleteHere(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void NTAPI NeverCalledCancel(PDEVICE_OBJECT, PIRP irp) { IoReleaseCancelSpinLock(irp->CancelIrql); }

// Lets the walk go on but forgets IoMarkIrpPending.
NTSTATUS NTAPI DropPendingCompletion(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_SUCCESS; }

// Lets the walk go on, leaving the IRQL raised.
NTSTATUS NTAPI RaisingCompletion(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI Read(PDEVICE_OBJECT device, PIRP irp)
{
    FilterExtension *ext = ExtensionOf(device);
    switch (ext->fault) {
    case BrokenFilter::Fault::CompletionDropsPending:
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, DropPendingCompletion, nullptr, TRUE, TRUE, TRUE);
        return IoCallDriver(ext->lower, irp);
    case BrokenFilter::Fault::CompletesWithCancelRoutine:
        IoSetCancelRoutine(irp, NeverCalledCancel);
        return CompleteHere(irp, STATUS_SUCCESS);
    case BrokenFilter::Fault::CompletesHoldingSpinLock: {
        KIRQL irql;
        KeAcquireSpinLock(&ext->lock, &irql);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        KeReleaseSpinLock(&ext->lock, irql);
        return STATUS_SUCCESS;
    }
    case BrokenFilter::Fault::CompletesWithPendingStatus:
        IoMarkIrpPending(irp);
        irp->IoStatus.Status = STATUS_PENDING;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_PENDING;
    case BrokenFilter::Fault::ReturnsAtRaisedIrql: {
        NTSTATUS status = PassDown(ext, irp);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        return status;
    }
    case BrokenFilter::Fault::ReturnsHoldingSpinLock: {
        NTSTATUS status = PassDown(ext, irp);
        KeAcquireSpinLockAtDpcLevel(&ext->lock);
        return status;
    }
    case BrokenFilter::Fault::CompletionReturnsAtRaisedIrql:
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, RaisingCompletion, nullptr, TRUE, TRUE, TRUE);
        return IoCallDriver(ext->lower, irp);
    case BrokenFilter::Fault::SendsWithCancelRoutine:
        IoSetCancelRoutine(irp, NeverCalledCancel);
        return PassDown(ext, irp);
    case BrokenFilter::Fault::CompletesWithInvalidStatus:
        return CompleteHere(irp, NTSTATUS(0xFFFFFFFF));
    default:
        return PassDown(ext, irp);
    }
}

NTSTATUS NTAPI DeviceControl(PDEVICE_OBJECT device, PIRP irp)
{
    FilterExtension *ext = ExtensionOf(device);
    if (ext->fault != BrokenFilter::Fault::OverstatesInformation)
        return PassDown(ext, irp);
    ULONG room = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = room + 1;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

void DetachAndDelete(PDEVICE_OBJECT device)
{
    FilterExtension *ext = ExtensionOf(device);
    if (!ext->detached) {
        IoDetachDevice(ext->lower);
        ext->detached = true;
    }
    if (!ext->deleted) {
        ext->deleted = true;
        IoDeleteDevice(device);
    }
}

NTSTATUS NTAPI Pnp(PDEVICE_OBJECT device, PIRP irp)
{
    FilterExtension *ext = ExtensionOf(device);
    using Fault = BrokenFilter::Fault;
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (ext->fault == Fault::FailsPnpThenPassesDown && minor == IRP_MN_QUERY_STOP_DEVICE) {
        irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
        return PassDown(ext, irp);
    }
    if (ext->fault == Fault::ChangesUnknownStatus && minor > 0x19 /* past IRP_MN_DEVICE_ENUMERATED */) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(ext, irp);
    }
    if (ext->fault == Fault::CompletesUnknownRequests && minor > 0x19)
        return CompleteHere(irp, irp->IoStatus.Status);
    if (ext->fault == Fault::FailsCancelStop && minor == IRP_MN_CANCEL_STOP_DEVICE)
        return CompleteHere(irp, STATUS_UNSUCCESSFUL);
    if (minor == IRP_MN_SURPRISE_REMOVAL) {
        NTSTATUS status = (irp->IoStatus.Status = STATUS_SUCCESS, PassDown(ext, irp));
        if (ext->fault == Fault::DetachesAtSurpriseRemoval) {
            IoDetachDevice(ext->lower);
            ext->detached = true;
        } else if (ext->fault == Fault::DeletesAtSurpriseRemoval) {
            DetachAndDelete(device);
        }
        return status;
    }
    if (minor == IRP_MN_REMOVE_DEVICE) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        NTSTATUS status = PassDown(ext, irp);
        if (ext->fault != Fault::KeepsDeviceAtRemoval)
            DetachAndDelete(device);
        return status;
    }
    return PassDown(ext, irp);
}

NTSTATUS NTAPI Power(PDEVICE_OBJECT device, PIRP irp)
{
    FilterExtension *ext = ExtensionOf(device);
    using Fault = BrokenFilter::Fault;
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (ext->fault != Fault::PassesPowerWithoutStartNext)
        PoStartNextPowerIrp(irp);
    if (ext->fault == Fault::CompletesUnknownRequests && minor > IRP_MN_QUERY_POWER)
        return CompleteHere(irp, irp->IoStatus.Status);
    if (ext->fault == Fault::ChangesUnknownStatus && minor > IRP_MN_QUERY_POWER)
        irp->IoStatus.Status = STATUS_SUCCESS;
    if (ext->fault == Fault::FailsPowerThenPassesDown)
        irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
    IoSkipCurrentIrpStackLocation(irp);
    if (ext->fault == Fault::SendsPowerWithIoCallDriver)
        return IoCallDriver(ext->lower, irp);
    return PoCallDriver(ext->lower, irp);
}

NTSTATUS NTAPI Other(PDEVICE_OBJECT device, PIRP irp) { return PassDown(ExtensionOf(device), irp); }

}  // namespace

BrokenFilter::BrokenFilter(PDEVICE_OBJECT target, Fault fault)
    : driver_(platform::CreateDriverObject(u"\\Driver\\Broken"))
{
    for (auto &slot : driver_->MajorFunction)
        slot = Other;
    driver_->MajorFunction[IRP_MJ_READ] = Read;
    driver_->MajorFunction[IRP_MJ_PNP] = Pnp;
    driver_->MajorFunction[IRP_MJ_POWER] = Power;
    driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DeviceControl;
    if (!NT_SUCCESS(IoCreateDevice(driver_, sizeof(State *), nullptr, target->DeviceType, 0, FALSE, &device_)))
        throw std::runtime_error("broken filter: IoCreateDevice failed");
    state_ = std::make_unique<State>();
    FilterExtension *ext = state_.get();
    *static_cast<State **>(device_->DeviceExtension) = ext;
    ext->fault = fault;
    KeInitializeSpinLock(&ext->lock);
    ext->lower = IoAttachDeviceToDeviceStack(device_, target);
    if (!ext->lower)
        throw std::runtime_error("broken filter: attach failed");
    device_->Flags |= ext->lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    if (fault == Fault::NotPageableAbovePageable)
        device_->Flags &= ~DO_POWER_PAGABLE;
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
}

BrokenFilter::~BrokenFilter()
{
    if (!deleted())
        DetachAndDelete(device_);
    platform::DeleteDriverObject(driver_);
}

bool BrokenFilter::deleted() const { return state_->deleted; }

}  // namespace testing_support
