// host_controller.hpp - the world's USB host controller and the USBD side of
// the hub: URB validation, per-endpoint queues, the frame clock and the
// thread that completes transfers.  Used by the hub (hub.cpp); tests reach it
// through UsbHub.
//
// Locks: mutex_ guards the slots, queues and the completion list; it is held
// while the controller calls a device model (which takes its own lock and
// never calls back into the controller except through Wake(), which takes
// only wakeMutex_).  No lock is held while a request is completed.
#pragma once

#include "usb/hub.hpp"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include <platform/short_lock.hpp>

namespace world {

class HostController {
public:
    struct Slot;

    explicit HostController(ClockMode mode);
    ~HostController();  // Shutdown()
    HostController(const HostController &) = delete;
    HostController &operator=(const HostController &) = delete;

    // Completes every request still held (as for an unplug) and stops the thread.
    void Shutdown();

    // Null when all 127 bus addresses are taken.
    Slot *AddSlot(PDEVICE_OBJECT pdo, std::shared_ptr<UsbDevice> device);
    // Completes what the slot holds (device gone), waits for it, forgets the slot.
    void RemoveSlot(Slot *slot);

    // Dispatch entry points (any thread, up to DISPATCH_LEVEL unless noted).
    // They return what the dispatch routine returns.
    NTSTATUS SubmitUrb(Slot *slot, PIRP irp);
    NTSTATUS GetPortStatus(Slot *slot, PIRP irp);  // PASSIVE_LEVEL
    NTSTATUS ResetPort(Slot *slot, PIRP irp);      // PASSIVE_LEVEL
    // The cancel routine of every pended request.
    static void NTAPI CancelRoutine(PDEVICE_OBJECT pdo, PIRP irp);

    // Power of the PDO.  D1-D3 suspend the port (the controller leaves the
    // device's requests queued), D0 resumes it.
    void SetDevicePower(Slot *slot, DEVICE_POWER_STATE state);
    bool suspended(Slot *slot) const;
    // IRP_MN_WAIT_WAKE, already checked against the capabilities: pended until
    // the suspended device signals wake (STATUS_SUCCESS), a cancel
    // (STATUS_CANCELLED) or the device's removal or unplug
    // (STATUS_NO_SUCH_DEVICE); one at a time (a second: STATUS_DEVICE_BUSY).
    // Completed from the controller's thread, as transfers are.
    NTSTATUS WaitWake(Slot *slot, PIRP irp);
    static void NTAPI WaitWakeCancelRoutine(PDEVICE_OBJECT pdo, PIRP irp);
    bool waitWakePending(Slot *slot) const;
    bool WaitWakeArmed(Slot *slot, std::chrono::milliseconds timeout) const;

    // PnP of the PDO: between IRP_MN_REMOVE_DEVICE and the next start every
    // request is refused as for a device that is gone.
    void Started(Slot *slot);
    bool removed(Slot *slot) const;

    // PnP removal of the PDO: aborts everything, unconfigures, waits until
    // every completion has been delivered.
    void Unconfigure(Slot *slot);
    void Unplug(Slot *slot);

    std::shared_ptr<UsbDevice> device(Slot *slot) const;
    uint8_t address(Slot *slot) const;
    void SetPortEnabled(Slot *slot, bool enabled);
    unsigned portResets(Slot *slot) const;
    std::vector<UrbRecord> urbs(Slot *slot) const;
    void ClearUrbs(Slot *slot);
    // Records kept per device (the oldest go first); 65536 by default.
    void SetUrbLogLimit(size_t records);
    size_t pending(Slot *slot, uint8_t endpoint) const;
    bool WaitPending(Slot *slot, uint8_t endpoint, size_t n, std::chrono::milliseconds timeout) const;
    bool WaitIdle(Slot *slot, std::chrono::milliseconds timeout) const;
    // Waits until the controller no longer holds the request: not queued,
    // and IoCompleteRequest on it has returned.
    bool WaitReleased(PIRP irp, std::chrono::milliseconds timeout) const;

    // The URB observer (hub.hpp); null: none.
    void SetObserver(std::shared_ptr<UrbObserver> observer);

    void SetClockMode(ClockMode mode);
    ClockMode clockMode() const;
    Frame now() const;
    // Wakes the thread: something changed that may let a transfer move.
    void Wake();

