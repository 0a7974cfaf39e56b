// host_controller.cpp - per-endpoint queues, cancel and abort, the frame
// clock and the controller thread that serves the device models and
// completes requests at DISPATCH_LEVEL.
#include "usb/host_controller_internal.hpp"
#include "thread_name.hpp"

#include "usb/bus_time.hpp"

#include <algorithm>
#include <bitset>
#include <cstring>
#include <memory>
#include <utility>

#include <platform/sanitizers.hpp>

namespace world {

using namespace usb_detail;

NTSTATUS NtStatusOf(USBD_STATUS status)
{
    switch (status) {
    case USBD_STATUS_SUCCESS:
        return STATUS_SUCCESS;
    case USBD_STATUS_CANCELED:
        return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE:
        return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR:
        return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_NO_MEMORY:
        return STATUS_INSUFFICIENT_RESOURCES;
    case USBD_STATUS_ERROR_BUSY:
        return STATUS_DEVICE_BUSY;
    default:
        return USBD_SUCCESS(status) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    }
}

// ---------------------------------------------------------------------------
// Life

HostController::HostController(ClockMode mode) : mode_(mode)
{
    frameZero_ = std::chrono::steady_clock::now();
    thread_ = std::thread([this] {
        NameThisThread("vcp-bus");
        Run();
    });
}

HostController::~HostController() { Shutdown(); }

void HostController::Shutdown()
{
    if (!thread_.joinable())
        return;
    {
        std::unique_lock lock(mutex_);
        for (auto &slot : slots_) {
            slot->gone = true;
            FlushSlot(*slot, USBD_STATUS_DEVICE_GONE);
        }
        Wake();
        for (auto &slot : slots_)
            WaitForSlotIdle(lock, *slot);
    }
    {
        std::lock_guard w(wakeMutex_);
        stop_ = true;
    }
    wakeCv_.notify_all();
    thread_.join();
}

HostController::Slot *HostController::AddSlot(PDEVICE_OBJECT pdo, std::shared_ptr<UsbDevice> device)
{
    auto slot = std::make_unique<Slot>();
    slot->pdo = pdo;
    slot->device = std::move(device);
    Slot *s = slot.get();
    {
        // The lowest free address from 2 up, as a host gives them (Linux
        // shows its root hub as device 1), then 1.
        std::lock_guard guard(mutex_);
        s->address = FreeAddress();
        if (!s->address)
            return nullptr;
        slots_.push_back(std::move(slot));
    }
    std::shared_ptr<std::atomic<bool>> signal = s->wakeSignal;
    s->device->Attach({[this] { Wake(); }, [this] { return now(); },
                       [this, signal] {
                           signal->store(true);
                           Wake();
                       }});
    return s;
}

uint8_t HostController::FreeAddress() const
{
    std::bitset<128> taken;
    for (const auto &slot : slots_)
        taken.set(slot->address);
    for (unsigned a = 2; a <= 127; ++a)
        if (!taken.test(a))
            return uint8_t(a);
    return taken.test(1) ? 0 : 1;
}

void HostController::RemoveSlot(Slot *slot)
{
    std::unique_lock lock(mutex_);
    if (!slot->gone) {
        slot->gone = true;
        slot->device->Unplugged();
    }
    FlushSlot(*slot, USBD_STATUS_DEVICE_GONE);
    Wake();
    WaitForSlotIdle(lock, *slot);
    slot->device->Detach();
    std::erase_if(slots_, [&](const auto &s) { return s.get() == slot; });
}

void HostController::WaitForSlotIdle(std::unique_lock<platform::ShortLock> &lock, Slot &slot)
{
    if (std::this_thread::get_id() == thread_.get_id())
        return;  // a completion routine on the controller's own thread: it cannot wait for itself
    changed_.wait(lock, [&] { return slot.inflight == 0 && slot.orphans.empty(); });
}

// ---------------------------------------------------------------------------
// Storage of queued requests

namespace {

// Whether IoCancelIrp has marked the request, which it does on any thread
// without the controller's lock: read as the I/O manager writes it.
bool CancelAsked(PIRP irp) { return __atomic_load_n(&irp->Cancel, __ATOMIC_ACQUIRE) != FALSE; }

// Freed ones kept for reuse, except under AddressSanitizer, which then sees
// every use of one after its request finished.
constexpr bool kKeepSpareOps = !platform::kAddressSanitizer;
constexpr size_t kSpareOps = 256;
constexpr size_t kSpareOpsPerController = 16;

struct SpareOps {
    platform::ShortLock lock;
    std::vector<void *> kept;
};

SpareOps &Spares()
{
    static SpareOps *spares = new SpareOps;  // outlives every static destructor
    return *spares;
}

}  // namespace

std::unique_ptr<HostController::Op> HostController::NewOp()
{
    if (spareOps_.empty())
        return std::make_unique<Op>();
    std::unique_ptr<Op> op = std::move(spareOps_.back());
    spareOps_.pop_back();
    std::destroy_at(op.get());  // made anew in the same storage
    std::construct_at(op.get());
    return op;
}

void HostController::KeepOp(std::unique_ptr<Op> op)
{
    if (kKeepSpareOps && spareOps_.size() < kSpareOpsPerController)
        spareOps_.push_back(std::move(op));
}

void *HostController::Op::operator new(size_t bytes)
{
    if (kKeepSpareOps && bytes == sizeof(Op)) {
        SpareOps &spares = Spares();
        std::lock_guard guard(spares.lock);
        if (!spares.kept.empty()) {
            void *p = spares.kept.back();
            spares.kept.pop_back();
            return p;
        }
    }
    return ::operator new(bytes);
}

void HostController::Op::operator delete(void *p, size_t bytes)
{
    if (!p)
        return;
    if (kKeepSpareOps && bytes == sizeof(Op)) {
        SpareOps &spares = Spares();
        std::lock_guard guard(spares.lock);
        if (spares.kept.size() < kSpareOps) {
            spares.kept.push_back(p);
            return;
        }
    }
    ::operator delete(p);
}

// ---------------------------------------------------------------------------
// Clock and thread

namespace {

// The controller whose thread this is (null on every other thread).
thread_local const HostController *tServing = nullptr;

}  // namespace

void HostController::Wake()
{
    // In a virtual-time run the controller's thread serves frame after frame
    // without waiting and forgets any wake at the top of each: one from the
    // thread itself (a completion routine or the step submitting) is moot.
    if (tServing == this && servingVirtual_)
        return;
    {
        std::lock_guard w(wakeMutex_);
        wakePending_ = true;
    }
    wakeCv_.notify_all();
}

Frame HostController::now() const { return now_.load(); }

ClockMode HostController::clockMode() const
{
    std::lock_guard w(wakeMutex_);
    return mode_;
}

void HostController::SetClockMode(ClockMode mode)
{
    {
        std::lock_guard w(wakeMutex_);
        mode_ = mode;
        frameZero_ = std::chrono::steady_clock::now() - std::chrono::milliseconds(now_.load());
        wakePending_ = true;
    }
    wakeCv_.notify_all();
}

void HostController::Run()
{
    // The frame's completions; the two lists trade places every frame, so
    // neither is allocated anew.
    std::vector<Completion> done;
    tServing = this;
    // A virtual-time run whose step found that it goes on and that no stop
    // was asked: its next frame begins without the look the top of a frame
    // takes under the wake lock.
    VirtualRun *goingOn = nullptr;
    for (;;) {
        VirtualRun *run = std::exchange(goingOn, nullptr);
        bool frames = false;
        if (!run) {
            std::lock_guard w(wakeMutex_);
            if (stop_) {
                virtualDone_.notify_all();  // a run waiting for its end gets it now
                return;
            }
            wakePending_ = false;
            run = virtualRun_;
            frames = mode_ == ClockMode::Frames;
            if (run && !virtualBegun_) {
                virtualBase_ = (now_.load() / kVirtualEpoch + 1) * kVirtualEpoch;
                now_ = virtualBase_;
                virtualBegun_ = true;
                virtualStart_ = std::chrono::steady_clock::now();
                lateFrames_ = 0;
            }
        }
        servingVirtual_ = run != nullptr;
        Frame now = now_.load();
        Frame next = kNever;
        done.clear();
        {
            std::lock_guard lock(mutex_);
            metered_ = run ? run->fullSpeedBandwidth : frames;
            bitsLeft_ = bus::kFrameTransactionBits;
            saturated_ = false;
            ServiceFrame(now, &next);
            if (metered_) {
                ++busUse_.frames;
                busUse_.bits += uint64_t(bus::kFrameTransactionBits - std::min(bitsLeft_, bus::kFrameTransactionBits));
                busUse_.saturatedFrames += saturated_;
            }
            done.swap(done_);
            for (const Completion &c : done)
                delivering_.push_back(c.irp);
        }
        DeliverCompletions(done);
        if (run) {
            if (StepVirtual(*run, now))
                goingOn = run;
            continue;
        }

        std::unique_lock w(wakeMutex_);
        if (stop_) {
            virtualDone_.notify_all();
            return;
        }
        if (mode_ == ClockMode::Frames) {
            // One frame per millisecond; falling behind skips frames, as a
            // late controller does.
            auto start = frameZero_;
            wakeCv_.wait_until(w, start + std::chrono::milliseconds(now + 1),
                               [&] { return stop_ || mode_ != ClockMode::Frames || frameZero_ != start; });
            if (mode_ == ClockMode::Frames && frameZero_ == start) {
                auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                                    frameZero_);
                now_ = std::max<Frame>(now + 1, Frame(elapsed.count()));
            }
            continue;
        }
        // Fast: the next frame at once when something may move in it; skip
        // ahead to the next timed event; sleep while nothing can happen.
        // Interactive: the stretch up to the timed event passes in real time,
        // unless something comes up first.
        if (wakePending_ || next <= now + 1) {
            now_ = now + 1;
        } else if (next != kNever && mode_ == ClockMode::Interactive) {
            const bool woken = wakeCv_.wait_for(w, std::chrono::milliseconds(next - now),
                                                [&] { return wakePending_ || stop_ || mode_ != ClockMode::Interactive; });
            now_ = woken ? now + 1 : next;
        } else if (next != kNever) {
            now_ = next;
        } else {
            wakeCv_.wait(w, [&] { return wakePending_ || stop_; });
            now_ = now + 1;
        }
    }
}

