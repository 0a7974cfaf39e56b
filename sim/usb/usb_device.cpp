// usb_device.cpp - the common part of every device model: descriptors,
// standard requests, the control-request log and faults on demand.
#include "usb/usb_device.hpp"

namespace world {

namespace {

constexpr uint8_t kGetDescriptor = 0x06;
constexpr uint8_t kSetConfiguration = 0x09;
constexpr uint8_t kGetConfiguration = 0x08;
constexpr uint8_t kClearFeature = 0x01;
constexpr uint16_t kEndpointHalt = 0x00;

void Put16(std::vector<uint8_t> &v, uint16_t x)
{
    v.push_back(uint8_t(x));
    v.push_back(uint8_t(x >> 8));
}

}  // namespace

std::array<uint8_t, 8> SetupPacket::bytes() const
{
    return {bmRequestType, bRequest, uint8_t(wValue), uint8_t(wValue >> 8),
            uint8_t(wIndex), uint8_t(wIndex >> 8), uint8_t(wLength), uint8_t(wLength >> 8)};
}

UsbDevice::UsbDevice() = default;
UsbDevice::~UsbDevice() = default;

std::vector<uint8_t> UsbDevice::deviceDescriptor() const
{
    std::lock_guard guard(mutex_);
    return deviceDescriptor_;
}

std::vector<uint8_t> UsbDevice::configurationDescriptor() const
{
    std::lock_guard guard(mutex_);
    return configurationDescriptor_;
}

void UsbDevice::SetDescriptors(std::vector<uint8_t> device, std::vector<uint8_t> configuration)
{
    std::lock_guard guard(mutex_);
    deviceDescriptor_ = std::move(device);
    configurationDescriptor_ = std::move(configuration);
}

void UsbDevice::StallEndpoint(uint8_t endpoint)
{
    {
        std::lock_guard guard(mutex_);
        faults_[endpoint].stalled = true;
    }
    WakeController();
}

void UsbDevice::FailNextTransfer(uint8_t endpoint, USBD_STATUS status)
{
    {
        std::lock_guard guard(mutex_);
        faults_[endpoint].failNext = status;
    }
    WakeController();
}

void UsbDevice::HoldTransfers(uint8_t endpoint, bool hold)
{
    {
        std::lock_guard guard(mutex_);
        faults_[endpoint].held = hold;
    }
    WakeController();
}

void UsbDevice::StallNextControl()
{
    std::lock_guard guard(mutex_);
    stallNextControl_ = true;
}

void UsbDevice::HoldControl(bool hold)
{
    {
        std::lock_guard guard(mutex_);
        controlHeld_ = hold;
    }
    WakeController();
}

bool UsbDevice::controlHeld() const
{
    std::lock_guard guard(mutex_);
    return controlHeld_;
}

void UsbDevice::Suspend()
{
    std::lock_guard guard(mutex_);
    suspended_ = true;
}

void UsbDevice::Resume()
{
    std::lock_guard guard(mutex_);
    suspended_ = false;
}

bool UsbDevice::suspended() const
{
    std::lock_guard guard(mutex_);
    return suspended_;
}

void UsbDevice::EnableRemoteWake(bool on)
{
    std::lock_guard guard(mutex_);
    remoteWakeEnabled_ = on;
}

bool UsbDevice::remoteWakeEnabled() const
{
    std::lock_guard guard(mutex_);
    return remoteWakeEnabled_;
}

unsigned UsbDevice::remoteWakeSignals() const
{
    std::lock_guard guard(mutex_);
    return remoteWakeSignals_;
}

bool UsbDevice::SignalRemoteWake()
{
    {
        std::lock_guard guard(mutex_);
        if (!suspended_ || !remoteWakeEnabled_)
            return false;
        ++remoteWakeSignals_;
    }
    std::function<void()> signal;
    {
        std::lock_guard guard(linkMutex_);
        signal = link_.remoteWake;
    }
    if (signal)
        signal();
    return true;
}

std::vector<ControlRecord> UsbDevice::controlRequests() const
{
    std::lock_guard guard(mutex_);
    return control_;
}

uint64_t UsbDevice::controlRequestsLeftOut() const
{
    std::lock_guard guard(mutex_);
    return controlLeftOut_;
}

void UsbDevice::ClearControlRequests()
{
    std::lock_guard guard(mutex_);
    control_.clear();
    controlLeftOut_ = 0;
}

uint8_t UsbDevice::configurationValue() const
{
    std::lock_guard guard(mutex_);
    return configuration_;
}

unsigned UsbDevice::busResets() const
{
    std::lock_guard guard(mutex_);
    return busResets_;
}

UsbAnswer UsbDevice::Control(const SetupPacket &setup, std::span<uint8_t> data, size_t *returned, Frame now)
{
    *returned = 0;
    UsbAnswer answer;
    {
        std::lock_guard guard(mutex_);
        ControlRecord record{setup, {}, false, now};
        if (!setup.deviceToHost())
            record.data.assign(data.begin(), data.end());
        if (stallNextControl_) {
            stallNextControl_ = false;
            answer = UsbAnswer::Stall();
        } else if (setup.type() == 0) {
            answer = StandardRequest(setup, data, returned);
        } else {
            answer = OnClassOrVendor(setup, data, returned);
        }
        if (answer.kind != UsbAnswer::Kind::Done)
            *returned = 0;
        if (setup.deviceToHost())
            record.data.assign(data.begin(), data.begin() + std::ptrdiff_t(*returned));
        record.stalled = answer.kind == UsbAnswer::Kind::Stall;
        if (control_.size() < kControlRecordsKept)
            control_.push_back(std::move(record));
        else
            ++controlLeftOut_;
    }
    AfterUnlock();
    return answer;
}

UsbAnswer UsbDevice::StandardRequest(const SetupPacket &setup, std::span<uint8_t> data, size_t *returned)
{
    switch (setup.bRequest) {
    case kGetDescriptor: {
        if (!setup.deviceToHost())
            return UsbAnswer::Stall();
        const std::vector<uint8_t> *table = nullptr;
        uint8_t type = uint8_t(setup.wValue >> 8), index = uint8_t(setup.wValue);
        if (type == USB_DEVICE_DESCRIPTOR_TYPE && index == 0)
            table = &deviceDescriptor_;
        else if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && index == 0)
            table = &configurationDescriptor_;
        if (!table || table->empty())
            return UsbAnswer::Stall();  // no such descriptor (strings included)
        size_t n = std::min(table->size(), data.size());
        std::copy_n(table->begin(), n, data.begin());
        *returned = n;
        return UsbAnswer::Done();
    }
    case kSetConfiguration: {
        uint8_t value = uint8_t(setup.wValue);
        uint8_t own = configurationDescriptor_.size() >= 6 ? configurationDescriptor_[5] : 0;
        if (value != 0 && value != own)
            return UsbAnswer::Stall();
        configuration_ = value;
        OnConfigured(value);
        return UsbAnswer::Done();
    }
    case kGetConfiguration:
        if (data.empty())
            return UsbAnswer::Stall();
        data[0] = configuration_;
        *returned = 1;
        return UsbAnswer::Done();
    case kClearFeature:
        if (setup.recipient() == 2 && setup.wValue == kEndpointHalt) {
            uint8_t endpoint = uint8_t(setup.wIndex);
            faults_[endpoint].stalled = false;
            OnEndpointHaltCleared(endpoint);
            return UsbAnswer::Done();
        }
        return UsbAnswer::Stall();
    default:
        return UsbAnswer::Stall();
    }
}

