// tembris_test.hpp - the fixture of the tembris tests: the tembris module
// loaded on a scripted USB bus PDO, and client helpers (open a pipe, read,
// write, device control, PnP and power requests).
#pragma once

#include "fixture.hpp"
#include "usb_bus_stub.hpp"

#include <pnp/pnp.hpp>

#include "tembris.h"

#include <memory>
#include <string>
#include <vector>

namespace tembris_test {

constexpr ULONG kWdmTag = platform::MakeTag("Wdm ");

// A read or write in flight.
struct Transfer {
    PIRP irp = nullptr;
    KEVENT event{};
    IO_STATUS_BLOCK iosb{};
    NTSTATUS dispatchStatus = STATUS_SUCCESS;
    std::vector<uint8_t> buffer;
};

struct ControlResult {
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    std::vector<uint8_t> output;
};

// A read or write on a file object of `fdo`; `beforeSend` runs right before it is sent.
std::unique_ptr<Transfer> SendTransfer(PDEVICE_OBJECT fdo, UCHAR major, PFILE_OBJECT file, std::vector<uint8_t> bytes,
                                       LONGLONG byteOffset, const std::function<void()> &beforeSend = {});
// Waits for a transfer; returns its final status.
NTSTATUS WaitTransfer(Transfer &t);
// A device-control request on a file object of `fdo`; it must not pend.
ControlResult SendControl(PDEVICE_OBJECT fdo, PFILE_OBJECT file, ULONG code, std::vector<uint8_t> input,
                          ULONG outputLength);

class TembrisTest : public testing_support::KernelTest {
protected:
    explicit TembrisTest(std::u16string instancePath = u"USB\\VID_0711&PID_0230\\5&2A0C1F&0&1");
    ~TembrisTest() override;

    // AddDevice of tembris on the bus PDO; fdo is set when it left a device.
    NTSTATUS AddDevice();
    // AddDevice and IRP_MN_START_DEVICE.
    NTSTATUS AddAndStart();
    ConverterExtension *ext() const { return CvtExtension(fdo); }
    world::PnpResult Pnp(UCHAR minor, const std::function<void(PIO_STACK_LOCATION)> &prepare = {});
    world::PnpResult Power(UCHAR minor, const std::function<void(PIO_STACK_LOCATION)> &prepare = {});
    world::PnpResult Request(UCHAR major, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)> &prepare = {});
    world::PnpResult SetSystemPower(SYSTEM_POWER_STATE state);
    world::PnpResult SetDevicePower(DEVICE_POWER_STATE state);
    // IRP_MN_REMOVE_DEVICE; fdo is gone afterwards.
    NTSTATUS Remove();

    NTSTATUS Open(std::u16string_view name, PFILE_OBJECT *file);
    PFILE_OBJECT OpenPipe(std::u16string_view name);
    NTSTATUS Close(PFILE_OBJECT file);

    std::unique_ptr<Transfer> Read(PFILE_OBJECT file, ULONG length, LONGLONG byteOffset = 0);
    std::unique_ptr<Transfer> Write(PFILE_OBJECT file, std::vector<uint8_t> bytes, LONGLONG byteOffset = 0);
    // Waits for a transfer that pended; returns its final status.
    NTSTATUS Wait(Transfer &t);

    ControlResult Control(PFILE_OBJECT file, ULONG code, std::vector<uint8_t> input = {}, ULONG outputLength = 0);

    testing_support::ScriptedDriver hub_{u"\\Driver\\usbhub"};
    UsbBusStub bus;
    std::unique_ptr<world::DriverModule> tembris;
    PDEVICE_OBJECT fdo = nullptr;
    std::vector<PFILE_OBJECT> openFiles;
    // Runs right before a read, write, PnP or power request is sent (to arm a fault).
    std::function<void()> beforeSend;
};

}  // namespace tembris_test