bool HostController::ServiceFrame(Frame now, Frame *next)
{
    for (auto &slot : slots_)
        if (!slot->gone)
            slot->device->Advance(now);
    for (auto &slot : slots_)
        if (slot->wakeSignal->exchange(false) && slot->suspended && !slot->gone)
            FinishWaitWake(*slot, STATUS_SUCCESS);
    if (!metered_) {
        for (auto &slot : slots_)
            ServiceSlot(*slot, now, next);
    } else {
        // Control and periodic transfers first, then the bulk endpoints in
        // turn with the time that is left; aborts once the pipes are served.
        for (auto &slot : slots_)
            ServiceSlot(*slot, now, next, /*bulk=*/false);
        ServiceBulkInTurn(now, next);
        for (auto &slot : slots_)
            if (!slot->gone)
                CompleteAborts(*slot);
    }
    // Asked after serving: a transfer may just have given the device work.
    for (auto &slot : slots_)
        if (!slot->gone)
            *next = std::min(*next, slot->device->NextEvent(now));
    return !done_.empty();
}

void HostController::DeliverCompletions(std::vector<Completion> &done)
{
    if (done.empty())
        return;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    for (const Completion &c : done) {
        c.irp->IoStatus.Status = c.status;
        c.irp->IoStatus.Information = 0;
        IoCompleteRequest(c.irp, IO_NO_INCREMENT);
    }
    KeLowerIrql(old);
    std::lock_guard lock(mutex_);
    for (const Completion &c : done)
        --c.slot->inflight;
    delivering_.clear();
    changed_.notify_all();
}

