// port_model.cpp - the client that plays the port VxD.
#include "port/port_model.hpp"
#include "thread_name.hpp"

#include <platform/platform.hpp>

#include <cstdio>
#include <stdexcept>

namespace world {

namespace {

constexpr ULONG kLargestDataCall = 1024;  // norva's receive buffer

// Holds a spin lock for a scope (raises to DISPATCH_LEVEL).
class SpinGuard {
public:
    explicit SpinGuard(KSPIN_LOCK &lock) : lock_(lock) { KeAcquireSpinLock(&lock_, &old_); }
    ~SpinGuard() { KeReleaseSpinLock(&lock_, old_); }
    SpinGuard(const SpinGuard &) = delete;
    SpinGuard &operator=(const SpinGuard &) = delete;

private:
    KSPIN_LOCK &lock_;
    KIRQL old_;
};

// Raises a flag for the length of a callback; reports a second entry.
class CallbackEntry {
public:
    CallbackEntry(std::atomic<bool> &flag, const char *which) : flag_(flag)
    {
        entered_ = !flag_.exchange(true);
        if (!entered_)
            platform::Violate("PORT_CALLBACK_REENTERED",
                              std::string("norva called the port's ") + which +
                                  " callback while a call of it was still running");
    }
    ~CallbackEntry()
    {
        if (entered_)
            flag_.store(false);
    }
    bool entered() const { return entered_; }

private:
    std::atomic<bool> &flag_;
    bool entered_;
};

using Clock = std::chrono::steady_clock;

Clock::time_point DeadlineAfter(std::chrono::milliseconds timeout)
{
    auto now = Clock::now();
    if (timeout > std::chrono::hours(24 * 365))
        return Clock::time_point::max();
    return now + (timeout.count() > 0 ? timeout : std::chrono::milliseconds(0));
}

// Waits on an event until the deadline; false on timeout.
bool WaitUntil(KEVENT &event, Clock::time_point deadline)
{
    if (deadline == Clock::time_point::max())
        return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr) == STATUS_SUCCESS;
    auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero())
        return false;
    LARGE_INTEGER relative;
    relative.QuadPart = -std::max<LONGLONG>(1, std::chrono::duration_cast<std::chrono::nanoseconds>(left).count() / 100);
    return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &relative) == STATUS_SUCCESS;
}

std::string Hex(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", unsigned(status));
    return text;
}

PortResult Failure(NTSTATUS status, std::string message) { return {status, 0, std::move(message)}; }

PortResult Removed(const std::string &what) { return Failure(STATUS_DEVICE_REMOVED, what + ": the converter was removed"); }

}  // namespace

std::string Describe(const PortResult &r)
{
    std::string text = Hex(r.status);
    if (!r.message.empty())
        text += ": " + r.message;
    return text;
}

// ---------------------------------------------------------------------------
// Attach and detach

PortModel::PortModel(const NorvaExports &norva, PortHandle port, Options options)
    : norva_(norva), port_(port), options_(options), rxRing_(options.rxRingSize), txRing_(options.txRingSize)
{
    if (!port_.filter)
        throw std::invalid_argument("a port needs its filter device object");
    highWater_ = options_.rxHighWater ? *options_.rxHighWater : options_.rxRingSize * 3 / 4;
    lowWater_ = options_.rxLowWater ? *options_.rxLowWater : options_.rxRingSize / 4;
    if (highWater_ + kLargestDataCall > options_.rxRingSize || lowWater_ >= highWater_)
        throw std::invalid_argument("receive ring of " + std::to_string(options_.rxRingSize) +
                                    " bytes cannot hold at a high-water mark of " + std::to_string(highWater_) +
                                    " and release at " + std::to_string(lowWater_));

    KeInitializeSpinLock(&rxLock_);
    KeInitializeSpinLock(&txLock_);
    KeInitializeEvent(&rxEvent_.event, NotificationEvent, FALSE);
    KeInitializeEvent(&statusEvent_, NotificationEvent, FALSE);
    KeInitializeEvent(&txEvent_.event, NotificationEvent, FALSE);

    variant_ = options_.variant;
    if (!variant_ && norva_.GetEndPointCaps)
        variant_ = norva_.GetEndPointCaps(port_.filter);
    if (norva_.SetRemoveCallback && port_.childPdo)
        registered_ = norva_.SetRemoveCallback(port_.childPdo, this, &RemoveRoutine) != 0;
}

