// scripted_device.cpp - recording, scripted devices for driver tests.
#include "scripted_device.hpp"

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace testing_support {

// ---------------------------------------------------------------------------
// Answers

Answer Answer::Complete(NTSTATUS status, ULONG_PTR information)
{
    Answer a;
    a.kind = Kind::Complete;
    a.status = status;
    a.information = information;
    return a;
}

Answer Answer::Data(std::vector<uint8_t> bytes, NTSTATUS status)
{
    Answer a;
    a.kind = Kind::Complete;
    a.status = status;
    a.data = std::move(bytes);
    return a;
}

Answer Answer::Pend()
{
    Answer a;
    a.kind = Kind::Pend;
    return a;
}

Answer Answer::PendUncancellable()
{
    Answer a;
    a.kind = Kind::PendUncancellable;
    return a;
}

Answer Answer::Pass()
{
    Answer a;
    a.kind = Kind::Pass;
    return a;
}

Answer Answer::Async(NTSTATUS status, ULONG_PTR information, CompleteFrom from)
{
    Answer a;
    a.kind = Kind::CompleteAsync;
    a.status = status;
    a.information = information;
    a.from = from;
    return a;
}

namespace {

ScriptedDevice *Owner(PDEVICE_OBJECT device)
{
    return *static_cast<ScriptedDevice **>(device->DeviceExtension);
}

// The buffer a read or a device control returns its data in, and its size.
std::pair<uint8_t *, size_t> OutputBuffer(PIRP irp, PIO_STACK_LOCATION stack)
{
    auto fromMdl = [irp](size_t limit) -> std::pair<uint8_t *, size_t> {
        if (irp->MdlAddress == nullptr) {
            return {nullptr, 0};
        }
        auto *va = static_cast<uint8_t *>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
        return {va, std::min<size_t>(limit, MmGetMdlByteCount(irp->MdlAddress))};
    };
    switch (stack->MajorFunction) {
    case IRP_MJ_READ:
        if (irp->MdlAddress != nullptr) {
            return fromMdl(stack->Parameters.Read.Length);
        }
        if (irp->AssociatedIrp.SystemBuffer != nullptr) {
            return {static_cast<uint8_t *>(irp->AssociatedIrp.SystemBuffer), stack->Parameters.Read.Length};
        }
        return {static_cast<uint8_t *>(irp->UserBuffer), stack->Parameters.Read.Length};
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: {
        ULONG length = stack->Parameters.DeviceIoControl.OutputBufferLength;
        switch (METHOD_FROM_CTL_CODE(stack->Parameters.DeviceIoControl.IoControlCode)) {
        case METHOD_BUFFERED:
            return {static_cast<uint8_t *>(irp->AssociatedIrp.SystemBuffer), length};
        case METHOD_IN_DIRECT:
        case METHOD_OUT_DIRECT:
            return fromMdl(length);
        default:
            return {static_cast<uint8_t *>(irp->UserBuffer), length};
        }
    }
    default:
        return {nullptr, 0};
    }
}

// The bytes a write or a device control carries.
std::vector<uint8_t> InputBytes(PIRP irp, PIO_STACK_LOCATION stack)
{
    const uint8_t *p = nullptr;
    size_t length = 0;
    switch (stack->MajorFunction) {
    case IRP_MJ_WRITE:
        length = stack->Parameters.Write.Length;
        if (irp->MdlAddress != nullptr) {
            p = static_cast<const uint8_t *>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
            length = std::min<size_t>(length, MmGetMdlByteCount(irp->MdlAddress));
        } else if (irp->AssociatedIrp.SystemBuffer != nullptr) {
            p = static_cast<const uint8_t *>(irp->AssociatedIrp.SystemBuffer);
        } else {
            p = static_cast<const uint8_t *>(irp->UserBuffer);
        }
        break;
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        length = stack->Parameters.DeviceIoControl.InputBufferLength;
        if (METHOD_FROM_CTL_CODE(stack->Parameters.DeviceIoControl.IoControlCode) == METHOD_NEITHER) {
            p = static_cast<const uint8_t *>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
        } else {
            p = static_cast<const uint8_t *>(irp->AssociatedIrp.SystemBuffer);
        }
        break;
    default:
        break;
    }
    if (p == nullptr || length == 0) {
        return {};
    }
    return std::vector<uint8_t>(p, p + length);
}

}  // namespace

// ---------------------------------------------------------------------------
// ScriptedDevice

ScriptedDevice::ScriptedDevice(PDEVICE_OBJECT device, PDEVICE_OBJECT lower, bool hasNode)
    : device_(device), lower_(lower), hasNode_(hasNode), default_(Answer::Complete())
{
    default_.information.reset();
}

ScriptedDevice::~ScriptedDevice()
{
    CancelAllPending();
    if (lower_ != nullptr) {
        IoDetachDevice(lower_);
    }
    if (hasNode_) {
        platform::DeleteDeviceNode(device_);
    }
    IoDeleteDevice(device_);
}

void ScriptedDevice::Queue(UCHAR major, Answer answer)
{
    std::lock_guard lock(mutex_);
    queued_.emplace_back(major, std::move(answer));
}

void ScriptedDevice::SetScript(std::function<Answer(const RecordedRequest &)> script)
{
    std::lock_guard lock(mutex_);
    script_ = std::move(script);
}

void ScriptedDevice::SetDefault(Answer answer)
{
    std::lock_guard lock(mutex_);
    default_ = std::move(answer);
}

std::vector<RecordedRequest> ScriptedDevice::Requests() const
{
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<RecordedRequest> ScriptedDevice::Requests(UCHAR major) const
{
    std::lock_guard lock(mutex_);
    std::vector<RecordedRequest> out;
    std::copy_if(requests_.begin(), requests_.end(), std::back_inserter(out),
                 [major](const RecordedRequest &r) { return r.major == major; });
    return out;
}

size_t ScriptedDevice::RequestCount() const
{
    std::lock_guard lock(mutex_);
    return requests_.size();
}

void ScriptedDevice::ClearRequests()
{
    std::lock_guard lock(mutex_);
    requests_.clear();
}

bool ScriptedDevice::WaitForRequests(size_t count, int timeoutMs) const
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return requests_.size() >= count; });
}