// ---------------------------------------------------------------------------
// Queue bookkeeping

uint64_t HostController::Record(Slot &slot, const UrbRecord &record)
{
    return slot.urbs.Push(record, urbLogLimit_);
}

namespace usb_detail {

uint64_t UrbLog::Push(const UrbRecord &record, size_t limit)
{
    limit = std::max<size_t>(limit, 1);
    if (count_ < ring_.size()) {
        ring_[Slot(count_)] = record;
        ++count_;
    } else if (ring_.size() < limit) {
        // Full below the limit: the ring grows, its oldest first, into room
        // for the limit's records taken at once: address space, which the
        // records turn into memory only as they come, so that growing never
        // copies the log nor touches fresh memory twice.
        std::rotate(ring_.begin(), ring_.begin() + std::ptrdiff_t(head_), ring_.end());
        head_ = 0;
        constexpr size_t kReserveAtMost = size_t(1) << 18;  // beyond: by doubling
        if (ring_.capacity() < std::min(limit, kReserveAtMost))
            ring_.reserve(std::min(limit, kReserveAtMost));
        ring_.push_back(record);
        ++count_;
    } else {
        ring_[head_] = record;  // in place of the oldest
        head_ = Slot(1);
        ++base_;
    }
    while (count_ > limit) {  // the limit was lowered
        head_ = Slot(1);
        --count_;
        ++base_;
    }
    return base_ + count_ - 1;
}

std::vector<UrbRecord> UrbLog::Records() const
{
    std::vector<UrbRecord> records;
    records.reserve(count_);
    for (size_t k = 0; k < count_; ++k)
        records.push_back(ring_[Slot(k)]);
    return records;
}

void UrbLog::Clear()
{
    base_ += count_;
    count_ = 0;
    head_ = 0;
}

static_assert(FIELD_OFFSET(_URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferLength) ==
              FIELD_OFFSET(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBufferLength));

// The URB's final fields for a request that ends with `status`.
void FillUrb(PURB urb, OpKind kind, size_t done, USBD_STATUS status)
{
    urb->UrbHeader.Status = status;
    switch (kind) {
    case OpKind::Transfer:
        urb->UrbBulkOrInterruptTransfer.TransferBufferLength = ULONG(done);
        break;
    case OpKind::Isoch:
        urb->UrbIsochronousTransfer.TransferBufferLength = ULONG(done);
        break;
    case OpKind::Control:
        // TransferBufferLength sits at the same place in both control URBs.
        if (!USBD_SUCCESS(status))
            urb->UrbControlVendorClassRequest.TransferBufferLength = 0;
        break;
    default:
        break;
    }
}

}  // namespace usb_detail

NTSTATUS HostController::Pend(Slot &slot, std::unique_ptr<Op> op, OpQueue &queue)
{
    PIRP irp = op->irp;
    op->urb->UrbHeader.Status = USBD_STATUS_PENDING;
    if (observer_) {
        DescribeForObserver(slot, *op);
        Observe(slot, *op, UrbEvent::Kind::Submit, USBD_STATUS_PENDING);
    }
    IoMarkIrpPending(irp);
    queue.push_back(std::move(op));
    ++slot.inflight;
    IoSetCancelRoutine(irp, CancelRoutine);
    if (CancelAsked(irp) && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        // Cancelled before it got here: the thread completes it as cancelled.
        std::unique_ptr<Op> cancelled = std::move(queue.back());
        queue.pop_back();
        FillUrb(cancelled->urb, cancelled->kind, 0, USBD_STATUS_CANCELED);
        Observe(slot, *cancelled, UrbEvent::Kind::Complete, USBD_STATUS_CANCELED);
        if (UrbRecord *r = slot.urbs.At(cancelled->record)) {
            r->status = USBD_STATUS_CANCELED;
            r->ntStatus = STATUS_CANCELLED;
        }
        done_.push_back({irp, &slot, STATUS_CANCELLED});
    }
    changed_.notify_all();
    return STATUS_PENDING;
}

