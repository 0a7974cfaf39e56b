// host_controller_internal.hpp - the host controller's own records, shared
// by its queue side (host_controller.cpp) and its URB side (urb_submit.cpp).
#pragma once

#include "usb/host_controller.hpp"

namespace world {

namespace usb_detail {

constexpr uint8_t kSetConfiguration = 0x09;
constexpr uint8_t kClearFeature = 0x01;

enum class OpKind { Control, SelectConfiguration, Unconfigure, ResetPipe, Abort, Transfer, Isoch };

struct EndpointInfo {
    uint8_t address, attributes, interval;
    uint16_t maxPacket;
};

struct InterfaceInfo {
    PUSBD_INTERFACE_INFORMATION info;  // in the caller's URB
    uint8_t cls, subClass, protocol;
    std::vector<EndpointInfo> endpoints;
};

// The URB log of one device: its newest records, up to a limit, in a ring
// that grows to the limit and then overwrites its oldest.  Records are
// numbered from the device's first URB on.
class UrbLog {
public:
    // Appends a record, dropping the oldest beyond `limit` (at least one is
    // kept); returns its number.
    uint64_t Push(const UrbRecord &record, size_t limit);
    // The record numbered `index`, if still kept.
    UrbRecord *At(uint64_t index)
    {
        if (index < base_ || index - base_ >= count_)
            return nullptr;
        return &ring_[Slot(size_t(index - base_))];
    }
    UrbRecord &back() { return ring_[Slot(count_ - 1)]; }  // the newest (at least one kept)
    size_t size() const { return count_; }
    std::vector<UrbRecord> Records() const;  // oldest first
    void Clear();                            // forgets every record kept; numbering goes on

private:
    size_t Slot(size_t k) const
    {
        size_t at = head_ + k;
        return at < ring_.size() ? at : at - ring_.size();
    }
    std::vector<UrbRecord> ring_;
    size_t head_ = 0;    // where the oldest is
    size_t count_ = 0;   // records kept
    uint64_t base_ = 0;  // the oldest's number
};
// The URB's final fields for a request that ends with `status`.
void FillUrb(PURB urb, OpKind kind, size_t done, USBD_STATUS status);

}  // namespace usb_detail

struct HostController::Pipe {
    USBD_PIPE_HANDLE handle = nullptr;
    uint8_t endpoint = 0;
    USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
    uint16_t maxPacket = 0;
    uint8_t interval = 0;
    ULONG maxTransfer = 0;
    bool halted = false;
    Frame isoNext = 0;  // first frame after the isochronous transfers queued so far
    OpQueue queue;
};

struct HostController::Op {
    // One comes and goes with every transfer: freed ones are kept for the
    // next (host_controller.cpp).
    static void *operator new(size_t bytes);
    static void operator delete(void *p, size_t bytes);

    PIRP irp = nullptr;
    PURB urb = nullptr;
    usb_detail::OpKind kind = usb_detail::OpKind::Control;
    uint64_t seq = 0;
    Frame submitted = 0;
    uint64_t record = 0;  // its number in the slot's URB log
    bool doomed = false;  // its completion lost the race with its cancel routine
    // Control requests
    SetupPacket setup;
    // Transfers
    std::span<uint8_t> buffer;
    size_t done = 0;
    Frame firstSeen = kNever;
    // Pipe requests (looked up by handle when served)
    USBD_PIPE_HANDLE pipeHandle = nullptr;
    // Select configuration
    uint8_t configValue = 0;
    std::vector<usb_detail::InterfaceInfo> interfaces;
    // Isochronous
    Frame isoStart = 0;
    ULONG nextPacket = 0;
    // What the observer sees of it on the bus (set at submission, while an
    // observer is attached): its endpoint, and the setup packet of the
    // control transfer a select-configuration or a pipe reset sends.
    struct BusView {
        bool seen = false;
        USBD_PIPE_TYPE type = UsbdPipeTypeControl;
        uint8_t endpoint = 0;
        uint8_t interval = 0;
        uint32_t transferFlags = 0;
        SetupPacket setup;
    } bus;
};

struct HostController::Slot {
    PDEVICE_OBJECT pdo = nullptr;
    std::shared_ptr<UsbDevice> device;
    bool gone = false;
    bool portEnabled = true;
    unsigned portResets = 0;
    uint8_t configValue = 0;
    std::vector<std::unique_ptr<Pipe>> pipes;
    OpQueue control;  // the default pipe, in order
    OpQueue aborts;   // abort requests waiting for their pipe to drain
    OpQueue orphans;  // requests of dropped pipes whose cancel routine runs
    size_t inflight = 0;                      // pended and not yet completed (wait-wake included)
    bool removed = false;                     // IRP_MN_REMOVE_DEVICE seen, no start since
    bool suspended = false;                   // device power D1-D3: the port is suspended
    PIRP waitWake = nullptr;                  // the IRP_MN_WAIT_WAKE held for the device
    // Set by the device's remote-wakeup signal (any thread, no lock); the
    // controller's thread completes the wait-wake.
    std::shared_ptr<std::atomic<bool>> wakeSignal = std::make_shared<std::atomic<bool>>(false);
    usb_detail::UrbLog urbs;
    uint8_t address = 0;                      // on the bus, as the observer sees it
};

}  // namespace world
