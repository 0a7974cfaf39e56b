// urb_submit.cpp - what the hub does with a URB when it arrives: validate
// it as USBD does (the configuration descriptor it carries is untrusted),
// then pend it on its endpoint's queue or complete it at once.
#include "usb/host_controller_internal.hpp"

#include <algorithm>

namespace world {

using namespace usb_detail;

namespace {

constexpr ULONG kMaxIsoPackets = 255;  // per request, full speed

bool IsIn(uint8_t endpoint) { return (endpoint & 0x80) != 0; }

template <class T> T *At(const void *base, size_t offset)
{
    return reinterpret_cast<T *>(const_cast<uint8_t *>(static_cast<const uint8_t *>(base)) + offset);
}

// Where a transfer's bytes are: the MDL when there is one, else the buffer.
bool ResolveBuffer(PMDL mdl, PVOID buffer, ULONG length, std::span<uint8_t> *out)
{
    *out = {};
    if (length == 0)
        return true;
    if (mdl) {
        if (MmGetMdlByteCount(mdl) < length)
            return false;  // the MDL describes less than the transfer would move
        auto p = static_cast<uint8_t *>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
        if (!p)
            return false;
        *out = {p, length};
        return true;
    }
    if (!buffer)
        return false;
    *out = {static_cast<uint8_t *>(buffer), length};
    return true;
}

}  // namespace


NTSTATUS HostController::SubmitUrb(Slot *slot, PIRP irp)
{
    PURB urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    if (!urb) {
        irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_PARAMETER;
    }
    USBD_STATUS result;
    uint64_t rec;
    {
        std::lock_guard lock(mutex_);
        UrbRecord r;
        r.function = urb->UrbHeader.Function;
        r.frame = now();
        r.afterRemove = slot->removed;
        rec = Record(*slot, r);
        USHORT length = urb->UrbHeader.Length;
        if (slot->gone || slot->removed) {
            result = USBD_STATUS_DEVICE_GONE;
        } else {
            switch (urb->UrbHeader.Function) {
            case URB_FUNCTION_SELECT_CONFIGURATION:
                result = SelectConfiguration(*slot, irp, urb, rec);
                break;
            case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
            case URB_FUNCTION_VENDOR_DEVICE:
                result = ControlRequest(*slot, irp, urb, rec);
                break;
            case URB_FUNCTION_RESET_PIPE:
            case URB_FUNCTION_ABORT_PIPE:
                result = PipeRequest(*slot, irp, urb, rec);
                break;
            case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
                result = BulkTransfer(*slot, irp, urb, rec);
                break;
            case URB_FUNCTION_ISOCH_TRANSFER:
                result = IsochTransfer(*slot, irp, urb, rec);
                break;
            case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
                if (length < sizeof(_URB_GET_CURRENT_FRAME_NUMBER)) {
                    result = USBD_STATUS_INVALID_PARAMETER;
                } else {
                    urb->UrbGetCurrentFrameNumber.FrameNumber = ULONG(now());
                    result = USBD_STATUS_SUCCESS;
                }
                break;
            default:
                result = USBD_STATUS_INVALID_URB_FUNCTION;
                break;
            }
        }
        if (result != USBD_STATUS_PENDING) {
            urb->UrbHeader.Status = result;
            if (UrbRecord *r = slot->urbs.At(rec)) {
                r->status = result;
                r->ntStatus = NtStatusOf(result);
                if (!USBD_SUCCESS(result))
                    ObserveRefused(*slot, urb, *r, result);
            }
        }
    }
    if (result == USBD_STATUS_PENDING) {
        Wake();
        return STATUS_PENDING;
    }
    NTSTATUS status = NtStatusOf(result);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

namespace {

// Walks the configuration descriptor the client passed (untrusted) within
// its wTotalLength and collects the interfaces with their endpoints.  False
// when it lies: a bad header, a descriptor running past the end or shorter
// than two bytes, an interface whose endpoints are missing or malformed.
bool ParseConfiguration(const uint8_t *cd, std::vector<InterfaceInfo> *interfaces, std::vector<const uint8_t *> *raw)
{
    if (cd[0] < sizeof(USB_CONFIGURATION_DESCRIPTOR) || cd[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE)
        return false;
    size_t total = size_t(cd[2]) | size_t(cd[3]) << 8;
    if (total < cd[0])
        return false;
    for (size_t at = cd[0]; at < total;) {
        if (total - at < 2)
            return false;
        uint8_t len = cd[at], type = cd[at + 1];
        if (len < 2 || len > total - at)
            return false;
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE) {
            if (len < sizeof(USB_INTERFACE_DESCRIPTOR))
                return false;
            InterfaceInfo i{nullptr, cd[at + 5], cd[at + 6], cd[at + 7], {}};
            interfaces->push_back(i);
            raw->push_back(cd + at);
        } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && !interfaces->empty()) {
            if (len < sizeof(USB_ENDPOINT_DESCRIPTOR))
                return false;
            EndpointInfo e{cd[at + 2], cd[at + 3], cd[at + 6], uint16_t(cd[at + 4] | cd[at + 5] << 8)};
            if ((e.address & 0x0F) == 0 || (e.address & 0x70))
                return false;
            for (const EndpointInfo &other : interfaces->back().endpoints)
                if (other.address == e.address)
                    return false;
            interfaces->back().endpoints.push_back(e);
        }
        at += len;
    }
    // Every interface lists the endpoints it claims.
    for (size_t k = 0; k < interfaces->size(); ++k)
        if ((*interfaces)[k].endpoints.size() < (*raw)[k][4])
            return false;
    return true;
}

}  // namespace

USBD_STATUS HostController::SelectConfiguration(Slot &slot, PIRP irp, PURB urb, uint64_t rec)
{
    const size_t head = FIELD_OFFSET(_URB_SELECT_CONFIGURATION, Interface);
    USHORT length = urb->UrbHeader.Length;
    if (length < head)
        return USBD_STATUS_INVALID_PARAMETER;
    auto op = std::make_unique<Op>();
    op->irp = irp;
    op->urb = urb;
    op->seq = nextSeq_++;
    op->submitted = now();
    op->record = rec;
    PUSB_CONFIGURATION_DESCRIPTOR desc = urb->UrbSelectConfiguration.ConfigurationDescriptor;
    if (!desc) {
        slot.urbs.back().nullDescriptor = true;
        op->kind = OpKind::Unconfigure;
        return Pend(slot, std::move(op), slot.control) == STATUS_PENDING ? USBD_STATUS_PENDING : USBD_STATUS_ERROR;
    }
    op->kind = OpKind::SelectConfiguration;

    // The descriptor must lie inside the client's buffer: when it is a pool
    // block, a wTotalLength beyond its end is a lie too.
    const auto *cd = reinterpret_cast<const uint8_t *>(desc);
    size_t blockSize = 0;
    if (platform::IsPoolBlock(cd, nullptr, nullptr, &blockSize) &&
        (blockSize < sizeof(USB_CONFIGURATION_DESCRIPTOR) || blockSize < desc->wTotalLength))
        return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
    std::vector<InterfaceInfo> interfaces;
    std::vector<const uint8_t *> raw;
    if (!ParseConfiguration(cd, &interfaces, &raw))
        return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
    op->configValue = desc->bConfigurationValue;

    // The interface records of the URB, each matched with its descriptor.
    size_t at = head;
    for (size_t n = 0; n < desc->bNumInterfaces; ++n) {
        if (length - at < FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes))
            break;
        auto info = At<USBD_INTERFACE_INFORMATION>(urb, at);
        if (info->Length < FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) || info->Length > length - at)
            return USBD_STATUS_INVALID_PARAMETER;
        size_t k = 0;
        while (k < raw.size() && !(raw[k][2] == info->InterfaceNumber && raw[k][3] == info->AlternateSetting))
            ++k;
        if (k == raw.size())
            return USBD_STATUS_INVALID_PARAMETER;  // the URB names an interface the descriptor lacks
        InterfaceInfo chosen = interfaces[k];
        chosen.endpoints.resize(raw[k][4]);
        if (info->Length < GET_USBD_INTERFACE_SIZE(chosen.endpoints.size()))
            return USBD_STATUS_INVALID_PARAMETER;  // no room for its pipes
        chosen.info = info;
        op->interfaces.push_back(std::move(chosen));
        at += info->Length;
    }
    if (op->interfaces.empty())
        return USBD_STATUS_INVALID_PARAMETER;
    return Pend(slot, std::move(op), slot.control) == STATUS_PENDING ? USBD_STATUS_PENDING : USBD_STATUS_ERROR;
}