bool HostController::Finish(Slot &slot, Op &op, USBD_STATUS status)
{
    if (IoSetCancelRoutine(op.irp, nullptr) == nullptr) {
        op.doomed = true;  // IoCancelIrp got there first; the cancel routine completes it
        return false;
    }
    FillUrb(op.urb, op.kind, op.done, status);
    if (observer_)
        Observe(slot, op, UrbEvent::Kind::Complete, status);
    NTSTATUS nt = NtStatusOf(status);
    if (UrbRecord *r = slot.urbs.At(op.record)) {
        r->status = status;
        r->ntStatus = nt;
        r->transferred = ULONG(op.done);
    }
    done_.push_back({op.irp, &slot, nt});
    return true;
}

void HostController::FlushQueue(Slot &slot, OpQueue &queue, USBD_STATUS status,
                                uint64_t beforeSeq)
{
    for (auto it = queue.begin(); it != queue.end();) {
        if ((*it)->seq < beforeSeq && !(*it)->doomed && Finish(slot, **it, status))
            it = queue.erase(it);
        else
            ++it;
    }
}

void HostController::DropPipes(Slot &slot)
{
    for (auto &pipe : slot.pipes) {
        FlushQueue(slot, pipe->queue, USBD_STATUS_CANCELED);
        for (auto &op : pipe->queue)
            slot.orphans.push_back(std::move(op));  // doomed: their cancel routines are on the way
    }
    slot.pipes.clear();
    slot.configValue = 0;
}

void HostController::FlushSlot(Slot &slot, USBD_STATUS status)
{
    FinishWaitWake(slot, STATUS_NO_SUCH_DEVICE);
    FlushQueue(slot, slot.control, status);
    FlushQueue(slot, slot.aborts, status);
    for (auto &pipe : slot.pipes)
        FlushQueue(slot, pipe->queue, status);
}

std::unique_ptr<HostController::Op> HostController::TakeOp(PIRP irp, Slot **owner)
{
    auto take = [&](OpQueue &queue) -> std::unique_ptr<Op> {
        for (auto it = queue.begin(); it != queue.end(); ++it)
            if ((*it)->irp == irp) {
                std::unique_ptr<Op> op = std::move(*it);
                queue.erase(it);
                return op;
            }
        return nullptr;
    };
    for (auto &slot : slots_) {
        *owner = slot.get();
        if (auto op = take(slot->control))
            return op;
        if (auto op = take(slot->aborts))
            return op;
        if (auto op = take(slot->orphans))
            return op;
        for (auto &pipe : slot->pipes)
            if (auto op = take(pipe->queue))
                return op;
    }
    *owner = nullptr;
    return nullptr;
}

void NTAPI HostController::CancelRoutine(PDEVICE_OBJECT pdo, PIRP irp)
{
    // Never completes inline: the caller of IoCancelIrp may hold spin locks.
    IoReleaseCancelSpinLock(irp->CancelIrql);
    HostController *self = ControllerOfPdo(pdo);
    {
        std::lock_guard lock(self->mutex_);
        Slot *slot = nullptr;
        std::unique_ptr<Op> op = self->TakeOp(irp, &slot);
        if (!op) {
            platform::Violate("USB_CANCEL_UNKNOWN_REQUEST",
                              "cancel routine of the USB hub called for a request it does not hold");
            return;
        }
        FillUrb(op->urb, op->kind, op->done, USBD_STATUS_CANCELED);
        self->Observe(*slot, *op, UrbEvent::Kind::Complete, USBD_STATUS_CANCELED);
        if (UrbRecord *r = slot->urbs.At(op->record)) {
            r->status = USBD_STATUS_CANCELED;
            r->ntStatus = STATUS_CANCELLED;
            r->transferred = ULONG(op->done);
        }
        self->done_.push_back({irp, slot, STATUS_CANCELLED});
    }
    self->Wake();
}

// ---------------------------------------------------------------------------
// Serving a frame

void HostController::ServiceSlot(Slot &slot, Frame now, Frame *next, bool bulk)
{
    if (slot.gone)
        return;
    if (slot.suspended) {
        // Nothing moves on a suspended port; aborts need no bus time.
        CompleteAborts(slot);
        return;
    }
    // The default pipe: every request submitted before this frame.
    for (size_t i = 0; i < slot.control.size() && !slot.device->controlHeld();) {
        Op &op = *slot.control[i];
        if (op.doomed) {
            ++i;
            continue;
        }
        if (op.submitted >= now) {
            *next = std::min(*next, now + 1);
            break;
        }
        std::unique_ptr<Op> taken = std::move(slot.control[i]);
        slot.control.erase(slot.control.begin() + std::ptrdiff_t(i));
        ServiceControl(slot, *taken, now);
        if (taken->doomed)
            slot.control.insert(slot.control.begin() + std::ptrdiff_t(i++), std::move(taken));
    }
    for (size_t p = 0; p < slot.pipes.size(); ++p) {
        Pipe &pipe = *slot.pipes[p];
        if (!pipe.queue.empty() && (bulk || pipe.type != UsbdPipeTypeBulk))
            ServicePipe(slot, pipe, now, next);
    }
    if (bulk && !slot.aborts.empty())
        CompleteAborts(slot);
}