PortModel::~PortModel()
{
    if (releaser_.joinable()) {
        releaser_.request_stop();
        releaseWake_.notify_all();
        releaser_.join();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    StopKicker();
    CloseHandle();
    if (removed_)
        return;
    open_ = false;
    StopEngines();
    if (registered_)
        norva_.SetRemoveCallback(port_.childPdo, nullptr, nullptr);
    if (rxStarted_ || txStarted_)
        platform::Violate("PORT_DESTROYED_WHILE_STARTED",
                          "the port model goes away while norva could not stop its engines; "
                          "its callbacks would reach freed memory");
}

// ---------------------------------------------------------------------------
// Open and close

std::optional<PortResult> PortModel::Unusable(const char *what) const
{
    if (removed_)
        return Removed(what);
    if (!open_)
        return Failure(STATUS_INVALID_DEVICE_STATE, std::string(what) + ": the port is not open");
    return std::nullopt;
}

PortResult PortModel::Open()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (removed_)
        return Removed("open");
    if (open_)
        return Failure(STATUS_INVALID_DEVICE_STATE, "open: the port is already open");
    if (rxStarted_ || txStarted_)
        return Failure(STATUS_INVALID_DEVICE_STATE, "open: an earlier stop failed; norva's engines are in an unknown state");
    const std::pair<const char *, bool> needed[] = {
        {"RxThreadStart", norva_.RxThreadStart != nullptr}, {"RxThreadStop", norva_.RxThreadStop != nullptr},
        {"TxThreadStart", norva_.TxThreadStart != nullptr}, {"TxThreadStop", norva_.TxThreadStop != nullptr},
        {"KickTx", norva_.KickTx != nullptr}};
    for (auto [name, present] : needed) {
        if (!present)
            return Failure(STATUS_NOT_IMPLEMENTED, std::string("open: norva does not export ") + name);
    }

    {
        SpinGuard guard(rxLock_);
        rxRing_.Clear();
        holding_ = false;
        parked_ = false;
    }
    {
        SpinGuard guard(txLock_);
        txRing_.Clear();
    }

    // Reception first: the receive callback may run inside the start.
    rxLive_ = true;
    rxStarted_ = true;
    if (!norva_.RxThreadStart(port_.filter, this, &RxCallback)) {
        PortResult stop = StopEngines();
        return Failure(STATUS_UNSUCCESSFUL, "open: norva could not start reception (RxThreadStart returned 0)" +
                                                (stop.ok() ? std::string() : "; " + stop.message));
    }
    txParams_ = {this, &TxCallback};
    txLive_ = true;
    txStarted_ = true;
    if (!norva_.TxThreadStart(port_.filter, &txParams_)) {
        PortResult stop = StopEngines();
        return Failure(STATUS_UNSUCCESSFUL, "open: norva could not start transmission (TxThreadStart returned 0)" +
                                                (stop.ok() ? std::string() : "; " + stop.message));
    }
    open_ = true;
    if (port_.childPdo && !handle_) {
        platform::HoldDevice(port_.childPdo);
        handle_ = true;
    }
    StartKicker();
    return {};
}

bool PortModel::holdsHandle() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return handle_;
}

void PortModel::CloseHandle()
{
    if (!handle_)
        return;
    handle_ = false;
    platform::ReleaseDevice(port_.childPdo);
}

PortResult PortModel::Close()
{
    std::lock_guard<std::mutex> lock(mutex_);
    CloseHandle();
    if (removed_)
        return Removed("close");
    if (!open_)
        return {};
    StopKicker();
    open_ = false;
    PortResult result = StopEngines();
    WakeWaiters();
    if (!result.ok())
        result.message = "close: " + result.message;
    return result;
}

