// io.cpp - the I/O manager: driver and device objects, attachment, object
// references, requests (IRPs) with their stack locations, completion and
// cancellation, memory descriptor lists, the request builders, and a client's
// open and close of a device.
#include "kernel.hpp"
#include "pointer_map.hpp"

#include <platform/sanitizers.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <thread>
#include <unordered_map>
#include <utility>
#include <unordered_set>

using namespace platform::detail;

// The host's bookkeeping of one device object.
struct _DEVOBJ_EXTENSION {
    PDEVICE_OBJECT self = nullptr;
    PDEVICE_OBJECT attachedTo = nullptr;  // the device below (set by an attach)
    LONG references = 1;                  // object references; the creation one is IoDeleteDevice's
    LONG opens = 0;                       // open file objects
    bool deletePending = false;
    std::u16string name;
    // The PDO at the bottom of the stack the device was attached to (itself
    // for a device never attached).  Compared by address only: the PDO may
    // be gone by the time its function device is deleted.
    PDEVICE_OBJECT stackPdo = nullptr;
};

namespace {

constexpr CSHORT kIoTypeDevice = 3;
constexpr CSHORT kIoTypeDriver = 4;
constexpr CSHORT kIoTypeFile = 5;
constexpr CSHORT kIoTypeIrp = 6;

// What the verifier knows of one stack location of a request in flight.
struct LevelRecord {
    bool passed = false;           // the completion walk has gone past it
    NTSTATUS status = 0;           // IoStatus.Status as the walk went past
    bool marked = false;           // it carried SL_PENDING_RETURNED then
    bool pendingReturned = false;  // a dispatch routine at it returned STATUS_PENDING
    PDRIVER_OBJECT pendingDriver = nullptr;  // which one
    UCHAR major = 0, minor = 0;              // of the request at that level
    uint64_t epoch = 0;                      // which trip down this record belongs to
    // The power manager marked the location pending before the dispatch
    // routine got it (it had answered STATUS_PENDING for it already).
    bool premarked = false;
};

// The records of a request's stack locations, by location number (1 = the
// bottom), kept in place from one trip down to the next so that a request
// sent again and again costs no allocation.
class LevelRecords {
public:
    LevelRecord *Find(int location) { return Present(location) ? &slots_[size_t(location)] : nullptr; }
    // The location's record, a fresh one if it had none.
    LevelRecord &operator[](int location)
    {
        if (size_t(location) >= slots_.size())
            slots_.resize(size_t(location) + 1);
        LevelRecord &record = slots_[size_t(location)];
        if (!Present(location)) {
            if (unsigned(location) < kLocations)
                present_[unsigned(location) / 64] |= uint64_t(1) << (unsigned(location) % 64);
            record = LevelRecord{};
        }
        return record;
    }
    // Forgets the records of every location below `location`.
    void EraseBelow(int location)
    {
        if (location <= 0)
            return;
        if (location < 64) [[likely]] {
            present_[0] &= ~uint64_t(0) << location;
            return;
        }
        present_[0] = 0;
        present_[1] = location >= 128 ? 0 : present_[1] & (~uint64_t(0) << (location - 64));
    }
    // Forgets every record, keeping the storage.
    void Clear() { present_ = {}; }

private:
    // Locations are numbered by a CHAR: 1 to 127.
    static constexpr unsigned kLocations = 128;
    bool Present(int location) const
    {
        unsigned l = unsigned(location);
        if (l < 64) [[likely]]
            return (present_[0] >> l) & 1;
        return l < kLocations && (present_[1] >> (l - 64)) & 1;
    }
    std::vector<LevelRecord> slots_;
    std::array<uint64_t, kLocations / 64> present_{};  // which slots hold a record
};

struct IrpRecord {
    IrpKind kind = IrpKind::Allocated;
    bool active = false;  // sent and not yet completed to the top or stopped
    ULONG outputLength = 0;
    std::function<void(PIRP)> finisher;
    uint64_t serial = 0;  // tells a request from a later one at the same address
    // Dispatch routines running with it, and completion walks below its
    // owner's level: each keeps a pointer to the record, which outlives the
    // request's memory until the last of them lets go.
    int frames = 0;
    int walks = 0;
    bool freed = false;
    LevelRecords levels;
    uint64_t epochs = 0;
    // Force-pending: while a forced call's dispatch routine runs, the
    // callee's location and thread; a completion that reaches that location
    // on that thread is held back (deferred) and delivered later.
    int forcedLocation = 0;
    std::thread::id forcedThread{};
    bool deferred = false;
    bool deferredMarked = false;
    NTSTATUS deferredStatus = 0;
    // What the caller's output buffer can take (reads, device controls).
    bool hasOutput = false;
    // Query- and set-power requests: the devices whose dispatch routines got
    // it and those that called PoStartNextPowerIrp for it.
    std::vector<PDEVICE_OBJECT> powerHandlers;
    std::vector<PDEVICE_OBJECT> powerStarted;
    UCHAR powerMinor = 0;
    POWER_STATE_TYPE powerType = SystemPowerState;

    // Makes the record a fresh one for a request of `kind`, keeping the
    // storage of its level records and handler lists.
    void Reuse(IrpKind newKind, uint64_t newSerial)
    {
        kind = newKind;
        active = false;
        outputLength = 0;
        finisher = nullptr;
        serial = newSerial;
        frames = 0;
        walks = 0;
        freed = false;
        levels.Clear();
        epochs = 0;
        forcedLocation = 0;
        forcedThread = std::thread::id{};
        deferred = false;
        deferredMarked = false;
        deferredStatus = 0;
        hasOutput = false;
        powerHandlers.clear();
        powerStarted.clear();
        powerMinor = 0;
        powerType = SystemPowerState;
    }
};

constexpr size_t kFreedIrpsKept = 4096;
// Records of freed requests kept for the next requests to use (none under
// AddressSanitizer, which then sees a use of a record after its request went).
constexpr size_t kSpareRecords = platform::kAddressSanitizer ? 0 : 64;

struct ForceRule {
    unsigned every = 1;
    uint64_t calls = 0;
};

struct IoState {
    platform::ShortLock lock;
    PointerMap<bool> devices;  // not yet freed (the value is unused)
    // Devices found live lately, by a few bits of their address; all
    // forgotten whenever a device is freed.
    std::array<PDEVICE_OBJECT, 8> liveDevices{};
    PointerMap<std::unique_ptr<IrpRecord>> irps;  // by address; a record stays put while it lives
    // The request looked up last and its record (a driver sends and
    // completes one request several times in a row).
    PIRP lastIrp = nullptr;
    IrpRecord *lastRecord = nullptr;
    // Records of requests freed while a dispatch routine or a completion
    // walk that had them still runs: the verifier checks that routine's
    // return against what happened.
    std::vector<std::unique_ptr<IrpRecord>> retired;
    std::vector<std::unique_ptr<IrpRecord>> spareRecords;
    uint64_t serials = 0;
    PointerMap<bool> mdls;  // the value is unused
    std::atomic<uint64_t> irpAllocations{0};
    std::atomic<ULONG> autoNames{0};
    bool failNextAttach = false;
    // PDOs whose stacks are between IRP_MN_SURPRISE_REMOVAL and
    // IRP_MN_REMOVE_DEVICE (told by the PnP manager).
    std::unordered_set<PDEVICE_OBJECT> surpriseRemoved;
    // PDOs whose stacks have not been started yet (Windows 2000 refuses
    // creates for them; told by the PnP manager).
    std::unordered_set<PDEVICE_OBJECT> startPending;
    // Drivers whose requests are forced to pend.
    std::unordered_map<PDRIVER_OBJECT, ForceRule> forced;
    // Requests freed lately (the newest kFreedIrpsKept), so that one sent
    // again is named instead of read after its memory went back: each
    // address with the number of its free, and a ring of the frees in order.
    PointerMap<uint64_t> freedIrps;
    std::array<std::pair<PIRP, uint64_t>, kFreedIrpsKept> freedOrder{};
    uint64_t frees = 0;
};

// A status no routine may return or complete a request with.
constexpr NTSTATUS kInvalidStatus = NTSTATUS(0xFFFFFFFF);

// Query- and set-power requests whose handlers are recorded (most
// completions need not look).
std::atomic<uint64_t> gPowerRequestsInFlight{0};

// Completions held back by force-pending, delivered in order by one worker
// thread at DISPATCH_LEVEL, as a DPC would deliver them.
struct DeferredCompletions {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::pair<PIRP, PIO_STACK_LOCATION>> queue;
    bool busy = false;
    bool started = false;
    uint64_t delivered = 0;
};

DeferredCompletions &Deferred()
{
    static DeferredCompletions *deferred = new DeferredCompletions;  // outlives static destructors
    return *deferred;
}

// Made when the kernel library loads, before the other objects it makes
// then, and never destroyed (it outlives static destructors).
struct IoStateHolder {
    IoState *state = new IoState;
};
[[gnu::init_priority(101)]] IoStateHolder gIoState;

[[gnu::always_inline]] inline IoState &Io() { return *gIoState.state; }

KSPIN_LOCK gCancelLock = 0;

// The devices whose dispatch routines run on this thread: each IofCallDriver
// links an entry of its own frame in front of the chain while its callee runs.
struct DispatchFrame {
    PDEVICE_OBJECT device;
    DispatchFrame *outer;
};
constinit thread_local DispatchFrame *tDispatching = nullptr;

// The requests whose drivers' completion routines run on this thread, and
// whether the routine completed its request again: allowed only if it then
// returns STATUS_MORE_PROCESSING_REQUIRED, since the walk that called it
// would otherwise go on with a request the second completion finished.
struct RoutineFrame {
    PIRP irp;
    bool completedAgain;
    RoutineFrame *outer;
};
constinit thread_local RoutineFrame *tCompleting = nullptr;

// Whether the device is not yet freed (caller holds Io().lock).
inline bool IsLiveDeviceLocked(IoState &io, PDEVICE_OBJECT device)
{
    PDEVICE_OBJECT &seen = io.liveDevices[(reinterpret_cast<uintptr_t>(device) >> 4) % io.liveDevices.size()];
    if (seen == device)
        return true;
    if (!io.devices.Contains(device))
        return false;
    seen = device;
    return true;
}

bool IsLiveDevice(PDEVICE_OBJECT device)
{
    std::lock_guard guard(Io().lock);
    return Io().devices.Contains(device);
}

// Whether the stack the device belongs to is being surprise-removed: its
// drivers must keep their devices attached and alive until the removal.
bool InSurpriseRemoval(PDEVICE_OBJECT device)  // caller holds Io().lock
{
    PDEVICE_OBJECT pdo = device->DeviceObjectExtension->stackPdo;
    return Io().surpriseRemoved.count(pdo ? pdo : device) != 0;
}

const char *DriverNameOf(PDEVICE_OBJECT device, std::string *storage)
{
    *storage = device && device->DriverObject ? platform::ToUtf8(device->DriverObject->DriverName) : "a driver";
    return storage->c_str();
}

void FreeDeviceObject(PDEVICE_OBJECT device)
{
    ForgetPowerDevice(device);
    {
        std::lock_guard guard(Io().lock);
        Io().devices.Erase(device);
        Io().liveDevices = {};
        Io().surpriseRemoved.erase(device);
        Io().startPending.erase(device);
    }
    delete device->DeviceObjectExtension;
    KernelFree(device);
}

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp)
{
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER)
        PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

