// hub.hpp - the USB hub driver of the world and its host controller.
//
// UsbHub is a driver object whose PDOs sit at the bottom of each device's
// stack, below the function driver.  A PDO answers
//   IRP_MJ_INTERNAL_DEVICE_CONTROL
//     IOCTL_INTERNAL_USB_SUBMIT_URB       (URB in Parameters.Others.Argument1)
//     IOCTL_INTERNAL_USB_GET_PORT_STATUS  (Argument1: PULONG, USBD_PORT_*)
//     IOCTL_INTERNAL_USB_RESET_PORT
//   IRP_MJ_PNP, IRP_MJ_POWER              (as a bus driver: capabilities with
//                                          a DeviceState table and DeviceWake;
//                                          device set-power suspends the port in
//                                          D1-D3 and resumes it in D0; wait-wake)
// and these URB functions, as USBD does:
//   SELECT_CONFIGURATION   fills the interface and pipe information from the
//                          (untrusted, validated) configuration descriptor;
//                          a null descriptor unconfigures: every transfer is
//                          aborted and the pipe handles become invalid
//   GET_DESCRIPTOR_FROM_DEVICE  short reads honoured (TransferBufferLength
//                          comes back as the bytes returned)
//   BULK_OR_INTERRUPT_TRANSFER, ISOCH_TRANSFER  through TransferBufferMDL (or
//                          TransferBuffer when there is no MDL)
//   VENDOR_DEVICE, RESET_PIPE, ABORT_PIPE, GET_CURRENT_FRAME_NUMBER
// Every URB's Hdr.Status is set.  A request that fails validation (bad URB,
// bad pipe handle, wrong direction, a descriptor that lies) is completed at
// once with the failure.  Everything else is pended (IoMarkIrpPending,
// STATUS_PENDING, a cancel routine) and completed later from the host
// controller's thread at DISPATCH_LEVEL, never inside the IoCallDriver that
// sent it - except GET_CURRENT_FRAME_NUMBER, which is answered at once.
//
// Statuses:
//   cancelled (IoCancelIrp) or aborted     STATUS_CANCELLED / USBD_STATUS_CANCELED
//   device stalled the transfer            STATUS_UNSUCCESSFUL / USBD_STATUS_STALL_PID
//   pipe halted after a stall or error     STATUS_UNSUCCESSFUL / USBD_STATUS_ENDPOINT_HALTED
//                                          (until RESET_PIPE)
//   short IN packet without                STATUS_UNSUCCESSFUL / USBD_STATUS_DATA_UNDERRUN (the
//     USBD_SHORT_TRANSFER_OK               bytes that came are counted; the pipe halts)
//   RESET_PIPE with transfers queued       STATUS_DEVICE_BUSY / USBD_STATUS_ERROR_BUSY (abort first)
//   unplugged (now or before)              STATUS_DEVICE_NOT_CONNECTED / USBD_STATUS_DEVICE_GONE
//   invalid request or direction           STATUS_INVALID_PARAMETER / USBD_STATUS_INVALID_PARAMETER
//   bad pipe handle                        STATUS_INVALID_PARAMETER / USBD_STATUS_INVALID_PIPE_HANDLE
//   configuration descriptor lies          STATUS_INVALID_PARAMETER /
//                                          USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR
//
// The host controller runs on its own thread, one pass per frame.  Transfers
// queue per endpoint; a transfer submitted in frame N is first served in frame
// N+1.  Clock modes:
//   ClockMode::Fast    frames follow each other as fast as the work allows,
//                      and idle stretches (a latency timer, a polling
//                      interval, a paced byte) are skipped: bus time is
//                      virtual.  The default; for tests.
//   ClockMode::Interactive  as Fast while something moves, but an idle
//                      stretch passes in real time (a latency timer takes its
//                      16 ms): an open port with nothing to move costs the
//                      host nothing.  For programs that run for a person.
//   ClockMode::Frames  one frame per millisecond of real time.
// In ClockMode::Frames every frame has a full-speed bus's time (bus_time.hpp),
// which the devices' bulk endpoints share a packet at a visit in turn; in
// the other modes any number of transfers can move in a frame.  A
// virtual-time run (HostController::RunVirtual) serves every frame in turn
// with a full-speed bus's time, and runs the caller's step on the
// controller's thread once per frame: deterministic measurements.
//
// Ports and addresses: a hub has up to 127 ports (the bus's addresses);
// a device plugs into a chosen port or the lowest free one and gets the
// lowest free address.
//
// Power: a suspended port moves nothing: the device's requests stay queued
// and complete once a D0 request resumes it (the device model's own side,
// a converter's UART, keeps running).  IRP_MN_WAIT_WAKE is held (pended, with
// a cancel routine that hands its completion to the controller's thread)
// when the capabilities allow a wake from the system state it names, else
// refused with STATUS_INVALID_DEVICE_STATE; while held the device has remote
// wakeup enabled, and the wake signal of a suspended device completes it with
// STATUS_SUCCESS.  A cancel completes it with STATUS_CANCELLED, an unplug or
// a removal with STATUS_NO_SUCH_DEVICE.
//
// Removal: a PDO that has had IRP_MN_REMOVE_DEVICE (and no start since)
// refuses every request as one whose device is gone; its URBs are logged
// with afterRemove set and never reach the device.
//
// Lifetime: a PDO lives from Plug() until DeletePdo() or the hub's
// destruction.  IRP_MN_REMOVE_DEVICE aborts what the PDO still holds and
// unconfigures the device; the PDO stays (a new start configures it again).
// The destructor completes or cancels every request the controller holds,
// stops the thread and deletes the PDOs left.
#pragma once

