// usb_harness.cpp - requests and URBs for the world's bus-level tests.
#include "usb_harness.hpp"

namespace usbtest {

namespace {
constexpr ULONG kTag = platform::MakeTag("Test");
}

Buffer::Buffer(size_t size, uint8_t fill)
{
    data_ = static_cast<uint8_t *>(ExAllocatePoolWithTag(NonPagedPool, size ? size : 1, kTag));
    std::memset(data_, fill, size ? size : 1);
    mdl_ = IoAllocateMdl(data_, ULONG(size), FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl_);
}

Buffer::~Buffer()
{
    IoFreeMdl(mdl_);
    ExFreePool(data_);
}

UrbRequest::UrbRequest(PDEVICE_OBJECT pdo, PURB urb, ULONG code) : pdo_(pdo)
{
    KeInitializeEvent(&event_, NotificationEvent, FALSE);
    irp_ = IoAllocateIrp(pdo->StackSize, FALSE);
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp_);
    sp->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    sp->Parameters.DeviceIoControl.IoControlCode = code;
    sp->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp_, Done, this, TRUE, TRUE, TRUE);
    dispatchStatus_ = IoCallDriver(pdo, irp_);
}

UrbRequest::~UrbRequest()
{
    // The completion routine signals before IoCompleteRequest has returned
    // on the controller's thread; the request is ours once it has.
    if (Wait(10s) && world::ControllerOfPdo(pdo_)->WaitReleased(irp_, 10s))
        IoFreeIrp(irp_);
    else
        ADD_FAILURE() << "the request never completed";
}

bool UrbRequest::Wait(std::chrono::milliseconds timeout)
{
    LARGE_INTEGER t;
    t.QuadPart = -10'000LL * timeout.count();
    return KeWaitForSingleObject(&event_, Executive, KernelMode, FALSE, &t) == STATUS_SUCCESS;
}

NTSTATUS NTAPI UrbRequest::Done(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto self = static_cast<UrbRequest *>(context);
    self->status_ = irp->IoStatus.Status;
    self->irql_ = KeGetCurrentIrql();
    self->thread_ = std::this_thread::get_id();
    self->completed_ = true;
    KeSetEvent(&self->event_, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS Call(PDEVICE_OBJECT pdo, PURB urb)
{
    UrbRequest r(pdo, urb);
    EXPECT_TRUE(r.Wait());
    return r.status();
}

std::unique_ptr<_URB_BULK_OR_INTERRUPT_TRANSFER> BulkUrb(USBD_PIPE_HANDLE pipe, bool in, Buffer &buffer, ULONG length)
{
    auto u = MakeUrb<_URB_BULK_OR_INTERRUPT_TRANSFER>(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    u->PipeHandle = pipe;
    u->TransferFlags = USBD_SHORT_TRANSFER_OK | (in ? USBD_TRANSFER_DIRECTION_IN : 0);
    u->TransferBufferLength = length;
    u->TransferBufferMDL = buffer.mdl();
    return u;
}

std::unique_ptr<_URB_PIPE_REQUEST> PipeUrb(USHORT function, USBD_PIPE_HANDLE pipe)
{
    auto u = MakeUrb<_URB_PIPE_REQUEST>(function);
    u->PipeHandle = pipe;
    return u;
}

std::unique_ptr<_URB_CONTROL_VENDOR_OR_CLASS_REQUEST> VendorUrb(std::vector<uint8_t> &data, UCHAR request)
{
    auto u = MakeUrb<_URB_CONTROL_VENDOR_OR_CLASS_REQUEST>(URB_FUNCTION_VENDOR_DEVICE);
    u->TransferBufferLength = ULONG(data.size());
    u->TransferBuffer = data.empty() ? nullptr : data.data();
    u->Request = request;
    return u;
}

Configured Configure(PDEVICE_OBJECT pdo, const std::vector<uint8_t> &descriptor, ULONG maxTransfer)
{
    Configured c;
    auto cd = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
        ExAllocatePoolWithTag(NonPagedPool, descriptor.size(), kTag));
    std::memcpy(cd, descriptor.data(), descriptor.size());
    USHORT size = 0;
    PURB urb = USBD_CreateConfigurationRequest(cd, &size);
    if (urb) {
        PUSBD_INTERFACE_INFORMATION info = &urb->UrbSelectConfiguration.Interface;
        for (ULONG i = 0; i < info->NumberOfPipes; ++i)
            info->Pipes[i].MaximumTransferSize = maxTransfer;
        c.status = Call(pdo, urb);
        c.usbdStatus = urb->UrbHeader.Status;
        c.handle = urb->UrbSelectConfiguration.ConfigurationHandle;
        auto bytes = reinterpret_cast<const uint8_t *>(info);
        c.interfaceBytes.assign(bytes, bytes + info->Length);
        ExFreePool(urb);
    }
    ExFreePool(cd);
    return c;
}

}  // namespace usbtest