IrpRecord *FindIrp(PIRP irp)  // caller holds Io().lock
{
    IoState &io = Io();
    if (irp == io.lastIrp)
        return io.lastRecord;
    std::unique_ptr<IrpRecord> *r = io.irps.Find(irp);
    if (!r)
        return nullptr;
    io.lastIrp = irp;
    io.lastRecord = r->get();
    return r->get();
}

void SetActive(PIRP irp, bool active)
{
    std::lock_guard guard(Io().lock);
    if (IrpRecord *r = FindIrp(irp))
        r->active = active;
}

// The completion walk goes past a stack location.
void NotePassedLocked(IrpRecord *r, PIRP irp, int location, NTSTATUS status, bool marked)  // caller holds Io().lock
{
    LevelRecord &level = r->levels[location];
    if (level.pendingReturned && !marked)
        ViolateF("PENDING_WITHOUT_MARK",
                 "%s returned STATUS_PENDING for request %p (major 0x%02x minor 0x%02x) without IoMarkIrpPending",
                 level.pendingDriver ? platform::ToUtf8(level.pendingDriver->DriverName).c_str() : "a driver",
                 (void *)irp, level.major, level.minor);
    level.passed = true;
    level.status = status;
    level.marked = marked;
}

inline void ZeroStackLocation(PIO_STACK_LOCATION sp)
{
    sp->MinorFunction = 0;
    sp->Flags = 0;
    sp->Control = 0;
    sp->Parameters.Others.Argument1 = nullptr;
    sp->Parameters.Others.Argument2 = nullptr;
    sp->Parameters.Others.Argument3 = nullptr;
    sp->Parameters.Others.Argument4 = nullptr;
    sp->FileObject = nullptr;
}

// The fields of a request of `stackSize` locations in `packetSize` bytes.
inline void InitializeIrpFields(PIRP irp, USHORT packetSize, CCHAR stackSize)
{
    std::memset(irp, 0, packetSize);
    irp->Type = kIoTypeIrp;
    irp->Size = packetSize;
    irp->StackCount = stackSize;
    irp->CurrentLocation = CHAR(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
}

// Every request has one guard stack location past its last one: a driver
// that marks pending (or fills a location) past the top of a request it
// allocated writes there, and the verifier names it.
[[gnu::cold, gnu::noinline]] void ReportGuardWritten(PIRP irp, PIO_STACK_LOCATION guardLocation)
{
    std::memset(guardLocation, 0, sizeof(IO_STACK_LOCATION));
    ViolateF("IRP_STACK_OVERRUN",
             "request %p: a stack location past its last one was written (IoMarkIrpPending or "
             "IoGetNextIrpStackLocation at the top of a request the driver owns)",
             (void *)irp);
}

inline void CheckGuard(PIRP irp)
{
    auto guardLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + irp->StackCount;
    static_assert(sizeof(IO_STACK_LOCATION) % sizeof(uintptr_t) == 0);
    uintptr_t written = 0;
    uintptr_t words[sizeof(IO_STACK_LOCATION) / sizeof(uintptr_t)];
    std::memcpy(words, guardLocation, sizeof words);  // a few word loads, not a call
#pragma GCC unroll 16
    for (uintptr_t w : words)
        written |= w;
    if (written != 0) [[unlikely]]
        ReportGuardWritten(irp, guardLocation);
}

// The request's memory goes back: its address is remembered among the
// newest kFreedIrpsKept freed (caller holds Io().lock).
void RememberFreedLocked(IoState &io, PIRP irp)
{
    const uint64_t number = ++io.frees;
    std::pair<PIRP, uint64_t> &oldest = io.freedOrder[number % kFreedIrpsKept];
    if (oldest.first) {
        uint64_t *f = io.freedIrps.Find(oldest.first);
        if (f && *f == oldest.second)
            io.freedIrps.Erase(f);
    }
    oldest = {irp, number};
    io.freedIrps[irp] = number;
}

// Drops the record `slot` (its entry in io.irps) of request `irp`, whose memory
// goes back (caller holds Io().lock).  A record a dispatch routine or a
// completion walk still holds is retired until the last of them lets go;
// another is kept for a later request's.
void DropRecordLocked(IoState &io, PIRP irp, std::unique_ptr<IrpRecord> *slot)
{
    IrpRecord &record = **slot;
    if (io.lastIrp == irp)
        io.lastIrp = nullptr;
    if (!record.powerHandlers.empty())
        gPowerRequestsInFlight.fetch_sub(1, std::memory_order_release);
    if (record.frames > 0 || record.walks > 0) [[unlikely]] {
        record.freed = true;
        io.retired.push_back(std::move(*slot));
    } else if (io.spareRecords.size() < kSpareRecords) {
        io.spareRecords.push_back(std::move(*slot));
    }
    io.irps.Erase(slot);
}

// A dispatch routine or a completion walk let go of the record (caller
// holds Io().lock): a retired record no one holds goes.
inline void LetGoLocked(IoState &io, IrpRecord *r)
{
    if (r->freed && r->frames == 0 && r->walks == 0) [[unlikely]]
        std::erase_if(io.retired, [r](const std::unique_ptr<IrpRecord> &p) { return p.get() == r; });
}

void FreeIrpMemory(PIRP irp)
{
    CheckGuard(irp);
    {
        IoState &io = Io();
        std::lock_guard guard(io.lock);
        RememberFreedLocked(io, irp);
        if (std::unique_ptr<IrpRecord> *found = io.irps.Find(irp))
            DropRecordLocked(io, irp, found);
    }
    KernelFree(irp);
}

bool IsQueryOrSetPower(UCHAR major, UCHAR minor)
{
    return major == IRP_MJ_POWER && (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER);
}

// Removal and cancellations a driver must never fail.
bool MustNotFail(UCHAR major, UCHAR minor)
{
    return major == IRP_MJ_PNP && (minor == IRP_MN_REMOVE_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL ||
                                   minor == IRP_MN_CANCEL_REMOVE_DEVICE || minor == IRP_MN_CANCEL_STOP_DEVICE);
}

const char *PnpMinorName(UCHAR minor)
{
    switch (minor) {
    case IRP_MN_REMOVE_DEVICE:
        return "IRP_MN_REMOVE_DEVICE";
    case IRP_MN_SURPRISE_REMOVAL:
        return "IRP_MN_SURPRISE_REMOVAL";
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return "IRP_MN_CANCEL_REMOVE_DEVICE";
    case IRP_MN_CANCEL_STOP_DEVICE:
        return "IRP_MN_CANCEL_STOP_DEVICE";
    default:
        return "a PnP request";
    }
}

// A routine a driver gave the I/O manager (dispatch or completion) must
// return at the IRQL it was called at and with the spin locks it held then.
// The thread's IRQL and spin-lock count are passed by reference (read once
// per call on the hot path).
void ReportImbalance(const char *what, PDEVICE_OBJECT device, PIRP irp, KIRQL &irql, KIRQL irqlBefore, int locks,
                     int locksBefore)
{
    std::string name;
    if (irql != irqlBefore) {
        ViolateF("IRQL_NOT_RESTORED", "%s of %s returned at IRQL %u for request %p; it was called at IRQL %u", what,
                 DriverNameOf(device, &name), irql, (void *)irp, irqlBefore);
        irql = irqlBefore;
    }
    if (locks > locksBefore)
        ViolateF("SPIN_LOCK_HELD_ON_RETURN", "%s of %s returned for request %p still holding %d spin lock(s)", what,
                 DriverNameOf(device, &name), (void *)irp, locks - locksBefore);
}

inline void CheckRoutineBalance(const char *what, PDEVICE_OBJECT device, PIRP irp, KIRQL &irql, KIRQL irqlBefore,
                                const int &locks, int locksBefore)
{
    if (irql != irqlBefore || locks > locksBefore) [[unlikely]]
        ReportImbalance(what, device, irp, irql, irqlBefore, locks, locksBefore);
}

// A query- or set-power request is back at its top: every device whose
// dispatch routine got it must have called PoStartNextPowerIrp for it
// (before passing it on or completing it, or in its completion routine).
void CheckPowerStartedNext(PIRP irp)
{
    if (gPowerRequestsInFlight.load(std::memory_order_acquire) == 0)
        return;  // the common case: no query- or set-power request travels
    std::vector<PDEVICE_OBJECT> missing;
    UCHAR minor = 0;
    POWER_STATE_TYPE type = SystemPowerState;
    {
        std::lock_guard guard(Io().lock);
        IrpRecord *r = FindIrp(irp);
        if (!r || r->powerHandlers.empty())
            return;
        minor = r->powerMinor;
        type = r->powerType;
        for (PDEVICE_OBJECT d : r->powerHandlers)
            if (std::find(r->powerStarted.begin(), r->powerStarted.end(), d) == r->powerStarted.end())
                missing.push_back(d);
        r->powerHandlers.clear();
        r->powerStarted.clear();
        gPowerRequestsInFlight.fetch_sub(1, std::memory_order_release);
    }
    for (PDEVICE_OBJECT d : missing) {
        std::string name;
        ViolateF("POWER_IRP_WITHOUT_START_NEXT",
                 "%s handled power request %p (minor 0x%02x) on device %p without PoStartNextPowerIrp", 
                 DriverNameOf(d, &name), (void *)irp, minor, (void *)d);
        ReleasePowerSlot(irp, d, minor, type);
    }
}

enum class DispatchFinding { PendingWithoutMark, ReturnedWithoutCompleting, MarkWithoutPending, StatusMismatch };

[[gnu::cold, gnu::noinline]] void ReportDispatchReturn(DispatchFinding finding, PDRIVER_OBJECT driver, PIRP irp,
                                                       NTSTATUS status, NTSTATUS completed)
{
    std::string name = platform::ToUtf8(driver->DriverName);
    switch (finding) {
    case DispatchFinding::PendingWithoutMark:
        ViolateF("PENDING_WITHOUT_MARK", "%s returned STATUS_PENDING for request %p without IoMarkIrpPending",
                 name.c_str(), (void *)irp);
        return;
    case DispatchFinding::ReturnedWithoutCompleting:
        ViolateF("DISPATCH_RETURNED_WITHOUT_COMPLETING",
                 "%s returned 0x%08x for request %p, which it neither completed nor pended", name.c_str(),
                 (unsigned)status, (void *)irp);
        return;
    case DispatchFinding::MarkWithoutPending:
        ViolateF("MARK_WITHOUT_PENDING",
                 "%s marked request %p pending but returned 0x%08x instead of STATUS_PENDING", name.c_str(),
                 (void *)irp, (unsigned)status);
        return;
    case DispatchFinding::StatusMismatch:
        ViolateF("DISPATCH_STATUS_MISMATCH", "%s returned 0x%08x for request %p completed with 0x%08x",
                 name.c_str(), (unsigned)status, (void *)irp, (unsigned)completed);
        return;
    }
}

// After a dispatch routine at location `location` returned `status`: a
// routine either completes the request (and returns the status it completed
// it with, without having marked it pending) or marks it pending and returns
// STATUS_PENDING.  `r` is the request's record, held since the call (it
// outlives the request's memory if the request was freed meanwhile); the
// routine lets go of it here.
[[gnu::always_inline]] inline void CheckDispatchReturn(PIRP irp, IrpRecord *r, uint64_t epoch, int location,
                                                       NTSTATUS status, PDRIVER_OBJECT driver, UCHAR major,
                                                       UCHAR minor)
{
    IoState &io = Io();
    std::lock_guard guard(io.lock);
    LevelRecord *found = r->levels.Find(location);
    if (!found || found->epoch != epoch) [[unlikely]] {
        // The request came back and was sent down again past this level
        // before this routine returned: what is recorded now is a later trip.
        --r->frames;
        LetGoLocked(io, r);
        return;
    }
    LevelRecord &level = *found;
    if (status == STATUS_PENDING) {
        if (level.passed && !level.marked) [[unlikely]]
            ReportDispatchReturn(DispatchFinding::PendingWithoutMark, driver, irp, status, 0);
        level.pendingReturned = true;
        level.pendingDriver = driver;
        level.major = major;
        level.minor = minor;
    } else if (!level.passed) {
        if (!r->freed && irp->CurrentLocation <= location) [[unlikely]]
            ReportDispatchReturn(DispatchFinding::ReturnedWithoutCompleting, driver, irp, status, 0);
    } else {
        if (level.marked && !level.premarked) [[unlikely]]
            ReportDispatchReturn(DispatchFinding::MarkWithoutPending, driver, irp, status, 0);
        else if (level.status != status) [[unlikely]]
            ReportDispatchReturn(DispatchFinding::StatusMismatch, driver, irp, status, level.status);
    }
    --r->frames;
    LetGoLocked(io, r);
}

// What the I/O manager does when a request it finishes reaches the top:
// copy buffered output, release the buffer and the MDLs, fill the caller's
// status block, free the request, then signal the caller's event.  A
// request that failed without having pended gives the caller its status
// through IoCallDriver's return only: neither the status block nor the
// event is touched.
void FinishThreadedIrp(PIRP irp, bool hasOutput, ULONG outputLength)
{
    NTSTATUS status = irp->IoStatus.Status;
    if (hasOutput && !NT_ERROR(status) && irp->IoStatus.Information > outputLength) {
        ViolateF("INFORMATION_EXCEEDS_BUFFER",
                 "request %p (major 0x%02x) completed with IoStatus.Information %lu for a caller's buffer of %lu "
                 "bytes",
                 (void *)irp, IoGetNextIrpStackLocation(irp)->MajorFunction,
                 (unsigned long)irp->IoStatus.Information, (unsigned long)outputLength);
        irp->IoStatus.Information = outputLength;  // the caller's buffer is not written past
    }
    if (irp->Flags & IRP_BUFFERED_IO) {
        if ((irp->Flags & IRP_INPUT_OPERATION) && !NT_ERROR(status) && irp->UserBuffer &&
            irp->AssociatedIrp.SystemBuffer)
            std::memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, irp->IoStatus.Information);
        if (irp->Flags & IRP_DEALLOCATE_BUFFER)
            ExFreePool(irp->AssociatedIrp.SystemBuffer);
        irp->AssociatedIrp.SystemBuffer = nullptr;
    }
    for (PMDL mdl = irp->MdlAddress, next; mdl; mdl = next) {
        next = mdl->Next;
        if (mdl->MdlFlags & MDL_PAGES_LOCKED)
            MmUnlockPages(mdl);
        IoFreeMdl(mdl);
    }
    irp->MdlAddress = nullptr;
    IO_STATUS_BLOCK result = irp->IoStatus;
    bool tell = !NT_ERROR(status) || irp->PendingReturned;
    PIO_STATUS_BLOCK iosb = irp->UserIosb;
    PKEVENT event = irp->UserEvent;
    FreeIrpMemory(irp);
    if (!tell)
        return;
    if (iosb)
        *iosb = result;
    if (event)
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

void InitializeMdl(PMDL mdl, PVOID va, ULONG length)
{
    mdl->Next = nullptr;
    mdl->Size = CSHORT(sizeof(MDL) + sizeof(ULONG_PTR) * ADDRESS_AND_SIZE_TO_SPAN_PAGES(va, length));
    mdl->MdlFlags = 0;
    mdl->Process = nullptr;
    mdl->StartVa = PAGE_ALIGN(va);
    mdl->ByteOffset = BYTE_OFFSET(va);
    mdl->ByteCount = length;
    mdl->MappedSystemVa = nullptr;
}

// Fills the buffer description of a read or write for the target's I/O method.
bool DescribeBuffer(PIRP irp, PDEVICE_OBJECT device, ULONG major, PVOID buffer, ULONG length)
{
    if (device->Flags & DO_BUFFERED_IO) {
        if (length) {
            irp->AssociatedIrp.SystemBuffer = ExAllocatePoolWithTag(NonPagedPool, length, platform::MakeTag("IoBu"));
            if (!irp->AssociatedIrp.SystemBuffer)
                return false;
            if (major == IRP_MJ_WRITE)
                std::memcpy(irp->AssociatedIrp.SystemBuffer, buffer, length);
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (major == IRP_MJ_READ ? IRP_INPUT_OPERATION : 0);
        }
        irp->UserBuffer = buffer;
    } else if (device->Flags & DO_DIRECT_IO) {
        if (length) {
            if (!IoAllocateMdl(buffer, length, FALSE, FALSE, irp))
                return false;
            MmProbeAndLockPages(irp->MdlAddress, KernelMode, major == IRP_MJ_READ ? IoWriteAccess : IoReadAccess);
        }
    } else {
        irp->UserBuffer = buffer;
    }
    return true;
}

void ReleaseUnsentIrp(PIRP irp)
{
    if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && irp->AssociatedIrp.SystemBuffer)
        ExFreePool(irp->AssociatedIrp.SystemBuffer);
    for (PMDL mdl = irp->MdlAddress, next; mdl; mdl = next) {
        next = mdl->Next;
        if (mdl->MdlFlags & MDL_PAGES_LOCKED)
            MmUnlockPages(mdl);
        IoFreeMdl(mdl);
    }
    FreeIrpMemory(irp);
}