void HostController::ServiceControl(Slot &slot, Op &op, Frame now)
{
    UsbDevice &device = *slot.device;
    size_t returned = 0;
    if (!slot.portEnabled) {
        Finish(slot, op, USBD_STATUS_DEV_NOT_RESPONDING);
        return;
    }
    switch (op.kind) {
    case OpKind::Control: {
        UsbAnswer a = device.Control(op.setup, op.buffer, &returned, now);
        if (a.kind != UsbAnswer::Kind::Done) {
            Finish(slot, op, a.kind == UsbAnswer::Kind::Fail ? a.status : USBD_STATUS_STALL_PID);
            return;
        }
        if (op.setup.deviceToHost())
            op.urb->UrbControlVendorClassRequest.TransferBufferLength = ULONG(returned);
        op.done = op.setup.deviceToHost() ? returned : op.buffer.size();
        // A data stage shorter than asked is an error unless the client
        // allowed it (descriptor requests always do).
        bool shortOk = op.urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE ||
                       (op.urb->UrbControlVendorClassRequest.TransferFlags & USBD_SHORT_TRANSFER_OK);
        Finish(slot, op, op.done < op.buffer.size() && !shortOk ? USBD_STATUS_DATA_UNDERRUN : USBD_STATUS_SUCCESS);
        return;
    }
    case OpKind::Unconfigure: {
        DropPipes(slot);
        device.Control({0x00, kSetConfiguration, 0, 0, 0}, {}, &returned, now);
        op.urb->UrbSelectConfiguration.ConfigurationHandle = nullptr;
        Finish(slot, op, USBD_STATUS_SUCCESS);
        return;
    }
    case OpKind::SelectConfiguration: {
        DropPipes(slot);
        UsbAnswer a = device.Control({0x00, kSetConfiguration, op.configValue, 0, 0}, {}, &returned, now);
        if (a.kind != UsbAnswer::Kind::Done) {
            Finish(slot, op, USBD_STATUS_STALL_PID);
            return;
        }
        ApplyConfiguration(slot, op);
        Finish(slot, op, USBD_STATUS_SUCCESS);
        return;
    }
    case OpKind::ResetPipe: {
        Pipe *pipe = FindPipe(slot, op.pipeHandle);
        if (!pipe) {
            Finish(slot, op, USBD_STATUS_INVALID_PIPE_HANDLE);  // the configuration changed meanwhile
            return;
        }
        pipe->halted = false;
        if (pipe->type != UsbdPipeTypeIsochronous) {
            // Clears the endpoint's stall on the device: CLEAR_FEATURE(ENDPOINT_HALT).
            UsbAnswer a = device.Control({0x02, kClearFeature, 0, pipe->endpoint, 0}, {}, &returned, now);
            if (a.kind != UsbAnswer::Kind::Done) {
                Finish(slot, op, USBD_STATUS_STALL_PID);
                return;
            }
        }
        Finish(slot, op, USBD_STATUS_SUCCESS);
        return;
    }
    default:
        Finish(slot, op, USBD_STATUS_INVALID_URB_FUNCTION);
        return;
    }
}

// The device took the configuration: the pipes it describes, and the
// client's interface records filled as USBD fills them.
void HostController::ApplyConfiguration(Slot &slot, Op &op)
{
    slot.configValue = op.configValue;
    for (InterfaceInfo &i : op.interfaces) {
        PUSBD_INTERFACE_INFORMATION info = i.info;
        info->Class = i.cls;
        info->SubClass = i.subClass;
        info->Protocol = i.protocol;
        info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(nextHandle_ += 0x10);
        info->NumberOfPipes = ULONG(i.endpoints.size());
        for (size_t k = 0; k < i.endpoints.size(); ++k) {
            const EndpointInfo &e = i.endpoints[k];
            USBD_PIPE_INFORMATION &p = info->Pipes[k];
            auto pipe = std::make_unique<Pipe>();
            pipe->handle = reinterpret_cast<USBD_PIPE_HANDLE>(nextHandle_ += 0x10);
            pipe->endpoint = e.address;
            pipe->type = USBD_PIPE_TYPE(e.attributes & USB_ENDPOINT_TYPE_MASK);
            pipe->maxPacket = e.maxPacket;
            pipe->interval = e.interval;
            pipe->maxTransfer = p.MaximumTransferSize;  // as the client set it
            p.MaximumPacketSize = e.maxPacket;
            p.EndpointAddress = e.address;
            p.Interval = e.interval;
            p.PipeType = pipe->type;
            p.PipeHandle = pipe->handle;
            slot.pipes.push_back(std::move(pipe));
        }
    }
    op.urb->UrbSelectConfiguration.ConfigurationHandle =
        reinterpret_cast<USBD_CONFIGURATION_HANDLE>(nextHandle_ += 0x10);
}

