// tembris_test.cpp - the fixture of the tembris tests.
#include "tembris_test.hpp"

namespace tembris_test {

TembrisTest::TembrisTest(std::u16string instancePath) : bus(hub_, std::move(instancePath))
{
    std::string error;
    tembris = world::DriverModule::Load(TEMBRIS_MODULE_PATH, u"tembris", &error);
    if (!tembris)
        ADD_FAILURE() << "cannot load tembris: " << error;
}

TembrisTest::~TembrisTest()
{
    for (PFILE_OBJECT file : openFiles)
        platform::CloseDevice(file);
    if (fdo)
        Remove();
    if (tembris)
        tembris->Unload();
}

NTSTATUS TembrisTest::AddDevice()
{
    PDRIVER_OBJECT driver = tembris->driver();
    NTSTATUS status = driver->DriverExtension->AddDevice(driver, bus.pdo());
    PDEVICE_OBJECT top = IoGetAttachedDevice(bus.pdo());
    fdo = top != bus.pdo() ? top : nullptr;
    return status;
}

NTSTATUS TembrisTest::AddAndStart()
{
    NTSTATUS status = AddDevice();
    if (!NT_SUCCESS(status))
        return status;
    return Pnp(IRP_MN_START_DEVICE).status;
}

namespace {

world::PnpResult SendAndWait(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor,
                             const std::function<void(PIO_STACK_LOCATION)> &prepare,
                             const std::function<void()> &beforeSend)
{
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    PIRP irp = platform::BuildSynchronousRequest(top, major, minor, &event, &iosb);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    if (prepare)
        prepare(IoGetNextIrpStackLocation(irp));
    if (beforeSend)
        beforeSend();
    platform::CallAndWait(top, irp, &event, &iosb);
    ObDereferenceObject(top);
    // The request's own final status, whatever the dispatch routine returned.
    return {iosb.Status, iosb.Information};
}

}  // namespace

world::PnpResult TembrisTest::Pnp(UCHAR minor, const std::function<void(PIO_STACK_LOCATION)> &prepare)
{
    return SendAndWait(bus.pdo(), IRP_MJ_PNP, minor, prepare, beforeSend);
}

world::PnpResult TembrisTest::Power(UCHAR minor, const std::function<void(PIO_STACK_LOCATION)> &prepare)
{
    return SendAndWait(bus.pdo(), IRP_MJ_POWER, minor, prepare, beforeSend);
}

world::PnpResult TembrisTest::Request(UCHAR major, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)> &prepare)
{
    return SendAndWait(bus.pdo(), major, minor, prepare, beforeSend);
}

world::PnpResult TembrisTest::SetSystemPower(SYSTEM_POWER_STATE state)
{
    return Power(IRP_MN_SET_POWER, [state](PIO_STACK_LOCATION sp) {
        sp->Parameters.Power.Type = SystemPowerState;
        sp->Parameters.Power.State.SystemState = state;
    });
}

world::PnpResult TembrisTest::SetDevicePower(DEVICE_POWER_STATE state)
{
    return Power(IRP_MN_SET_POWER, [state](PIO_STACK_LOCATION sp) {
        sp->Parameters.Power.Type = DevicePowerState;
        sp->Parameters.Power.State.DeviceState = state;
    });
}

NTSTATUS TembrisTest::Remove()
{
    NTSTATUS status = Pnp(IRP_MN_REMOVE_DEVICE).status;
    fdo = nullptr;
    return status;
}

NTSTATUS TembrisTest::Open(std::u16string_view name, PFILE_OBJECT *file)
{
    NTSTATUS status = platform::OpenDevice(fdo, name, file);
    if (NT_SUCCESS(status))
        openFiles.push_back(*file);
    return status;
}

PFILE_OBJECT TembrisTest::OpenPipe(std::u16string_view name)
{
    PFILE_OBJECT file = nullptr;
    NTSTATUS status = Open(name, &file);
    EXPECT_EQ(status, STATUS_SUCCESS) << "opening " << platform::ToUtf8(reinterpret_cast<const WCHAR *>(name.data()), name.size());
    return file;
}

NTSTATUS TembrisTest::Close(PFILE_OBJECT file)
{
    std::erase(openFiles, file);
    return platform::CloseDevice(file);
}

std::unique_ptr<Transfer> SendTransfer(PDEVICE_OBJECT fdo, UCHAR major, PFILE_OBJECT file, std::vector<uint8_t> bytes,
                                       LONGLONG offset, const std::function<void()> &beforeSend)
{
    auto t = std::make_unique<Transfer>();
    t->buffer = std::move(bytes);
    KeInitializeEvent(&t->event, NotificationEvent, FALSE);
    LARGE_INTEGER byteOffset;
    byteOffset.QuadPart = offset;
    t->irp = IoBuildSynchronousFsdRequest(major, fdo, t->buffer.empty() ? nullptr : t->buffer.data(),
                                          ULONG(t->buffer.size()), &byteOffset, &t->event, &t->iosb);
    IoGetNextIrpStackLocation(t->irp)->FileObject = file;
    if (beforeSend)
        beforeSend();
    t->dispatchStatus = IoCallDriver(fdo, t->irp);
    return t;
}

NTSTATUS WaitTransfer(Transfer &t)
{
    // A request that failed without pending tells its sender only through
    // the dispatch routine's return.
    if (t.dispatchStatus != STATUS_PENDING && NT_ERROR(t.dispatchStatus))
        return t.dispatchStatus;
    KeWaitForSingleObject(&t.event, Executive, KernelMode, FALSE, nullptr);
    return t.iosb.Status;
}

ControlResult SendControl(PDEVICE_OBJECT fdo, PFILE_OBJECT file, ULONG code, std::vector<uint8_t> input,
                          ULONG outputLength)
{
    ControlResult result;
    result.output.assign(outputLength, 0xEE);
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(code, fdo, input.empty() ? nullptr : input.data(), ULONG(input.size()),
                                             outputLength ? result.output.data() : nullptr, outputLength, FALSE,
                                             &event, &iosb);
    IoGetNextIrpStackLocation(irp)->FileObject = file;
    NTSTATUS dispatched = STATUS_SUCCESS;
    NTSTATUS status = platform::CallAndWait(fdo, irp, &event, &iosb, &dispatched);
    EXPECT_NE(dispatched, STATUS_PENDING) << "device control left pending";
    result.status = status;
    result.information = iosb.Information;
    return result;
}

std::unique_ptr<Transfer> TembrisTest::Read(PFILE_OBJECT file, ULONG length, LONGLONG byteOffset)
{
    return SendTransfer(fdo, IRP_MJ_READ, file, std::vector<uint8_t>(length, 0xEE), byteOffset, beforeSend);
}

std::unique_ptr<Transfer> TembrisTest::Write(PFILE_OBJECT file, std::vector<uint8_t> bytes, LONGLONG byteOffset)
{
    return SendTransfer(fdo, IRP_MJ_WRITE, file, std::move(bytes), byteOffset, beforeSend);
}

NTSTATUS TembrisTest::Wait(Transfer &t) { return WaitTransfer(t); }

ControlResult TembrisTest::Control(PFILE_OBJECT file, ULONG code, std::vector<uint8_t> input, ULONG outputLength)
{
    return SendControl(fdo, file, code, std::move(input), outputLength);
}

}  // namespace tembris_test