size_t ScriptedDevice::PendingCount() const
{
    std::lock_guard lock(mutex_);
    return pending_.size();
}

std::vector<PIRP> ScriptedDevice::Pending() const
{
    std::lock_guard lock(mutex_);
    return {pending_.begin(), pending_.end()};
}

bool ScriptedDevice::WaitForPending(size_t count, int timeoutMs) const
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return pending_.size() >= count; });
}

NTSTATUS NTAPI ScriptedDevice::Dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    return Owner(device)->Handle(irp);
}

NTSTATUS ScriptedDevice::Handle(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);

    RecordedRequest r;
    r.irp = irp;
    r.device = device_;
    r.major = stack->MajorFunction;
    r.minor = stack->MinorFunction;
    r.control = stack->Control;
    r.fileObject = stack->FileObject;
    if (stack->FileObject != nullptr && stack->FileObject->FileName.Buffer != nullptr) {
        r.fileName = platform::ToUtf8(stack->FileObject->FileName);
    }
    r.hasMdl = irp->MdlAddress != nullptr;
    r.irql = KeGetCurrentIrql();
    r.stack = *stack;
    switch (r.major) {
    case IRP_MJ_READ:
        r.length = stack->Parameters.Read.Length;
        r.byteOffset = stack->Parameters.Read.ByteOffset.QuadPart;
        break;
    case IRP_MJ_WRITE:
        r.length = stack->Parameters.Write.Length;
        r.byteOffset = stack->Parameters.Write.ByteOffset.QuadPart;
        break;
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        r.ioControlCode = stack->Parameters.DeviceIoControl.IoControlCode;
        r.inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
        r.outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
        break;
    default:
        break;
    }
    r.data = InputBytes(irp, stack);

    {
        std::lock_guard lock(mutex_);
        requests_.push_back(r);
    }
    changed_.notify_all();

    Answer answer = Choose(r);
    switch (answer.kind) {
    case Answer::Kind::Pass:
        if (lower_ != nullptr) {
            if (r.major == IRP_MJ_POWER) {
                PoStartNextPowerIrp(irp);
                IoSkipCurrentIrpStackLocation(irp);
                return PoCallDriver(lower_, irp);
            }
            IoSkipCurrentIrpStackLocation(irp);
            return IoCallDriver(lower_, irp);
        }
        // The bottom of a stack completes what it does not handle as it came.
        answer = Answer::Complete(irp->IoStatus.Status);
        answer.information.reset();
        Finish(irp, answer);
        return answer.status;
    case Answer::Kind::Pend: {
        NTSTATUS status = PendRequest(irp, true);
        if (answer.pended)
            answer.pended(irp);
        return status;
    }
    case Answer::Kind::PendUncancellable:
        return PendRequest(irp, false);
    case Answer::Kind::CompleteAsync:
        // Completed in another context, and finished there before the
        // dispatch routine returns STATUS_PENDING: the sender sees a pended
        // request whose completion has already run.
        IoMarkIrpPending(irp);
        Run(answer.from, [&] { Finish(irp, answer); });
        return STATUS_PENDING;
    case Answer::Kind::Complete:
    default:
        Finish(irp, answer);
        return answer.status;
    }
}

