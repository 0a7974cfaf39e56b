// kernel.hpp - internals shared by the host kernel's source files.
#pragma once

#include <platform/platform.hpp>
#include <platform/short_lock.hpp>

#include <condition_variable>
#include <cstdarg>
#include <mutex>
#include <string>

namespace platform::detail {

// Set by the power manager right before it hands a power request to
// IofCallDriver; IofCallDriver reads and clears it (a power request sent
// with IoCallDriver is a finding).  HandedOff: a request the power manager
// held back (answering STATUS_PENDING, its location marked pending) and
// dispatches now on a thread of its own.
enum class PowerSend { None, Direct, HandedOff };

// What the kernel keeps of the calling thread, in one place so that a
// routine reaches all of it with one thread-local access.
struct ThreadState {
    KIRQL irql = PASSIVE_LEVEL;
    // Spin locks the thread holds (a request must not be completed while
    // one is held; a wait must not start while one is held).
    int spinLocksHeld = 0;
    PowerSend sendingPower = PowerSend::None;
    // KeSetEvent with Wait TRUE returns at DISPATCH_LEVEL holding the
    // dispatcher database, and the thread's next kernel call must be a
    // wait, which returns at waitNextIrql.
    bool waitNextPending = false;
    KIRQL waitNextIrql = PASSIVE_LEVEL;
};
extern constinit thread_local ThreadState tThread;

inline ThreadState &Thread() { return tThread; }
// The IRQL of the calling thread.
inline KIRQL &ThreadIrql() { return tThread.irql; }
inline int &ThreadSpinLocksHeld() { return tThread.spinLocksHeld; }
inline PowerSend &ThreadSendingPower() { return tThread.sendingPower; }

// Fault injection for every counted allocation (pool blocks, IRPs, MDLs).
// Returns false when this allocation must fail.  tag is 0 for IRPs and MDLs.
bool AdmitAllocation(ULONG tag);

// Pool internals for the I/O manager's own blocks (IRPs, MDLs, file
// objects): they are accounted separately from driver pool so that a leak
// report names what kind of object was left.
void *KernelAlloc(size_t size);
void KernelFree(void *p);

// The dispatcher lock: every event and wait goes through it.
platform::ShortLock &DispatcherLock();


// Reports a broken rule with a formatted detail.
void ViolateF(const char *rule, const char *format, ...);
// " (called from norva.sys!FilterVendorRequest+0x2c)" for a return address
// inside a driver image; empty elsewhere.
std::string CalledFrom(const void *returnAddress);
// Whether the caller runs at PASSIVE_LEVEL; if not, reports that `routine`
// must be called there (IRQL_NOT_LESS_OR_EQUAL).
bool RequirePassiveLevel(const char *routine);
// Reports `routine` called between KeSetEvent(Wait TRUE) and the wait that
// must follow it (SET_EVENT_WAIT_NOT_FOLLOWED_BY_WAIT).
void ReportWaitNext(const char *routine);
inline void CheckNoWaitNext(const char *routine)
{
    if (tThread.waitNextPending)
        ReportWaitNext(routine);
}


// I/O manager counters for the leak report.
uint64_t IoIrpsOutstanding();
uint64_t IoMdlsOutstanding();

}  // namespace platform::detail

namespace platform::detail {

// How a request was made decides who finishes it.
enum class IrpKind {
    Allocated,      // IoAllocateIrp: its owner reclaims it (IoFreeIrp)
    Asynchronous,   // IoBuildAsynchronousFsdRequest: its owner reclaims it
    Synchronous,    // IoBuildSynchronousFsdRequest, BuildSynchronousRequest
    DeviceControl,  // IoBuildDeviceIoControlRequest
    Power,          // PoRequestPowerIrp
};

// Allocates a tracked request (counted by fault injection); null on failure.
PIRP AllocateIrp(CCHAR stackSize, IrpKind kind);
// Called when a request of kind Power (or Synchronous) has been completed to
// the top, before the I/O manager finishes and frees it.
void SetIrpFinisher(PIRP irp, std::function<void(PIRP)> finisher);
// Waits until the power manager's passive-level worker is idle.
void DrainPowerWorker();
// PoStartNextPowerIrp was called for a power request by `device` (the
// device whose stack location is current).
void NotePowerStartNext(PIRP irp, PDEVICE_OBJECT device);
// The device a device is attached to (null for a PDO or a device alone).
PDEVICE_OBJECT DeviceBelow(PDEVICE_OBJECT device);
// A device object is being freed: the power manager forgets its queues.
void ForgetPowerDevice(PDEVICE_OBJECT device);
// Releases the power manager's serialisation slot that `device` holds for
// `irp` (a driver that never called PoStartNextPowerIrp for it).
void ReleasePowerSlot(PIRP irp, PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type);
// Waits until every completion held back by force-pending was delivered.
void DrainDeferredCompletions();

}  // namespace platform::detail
