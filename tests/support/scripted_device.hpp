// scripted_device.hpp - a device of the test world that records every request
// it receives and answers it by a script: complete at once (with data for
// reads), pend and complete later (from the test thread, another thread, or
// at DISPATCH_LEVEL), or pass it to the device below.
//
// It stands in for the neighbour of a driver under test: as the PDO at the
// bottom of a stack (with a device node, so registry keys and device
// interfaces work) or as a device attached above another one.
#pragma once

#include <platform/platform.hpp>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

// One request as the device saw it on arrival.
struct RecordedRequest {
    PIRP irp = nullptr;
    PDEVICE_OBJECT device = nullptr;
    UCHAR major = 0;
    UCHAR minor = 0;
    UCHAR control = 0;              // the stack location's control flags
    ULONG ioControlCode = 0;        // device-control requests only
    ULONG length = 0;               // read/write length
    ULONG inputLength = 0;          // device-control input length
    ULONG outputLength = 0;         // device-control output length
    LONGLONG byteOffset = 0;        // read/write byte offset
    PFILE_OBJECT fileObject = nullptr;
    std::string fileName;           // the file object's FileName as UTF-8
    bool hasMdl = false;
    std::vector<uint8_t> data;      // bytes a write carries; input of a buffered device control
    KIRQL irql = PASSIVE_LEVEL;     // IRQL of the dispatch call
    IO_STACK_LOCATION stack{};      // the whole stack location (Parameters)
};

// How a pended request is completed.
enum class CompleteFrom {
    TestThread,    // in the calling thread at PASSIVE_LEVEL
    Dispatch,      // in the calling thread at DISPATCH_LEVEL (as a DPC would)
    OtherThread,   // in a new thread at PASSIVE_LEVEL, joined before returning
    OtherDispatch  // in a new thread at DISPATCH_LEVEL, joined before returning
};

// What the device does with a request.
struct Answer {
    enum class Kind { Complete, Pend, PendUncancellable, Pass, CompleteAsync };
    Kind kind = Kind::Complete;
    NTSTATUS status = STATUS_SUCCESS;
    std::optional<ULONG_PTR> information;  // default: bytes of data copied, else 0
    std::vector<uint8_t> data;             // copied into the read buffer / output buffer
    CompleteFrom from = CompleteFrom::OtherThread;  // CompleteAsync only
    std::function<void(PIRP, PIO_STACK_LOCATION)> effect;  // runs before completion (e.g. set FsContext)
    std::function<void(PIRP)> pended;  // Pend only: runs once the request is pended (it may be gone already)

    static Answer Complete(NTSTATUS status = STATUS_SUCCESS, ULONG_PTR information = 0);
    static Answer Data(std::vector<uint8_t> bytes, NTSTATUS status = STATUS_SUCCESS);
    static Answer Pend();
    // Pends without a cancel routine: the sender's IoCancelIrp finds nothing
    // to call, and only CompletePending ends the request.
    static Answer PendUncancellable();
    static Answer Pass();
    // Pends and completes in the given context (another thread, DISPATCH_LEVEL)
    // before the dispatch routine returns STATUS_PENDING.
    static Answer Async(NTSTATUS status = STATUS_SUCCESS, ULONG_PTR information = 0,
                        CompleteFrom from = CompleteFrom::OtherThread);
    Answer &With(std::function<void(PIRP, PIO_STACK_LOCATION)> fn)
    {
        effect = std::move(fn);
        return *this;
    }
    Answer &Then(std::function<void(PIRP)> fn)
    {
        pended = std::move(fn);
        return *this;
    }
};

struct DeviceOptions {
    DEVICE_TYPE type = FILE_DEVICE_UNKNOWN;
    ULONG characteristics = 0;
    ULONG flags = 0;         // OR-ed into the device's flags (DO_BUFFERED_IO, DO_POWER_PAGABLE ...)
    bool exclusive = false;
};

class ScriptedDriver;

class ScriptedDevice {
public:
    ~ScriptedDevice();
    ScriptedDevice(const ScriptedDevice &) = delete;
    ScriptedDevice &operator=(const ScriptedDevice &) = delete;