#include <platform/platform.hpp>

#include "usb/usb_device.hpp"

#include <chrono>
#include <memory>
#include <vector>

namespace world {

class HostController;

enum class ClockMode { Fast, Interactive, Frames };

// One URB the hub received, as the tests see it.
struct UrbRecord {
    USHORT function = 0;
    uint8_t endpoint = 0;           // of the pipe (bulk, interrupt, isoch, reset, abort); 0 for the default pipe
    ULONG transferFlags = 0;
    ULONG length = 0;               // TransferBufferLength as submitted
    ULONG startFrame = 0;           // isoch: as submitted
    ULONG packets = 0;              // isoch: NumberOfPackets
    bool nullDescriptor = false;    // select configuration: the unconfigure form
    Frame frame = 0;                // when it arrived
    USBD_STATUS status = USBD_STATUS_PENDING;  // final Hdr.Status (PENDING while outstanding)
    NTSTATUS ntStatus = STATUS_PENDING;        // final IoStatus.Status
    ULONG transferred = 0;                     // final TransferBufferLength
    bool afterRemove = false;  // arrived after the PDO's IRP_MN_REMOVE_DEVICE: refused, the device never saw it
};

// One URB as a bus analyser sees it at the hub (UsbHub::SetObserver): its
// submission with what the host sends, its completion with what came back,
// or a submission the hub refused at once.  The URBs that become traffic on
// the bus are seen: descriptor, vendor, bulk, interrupt and isochronous
// transfers, a select-configuration as the SET_CONFIGURATION it sends and a
// pipe reset as its CLEAR_FEATURE(ENDPOINT_HALT).  Aborts and frame-number
// queries move nothing on the bus; what an abort cancels completes as
// cancelled.
struct UrbEvent {
    enum class Kind : uint8_t {
        Submit,    // the hub took it (OUT data and the setup packet go with it)
        Complete,  // it ended: done, failed, cancelled or the device gone (IN data comes with it)
        Refused,   // the hub refused it at once: nothing reached the bus
    };
    struct IsoPacket {
        USBD_STATUS status;
        uint32_t offset;
        uint32_t length;  // asked (Submit) or moved (Complete)
    };
    Kind kind = Kind::Submit;
    uint64_t id = 0;        // the URB's address: a completion carries its submission's
    Frame frame = 0;        // the controller's frame
    uint8_t address = 0;    // the device's address on the bus
    USBD_PIPE_TYPE type = UsbdPipeTypeControl;
    uint8_t endpoint = 0;   // with bit 7 for IN (control: the direction of its data stage)
    bool hasSetup = false;  // control submissions
    SetupPacket setup;
    USBD_STATUS status = USBD_STATUS_PENDING;
    uint32_t length = 0;    // Submit: the transfer's length; Complete: the bytes moved
    std::span<const uint8_t> data;  // OUT data at Submit, IN data at Complete
    uint32_t transferFlags = 0;     // the URB's (USBD_TRANSFER_DIRECTION_IN, USBD_SHORT_TRANSFER_OK, ...)
    uint8_t interval = 0;           // interrupt and isochronous endpoints, in frames
    uint32_t startFrame = 0;        // isochronous
    uint32_t errorCount = 0;        // isochronous, at completion
    std::span<const IsoPacket> packets;
};

// Sees every URB event at the hub.  Called on the thread that submits or
// completes the URB, with the host controller's lock held and the URB's
// buffers valid for the call only: copy what is wanted and return, never
// call into the hub, the world or the drivers.
class UrbObserver {
public:
    virtual ~UrbObserver() = default;
    virtual void OnUrb(const UrbEvent &event) = 0;
};

// The capabilities a hub reports for a self-powered full-speed device that
// can wake the system from S1-S3: D2 in S1-S3, D3 in S4 and S5, DeviceWake D2.
DEVICE_CAPABILITIES WakeableUsbDeviceCapabilities();

class UsbHub {
public:
    // A bus has 127 addresses: as many devices as the hub has ports, at most.
    static constexpr unsigned kMaxPorts = 127;

