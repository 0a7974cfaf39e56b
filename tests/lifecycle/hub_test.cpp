// hub_test.cpp - the hub PDO's side of sleep, wake and removal, driven
// directly as the drivers above it would: wait-wake held and completed from
// the controller's thread, the port suspended with its device, and a request
// that comes after the removal.
#include "lifecycle.hpp"

#include <usb/host_controller.hpp>

extern "C" {
#include <usbdlib.h>
}

#include <atomic>

namespace lifecycle {
namespace {

using world::ConverterDevice;

constexpr NTSTATUS kStatusDeviceBusy = NTSTATUS(0x80000011L);

// A power request sent to the hub PDO that may stay pending there.
class PowerRequest {
public:
    PowerRequest(world::UsbHub &hub, PDEVICE_OBJECT pdo, UCHAR minor,
                 const std::function<void(PIO_STACK_LOCATION)> &prepare)
        : hub_(hub)
    {
        KeInitializeEvent(&done_, NotificationEvent, FALSE);
        irp_ = IoAllocateIrp(pdo->StackSize, FALSE);
        irp_->IoStatus.Status = STATUS_NOT_SUPPORTED;
        PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp_);
        sp->MajorFunction = IRP_MJ_POWER;
        sp->MinorFunction = minor;
        prepare(sp);
        IoSetCompletionRoutine(irp_, Completed, this, TRUE, TRUE, TRUE);
        dispatch_ = PoCallDriver(pdo, irp_);
    }
    ~PowerRequest()
    {
        EXPECT_TRUE(Wait(kWait));
        EXPECT_TRUE(hub_.controller().WaitReleased(irp_, kWait));
        IoFreeIrp(irp_);
    }
    PowerRequest(const PowerRequest &) = delete;
    PowerRequest &operator=(const PowerRequest &) = delete;

    static std::function<void(PIO_STACK_LOCATION)> WakeFrom(SYSTEM_POWER_STATE state)
    {
        return [state](PIO_STACK_LOCATION sp) { sp->Parameters.WaitWake.PowerState = state; };
    }

    PIRP irp() const { return irp_; }
    NTSTATUS dispatch() const { return dispatch_; }
    bool Wait(std::chrono::milliseconds timeout)
    {
        LARGE_INTEGER t;
        t.QuadPart = -LONGLONG(timeout.count()) * 10000;
        return KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, &t) == STATUS_SUCCESS;
    }
    bool completed() { return Wait(0ms); }
    NTSTATUS status() const { return status_; }
    std::thread::id completer() const { return completer_; }
    KIRQL completionIrql() const { return irql_; }

private:
    static NTSTATUS NTAPI Completed(PDEVICE_OBJECT, PIRP irp, PVOID context)
    {
        auto *self = static_cast<PowerRequest *>(context);
        self->status_ = irp->IoStatus.Status;
        self->completer_ = std::this_thread::get_id();
        self->irql_ = KeGetCurrentIrql();
        KeSetEvent(&self->done_, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    world::UsbHub &hub_;
    PIRP irp_ = nullptr;
    KEVENT done_;
    NTSTATUS dispatch_ = STATUS_PENDING;
    NTSTATUS status_ = STATUS_PENDING;
    std::thread::id completer_;
    KIRQL irql_ = PASSIVE_LEVEL;
};

NTSTATUS SetDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state)
{
    return world::SendPower(pdo, IRP_MN_SET_POWER, [state](PIO_STACK_LOCATION sp) {
               sp->Parameters.Power.Type = DevicePowerState;
               sp->Parameters.Power.State.DeviceState = state;
           }).status;
}

world::ModemLines Ring(bool on)
{
    world::ModemLines lines;
    lines.ri = on;
    return lines;
}

class HubPower : public testing_support::KernelTest {
protected:
    HubPower() : hub_(world::ClockMode::Fast)
    {
        device_ = std::make_shared<ConverterDevice>(1);
        peer_ = std::make_shared<world::ScriptedPeer>();
        device_->Connect(peer_);
        pdo_ = hub_.Plug(device_);
    }

