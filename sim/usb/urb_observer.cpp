// urb_observer.cpp - what the hub's observer sees of each URB: the transfer
// it becomes on the bus, when it is submitted, when it ends, or that it was
// refused.  Everything here runs with the controller's lock held.
#include "usb/host_controller_internal.hpp"

#include <algorithm>

namespace world {

using namespace usb_detail;

namespace {

constexpr uint8_t kIn = 0x80;
constexpr uint8_t kEndpointRecipient = 0x02;
constexpr uint8_t kEndpointHalt = 0x00;  // the feature a pipe reset clears

// The isochronous packets of a URB as they stand: at submission the sizes
// asked for (from the offsets), at completion what each moved.
std::vector<UrbEvent::IsoPacket> IsoPackets(const _URB_ISOCH_TRANSFER &u, size_t bufferSize, bool submitted)
{
    std::vector<UrbEvent::IsoPacket> packets(u.NumberOfPackets);
    for (ULONG i = 0; i < u.NumberOfPackets; ++i) {
        const USBD_ISO_PACKET_DESCRIPTOR &d = u.IsoPacket[i];
        ULONG end = i + 1 < u.NumberOfPackets ? u.IsoPacket[i + 1].Offset : ULONG(bufferSize);
        packets[i] = {d.Status, d.Offset, submitted ? end - d.Offset : d.Length};
    }
    return packets;
}

}  // namespace

void HostController::DescribeForObserver(Slot &slot, Op &op)
{
    Op::BusView &bus = op.bus;
    bus = {};
    Pipe *pipe = nullptr;
    switch (op.kind) {
    case OpKind::Control:
        bus.setup = op.setup;
        // A descriptor request takes a short answer; a vendor request says.
        bus.transferFlags = op.urb->UrbHeader.Function == URB_FUNCTION_VENDOR_DEVICE
                                ? op.urb->UrbControlVendorClassRequest.TransferFlags
                                : USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
        break;
    case OpKind::SelectConfiguration:
    case OpKind::Unconfigure:
        bus.setup = {0x00, kSetConfiguration, uint16_t(op.kind == OpKind::Unconfigure ? 0 : op.configValue), 0, 0};
        break;
    case OpKind::ResetPipe:
        pipe = FindPipe(slot, op.pipeHandle);
        if (!pipe || pipe->type == UsbdPipeTypeIsochronous)
            return;  // an isochronous pipe is reset without a request to the device
        bus.setup = {kEndpointRecipient, kClearFeature, kEndpointHalt, pipe->endpoint, 0};
        break;
    case OpKind::Transfer:
        pipe = FindPipe(slot, op.urb->UrbBulkOrInterruptTransfer.PipeHandle);
        bus.transferFlags = op.urb->UrbBulkOrInterruptTransfer.TransferFlags;
        break;
    case OpKind::Isoch:
        pipe = FindPipe(slot, op.urb->UrbIsochronousTransfer.PipeHandle);
        bus.transferFlags = op.urb->UrbIsochronousTransfer.TransferFlags;
        break;
    case OpKind::Abort:
        return;  // nothing on the bus; what it cancels completes as cancelled
    }
    if (op.kind == OpKind::Transfer || op.kind == OpKind::Isoch) {
        if (!pipe)
            return;
        bus.type = pipe->type;
        bus.endpoint = pipe->endpoint;
        bus.interval = pipe->type == UsbdPipeTypeBulk ? 0 : pipe->interval;
    } else {
        bus.type = UsbdPipeTypeControl;
        bus.endpoint = bus.setup.deviceToHost() ? kIn : 0;
    }
    bus.seen = true;
}

void HostController::Observe(Slot &slot, const Op &op, UrbEvent::Kind kind, USBD_STATUS status)
{
    if (!observer_ || !op.bus.seen)
        return;
    const bool submitted = kind == UrbEvent::Kind::Submit;
    const bool in = (op.bus.endpoint & kIn) != 0;
    UrbEvent e;
    e.kind = kind;
    e.id = uint64_t(reinterpret_cast<uintptr_t>(op.urb));
    e.frame = now();
    e.address = slot.address;
    e.type = op.bus.type;
    e.endpoint = op.bus.endpoint;
    e.hasSetup = submitted && op.bus.type == UsbdPipeTypeControl;
    e.setup = op.bus.setup;
    e.status = submitted ? USBD_STATUS_PENDING : status;
    e.transferFlags = op.bus.transferFlags;
    e.interval = op.bus.interval;
    const size_t done = std::min(op.done, op.buffer.size());
    e.length = uint32_t(submitted ? op.buffer.size() : done);
    if (submitted != in)
        e.data = submitted ? op.buffer : op.buffer.first(done);
    std::vector<UrbEvent::IsoPacket> packets;
    if (op.kind == OpKind::Isoch) {
        const _URB_ISOCH_TRANSFER &u = op.urb->UrbIsochronousTransfer;
        packets = IsoPackets(u, op.buffer.size(), submitted);
        e.packets = packets;
        e.startFrame = u.StartFrame;
        e.errorCount = submitted ? 0 : u.ErrorCount;
        if (in && !submitted) {
            // IN data lies at each packet's offset: the buffer up to the end
            // of the last packet that brought any.
            size_t end = 0;
            for (const UrbEvent::IsoPacket &p : packets)
                if (p.length)
                    end = std::max<size_t>(end, size_t(p.offset) + p.length);
            e.data = op.buffer.first(std::min(end, op.buffer.size()));
        }
    }
    observer_->OnUrb(e);
}

void HostController::ObserveRefused(Slot &slot, PURB urb, const UrbRecord &record, USBD_STATUS status)
{
    if (!observer_)
        return;
    UrbEvent e;
    e.kind = UrbEvent::Kind::Refused;
    e.id = uint64_t(reinterpret_cast<uintptr_t>(urb));
    e.frame = now();
    e.address = slot.address;
    e.status = status;
    e.length = record.length;
    e.transferFlags = record.transferFlags;
    const uint8_t direction = (record.transferFlags & USBD_TRANSFER_DIRECTION_IN) ? kIn : 0;
    switch (record.function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
    case URB_FUNCTION_RESET_PIPE:
        e.type = UsbdPipeTypeControl;
        break;
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        e.type = UsbdPipeTypeControl;
        e.endpoint = kIn;
        break;
    case URB_FUNCTION_VENDOR_DEVICE:
        e.type = UsbdPipeTypeControl;
        e.endpoint = direction;
        break;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
    case URB_FUNCTION_ISOCH_TRANSFER: {
        // The endpoint when the pipe handle was good, else only the
        // direction (a device gone or removed: the URB was not looked at).
        const bool iso = record.function == URB_FUNCTION_ISOCH_TRANSFER;
        e.type = iso ? UsbdPipeTypeIsochronous : UsbdPipeTypeBulk;
        const size_t whole =
            iso ? FIELD_OFFSET(_URB_ISOCH_TRANSFER, IsoPacket) : sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
        if (record.transferFlags == 0 && urb->UrbHeader.Length >= whole)
            e.transferFlags =
                iso ? urb->UrbIsochronousTransfer.TransferFlags : urb->UrbBulkOrInterruptTransfer.TransferFlags;
        e.endpoint = record.endpoint ? record.endpoint : (e.transferFlags & USBD_TRANSFER_DIRECTION_IN) ? kIn : 0;
        if (record.length == 0 && urb->UrbHeader.Length >= whole)
            e.length = iso ? urb->UrbIsochronousTransfer.TransferBufferLength
                           : urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        for (const auto &pipe : slot.pipes)
            if (record.endpoint && pipe->endpoint == record.endpoint)
                e.type = pipe->type;
        break;
    }
    default:
        return;  // not a transfer: nothing a bus analyser would show
    }
    observer_->OnUrb(e);
}

}  // namespace world
