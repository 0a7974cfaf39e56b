// devctl_test.cpp - the filter device's device-control requests: serial
// settings translated per converter variant, RTS and DTR, pipe resets, and
// refusals; the vendor request that carries every converter command.
#include "norva_test.hpp"

#include <atomic>
#include <chrono>
#include <thread>

#include "usbcvt.h"

namespace norva_test {
namespace {

struct Dcb {
    ULONG baud = 9600;
    ULONG flags = 0;
    UCHAR dataBits = 8;
    UCHAR parity = 0;
    UCHAR stopBits = 0;
    size_t size = 48;

    std::vector<uint8_t> Bytes() const
    {
        std::vector<uint8_t> b(size, 0xEE);  // fields norva does not read carry noise
        auto put32 = [&](size_t at, ULONG v) {
            for (int i = 0; i < 4; ++i)
                if (at + i < b.size())
                    b[at + i] = uint8_t(v >> (8 * i));
        };
        put32(0, 48);
        put32(4, baud);
        put32(8, flags);
        if (size > 24) {
            b[22] = dataBits;
            b[23] = parity;
            b[24] = stopBits;
        }
        return b;
    }
};

class PortControl : public NorvaTest {
protected:
    PDEVICE_OBJECT Prepare(ULONG endPointCaps)
    {
        pdo_ = &NewPdo(DO_BUFFERED_IO | DO_POWER_PAGABLE);
        platform::SetDriverDword(pdo_->device(), u"EndPointCaps", endPointCaps);
        filter_ = AddFilter(*pdo_);
        ext_ = filter_ ? Ext(filter_) : nullptr;
        return filter_;
    }

    NTSTATUS Control(ULONG code, const std::vector<uint8_t> &input = {}, ULONG_PTR *information = nullptr)
    {
        KEVENT event;
        IO_STATUS_BLOCK iosb{};
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        std::vector<uint8_t> in = input;
        PIRP irp = IoBuildDeviceIoControlRequest(code, filter_, in.empty() ? nullptr : in.data(), ULONG(in.size()),
                                                 nullptr, 0, FALSE, &event, &iosb);
        if (!irp)
            return STATUS_INSUFFICIENT_RESOURCES;
        irp->IoStatus.Information = 0x5A5A;  // must come back as 0
        NTSTATUS status = platform::CallAndWait(filter_, irp, &event, &iosb);
        if (information)
            *information = iosb.Information;
        return status;
    }

    NTSTATUS SetCommState(const Dcb &dcb, ULONG_PTR *information = nullptr)
    {
        return Control(IOCTL_VCP_SET_COMM_STATE, dcb.Bytes(), information);
    }

    // The converter commands that reached the device below, in order.
    std::vector<std::vector<uint8_t>> Commands()
    {
        std::vector<std::vector<uint8_t>> out;
        for (const auto &r : pdo_->Requests(IRP_MJ_DEVICE_CONTROL))
            if (r.ioControlCode == IOCTL_USBCVT_VENDOR_REQUEST)
                out.push_back(r.data);
        return out;
    }