// Stops transmission, then reception, each only when started.  A stop that
// fails leaves its engine marked started: its callbacks may still come.
PortResult PortModel::StopEngines()
{
    PortResult result;
    if (txStarted_) {
        if (norva_.TxThreadStop(port_.filter)) {
            txStarted_ = false;
            txLive_ = false;
        } else {
            result = Failure(STATUS_UNSUCCESSFUL, "norva could not stop transmission (TxThreadStop returned 0)");
        }
    }
    if (rxStarted_) {
        if (norva_.RxThreadStop(port_.filter)) {
            rxStarted_ = false;
            rxLive_ = false;
        } else if (result.ok()) {
            result = Failure(STATUS_UNSUCCESSFUL, "norva could not stop reception (RxThreadStop returned 0)");
        }
    }
    return result;
}

// Wakes every waiter so that it looks at the port's state again.  Each event
// is set under the lock its waiters test and clear it under, so a waiter
// that has just found nothing cannot clear the wake-up away.
void PortModel::WakeWaiters()
{
    {
        SpinGuard guard(rxLock_);
        rxEvent_.Signal();
        KeSetEvent(&statusEvent_, IO_NO_INCREMENT, FALSE);
    }
    SpinGuard guard(txLock_);
    txEvent_.Signal();
}

// ---------------------------------------------------------------------------
// Removal

ULONG NTAPI PortModel::RemoveRoutine(PVOID context)
{
    static_cast<PortModel *>(context)->OnRemove();
    return 0;
}

void PortModel::OnRemove()
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        platform::Violate("PORT_REMOVE_CALLBACK_IRQL",
                          "norva called the port's remove routine at IRQL " + std::to_string(KeGetCurrentIrql()) +
                              "; it runs at PASSIVE_LEVEL in the PnP manager's thread");
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (removed_) {
        platform::Violate("PORT_REMOVE_CALLBACK_TWICE", "norva called the port's remove routine a second time");
        return;
    }
    StopKicker();
    // The engines stop before the port is marked removed: the last read's
    // bytes still reach the ring, and Read returns them before it reports
    // the removal.
    open_ = false;
    StopEngines();
    removed_ = true;
    {
        SpinGuard guard(txLock_);
        txCounters_.discardedBytes += txRing_.size();
        txRing_.Clear();
    }
    WakeWaiters();
    if (handle_ && options_.closeAfterRemoval) {
        // The program that had the port open closes it a while later.
        auto delay = *options_.closeAfterRemoval;
        releaser_ = std::jthread([this, delay](std::stop_token stop) {
            {
                std::unique_lock<std::mutex> wait(releaseMutex_);
                releaseWake_.wait_for(wait, stop, delay, [] { return false; });
            }
            std::lock_guard<std::mutex> lock(mutex_);
            CloseHandle();
        });
    }
}

// ---------------------------------------------------------------------------
// Receive

ULONG NTAPI PortModel::RxCallback(PVOID context, PUCHAR data, ULONG length, UCHAR modemStatus, PULONG hold)
{
    static_cast<PortModel *>(context)->OnReceive(data, length, modemStatus, hold);
    return 0;
}

void PortModel::OnReceive(PUCHAR data, ULONG length, UCHAR modemStatus, PULONG hold)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL) {
        platform::Violate("PORT_CALLBACK_IRQL", "receive callback at IRQL " + std::to_string(irql));
        return;
    }
    if (!rxLive_) {
        platform::Violate("PORT_CALLBACK_AFTER_STOP",
                          "norva called the port's receive callback while reception was not started");
        return;
    }
    CallbackEntry entry(inRxCallback_, "receive");
    if (!entry.entered())
        return;
    if ((data == nullptr) != (length == 0) || length > kLargestDataCall || hold == nullptr) {
        platform::Violate("PORT_RX_CALLBACK_ARGUMENTS",
                          platform::FormatKernel("receive callback with data %p, length %lu, hold flag %p", data,
                                                 length, hold));
        return;
    }

    SpinGuard guard(rxLock_);
    if (modemStatus != modemStatus_) {
        modemStatus_ = modemStatus;
        ++rxCounters_.modemStatusChanges;
        KeSetEvent(&statusEvent_, IO_NO_INCREMENT, FALSE);
    }
    if (length) {
        ++rxCounters_.dataCalls;
        size_t taken = rxRing_.Push({data, length});
        rxCounters_.bytesIn += taken;
        rxCounters_.overrunBytes += length - taken;
        if (taken)
            rxEvent_.Signal();
        // Without a control pipe this is the only call that can hold: norva
        // then ends its loop, and a reader that drains the ring starts it
        // again.
        if (variant_ == 0 && rxRing_.size() > highWater_) {
            *hold = 1;
            parked_ = holding_ = true;
            ++rxCounters_.holds;
            ++rxCounters_.holdPeriods;
        }
        return;
    }
    // A status-only call decides whether the next read may bring data.
    ++rxCounters_.statusCalls;
    if (!holding_ && rxRing_.size() > highWater_) {
        holding_ = true;
        ++rxCounters_.holdPeriods;
    } else if (holding_ && rxRing_.size() <= lowWater_) {
        holding_ = false;
    }
    if (holding_) {
        ++rxCounters_.holds;
        *hold = 1;
    }
}

