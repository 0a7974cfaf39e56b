// platform.hpp - the host kernel's control interface for the world and tests.
//
// The drivers see only the DDK headers (wdm.h, ntddk.h, usb*.h).  The world
// (sim/) and the tests use this C++ interface to set the stage (driver
// objects, device nodes, registry values, faults), to act as a client (open a
// device), and to read what the kernel recorded (debug output, assertions,
// verifier findings, pool and request accounting).
#pragma once

extern "C" {
#include <ntddk.h>
}

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// ---------------------------------------------------------------------------
// Wide text.  WCHAR is 16-bit in both builds; never hand it to the C library.

std::string ToUtf8(const WCHAR *text, size_t chars);
std::string ToUtf8(const WCHAR *zeroTerminated);
std::string ToUtf8(const UNICODE_STRING &s);
std::u16string ToU16(std::string_view utf8);
inline const WCHAR *W(const std::u16string &s) { return reinterpret_cast<const WCHAR *>(s.c_str()); }
inline const WCHAR *W(const char16_t *s) { return reinterpret_cast<const WCHAR *>(s); }
std::string GuidToString(const GUID &g);  // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}

// ---------------------------------------------------------------------------
// Debug output (DbgPrint) and assertions (RtlAssert).

// Every DbgPrint call appends its formatted text; lines are split on '\n'.
std::string DebugText();                 // everything kept since the last clear
std::vector<std::string> DebugCalls();   // one entry per DbgPrint call kept
void ClearDebugOutput();
// How much the sink keeps: every call (kCaptureEverything, the default: tests
// read it), nothing (0), or a ring of the most recent calls up to `bytes`
// bytes of text (the oldest go first).  A long-running program bounds it.
inline constexpr size_t kCaptureEverything = SIZE_MAX;
void SetDebugCapture(size_t bytes);
uint64_t DroppedDebugCalls();  // calls the limit left out since the last clear
// Called with the text of every DbgPrint call (for live echo); empty to stop.
void SetDebugEcho(std::function<void(std::string_view)> echo);
// Formats like DbgPrint into a string (the kernel's format language).
std::string FormatKernel(const char *format, ...);

struct AssertionRecord {
    std::string expression;
    std::string file;
    unsigned line = 0;
    std::string message;
};
// The first 4096 assertions since the last clear are kept; later ones are
// printed and counted only.
std::vector<AssertionRecord> Assertions();
void ClearAssertions();
uint64_t DroppedAssertions();

// ---------------------------------------------------------------------------
// Verifier.  A broken Windows rule is a bug check: the rule is printed and the
// process aborts, unless a ViolationTrap is alive on any thread, in which case
// the finding is recorded and the call returns doing the safest thing.

struct Violation {
    std::string rule;    // e.g. "IRP_COMPLETED_TWICE"
    std::string detail;  // the offending object and what happened
};
std::vector<Violation> Violations();
void ClearViolations();
// Reports a broken rule (used inside the platform and by the world).
void Violate(const char *rule, const std::string &detail);

class ViolationTrap {
public:
    ViolationTrap();
    ~ViolationTrap();
    ViolationTrap(const ViolationTrap &) = delete;
    ViolationTrap &operator=(const ViolationTrap &) = delete;
};

// ---------------------------------------------------------------------------
// Pool.