    PDEVICE_OBJECT device() const { return device_; }
    PDEVICE_OBJECT lower() const { return lower_; }  // null for a PDO

    // The script: one-shot answers queued per major function are used first,
    // in order; then the script function; then the default answer.
    void Queue(UCHAR major, Answer answer);
    void SetScript(std::function<Answer(const RecordedRequest &)> script);
    void SetDefault(Answer answer);

    // What arrived so far (copies; safe from any thread).
    std::vector<RecordedRequest> Requests() const;
    std::vector<RecordedRequest> Requests(UCHAR major) const;
    size_t RequestCount() const;
    void ClearRequests();
    // Waits until at least count requests have arrived in total; false on timeout.
    bool WaitForRequests(size_t count, int timeoutMs = 5000) const;

    // Pended requests, oldest first.
    size_t PendingCount() const;
    std::vector<PIRP> Pending() const;
    bool WaitForPending(size_t count, int timeoutMs = 5000) const;
    // Completes the oldest pended request (or the given one).  Returns false
    // when there is none (or its cancel routine already owns it).
    bool CompletePending(const Answer &answer, CompleteFrom from = CompleteFrom::TestThread,
                         PIRP which = nullptr);
    // Completes every pended request with STATUS_CANCELLED.
    void CancelAllPending();
    // Where a request cancelled by its sender (IoCancelIrp) is completed:
    // inside the cancel (the default) or in another context, finished before
    // the cancel returns.
    void SetCancelFrom(CompleteFrom from);
    // Hands the completion of a cancelled request to `post` instead (it runs
    // it later, on a thread of its own, as a bus driver's DPC would); empty
    // to stop.
    void SetCompleter(std::function<void(std::function<void()>)> post);

private:
    friend class ScriptedDriver;
    ScriptedDevice(PDEVICE_OBJECT device, PDEVICE_OBJECT lower, bool hasNode);

    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp);
    static void NTAPI CancelRoutine(PDEVICE_OBJECT device, PIRP irp);
    NTSTATUS Handle(PIRP irp);
    Answer Choose(const RecordedRequest &request);
    NTSTATUS PendRequest(PIRP irp, bool cancellable);
    bool TakePending(PIRP irp);
    static void Finish(PIRP irp, const Answer &answer);
    static void Run(CompleteFrom from, const std::function<void()> &fn);

    PDEVICE_OBJECT device_ = nullptr;
    PDEVICE_OBJECT lower_ = nullptr;
    bool hasNode_ = false;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<RecordedRequest> requests_;
    std::deque<std::pair<UCHAR, Answer>> queued_;
    std::function<Answer(const RecordedRequest &)> script_;
    Answer default_;
    std::deque<PIRP> pending_;
    std::vector<PIRP> uncancellable_;
    CompleteFrom cancelFrom_ = CompleteFrom::TestThread;
    std::function<void(std::function<void()>)> completer_;
};

// A driver object of the test world owning scripted devices.  Devices are
// deleted newest first when the driver goes; a device still attached above
// by another driver is a verifier finding, as on Windows.
class ScriptedDriver {
public:
    explicit ScriptedDriver(std::u16string_view name = u"\\Driver\\Scripted");
    ~ScriptedDriver();
    ScriptedDriver(const ScriptedDriver &) = delete;
    ScriptedDriver &operator=(const ScriptedDriver &) = delete;

    PDRIVER_OBJECT driver() const { return driver_; }

    // A device at the bottom of a stack with a device node (driver key,
    // device interfaces) under the given instance path.
    ScriptedDevice &CreatePdo(std::u16string_view instancePath, DeviceOptions options = {});
    // A device attached above target (on top of target's stack).
    ScriptedDevice &CreateUpper(PDEVICE_OBJECT target, DeviceOptions options = {});
    // Deletes one device now (completing what it pended).
    void Destroy(ScriptedDevice &device);

private:
    ScriptedDevice &Create(PDEVICE_OBJECT attachTo, const DeviceOptions &options, bool hasNode,
                           std::u16string_view instancePath);

    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<std::unique_ptr<ScriptedDevice>> devices_;
};

}  // namespace testing_support