PIRP BuildFsdRequest(ULONG major, PDEVICE_OBJECT device, PVOID buffer, ULONG length, PLARGE_INTEGER offset,
                     PIO_STATUS_BLOCK iosb, PKEVENT event, IrpKind kind)
{
    PIRP irp = AllocateIrp(device->StackSize, kind);
    if (!irp)
        return nullptr;
    irp->Tail.Overlay.Thread = &ThreadIrql();
    irp->RequestorMode = KernelMode;
    irp->UserIosb = iosb;
    irp->UserEvent = event;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = UCHAR(major);
    if (major == IRP_MJ_READ || major == IRP_MJ_WRITE) {
        if (!DescribeBuffer(irp, device, major, buffer, length)) {
            ReleaseUnsentIrp(irp);
            return nullptr;
        }
        sp->Parameters.Read.Length = length;
        if (offset)
            sp->Parameters.Read.ByteOffset = *offset;
        if (major == IRP_MJ_READ) {
            std::lock_guard guard(Io().lock);
            IrpRecord *r = FindIrp(irp);
            r->hasOutput = true;
            r->outputLength = length;
        }
    }
    return irp;
}


// ---------------------------------------------------------------------------
// Force-pending I/O

void CompletionWalk(PIRP irp, PIO_STACK_LOCATION sp, bool resumed);

inline void AdvanceLocation(PIRP irp)
{
    // CurrentLocation moves with atomic stores: IoCancelIrp on another
    // thread reads it to tell a request in flight from a finished one.  Only
    // the thread that holds the request moves it, so a store will do (no
    // locked read-modify-write).
    __atomic_store_n(&irp->CurrentLocation, CCHAR(__atomic_load_n(&irp->CurrentLocation, __ATOMIC_RELAXED) + 1),
                     __ATOMIC_RELEASE);
    irp->Tail.Overlay.CurrentStackLocation++;
}

// A completion walk's hold on the request's record: looked up once, at the
// first location the walk reaches, and kept (r->walks) until the walk hands
// the request to its owner's completion routine or stops.
struct WalkHold {
    IrpRecord *record = nullptr;
    bool looked = false;
};

// Lets go of the walk's hold (the walk stopped below the owner's level).
void ReleaseWalkHold(WalkHold &hold)
{
    if (!hold.record)
        return;
    IoState &io = Io();
    std::lock_guard guard(io.lock);
    --hold.record->walks;
    LetGoLocked(io, hold.record);
    hold.record = nullptr;
}

// The completion walk reached `location`: if a forced call to that location
// is still inside its dispatch routine on this thread, the completion is
// held back there (marked pending for the sender) and the walk stops.
// Otherwise (and always for a resumed walk) the location is noted as passed,
// with the request's status and whether it was marked pending.  toOwner: the
// owner's completion routine is called next, so the request is marked as back
// with its owner and the walk lets go of the record (the routine may free or
// reuse the request at once).
bool ReachLocation(PIRP irp, int location, PIO_STACK_LOCATION sp, bool resumed, bool toOwner, WalkHold &hold)
{
    IoState &io = Io();
    std::lock_guard guard(io.lock);
    if (!hold.looked) {
        hold.looked = true;
        hold.record = FindIrp(irp);
        if (hold.record)
            ++hold.record->walks;
    }
    IrpRecord *r = hold.record;
    if (!r)
        return false;
    bool held = !resumed && r->forcedLocation == location && r->forcedThread == std::this_thread::get_id() &&
                !r->deferred;
    if (held) [[unlikely]] {
        r->deferred = true;
        r->deferredMarked = (sp->Control & SL_PENDING_RETURNED) != 0;
        r->deferredStatus = irp->IoStatus.Status;
        sp->Control |= SL_PENDING_RETURNED;
    } else {
        NotePassedLocked(r, irp, location, irp->IoStatus.Status, (sp->Control & SL_PENDING_RETURNED) != 0);
        if (!toOwner)
            return false;
        r->active = false;
        hold.looked = false;  // a walk that goes on above the owner's level looks again
    }
    --r->walks;
    LetGoLocked(io, r);
    hold.record = nullptr;
    return held;
}