bool HostController::ServicePipe(Slot &slot, Pipe &pipe, Frame now, Frame *next, bool onePacket)
{
    if (pipe.queue.empty())
        return false;
    if (pipe.type == UsbdPipeTypeIsochronous) {
        for (size_t i = 0; i < pipe.queue.size();) {
            Op &op = *pipe.queue[i];
            if (!op.doomed)
                ServiceIso(slot, pipe, op, now, next);
            if (!op.doomed && op.nextPacket == op.urb->UrbIsochronousTransfer.NumberOfPackets &&
                Finish(slot, op,
                       op.urb->UrbIsochronousTransfer.ErrorCount == op.nextPacket ? USBD_STATUS_ISOCH_REQUEST_FAILED
                                                                                  : USBD_STATUS_SUCCESS))
                pipe.queue.erase(pipe.queue.begin() + std::ptrdiff_t(i));
            else
                ++i;
        }
        return false;
    }
    if (pipe.halted) {
        FlushQueue(slot, pipe.queue, USBD_STATUS_ENDPOINT_HALTED);
        return false;
    }
    for (size_t i = 0; i < pipe.queue.size();) {
        Op &op = *pipe.queue[i];
        if (op.doomed) {
            ++i;
            continue;
        }
        if (op.submitted >= now) {
            *next = std::min(*next, now + 1);
            return false;
        }
        const bool metered = metered_ && (pipe.type == UsbdPipeTypeBulk || pipe.type == UsbdPipeTypeInterrupt);
        const size_t packet = std::max<size_t>(pipe.maxPacket, 1);
        // A packet is sent only when the frame has time for it: a whole one
        // (the device may fill it), or the short last one of an OUT transfer.
        const size_t nextPacket = (pipe.endpoint & 0x80) ? packet : std::min(packet, op.buffer.size() - op.done);
        if (metered && pipe.type == UsbdPipeTypeBulk && bitsLeft_ < bus::TransactionBits(nextPacket) &&
            slot.portEnabled) {
            *next = std::min(*next, now + 1);
            saturated_ = true;
            return false;  // the frame's bus time is spent
        }
        bool moved = false;
        USBD_STATUS failure = USBD_STATUS_SUCCESS;
        if (!slot.portEnabled) {
            failure = USBD_STATUS_DEV_NOT_RESPONDING;
        } else {
            if (op.firstSeen == kNever)
                op.firstSeen = now;
            EndpointTransfer t{pipe.endpoint, pipe.type, pipe.maxPacket, op.buffer, op.done, now, op.firstSeen};
            if (metered && pipe.type == UsbdPipeTypeBulk) {
                // The packets the frame's time can carry.
                t.budget = std::max(size_t(bitsLeft_ / bus::TransactionBits(packet)) * packet, nextPacket);
                if (onePacket)
                    t.budget = std::min(t.budget, packet);
            }
            const size_t before = op.done;
            UsbAnswer a = slot.device->Transfer(t);
            op.done = std::min(t.done, op.buffer.size());
            const bool endedShort = a.kind == UsbAnswer::Kind::Done && op.done < op.buffer.size();
            moved = op.done > before || a.kind == UsbAnswer::Kind::Done;
            if (metered && moved)
                Charge(pipe, op.done - before, endedShort);
            if (a.kind == UsbAnswer::Kind::Nak) {
                *next = std::min(*next, std::max(a.retryAt, now + 1));
                return moved;  // the endpoint is busy: later transfers wait their turn
            }
            failure = a.kind == UsbAnswer::Kind::Done    ? USBD_STATUS_SUCCESS
                      : a.kind == UsbAnswer::Kind::Stall ? USBD_STATUS_STALL_PID
                                                         : a.status;
            // A short packet ends an IN transfer; without
            // USBD_SHORT_TRANSFER_OK the controller reports it as a data
            // underrun (the bytes that came are counted) and halts the pipe.
            if (failure == USBD_STATUS_SUCCESS && (pipe.endpoint & 0x80) && op.done < op.buffer.size() &&
                !(op.urb->UrbBulkOrInterruptTransfer.TransferFlags & USBD_SHORT_TRANSFER_OK))
                failure = USBD_STATUS_DATA_UNDERRUN;
        }
        if (Finish(slot, op, failure)) {
            KeepOp(std::move(pipe.queue[i]));
            pipe.queue.erase(pipe.queue.begin() + std::ptrdiff_t(i));
        } else {
            ++i;
        }
        if (USBD_HALTED(failure)) {
            // A stall or a hard error halts the pipe: what is queued behind
            // fails, and so does everything until a RESET_PIPE.
            pipe.halted = true;
            FlushQueue(slot, pipe.queue, USBD_STATUS_ENDPOINT_HALTED);
            return false;
        }
        if (onePacket && moved)
            return true;
    }
    return false;
}

void HostController::Charge(const Pipe &pipe, size_t moved, bool endedShort)
{
    const size_t transactions = bus::Transactions(moved, pipe.maxPacket, endedShort);
    const int64_t bits = int64_t(transactions) * bus::kTransactionOverheadBits + 8 * int64_t(moved);
    bitsLeft_ -= bits;
    if (pipe.type == UsbdPipeTypeInterrupt) {
        busUse_.interruptTransactions += transactions;
        busUse_.interruptBits += uint64_t(bits);
        return;
    }
    busUse_.bulkTransactions += transactions;
    busUse_.shortBulkTransactions += endedShort || moved % std::max<size_t>(pipe.maxPacket, 1) ? 1 : 0;
    busUse_.bulkBytes += moved;
    if (pipe.endpoint & 0x80) {
        busUse_.bulkInTransactions += transactions;
        busUse_.bulkInBytes += moved;
        busUse_.zeroLengthBulkIn += endedShort && moved % std::max<size_t>(pipe.maxPacket, 1) == 0;
    }
}

HostController::BusUse HostController::busUse() const
{
    std::lock_guard lock(mutex_);
    return busUse_;
}