PortResult PortModel::Read(std::span<uint8_t> buffer, std::chrono::milliseconds timeout)
{
    // A read that may not wait (a poll) neither reads the clock nor touches
    // the event.
    const bool mayWait = timeout.count() > 0;
    const auto deadline = mayWait ? DeadlineAfter(timeout) : Clock::time_point();
    for (;;) {
        size_t n;
        bool resume;
        {
            SpinGuard guard(rxLock_);
            n = rxRing_.Pop(buffer);
            rxCounters_.bytesRead += n;
            if (n == 0 && mayWait && open_ && !removed_)
                rxEvent_.Clear();
            resume = parked_ && rxRing_.size() <= lowWater_;
        }
        if (resume)
            ResumeReception();
        if (n || buffer.empty())
            return {STATUS_SUCCESS, n, {}};
        if (removed_)
            return Removed("read");
        if (!open_)
            return Failure(STATUS_INVALID_DEVICE_STATE, "read: the port is not open");
        if (!mayWait || !WaitUntil(rxEvent_.event, deadline))
            return {STATUS_TIMEOUT, 0, {}};
    }
}

// Starts norva's receive loop again after a hold ended it (a converter
// without a control pipe): the finished loop is stopped, as norva requires,
// and a new one started.  The reader's thread does it, at PASSIVE_LEVEL.
void PortModel::ResumeReception()
{
    std::lock_guard<std::mutex> lock(mutex_);
    {
        SpinGuard guard(rxLock_);
        if (!parked_ || rxRing_.size() > lowWater_)
            return;  // another reader was first
    }
    if (!open_ || removed_ || !rxStarted_)
        return;
    rxStarted_ = false;
    if (!norva_.RxThreadStop(port_.filter)) {
        rxStarted_ = true;  // its callbacks may still come
        return;
    }
    {
        SpinGuard guard(rxLock_);
        parked_ = holding_ = false;
        ++rxCounters_.receiveRestarts;
    }
    rxStarted_ = true;
    if (!norva_.RxThreadStart(port_.filter, this, &RxCallback) && norva_.RxThreadStop(port_.filter)) {
        rxStarted_ = false;
        rxLive_ = false;
    }
}

std::vector<uint8_t> PortModel::ReadExactly(size_t count, std::chrono::milliseconds timeout)
{
    auto deadline = DeadlineAfter(timeout);
    std::vector<uint8_t> bytes(count);
    size_t have = 0;
    while (have < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        PortResult r = Read(std::span(bytes).subspan(have), std::max(left, std::chrono::milliseconds(0)));
        if (!r.ok() || r.status == STATUS_TIMEOUT)
            break;
        have += r.bytes;
    }
    bytes.resize(have);
    return bytes;
}

size_t PortModel::PurgeReceived()
{
    size_t n;
    bool resume;
    {
        SpinGuard guard(rxLock_);
        n = rxRing_.size();
        rxRing_.Clear();
        rxCounters_.purgedIn += n;
        resume = parked_;
    }
    if (resume)
        ResumeReception();
    return n;
}