// After a forced call's dispatch routine returned `status`: restores the
// state of an outer forced call and says whether the completion was held
// back.  The routine's return is checked against what it did, as for any
// call; the sender is then answered STATUS_PENDING.
bool TakeDeferral(PIRP irp, IrpRecord *r, int location, int outerLocation, std::thread::id outerThread,
                  NTSTATUS status, PDRIVER_OBJECT driver)
{
    std::lock_guard guard(Io().lock);
    if (r->freed || r->forcedLocation != location)
        return false;
    bool deferred = r->deferred;
    LevelRecord *level = r->levels.Find(location);
    // A location the power manager marked before the dispatch says nothing
    // of what the routine did.
    bool premarked = level && level->premarked;
    bool marked = r->deferredMarked;
    NTSTATUS completed = r->deferredStatus;
    r->forcedLocation = outerLocation;
    r->forcedThread = outerThread;
    r->deferred = false;
    if (!deferred)
        return false;
    std::string name = platform::ToUtf8(driver->DriverName);
    if (status == STATUS_PENDING && !marked)
        ViolateF("PENDING_WITHOUT_MARK", "%s returned STATUS_PENDING for request %p without IoMarkIrpPending",
                 name.c_str(), (void *)irp);
    else if (status != STATUS_PENDING && marked && !premarked)
        ViolateF("MARK_WITHOUT_PENDING", "%s marked request %p pending but returned 0x%08x instead of STATUS_PENDING",
                 name.c_str(), (void *)irp, (unsigned)status);
    else if (status != STATUS_PENDING && status != completed)
        ViolateF("DISPATCH_STATUS_MISMATCH", "%s returned 0x%08x for request %p completed with 0x%08x", name.c_str(),
                 (unsigned)status, (void *)irp, (unsigned)completed);
    return true;
}

void DeferredWorker()
{
    DeferredCompletions &d = Deferred();
    for (;;) {
        std::pair<PIRP, PIO_STACK_LOCATION> next;
        {
            std::unique_lock<std::mutex> lock(d.lock);
            d.changed.wait(lock, [&d] { return !d.queue.empty(); });
            next = d.queue.front();
            d.queue.pop_front();
            d.busy = true;
        }
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        CompletionWalk(next.first, next.second, true);
        KeLowerIrql(old);
        {
            std::lock_guard<std::mutex> lock(d.lock);
            d.busy = false;
            ++d.delivered;
        }
        d.changed.notify_all();
    }
}

void QueueDeferredCompletion(PIRP irp, PIO_STACK_LOCATION sp)
{
    DeferredCompletions &d = Deferred();
    {
        std::lock_guard<std::mutex> lock(d.lock);
        d.queue.emplace_back(irp, sp);
        if (!d.started) {
            d.started = true;
            std::thread(DeferredWorker).detach();
        }
    }
    d.changed.notify_all();
}

// Why IoCallDriver refuses a call.
enum class Refusal { None, Freed, DeadDevice, NoLocation };

[[gnu::cold, gnu::noinline]] NTSTATUS RefuseCall(PDEVICE_OBJECT device, PIRP irp, KIRQL irql, Refusal reason)
{
    if (reason == Refusal::Freed) {
        ViolateF("FREED_IRP_SENT", "IoCallDriver(%p, irp %p): the request was freed", (void *)device, (void *)irp);
        return STATUS_INVALID_PARAMETER;
    }
    if (irql > DISPATCH_LEVEL)
        ViolateF("IRQL_NOT_LESS_OR_EQUAL", "IoCallDriver at IRQL %u", irql);
    if (reason == Refusal::DeadDevice) {
        ViolateF("CALL_TO_DELETED_DEVICE", "IoCallDriver(%p): not a live device object", (void *)device);
        return STATUS_NO_SUCH_DEVICE;
    }
    ViolateF("NO_MORE_IRP_STACK_LOCATIONS", "IoCallDriver(%p, irp %p): no stack location left", (void *)device,
             (void *)irp);
    return STATUS_INSUFFICIENT_RESOURCES;
}

// What IoCallDriver checks of a PnP or power request, of a request that
// carries a cancel routine, and of a request the I/O manager finishes sent
// at APC_LEVEL.
[[gnu::cold, gnu::noinline]] void CheckSend(PDEVICE_OBJECT device, PIRP irp, KIRQL irql, UCHAR nextMajor,
                                            UCHAR nextMinor, bool viaPoCallDriver, bool threadedFirstSend,
                                            bool passedDown)
{
    std::string senderName;
    auto sender = [&senderName] {  // the driver whose routine sends: named only in a finding
        return DriverNameOf(tDispatching ? tDispatching->device : nullptr, &senderName);
    };
    if (nextMajor == IRP_MJ_POWER && !viaPoCallDriver)
        ViolateF("POWER_IRP_SENT_WITH_IOCALLDRIVER",
                 "%s sent power request %p (minor 0x%02x) to %p with IoCallDriver instead of PoCallDriver", sender(),
                 (void *)irp, nextMinor, (void *)device);
    if (nextMajor == IRP_MJ_PNP && irql != PASSIVE_LEVEL)
        ViolateF("PNP_IRP_ABOVE_PASSIVE", "%s sent PnP request %p (minor 0x%02x) to %p at IRQL %u", sender(),
                 (void *)irp, nextMinor, (void *)device, irql);
    if (__atomic_load_n(reinterpret_cast<PVOID volatile *>(&irp->CancelRoutine), __ATOMIC_ACQUIRE)) {
        ViolateF("CALL_WITH_CANCEL_ROUTINE_SET", "%s sent request %p to %p with a cancel routine set", sender(),
                 (void *)irp, (void *)device);
        IoSetCancelRoutine(irp, nullptr);  // no one below may call it
    }
    if (threadedFirstSend && irql == APC_LEVEL)
        // Its completion reaches the caller by an APC, which cannot run
        // while the caller waits at APC_LEVEL.
        ViolateF("THREADED_IRP_SENT_AT_APC_LEVEL",
                 "request %p built for the I/O manager to finish was sent to %p at APC_LEVEL", (void *)irp,
                 (void *)device);
    if (passedDown && (nextMajor == IRP_MJ_PNP || nextMajor == IRP_MJ_POWER) && !NT_SUCCESS(irp->IoStatus.Status) &&
        irp->IoStatus.Status != STATUS_NOT_SUPPORTED) {
        // A driver that fails a PnP or power request completes it; passing
        // it down lets the drivers below act on a request whose sender will
        // see it failed.
        ViolateF(nextMajor == IRP_MJ_PNP ? "PNP_IRP_FAILED_AND_PASSED_DOWN" : "FAILED_POWER_IRP_PASSED_DOWN",
                 "%s passed %s request %p (minor 0x%02x) down to %p after failing it with 0x%08x", sender(),
                 nextMajor == IRP_MJ_PNP ? "PnP" : "power", (void *)irp, nextMinor, (void *)device,
                 (unsigned)irp->IoStatus.Status);
    }
}

[[gnu::cold, gnu::noinline]] void ReportInvalidDispatchStatus(PDEVICE_OBJECT device, PIRP irp)
{
    std::string name;
    ViolateF("INVALID_IRP_STATUS", "the dispatch routine of %s returned 0xFFFFFFFF for request %p",
             DriverNameOf(device, &name), (void *)irp);
}

}  // namespace

// ---------------------------------------------------------------------------
// Internal interface

uint64_t platform::detail::IoIrpsOutstanding()
{
    std::lock_guard guard(Io().lock);
    return Io().irps.size();
}

void platform::detail::DrainDeferredCompletions()
{
    DeferredCompletions &d = Deferred();
    std::unique_lock<std::mutex> lock(d.lock);
    d.changed.wait(lock, [&d] { return d.queue.empty() && !d.busy; });
}

uint64_t platform::detail::IoMdlsOutstanding()
{
    std::lock_guard guard(Io().lock);
    return Io().mdls.size();
}

PIRP platform::detail::AllocateIrp(CCHAR stackSize, IrpKind kind)
{
    if (stackSize < 1) {
        ViolateF("INVALID_STACK_SIZE", "request with %d stack locations", stackSize);
        return nullptr;
    }
    if (!AdmitAllocation(0))
        return nullptr;
    USHORT size = IoSizeOfIrp(stackSize);
    auto irp = static_cast<PIRP>(KernelAlloc(size + sizeof(IO_STACK_LOCATION)));
    IoState &io = Io();
    {
        std::lock_guard guard(io.lock);
        std::unique_ptr<IrpRecord> record;
        if (!io.spareRecords.empty()) {
            record = std::move(io.spareRecords.back());
            io.spareRecords.pop_back();
            record->Reuse(kind, ++io.serials);
        } else {
            record = std::make_unique<IrpRecord>();
            record->kind = kind;
            record->serial = ++io.serials;
        }
        io.irps[irp] = std::move(record);
        io.freedIrps.Erase(irp);  // the address is a request again
    }
    ++io.irpAllocations;
    // New memory, not a request yet: no record to check and no guard to read.
    std::memset(reinterpret_cast<char *>(irp) + size, 0, sizeof(IO_STACK_LOCATION));  // the guard location
    InitializeIrpFields(irp, size, stackSize);
    return irp;
}

PDEVICE_OBJECT platform::detail::DeviceBelow(PDEVICE_OBJECT device)
{
    std::lock_guard guard(Io().lock);
    return Io().devices.Contains(device) ? device->DeviceObjectExtension->attachedTo : nullptr;
}

void platform::detail::NotePowerStartNext(PIRP irp, PDEVICE_OBJECT device)
{
    std::lock_guard guard(Io().lock);
    if (IrpRecord *r = FindIrp(irp))
        if (std::find(r->powerStarted.begin(), r->powerStarted.end(), device) == r->powerStarted.end())
            r->powerStarted.push_back(device);
}

void platform::detail::SetIrpFinisher(PIRP irp, std::function<void(PIRP)> finisher)
{
    std::lock_guard guard(Io().lock);
    if (IrpRecord *r = FindIrp(irp))
        r->finisher = std::move(finisher);
}