Answer ScriptedDevice::Choose(const RecordedRequest &request)
{
    std::function<Answer(const RecordedRequest &)> script;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(queued_.begin(), queued_.end(),
                               [&](const auto &q) { return q.first == request.major; });
        if (it != queued_.end()) {
            Answer answer = std::move(it->second);
            queued_.erase(it);
            return answer;
        }
        if (!script_) {
            return default_;
        }
        script = script_;
    }
    return script(request);
}

NTSTATUS ScriptedDevice::PendRequest(PIRP irp, bool cancellable)
{
    IoMarkIrpPending(irp);
    bool cancelledAlready = false;
    {
        std::lock_guard lock(mutex_);
        pending_.push_back(irp);
        if (!cancellable) {
            uncancellable_.push_back(irp);
        } else {
            IoSetCancelRoutine(irp, CancelRoutine);
            if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
                pending_.pop_back();
                cancelledAlready = true;
            }
        }
    }
    changed_.notify_all();
    if (cancelledAlready) {
        std::function<void(std::function<void()>)> post;
        {
            std::lock_guard lock(mutex_);
            post = completer_;
        }
        if (post)
            post([irp] { Finish(irp, Answer::Complete(STATUS_CANCELLED)); });
        else
            Finish(irp, Answer::Complete(STATUS_CANCELLED));
    }
    return STATUS_PENDING;
}

bool ScriptedDevice::TakePending(PIRP irp)
{
    std::lock_guard lock(mutex_);
    auto it = std::find(pending_.begin(), pending_.end(), irp);
    if (it == pending_.end()) {
        return false;
    }
    pending_.erase(it);
    return true;
}

void NTAPI ScriptedDevice::CancelRoutine(PDEVICE_OBJECT device, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    ScriptedDevice *self = Owner(device);
    if (self->TakePending(irp)) {
        self->changed_.notify_all();
        CompleteFrom from;
        std::function<void(std::function<void()>)> post;
        {
            std::lock_guard lock(self->mutex_);
            from = self->cancelFrom_;
            post = self->completer_;
        }
        if (post)
            post([irp] { Finish(irp, Answer::Complete(STATUS_CANCELLED)); });
        else
            Run(from, [irp] { Finish(irp, Answer::Complete(STATUS_CANCELLED)); });
    }
}

void ScriptedDevice::SetCancelFrom(CompleteFrom from)
{
    std::lock_guard lock(mutex_);
    cancelFrom_ = from;
}

void ScriptedDevice::SetCompleter(std::function<void(std::function<void()>)> post)
{
    std::lock_guard lock(mutex_);
    completer_ = std::move(post);
}

bool ScriptedDevice::CompletePending(const Answer &answer, CompleteFrom from, PIRP which)
{
    PIRP irp = nullptr;
    {
        std::lock_guard lock(mutex_);
        auto it = which != nullptr ? std::find(pending_.begin(), pending_.end(), which) : pending_.begin();
        if (it == pending_.end()) {
            return false;
        }
        auto plain = std::find(uncancellable_.begin(), uncancellable_.end(), *it);
        if (plain != uncancellable_.end()) {
            uncancellable_.erase(plain);
        } else if (IoSetCancelRoutine(*it, nullptr) == nullptr) {
            // A request whose cancel routine has been taken belongs to the cancel.
            return false;
        }
        irp = *it;
        pending_.erase(it);
    }
    changed_.notify_all();
    Run(from, [&] { Finish(irp, answer); });
    return true;
}