struct PoolTagUse {
    uint64_t blocks = 0;
    uint64_t bytes = 0;
};
uint64_t PoolBlocksOutstanding();
std::map<std::string, PoolTagUse> PoolByTag();  // tag as its four characters
std::string PoolLeakReport();                   // empty when nothing is outstanding
uint64_t PoolAllocationCount();                 // allocations attempted so far
// Pool blocks handed out so far, by the module whose code asked for them
// (its file name: "norva.so", "tembris.so" for the host modules, "norva.sys",
// "tembris.sys" for the target build's images).
std::map<std::string, uint64_t> PoolAllocationsByModule();
// Of those, the ones of one driver ("norva"), host module or image alike.
uint64_t PoolAllocationsOfDriver(std::string_view driver);
bool IsPoolBlock(const void *p, POOL_TYPE *type = nullptr, ULONG *tag = nullptr, size_t *size = nullptr);
// The guarded pool: every driver pool block allocated while it is on ends
// where an inaccessible page begins (its size rounded up to the pool
// alignment, 8 bytes on x86 and 16 on x64, the slack checked when it is
// freed), and a freed block's pages stay inaccessible for a while, so that
// a write past the end or a use after free faults at once.  Works without
// a sanitizer; on when the environment has VCP_GUARD_POOL=1.
void GuardPoolBlocks(bool on);
bool PoolBlocksGuarded();
std::string TagName(ULONG tag);
constexpr ULONG MakeTag(const char (&t)[5])
{
    return ULONG(uint8_t(t[0])) | ULONG(uint8_t(t[1])) << 8 | ULONG(uint8_t(t[2])) << 16 |
           ULONG(uint8_t(t[3])) << 24;
}

// Fault injection.  Counted allocations are pool blocks, IRPs and MDLs.
void FailAllocationNumber(uint64_t n);            // fail the n-th allocation from now (1 = next)
void FailAllocationsWithTag(ULONG tag, int count = -1);  // pool blocks with this tag (-1: all)
// The low-resources simulation as Driver Verifier runs it, on the drivers
// alone: while limited, only allocations made with a driver image on the
// calling thread's stack (its own, and those the kernel makes inside its
// calls) are counted and may fail; the world's never do.  The PnP manager
// registers each driver module it loads.
void RegisterDriverImage(const void *anyAddressInImage);
void LimitAllocationFaultsToDrivers(bool on);
// Fails each counted allocation with probability perMille/1000, decided by
// the seed and the allocation's number (a run that allocates in the same
// order fails the same allocations).  0 stops it.
void FailAllocationsRandomly(uint64_t seed, unsigned perMille);
uint64_t RandomAllocationFailures();  // failed so far by FailAllocationsRandomly
void ClearAllocationFaults();

// ---------------------------------------------------------------------------
// Requests and memory descriptor lists.

uint64_t IrpsOutstanding();
uint64_t MdlsOutstanding();
uint64_t IrpAllocationCount();  // IRPs allocated so far (any kind)

// ---------------------------------------------------------------------------
// Objects.

uint64_t DevicesAlive();  // device objects not yet freed
std::vector<PDEVICE_OBJECT> DeviceStack(PDEVICE_OBJECT bottom);  // bottom first
LONG ObjectReferenceCount(PDEVICE_OBJECT device);
bool IsDeviceDeleted(PDEVICE_OBJECT device);

// Whether a live device is attached to a device below it.
bool IsAttached(PDEVICE_OBJECT device);
// Whether a live device is at the bottom of its stack (a PDO).
bool IsPdo(PDEVICE_OBJECT device);
// A PnP or power minor function no Windows version defines: every filter and
// function driver must pass such a request down untouched.
bool IsUnknownMinor(UCHAR major, UCHAR minor);

// Force-pending I/O, as Driver Verifier does it: a request that a device of
// `driver` completes inside the IoCallDriver that sent it is answered
// STATUS_PENDING to its sender, and its completion (the completion routines
// above) runs later on another thread at DISPATCH_LEVEL.  every: 1 forces
// every call to the driver, 2 every second one; 0 stops it.
void ForcePending(PDRIVER_OBJECT driver, unsigned every);
uint64_t ForcedCompletions();  // completions held back and delivered so far

// The PnP manager tells the kernel when a stack is between
// IRP_MN_SURPRISE_REMOVAL and IRP_MN_REMOVE_DEVICE: a driver that detaches
// or deletes a device of that stack meanwhile breaks the rules
// DETACH_DURING_SURPRISE_REMOVAL and DELETE_DURING_SURPRISE_REMOVAL.
void SetSurpriseRemovalPending(PDEVICE_OBJECT pdo, bool pending);