extern "C" {

// ---------------------------------------------------------------------------
// Device objects

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name, DEVICE_TYPE type,
                              ULONG characteristics, BOOLEAN exclusive, PDEVICE_OBJECT *deviceObject)
{
    *deviceObject = nullptr;
    if (ThreadIrql() != PASSIVE_LEVEL)
        ViolateF("IRQL_NOT_LESS_OR_EQUAL", "IoCreateDevice at IRQL %u", ThreadIrql());
    if (!AdmitAllocation(0))
        return STATUS_INSUFFICIENT_RESOURCES;
    size_t head = (sizeof(DEVICE_OBJECT) + 15) & ~size_t(15);
    auto device = static_cast<PDEVICE_OBJECT>(KernelAlloc(head + extensionSize));
    auto ext = new _DEVOBJ_EXTENSION;
    ext->self = device;
    ext->stackPdo = device;
    if (name && name->Buffer)
        ext->name.assign(reinterpret_cast<const char16_t *>(name->Buffer), name->Length / 2);
    else if (characteristics & FILE_AUTOGENERATED_DEVICE_NAME)
        ext->name = platform::ToU16(platform::FormatKernel("\\Device\\%08lx", ++Io().autoNames));
    device->Type = kIoTypeDevice;
    device->Size = USHORT(head + extensionSize);
    device->DriverObject = driver;
    device->Flags = DO_DEVICE_INITIALIZING | (exclusive ? DO_EXCLUSIVE : 0) | (ext->name.empty() ? 0 : DO_DEVICE_HAS_NAME);
    device->Characteristics = characteristics;
    device->DeviceExtension = extensionSize ? reinterpret_cast<PCHAR>(device) + head : nullptr;
    device->DeviceType = type;
    device->StackSize = 1;
    device->SectorSize = 512;
    device->DeviceObjectExtension = ext;
    KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
    {
        std::lock_guard guard(Io().lock);
        Io().devices[device] = true;
        device->NextDevice = driver->DeviceObject;  // the newest device first
        driver->DeviceObject = device;
    }
    *deviceObject = device;
    return STATUS_SUCCESS;
}

void NTAPI IoDeleteDevice(PDEVICE_OBJECT device)
{
    RequirePassiveLevel("IoDeleteDevice");
    if (!IsLiveDevice(device)) {
        ViolateF("DEVICE_DELETED_TWICE", "IoDeleteDevice(%p): not a live device object", (void *)device);
        return;
    }
    _DEVOBJ_EXTENSION *ext = device->DeviceObjectExtension;
    if (ext->deletePending) {
        ViolateF("DEVICE_DELETED_TWICE", "IoDeleteDevice(%p) called twice", (void *)device);
        return;
    }
    // A device may be deleted while another is still attached above it (a
    // function driver deletes its device at removal before the filter above
    // detaches): the attachment holds a reference, so the memory stays until
    // the device above detaches.  Deleting a device still attached to the
    // one below would leave a dangling pointer there; when a test traps the
    // finding, the device is kept so that the test can detach and delete it.
    if (ext->attachedTo) {
        ViolateF("DELETE_WITHOUT_DETACH", "IoDeleteDevice(%p) still attached to %p below", (void *)device,
                 (void *)ext->attachedTo);
        return;
    }
    {
        std::lock_guard guard(Io().lock);
        if (InSurpriseRemoval(device)) {
            std::string name;
            ViolateF("DELETE_DURING_SURPRISE_REMOVAL",
                     "%s deleted device %p while its stack is surprise-removed; a driver deletes its device at "
                     "IRP_MN_REMOVE_DEVICE",
                     DriverNameOf(device, &name), (void *)device);
        }
        ext->deletePending = true;
        PDEVICE_OBJECT *link = &device->DriverObject->DeviceObject;
        while (*link && *link != device)
            link = &(*link)->NextDevice;
        if (*link)
            *link = device->NextDevice;
        device->NextDevice = nullptr;
    }
    ObfDereferenceObject(device);
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT source, PDEVICE_OBJECT target)
{
    RequirePassiveLevel("IoAttachDeviceToDeviceStack");
    PDEVICE_OBJECT top = IoGetAttachedDevice(target);
    std::lock_guard guard(Io().lock);
    if (Io().failNextAttach) {
        Io().failNextAttach = false;
        return nullptr;
    }
    if (top->DeviceObjectExtension->deletePending)
        return nullptr;
    top->AttachedDevice = source;
    source->DeviceObjectExtension->attachedTo = top;
    source->DeviceObjectExtension->stackPdo = top->DeviceObjectExtension->stackPdo;
    __atomic_add_fetch(&top->DeviceObjectExtension->references, 1, __ATOMIC_SEQ_CST);  // held by the attachment
    source->StackSize = CCHAR(top->StackSize + 1);
    source->AlignmentRequirement = top->AlignmentRequirement;
    source->SectorSize = top->SectorSize;
    return top;
}

void NTAPI IoDetachDevice(PDEVICE_OBJECT target)
{
    RequirePassiveLevel("IoDetachDevice");
    {
        std::lock_guard guard(Io().lock);
        PDEVICE_OBJECT above = target->AttachedDevice;
        if (!above) {
            platform::detail::ViolateF("DETACH_NOT_ATTACHED", "IoDetachDevice(%p): nothing is attached to it",
                                       (void *)target);
            return;
        }
        if (InSurpriseRemoval(above)) {
            std::string name;
            ViolateF("DETACH_DURING_SURPRISE_REMOVAL",
                     "%s detached device %p from %p while its stack is surprise-removed; a driver detaches at "
                     "IRP_MN_REMOVE_DEVICE",
                     DriverNameOf(above, &name), (void *)above, (void *)target);
        }
        above->DeviceObjectExtension->attachedTo = nullptr;
        target->AttachedDevice = nullptr;
    }
    ObfDereferenceObject(target);  // the attachment's reference
}

PDEVICE_OBJECT NTAPI IoGetAttachedDevice(PDEVICE_OBJECT device)
{
    while (device->AttachedDevice)
        device = device->AttachedDevice;
    return device;
}

PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT device)
{
    PDEVICE_OBJECT top = IoGetAttachedDevice(device);
    ObfReferenceObject(top);
    return top;
}

LONG_PTR FASTCALL ObfReferenceObject(PVOID object)
{
    auto device = static_cast<PDEVICE_OBJECT>(object);
    if (!IsLiveDevice(device)) {
        ViolateF("INVALID_OBJECT_REFERENCE", "ObReferenceObject(%p): not a live object", object);
        return 0;
    }
    return __atomic_add_fetch(&device->DeviceObjectExtension->references, 1, __ATOMIC_SEQ_CST);
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID object)
{
    auto device = static_cast<PDEVICE_OBJECT>(object);
    if (!IsLiveDevice(device)) {
        ViolateF("INVALID_OBJECT_REFERENCE", "ObDereferenceObject(%p): not a live object", object);
        return 0;
    }
    _DEVOBJ_EXTENSION *ext = device->DeviceObjectExtension;
    LONG left = __atomic_sub_fetch(&ext->references, 1, __ATOMIC_SEQ_CST);
    if (left == 0) {
        if (!ext->deletePending) {
            ViolateF("OBJECT_REFERENCE_UNDERFLOW", "device %p lost its last reference without IoDeleteDevice",
                     object);
            ext->references = 1;
            return 1;
        }
        FreeDeviceObject(device);
    }
    return left;
}

// ---------------------------------------------------------------------------
// Requests

void NTAPI IoInitializeIrp(PIRP irp, USHORT packetSize, CCHAR stackSize)
{
    {
        std::lock_guard guard(Io().lock);
        if (IrpRecord *r = FindIrp(irp)) {
            if (r->active)
                ViolateF("IRP_REINITIALIZED_WHILE_IN_USE", "IoInitializeIrp(%p) while a driver holds it", (void *)irp);
        } else {
            Io().freedIrps.Erase(irp);  // a driver's own memory made a request
        }
    }
    if (irp->Type == kIoTypeIrp)
        CheckGuard(irp);
    InitializeIrpFields(irp, packetSize, stackSize);
}

void NTAPI IoReuseIrp(PIRP irp, NTSTATUS status)
{
    IoInitializeIrp(irp, irp->Size, irp->StackCount);
    irp->IoStatus.Status = status;
}

PIRP NTAPI IoAllocateIrp(CCHAR stackSize, BOOLEAN) { return AllocateIrp(stackSize, IrpKind::Allocated); }