    // --- Bus bandwidth -------------------------------------------------------
    // In virtual-time runs with fullSpeedBandwidth, and in ClockMode::Frames,
    // every frame has the bus time of a full-speed bus (bus_time.hpp):
    // control requests first, then the interrupt endpoints whose interval is
    // due, then the bulk endpoints of every device in turn, one packet at a
    // visit, round and round until the frame's time is spent or none has a
    // packet to move; the next frame goes on from the endpoint after the last
    // one served.  So devices share a bus they overload evenly, a packet each
    // in turn, as a host controller's bulk list does.  The IN endpoints have
    // their turns before the OUT ones: a device whose bytes are not fetched
    // loses them when its buffer overruns, an OUT packet that waits only
    // holds its sender back.  Elsewhere any number of transfers moves in a
    // frame.
    struct BusUse {
        uint64_t frames = 0;                 // frames served with the bandwidth of a full-speed bus
        uint64_t bits = 0;                   // bit times their transactions took (start-of-frame packets not counted)
        uint64_t bulkTransactions = 0;
        uint64_t shortBulkTransactions = 0;  // of them, shorter than the endpoint's packet (zero-length included)
        uint64_t bulkBytes = 0;              // data they carried
        uint64_t bulkInTransactions = 0;     // of them, on IN endpoints
        uint64_t bulkInBytes = 0;
        uint64_t zeroLengthBulkIn = 0;       // zero-length IN packets (idle reads the latency timer ended)
        uint64_t interruptTransactions = 0;
        uint64_t interruptBits = 0;
        uint64_t saturatedFrames = 0;        // frames whose time ran out while a bulk packet waited for it
    };
    BusUse busUse() const;

    // --- Virtual time ---------------------------------------------------------
    // A run on a simulated frame clock.  Every frame is served in turn, none
    // skipped and none waited for: the run goes as fast as the machine does.
    // In each frame the controller serves what a full-speed bus would (above),
    // delivers the frame's completions on its own thread, then calls step
    // once, on the same thread at PASSIVE_LEVEL, with the frame's number in
    // the run (0 first).  What step or a completion submits is served from
    // the next frame on.  The run ends when step returns false.
    //
    // Frame 0 of a run is an absolute frame that is a multiple of
    // kVirtualEpoch, so endpoint intervals meet every run in the same phase:
    // a run that begins with nothing pending, and in which nothing but step
    // and the controller's thread acts on the world, comes out the same on
    // every machine and every time.
    //
    // A real-time run is the same run paced by the wall clock: frame k begins
    // no sooner than k ms after frame 0 did, so the run lasts as long as its
    // bus time and the machine has to keep up.  A frame that begins more than
    // a frame late is counted (lateFrames); the frames still come in turn.
    struct VirtualRun {
        std::function<bool(Frame frameInRun)> step;
        bool fullSpeedBandwidth = true;  // false: any number of packets per frame
        bool realTime = false;
        uint64_t *lateFrames = nullptr;  // real time: set at the end of the run
    };
    static constexpr unsigned kBulkPacketsPerFrame = 19;  // 64-byte packets in one 1 ms frame
    static constexpr Frame kVirtualEpoch = 1024;
    // Runs frames until step ends the run and returns how many ran; the
    // clock then goes on in its mode.  Called from any thread but the
    // controller's; one run at a time.
    Frame RunVirtual(VirtualRun run);

    struct Op;
    struct Pipe;
    // A queue of requests in the order they came.  A vector: queues hold a
    // request or two, served from the front, and keep their storage.
    using OpQueue = std::vector<std::unique_ptr<Op>>;

private:
    struct Completion {
        PIRP irp;
        Slot *slot;
        NTSTATUS status;
    };

    void Run();
    // After the frame's completions.  True when the run goes on and the
    // controller is not stopping: the next frame then begins without the
    // look the top of a frame takes under the wake lock.
    bool StepVirtual(VirtualRun &run, Frame now);
    bool ServiceFrame(Frame now, Frame *next);  // with mutex_ held
    // bulk false: the control requests and the periodic endpoints only.
    void ServiceSlot(Slot &slot, Frame now, Frame *next, bool bulk = true);
    void ServiceBulkInTurn(Frame now, Frame *next);  // bus_schedule.cpp
    void ServiceControl(Slot &slot, Op &op, Frame now);
    void ApplyConfiguration(Slot &slot, Op &op);
    // True when a packet crossed the bus (the endpoint may be visited again
    // in this frame).  onePacket: at most one packet of the first transfer.
    bool ServicePipe(Slot &slot, Pipe &pipe, Frame now, Frame *next, bool onePacket = false);
    // Bus time for what a transfer moved in this frame (metered frames).
    void Charge(const Pipe &pipe, size_t moved, bool endedShort);
    void ServiceIso(Slot &slot, Pipe &pipe, Op &op, Frame now, Frame *next);
    void CompleteAborts(Slot &slot);
    void DeliverCompletions(std::vector<Completion> &done);