USBD_STATUS HostController::ControlRequest(Slot &slot, PIRP irp, PURB urb, uint64_t rec)
{
    auto op = std::make_unique<Op>();
    op->irp = irp;
    op->urb = urb;
    op->kind = OpKind::Control;
    op->seq = nextSeq_++;
    op->submitted = now();
    op->record = rec;
    ULONG length;
    if (urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
        auto &u = urb->UrbControlDescriptorRequest;
        if (urb->UrbHeader.Length < sizeof(u))
            return USBD_STATUS_INVALID_PARAMETER;
        length = u.TransferBufferLength;
        op->setup = {0x80, 0x06, uint16_t(u.DescriptorType << 8 | u.Index), u.LanguageId, uint16_t(length)};
        if (!ResolveBuffer(u.TransferBufferMDL, u.TransferBuffer, length, &op->buffer))
            return USBD_STATUS_INVALID_PARAMETER;
    } else {
        auto &u = urb->UrbControlVendorClassRequest;
        if (urb->UrbHeader.Length < sizeof(u))
            return USBD_STATUS_INVALID_PARAMETER;
        length = u.TransferBufferLength;
        bool in = (u.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        op->setup = {uint8_t((in ? 0x80 : 0x00) | BMREQUEST_VENDOR << 5 | u.RequestTypeReservedBits), u.Request,
                     u.Value, u.Index, uint16_t(length)};
        if (!ResolveBuffer(u.TransferBufferMDL, u.TransferBuffer, length, &op->buffer))
            return USBD_STATUS_INVALID_PARAMETER;
        slot.urbs.back().transferFlags = u.TransferFlags;
    }
    if (length > 0xFFFF)
        return USBD_STATUS_INVALID_PARAMETER;  // a setup packet's wLength is 16 bits
    slot.urbs.back().length = length;
    return Pend(slot, std::move(op), slot.control) == STATUS_PENDING ? USBD_STATUS_PENDING : USBD_STATUS_ERROR;
}

USBD_STATUS HostController::PipeRequest(Slot &slot, PIRP irp, PURB urb, uint64_t rec)
{
    if (urb->UrbHeader.Length < sizeof(_URB_PIPE_REQUEST))
        return USBD_STATUS_INVALID_PARAMETER;
    Pipe *pipe = FindPipe(slot, urb->UrbPipeRequest.PipeHandle);
    if (!pipe)
        return USBD_STATUS_INVALID_PIPE_HANDLE;
    slot.urbs.back().endpoint = pipe->endpoint;
    auto op = std::make_unique<Op>();
    op->irp = irp;
    op->urb = urb;
    op->seq = nextSeq_++;
    op->submitted = now();
    op->record = rec;
    op->pipeHandle = pipe->handle;
    if (urb->UrbHeader.Function == URB_FUNCTION_RESET_PIPE) {
        // A pipe is reset with nothing queued on it: transfers still there
        // must be aborted first.
        for (const auto &queued : pipe->queue)
            if (!queued->doomed)
                return USBD_STATUS_ERROR_BUSY;
        op->kind = OpKind::ResetPipe;
        Pend(slot, std::move(op), slot.control);
        return USBD_STATUS_PENDING;
    }
    // Abort: what the pipe holds now completes as cancelled, then the abort.
    op->kind = OpKind::Abort;
    FlushQueue(slot, pipe->queue, USBD_STATUS_CANCELED, op->seq);
    Pend(slot, std::move(op), slot.aborts);
    return USBD_STATUS_PENDING;
}

USBD_STATUS HostController::BulkTransfer(Slot &slot, PIRP irp, PURB urb, uint64_t rec)
{
    auto &u = urb->UrbBulkOrInterruptTransfer;
    if (urb->UrbHeader.Length < sizeof(u))
        return USBD_STATUS_INVALID_PARAMETER;
    UrbRecord &r = slot.urbs.back();
    r.transferFlags = u.TransferFlags;
    r.length = u.TransferBufferLength;
    Pipe *pipe = FindPipe(slot, u.PipeHandle);
    if (!pipe)
        return USBD_STATUS_INVALID_PIPE_HANDLE;
    r.endpoint = pipe->endpoint;
    if (pipe->type != UsbdPipeTypeBulk && pipe->type != UsbdPipeTypeInterrupt)
        return USBD_STATUS_INVALID_PARAMETER;
    if (((u.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0) != IsIn(pipe->endpoint))
        return USBD_STATUS_INVALID_PARAMETER;
    if (u.TransferBufferLength > pipe->maxTransfer)
        return USBD_STATUS_INVALID_PARAMETER;
    std::unique_ptr<Op> op = NewOp();
    if (!ResolveBuffer(u.TransferBufferMDL, u.TransferBuffer, u.TransferBufferLength, &op->buffer))
        return USBD_STATUS_INVALID_PARAMETER;
    op->irp = irp;
    op->urb = urb;
    op->kind = OpKind::Transfer;
    op->seq = nextSeq_++;
    op->submitted = now();
    op->record = rec;
    Pend(slot, std::move(op), pipe->queue);
    return USBD_STATUS_PENDING;
}

USBD_STATUS HostController::IsochTransfer(Slot &slot, PIRP irp, PURB urb, uint64_t rec)
{
    auto &u = urb->UrbIsochronousTransfer;
    const size_t head = FIELD_OFFSET(_URB_ISOCH_TRANSFER, IsoPacket);
    if (urb->UrbHeader.Length < head)
        return USBD_STATUS_INVALID_PARAMETER;
    UrbRecord &r = slot.urbs.back();
    r.transferFlags = u.TransferFlags;
    r.length = u.TransferBufferLength;
    r.startFrame = u.StartFrame;
    r.packets = u.NumberOfPackets;
    Pipe *pipe = FindPipe(slot, u.PipeHandle);
    if (!pipe)
        return USBD_STATUS_INVALID_PIPE_HANDLE;
    r.endpoint = pipe->endpoint;
    ULONG packets = u.NumberOfPackets;
    if (pipe->type != UsbdPipeTypeIsochronous || packets == 0 || packets > kMaxIsoPackets ||
        urb->UrbHeader.Length < head + packets * sizeof(USBD_ISO_PACKET_DESCRIPTOR))
        return USBD_STATUS_INVALID_PARAMETER;
    bool in = (u.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    if (in != IsIn(pipe->endpoint) || u.TransferBufferLength == 0 || u.TransferBufferLength > pipe->maxTransfer)
        return USBD_STATUS_INVALID_PARAMETER;
    // Packets lie in order inside the buffer; an OUT packet fits the endpoint.
    for (ULONG i = 0; i < packets; ++i) {
        ULONG offset = u.IsoPacket[i].Offset;
        ULONG end = i + 1 < packets ? u.IsoPacket[i + 1].Offset : u.TransferBufferLength;
        if (offset >= u.TransferBufferLength || end <= offset || end > u.TransferBufferLength)
            return USBD_STATUS_INVALID_PARAMETER;
        if (!in && end - offset > pipe->maxPacket)
            return USBD_STATUS_INVALID_PARAMETER;
    }
    auto op = std::make_unique<Op>();
    if (!ResolveBuffer(u.TransferBufferMDL, u.TransferBuffer, u.TransferBufferLength, &op->buffer))
        return USBD_STATUS_INVALID_PARAMETER;
    Frame now = this->now();
    if (u.TransferFlags & USBD_START_ISO_TRANSFER_ASAP) {
        op->isoStart = std::max(now + 1, pipe->isoNext);
        u.StartFrame = ULONG(op->isoStart);
    } else {
        LONG ahead = LONG(u.StartFrame - ULONG(now));
        if (ahead < 0 || ahead >= USBD_ISO_START_FRAME_RANGE)
            return USBD_STATUS_BAD_START_FRAME;
        op->isoStart = now + Frame(ahead);
    }
    for (ULONG i = 0; i < packets; ++i) {
        u.IsoPacket[i].Length = 0;
        u.IsoPacket[i].Status = USBD_STATUS_NOT_ACCESSED;
    }
    u.ErrorCount = 0;
    pipe->isoNext = op->isoStart + packets;
    op->irp = irp;
    op->urb = urb;
    op->kind = OpKind::Isoch;
    op->seq = nextSeq_++;
    op->submitted = now;
    op->record = rec;
    Pend(slot, std::move(op), pipe->queue);
    return USBD_STATUS_PENDING;
}

}  // namespace world