void NTAPI IoFreeIrp(PIRP irp)
{
    {
        IoState &io = Io();
        std::lock_guard guard(io.lock);
        std::unique_ptr<IrpRecord> *found = io.irps.Find(irp);
        IrpRecord *r = found ? found->get() : nullptr;
        if (!r) {
            ViolateF("IRP_FREED_TWICE", "IoFreeIrp(%p): not an allocated request", (void *)irp);
            return;
        }
        if (r->kind != IrpKind::Allocated && r->kind != IrpKind::Asynchronous) {
            ViolateF("IRP_FREED_NOT_OWNED", "IoFreeIrp(%p) on a request the I/O manager finishes", (void *)irp);
            return;
        }
        if (r->active) {
            ViolateF("IRP_FREED_WHILE_IN_USE", "IoFreeIrp(%p) while a driver below still holds it", (void *)irp);
            return;
        }
        if (irp->CancelRoutine)
            ViolateF("IRP_FREED_WITH_CANCEL_ROUTINE", "IoFreeIrp(%p) with a cancel routine set", (void *)irp);
        CheckGuard(irp);
        RememberFreedLocked(io, irp);
        DropRecordLocked(io, irp, found);
    }
    KernelFree(irp);
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT device, PIRP irp)
{
    const PowerSend powerSend = std::exchange(ThreadSendingPower(), PowerSend::None);
    const bool viaPoCallDriver = powerSend != PowerSend::None;
    CheckNoWaitNext("IoCallDriver");
    KIRQL &threadIrql = ThreadIrql();
    const int &threadLocks = ThreadSpinLocksHeld();
    const KIRQL irql = threadIrql;
    Refusal refusal = Refusal::None;
    // The request's record, held (r->frames) until the routine's return is
    // checked; null for a request the kernel did not make.
    IrpRecord *r = nullptr;
    uint64_t epoch = 0;
    int location = 0;
    UCHAR nextMajor = 0, nextMinor = 0;
    bool passedDown = false;
    bool forced = false;
    int outerForcedLocation = 0;
    std::thread::id outerForcedThread{};
    bool threadedFirstSend = false;
    {
        // One look under the lock: the request (a freed one is not read),
        // its device, and the verifier's record of the trip down.
        IoState &io = Io();
        std::lock_guard guard(io.lock);
        r = FindIrp(irp);
        if (!r && io.freedIrps.Contains(irp)) [[unlikely]] {
            refusal = Refusal::Freed;
        } else if (!IsLiveDeviceLocked(io, device)) [[unlikely]] {
            refusal = Refusal::DeadDevice;
        } else if (irp->CurrentLocation <= 1) [[unlikely]] {
            refusal = Refusal::NoLocation;
        } else if (r) {
            location = irp->CurrentLocation - 1;
            nextMajor = IoGetNextIrpStackLocation(irp)->MajorFunction;
            nextMinor = IoGetNextIrpStackLocation(irp)->MinorFunction;
            passedDown = r->frames > 0;
            threadedFirstSend = !r->active && (r->kind == IrpKind::Synchronous || r->kind == IrpKind::DeviceControl);
            if (IsQueryOrSetPower(nextMajor, nextMinor)) [[unlikely]] {
                if (r->powerHandlers.empty())
                    gPowerRequestsInFlight.fetch_add(1, std::memory_order_release);
                r->powerHandlers.push_back(device);
                r->powerMinor = nextMinor;
                r->powerType = IoGetNextIrpStackLocation(irp)->Parameters.Power.Type;
            }
            if (!io.forced.empty()) [[unlikely]] {
                auto rule = io.forced.find(device->DriverObject);
                if (rule != io.forced.end() && rule->second.calls++ % rule->second.every == 0) {
                    forced = true;
                    outerForcedLocation = r->forcedLocation;
                    outerForcedThread = r->forcedThread;
                    r->forcedLocation = location;
                    r->forcedThread = std::this_thread::get_id();
                    r->deferred = false;
                }
            }
            // What the verifier knew of the levels below belongs to an earlier
            // trip; so does this level's record if the walk has been past it
            // (a request that came back with STATUS_MORE_PROCESSING_REQUIRED
            // and is sent again).  An unpassed record of this level is the
            // same trip: the driver above skipped its own location.
            r->levels.EraseBelow(location);
            LevelRecord *level = r->levels.Find(location);
            if (!level || level->passed) {
                level = &r->levels[location];
                *level = LevelRecord{};
                level->epoch = ++r->epochs;
            }
            epoch = level->epoch;
            if (powerSend == PowerSend::HandedOff)
                level->premarked = true;
            r->active = true;
            ++r->frames;
        } else {  // a request the kernel did not make (a driver's own memory)
            location = irp->CurrentLocation - 1;
            nextMajor = IoGetNextIrpStackLocation(irp)->MajorFunction;
            nextMinor = IoGetNextIrpStackLocation(irp)->MinorFunction;
        }
    }
    if (refusal != Refusal::None) [[unlikely]]
        return RefuseCall(device, irp, irql, refusal);
    if (irql > DISPATCH_LEVEL) [[unlikely]]
        ViolateF("IRQL_NOT_LESS_OR_EQUAL", "IoCallDriver at IRQL %u", irql);
    if (irp->CurrentLocation == irp->StackCount + 1)
        CheckGuard(irp);  // what the owner's last completion routine may have written
    if (nextMajor == IRP_MJ_PNP || nextMajor == IRP_MJ_POWER || (threadedFirstSend && irql == APC_LEVEL) ||
        __atomic_load_n(reinterpret_cast<PVOID volatile *>(&irp->CancelRoutine), __ATOMIC_ACQUIRE)) [[unlikely]]
        CheckSend(device, irp, irql, nextMajor, nextMinor, viaPoCallDriver, threadedFirstSend, passedDown);
    // Read by IoCancelIrp on other threads; only this one moves it.
    __atomic_store_n(&irp->CurrentLocation, CCHAR(__atomic_load_n(&irp->CurrentLocation, __ATOMIC_RELAXED) - 1),
                     __ATOMIC_RELEASE);
    PIO_STACK_LOCATION sp = --irp->Tail.Overlay.CurrentStackLocation;
    sp->DeviceObject = device;
    UCHAR major = sp->MajorFunction, minor = sp->MinorFunction;
    // The device object is not touched once its dispatch routine returns: a
    // request completed on another thread may let its owner delete it
    // meanwhile, as on Windows.
    PDRIVER_OBJECT driver = device->DriverObject;
    PDRIVER_DISPATCH dispatch = driver->MajorFunction[major];
    const int locks = threadLocks;
    DispatchFrame frame{device, tDispatching};
    tDispatching = &frame;
    NTSTATUS status = dispatch(device, irp);
    tDispatching = frame.outer;
    CheckRoutineBalance("the dispatch routine", device, irp, threadIrql, irql, threadLocks, locks);
    if (status == kInvalidStatus) [[unlikely]]
        ReportInvalidDispatchStatus(device, irp);
    if (forced && TakeDeferral(irp, r, location, outerForcedLocation, outerForcedThread, status, driver)) {
        // The callee completed the request inside this call: the sender
        // sees it pending, and the completion comes from the worker.
        CheckDispatchReturn(irp, r, epoch, location, STATUS_PENDING, driver, major, minor);
        QueueDeferredCompletion(irp, sp);
        return STATUS_PENDING;
    }
    if (r)
        CheckDispatchReturn(irp, r, epoch, location, status, driver, major, minor);
    return status;
}

}  // extern "C"

namespace {

// Walks up from stack location sp (CurrentLocation already one above it):
// completion routines by their invoke flags, PendingReturned propagated,
// STATUS_MORE_PROCESSING_REQUIRED stopping the walk, then the request back
// with whoever made it.  resumed: a held-back completion goes on at sp.
void CompletionWalk(PIRP irp, PIO_STACK_LOCATION sp, bool resumed)
{
    WalkHold hold;
    for (; irp->CurrentLocation <= irp->StackCount + 1; sp++, AdvanceLocation(irp)) {
        // The owner's level: the location at the top, whose routine gets no
        // device (it belongs to whoever made the request).
        const bool top = irp->CurrentLocation == irp->StackCount + 1;
        NTSTATUS status = irp->IoStatus.Status;
        bool invoke = (NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_SUCCESS)) ||
                      (!NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_ERROR)) ||
                      (__atomic_load_n(&irp->Cancel, __ATOMIC_ACQUIRE) && (sp->Control & SL_INVOKE_ON_CANCEL));
        invoke = invoke && sp->CompletionRoutine;
        PDEVICE_OBJECT device = top ? nullptr : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
        // The owner's routine (no device: at the top, or at a location its
        // maker kept for itself) may hand the request to a waiter that frees
        // or reuses it at once: it is marked as back with its owner before
        // the call, and not touched again after STATUS_MORE_PROCESSING_REQUIRED.
        const bool owner = invoke && device == nullptr;
        if (ReachLocation(irp, irp->CurrentLocation - 1, sp, resumed, owner, hold))
            return;
        resumed = false;
        irp->PendingReturned = (sp->Control & SL_PENDING_RETURNED) != 0;
        if (invoke) {
            PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
            PVOID context = sp->Context;
            ZeroStackLocation(sp);
            UCHAR major = 0, minor = 0;
            if (owner) {
                CheckPowerStartedNext(irp);
            } else {
                major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
                minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
            }
            bool pendingReturned = irp->PendingReturned;
            KIRQL &threadIrql = ThreadIrql();
            const int &threadLocks = ThreadSpinLocksHeld();
            const KIRQL irql = threadIrql;
            const int locks = threadLocks;
            RoutineFrame frame{irp, false, tCompleting};
            tCompleting = &frame;
            NTSTATUS answer = routine(device, irp, context);
            tCompleting = frame.outer;
            CheckRoutineBalance("a completion routine", device, irp, threadIrql, irql, threadLocks, locks);
            if (answer == STATUS_MORE_PROCESSING_REQUIRED) {
                ReleaseWalkHold(hold);
                return;
            }
            if (frame.completedAgain) [[unlikely]] {
                // The second completion walked the request on: this walk
                // leaves it alone (it may be freed already).
                ReleaseWalkHold(hold);
                std::string name;
                ViolateF("IRP_COMPLETED_TWICE",
                         "completion routine %p of %s completed request %p again and returned 0x%08x instead of "
                         "STATUS_MORE_PROCESSING_REQUIRED",
                         (void *)routine, DriverNameOf(device, &name), (void *)irp, (unsigned)answer);
                return;
            }
            if (!owner && MustNotFail(major, minor) && !NT_ERROR(status) && NT_ERROR(irp->IoStatus.Status)) {
                std::string name;
                ViolateF("REMOVE_OR_CANCEL_FAILED", "completion routine %p of %s failed %s (request %p) with 0x%08x",
                         (void *)routine, DriverNameOf(device, &name), PnpMinorName(minor), (void *)irp,
                         (unsigned)irp->IoStatus.Status);
            }
            if (owner) {
                // Back with the drivers for the levels above (past the top,
                // the request is finished below).
                if (!top)
                    SetActive(irp, true);
            } else if (pendingReturned && !(IoGetCurrentIrpStackLocation(irp)->Control & SL_PENDING_RETURNED)) {
                // The request pended below: the routine that lets the walk go
                // on must mark it pending at its own level, or the drivers
                // above lose PendingReturned.
                std::string name;
                ViolateF("PENDING_NOT_PROPAGATED",
                         "completion routine %p of %s returned 0x%08x for request %p with PendingReturned set but "
                         "did not call IoMarkIrpPending",
                         (void *)routine, DriverNameOf(device, &name), (unsigned)answer, (void *)irp);
                IoMarkIrpPending(irp);
            }
        } else {
            if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount)
                IoMarkIrpPending(irp);
            ZeroStackLocation(sp);
        }
    }

    // Off the top: the request is back with whoever made it.
    CheckPowerStartedNext(irp);
    IrpKind kind = IrpKind::Allocated;
    bool hasOutput = false;
    ULONG outputLength = 0;
    std::function<void(PIRP)> finisher;
    {
        IoState &io = Io();
        std::lock_guard guard(io.lock);
        // The walk's hold, or (after the owner's routine, which may have
        // freed the request) the record found again.
        IrpRecord *r = hold.record ? hold.record : FindIrp(irp);
        if (hold.record) {
            --r->walks;
            LetGoLocked(io, r);
            hold.record = nullptr;
            if (r->freed)
                r = nullptr;
        }
        if (!r)
            return;
        r->active = false;
        kind = r->kind;
        hasOutput = r->hasOutput;
        outputLength = r->outputLength;
        if (kind == IrpKind::Power || kind == IrpKind::Synchronous || kind == IrpKind::DeviceControl)
            finisher = std::move(r->finisher);  // called once: the request is finished and freed next
    }
    switch (kind) {
    case IrpKind::Allocated:
    case IrpKind::Asynchronous:
        ViolateF("ALLOCATED_IRP_COMPLETED_TO_TOP",
                 "request %p built by a driver was completed past its owner (no completion routine reclaimed it)",
                 (void *)irp);
        return;
    case IrpKind::Power:
    case IrpKind::Synchronous:
    case IrpKind::DeviceControl:
        if (finisher)
            finisher(irp);
        FinishThreadedIrp(irp, hasOutput, outputLength);
        return;
    }
}