    // A hub of `ports` ports (1 to kMaxPorts) on a host controller of its own.
    explicit UsbHub(ClockMode mode = ClockMode::Fast, unsigned ports = kMaxPorts);
    ~UsbHub();
    UsbHub(const UsbHub &) = delete;
    UsbHub &operator=(const UsbHub &) = delete;

    PDRIVER_OBJECT driver() const { return driver_; }

    // Plugs a device into a port (0: the lowest free one) and returns its PDO
    // (DO_BUS_ENUMERATED_DEVICE, initialised); the device gets the lowest
    // free bus address, from 2 up as a host gives them (1 last: Linux shows
    // its root hub there).  Null, with the reason in *why, when the port is
    // taken or does not exist, every port or address is taken, or the
    // device object cannot be created.  A port and an address are free
    // again once the PDO is deleted.
    PDEVICE_OBJECT Plug(std::shared_ptr<UsbDevice> device, unsigned port = 0, std::string *why = nullptr);
    // Plugs a converter of variant 1 with default options.
    PDEVICE_OBJECT CreatePdo();
    // The device is pulled out: everything outstanding completes with
    // STATUS_DEVICE_NOT_CONNECTED / USBD_STATUS_DEVICE_GONE, and so does
    // every later request.  The PDO stays until DeletePdo.
    void Unplug(PDEVICE_OBJECT pdo);
    // Deletes a PDO once the stack above it has been removed (anything it
    // still holds is completed as for an unplug first).
    void DeletePdo(PDEVICE_OBJECT pdo);
    std::shared_ptr<UsbDevice> DeviceOf(PDEVICE_OBJECT pdo) const;
    template <class T> std::shared_ptr<T> DeviceOf(PDEVICE_OBJECT pdo) const
    {
        return std::dynamic_pointer_cast<T>(DeviceOf(pdo));
    }

    unsigned ports() const { return ports_; }
    unsigned portOf(PDEVICE_OBJECT pdo) const;      // 1-based
    uint8_t addressOf(PDEVICE_OBJECT pdo) const;    // on the bus
    // The device plugged into a port (null: none).
    PDEVICE_OBJECT PdoAt(unsigned port) const;

    // The capabilities a PDO answers (a realistic USB device by default).
    DEVICE_CAPABILITIES &capabilities() { return capabilities_; }

    // --- Ports ---
    // A disabled (but connected) port reads USBD_PORT_CONNECTED only; a
    // RESET_PORT enables it again.  Ports start enabled.
    void SetPortEnabled(PDEVICE_OBJECT pdo, bool enabled);
    unsigned portResets(PDEVICE_OBJECT pdo) const;

    // --- What the hub saw ---
    std::vector<UrbRecord> urbs(PDEVICE_OBJECT pdo) const;
    void ClearUrbs(PDEVICE_OBJECT pdo);
    // URB records kept per device, the oldest going first (65536 unless set).
    void SetUrbLogLimit(size_t records);
    // Transfers (bulk, interrupt, isoch) the controller holds for the PDO,
    // on one endpoint or on all (endpoint 0xFF).
    size_t pending(PDEVICE_OBJECT pdo, uint8_t endpoint = 0xFF) const;
    // Waits until the controller holds at least n transfers as above.
    bool WaitPending(PDEVICE_OBJECT pdo, uint8_t endpoint, size_t n, std::chrono::milliseconds timeout) const;
    // Waits until the controller holds nothing at all for the PDO.
    bool WaitIdle(PDEVICE_OBJECT pdo, std::chrono::milliseconds timeout) const;

    // --- Power ---
    bool suspended(PDEVICE_OBJECT pdo) const;        // the port is suspended (device in D1-D3)
    bool waitWakePending(PDEVICE_OBJECT pdo) const;  // a wait-wake is held for the device
    // Waits until a wait-wake is held for the device.
    bool WaitWakeArmed(PDEVICE_OBJECT pdo, std::chrono::milliseconds timeout) const;

    // --- Observer ---
    // Every URB event from now on goes to the observer (null: none).  When
    // this returns, the observer it replaced is called no more.
    void SetObserver(std::shared_ptr<UrbObserver> observer);

    // --- Clock ---
    void SetClockMode(ClockMode mode);
    ClockMode clockMode() const;
    Frame frame() const;  // the controller's frame counter

    // The controller itself (host_controller.hpp), e.g. WaitReleased(irp):
    // a completion routine that signals a waiter runs inside IoCompleteRequest
    // on the controller's thread, and the request is the waiter's to free or
    // reuse only once that call has returned.
    HostController &controller() { return *controller_; }

private:
    PDRIVER_OBJECT driver_ = nullptr;
    DEVICE_CAPABILITIES capabilities_{};
    unsigned ports_ = kMaxPorts;
    std::vector<PDEVICE_OBJECT> portPdos_;  // by port - 1; the hub's own thread of plugs and deletes
    std::unique_ptr<HostController> controller_;
};

}  // namespace world