UsbAnswer UsbDevice::Transfer(EndpointTransfer &transfer)
{
    UsbAnswer answer;
    {
        std::lock_guard guard(mutex_);
        EndpointFaults &f = faults_[transfer.endpoint];
        if (f.stalled) {
            answer = UsbAnswer::Stall();
        } else if (f.failNext != USBD_STATUS_SUCCESS) {
            answer = UsbAnswer::Fail(f.failNext);
            f.failNext = USBD_STATUS_SUCCESS;
        } else if (f.held) {
            answer = UsbAnswer::Nak(kNever);
        } else if (configuration_ == 0) {
            answer = UsbAnswer::Fail(USBD_STATUS_DEV_NOT_RESPONDING);  // unconfigured: endpoints do not exist
        } else {
            answer = OnTransfer(transfer);
        }
    }
    AfterUnlock();
    return answer;
}

size_t UsbDevice::IsoPacket(uint8_t endpoint, std::span<uint8_t> packet, Frame now, USBD_STATUS *status)
{
    size_t n = 0;
    {
        std::lock_guard guard(mutex_);
        *status = USBD_STATUS_SUCCESS;
        EndpointFaults &f = faults_[endpoint];
        if (f.failNext != USBD_STATUS_SUCCESS) {
            *status = f.failNext;
            f.failNext = USBD_STATUS_SUCCESS;
        } else if (f.held || f.stalled) {
            *status = USBD_STATUS_NOT_ACCESSED;  // isochronous endpoints do not handshake: the packet is lost
        } else if (configuration_ == 0) {
            *status = USBD_STATUS_DEV_NOT_RESPONDING;
        } else {
            n = OnIsoPacket(endpoint, packet, now, status);
        }
    }
    AfterUnlock();
    return n;
}