size_t PortModel::PurgeUnsent()
{
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n;
    {
        SpinGuard guard(txLock_);
        n = txRing_.size();
        txRing_.Clear();
        txCounters_.purgedOut += n;
        txEvent_.Signal();  // room for writers, and nothing left to drain
    }
    // The write norva has in flight goes too: stopping transmission cancels
    // it, and a new start leaves the engine as it was.
    if (open_ && !removed_ && txStarted_ && norva_.TxThreadStop(port_.filter)) {
        txStarted_ = false;
        txLive_ = false;
        txLive_ = true;
        txStarted_ = true;
        if (!norva_.TxThreadStart(port_.filter, &txParams_) && norva_.TxThreadStop(port_.filter)) {
            txStarted_ = false;
            txLive_ = false;
        }
    }
    return n;
}

size_t PortModel::ReadAvailable() const
{
    SpinGuard guard(rxLock_);
    return rxRing_.size();
}

size_t PortModel::WriteWaiting() const
{
    SpinGuard guard(txLock_);
    return txRing_.size();
}

bool PortModel::ReceptionHeld() const
{
    SpinGuard guard(rxLock_);
    return holding_;
}

UCHAR PortModel::ModemStatus() const
{
    SpinGuard guard(rxLock_);
    return modemStatus_;
}

std::optional<UCHAR> PortModel::WaitModemStatusChange(std::chrono::milliseconds timeout)
{
    UCHAR from = ModemStatus();
    return WaitModemStatus(0xFF, from, timeout, /*equal=*/false);
}

std::optional<UCHAR> PortModel::WaitModemStatus(UCHAR mask, UCHAR value, std::chrono::milliseconds timeout)
{
    return WaitModemStatus(mask, value, timeout, /*equal=*/true);
}

std::optional<UCHAR> PortModel::WaitModemStatus(UCHAR mask, UCHAR value, std::chrono::milliseconds timeout, bool equal)
{
    auto deadline = DeadlineAfter(timeout);
    ++modemWaiters_;
    struct Leave {
        std::atomic<int> &n;
        ~Leave() { --n; }
    } leave{modemWaiters_};
    for (;;) {
        UCHAR status;
        {
            SpinGuard guard(rxLock_);
            status = modemStatus_;
            if (((status & mask) == value) != equal && !removed_)
                KeClearEvent(&statusEvent_);
        }
        if (((status & mask) == value) == equal)
            return status;
        if (removed_)
            return std::nullopt;
        if (!WaitUntil(statusEvent_, deadline))
            return std::nullopt;
    }
}

// ---------------------------------------------------------------------------
// Transmit

ULONG NTAPI PortModel::TxCallback(PVOID context, PUCHAR buffer, ULONG length, ULONG reserved)
{
    return static_cast<PortModel *>(context)->OnTransmit(buffer, length, reserved);
}

ULONG PortModel::OnTransmit(PUCHAR buffer, ULONG length, ULONG reserved)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL) {
        platform::Violate("PORT_CALLBACK_IRQL", "transmit callback at IRQL " + std::to_string(irql));
        return 0;
    }
    if (!txLive_) {
        platform::Violate("PORT_CALLBACK_AFTER_STOP",
                          "norva called the port's transmit callback while transmission was not started");
        return 0;
    }
    CallbackEntry entry(inTxCallback_, "transmit");
    if (!entry.entered())
        return 0;
    if ((buffer == nullptr && length != 0) || reserved != 0) {
        platform::Violate("PORT_TX_CALLBACK_ARGUMENTS",
                          platform::FormatKernel("transmit callback with buffer %p, length %lu, reserved %lu", buffer,
                                                 length, reserved));
        return 0;
    }

    SpinGuard guard(txLock_);
    size_t n = txRing_.Pop({buffer, length});  // never more than offered
    ++txCounters_.txCallbacks;
    if (n) {
        ++txCounters_.transfers;
        txCounters_.bytesOut += n;
        txCounters_.largestTransfer = std::max<uint64_t>(txCounters_.largestTransfer, n);
        txEvent_.Signal();
    }
    return ULONG(n);
}

PortResult PortModel::Write(std::span<const uint8_t> bytes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (auto refused = Unusable("write"))
        return *refused;
    size_t accepted;
    bool waiting;
    {
        SpinGuard guard(txLock_);
        accepted = txRing_.Push(bytes);
        txCounters_.bytesWritten += accepted;
        waiting = !txRing_.empty();
        if (waiting)
            ++txCounters_.kicks;
    }
    // Outside the spin lock: the kick may call the transmit callback at once.
    if (waiting)
        norva_.KickTx(port_.filter);
    return {STATUS_SUCCESS, accepted, {}};
}