// What IoCompleteRequest checks of a PnP or power request: removal and
// cancellations never fail, and a minor no driver knows is passed down.
[[gnu::cold, gnu::noinline]] void CheckCompletedPnpOrPower(PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    PDEVICE_OBJECT device = sp->DeviceObject;
    std::string name;
    if (MustNotFail(sp->MajorFunction, sp->MinorFunction) && NT_ERROR(irp->IoStatus.Status))
        ViolateF("REMOVE_OR_CANCEL_FAILED", "%s completed %s (request %p) with 0x%08x", DriverNameOf(device, &name),
                 PnpMinorName(sp->MinorFunction), (void *)irp, (unsigned)irp->IoStatus.Status);
    if (platform::IsUnknownMinor(sp->MajorFunction, sp->MinorFunction) && device &&
        device->DeviceObjectExtension->attachedTo)
        ViolateF("UNKNOWN_PNP_COMPLETED_UNTOUCHED",
                 "%s completed %s request %p of unknown minor 0x%02x on %p instead of passing it down",
                 DriverNameOf(device, &name), sp->MajorFunction == IRP_MJ_PNP ? "PnP" : "power", (void *)irp,
                 sp->MinorFunction, (void *)device);
}

}  // namespace

extern "C" {

void FASTCALL IofCompleteRequest(PIRP irp, CCHAR)
{
    CheckNoWaitNext("IoCompleteRequest");
    for (RoutineFrame *f = tCompleting; f; f = f->outer)
        if (f->irp == irp)
            f->completedAgain = true;
    if (irp->Type != kIoTypeIrp || irp->CurrentLocation > irp->StackCount + 1) {
        ViolateF("IRP_COMPLETED_TWICE", "IoCompleteRequest(%p) on a request already completed", (void *)irp);
        return;
    }
    if (irp->CurrentLocation == irp->StackCount + 1) {
        // Back with its sender, whose completion routine kept it with
        // STATUS_MORE_PROCESSING_REQUIRED: a request the I/O manager
        // finishes is handed back to it this way; one the sender owns is
        // its own to free.
        std::optional<IrpKind> kind;
        bool active = false;
        {
            std::lock_guard guard(Io().lock);
            if (IrpRecord *r = FindIrp(irp)) {
                kind = r->kind;
                active = r->active;
            }
        }
        bool threaded = kind && (*kind == IrpKind::Synchronous || *kind == IrpKind::DeviceControl ||
                                 *kind == IrpKind::Power);
        if (!threaded || active) {
            ViolateF("IRP_COMPLETED_TWICE", "IoCompleteRequest(%p) on a request no driver holds", (void *)irp);
            return;
        }
        AdvanceLocation(irp);
        CompletionWalk(irp, IoGetCurrentIrpStackLocation(irp), false);
        return;
    }
    if (irp->IoStatus.Status == STATUS_PENDING)
        ViolateF("IRP_COMPLETED_WITH_PENDING_STATUS", "IoCompleteRequest(%p) with STATUS_PENDING", (void *)irp);
    if (irp->IoStatus.Status == kInvalidStatus)
        ViolateF("INVALID_IRP_STATUS", "IoCompleteRequest(%p) with status 0xFFFFFFFF", (void *)irp);
    const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    if (major == IRP_MJ_PNP || major == IRP_MJ_POWER) [[unlikely]]
        CheckCompletedPnpOrPower(irp);
    if (__atomic_load_n(reinterpret_cast<PVOID volatile *>(&irp->CancelRoutine), __ATOMIC_ACQUIRE))
        ViolateF("IRP_COMPLETED_WITH_CANCEL_ROUTINE", "IoCompleteRequest(%p) with a cancel routine set", (void *)irp);
    if (ThreadSpinLocksHeld() > 0)
        ViolateF("COMPLETE_WHILE_HOLDING_SPIN_LOCK", "IoCompleteRequest(%p) while holding a spin lock", (void *)irp);
    if (ThreadIrql() > DISPATCH_LEVEL)
        ViolateF("IRQL_NOT_LESS_OR_EQUAL", "IoCompleteRequest at IRQL %u", ThreadIrql());

    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    AdvanceLocation(irp);
    CompletionWalk(irp, sp, false);
}

BOOLEAN NTAPI IoCancelIrp(PIRP irp)
{
    if (irp->Type != kIoTypeIrp) {
        ViolateF("CANCEL_STATE_IN_COMPLETED_IRP", "IoCancelIrp(%p) on something that is not a request", (void *)irp);
        return FALSE;
    }
    if (__atomic_load_n(&irp->CurrentLocation, __ATOMIC_ACQUIRE) > irp->StackCount + 1) {
        // Completed: cancelling it is harmless unless it still carries a
        // cancel routine, which no one may call any more.
        if (__atomic_load_n(reinterpret_cast<PVOID volatile *>(&irp->CancelRoutine), __ATOMIC_ACQUIRE))
            ViolateF("CANCEL_STATE_IN_COMPLETED_IRP", "IoCancelIrp(%p) on a completed request with a cancel routine",
                     (void *)irp);
        __atomic_store_n(&irp->Cancel, TRUE, __ATOMIC_RELEASE);
        return FALSE;
    }
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    __atomic_store_n(&irp->Cancel, TRUE, __ATOMIC_RELEASE);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    if (routine) {
        irp->CancelIrql = irql;
        // The cancel routine releases the cancel spin lock.
        routine(IoGetCurrentIrpStackLocation(irp)->DeviceObject, irp);
        return TRUE;
    }
    IoReleaseCancelSpinLock(irql);
    return FALSE;
}

void NTAPI IoAcquireCancelSpinLock(PKIRQL irql) { *irql = KfAcquireSpinLock(&gCancelLock); }
void NTAPI IoReleaseCancelSpinLock(KIRQL irql) { KfReleaseSpinLock(&gCancelLock, irql); }

PIRP NTAPI IoBuildAsynchronousFsdRequest(ULONG major, PDEVICE_OBJECT device, PVOID buffer, ULONG length,
                                         PLARGE_INTEGER offset, PIO_STATUS_BLOCK iosb)
{
    return BuildFsdRequest(major, device, buffer, length, offset, iosb, nullptr, IrpKind::Asynchronous);
}

PIRP NTAPI IoBuildSynchronousFsdRequest(ULONG major, PDEVICE_OBJECT device, PVOID buffer, ULONG length,
                                        PLARGE_INTEGER offset, PKEVENT event, PIO_STATUS_BLOCK iosb)
{
    if (ThreadIrql() != PASSIVE_LEVEL)
        ViolateF("IRQL_NOT_LESS_OR_EQUAL", "IoBuildSynchronousFsdRequest at IRQL %u%s", ThreadIrql(),
                 CalledFrom(__builtin_return_address(0)).c_str());
    return BuildFsdRequest(major, device, buffer, length, offset, iosb, event, IrpKind::Synchronous);
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG code, PDEVICE_OBJECT device, PVOID in, ULONG inLength, PVOID out,
                                         ULONG outLength, BOOLEAN internal, PKEVENT event, PIO_STATUS_BLOCK iosb)
{
    if (ThreadIrql() != PASSIVE_LEVEL)
        ViolateF("IRQL_NOT_LESS_OR_EQUAL", "IoBuildDeviceIoControlRequest at IRQL %u%s", ThreadIrql(),
                 CalledFrom(__builtin_return_address(0)).c_str());
    PIRP irp = AllocateIrp(device->StackSize, IrpKind::DeviceControl);
    if (!irp)
        return nullptr;
    irp->Tail.Overlay.Thread = &ThreadIrql();
    irp->RequestorMode = KernelMode;
    irp->UserIosb = iosb;
    irp->UserEvent = event;
    {
        std::lock_guard guard(Io().lock);
        IrpRecord *r = FindIrp(irp);
        r->hasOutput = true;
        r->outputLength = outLength;
    }
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    sp->Parameters.DeviceIoControl.OutputBufferLength = outLength;
    sp->Parameters.DeviceIoControl.InputBufferLength = inLength;
    sp->Parameters.DeviceIoControl.IoControlCode = code;

    bool ok = true;
    switch (METHOD_FROM_CTL_CODE(code)) {
    case METHOD_BUFFERED: {
        ULONG size = inLength > outLength ? inLength : outLength;
        if (size) {
            PVOID system = ExAllocatePoolWithTag(NonPagedPool, size, platform::MakeTag("IoBu"));
            if (!system) {
                ok = false;
                break;
            }
            if (in && inLength)
                std::memcpy(system, in, inLength);
            irp->AssociatedIrp.SystemBuffer = system;
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (out && outLength ? IRP_INPUT_OPERATION : 0);
        }
        irp->UserBuffer = out;
        break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        if (inLength) {
            PVOID system = ExAllocatePoolWithTag(NonPagedPool, inLength, platform::MakeTag("IoBu"));
            if (!system) {
                ok = false;
                break;
            }
            std::memcpy(system, in, inLength);
            irp->AssociatedIrp.SystemBuffer = system;
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        }
        if (outLength) {
            if (!IoAllocateMdl(out, outLength, FALSE, FALSE, irp)) {
                ok = false;
                break;
            }
            MmProbeAndLockPages(irp->MdlAddress, KernelMode,
                                METHOD_FROM_CTL_CODE(code) == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess);
        }
        break;
    case METHOD_NEITHER:
        sp->Parameters.DeviceIoControl.Type3InputBuffer = in;
        irp->UserBuffer = out;
        break;
    }
    if (!ok) {
        ReleaseUnsentIrp(irp);
        return nullptr;
    }
    return irp;
}

// ---------------------------------------------------------------------------
// Memory descriptor lists

PMDL NTAPI IoAllocateMdl(PVOID va, ULONG length, BOOLEAN secondary, BOOLEAN, PIRP irp)
{
    if (!AdmitAllocation(0))
        return nullptr;
    auto mdl = static_cast<PMDL>(KernelAlloc(MmSizeOfMdl(va, length)));
    InitializeMdl(mdl, va, length);
    {
        std::lock_guard guard(Io().lock);
        Io().mdls[mdl] = true;
    }
    if (irp) {
        if (!secondary) {
            irp->MdlAddress = mdl;
        } else {
            PMDL last = irp->MdlAddress;
            while (last && last->Next)
                last = last->Next;
            if (last)
                last->Next = mdl;
            else
                irp->MdlAddress = mdl;
        }
    }
    return mdl;
}

void NTAPI IoFreeMdl(PMDL mdl)
{
    {
        std::lock_guard guard(Io().lock);
        if (!Io().mdls.Erase(mdl)) {
            ViolateF("MDL_FREED_TWICE", "IoFreeMdl(%p): not an allocated MDL", (void *)mdl);
            return;
        }
    }
    KernelFree(mdl);
}

SIZE_T NTAPI MmSizeOfMdl(PVOID base, SIZE_T length)
{
    return sizeof(MDL) + sizeof(ULONG_PTR) * ADDRESS_AND_SIZE_TO_SPAN_PAGES(base, length);
}

void NTAPI MmBuildMdlForNonPagedPool(PMDL mdl)
{
    mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
    mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

void NTAPI MmProbeAndLockPages(PMDL mdl, KPROCESSOR_MODE, LOCK_OPERATION operation)
{
    if (mdl->MdlFlags & MDL_PAGES_LOCKED)
        ViolateF("MDL_PAGES_ALREADY_LOCKED", "MmProbeAndLockPages(%p) twice", (void *)mdl);
    mdl->MdlFlags |= MDL_PAGES_LOCKED | (operation != IoReadAccess ? MDL_WRITE_OPERATION : 0);
    mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
}

void NTAPI MmUnlockPages(PMDL mdl)
{
    if (!(mdl->MdlFlags & MDL_PAGES_LOCKED))
        ViolateF("MDL_PAGES_NOT_LOCKED", "MmUnlockPages(%p) on an MDL whose pages are not locked", (void *)mdl);
    mdl->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_WRITE_OPERATION | MDL_MAPPED_TO_SYSTEM_VA);
}

PVOID NTAPI MmMapLockedPages(PMDL mdl, KPROCESSOR_MODE)
{
    if (!(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL)))
        ViolateF("MDL_NOT_LOCKED", "MmMapLockedPages(%p) on an MDL that describes no locked pages", (void *)mdl);
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
    return mdl->MappedSystemVa;
}

}  // extern "C"

