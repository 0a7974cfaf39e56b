// usb_device.hpp - a USB device model as the world's host controller sees it.
//
// A device model answers in USB terms: descriptors are byte tables, a control
// request on the default pipe is answered with data or a STALL, and a
// transfer on one of its endpoints is answered with data (Done), "not yet"
// (Nak: the controller asks again later) or a STALL.  The host controller
// (host_controller.hpp) drives the model from its own thread; the hub
// (hub.hpp) turns URBs into calls of this interface.
//
// Time is the controller's frame counter (1 frame = 1 ms of bus time).  A
// model that will have something to say at a later frame by itself (a
// latency timer, a byte leaving a paced serial line) reports it through
// NextEvent(); a model whose state changes because of the outside world (a
// serial peer sent bytes) calls WakeController().
//
// Faults on demand (any model): StallEndpoint, FailNextTransfer,
// HoldTransfers, HoldControl, StallNextControl.  Descriptors on demand:
// SetDescriptors.
//
// Power: the hub suspends a device's port when the device is put in D1-D3 and
// resumes it at D0.  A suspended device moves nothing on the bus (the
// controller leaves its requests queued) while its own side keeps running: a
// self-powered converter's UART goes on receiving.  While the hub holds a
// wait-wake for it, a suspended device has remote wakeup enabled and may
// signal wake (SignalRemoteWake); the hub then completes the wait-wake.
//
// Every control request the device receives on its default pipe is recorded
// (setup packet and data stage), up to kControlRecordsKept, and can be read
// with controlRequests().
//
// Thread safety: every public member may be called from any thread.  The
// model's state is guarded by mutex_; a model never calls out (to a serial
// peer, to the controller) while holding it.
#pragma once

extern "C" {
#include <usbdi.h>
}

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include <platform/short_lock.hpp>

namespace world {

// Controller time: frames since the controller started.
using Frame = uint64_t;
inline constexpr Frame kNever = UINT64_MAX;

// The 8-byte setup packet of a control transfer.
struct SetupPacket {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;

    bool deviceToHost() const { return (bmRequestType & 0x80) != 0; }
    uint8_t type() const { return (bmRequestType >> 5) & 3; }  // 0 standard, 1 class, 2 vendor
    uint8_t recipient() const { return bmRequestType & 0x1F; }
    std::array<uint8_t, 8> bytes() const;  // as on the wire (little-endian)
};

// One control request as the device received it.
struct ControlRecord {
    SetupPacket setup;
    std::vector<uint8_t> data;  // data stage: what the host sent (OUT) or what the device returned (IN)
    bool stalled = false;       // the device answered with a STALL
    Frame frame = 0;
};

// A device model's answer to one transfer or control request.
struct UsbAnswer {
    enum class Kind { Done, Nak, Stall, Fail };
    Kind kind = Kind::Done;
    Frame retryAt = kNever;  // Nak: the frame at which the answer may change (kNever: when woken)
    USBD_STATUS status = USBD_STATUS_SUCCESS;  // Fail: the USBD status to report