void UsbDevice::Advance(Frame) {}

Frame UsbDevice::NextEvent(Frame) const { return kNever; }

void UsbDevice::BusReset()
{
    {
        std::lock_guard guard(mutex_);
        ++busResets_;
        configuration_ = 0;
        for (EndpointFaults &f : faults_)
            f.stalled = false;
        OnBusReset();
    }
    AfterUnlock();
}

void UsbDevice::Attach(UsbDeviceLink link)
{
    std::lock_guard guard(linkMutex_);
    link_ = std::move(link);
}

void UsbDevice::Detach()
{
    std::lock_guard guard(linkMutex_);
    link_ = {};
}

void UsbDevice::WakeController()
{
    std::function<void()> wake;
    {
        std::lock_guard guard(linkMutex_);
        wake = link_.wake;
    }
    if (wake)
        wake();
}

Frame UsbDevice::Now() const
{
    std::lock_guard guard(linkMutex_);
    return link_.now ? link_.now() : 0;
}

// ---------------------------------------------------------------------------

std::vector<uint8_t> MakeDeviceDescriptor(uint16_t vendor, uint16_t product, uint16_t bcdDevice, uint8_t maxPacket0)
{
    std::vector<uint8_t> d{18, USB_DEVICE_DESCRIPTOR_TYPE};
    Put16(d, 0x0110);  // USB 1.1
    d.insert(d.end(), {0xFF, 0x00, 0x00, maxPacket0});
    Put16(d, vendor);
    Put16(d, product);
    Put16(d, bcdDevice);
    d.insert(d.end(), {0, 0, 0, 1});  // no strings, one configuration
    return d;
}

std::vector<uint8_t> MakeConfigurationDescriptor(uint8_t interfaceClass, uint8_t subClass, uint8_t protocol,
                                                 std::span<const EndpointSpec> endpoints, uint8_t maxPower,
                                                 uint8_t attributes)
{
    std::vector<uint8_t> d{9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 1, 1, 0, attributes, maxPower};
    d.insert(d.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, uint8_t(endpoints.size()), interfaceClass, subClass,
                       protocol, 0});
    for (const EndpointSpec &e : endpoints) {
        d.insert(d.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, e.address, e.attributes});
        Put16(d, e.maxPacket);
        d.push_back(e.interval);
    }
    d[2] = uint8_t(d.size());
    d[3] = uint8_t(d.size() >> 8);
    return d;
}

}  // namespace world
