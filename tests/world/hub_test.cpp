// hub_test.cpp - the hub PDO and host controller driven with URBs.
#include "usb_harness.hpp"

using namespace usbtest;
using namespace world;

namespace {

class HubTest : public UsbTest {
protected:
    void SetUp() override
    {
        converter = std::make_shared<ConverterDevice>(1, ConverterOptions{.latencyFrames = 4});
        peer = std::make_shared<ScriptedPeer>();
        converter->Connect(peer);
        pdo = hub.Plug(converter);
    }
    Configured ConfigureConverter() { return Configure(pdo, converter->configurationDescriptor()); }

    std::shared_ptr<ConverterDevice> converter;
    std::shared_ptr<ScriptedPeer> peer;
    PDEVICE_OBJECT pdo = nullptr;
};

std::vector<uint8_t> ReadDescriptor(PDEVICE_OBJECT pdo, UCHAR type, ULONG length, ULONG *returned,
                                    NTSTATUS *status)
{
    std::vector<uint8_t> buffer(length);
    auto u = MakeUrb<_URB_CONTROL_DESCRIPTOR_REQUEST>(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    u->DescriptorType = type;
    u->TransferBufferLength = length;
    u->TransferBuffer = buffer.data();
    *status = Call(pdo, AsUrb(u.get()));
    *returned = u->TransferBufferLength;
    buffer.resize(*returned);
    return buffer;
}

NTSTATUS NTAPI SignalAndKeep(PDEVICE_OBJECT, PIRP, PVOID event)
{
    KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

// --- Descriptors ----------------------------------------------------------

TEST_F(HubTest, DescriptorReadsAreShortWhenTheDeviceHasLess)
{
    ULONG n;
    NTSTATUS status;
    auto device = ReadDescriptor(pdo, USB_DEVICE_DESCRIPTOR_TYPE, 18, &n, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(device, converter->deviceDescriptor());

    auto config = ReadDescriptor(pdo, USB_CONFIGURATION_DESCRIPTOR_TYPE, 521, &n, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(n, 9u + 9u + 3u * 7u);
    EXPECT_EQ(config, converter->configurationDescriptor());

    ReadDescriptor(pdo, USB_CONFIGURATION_DESCRIPTOR_TYPE, 9, &n, &status);
    EXPECT_EQ(n, 9u);
    auto requests = converter->controlRequests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[1].setup.bytes(), (std::array<uint8_t, 8>{0x80, 0x06, 0x00, 0x02, 0, 0, 0x09, 0x02}));
}

TEST_F(HubTest, MissingDescriptorStalls)
{
    ULONG n;
    NTSTATUS status;
    ReadDescriptor(pdo, USB_STRING_DESCRIPTOR_TYPE, 64, &n, &status);
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(n, 0u);
}

// --- Select configuration ---------------------------------------------------

TEST_F(HubTest, SelectConfigurationFillsPipesFromTheDescriptor)
{
    Configured c = Configure(pdo, converter->configurationDescriptor(), 4096);
    ASSERT_EQ(c.status, STATUS_SUCCESS);
    EXPECT_EQ(c.usbdStatus, USBD_STATUS_SUCCESS);
    EXPECT_NE(c.handle, nullptr);
    const USBD_INTERFACE_INFORMATION &i = c.info();
    EXPECT_NE(i.InterfaceHandle, nullptr);
    EXPECT_EQ(i.Class, 0xFF);
    ASSERT_EQ(i.NumberOfPipes, 3u);
    const struct {
        UCHAR address;
        USBD_PIPE_TYPE type;
        USHORT maxPacket;
    } want[] = {{0x02, UsbdPipeTypeBulk, 64}, {0x81, UsbdPipeTypeBulk, 64}, {0x83, UsbdPipeTypeInterrupt, 8}};
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(i.Pipes[k].EndpointAddress, want[k].address);
        EXPECT_EQ(i.Pipes[k].PipeType, want[k].type);
        EXPECT_EQ(i.Pipes[k].MaximumPacketSize, want[k].maxPacket);
        EXPECT_EQ(i.Pipes[k].MaximumTransferSize, 4096u) << "left as the client set it";
        EXPECT_NE(i.Pipes[k].PipeHandle, nullptr);
        for (int j = 0; j < k; ++j)
            EXPECT_NE(i.Pipes[k].PipeHandle, i.Pipes[j].PipeHandle);
    }
    EXPECT_EQ(i.Pipes[2].Interval, 2);
    EXPECT_EQ(converter->configurationValue(), 1);
}

TEST_F(HubTest, VariantZeroHasNoStatusPipe)
{
    auto plain = std::make_shared<ConverterDevice>(0);
    PDEVICE_OBJECT other = hub.Plug(plain);
    Configured c = Configure(other, plain->configurationDescriptor());
    ASSERT_EQ(c.status, STATUS_SUCCESS);
    EXPECT_EQ(c.info().NumberOfPipes, 2u);
}

// Descriptors that lie are refused before anything reaches the device.
TEST_F(HubTest, SelectConfigurationRejectsDescriptorsThatLie)
{
    const std::vector<uint8_t> good = converter->configurationDescriptor();
    auto withTotal = [&](std::vector<uint8_t> d, size_t total) {
        d[2] = uint8_t(total);
        d[3] = uint8_t(total >> 8);
        return d;
    };
    struct Case {
        const char *what;
        std::vector<uint8_t> descriptor;
    } cases[] = {
        {"an endpoint cut off by wTotalLength", withTotal(good, good.size() - 3)},
        {"an endpoint missing", withTotal(good, good.size() - 7)},
        {"a descriptor of length 0", [&] { auto d = good; d[18] = 0; return d; }()},
        {"a descriptor running past the end", [&] { auto d = good; d[18] = 40; return d; }()},
        {"wTotalLength beyond the buffer", withTotal(good, good.size() + 64)},
        {"wTotalLength shorter than the header", withTotal(good, 4)},
        {"endpoint number 0", [&] { auto d = good; d[18 + 2] = 0x80; return d; }()},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        // The request is built from the good descriptor (the URB must hold the
        // pipes); the descriptor it carries is the lying one.
        Configured r;
        auto cd = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
            ExAllocatePoolWithTag(NonPagedPool, good.size(), platform::MakeTag("Test")));
        std::memcpy(cd, good.data(), good.size());
        USHORT size;
        PURB urb = USBD_CreateConfigurationRequest(cd, &size);
        std::memcpy(cd, c.descriptor.data(), std::min(c.descriptor.size(), good.size()));
        EXPECT_EQ(Call(pdo, urb), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
        ExFreePool(urb);
        ExFreePool(cd);
    }
    EXPECT_EQ(converter->configurationValue(), 0) << "nothing reached the device";
}

TEST_F(HubTest, UnconfigureAbortsTransfersAndInvalidatesPipeHandles)
{
    Configured c = ConfigureConverter();
    Buffer buffer(64);
    converter->HoldTransfers(ConverterDevice::kBulkIn, true);
    auto read = BulkUrb(c.pipe(1), true, buffer, 64);
    UrbRequest pending(pdo, AsUrb(read.get()));
    EXPECT_EQ(pending.dispatchStatus(), STATUS_PENDING);

    auto unconfigure = MakeUrb<_URB_SELECT_CONFIGURATION>(URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(Call(pdo, AsUrb(unconfigure.get())), STATUS_SUCCESS);
    ASSERT_TRUE(pending.Wait());
    EXPECT_EQ(pending.status(), STATUS_CANCELLED);
    EXPECT_EQ(read->Hdr.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(converter->configurationValue(), 0);

    auto again = BulkUrb(c.pipe(1), true, buffer, 64);
    UrbRequest stale(pdo, AsUrb(again.get()));
    EXPECT_EQ(stale.dispatchStatus(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(again->Hdr.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
    EXPECT_EQ(hub.urbs(pdo).back().status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

// --- Transfers ----------------------------------------------------------------

TEST_F(HubTest, TransfersCompleteFromTheControllerThreadAtDispatchLevel)
{
    Configured c = ConfigureConverter();
    Buffer out(5);
    std::memcpy(out.data(), "hello", 5);
    auto write = BulkUrb(c.pipe(0), false, out, 5);
    UrbRequest w(pdo, AsUrb(write.get()));
    EXPECT_EQ(w.dispatchStatus(), STATUS_PENDING) << "never completed inside the IoCallDriver that sent it";
    ASSERT_TRUE(w.Wait());
    EXPECT_EQ(w.status(), STATUS_SUCCESS);
    EXPECT_EQ(w.completionIrql(), DISPATCH_LEVEL);
    EXPECT_NE(w.completionThread(), std::this_thread::get_id());
    EXPECT_EQ(write->TransferBufferLength, 5u);
    EXPECT_TRUE(peer->WaitForBytes(5, 5s));
    EXPECT_EQ(peer->received(), (std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'}));
}

TEST_F(HubTest, ReadReturnsWhatArrivedUpToTheRequestedLength)
{
    Configured c = ConfigureConverter();
    peer->Send("0123456789");
    Buffer in(4);
    auto read = BulkUrb(c.pipe(1), true, in, 4);
    EXPECT_EQ(Call(pdo, AsUrb(read.get())), STATUS_SUCCESS);
    EXPECT_EQ(read->TransferBufferLength, 4u);
    EXPECT_EQ(in.bytes(4), (std::vector<uint8_t>{'0', '1', '2', '3'}));
    EXPECT_EQ(converter->rxPending(), 6u);
}

TEST_F(HubTest, IdleReadEndsWithZeroBytesWhenTheLatencyTimerRunsOut)
{
    Configured c = ConfigureConverter();
    Buffer in(64);
    auto read = BulkUrb(c.pipe(1), true, in, 64);
    Frame before = hub.frame();
    EXPECT_EQ(Call(pdo, AsUrb(read.get())), STATUS_SUCCESS);
    EXPECT_EQ(read->TransferBufferLength, 0u);
    EXPECT_GE(hub.frame(), before + 4);
}

TEST_F(HubTest, WaitingReadEndsWithBytesThatArrive)
{
    Configured c = ConfigureConverter();
    converter->SetLatency(ConverterOptions::kNoLatencyTimer);
    Buffer in(64);
    auto read = BulkUrb(c.pipe(1), true, in, 64);
    UrbRequest r(pdo, AsUrb(read.get()));
    ASSERT_TRUE(hub.WaitPending(pdo, ConverterDevice::kBulkIn, 1, 5s));
    peer->Send("ab");
    ASSERT_TRUE(r.Wait());
    EXPECT_EQ(read->TransferBufferLength, 2u);
}

TEST_F(HubTest, TransferWithoutMdlUsesTheTransferBuffer)
{
    Configured c = ConfigureConverter();
    uint8_t bytes[3] = {1, 2, 3};
    auto write = MakeUrb<_URB_BULK_OR_INTERRUPT_TRANSFER>(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    write->PipeHandle = c.pipe(0);
    write->TransferBuffer = bytes;
    write->TransferBufferLength = 3;
    EXPECT_EQ(Call(pdo, AsUrb(write.get())), STATUS_SUCCESS);
    EXPECT_TRUE(peer->WaitForBytes(3, 5s));
}

TEST_F(HubTest, MalformedTransfersFailAtOnce)
{
    Configured c = Configure(pdo, converter->configurationDescriptor(), 64);
    Buffer buffer(128);
    struct Case {
        const char *what;
        USBD_PIPE_HANDLE pipe;
        bool in;
        ULONG length;
        USBD_STATUS want;
    } cases[] = {
        {"read on the OUT pipe", c.pipe(0), true, 8, USBD_STATUS_INVALID_PARAMETER},
        {"write on the IN pipe", c.pipe(1), false, 8, USBD_STATUS_INVALID_PARAMETER},
        {"longer than MaximumTransferSize", c.pipe(1), true, 65, USBD_STATUS_INVALID_PARAMETER},
        {"unknown pipe handle", reinterpret_cast<USBD_PIPE_HANDLE>(0x1234), true, 8,
         USBD_STATUS_INVALID_PIPE_HANDLE},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        auto u = BulkUrb(k.pipe, k.in, buffer, k.length);
        UrbRequest r(pdo, AsUrb(u.get()));
        EXPECT_EQ(r.dispatchStatus(), STATUS_INVALID_PARAMETER);
        EXPECT_TRUE(r.completed());
        EXPECT_EQ(u->Hdr.Status, k.want);
    }
    Buffer small(4);
    auto overrun = BulkUrb(c.pipe(1), true, small, 8);  // the MDL describes only 4 bytes
    EXPECT_EQ(Call(pdo, AsUrb(overrun.get())), STATUS_INVALID_PARAMETER);
}

// --- Cancel and abort -----------------------------------------------------------

// A cancel routine runs with the canceller's locks held: it hands the request
// to the controller thread instead of completing it.
TEST_F(HubTest, CancelFromAnotherThreadHoldingASpinLockCompletesLater)
{
    Configured c = ConfigureConverter();
    converter->HoldTransfers(ConverterDevice::kBulkIn, true);
    Buffer in(64);
    auto read = BulkUrb(c.pipe(1), true, in, 64);
    UrbRequest r(pdo, AsUrb(read.get()));
    ASSERT_TRUE(hub.WaitPending(pdo, ConverterDevice::kBulkIn, 1, 5s));
    std::thread canceller([&] {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        EXPECT_TRUE(r.Cancel());
        KeReleaseSpinLock(&lock, old);
    });
    std::thread::id cancellerId = canceller.get_id();
    canceller.join();
    ASSERT_TRUE(r.Wait());
    EXPECT_NE(r.completionThread(), cancellerId);
    EXPECT_NE(r.completionThread(), std::this_thread::get_id());
    EXPECT_EQ(r.status(), STATUS_CANCELLED);
    EXPECT_EQ(read->Hdr.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(r.completionIrql(), DISPATCH_LEVEL);
}

// Cancels racing with completions: every request completes exactly once
// (the verifier catches a second completion), with one of the two outcomes.
TEST_F(HubTest, CancelRacingWithCompletionCompletesEachRequestOnce)
{
    Configured c = ConfigureConverter();
    converter->SetLatency(0);
    Buffer in(16);
    int cancelled = 0, succeeded = 0;
    for (int round = 0; round < 200; ++round) {
        auto read = BulkUrb(c.pipe(1), true, in, 16);
        UrbRequest r(pdo, AsUrb(read.get()));
        std::thread canceller([&] { r.Cancel(); });
        canceller.join();
        ASSERT_TRUE(r.Wait());
        if (r.status() == STATUS_CANCELLED) {
            ++cancelled;
            EXPECT_EQ(read->Hdr.Status, USBD_STATUS_CANCELED);
        } else {
            ++succeeded;
            EXPECT_EQ(r.status(), STATUS_SUCCESS);
        }
    }
    EXPECT_EQ(cancelled + succeeded, 200);
}

TEST_F(HubTest, CancelBeforeTheControllerSawItStillCompletesFromItsThread)
{
    Configured c = ConfigureConverter();
    Buffer in(16);
    auto read = BulkUrb(c.pipe(1), true, in, 16);
    PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
    irp->Cancel = TRUE;  // IoCancelIrp came first, when no cancel routine was set yet
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    sp->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    sp->Parameters.Others.Argument1 = read.get();
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalAndKeep, &done, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(pdo, irp), STATUS_PENDING);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
    ASSERT_TRUE(ControllerOfPdo(pdo)->WaitReleased(irp, 5s));
    IoFreeIrp(irp);
}

TEST_F(HubTest, AbortPipeCompletesThePipesTransfersBeforeItself)
{
    Configured c = ConfigureConverter();
    converter->HoldTransfers(ConverterDevice::kBulkIn, true);
    Buffer a(8), b(8);
    auto ra = BulkUrb(c.pipe(1), true, a, 8);
    auto rb = BulkUrb(c.pipe(1), true, b, 8);
    UrbRequest first(pdo, AsUrb(ra.get()));
    UrbRequest second(pdo, AsUrb(rb.get()));
    auto abort = PipeUrb(URB_FUNCTION_ABORT_PIPE, c.pipe(1));
    UrbRequest aborter(pdo, AsUrb(abort.get()));
    EXPECT_EQ(aborter.dispatchStatus(), STATUS_PENDING);
    ASSERT_TRUE(aborter.Wait());
    EXPECT_TRUE(first.completed() && second.completed()) << "the abort completes after the transfers";
    EXPECT_EQ(first.status(), STATUS_CANCELLED);
    EXPECT_EQ(second.status(), STATUS_CANCELLED);
    EXPECT_EQ(aborter.status(), STATUS_SUCCESS);
    EXPECT_EQ(hub.pending(pdo), 0u);
}

// --- Stalls, errors, unplug ---------------------------------------------------

TEST_F(HubTest, StallHaltsThePipeUntilResetPipe)
{
    Configured c = ConfigureConverter();
    converter->StallEndpoint(ConverterDevice::kBulkOut);
    Buffer out(4);
    auto w1 = BulkUrb(c.pipe(0), false, out, 4);
    EXPECT_EQ(Call(pdo, AsUrb(w1.get())), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(w1->Hdr.Status, USBD_STATUS_STALL_PID);
    auto w2 = BulkUrb(c.pipe(0), false, out, 4);
    EXPECT_EQ(Call(pdo, AsUrb(w2.get())), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(w2->Hdr.Status, USBD_STATUS_ENDPOINT_HALTED);

    auto reset = PipeUrb(URB_FUNCTION_RESET_PIPE, c.pipe(0));
    EXPECT_EQ(Call(pdo, AsUrb(reset.get())), STATUS_SUCCESS);
    EXPECT_EQ(converter->controlRequests().back().setup.bytes(),
              (std::array<uint8_t, 8>{0x02, 0x01, 0, 0, 0x02, 0, 0, 0}))
        << "CLEAR_FEATURE(ENDPOINT_HALT) on endpoint 2";
    auto w3 = BulkUrb(c.pipe(0), false, out, 4);
    EXPECT_EQ(Call(pdo, AsUrb(w3.get())), STATUS_SUCCESS);
    EXPECT_TRUE(peer->WaitForBytes(4, 5s));
}

// A short packet ends an IN transfer.  Without USBD_SHORT_TRANSFER_OK the
// controller reports it as an underrun, with the bytes that came, and halts
// the pipe.
TEST_F(HubTest, AShortReadWithoutShortTransferOkIsAnUnderrunThatHaltsThePipe)
{
    Configured c = ConfigureConverter();
    peer->Send("abc");
    Buffer in(64);
    auto read = BulkUrb(c.pipe(1), true, in, 64);
    read->TransferFlags = USBD_TRANSFER_DIRECTION_IN;
    EXPECT_EQ(Call(pdo, AsUrb(read.get())), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(read->Hdr.Status, USBD_STATUS_DATA_UNDERRUN);
    EXPECT_EQ(read->TransferBufferLength, 3u);
    EXPECT_EQ(in.bytes(3), (std::vector<uint8_t>{'a', 'b', 'c'}));
    auto next = BulkUrb(c.pipe(1), true, in, 64);
    EXPECT_EQ(Call(pdo, AsUrb(next.get())), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(next->Hdr.Status, USBD_STATUS_ENDPOINT_HALTED);
    auto reset = PipeUrb(URB_FUNCTION_RESET_PIPE, c.pipe(1));
    EXPECT_EQ(Call(pdo, AsUrb(reset.get())), STATUS_SUCCESS);
    peer->Send("d");
    auto allowed = BulkUrb(c.pipe(1), true, in, 64);  // USBD_SHORT_TRANSFER_OK
    EXPECT_EQ(Call(pdo, AsUrb(allowed.get())), STATUS_SUCCESS);
    EXPECT_EQ(allowed->TransferBufferLength, 1u);
}

// A pipe is reset with nothing queued on it: the controller refuses the
// reset while a transfer waits, and takes it once the pipe is aborted.
TEST_F(HubTest, ResetPipeWithATransferQueuedIsRefused)
{
    Configured c = ConfigureConverter();
    converter->SetLatency(ConverterOptions::kNoLatencyTimer);
    Buffer in(64);
    auto read = BulkUrb(c.pipe(1), true, in, 64);
    UrbRequest waiting(pdo, AsUrb(read.get()));
    ASSERT_TRUE(hub.WaitPending(pdo, ConverterDevice::kBulkIn, 1, 5s));
    auto reset = PipeUrb(URB_FUNCTION_RESET_PIPE, c.pipe(1));
    EXPECT_EQ(Call(pdo, AsUrb(reset.get())), STATUS_DEVICE_BUSY);
    EXPECT_EQ(reset->Hdr.Status, USBD_STATUS_ERROR_BUSY);
    EXPECT_FALSE(waiting.completed()) << "the transfer is left alone";
    auto abort = PipeUrb(URB_FUNCTION_ABORT_PIPE, c.pipe(1));
    EXPECT_EQ(Call(pdo, AsUrb(abort.get())), STATUS_SUCCESS);
    ASSERT_TRUE(waiting.Wait());
    EXPECT_EQ(waiting.status(), STATUS_CANCELLED);
    auto again = PipeUrb(URB_FUNCTION_RESET_PIPE, c.pipe(1));
    EXPECT_EQ(Call(pdo, AsUrb(again.get())), STATUS_SUCCESS);
}

TEST_F(HubTest, FailNextTransferUsesTheChosenStatusOnce)
{
    Configured c = ConfigureConverter();
    converter->FailNextTransfer(ConverterDevice::kBulkIn, USBD_STATUS_BUFFER_OVERRUN);
    Buffer in(8);
    auto r1 = BulkUrb(c.pipe(1), true, in, 8);
    EXPECT_EQ(Call(pdo, AsUrb(r1.get())), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(r1->Hdr.Status, USBD_STATUS_BUFFER_OVERRUN);
    // A halting error: the pipe needs a reset before it moves again.
    auto r2 = BulkUrb(c.pipe(1), true, in, 8);
    EXPECT_EQ(Call(pdo, AsUrb(r2.get())), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(r2->Hdr.Status, USBD_STATUS_ENDPOINT_HALTED);
}

TEST_F(HubTest, UnplugCompletesOutstandingAndLaterRequestsWithDeviceGone)
{
    Configured c = ConfigureConverter();
    converter->HoldTransfers(ConverterDevice::kBulkIn, true);
    Buffer in(8);
    auto read = BulkUrb(c.pipe(1), true, in, 8);
    UrbRequest r(pdo, AsUrb(read.get()));
    ASSERT_TRUE(hub.WaitPending(pdo, ConverterDevice::kBulkIn, 1, 5s));
    hub.Unplug(pdo);
    ASSERT_TRUE(r.Wait());
    EXPECT_EQ(r.status(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(read->Hdr.Status, USBD_STATUS_DEVICE_GONE);

    auto later = BulkUrb(c.pipe(1), true, in, 8);
    EXPECT_EQ(Call(pdo, AsUrb(later.get())), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(later->Hdr.Status, USBD_STATUS_DEVICE_GONE);
    ULONG port = 0;
    UrbRequest status(pdo, reinterpret_cast<PURB>(&port), IOCTL_INTERNAL_USB_GET_PORT_STATUS);
    EXPECT_EQ(status.dispatchStatus(), STATUS_DEVICE_NOT_CONNECTED);
}

TEST_F(HubTest, RemoveDeviceAbortsWhatThePdoHolds)
{
    Configured c = ConfigureConverter();
    converter->HoldTransfers(ConverterDevice::kStatusIn, true);
    Buffer in(1);
    auto read = BulkUrb(c.pipe(2), true, in, 1);
    UrbRequest r(pdo, AsUrb(read.get()));
    ASSERT_TRUE(hub.WaitPending(pdo, ConverterDevice::kStatusIn, 1, 5s));
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP remove = platform::BuildSynchronousRequest(pdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, &event, &iosb);
    EXPECT_EQ(platform::CallAndWait(pdo, remove, &event, &iosb), STATUS_SUCCESS);
    EXPECT_TRUE(r.completed()) << "completed before the removal returned";
    EXPECT_EQ(r.status(), STATUS_CANCELLED);
    EXPECT_EQ(converter->configurationValue(), 0);
}

// --- Frames, ports ---------------------------------------------------------------

TEST_F(HubTest, CurrentFrameNumberIsAnsweredAtOnce)
{
    auto u = MakeUrb<_URB_GET_CURRENT_FRAME_NUMBER>(URB_FUNCTION_GET_CURRENT_FRAME_NUMBER);
    u->FrameNumber = 0xFFFFFFFF;
    UrbRequest r(pdo, AsUrb(u.get()));
    EXPECT_EQ(r.dispatchStatus(), STATUS_SUCCESS);
    EXPECT_TRUE(r.completed());
    EXPECT_EQ(r.completionThread(), std::this_thread::get_id());
    EXPECT_NE(u->FrameNumber, 0xFFFFFFFFu);
    EXPECT_LE(u->FrameNumber, hub.frame());
}

TEST_F(HubTest, DisabledPortReadsConnectedAndIsEnabledByAReset)
{
    Configured c = ConfigureConverter();
    ULONG port = 0;
    EXPECT_EQ(UrbRequest(pdo, reinterpret_cast<PURB>(&port), IOCTL_INTERNAL_USB_GET_PORT_STATUS).dispatchStatus(),
              STATUS_SUCCESS);
    EXPECT_EQ(port, ULONG(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));

    hub.SetPortEnabled(pdo, false);
    EXPECT_EQ(UrbRequest(pdo, reinterpret_cast<PURB>(&port), IOCTL_INTERNAL_USB_GET_PORT_STATUS).dispatchStatus(),
              STATUS_SUCCESS);
    EXPECT_EQ(port, ULONG(USBD_PORT_CONNECTED));
    Buffer out(1);
    auto w = BulkUrb(c.pipe(0), false, out, 1);
    EXPECT_EQ(Call(pdo, AsUrb(w.get())), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(w->Hdr.Status, USBD_STATUS_DEV_NOT_RESPONDING);

    EXPECT_EQ(UrbRequest(pdo, nullptr, IOCTL_INTERNAL_USB_RESET_PORT).dispatchStatus(), STATUS_SUCCESS);
    EXPECT_EQ(hub.portResets(pdo), 1u);
    EXPECT_EQ(converter->configurationValue(), 1) << "the hub gives the device its configuration back";
    auto w2 = BulkUrb(c.pipe(0), false, out, 1);
    EXPECT_EQ(Call(pdo, AsUrb(w2.get())), STATUS_SUCCESS) << "the pipes survive the reset, their halts cleared";
}

TEST_F(HubTest, FrameModeRunsOnMillisecondFrames)
{
    auto start = std::chrono::steady_clock::now();
    Frame base = hub.frame();
    hub.SetClockMode(ClockMode::Frames);
    Configured c = ConfigureConverter();
    Buffer in(8);
    auto read = BulkUrb(c.pipe(1), true, in, 8);
    EXPECT_EQ(Call(pdo, AsUrb(read.get())), STATUS_SUCCESS);
    EXPECT_EQ(read->TransferBufferLength, 0u) << "ended by the latency timer";
    // A late controller skips frames; it never runs ahead of real time.
    Frame passed = hub.frame() - base;
    EXPECT_GE(passed, 4u);  // the fixture's latency timer
    EXPECT_GE(std::chrono::steady_clock::now() - start + 1ms, std::chrono::milliseconds(passed))
        << "the frames are real milliseconds";
}