// ---------------------------------------------------------------------------
// Control interface

namespace platform {

bool IsUnknownMinor(UCHAR major, UCHAR minor)
{
    constexpr UCHAR kLastPnpMinor = 0x19;  // IRP_MN_DEVICE_ENUMERATED
    return (major == IRP_MJ_PNP && minor > kLastPnpMinor) || (major == IRP_MJ_POWER && minor > IRP_MN_QUERY_POWER);
}

bool IsPdo(PDEVICE_OBJECT device)
{
    std::lock_guard guard(Io().lock);
    return Io().devices.Contains(device) && device->DeviceObjectExtension->attachedTo == nullptr;
}

uint64_t IrpsOutstanding() { return detail::IoIrpsOutstanding(); }
uint64_t MdlsOutstanding() { return detail::IoMdlsOutstanding(); }
uint64_t IrpAllocationCount() { return Io().irpAllocations.load(); }

uint64_t DevicesAlive()
{
    std::lock_guard guard(Io().lock);
    return Io().devices.size();
}

std::vector<PDEVICE_OBJECT> DeviceStack(PDEVICE_OBJECT bottom)
{
    std::vector<PDEVICE_OBJECT> stack;
    for (PDEVICE_OBJECT d = bottom; d; d = d->AttachedDevice)
        stack.push_back(d);
    return stack;
}

LONG ObjectReferenceCount(PDEVICE_OBJECT device)
{
    return IsLiveDevice(device) ? device->DeviceObjectExtension->references : 0;
}

bool IsDeviceDeleted(PDEVICE_OBJECT device)
{
    return !IsLiveDevice(device) || device->DeviceObjectExtension->deletePending;
}

bool IsAttached(PDEVICE_OBJECT device)
{
    std::lock_guard guard(Io().lock);
    return Io().devices.Contains(device) && device->DeviceObjectExtension->attachedTo != nullptr;
}

void ForcePending(PDRIVER_OBJECT driver, unsigned every)
{
    std::lock_guard guard(Io().lock);
    if (every == 0)
        Io().forced.erase(driver);
    else
        Io().forced[driver] = ForceRule{every, 0};
}

uint64_t ForcedCompletions()
{
    DeferredCompletions &d = Deferred();
    std::lock_guard<std::mutex> lock(d.lock);
    return d.delivered;
}

void SetSurpriseRemovalPending(PDEVICE_OBJECT pdo, bool pending)
{
    std::lock_guard guard(Io().lock);
    if (pending)
        Io().surpriseRemoved.insert(pdo);
    else
        Io().surpriseRemoved.erase(pdo);
}

void SetStartPending(PDEVICE_OBJECT pdo, bool pending)
{
    std::lock_guard guard(Io().lock);
    if (pending)
        Io().startPending.insert(pdo);
    else
        Io().startPending.erase(pdo);
}

void HoldDevice(PDEVICE_OBJECT device)
{
    ObfReferenceObject(device);
    __atomic_add_fetch(&device->DeviceObjectExtension->opens, 1, __ATOMIC_SEQ_CST);
}

void ReleaseDevice(PDEVICE_OBJECT device)
{
    __atomic_sub_fetch(&device->DeviceObjectExtension->opens, 1, __ATOMIC_SEQ_CST);
    ObfDereferenceObject(device);
}

uint64_t OpenHandles(PDEVICE_OBJECT pdo)
{
    std::lock_guard guard(Io().lock);
    uint64_t handles = 0;
    Io().devices.ForEach([&](const void *key, bool) {
        auto d = static_cast<PDEVICE_OBJECT>(const_cast<void *>(key));
        if (d == pdo || d->DeviceObjectExtension->stackPdo == pdo)
            handles += uint64_t(__atomic_load_n(&d->DeviceObjectExtension->opens, __ATOMIC_SEQ_CST));
    });
    return handles;
}

void FailNextAttach()
{
    std::lock_guard guard(Io().lock);
    Io().failNextAttach = true;
}

PDRIVER_OBJECT CreateDriverObject(std::u16string_view name)
{
    size_t size = sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION) + (name.size() + 1) * sizeof(WCHAR);
    auto driver = static_cast<PDRIVER_OBJECT>(detail::KernelAlloc(size));
    auto extension = reinterpret_cast<PDRIVER_EXTENSION>(driver + 1);
    auto text = reinterpret_cast<PWCHAR>(extension + 1);
    std::memcpy(text, name.data(), name.size() * sizeof(WCHAR));
    driver->Type = kIoTypeDriver;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = extension;
    extension->DriverObject = driver;
    driver->DriverName.Buffer = text;
    driver->DriverName.Length = USHORT(name.size() * sizeof(WCHAR));
    driver->DriverName.MaximumLength = USHORT(driver->DriverName.Length + sizeof(WCHAR));
    for (auto &slot : driver->MajorFunction)
        slot = InvalidDeviceRequest;
    return driver;
}

void DeleteDriverObject(PDRIVER_OBJECT driver)
{
    if (driver->DeviceObject)
        Violate("DRIVER_UNLOADED_WITH_DEVICES",
                FormatKernel("driver %wZ deleted while device %p is left", &driver->DriverName, driver->DeviceObject));
    detail::KernelFree(driver);
}

PIRP BuildSynchronousRequest(PDEVICE_OBJECT top, UCHAR major, UCHAR minor, PKEVENT event, PIO_STATUS_BLOCK iosb)
{
    PIRP irp = detail::AllocateIrp(top->StackSize, detail::IrpKind::Synchronous);
    if (!irp)
        return nullptr;
    irp->Tail.Overlay.Thread = &detail::ThreadIrql();
    irp->UserEvent = event;
    irp->UserIosb = iosb;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = major;
    sp->MinorFunction = minor;
    return irp;
}

NTSTATUS CallAndWait(PDEVICE_OBJECT device, PIRP irp, PKEVENT event, PIO_STATUS_BLOCK iosb, NTSTATUS *dispatched)
{
    // The final status block is taken as the request leaves its top, before
    // the I/O manager finishes it: one that fails without pending never
    // reaches the caller's status block.
    auto final = std::make_shared<IO_STATUS_BLOCK>();
    detail::SetIrpFinisher(irp, [final](PIRP done) { *final = done->IoStatus; });
    NTSTATUS status = IoGetNextIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER ? PoCallDriver(device, irp)
                                                                                   : IoCallDriver(device, irp);
    if (dispatched)
        *dispatched = status;
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
        status = final->Status;
    }
    *iosb = *final;
    return status;
}

namespace {

NTSTATUS SendFileRequest(PDEVICE_OBJECT top, PFILE_OBJECT file, UCHAR major)
{
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = BuildSynchronousRequest(top, major, 0, &event, &iosb);
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    irp->Tail.Overlay.OriginalFileObject = file;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoGetNextIrpStackLocation(irp)->FileObject = file;
    return CallAndWait(top, irp, &event, &iosb);
}

}  // namespace

NTSTATUS OpenDevice(PDEVICE_OBJECT device, std::u16string_view fileName, PFILE_OBJECT *fileObject)
{
    *fileObject = nullptr;
    if (IsDeviceDeleted(device))
        return STATUS_DELETE_PENDING;
    {
        // The PnP manager blocks creates until the stack has started.
        std::lock_guard guard(Io().lock);
        if (Io().startPending.count(device->DeviceObjectExtension->stackPdo))
            return STATUS_NO_SUCH_DEVICE;
    }
    _DEVOBJ_EXTENSION *ext = device->DeviceObjectExtension;
    if ((device->Flags & DO_EXCLUSIVE) && __atomic_load_n(&ext->opens, __ATOMIC_SEQ_CST) > 0)
        return STATUS_ACCESS_DENIED;

    auto file = static_cast<PFILE_OBJECT>(detail::KernelAlloc(sizeof(FILE_OBJECT) + (fileName.size() + 1) * 2));
    auto text = reinterpret_cast<PWCHAR>(file + 1);
    std::memcpy(text, fileName.data(), fileName.size() * 2);
    file->Type = kIoTypeFile;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = device;
    file->FileName.Buffer = fileName.empty() ? nullptr : text;
    file->FileName.Length = USHORT(fileName.size() * 2);
    file->FileName.MaximumLength = fileName.empty() ? 0 : USHORT(file->FileName.Length + 2);
    KeInitializeEvent(&file->Lock, SynchronizationEvent, FALSE);
    KeInitializeEvent(&file->Event, NotificationEvent, FALSE);

    __atomic_add_fetch(&ext->opens, 1, __ATOMIC_SEQ_CST);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
    NTSTATUS status = SendFileRequest(top, file, IRP_MJ_CREATE);
    ObfDereferenceObject(top);
    if (!NT_SUCCESS(status)) {
        __atomic_sub_fetch(&ext->opens, 1, __ATOMIC_SEQ_CST);
        detail::KernelFree(file);
        return status;
    }
    ObfReferenceObject(device);  // the file object keeps its device
    *fileObject = file;
    return status;
}

NTSTATUS CloseDevice(PFILE_OBJECT file)
{
    PDEVICE_OBJECT device = file->DeviceObject;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
    SendFileRequest(top, file, IRP_MJ_CLEANUP);
    NTSTATUS status = SendFileRequest(top, file, IRP_MJ_CLOSE);
    ObfDereferenceObject(top);
    __atomic_sub_fetch(&device->DeviceObjectExtension->opens, 1, __ATOMIC_SEQ_CST);
    detail::KernelFree(file);
    ObfDereferenceObject(device);
    return status;
}

}  // namespace platform
