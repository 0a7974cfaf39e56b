// test_transfers.cpp - tembris reads and writes: one USB transfer each,
// completed with the bytes that moved.
#include "tembris_test.hpp"

#include <chrono>
#include <thread>

using namespace tembris_test;

namespace {

class Transfers : public TembrisTest {
protected:
    void SetUp() override
    {
        ASSERT_EQ(AddAndStart(), STATUS_SUCCESS);
        tx = OpenPipe(u"PIPE00");
        rx = OpenPipe(u"PIPE01");
    }
    PFILE_OBJECT tx = nullptr;
    PFILE_OBJECT rx = nullptr;
};

TEST_F(Transfers, BulkReadCompletesWithTheBytesReceived)
{
    auto read = Read(rx, 1024);
    ASSERT_EQ(read->dispatchStatus, STATUS_PENDING);
    EXPECT_EQ(ext()->currentTransferIrp, read->irp);
    EXPECT_EQ(ext()->pendingIoCount, 2) << "the transfer holds its dispatch reference";

    auto urbs = bus.Urbs(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    ASSERT_EQ(urbs.size(), 1u);
    EXPECT_EQ(urbs[0].pipeHandle, UsbBusStub::PipeHandle(1));
    EXPECT_EQ(urbs[0].transferFlags, ULONG(USBD_SHORT_TRANSFER_OK | USBD_TRANSFER_DIRECTION_IN));
    EXPECT_EQ(urbs[0].transferBufferLength, 1024u);
    EXPECT_TRUE(urbs[0].hasMdl);
    EXPECT_FALSE(urbs[0].hasBuffer);
    EXPECT_EQ(urbs[0].length, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));

    ASSERT_TRUE(bus.CompleteTransfer({'a', 'b', 'c'}));
    EXPECT_EQ(Wait(*read), STATUS_SUCCESS);
    EXPECT_EQ(read->iosb.Information, 3u) << "short transfers are allowed";
    EXPECT_EQ(std::string(read->buffer.begin(), read->buffer.begin() + 3), "abc");
    EXPECT_EQ(ext()->currentTransferIrp, nullptr);
    EXPECT_EQ(ext()->pendingIoCount, 1);
    EXPECT_EQ(platform::PoolByTag()["Wdm "].blocks, 5u) << "URB and context freed";
}

TEST_F(Transfers, BulkWriteCarriesTheClientBytes)
{
    auto write = Write(tx, {0x10, 0x20, 0x30, 0x40});
    ASSERT_EQ(write->dispatchStatus, STATUS_PENDING);
    auto urbs = bus.Urbs(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    ASSERT_EQ(urbs.size(), 1u);
    EXPECT_EQ(urbs[0].pipeHandle, UsbBusStub::PipeHandle(0));
    EXPECT_EQ(urbs[0].transferFlags, ULONG(USBD_SHORT_TRANSFER_OK));
    EXPECT_EQ(urbs[0].data, std::vector<uint8_t>({0x10, 0x20, 0x30, 0x40}));
    ASSERT_TRUE(bus.CompleteTransfer());
    EXPECT_EQ(Wait(*write), STATUS_SUCCESS);
    EXPECT_EQ(write->iosb.Information, 4u);
}

TEST_F(Transfers, BusFailureIsPassedUpWithTheBytesMoved)
{
    auto read = Read(rx, 64);
    ASSERT_TRUE(bus.CompleteTransfer({1, 2}, STATUS_DEVICE_DATA_ERROR));
    EXPECT_EQ(Wait(*read), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(read->iosb.Information, 2u);
}

TEST_F(Transfers, CompletionAtDispatchLevelFromAnotherThread)
{
    auto read = Read(rx, 64);
    auto write = Write(tx, {1});
    ASSERT_EQ(bus.PendingTransfers(), 2u);
    EXPECT_EQ(ext()->currentTransferIrp, write->irp) << "the most recent transfer";
    std::thread([&] { bus.CompleteTransfer({9}); }).join();
    EXPECT_EQ(ext()->currentTransferIrp, nullptr) << "any completion clears it";
    ASSERT_TRUE(bus.CompleteTransfer());
    EXPECT_EQ(Wait(*read), STATUS_SUCCESS);
    EXPECT_EQ(Wait(*write), STATUS_SUCCESS);
    EXPECT_EQ(ext()->pendingIoCount, 1);
}

// Where and how a completion routine was called.
struct Seen {
    KIRQL irql = PASSIVE_LEVEL;
    std::thread::id thread;
};

NTSTATUS NTAPI NoteCompletion(PDEVICE_OBJECT, PIRP, PVOID context)
{
    *static_cast<Seen *>(context) = {KeGetCurrentIrql(), std::this_thread::get_id()};
    return STATUS_SUCCESS;
}

// The bus below answers as the hub does: a URB USBD would refuse fails at
// once with its status; the rest completes later, at DISPATCH_LEVEL on the
// bus's own thread.
TEST_F(Transfers, TheBusRefusesMalformedUrbsAtOnceAndCompletesTheRestFromItsThread)
{
    std::vector<uint8_t> data(64);
    PMDL mdl = IoAllocateMdl(data.data(), ULONG(data.size()), FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    auto send = [&](const std::function<void(_URB_BULK_OR_INTERRUPT_TRANSFER &)> &spoil, Seen *seen,
                    NTSTATUS *dispatched) {
        _URB_BULK_OR_INTERRUPT_TRANSFER urb{};
        urb.Hdr.Length = sizeof urb;
        urb.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        urb.PipeHandle = UsbBusStub::PipeHandle(1);
        urb.TransferFlags = USBD_SHORT_TRANSFER_OK | USBD_TRANSFER_DIRECTION_IN;
        urb.TransferBufferLength = ULONG(data.size());
        urb.TransferBufferMDL = mdl;
        spoil(urb);
        KEVENT event;
        IO_STATUS_BLOCK iosb{};
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, bus.pdo(), nullptr, 0, nullptr, 0,
                                                 TRUE, &event, &iosb);
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
        IoSetCompletionRoutine(irp, NoteCompletion, seen, TRUE, TRUE, TRUE);
        NTSTATUS status = platform::CallAndWait(bus.pdo(), irp, &event, &iosb, dispatched);
        return std::make_pair(status, urb.Hdr.Status);
    };
    struct Case {
        const char *what;
        std::function<void(_URB_BULK_OR_INTERRUPT_TRANSFER &)> spoil;
        USBD_STATUS want;
    } cases[] = {
        {"short header", [](auto &u) { u.Hdr.Length = sizeof(u) - 4; }, USBD_STATUS_INVALID_PARAMETER},
        {"unknown pipe", [](auto &u) { u.PipeHandle = reinterpret_cast<PVOID>(0x1234); },
         USBD_STATUS_INVALID_PIPE_HANDLE},
        {"read on the OUT pipe", [](auto &u) { u.PipeHandle = UsbBusStub::PipeHandle(0); },
         USBD_STATUS_INVALID_PARAMETER},
        {"more than the MDL describes", [](auto &u) { u.TransferBufferLength = 65; }, USBD_STATUS_INVALID_PARAMETER},
        {"no buffer at all", [](auto &u) { u.TransferBufferMDL = nullptr; }, USBD_STATUS_INVALID_PARAMETER},
    };
    for (const Case &c : cases) {
        Seen seen;
        NTSTATUS dispatched = STATUS_PENDING;
        auto [status, usbd] = send(c.spoil, &seen, &dispatched);
        EXPECT_EQ(dispatched, STATUS_INVALID_PARAMETER) << c.what;
        EXPECT_EQ(status, STATUS_INVALID_PARAMETER) << c.what;
        EXPECT_EQ(usbd, c.want) << c.what;
    }
    EXPECT_EQ(bus.PendingTransfers(), 0u);

    Seen seen;
    NTSTATUS dispatched = STATUS_SUCCESS;
    std::thread completer([&] {
        ASSERT_TRUE(bus.WaitForTransfers(1));
        ASSERT_TRUE(bus.CompleteTransfer({1, 2}));
    });
    auto [status, usbd] = send([](auto &) {}, &seen, &dispatched);
    completer.join();
    EXPECT_EQ(dispatched, STATUS_PENDING);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(usbd, USBD_STATUS_SUCCESS);
    EXPECT_EQ(seen.irql, DISPATCH_LEVEL);
    EXPECT_NE(seen.thread, std::this_thread::get_id());
    IoFreeMdl(mdl);
}

TEST_F(Transfers, FileObjectWithoutAPipeIsAnInvalidHandle)
{
    PFILE_OBJECT device = nullptr;
    ASSERT_EQ(Open(u"", &device), STATUS_SUCCESS);
    auto read = Read(device, 8);
    EXPECT_EQ(read->dispatchStatus, STATUS_INVALID_HANDLE);
    EXPECT_EQ(read->iosb.Information, 0u);
    EXPECT_TRUE(bus.Urbs(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER).empty());
    EXPECT_EQ(ext()->pendingIoCount, 1);
}

TEST_F(Transfers, NoMemoryForTheUrbOrContextFailsTheRequest)
{
    for (uint64_t n : {1, 2}) {
        // The dispatch routine allocates the URB first, then the completion context.
        beforeSend = [n] { platform::FailAllocationNumber(n); };
        auto read = Read(rx, 8);
        platform::ClearAllocationFaults();
        EXPECT_EQ(read->dispatchStatus, STATUS_INSUFFICIENT_RESOURCES);
    }
    EXPECT_TRUE(bus.Urbs(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER).empty());
    EXPECT_EQ(platform::PoolByTag()["Wdm "].blocks, 5u);
}

TEST_F(Transfers, RequestWithoutDataCompletesAtOnce)
{
    auto read = Read(rx, 0);
    EXPECT_EQ(read->dispatchStatus, STATUS_SUCCESS);
    EXPECT_EQ(read->iosb.Information, 0u);
    auto write = Write(tx, {});
    EXPECT_EQ(write->dispatchStatus, STATUS_SUCCESS);
    EXPECT_TRUE(bus.Urbs(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER).empty());
}

TEST_F(Transfers, RefusedAfterQueryStopUntilCancelled)
{
    ASSERT_EQ(Pnp(IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(Read(rx, 8)->dispatchStatus, STATUS_DELETE_PENDING);
    EXPECT_EQ(Write(tx, {1})->dispatchStatus, STATUS_DELETE_PENDING);
    ASSERT_EQ(Pnp(IRP_MN_CANCEL_STOP_DEVICE).status, STATUS_SUCCESS);
    auto read = Read(rx, 8);
    EXPECT_EQ(read->dispatchStatus, STATUS_PENDING);
    ASSERT_TRUE(bus.CompleteTransfer());
    Wait(*read);
}

// Pipe 0 isochronous OUT and pipe 1 isochronous IN with 8-byte packets,
// pipe 2 a control pipe, pipe 3 isochronous with no packet size.
class Isochronous : public TembrisTest {
protected:
    void SetUp() override
    {
        bus.endpoints = {{0x01, USB_ENDPOINT_TYPE_ISOCHRONOUS, 8, 1},
                         {0x82, USB_ENDPOINT_TYPE_ISOCHRONOUS, 8, 1},
                         {0x03, USB_ENDPOINT_TYPE_CONTROL, 8, 0},
                         {0x84, USB_ENDPOINT_TYPE_ISOCHRONOUS, 0, 1}};
        bus.configDescriptor = ConfigurationDescriptor(bus.endpoints);
        ASSERT_EQ(AddAndStart(), STATUS_SUCCESS);
        out = OpenPipe(u"PIPE00");
        in = OpenPipe(u"PIPE01");
        bus.ClearUrbs();
    }
    PFILE_OBJECT out = nullptr;
    PFILE_OBJECT in = nullptr;
};

TEST_F(Isochronous, EachTransferIsPrecededByAPipeReset)
{
    auto read = Read(in, 17);
    ASSERT_EQ(read->dispatchStatus, STATUS_PENDING);
    auto urbs = bus.Urbs();
    ASSERT_EQ(urbs.size(), 2u);
    EXPECT_EQ(urbs[0].function, URB_FUNCTION_RESET_PIPE);
    EXPECT_EQ(urbs[0].pipeHandle, UsbBusStub::PipeHandle(1));
    EXPECT_EQ(urbs[1].function, URB_FUNCTION_ISOCH_TRANSFER);

    // 17 bytes in 8-byte packets: three, with room for a fourth descriptor.
    EXPECT_EQ(urbs[1].numberOfPackets, 3u);
    EXPECT_EQ(urbs[1].packetOffsets, std::vector<ULONG>({0, 8, 16}));
    EXPECT_EQ(urbs[1].length, sizeof(struct _URB_ISOCH_TRANSFER) + 3 * sizeof(USBD_ISO_PACKET_DESCRIPTOR));
    EXPECT_EQ(urbs[1].transferBufferLength, 17u);
    EXPECT_EQ(urbs[1].transferFlags, ULONG(USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP));

    ASSERT_TRUE(bus.CompleteTransfer(std::vector<uint8_t>(17, 7)));
    EXPECT_EQ(Wait(*read), STATUS_SUCCESS);
    EXPECT_EQ(read->iosb.Information, 17u);
    EXPECT_EQ(platform::PoolByTag()["Wdm "].blocks, 5u);
}

TEST_F(Isochronous, OneByteUsesOnePacket)
{
    auto write = Write(out, {0x55});
    auto urbs = bus.Urbs(URB_FUNCTION_ISOCH_TRANSFER);
    ASSERT_EQ(urbs.size(), 1u);
    EXPECT_EQ(urbs[0].numberOfPackets, 1u);
    EXPECT_EQ(urbs[0].transferFlags, ULONG(USBD_START_ISO_TRANSFER_ASAP));
    ASSERT_TRUE(bus.CompleteTransfer());
    EXPECT_EQ(Wait(*write), STATUS_SUCCESS);
}

TEST_F(Isochronous, NonzeroHighPartStartsThatManyFramesFromNow)
{
    bus.frameNumber = 5000;
    LARGE_INTEGER offset;
    offset.HighPart = 1;
    offset.LowPart = 12;
    auto write = Write(out, {1, 2, 3}, offset.QuadPart);
    ASSERT_EQ(write->dispatchStatus, STATUS_PENDING);
    auto urbs = bus.Urbs();
    ASSERT_EQ(urbs.size(), 3u);
    EXPECT_EQ(urbs[1].function, URB_FUNCTION_GET_CURRENT_FRAME_NUMBER);
    EXPECT_EQ(urbs[2].startFrame, 5012u);
    EXPECT_EQ(urbs[2].transferFlags, 0u) << "a write that names its frame";
    ASSERT_TRUE(bus.CompleteTransfer());
    EXPECT_EQ(Wait(*write), STATUS_SUCCESS);

    auto read = Read(in, 8, offset.QuadPart);
    EXPECT_EQ(bus.Urbs(URB_FUNCTION_ISOCH_TRANSFER).back().transferFlags, ULONG(USBD_TRANSFER_DIRECTION_IN));
    ASSERT_TRUE(bus.CompleteTransfer());
    EXPECT_EQ(Wait(*read), STATUS_SUCCESS);
}

// The frame-number request lives on the transfer's own request and its URB on
// tembris's stack: when the bus pends it, the transfer waits for it.
TEST_F(Isochronous, APendedFrameNumberIsWaitedFor)
{
    using testing_support::Answer;
    bus.scripted().Queue(IRP_MJ_INTERNAL_DEVICE_CONTROL, Answer::Complete());  // the pipe reset
    bus.scripted().Queue(IRP_MJ_INTERNAL_DEVICE_CONTROL, Answer::Pend());      // the frame number
    LARGE_INTEGER offset;
    offset.HighPart = 1;
    offset.LowPart = 12;
    std::unique_ptr<Transfer> write;
    std::thread sender([&] { write = Write(out, {1, 2, 3}, offset.QuadPart); });
    ASSERT_TRUE(bus.scripted().WaitForPending(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(bus.Urbs(URB_FUNCTION_ISOCH_TRANSFER).empty()) << "the transfer went on without its frame number";
    ASSERT_TRUE(bus.scripted().CompletePending(Answer::Complete().With([](PIRP, PIO_STACK_LOCATION sp) {
        static_cast<struct _URB_GET_CURRENT_FRAME_NUMBER *>(sp->Parameters.Others.Argument1)->FrameNumber = 7000;
    }), testing_support::CompleteFrom::OtherDispatch));
    sender.join();
    ASSERT_EQ(write->dispatchStatus, STATUS_PENDING);
    auto iso = bus.Urbs(URB_FUNCTION_ISOCH_TRANSFER);
    ASSERT_EQ(iso.size(), 1u);
    EXPECT_EQ(iso[0].startFrame, 7012u);
    ASSERT_TRUE(bus.CompleteTransfer());
    EXPECT_EQ(Wait(*write), STATUS_SUCCESS);
}

TEST_F(Isochronous, ControlPipeAndZeroPacketSizeAreInvalidParameters)
{
    PFILE_OBJECT control = OpenPipe(u"PIPE02");
    PFILE_OBJECT zero = OpenPipe(u"PIPE03");
    EXPECT_EQ(Read(control, 8)->dispatchStatus, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Write(zero, {1})->dispatchStatus, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(bus.Urbs().empty());
    EXPECT_EQ(ext()->pendingIoCount, 1);
}

TEST_F(Isochronous, TransferTooLongForOneUrbIsRefused)
{
    // 8-byte packets: 65536 bytes would need more descriptors than a 16-bit URB length holds.
    auto write = Write(out, std::vector<uint8_t>(65536, 0));
    EXPECT_EQ(write->dispatchStatus, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(bus.Urbs(URB_FUNCTION_ISOCH_TRANSFER).empty());
}

}  // namespace