// The PnP manager of Windows 2000 tells the kernel which stacks are not yet
// started: until then OpenDevice refuses every device of the stack with
// STATUS_NO_SUCH_DEVICE.
void SetStartPending(PDEVICE_OBJECT pdo, bool pending);

// Handles to a stack: the file objects OpenDevice made for its devices, and
// the holds of clients that keep a device open without one (the port model
// holds its port's PDO while its port is open).  A hold keeps a reference.
void HoldDevice(PDEVICE_OBJECT device);
void ReleaseDevice(PDEVICE_OBJECT device);
uint64_t OpenHandles(PDEVICE_OBJECT pdo);  // every device of the stack on pdo

// Makes the next IoAttachDeviceToDeviceStack fail (return no device object),
// as it does when the target stack is being torn down.
void FailNextAttach();

// Driver objects made by the world (the hub driver) or the PnP manager.
PDRIVER_OBJECT CreateDriverObject(std::u16string_view name);
void DeleteDriverObject(PDRIVER_OBJECT driver);

// ---------------------------------------------------------------------------
// Device nodes: the registry's view of a PDO (instance path, driver key).

void CreateDeviceNode(PDEVICE_OBJECT pdo, std::u16string_view instancePath);
void DeleteDeviceNode(PDEVICE_OBJECT pdo);
std::u16string DeviceInstancePath(PDEVICE_OBJECT pdo);
void SetDriverValue(PDEVICE_OBJECT pdo, std::u16string_view name, ULONG type, const void *data, size_t size);
void SetDriverDword(PDEVICE_OBJECT pdo, std::u16string_view name, ULONG value);
void DeleteDriverValue(PDEVICE_OBJECT pdo, std::u16string_view name);
void FailNextRegistryOpen(NTSTATUS status);
uint64_t RegistryHandlesOpen();

// ---------------------------------------------------------------------------
// Device interfaces.

struct InterfaceInfo {
    GUID classGuid{};
    PDEVICE_OBJECT pdo = nullptr;
    std::u16string link;
    bool enabled = false;
};
std::vector<InterfaceInfo> Interfaces();
std::vector<InterfaceInfo> Interfaces(const GUID &classGuid);
void FailNextInterfaceRegistration(NTSTATUS status);
void FailNextInterfaceStateChange(NTSTATUS status);

// ---------------------------------------------------------------------------
// Power.

struct PowerStateRecord {
    PDEVICE_OBJECT device = nullptr;
    POWER_STATE_TYPE type = SystemPowerState;
    ULONG state = 0;
};
std::vector<PowerStateRecord> PowerStateCalls();  // every PoSetPowerState
void ClearPowerStateCalls();
void FailNextPowerRequest(NTSTATUS status);       // PoRequestPowerIrp

// ---------------------------------------------------------------------------
// Clients: open and close a device as a program would.

// Sends IRP_MJ_CREATE to the top of the device's stack with a new file object
// whose FileName is fileName.  Honours exclusive devices: a second open of a
// DO_EXCLUSIVE device fails with STATUS_ACCESS_DENIED.
NTSTATUS OpenDevice(PDEVICE_OBJECT device, std::u16string_view fileName, PFILE_OBJECT *fileObject);
// Sends IRP_MJ_CLEANUP then IRP_MJ_CLOSE and frees the file object.
NTSTATUS CloseDevice(PFILE_OBJECT fileObject);

// Builds a request that the I/O manager finishes (status block, event, free),
// as the PnP and power managers build theirs: one stack location per device
// in the stack of top, the first one filled with major and minor.
PIRP BuildSynchronousRequest(PDEVICE_OBJECT top, UCHAR major, UCHAR minor, PKEVENT event, PIO_STATUS_BLOCK iosb);
// Sends a request the I/O manager finishes (PoCallDriver for a power
// request) and waits for it at PASSIVE_LEVEL if it pends; returns its final
// status.  *iosb receives the request's final status block in every case:
// it is taken as the request leaves its top, since the I/O manager
// itself leaves the caller's status block (and event) alone when a request
// fails without having pended.  *dispatched (if given) receives what the
// call returned.
NTSTATUS CallAndWait(PDEVICE_OBJECT device, PIRP irp, PKEVENT event, PIO_STATUS_BLOCK iosb,
                     NTSTATUS *dispatched = nullptr);

