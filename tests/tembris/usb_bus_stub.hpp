// usb_bus_stub.hpp - a scripted USB bus PDO for tembris tests: it answers
// the URBs and internal requests tembris sends as a USB bus driver would
// (descriptors, select configuration, transfers, pipe reset and abort,
// vendor requests, frame number, port status and reset), records each URB as
// it arrived, and keeps bulk, interrupt and isochronous transfers pending
// until the test completes them.
#pragma once

#include "scripted_device.hpp"

extern "C" {
#include <usbdi.h>
}

#include <functional>
#include <mutex>
#include <optional>
#include <string>
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
    size_t PendingTransfers() const { return device_.PendingCount(); }
    bool WaitForTransfers(size_t count) const { return device_.WaitForPending(count); }
    // Completes the oldest pending transfer (or the one given): `in` goes into
    // the buffer of an IN transfer; `bytes` is what the URB reports moved
    // (default: in.size() for IN, the whole request for OUT).
    bool CompleteTransfer(std::vector<uint8_t> in = {}, NTSTATUS status = STATUS_SUCCESS,
                          std::optional<ULONG> bytes = std::nullopt, PIRP which = nullptr);

private:
    testing_support::Answer Handle(const testing_support::RecordedRequest &r);
    testing_support::Answer HandleUrb(PIRP irp, PURB urb);
    void AbortTransfers(PVOID pipeHandle);  // null: every pipe

    testing_support::ScriptedDevice &device_;
    mutable std::mutex lock_;
    std::vector<UrbRecord> urbs_;
    int portResets_ = 0;
};

}  // namespace tembris_test