void HostController::ServiceIso(Slot &slot, Pipe &pipe, Op &op, Frame now, Frame *next)
{
    _URB_ISOCH_TRANSFER &u = op.urb->UrbIsochronousTransfer;
    ULONG packets = u.NumberOfPackets;
    while (op.nextPacket < packets && op.isoStart + op.nextPacket <= now) {
        USBD_ISO_PACKET_DESCRIPTOR &d = u.IsoPacket[op.nextPacket];
        Frame frame = op.isoStart + op.nextPacket;
        ++op.nextPacket;
        if (frame < now || op.submitted >= frame || !slot.portEnabled) {
            // Its frame went by before the controller could schedule it.
            d.Length = 0;
            d.Status = USBD_STATUS_NOT_ACCESSED;
            ++u.ErrorCount;
            continue;
        }
        ULONG end = op.nextPacket < packets ? u.IsoPacket[op.nextPacket].Offset : ULONG(op.buffer.size());
        std::span<uint8_t> packet = op.buffer.subspan(d.Offset, end - d.Offset);
        USBD_STATUS status = USBD_STATUS_SUCCESS;
        size_t n = slot.device->IsoPacket(pipe.endpoint, packet, now, &status);
        d.Length = ULONG(std::min(n, packet.size()));
        d.Status = status;
        if (USBD_SUCCESS(status))
            op.done += d.Length;
        else
            ++u.ErrorCount;
    }
    if (op.nextPacket < packets)
        *next = std::min(*next, std::max(now + 1, op.isoStart + op.nextPacket));
}

void HostController::CompleteAborts(Slot &slot)
{
    for (auto it = slot.aborts.begin(); it != slot.aborts.end();) {
        Op &abort = **it;
        Pipe *pipe = FindPipe(slot, abort.pipeHandle);
        bool drained = true;
        if (pipe)
            for (auto &op : pipe->queue)
                drained = drained && op->seq > abort.seq;
        for (auto &op : slot.orphans)
            drained = drained && op->seq > abort.seq;
        if (drained && !abort.doomed && Finish(slot, abort, USBD_STATUS_SUCCESS))
            it = slot.aborts.erase(it);
        else
            ++it;
    }
}

HostController::Pipe *HostController::FindPipe(Slot &slot, USBD_PIPE_HANDLE handle)
{
    for (auto &pipe : slot.pipes)
        if (pipe->handle == handle && handle)
            return pipe.get();
    return nullptr;
}

// ---------------------------------------------------------------------------
// Port requests and PnP

NTSTATUS HostController::GetPortStatus(Slot *slot, PIRP irp)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        platform::Violate("IRQL_NOT_LESS_OR_EQUAL", "IOCTL_INTERNAL_USB_GET_PORT_STATUS above PASSIVE_LEVEL");
    auto status = static_cast<PULONG>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    NTSTATUS result = STATUS_SUCCESS;
    {
        std::lock_guard lock(mutex_);
        if (!status)
            result = STATUS_INVALID_PARAMETER;
        else if (slot->gone || slot->removed)
            result = STATUS_DEVICE_NOT_CONNECTED;
        else
            *status = USBD_PORT_CONNECTED | (slot->portEnabled ? USBD_PORT_ENABLED : 0);
    }
    irp->IoStatus.Status = result;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return result;
}

NTSTATUS HostController::ResetPort(Slot *slot, PIRP irp)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        platform::Violate("IRQL_NOT_LESS_OR_EQUAL", "IOCTL_INTERNAL_USB_RESET_PORT above PASSIVE_LEVEL");
    NTSTATUS result = STATUS_SUCCESS;
    {
        std::lock_guard lock(mutex_);
        if (slot->gone || slot->removed) {
            result = STATUS_DEVICE_NOT_CONNECTED;
        } else {
            // The port is reset and enabled; the hub then gives the device its
            // configuration back, so the pipes stay valid (their halts clear).
            ++slot->portResets;
            slot->portEnabled = true;
            slot->device->BusReset();
            if (slot->configValue) {
                size_t returned;
                slot->device->Control({0x00, kSetConfiguration, slot->configValue, 0, 0}, {}, &returned, now());
            }
            for (auto &pipe : slot->pipes)
                pipe->halted = false;
        }
    }
    Wake();
    irp->IoStatus.Status = result;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return result;
}

void HostController::Unconfigure(Slot *slot)
{
    std::unique_lock lock(mutex_);
    slot->removed = true;
    FlushSlot(*slot, slot->gone ? USBD_STATUS_DEVICE_GONE : USBD_STATUS_CANCELED);
    DropPipes(*slot);
    if (!slot->gone && slot->device->configurationValue() != 0) {
        size_t returned;
        slot->device->Control({0x00, kSetConfiguration, 0, 0, 0}, {}, &returned, now());
    }
    Wake();
    WaitForSlotIdle(lock, *slot);
}

void HostController::Unplug(Slot *slot)
{
    {
        std::lock_guard lock(mutex_);
        if (slot->gone)
            return;
        slot->gone = true;
        slot->portEnabled = false;
        FlushSlot(*slot, USBD_STATUS_DEVICE_GONE);
        slot->device->Unplugged();
    }
    Wake();
}

// ---------------------------------------------------------------------------
// Power

void HostController::SetDevicePower(Slot *slot, DEVICE_POWER_STATE state)
{
    {
        std::lock_guard lock(mutex_);
        bool suspend = state == PowerDeviceD1 || state == PowerDeviceD2 || state == PowerDeviceD3;
        if (suspend && !slot->suspended) {
            slot->suspended = true;
            slot->device->Suspend();
        } else if (state == PowerDeviceD0 && slot->suspended) {
            slot->suspended = false;
            slot->device->Resume();
        }
    }
    Wake();
}

bool HostController::suspended(Slot *slot) const
{
    std::lock_guard lock(mutex_);
    return slot->suspended;
}