PortResult PortModel::WriteAll(std::span<const uint8_t> bytes, std::chrono::milliseconds timeout)
{
    auto deadline = DeadlineAfter(timeout);
    size_t done = 0;
    for (;;) {
        PortResult r = Write(bytes.subspan(done));
        if (!r.ok()) {
            r.bytes = done;
            return r;
        }
        done += r.bytes;
        if (done == bytes.size())
            return {STATUS_SUCCESS, done, {}};
        {
            SpinGuard guard(txLock_);
            if (txRing_.space() == 0 && open_ && !removed_)
                txEvent_.Clear();
        }
        if (!WaitUntil(txEvent_.event, deadline))
            return {STATUS_TIMEOUT, done, {}};
    }
}

PortResult PortModel::Drain(std::chrono::milliseconds timeout)
{
    auto deadline = DeadlineAfter(timeout);
    for (;;) {
        bool empty;
        {
            SpinGuard guard(txLock_);
            empty = txRing_.empty();
            if (!empty && open_ && !removed_)
                txEvent_.Clear();
        }
        if (removed_)
            return Removed("drain");
        if (empty)
            return {};
        if (!open_)
            return Failure(STATUS_INVALID_DEVICE_STATE, "drain: the port is not open");
        if (!WaitUntil(txEvent_.event, deadline))
            return Failure(STATUS_TIMEOUT, "drain: norva has not fetched every byte yet");
    }
}

PortResult PortModel::TransmitChar(UCHAR c)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (auto refused = Unusable("transmit character"))
        return *refused;
    if (!norva_.TransmitChar)
        return Failure(STATUS_NOT_IMPLEMENTED, "transmit character: norva does not export TransmitChar");
    if (!norva_.TransmitChar(port_.filter, c))
        return Failure(STATUS_UNSUCCESSFUL, "transmit character: norva could not send it (TransmitChar returned 0)");
    SpinGuard guard(txLock_);
    ++txCounters_.transmitChars;
    return {STATUS_SUCCESS, 1, {}};
}

// A kick that meets the end of a transmit chain backs off without fetching;
// this thread kicks again when bytes have waited a whole retry period with
// no transmit callback at all.
void PortModel::StartKicker()
{
    if (options_.kickRetry.count() <= 0)
        return;
    kicker_ = std::jthread([this](std::stop_token stop) {
        NameThisThread("vcp-port-kick");
        KickerLoop(stop);
    });
}

void PortModel::StopKicker()
{
    if (!kicker_.joinable())
        return;
    kicker_.request_stop();
    kicker_.join();
}

void PortModel::KickerLoop(std::stop_token stop)
{
    uint64_t lastCallbacks = UINT64_MAX;
    std::unique_lock<std::mutex> wait(kickerMutex_);
    while (!stop.stop_requested()) {
        kickerWake_.wait_for(wait, stop, options_.kickRetry, [] { return false; });
        if (stop.stop_requested())
            break;
        bool waiting;
        uint64_t callbacks;
        {
            SpinGuard guard(txLock_);
            waiting = !txRing_.empty();
            callbacks = txCounters_.txCallbacks;
        }
        if (waiting && callbacks == lastCallbacks) {
            // Close and the remove routine hold the port's mutex while they
            // stop this thread: never wait for it here.
            std::unique_lock<std::mutex> port(mutex_, std::try_to_lock);
            if (port.owns_lock() && open_ && !removed_) {
                {
                    SpinGuard guard(txLock_);
                    ++txCounters_.retryKicks;
                }
                norva_.KickTx(port_.filter);
            }
        }
        lastCallbacks = callbacks;
    }
}

// ---------------------------------------------------------------------------
// Settings and lines

NTSTATUS PortModel::CallFilter(ULONG code, std::span<const uint8_t> input)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        platform::Violate("IRQL_NOT_LESS_OR_EQUAL", "the port sends its device-control requests at PASSIVE_LEVEL");
    std::vector<uint8_t> copy(input.begin(), input.end());
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(code, port_.filter, copy.empty() ? nullptr : copy.data(),
                                             ULONG(copy.size()), nullptr, 0, FALSE, &event, &iosb);
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = IoCallDriver(port_.filter, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    return status;
}

