// usb_bus_stub.hpp - a scripted USB bus PDO for tembris tests: it answers
// the URBs and internal requests tembris sends as the world's hub does
// (descriptors, select configuration, transfers, pipe reset and abort,
// vendor requests, frame number, port status and reset), records each URB as
// it arrived, and keeps bulk, interrupt and isochronous transfers pending
// until the test completes them.
//
// As the hub, it validates every URB (header length, function, pipe handle
// of the configuration in force, pipe type and direction, the buffer or MDL
// against the length) and completes one that fails at once with the
// failure; every other URB but the frame number is pended and completed
// later at DISPATCH_LEVEL by the stub's own controller thread, never inside
// the IoCallDriver that sent it: requests it answers itself, aborted
// transfers (before their abort), cancelled transfers (after the cancel
// routine has returned), and transfers the test completes.
#pragma once

#include "scripted_device.hpp"

extern "C" {
#include <usbdi.h>
}

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tembris_test {

struct Endpoint {
    UCHAR address = 0;     // bit 7: IN
    UCHAR type = 0;        // USB_ENDPOINT_TYPE_*
    USHORT maxPacket = 64;
    UCHAR interval = 0;
};

// The converter's interface: pipe 0 bulk OUT, pipe 1 bulk IN, pipe 2 interrupt IN.
std::vector<Endpoint> ConverterEndpoints();

// A configuration descriptor with one interface holding the endpoints, then
// `padding` bytes of class-specific descriptors (to make it long).
std::vector<uint8_t> ConfigurationDescriptor(const std::vector<Endpoint> &endpoints, size_t padding = 0);

// One URB as the bus saw it on arrival.
struct UrbRecord {
    USHORT function = 0;
    USHORT length = 0;  // header Length
    PVOID pipeHandle = nullptr;
    ULONG transferFlags = 0;
    ULONG transferBufferLength = 0;
    bool hasMdl = false;
    bool hasBuffer = false;
    UCHAR descriptorType = 0;
    UCHAR request = 0;
    UCHAR requestTypeReservedBits = 0;
    USHORT value = 0;
    USHORT index = 0;
    bool nullConfiguration = false;  // select configuration without a descriptor
    ULONG startFrame = 0;
    ULONG numberOfPackets = 0;
    std::vector<ULONG> packetOffsets;
    std::vector<uint8_t> data;  // vendor request data stage, bulk OUT bytes
};

class UsbBusStub {
public:
    UsbBusStub(testing_support::ScriptedDriver &hub, std::u16string instancePath);

    PDEVICE_OBJECT pdo() const { return device_.device(); }
    testing_support::ScriptedDevice &scripted() { return device_; }

    // What the device answers (change before the start).
    std::vector<uint8_t> deviceDescriptor;
    std::vector<uint8_t> configDescriptor;
    std::vector<Endpoint> endpoints;  // what select configuration reports
    DEVICE_CAPABILITIES capabilities{};
    ULONG portStatus = USBD_PORT_ENABLED | USBD_PORT_CONNECTED;
    ULONG frameNumber = 1000;
    NTSTATUS startStatus = STATUS_SUCCESS;
    bool configDescriptorReturnsNothing = false;
    bool abortCompletesTransfers = true;  // false: aborts leave transfers pending
    // Decides a URB's fate before the bus handles it: a status fails it.
    std::function<std::optional<NTSTATUS>(const UrbRecord &)> fault;

    std::vector<UrbRecord> Urbs() const;
    std::vector<UrbRecord> Urbs(USHORT function) const;
    void ClearUrbs();
    int portResets() const;
    static PVOID PipeHandle(size_t pipe) { return reinterpret_cast<PVOID>(0x5000 + 0x10 * pipe); }

    // Pending transfers, oldest first.
    size_t PendingTransfers() const { return Transfers().size(); }
    bool WaitForTransfers(size_t count) const;
    // Completes the oldest pending transfer (or the one given) from the
    // controller thread and waits until it has: `in` goes into the buffer
    // of an IN transfer; `bytes` is what the URB reports moved (default:
    // in.size() for IN, the whole request for OUT).
    bool CompleteTransfer(std::vector<uint8_t> in = {}, NTSTATUS status = STATUS_SUCCESS,
                          std::optional<ULONG> bytes = std::nullopt, PIRP which = nullptr);
    // Waits until the controller thread has nothing left to do.
    void Drain();

    ~UsbBusStub();

private:
    // The pipes of the configuration in force, by handle.
    struct Pipe {
        UCHAR address = 0;
        UCHAR type = 0;
        ULONG maxTransfer = 0;
    };

    testing_support::Answer Handle(const testing_support::RecordedRequest &r);
    testing_support::Answer HandleUrb(PIRP irp, PURB urb);
    // What the bus does with a URB that passed validation, completed later.
    testing_support::Answer Serve(const UrbRecord &record);
    std::optional<USBD_STATUS> Invalid(PURB urb);
    std::vector<PIRP> Transfers(PVOID pipeHandle = nullptr) const;  // null: every pipe
    void AbortTransfers(PVOID pipeHandle);                            // on the controller thread

    // The controller thread: runs each job at DISPATCH_LEVEL, in order.
    void Post(std::function<void()> job);
    void ControllerLoop();

    testing_support::ScriptedDevice &device_;
    mutable std::mutex lock_;
    std::vector<UrbRecord> urbs_;
    std::map<PVOID, Pipe> pipes_;
    int portResets_ = 0;

    std::mutex jobsLock_;
    std::condition_variable jobsChanged_;
    std::deque<std::function<void()>> jobs_;
    bool running_ = false;
    bool stopping_ = false;
    std::thread controller_;
};

}  // namespace tembris_test