    static UsbAnswer Done() { return {Kind::Done, kNever, USBD_STATUS_SUCCESS}; }
    static UsbAnswer Nak(Frame retryAt = kNever) { return {Kind::Nak, retryAt, USBD_STATUS_SUCCESS}; }
    static UsbAnswer Stall() { return {Kind::Stall, kNever, USBD_STATUS_STALL_PID}; }
    static UsbAnswer Fail(USBD_STATUS s) { return {Kind::Fail, kNever, s}; }
};

// A bulk or interrupt transfer as the device sees it.  The device moves data
// between buffer[done] and its own state and advances done; it answers Done
// when the transfer has ended (a short packet, or the buffer is full), Nak to
// be asked again later.
struct EndpointTransfer {
    uint8_t endpoint = 0;            // address, bit 7 set for IN
    USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
    uint16_t maxPacket = 0;          // of the pipe, as configured
    std::span<uint8_t> buffer;       // the whole transfer buffer
    size_t done = 0;                 // bytes moved so far
    Frame now = 0;                   // the current frame
    Frame firstSeen = 0;             // the frame the device first saw this transfer
    // Bytes the bus can still carry for this transfer in this frame (bulk
    // under virtual time): a device moves at most this many now and answers
    // Nak to go on in a later frame.
    size_t budget = SIZE_MAX;
};

// The link the hub gives a plugged device: how it wakes the controller and
// reads the clock.  Internal to the world.
struct UsbDeviceLink {
    std::function<void()> wake;
    std::function<Frame()> now;
    std::function<void()> remoteWake;  // the suspended device signals resume
};

class UsbDevice : public std::enable_shared_from_this<UsbDevice> {
public:
    UsbDevice();
    virtual ~UsbDevice();
    UsbDevice(const UsbDevice &) = delete;
    UsbDevice &operator=(const UsbDevice &) = delete;

    // --- Descriptors ------------------------------------------------------
    // The device descriptor and the (one) configuration descriptor with its
    // interface and endpoint descriptors, as the device returns them.
    std::vector<uint8_t> deviceDescriptor() const;
    std::vector<uint8_t> configurationDescriptor() const;
    // Serves these bytes instead (a test-given, possibly malformed set).
    // The device answers GET_DESCRIPTOR with them as they are; its firmware
    // keeps working on the endpoints it knows.
    void SetDescriptors(std::vector<uint8_t> device, std::vector<uint8_t> configuration);

    // --- Faults on demand ----------------------------------------------------
    // The endpoint answers its next transaction with a STALL (the host
    // controller then halts the pipe until a RESET_PIPE).  The device-side
    // stall persists until the host clears it (RESET_PIPE).
    void StallEndpoint(uint8_t endpoint);
    // The next transfer on the endpoint ends with this USBD status (a status
    // of the halted class, 0xC..., also halts the pipe).
    void FailNextTransfer(uint8_t endpoint, USBD_STATUS status);
    // While held, transfers on the endpoint are never answered (NAK forever);
    // only a cancel, an abort, an unplug or a release ends them.
    void HoldTransfers(uint8_t endpoint, bool hold);
    // The next control request on the default pipe is answered with a STALL.
    void StallNextControl();
    // While held, requests on the default pipe (vendor requests, descriptor
    // reads, configuration changes, pipe resets) are never answered; they
    // wait in order until a release, a cancel, an unplug or a removal.
    void HoldControl(bool hold);
    bool controlHeld() const;

    // --- Power (called by the hub) -------------------------------------------
    void Suspend();
    void Resume();
    bool suspended() const;
    // Remote wakeup, armed by the hub while it holds a wait-wake.
    void EnableRemoteWake(bool on);
    bool remoteWakeEnabled() const;
    unsigned remoteWakeSignals() const;  // wake signals sent to the hub

    // --- What the device saw -------------------------------------------------
    // The first kControlRecordsKept control requests since the last clear;
    // later ones are counted only.
    static constexpr size_t kControlRecordsKept = 4096;
    std::vector<ControlRecord> controlRequests() const;
    uint64_t controlRequestsLeftOut() const;
    void ClearControlRequests();
    uint8_t configurationValue() const;  // 0 while unconfigured
    unsigned busResets() const;          // port resets seen