PortResult PortModel::SendControl(ULONG code, std::span<const uint8_t> input, const std::string &what)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (removed_)
        return Removed(what);
    NTSTATUS status = CallFilter(code, input);
    if (!NT_SUCCESS(status))
        return Failure(status, what + " failed: norva answered " + Hex(status));
    return {};
}

PortResult PortModel::SetLineSettings(const CommSettings &settings)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (removed_)
        return Removed("line settings " + Describe(settings));
    if (!variant_)
        return Failure(STATUS_NOT_SUPPORTED, "line settings refused: the converter variant is unknown "
                                             "(norva does not export GetEndPointCaps)");
    if (auto refusal = CheckCommSettings(*variant_, settings))
        return Failure(refusal->status, refusal->message);
    auto dcb = BuildDcb(settings);
    NTSTATUS status = CallFilter(kVcpSetCommState, dcb);
    if (!NT_SUCCESS(status))
        return Failure(status, "line settings " + Describe(settings) + " failed: norva answered " + Hex(status));
    settings_ = settings;
    return {};
}

std::optional<CommSettings> PortModel::LineSettingsInForce() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return settings_;
}

PortResult PortModel::SendLine(ULONG code)
{
    const char *what = code == kVcpSetRts   ? "RTS on"
                       : code == kVcpClearRts ? "RTS off"
                       : code == kVcpSetDtr ? "DTR on"
                                                   : "DTR off";
    std::lock_guard<std::mutex> lock(mutex_);
    if (removed_)
        return Removed(what);
    NTSTATUS status = CallFilter(code, {});
    if (!NT_SUCCESS(status))
        return Failure(status, std::string(what) + " failed: norva answered " + Hex(status));
    if (code == kVcpSetRts)
        modemControl_ |= 0x01;
    else if (code == kVcpClearRts)
        modemControl_ &= UCHAR(~0x01);
    else if (code == kVcpSetDtr)
        modemControl_ |= 0x02;
    else
        modemControl_ &= UCHAR(~0x02);
    return {};
}

UCHAR PortModel::ModemControl() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return modemControl_;
}

PortResult PortModel::VendorRequest(std::span<const uint8_t> bytes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (removed_)
        return Removed("vendor request");
    if (!norva_.VendorRequest)
        return Failure(STATUS_NOT_IMPLEMENTED, "vendor request: norva does not export VendorRequest");
    if (bytes.empty())
        return Failure(STATUS_INVALID_PARAMETER, "vendor request: a converter command has at least one byte");
    std::vector<uint8_t> copy(bytes.begin(), bytes.end());
    if (!norva_.VendorRequest(port_.filter, copy.data(), ULONG(copy.size())))
        return Failure(STATUS_UNSUCCESSFUL, "vendor request: the converter did not take it (VendorRequest returned 0)");
    return {STATUS_SUCCESS, copy.size(), {}};
}

std::u16string PortModel::LinkName()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (removed_ || !norva_.GetLinkName)
        return {};
    PUNICODE_STRING name = norva_.GetLinkName(port_.filter);
    if (!name || !name->Buffer)
        return {};
    return std::u16string(reinterpret_cast<const char16_t *>(name->Buffer), name->Length / sizeof(WCHAR));
}

// ---------------------------------------------------------------------------
// Counters

PortCounters PortModel::Counters() const
{
    PortCounters c;
    {
        SpinGuard guard(rxLock_);
        c = rxCounters_;
    }
    SpinGuard guard(txLock_);
    const PortCounters &t = txCounters_;
    c.bytesWritten = t.bytesWritten;
    c.kicks = t.kicks;
    c.retryKicks = t.retryKicks;
    c.txCallbacks = t.txCallbacks;
    c.transfers = t.transfers;
    c.bytesOut = t.bytesOut;
    c.largestTransfer = t.largestTransfer;
    c.transmitChars = t.transmitChars;
    c.discardedBytes = t.discardedBytes;
    c.purgedOut = t.purgedOut;
    return c;
}

}  // namespace world