NTSTATUS HostController::WaitWake(Slot *slot, PIRP irp)
{
    NTSTATUS refused = STATUS_SUCCESS;
    {
        std::lock_guard lock(mutex_);
        if (slot->gone || slot->removed) {
            refused = STATUS_NO_SUCH_DEVICE;
        } else if (slot->waitWake) {
            refused = STATUS_DEVICE_BUSY;  // a second wait-wake while one is held
        } else {
            IoMarkIrpPending(irp);
            slot->waitWake = irp;
            ++slot->inflight;
            IoSetCancelRoutine(irp, WaitWakeCancelRoutine);
            if (CancelAsked(irp) && IoSetCancelRoutine(irp, nullptr) != nullptr) {
                slot->waitWake = nullptr;
                done_.push_back({irp, slot, STATUS_CANCELLED});
            } else {
                slot->device->EnableRemoteWake(true);
                // A wake the device signalled before it was armed is not one.
                slot->wakeSignal->store(false);
            }
            changed_.notify_all();
        }
    }
    if (refused != STATUS_SUCCESS) {
        irp->IoStatus.Status = refused;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return refused;
    }
    Wake();
    return STATUS_PENDING;
}

void HostController::FinishWaitWake(Slot &slot, NTSTATUS status)
{
    PIRP irp = slot.waitWake;
    if (!irp || IoSetCancelRoutine(irp, nullptr) == nullptr)
        return;  // none, or its cancel routine is on the way and completes it
    slot.waitWake = nullptr;
    slot.device->EnableRemoteWake(false);
    done_.push_back({irp, &slot, status});
}

void NTAPI HostController::WaitWakeCancelRoutine(PDEVICE_OBJECT pdo, PIRP irp)
{
    // Never completes inline, as for transfers.
    IoReleaseCancelSpinLock(irp->CancelIrql);
    HostController *self = ControllerOfPdo(pdo);
    {
        std::lock_guard lock(self->mutex_);
        auto it = std::find_if(self->slots_.begin(), self->slots_.end(),
                               [irp](const auto &slot) { return slot->waitWake == irp; });
        if (it == self->slots_.end()) {
            platform::Violate("USB_CANCEL_UNKNOWN_REQUEST",
                              "wait-wake cancel routine of the USB hub called for a request it does not hold");
            return;
        }
        Slot &slot = **it;
        slot.waitWake = nullptr;
        slot.device->EnableRemoteWake(false);
        self->done_.push_back({irp, &slot, STATUS_CANCELLED});
    }
    self->Wake();
}

bool HostController::waitWakePending(Slot *slot) const
{
    std::lock_guard lock(mutex_);
    return slot->waitWake != nullptr;
}

bool HostController::WaitWakeArmed(Slot *slot, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return slot->waitWake != nullptr; });
}

void HostController::Started(Slot *slot)
{
    std::lock_guard lock(mutex_);
    slot->removed = false;
}

bool HostController::removed(Slot *slot) const
{
    std::lock_guard lock(mutex_);
    return slot->removed;
}

// ---------------------------------------------------------------------------
// Queries

std::shared_ptr<UsbDevice> HostController::device(Slot *slot) const
{
    std::lock_guard lock(mutex_);
    return slot->device;
}

uint8_t HostController::address(Slot *slot) const
{
    std::lock_guard lock(mutex_);
    return slot->address;
}

void HostController::SetPortEnabled(Slot *slot, bool enabled)
{
    {
        std::lock_guard lock(mutex_);
        slot->portEnabled = enabled && !slot->gone;
    }
    Wake();
}

void HostController::SetObserver(std::shared_ptr<UrbObserver> observer)
{
    std::lock_guard lock(mutex_);
    observer_ = std::move(observer);
}

unsigned HostController::portResets(Slot *slot) const
{
    std::lock_guard lock(mutex_);
    return slot->portResets;
}

std::vector<UrbRecord> HostController::urbs(Slot *slot) const
{
    std::lock_guard lock(mutex_);
    return slot->urbs.Records();
}

void HostController::ClearUrbs(Slot *slot)
{
    std::lock_guard lock(mutex_);
    slot->urbs.Clear();
}

void HostController::SetUrbLogLimit(size_t records)
{
    std::lock_guard lock(mutex_);
    urbLogLimit_ = records;
}

size_t HostController::pending(Slot *slot, uint8_t endpoint) const
{
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (auto &pipe : slot->pipes)
        if (endpoint == 0xFF || pipe->endpoint == endpoint)
            n += pipe->queue.size();
    return n;
}

bool HostController::WaitPending(Slot *slot, uint8_t endpoint, size_t n, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        size_t count = 0;
        for (auto &pipe : slot->pipes)
            if (endpoint == 0xFF || pipe->endpoint == endpoint)
                count += pipe->queue.size();
        return count >= n;
    });
}

bool HostController::WaitReleased(PIRP irp, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        auto holds = [&](const OpQueue &q) {
            return std::any_of(q.begin(), q.end(), [&](const auto &op) { return op->irp == irp; });
        };
        if (std::find(delivering_.begin(), delivering_.end(), irp) != delivering_.end() ||
            std::any_of(done_.begin(), done_.end(), [&](const Completion &c) { return c.irp == irp; }))
            return false;
        for (auto &slot : slots_) {
            if (holds(slot->control) || holds(slot->aborts) || holds(slot->orphans))
                return false;
            for (auto &pipe : slot->pipes)
                if (holds(pipe->queue))
                    return false;
        }
        return true;
    });
}

bool HostController::WaitIdle(Slot *slot, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return slot->inflight == 0; });
}

}  // namespace world