    // --- Called by the host controller (its thread, or the hub) -------------
    // A control request on the default pipe; data is the data stage buffer
    // (wLength bytes).  Done with *returned = bytes of an IN data stage.
    UsbAnswer Control(const SetupPacket &setup, std::span<uint8_t> data, size_t *returned, Frame now);
    // A bulk or interrupt transfer (see EndpointTransfer).
    UsbAnswer Transfer(EndpointTransfer &transfer);
    // One isochronous packet in frame `now`: IN fills up to packet.size()
    // bytes and returns the count; OUT consumes the packet.  A negative
    // USBD status in *status marks the packet failed.
    size_t IsoPacket(uint8_t endpoint, std::span<uint8_t> packet, Frame now, USBD_STATUS *status);
    // The frame clock reached `now` (called at least at every frame that
    // NextEvent named, and in frame mode at every frame).
    virtual void Advance(Frame now);
    // The next frame at which the device changes by itself; kNever if none.
    virtual Frame NextEvent(Frame now) const;
    // The port was reset (the device returns to its power-on state).
    void BusReset();
    // The device was unplugged.
    virtual void Unplugged() {}

    void Attach(UsbDeviceLink link);
    void Detach();

protected:
    // What a model supplies.  All are called with mutex_ held.
    virtual UsbAnswer OnTransfer(EndpointTransfer &transfer) { return UsbAnswer::Stall(); }
    virtual size_t OnIsoPacket(uint8_t endpoint, std::span<uint8_t> packet, Frame now, USBD_STATUS *status)
    {
        *status = USBD_STATUS_STALL_PID;
        return 0;
    }
    // Class and vendor requests (standard ones are answered here).
    virtual UsbAnswer OnClassOrVendor(const SetupPacket &setup, std::span<uint8_t> data, size_t *returned)
    {
        return UsbAnswer::Stall();
    }
    virtual void OnConfigured(uint8_t value) {}
    virtual void OnBusReset() {}
    virtual void OnEndpointHaltCleared(uint8_t endpoint) {}
    // Called after every call above, with mutex_ released: the place to call
    // out (a serial peer) with what the call produced.
    virtual void AfterUnlock() {}

    // Wakes the controller: something changed that may answer a NAKed
    // transfer.  Call without holding mutex_.
    void WakeController();
    // Signals resume to the hub if the device is suspended with remote wakeup
    // enabled; false (and nothing sent) otherwise.  Call without mutex_.
    bool SignalRemoteWake();
    Frame Now() const;  // the controller's frame (0 when not plugged)

    mutable platform::ShortLock mutex_;
    std::vector<uint8_t> deviceDescriptor_;
    std::vector<uint8_t> configurationDescriptor_;

private:
    UsbAnswer StandardRequest(const SetupPacket &setup, std::span<uint8_t> data, size_t *returned);
    struct EndpointFaults {
        bool stalled = false;
        bool held = false;
        USBD_STATUS failNext = USBD_STATUS_SUCCESS;
    };
    std::array<EndpointFaults, 256> faults_{};  // by endpoint address
    bool stallNextControl_ = false;
    bool controlHeld_ = false;
    bool suspended_ = false;
    bool remoteWakeEnabled_ = false;
    unsigned remoteWakeSignals_ = 0;
    std::vector<ControlRecord> control_;
    uint64_t controlLeftOut_ = 0;
    uint8_t configuration_ = 0;
    unsigned busResets_ = 0;

    mutable std::mutex linkMutex_;
    UsbDeviceLink link_;
};

// ---------------------------------------------------------------------------
// Descriptor builders (little-endian byte tables).

struct EndpointSpec {
    uint8_t address;      // bit 7 set for IN
    uint8_t attributes;   // USB_ENDPOINT_TYPE_*
    uint16_t maxPacket;
    uint8_t interval;
};

std::vector<uint8_t> MakeDeviceDescriptor(uint16_t vendor, uint16_t product, uint16_t bcdDevice,
                                          uint8_t maxPacket0 = 8);
// One configuration (value 1) with one interface (number 0, alternate 0).
std::vector<uint8_t> MakeConfigurationDescriptor(uint8_t interfaceClass, uint8_t subClass, uint8_t protocol,
                                                 std::span<const EndpointSpec> endpoints, uint8_t maxPower = 50,
                                                 uint8_t attributes = 0x80);

}  // namespace world