// ---------------------------------------------------------------------------
// Threads and IRQL.

// Runs fn at DISPATCH_LEVEL on the calling thread, as a DPC would.
void AtDispatchLevel(const std::function<void()> &fn);

// ---------------------------------------------------------------------------
// Driver images: the target build's .sys files (PE32, 32-bit x86), mapped
// into this process by the kernel's loader as Windows maps them: sections
// with their protections, base relocations applied, imports bound by name to
// this kernel's routines (an image that imports anything else is refused,
// naming the routine).  Only the 32-bit build can run them; elsewhere Load
// refuses every image.
//
// Once DriverEntry has returned the image's INIT section is discarded: code
// that runs there later stops the process naming the routine.  Pageable code
// (the PAGE section) is trimmed whenever a thread raises its IRQL to
// DISPATCH_LEVEL, as Driver Verifier trims it: a thread at PASSIVE_LEVEL or
// APC_LEVEL pages it back in, one at DISPATCH_LEVEL or above breaks the rule
// PAGEABLE_CODE_AT_DISPATCH_LEVEL.

struct ImageInfo {
    std::string path;
    std::string name;           // the file name: "norva.sys"
    uintptr_t base = 0;         // where it is mapped
    uint32_t size = 0;          // SizeOfImage
    uint32_t timestamp = 0;     // the file header's TimeDateStamp (seconds since 1970)
    uint64_t fileSize = 0;
    uint32_t relocations = 0;   // base relocations applied
    uint32_t importsBound = 0;  // imported routines bound to this kernel
};

class DriverImage {
public:
    // Maps and binds an image; null (with one line per problem in *error)
    // when it is not a 32-bit native PE driver or imports something this
    // kernel does not provide.
    static std::unique_ptr<DriverImage> Load(const std::string &path, std::string *error = nullptr);
    ~DriverImage();  // unmaps the image
    DriverImage(const DriverImage &) = delete;
    DriverImage &operator=(const DriverImage &) = delete;

    const ImageInfo &info() const;
    PDRIVER_INITIALIZE entryPoint() const;
    // Calls the entry point as the I/O manager calls DriverEntry, then
    // discards INIT.
    NTSTATUS CallEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
    // A routine of the export directory, by name; null when not exported.
    void *Export(std::string_view name) const;
    // The routine of the image's symbol table that holds the address, as
    // "FilterPass+0x1a"; empty when the address lies in no routine.
    std::string RoutineAt(const void *address) const;

    struct Impl;

private:
    explicit DriverImage(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// Images loaded now, in load order.
std::vector<ImageInfo> LoadedImages();
// "norva.sys!FilterPass+0x1a" (or "norva.sys+0x1234") for an address inside
// a loaded image; empty otherwise.
std::string DescribeImageAddress(const void *address);
// The file name of the image (loaded now or earlier) holding an address;
// empty when none does.
std::string ImageNameAt(const void *address);
// The file name of the driver image or host module holding an address
// ("tembris.sys", "tembris.so", "libntos.so"); empty when none does.
std::string ModuleNameAt(const void *address);
// Whether pageable code is trimmed when a thread raises its IRQL (not under
// qemu-i386: a signal handler's return there loses the thread's TLS).
bool TrimsPageableCode();
// A routine this kernel provides to images ("ntoskrnl.exe", "IofCallDriver"),
// as an image's import is bound to it; null when it provides none.
void *KernelRoutine(std::string_view module, std::string_view routine);

// ---------------------------------------------------------------------------
// Whole-kernel checks.

// Empty when the kernel is clean: no pool, IRPs, MDLs, device objects,
// registry handles, no unexpected assertion and no violation.
std::string LeakReport();
// Forgets all recorded state (debug output, assertions, violations, faults,
// power records).  Does not free anything a driver still holds.
void ResetRecords();

}  // namespace platform