void ScriptedDevice::CancelAllPending()
{
    for (;;) {
        std::vector<PIRP> irps = Pending();
        if (irps.empty()) {
            return;
        }
        for (PIRP irp : irps) {
            CompletePending(Answer::Complete(STATUS_CANCELLED), CompleteFrom::TestThread, irp);
        }
        // A cancel routine that owns a request finishes it on its own thread.
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::milliseconds(50), [&] { return pending_.empty(); });
    }
}

void ScriptedDevice::Finish(PIRP irp, const Answer &answer)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (answer.effect) {
        answer.effect(irp, stack);
    }
    size_t copied = 0;
    if (!answer.data.empty()) {
        auto [buffer, size] = OutputBuffer(irp, stack);
        if (buffer != nullptr) {
            copied = std::min(size, answer.data.size());
            std::copy_n(answer.data.begin(), copied, buffer);
        }
    }
    if (stack->MajorFunction == IRP_MJ_POWER)
        PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = answer.status;
    if (answer.information) {
        irp->IoStatus.Information = *answer.information;
    } else if (!answer.data.empty()) {
        irp->IoStatus.Information = copied;
    }
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

void ScriptedDevice::Run(CompleteFrom from, const std::function<void()> &fn)
{
    switch (from) {
    case CompleteFrom::TestThread:
        fn();
        break;
    case CompleteFrom::Dispatch:
        platform::AtDispatchLevel(fn);
        break;
    case CompleteFrom::OtherThread:
        std::thread(fn).join();
        break;
    case CompleteFrom::OtherDispatch:
        std::thread([&] { platform::AtDispatchLevel(fn); }).join();
        break;
    }
}

// ---------------------------------------------------------------------------
// ScriptedDriver

ScriptedDriver::ScriptedDriver(std::u16string_view name) : driver_(platform::CreateDriverObject(name))
{
    for (auto &slot : driver_->MajorFunction) {
        slot = ScriptedDevice::Dispatch;
    }
}

ScriptedDriver::~ScriptedDriver()
{
    while (!devices_.empty()) {
        devices_.pop_back();
    }
    platform::DeleteDriverObject(driver_);
}

ScriptedDevice &ScriptedDriver::CreatePdo(std::u16string_view instancePath, DeviceOptions options)
{
    return Create(nullptr, options, true, instancePath);
}

ScriptedDevice &ScriptedDriver::CreateUpper(PDEVICE_OBJECT target, DeviceOptions options)
{
    return Create(target, options, false, {});
}

ScriptedDevice &ScriptedDriver::Create(PDEVICE_OBJECT attachTo, const DeviceOptions &options, bool hasNode,
                                       std::u16string_view instancePath)
{
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver_, sizeof(ScriptedDevice *), nullptr, options.type,
                                     options.characteristics, options.exclusive ? TRUE : FALSE, &device);
    if (!NT_SUCCESS(status)) {
        throw std::runtime_error("scripted device: IoCreateDevice failed");
    }
    device->Flags |= options.flags;
    PDEVICE_OBJECT lower = nullptr;
    if (attachTo != nullptr) {
        lower = IoAttachDeviceToDeviceStack(device, attachTo);
        if (lower == nullptr) {
            IoDeleteDevice(device);
            throw std::runtime_error("scripted device: attach failed");
        }
    }
    if (hasNode) {
        platform::CreateDeviceNode(device, instancePath);
    }
    auto scripted = std::unique_ptr<ScriptedDevice>(new ScriptedDevice(device, lower, hasNode));
    *static_cast<ScriptedDevice **>(device->DeviceExtension) = scripted.get();
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    devices_.push_back(std::move(scripted));
    return *devices_.back();
}

void ScriptedDriver::Destroy(ScriptedDevice &device)
{
    auto it = std::find_if(devices_.begin(), devices_.end(), [&](const auto &d) { return d.get() == &device; });
    if (it != devices_.end()) {
        devices_.erase(it);
    }
}

}  // namespace testing_support