    world::UsbHub hub_;
    std::shared_ptr<ConverterDevice> device_;
    std::shared_ptr<world::ScriptedPeer> peer_;
    PDEVICE_OBJECT pdo_ = nullptr;
};

TEST_F(HubPower, WaitWakeIsHeldOnlyForAWakeTheDeviceCanGiveAndOneAtATime)
{
    {
        PowerRequest hibernate(hub_, pdo_, IRP_MN_WAIT_WAKE, PowerRequest::WakeFrom(PowerSystemHibernate));
        EXPECT_EQ(hibernate.dispatch(), STATUS_INVALID_DEVICE_STATE) << "beyond the SystemWake capability";
    }
    PowerRequest first(hub_, pdo_, IRP_MN_WAIT_WAKE, PowerRequest::WakeFrom(PowerSystemSleeping3));
    EXPECT_EQ(first.dispatch(), STATUS_PENDING);
    EXPECT_TRUE(hub_.waitWakePending(pdo_));
    {
        PowerRequest second(hub_, pdo_, IRP_MN_WAIT_WAKE, PowerRequest::WakeFrom(PowerSystemSleeping1));
        EXPECT_EQ(second.dispatch(), kStatusDeviceBusy);
    }
    EXPECT_FALSE(first.completed());
    IoCancelIrp(first.irp());
    ASSERT_TRUE(first.Wait(kWait));
    EXPECT_EQ(first.status(), STATUS_CANCELLED);
    EXPECT_FALSE(hub_.waitWakePending(pdo_));
    EXPECT_FALSE(device_->remoteWakeEnabled());
}

TEST_F(HubPower, CancelledWaitWakeCompletesOnTheControllerThreadNotInline)
{
    PowerRequest wake(hub_, pdo_, IRP_MN_WAIT_WAKE, PowerRequest::WakeFrom(PowerSystemSleeping3));
    ASSERT_EQ(wake.dispatch(), STATUS_PENDING);
    // A canceller may hold a spin lock: the completion never runs inside its call.
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    IoCancelIrp(wake.irp());
    KeReleaseSpinLock(&lock, old);
    ASSERT_TRUE(wake.Wait(kWait));
    EXPECT_NE(wake.completer(), std::this_thread::get_id());
    EXPECT_EQ(wake.completionIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(wake.status(), STATUS_CANCELLED);
}

TEST_F(HubPower, RingWakesOnlyASuspendedDeviceWithItsWakeArmed)
{
    // Suspended without a wake armed: the ring signals nothing.
    ASSERT_EQ(SetDevicePower(pdo_, PowerDeviceD2), STATUS_SUCCESS);
    EXPECT_TRUE(device_->suspended());
    peer_->SetLines(Ring(true));
    peer_->SetLines(Ring(false));
    EXPECT_EQ(device_->remoteWakeSignals(), 0u);
    ASSERT_EQ(SetDevicePower(pdo_, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_FALSE(device_->suspended());

    PowerRequest wake(hub_, pdo_, IRP_MN_WAIT_WAKE, PowerRequest::WakeFrom(PowerSystemSleeping3));
    ASSERT_EQ(wake.dispatch(), STATUS_PENDING);
    EXPECT_TRUE(device_->remoteWakeEnabled());
    // Running: a ring is only a line change.
    peer_->SetLines(Ring(true));
    peer_->SetLines(Ring(false));
    EXPECT_FALSE(wake.Wait(20ms));

    ASSERT_EQ(SetDevicePower(pdo_, PowerDeviceD2), STATUS_SUCCESS);
    peer_->SetLines(Ring(true));
    ASSERT_TRUE(wake.Wait(kWait));
    EXPECT_EQ(wake.status(), STATUS_SUCCESS);
    EXPECT_EQ(device_->remoteWakeSignals(), 1u);
    EXPECT_FALSE(device_->remoteWakeEnabled());
    EXPECT_TRUE(hub_.suspended(pdo_)) << "the port stays suspended until its D0 request";
    ASSERT_EQ(SetDevicePower(pdo_, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_FALSE(hub_.suspended(pdo_));
}

TEST_F(HubPower, UnplugEndsAHeldWaitWakeWithNoSuchDevice)
{
    PowerRequest wake(hub_, pdo_, IRP_MN_WAIT_WAKE, PowerRequest::WakeFrom(PowerSystemSleeping3));
    ASSERT_EQ(wake.dispatch(), STATUS_PENDING);
    ASSERT_EQ(SetDevicePower(pdo_, PowerDeviceD2), STATUS_SUCCESS);
    hub_.Unplug(pdo_);
    ASSERT_TRUE(wake.Wait(kWait));
    EXPECT_EQ(wake.status(), STATUS_NO_SUCH_DEVICE);
    PowerRequest late(hub_, pdo_, IRP_MN_WAIT_WAKE, PowerRequest::WakeFrom(PowerSystemSleeping3));
    EXPECT_EQ(late.dispatch(), STATUS_NO_SUCH_DEVICE);
}

TEST_F(HubPower, RemovalEndsAHeldWaitWakeWithNoSuchDevice)
{
    PowerRequest wake(hub_, pdo_, IRP_MN_WAIT_WAKE, PowerRequest::WakeFrom(PowerSystemSleeping1));
    ASSERT_EQ(wake.dispatch(), STATUS_PENDING);
    EXPECT_EQ(world::SendPnp(pdo_, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_TRUE(wake.completed()) << "ended before the removal returned";
    EXPECT_EQ(wake.status(), STATUS_NO_SUCH_DEVICE);
}

// ---------------------------------------------------------------------------
// Removal

NTSTATUS ReadDeviceDescriptor(PDEVICE_OBJECT pdo)
{
    URB urb{};
    UCHAR descriptor[18] = {};
    UsbBuildGetDescriptorRequest(&urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE, 0, 0,
                                 descriptor, nullptr, sizeof(descriptor), nullptr);
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0, nullptr, 0, TRUE,
                                             &event, &iosb);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
    return platform::CallAndWait(pdo, irp, &event, &iosb);
}

TEST_F(HubPower, RequestAfterTheRemovalIsRefusedAndNeverReachesTheDevice)
{
    EXPECT_EQ(ReadDeviceDescriptor(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(world::SendPnp(pdo_, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    device_->ClearControlRequests();
    EXPECT_EQ(ReadDeviceDescriptor(pdo_), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(device_->controlRequests().empty());
    ASSERT_FALSE(hub_.urbs(pdo_).empty());
    EXPECT_TRUE(hub_.urbs(pdo_).back().afterRemove);
    EXPECT_EQ(hub_.urbs(pdo_).back().status, USBD_STATUS_DEVICE_GONE);

    // A new start lets requests in again.
    EXPECT_EQ(world::SendPnp(pdo_, IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(ReadDeviceDescriptor(pdo_), STATUS_SUCCESS);
    EXPECT_FALSE(hub_.urbs(pdo_).back().afterRemove);
    EXPECT_EQ(device_->controlRequests().size(), 1u);
}

}  // namespace
}  // namespace lifecycle
