// lower_file.cpp - create, close and device control sent straight to one
// device object.
#include "lower_file.hpp"

namespace vcp {

namespace {

NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

LowerFile::LowerFile(PDEVICE_OBJECT device, std::u16string name) : device_(device), name_(std::move(name))
{
    file_.Type = 5;  // IO_TYPE_FILE
    file_.Size = sizeof(FILE_OBJECT);
    file_.DeviceObject = device;
    file_.FileName.Buffer = name_.empty() ? nullptr : reinterpret_cast<PWSTR>(name_.data());
    file_.FileName.Length = USHORT(name_.size() * 2);
    file_.FileName.MaximumLength = USHORT(name_.size() * 2);
    KeInitializeEvent(&file_.Lock, SynchronizationEvent, FALSE);
    KeInitializeEvent(&file_.Event, NotificationEvent, FALSE);
}

std::unique_ptr<LowerFile> LowerFile::Open(PDEVICE_OBJECT device, std::u16string name, NTSTATUS *status)
{
    std::unique_ptr<LowerFile> f(new LowerFile(device, std::move(name)));
    *status = f->SendFileRequest(IRP_MJ_CREATE);
    if (!NT_SUCCESS(*status)) {
        f->device_ = nullptr;  // nothing to close
        return nullptr;
    }
    return f;
}

LowerFile::~LowerFile()
{
    if (device_)
        SendFileRequest(IRP_MJ_CLOSE);
}

// The request is ours from allocation to free, as a driver's own would be.
NTSTATUS LowerFile::SendFileRequest(UCHAR major)
{
    PIRP irp = IoAllocateIrp(device_->StackSize, FALSE);
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    irp->UserIosb = &iosb;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->FileObject = &file_;
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(device_, irp);
    if (status == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

NTSTATUS LowerFile::DeviceControl(ULONG code, std::span<const uint8_t> input, std::span<uint8_t> output,
                                  ULONG_PTR *returned)
{
    *returned = 0;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, device_, const_cast<uint8_t *>(input.data()), ULONG(input.size()),
                                             output.data(), ULONG(output.size()), FALSE, &done, &iosb);
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->FileObject = &file_;
    NTSTATUS status = IoCallDriver(device_, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    *returned = iosb.Information;
    return status;
}

}  // namespace vcp