    ScriptedDevice *pdo_ = nullptr;
    PDEVICE_OBJECT filter_ = nullptr;
    FilterExtension *ext_ = nullptr;
};

using Command = std::vector<uint8_t>;
using CommandList = std::vector<Command>;

// ---------------------------------------------------------------------------
// Comm state

TEST_F(PortControl, Variant1At9600With8N1SendsTheSettingByte04)
{
    ASSERT_NE(Prepare(1), nullptr);
    ULONG_PTR information = 1;
    EXPECT_EQ(SetCommState(Dcb{}, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 0u);
    EXPECT_EQ(Commands(), (CommandList{{0x00, 0x04}}));
}

TEST_F(PortControl, VendorRequestIsAPlainDeviceControlToTheConverterWithoutFileObject)
{
    ASSERT_NE(Prepare(1), nullptr);
    SetCommState(Dcb{});
    auto requests = pdo_->Requests(IRP_MJ_DEVICE_CONTROL);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].ioControlCode, 0x23001Cu);
    EXPECT_EQ(requests[0].inputLength, 2u);
    EXPECT_EQ(requests[0].outputLength, 0u);
    EXPECT_EQ(requests[0].fileObject, nullptr);
    EXPECT_EQ(requests[0].irql, PASSIVE_LEVEL);
    EXPECT_TRUE(pdo_->Requests(IRP_MJ_INTERNAL_DEVICE_CONTROL).empty());
}

TEST_F(PortControl, Variant1At19200With7E2AndFlagSendsTheSettingByte99)
{
    ASSERT_NE(Prepare(1), nullptr);
    Dcb dcb;
    dcb.baud = 19200;
    dcb.dataBits = 7;
    dcb.parity = 2;
    dcb.stopBits = 2;
    dcb.flags = 0xFFFFFFF1;  // only bit 0 counts
    EXPECT_EQ(SetCommState(dcb), STATUS_SUCCESS);
    EXPECT_EQ(Commands(), (CommandList{{0x00, 0x99}}));
}

TEST_F(PortControl, Variants1And2SendTheSameBytes)
{
    std::vector<Dcb> dcbs;
    for (ULONG baud : {9600u, 19200u, 38400u, 115200u})
        for (UCHAR parity : {0, 1, 2})
            for (UCHAR stop : {0, 2}) {
                Dcb d;
                d.baud = baud;
                d.parity = parity;
                d.stopBits = stop;
                d.dataBits = parity == 1 ? 7 : 8;
                d.flags = stop ? 1 : 0;
                dcbs.push_back(d);
            }
    ScriptedDevice &one = NewPdo(DO_BUFFERED_IO);
    platform::SetDriverDword(one.device(), u"EndPointCaps", 1);
    PDEVICE_OBJECT f1 = AddFilter(one);
    ASSERT_TRUE(Prepare(2));
    PDEVICE_OBJECT f2 = filter_;
    for (const Dcb &d : dcbs) {
        filter_ = f1;
        SetCommState(d);
        filter_ = f2;
        SetCommState(d);
    }
    std::vector<Command> a, b;
    for (const auto &r : one.Requests(IRP_MJ_DEVICE_CONTROL))
        a.push_back(r.data);
    b = Commands();
    EXPECT_EQ(a.size(), dcbs.size());
    EXPECT_EQ(a, b);
    // Baud codes 0..3, parity bits 0x20/0x10, two stop bits 0x08, the flag 0x80.
    EXPECT_EQ(b[0], (Command{0x00, 0x04}));
    EXPECT_EQ(b[3], (Command{0x00, 0x20 | 0x08 | 0x80}));
}

TEST_F(PortControl, Variant1UnknownBaudFallsBackTo115200AndSaysSo)
{
    ASSERT_NE(Prepare(1), nullptr);
    Dcb dcb;
    dcb.baud = 4800;
    EXPECT_EQ(SetCommState(dcb), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(HasTrace("devctl", "\tunknown baudrate = 000012c0\r\n")) << DescribeTraces();
    EXPECT_EQ(Commands(), (CommandList{{0x00, 0x07}}));
}

TEST_F(PortControl, Variant1OutOfListValuesUseTheirFallbacks)
{
    ASSERT_NE(Prepare(1), nullptr);
    Dcb dcb;
    dcb.dataBits = 5;  // as 8
    dcb.stopBits = 1;  // one and a half: as one
    dcb.parity = 4;    // space: as none
    EXPECT_EQ(SetCommState(dcb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(CountTrace("devctl", "\tunknown setting\r\n"), 3u) << DescribeTraces();
    EXPECT_EQ(Commands(), (CommandList{{0x00, 0x04}}));

    // Each of them alone is reported.
    for (int field = 0; field < 3; ++field) {
        Dcb one;
        one.dataBits = field == 0 ? 5 : 8;
        one.stopBits = field == 1 ? 1 : 0;
        one.parity = field == 2 ? 4 : 0;
        EXPECT_EQ(SetCommState(one), STATUS_INVALID_PARAMETER) << "field " << field;
    }
}

TEST_F(PortControl, Variant3SendsTheBaudCodeInAByteOfItsOwn)
{
    ASSERT_NE(Prepare(3), nullptr);
    Dcb dcb;
    dcb.flags = 1;
    EXPECT_EQ(SetCommState(dcb), STATUS_SUCCESS);
    dcb = Dcb{};
    dcb.baud = 76800;
    dcb.dataBits = 7;
    dcb.parity = 1;
    dcb.stopBits = 2;
    EXPECT_EQ(SetCommState(dcb), STATUS_SUCCESS);
    EXPECT_EQ(Commands(), (CommandList{{0x00, 0x04, 0x21}, {0x00, 0x07, 0x0A}}));
}

TEST_F(PortControl, Variant3BaudTable)
{
    ASSERT_NE(Prepare(3), nullptr);
    const ULONG rates[] = {600, 1200, 2400, 4800, 9600, 19200, 38400, 76800, 115200};
    for (ULONG rate : rates) {
        Dcb dcb;
        dcb.baud = rate;
        EXPECT_EQ(SetCommState(dcb), STATUS_SUCCESS);
    }
    auto commands = Commands();
    ASSERT_EQ(commands.size(), 9u);
    for (size_t i = 0; i < 9; ++i)
        EXPECT_EQ(commands[i][1], i) << rates[i];
}

TEST_F(PortControl, Variant3UnknownBaudIsSentAs115200WithoutComplaint)
{
    ASSERT_NE(Prepare(3), nullptr);
    Dcb dcb;
    dcb.baud = 300;
    EXPECT_EQ(SetCommState(dcb), STATUS_SUCCESS);
    EXPECT_EQ(Commands(), (CommandList{{0x00, 0x08, 0x01}}));
    EXPECT_FALSE(HasTrace("devctl", "\tunknown setting\r\n"));
}

TEST_F(PortControl, Variant3MarkParityIsSentWithoutParity)
{
    ASSERT_NE(Prepare(3), nullptr);
    Dcb dcb;
    dcb.parity = 3;
    EXPECT_EQ(SetCommState(dcb), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(HasTrace("devctl", "\tunknown setting\r\n")) << DescribeTraces();
    EXPECT_EQ(Commands(), (CommandList{{0x00, 0x04, 0x01}}));
}

TEST_F(PortControl, ShortDcbIsRefusedByEveryVariantThatSends)
{
    for (ULONG caps : {1u, 2u, 3u}) {
        ASSERT_NE(Prepare(caps), nullptr);
        Dcb dcb;
        dcb.size = 47;
        EXPECT_EQ(SetCommState(dcb), STATUS_INVALID_PARAMETER) << "variant " << caps;
        EXPECT_TRUE(Commands().empty());
        EXPECT_TRUE(HasTrace("devctl", "invalid _DCB size\r\n"));
        platform::ClearDebugOutput();
    }
    ASSERT_NE(Prepare(0), nullptr);
    Dcb dcb;
    dcb.size = 47;
    ULONG_PTR information = 1;
    EXPECT_EQ(SetCommState(dcb, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 0u);
    EXPECT_TRUE(Commands().empty());
}

TEST_F(PortControl, UnknownVariantIsRefusedWithoutCallingOutsideTheTable)
{
    ASSERT_NE(Prepare(4), nullptr);  // the first past the table
    EXPECT_EQ(SetCommState(Dcb{}), STATUS_NOT_SUPPORTED);
    EXPECT_TRUE(Commands().empty());
    ASSERT_NE(Prepare(7), nullptr);
    EXPECT_EQ(SetCommState(Dcb{}), STATUS_NOT_SUPPORTED);
    EXPECT_TRUE(Commands().empty());
}

TEST_F(PortControl, FailedVendorRequestIsTheRequestsStatus)
{
    ASSERT_NE(Prepare(1), nullptr);
    pdo_->Queue(IRP_MJ_DEVICE_CONTROL, Answer::Complete(STATUS_DELETE_PENDING));
    EXPECT_EQ(SetCommState(Dcb{}), STATUS_DELETE_PENDING);
    EXPECT_TRUE(HasTrace("devctl", "failed to write to pipe0 (code=0xc0000056)\r\n")) << DescribeTraces();
    // A failed send outranks the fallback's complaint.
    Dcb dcb;
    dcb.baud = 1;
    pdo_->Queue(IRP_MJ_DEVICE_CONTROL, Answer::Complete(STATUS_DEVICE_PROTOCOL_ERROR));
    EXPECT_EQ(SetCommState(dcb), STATUS_DEVICE_PROTOCOL_ERROR);
}

TEST_F(PortControl, PendedVendorRequestIsWaitedFor)
{
    ASSERT_NE(Prepare(2), nullptr);
    pdo_->Queue(IRP_MJ_DEVICE_CONTROL, Answer::Async(STATUS_SUCCESS, 0, CompleteFrom::OtherDispatch));
    EXPECT_EQ(SetCommState(Dcb{}), STATUS_SUCCESS);
    pdo_->Queue(IRP_MJ_DEVICE_CONTROL, Answer::Async(STATUS_IO_DEVICE_ERROR, 0, CompleteFrom::OtherThread));
    EXPECT_EQ(SetCommState(Dcb{}), STATUS_IO_DEVICE_ERROR);
    EXPECT_TRUE(TakeAssertions().empty());
}

TEST_F(PortControl, NoRequestForTheCommandFailsWithInsufficientResources)
{
    ASSERT_NE(Prepare(1), nullptr);
    bool reached = false;
    for (uint64_t n = 1; n < 8 && !reached; ++n) {
        platform::ClearDebugOutput();
        platform::FailAllocationNumber(n);
        NTSTATUS status = SetCommState(Dcb{});
        platform::ClearAllocationFaults();
        reached = HasTrace("devctl", "failed IoBuildDeviceIoControl\r\n");
        if (reached) {
            EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
        }
    }
    EXPECT_TRUE(reached);
}

// ---------------------------------------------------------------------------
// Modem lines

TEST_F(PortControl, EachLineChangeSendsTheWholeImage)
{
    ASSERT_NE(Prepare(1), nullptr);
    EXPECT_EQ(Control(IOCTL_VCP_SET_RTS), STATUS_SUCCESS);
    EXPECT_EQ(Control(IOCTL_VCP_SET_DTR), STATUS_SUCCESS);
    EXPECT_EQ(Control(IOCTL_VCP_CLR_RTS), STATUS_SUCCESS);
    EXPECT_EQ(Commands(), (CommandList{{0x01, 0x01}, {0x01, 0x03}, {0x01, 0x02}}));
    EXPECT_EQ(ext_->modemControl, 0x02);
}

TEST_F(PortControl, WithoutModemControlTheImageChangesButNothingIsSent)
{
    ASSERT_NE(Prepare(0), nullptr);
    ULONG_PTR information = 1;
    EXPECT_EQ(Control(IOCTL_VCP_SET_RTS, {}, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 0u);
    EXPECT_EQ(Control(IOCTL_VCP_SET_DTR), STATUS_SUCCESS);
    EXPECT_EQ(Control(IOCTL_VCP_CLR_RTS), STATUS_SUCCESS);
    EXPECT_TRUE(Commands().empty());
    EXPECT_EQ(ext_->modemControl, 0x02);
}

TEST_F(PortControl, UnknownVariantSendsNoLineCommand)
{
    for (ULONG variant : {4u, 5u}) {
        ASSERT_NE(Prepare(variant), nullptr);
        EXPECT_EQ(Control(IOCTL_VCP_SET_RTS), STATUS_SUCCESS);
        EXPECT_EQ(Control(IOCTL_VCP_SET_DTR), STATUS_SUCCESS);
        EXPECT_TRUE(Commands().empty()) << "variant " << variant;
        EXPECT_EQ(ext_->modemControl, 0x03);
    }
}

TEST_F(PortControl, RepeatedLineRequestSendsTheSameImageAgain)
{
    ASSERT_NE(Prepare(3), nullptr);
    Control(IOCTL_VCP_SET_RTS);
    Control(IOCTL_VCP_SET_RTS);
    Control(IOCTL_VCP_CLR_DTR);
    EXPECT_EQ(Commands(), (CommandList{{0x01, 0x01}, {0x01, 0x01}, {0x01, 0x01}}));
}

TEST_F(PortControl, FailedLineCommandKeepsTheNewImage)
{
    ASSERT_NE(Prepare(2), nullptr);
    pdo_->Queue(IRP_MJ_DEVICE_CONTROL, Answer::Complete(STATUS_DELETE_PENDING));
    EXPECT_EQ(Control(IOCTL_VCP_SET_DTR), STATUS_DELETE_PENDING);
    EXPECT_EQ(ext_->modemControl, 0x02);

    // A failed command is not sent again, even when the image changed while
    // it was out (as another sender's change would).
    pdo_->Queue(IRP_MJ_DEVICE_CONTROL, Answer::Complete(STATUS_DELETE_PENDING).With([this](PIRP, PIO_STACK_LOCATION) {
        ext_->modemControl |= 0x01;
    }));
    EXPECT_EQ(Control(IOCTL_VCP_CLR_DTR), STATUS_DELETE_PENDING);
    EXPECT_EQ(Commands(), (CommandList{{0x01, 0x02}, {0x01, 0x00}}));
}

// A change made while a command was out is sent once more, so that the last
// command the converter gets carries the last image.
TEST_F(PortControl, AChangeMadeWhileACommandWasOutIsSentAfterIt)
{
    ASSERT_NE(Prepare(1), nullptr);
    pdo_->Queue(IRP_MJ_DEVICE_CONTROL, Answer::Complete(STATUS_SUCCESS).With([this](PIRP, PIO_STACK_LOCATION) {
        ext_->modemControl |= 0x02;  // a DTR change by another sender meanwhile
    }));
    EXPECT_EQ(Control(IOCTL_VCP_SET_RTS), STATUS_SUCCESS);
    EXPECT_EQ(Commands(), (CommandList{{0x01, 0x01}, {0x01, 0x03}}));
}

TEST_F(PortControl, LineTracesUnderTheModemMask)
{
    ScriptedDevice &first = NewPdo();
    platform::SetDriverDword(first.device(), u"DebugLevel", 0x40);
    AddFilter(first);
    ASSERT_NE(Prepare(1), nullptr);
    platform::ClearDebugOutput();
    Control(IOCTL_VCP_SET_RTS);
    Control(IOCTL_VCP_CLR_RTS);
    Control(IOCTL_VCP_SET_DTR);
    Control(IOCTL_VCP_CLR_DTR);
    std::vector<std::string> gated;
    for (const Trace &t : Traces())
        if (!t.unit.empty())
            gated.push_back(t.message);
    EXPECT_EQ(gated, (std::vector<std::string>{"RTS ON\r\n", "RTS OFF\r\n", "DTR ON\r\n", "DTR OFF\r\n"}));
}

// Both threads end by raising their line; nothing is sent after they join:
// the image and the last command must carry both bits.
TEST_F(PortControl, ConcurrentRtsAndDtrChangesKeepEachOthersBit)
{
    ASSERT_NE(Prepare(1), nullptr);
    pdo_->SetScript([](const RecordedRequest &) { return Answer::Async(STATUS_SUCCESS, 0, CompleteFrom::OtherThread); });
    std::thread rts([&] {
        for (int i = 0; i <= 100; ++i)
            Control(i % 2 ? IOCTL_VCP_CLR_RTS : IOCTL_VCP_SET_RTS);
    });
    std::thread dtr([&] {
        for (int i = 0; i <= 100; ++i)
            Control(i % 2 ? IOCTL_VCP_CLR_DTR : IOCTL_VCP_SET_DTR);
    });
    rts.join();
    dtr.join();
    EXPECT_EQ(ext_->modemControl, 0x03);
    auto commands = Commands();
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands.back(), (Command{0x01, 0x03}));
}

// The image is read and changed under modemControlLock: while another
// holds the lock, a change waits, and nothing is sent.
TEST_F(PortControl, LineChangesWaitForTheImagesLock)
{
    ASSERT_NE(Prepare(1), nullptr);
    std::atomic<bool> done{false};
    KIRQL irql;
    KeAcquireSpinLock(&ext_->modemControlLock, &irql);
    std::thread rts([&] {
        Control(IOCTL_VCP_SET_RTS);
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    bool changedMeanwhile = done || ext_->modemControl != 0 || !Commands().empty();
    KeReleaseSpinLock(&ext_->modemControlLock, irql);
    rts.join();
    EXPECT_FALSE(changedMeanwhile) << "the image was changed without its lock";
    EXPECT_EQ(Commands(), (CommandList{{0x01, 0x01}}));
}

// ---------------------------------------------------------------------------
// Pipe resets and refusals

TEST_F(PortControl, PipeResetsReachTheConverterOnThePipesFileObject)
{
    ASSERT_NE(Prepare(1), nullptr);
    pdo_->Queue(IRP_MJ_DEVICE_CONTROL, Answer::Complete(STATUS_SUCCESS));
    pdo_->Queue(IRP_MJ_DEVICE_CONTROL, Answer::Complete(STATUS_INVALID_PARAMETER));
    EXPECT_EQ(Control(IOCTL_VCP_RESET_TX_PIPE), STATUS_SUCCESS);
    EXPECT_EQ(Control(IOCTL_VCP_RESET_RX_PIPE), STATUS_INVALID_PARAMETER);  // the converter driver's answer
    auto requests = pdo_->Requests(IRP_MJ_DEVICE_CONTROL);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].ioControlCode, ULONG(IOCTL_USBCVT_RESET_PIPE));
    EXPECT_EQ(requests[0].fileObject, &ext_->txPipe);
    EXPECT_EQ(requests[1].ioControlCode, ULONG(IOCTL_USBCVT_RESET_PIPE));
    EXPECT_EQ(requests[1].fileObject, &ext_->rxPipe);
    EXPECT_EQ(requests[1].stack.CompletionRoutine, nullptr);
}

TEST_F(PortControl, PendedPipeResetIsCompletedByTheConverterDriver)
{
    ASSERT_NE(Prepare(1), nullptr);
    pdo_->Queue(IRP_MJ_DEVICE_CONTROL, Answer::Async(STATUS_DEVICE_DATA_ERROR, 0, CompleteFrom::OtherDispatch));
    EXPECT_EQ(Control(IOCTL_VCP_RESET_RX_PIPE), STATUS_DEVICE_DATA_ERROR);
}

TEST_F(PortControl, CodesOutsideTheTableAreRefusedAndNotPassedDown)
{
    ASSERT_NE(Prepare(1), nullptr);
    ULONG_PTR information = 1;
    EXPECT_EQ(Control(0x1B01B4, {}, &information), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(information, 0u);
    EXPECT_EQ(Control(IOCTL_USBCVT_VENDOR_REQUEST, {1, 2}), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(Control(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x6C, METHOD_BUFFERED, FILE_ANY_ACCESS)), STATUS_NOT_SUPPORTED);
    EXPECT_TRUE(pdo_->Requests(IRP_MJ_DEVICE_CONTROL).empty());
    EXPECT_EQ(CountTrace("devctl", "not support\n"), 3u) << DescribeTraces();
}

}  // namespace
}  // namespace norva_test
