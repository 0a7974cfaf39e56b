// hub.cpp - the world's USB hub driver: PDOs for the devices on its ports,
// their PnP and power requests, and the internal device-control requests
// that reach the host controller.
#include "usb/hub.hpp"

#include "usb/converter.hpp"
#include "usb/host_controller.hpp"

#include <algorithm>
#include <string>

namespace world {

namespace {

struct HubPdoExtension {
    UsbHub *hub;
    HostController *controller;
    HostController::Slot *slot;
    ULONG port;
};

HubPdoExtension *ExtensionOf(PDEVICE_OBJECT pdo) { return static_cast<HubPdoExtension *>(pdo->DeviceExtension); }

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI HubPdoPnp(PDEVICE_OBJECT pdo, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    HubPdoExtension *ext = ExtensionOf(pdo);
    switch (sp->MinorFunction) {
    case IRP_MN_REMOVE_DEVICE:
        // The stack above is going: what the device still has outstanding is
        // aborted and the device unconfigured.  The PDO itself stays until the
        // hub deletes it.
        ext->controller->Unconfigure(ext->slot);
        return CompleteWith(irp, STATUS_SUCCESS);
    case IRP_MN_START_DEVICE:
        ext->controller->Started(ext->slot);
        return CompleteWith(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        return CompleteWith(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = sp->Parameters.DeviceCapabilities.Capabilities;
        if (caps->Version != 1 || caps->Size < sizeof(DEVICE_CAPABILITIES))
            return CompleteWith(irp, STATUS_UNSUCCESSFUL);
        DEVICE_CAPABILITIES answer = ext->hub->capabilities();
        answer.Size = caps->Size;
        answer.Version = caps->Version;
        answer.Address = answer.UINumber = ext->port;
        *caps = answer;
        return CompleteWith(irp, STATUS_SUCCESS);
    }
    default: {
        // A bus driver completes what it does not handle with the status the
        // request came with.
        NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    }
}

// A wait-wake the device can honour: the system state it is to wake from is
// one the capabilities allow.
bool CanArmWake(const DEVICE_CAPABILITIES &caps, SYSTEM_POWER_STATE from)
{
    return caps.SystemWake != PowerSystemUnspecified && caps.DeviceWake != PowerDeviceUnspecified &&
           from > PowerSystemUnspecified && from <= caps.SystemWake;
}

NTSTATUS NTAPI HubPdoPower(PDEVICE_OBJECT pdo, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    HubPdoExtension *ext = ExtensionOf(pdo);
    PoStartNextPowerIrp(irp);
    switch (sp->MinorFunction) {
    case IRP_MN_SET_POWER:
        if (sp->Parameters.Power.Type == DevicePowerState) {
            // The port follows the device: suspended in D1-D3, running in D0.
            ext->controller->SetDevicePower(ext->slot, sp->Parameters.Power.State.DeviceState);
            PoSetPowerState(pdo, DevicePowerState, sp->Parameters.Power.State);
        }
        return CompleteWith(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_POWER:
        return CompleteWith(irp, STATUS_SUCCESS);
    case IRP_MN_WAIT_WAKE:
        if (!CanArmWake(ext->hub->capabilities(), sp->Parameters.WaitWake.PowerState))
            return CompleteWith(irp, STATUS_INVALID_DEVICE_STATE);
        return ext->controller->WaitWake(ext->slot, irp);
    default: {
        NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    }
}

NTSTATUS NTAPI HubPdoInternalControl(PDEVICE_OBJECT pdo, PIRP irp)
{
    HubPdoExtension *ext = ExtensionOf(pdo);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
        return ext->controller->SubmitUrb(ext->slot, irp);
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
        return ext->controller->GetPortStatus(ext->slot, irp);
    case IOCTL_INTERNAL_USB_RESET_PORT:
        return ext->controller->ResetPort(ext->slot, irp);
    default:
        irp->IoStatus.Information = 0;
        return CompleteWith(irp, STATUS_NOT_SUPPORTED);
    }
}

}  // namespace

HostController *ControllerOfPdo(PDEVICE_OBJECT pdo) { return ExtensionOf(pdo)->controller; }

DEVICE_CAPABILITIES WakeableUsbDeviceCapabilities()
{
    DEVICE_CAPABILITIES c{};
    c.Size = sizeof(DEVICE_CAPABILITIES);
    c.Version = 1;
    c.DeviceD1 = 0;
    c.DeviceD2 = 1;
    c.Removable = 1;
    c.WakeFromD2 = 1;
    c.DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
    c.DeviceState[PowerSystemWorking] = PowerDeviceD0;
    c.DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
    c.DeviceState[PowerSystemSleeping2] = PowerDeviceD2;
    c.DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
    c.DeviceState[PowerSystemHibernate] = PowerDeviceD3;
    c.DeviceState[PowerSystemShutdown] = PowerDeviceD3;
    c.SystemWake = PowerSystemSleeping3;
    c.DeviceWake = PowerDeviceD2;
    return c;
}

UsbHub::UsbHub(ClockMode mode, unsigned ports)
    : ports_(std::clamp(ports, 1u, kMaxPorts)), portPdos_(ports_, nullptr),
      controller_(std::make_unique<HostController>(mode))
{
    driver_ = platform::CreateDriverObject(u"\\Driver\\usbhub");
    driver_->MajorFunction[IRP_MJ_PNP] = HubPdoPnp;
    driver_->MajorFunction[IRP_MJ_POWER] = HubPdoPower;
    driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = HubPdoInternalControl;

    capabilities_ = WakeableUsbDeviceCapabilities();
}

UsbHub::~UsbHub()
{
    // Every request the controller holds is completed before a PDO goes.
    controller_->Shutdown();
    while (driver_->DeviceObject)
        DeletePdo(driver_->DeviceObject);
    platform::DeleteDriverObject(driver_);
}

PDEVICE_OBJECT UsbHub::Plug(std::shared_ptr<UsbDevice> device, unsigned port, std::string *why)
{
    auto refuse = [why](std::string reason) -> PDEVICE_OBJECT {
        if (why)
            *why = std::move(reason);
        return nullptr;
    };
    if (port == 0) {
        auto free = std::find(portPdos_.begin(), portPdos_.end(), nullptr);
        if (free == portPdos_.end())
            return refuse("every one of the hub's " + std::to_string(ports_) + " ports is taken");
        port = unsigned(free - portPdos_.begin()) + 1;
    } else if (port > ports_) {
        return refuse("the hub has ports 1 to " + std::to_string(ports_) + ", not " + std::to_string(port));
    } else if (portPdos_[port - 1]) {
        return refuse("port " + std::to_string(port) + " of the hub is taken");
    }
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status = IoCreateDevice(driver_, sizeof(HubPdoExtension), nullptr, FILE_DEVICE_UNKNOWN,
                                     FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
    if (!NT_SUCCESS(status))
        return refuse("the PDO could not be created");
    auto ext = ExtensionOf(pdo);
    ext->hub = this;
    ext->controller = controller_.get();
    ext->slot = controller_->AddSlot(pdo, std::move(device));
    if (!ext->slot) {
        IoDeleteDevice(pdo);
        return refuse("all 127 addresses of the bus are taken");
    }
    ext->port = port;
    portPdos_[port - 1] = pdo;
    pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return pdo;
}

PDEVICE_OBJECT UsbHub::CreatePdo() { return Plug(std::make_shared<ConverterDevice>(1)); }

void UsbHub::Unplug(PDEVICE_OBJECT pdo) { controller_->Unplug(ExtensionOf(pdo)->slot); }

void UsbHub::DeletePdo(PDEVICE_OBJECT pdo)
{
    HubPdoExtension *ext = ExtensionOf(pdo);
    if (ext->slot) {
        controller_->RemoveSlot(ext->slot);
        ext->slot = nullptr;
    }
    if (ext->port >= 1 && ext->port <= ports_ && portPdos_[ext->port - 1] == pdo)
        portPdos_[ext->port - 1] = nullptr;
    IoDeleteDevice(pdo);
}

unsigned UsbHub::portOf(PDEVICE_OBJECT pdo) const { return ExtensionOf(pdo)->port; }

uint8_t UsbHub::addressOf(PDEVICE_OBJECT pdo) const
{
    const HubPdoExtension *ext = ExtensionOf(pdo);
    return ext->slot ? controller_->address(ext->slot) : 0;
}

PDEVICE_OBJECT UsbHub::PdoAt(unsigned port) const
{
    return port >= 1 && port <= ports_ ? portPdos_[port - 1] : nullptr;
}

std::shared_ptr<UsbDevice> UsbHub::DeviceOf(PDEVICE_OBJECT pdo) const
{
    return controller_->device(ExtensionOf(pdo)->slot);
}

void UsbHub::SetPortEnabled(PDEVICE_OBJECT pdo, bool enabled)
{
    controller_->SetPortEnabled(ExtensionOf(pdo)->slot, enabled);
}

unsigned UsbHub::portResets(PDEVICE_OBJECT pdo) const { return controller_->portResets(ExtensionOf(pdo)->slot); }

std::vector<UrbRecord> UsbHub::urbs(PDEVICE_OBJECT pdo) const { return controller_->urbs(ExtensionOf(pdo)->slot); }

void UsbHub::ClearUrbs(PDEVICE_OBJECT pdo) { controller_->ClearUrbs(ExtensionOf(pdo)->slot); }

void UsbHub::SetUrbLogLimit(size_t records) { controller_->SetUrbLogLimit(records); }

size_t UsbHub::pending(PDEVICE_OBJECT pdo, uint8_t endpoint) const
{
    return controller_->pending(ExtensionOf(pdo)->slot, endpoint);
}

bool UsbHub::WaitPending(PDEVICE_OBJECT pdo, uint8_t endpoint, size_t n, std::chrono::milliseconds timeout) const
{
    return controller_->WaitPending(ExtensionOf(pdo)->slot, endpoint, n, timeout);
}

bool UsbHub::WaitIdle(PDEVICE_OBJECT pdo, std::chrono::milliseconds timeout) const
{
    return controller_->WaitIdle(ExtensionOf(pdo)->slot, timeout);
}

bool UsbHub::suspended(PDEVICE_OBJECT pdo) const { return controller_->suspended(ExtensionOf(pdo)->slot); }

bool UsbHub::waitWakePending(PDEVICE_OBJECT pdo) const
{
    return controller_->waitWakePending(ExtensionOf(pdo)->slot);
}

bool UsbHub::WaitWakeArmed(PDEVICE_OBJECT pdo, std::chrono::milliseconds timeout) const
{
    return controller_->WaitWakeArmed(ExtensionOf(pdo)->slot, timeout);
}

void UsbHub::SetObserver(std::shared_ptr<UrbObserver> observer) { controller_->SetObserver(std::move(observer)); }

void UsbHub::SetClockMode(ClockMode mode) { controller_->SetClockMode(mode); }
ClockMode UsbHub::clockMode() const { return controller_->clockMode(); }
Frame UsbHub::frame() const { return controller_->now(); }

}  // namespace world
