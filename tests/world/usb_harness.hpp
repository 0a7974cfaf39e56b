// usb_harness.hpp - drives a hub PDO with URBs, as a function driver would.
#pragma once

#include "fixture.hpp"

#include <usb/converter.hpp>
#include <usb/host_controller.hpp>
#include <usb/hub.hpp>
#include <usb/iso_device.hpp>
#include <usb/peers.hpp>

extern "C" {
#include <usbdlib.h>
}

#include <atomic>
#include <cstring>
#include <thread>

namespace usbtest {

using namespace std::chrono_literals;

// Non-paged pool memory with an MDL, as a driver hands it down.
class Buffer {
public:
    explicit Buffer(size_t size, uint8_t fill = 0);
    ~Buffer();
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    uint8_t *data() const { return data_; }
    PMDL mdl() const { return mdl_; }
    std::vector<uint8_t> bytes(size_t n) const { return {data_, data_ + n}; }

private:
    uint8_t *data_;
    PMDL mdl_;
};

// One URB sent on a request of its own.  What the completion saw is kept.
class UrbRequest {
public:
    UrbRequest(PDEVICE_OBJECT pdo, PURB urb, ULONG code = IOCTL_INTERNAL_USB_SUBMIT_URB);
    ~UrbRequest();  // waits for completion (bounded), frees the request
    NTSTATUS dispatchStatus() const { return dispatchStatus_; }
    bool Wait(std::chrono::milliseconds timeout = 5s);
    bool completed() const { return completed_.load(); }
    NTSTATUS status() const { return status_; }
    KIRQL completionIrql() const { return irql_; }
    std::thread::id completionThread() const { return thread_; }
    PIRP irp() const { return irp_; }
    bool Cancel() { return IoCancelIrp(irp_); }

private:
    static NTSTATUS NTAPI Done(PDEVICE_OBJECT, PIRP irp, PVOID context);
    PDEVICE_OBJECT pdo_;
    PIRP irp_;
    KEVENT event_;
    NTSTATUS dispatchStatus_ = STATUS_PENDING;
    NTSTATUS status_ = STATUS_PENDING;
    KIRQL irql_ = 0xFF;
    std::thread::id thread_;
    std::atomic<bool> completed_{false};
};

// Sends and waits; returns the request's final status.
NTSTATUS Call(PDEVICE_OBJECT pdo, PURB urb);

// URB builders (zero-filled, owned by the caller).
template <class T> std::unique_ptr<T> MakeUrb(USHORT function)
{
    auto u = std::make_unique<T>();
    std::memset(u.get(), 0, sizeof(T));
    u->Hdr.Length = sizeof(T);
    u->Hdr.Function = function;
    return u;
}
inline PURB AsUrb(void *u) { return static_cast<PURB>(u); }

std::unique_ptr<_URB_BULK_OR_INTERRUPT_TRANSFER> BulkUrb(USBD_PIPE_HANDLE pipe, bool in, Buffer &buffer,
                                                         ULONG length);
std::unique_ptr<_URB_PIPE_REQUEST> PipeUrb(USHORT function, USBD_PIPE_HANDLE pipe);
std::unique_ptr<_URB_CONTROL_VENDOR_OR_CLASS_REQUEST> VendorUrb(std::vector<uint8_t> &data, UCHAR request = 0x0B);

// The configuration a function driver selected: a copy of the interface
// information (pipes in descriptor order).
struct Configured {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    USBD_STATUS usbdStatus = USBD_STATUS_SUCCESS;
    USBD_CONFIGURATION_HANDLE handle = nullptr;
    std::vector<uint8_t> interfaceBytes;
    const USBD_INTERFACE_INFORMATION &info() const
    {
        return *reinterpret_cast<const USBD_INTERFACE_INFORMATION *>(interfaceBytes.data());
    }
    USBD_PIPE_HANDLE pipe(size_t i) const { return info().Pipes[i].PipeHandle; }
};
// Selects the first interface of `descriptor` (default: the device's own).
Configured Configure(PDEVICE_OBJECT pdo, const std::vector<uint8_t> &descriptor, ULONG maxTransfer = 102400);

// The base of the world tests: a hub whose PDOs the test plugs.
class UsbTest : public testing_support::KernelTest {
protected:
    world::UsbHub hub;
};

}  // namespace usbtest