    // Queue bookkeeping, with mutex_ held.
    NTSTATUS Pend(Slot &slot, std::unique_ptr<Op> op, OpQueue &queue);
    bool Finish(Slot &slot, Op &op, USBD_STATUS status);  // false: its cancel routine owns it
    void FlushQueue(Slot &slot, OpQueue &queue, USBD_STATUS status,
                    uint64_t beforeSeq = UINT64_MAX);
    void FlushSlot(Slot &slot, USBD_STATUS status);
    void FinishWaitWake(Slot &slot, NTSTATUS status);
    void DropPipes(Slot &slot);
    std::unique_ptr<Op> TakeOp(PIRP irp, Slot **slot);
    // A transfer's request record: one the controller kept, made as new, or
    // a new one; a finished transfer's record is kept for the next (not
    // under AddressSanitizer, which then sees any use of it after its end).
    std::unique_ptr<Op> NewOp();
    void KeepOp(std::unique_ptr<Op> op);
    uint8_t FreeAddress() const;  // 0: none
    NTSTATUS CompleteNow(Slot &slot, PIRP irp, PURB urb, USBD_STATUS status, uint64_t record);
    uint64_t Record(Slot &slot, const UrbRecord &record);
    void WaitForSlotIdle(std::unique_lock<platform::ShortLock> &lock, Slot &slot);
    // The observer's view (with mutex_ held, observer_ set): what the bus
    // shows of op, fixed at its submission; then each event.
    void DescribeForObserver(Slot &slot, Op &op);
    void Observe(Slot &slot, const Op &op, UrbEvent::Kind kind, USBD_STATUS status);
    void ObserveRefused(Slot &slot, PURB urb, const UrbRecord &record, USBD_STATUS status);

    // URB handlers (with mutex_ held): USBD_STATUS_PENDING when pended,
    // else the status to complete the request with at once.
    USBD_STATUS SelectConfiguration(Slot &slot, PIRP irp, PURB urb, uint64_t rec);
    USBD_STATUS ControlRequest(Slot &slot, PIRP irp, PURB urb, uint64_t rec);
    USBD_STATUS PipeRequest(Slot &slot, PIRP irp, PURB urb, uint64_t rec);
    USBD_STATUS BulkTransfer(Slot &slot, PIRP irp, PURB urb, uint64_t rec);
    USBD_STATUS IsochTransfer(Slot &slot, PIRP irp, PURB urb, uint64_t rec);
    Pipe *FindPipe(Slot &slot, USBD_PIPE_HANDLE handle);

    mutable platform::ShortLock mutex_;
    mutable platform::ShortCondition changed_;  // with mutex_: queues changed, completions delivered
    std::vector<std::unique_ptr<Slot>> slots_;
    std::vector<Completion> done_;
    std::vector<std::unique_ptr<Op>> spareOps_;  // kept for the next transfer (NewOp)
    std::vector<PIRP> delivering_;  // being completed by the thread right now
    uint64_t nextSeq_ = 1;
    size_t urbLogLimit_ = 65536;  // records kept per device
    uintptr_t nextHandle_ = 0x10;
    std::shared_ptr<UrbObserver> observer_;

    // Whether the frame being served is a virtual-time run's (the
    // controller's thread alone reads and writes it).
    bool servingVirtual_ = false;

    mutable platform::ShortLock wakeMutex_;
    platform::ShortCondition wakeCv_;
    bool wakePending_ = false;
    std::atomic<bool> stop_{false};  // written with wakeMutex_; read without it by a virtual-time frame
    ClockMode mode_;
    std::chrono::steady_clock::time_point frameZero_;  // Frames mode: when frame 0 began
    std::atomic<Frame> now_{0};
    // Virtual time, with wakeMutex_: the run asked for, whether it has begun,
    // its frame 0 and how many frames it has had.
    VirtualRun *virtualRun_ = nullptr;
    bool virtualBegun_ = false;
    Frame virtualBase_ = 0;
    std::atomic<Frame> virtualFrames_{0};  // written by the controller's thread alone while a run goes on
    platform::ShortCondition virtualDone_;  // the run ended (or the controller stopped)
    // Bus time left in the frame being served (with mutex_), when frames are
    // metered (bus_time.hpp); what it went to; the bulk endpoints served
    // last, IN and OUT.
    bool metered_ = false;
    int64_t bitsLeft_ = 0;
    bool saturated_ = false;
    BusUse busUse_;
    uint32_t lastBulkInKey_ = 0;
    uint32_t lastBulkOutKey_ = 0;
    struct BulkEndpoint {
        uint32_t key;  // address and endpoint: the order of the turns
        Slot *slot;
        Pipe *pipe;
        bool resting;  // NAKed or empty: no more visits this frame
    };
    std::vector<BulkEndpoint> bulkTurns_;
    // Real time: when frame 0 of the run began, and frames begun late.
    std::chrono::steady_clock::time_point virtualStart_;
    uint64_t lateFrames_ = 0;
    std::thread thread_;
};

// The NTSTATUS that goes with a USBD status.
NTSTATUS NtStatusOf(USBD_STATUS status);

// The controller that serves a hub PDO (hub.cpp).
HostController *ControllerOfPdo(PDEVICE_OBJECT pdo);

}  // namespace world
