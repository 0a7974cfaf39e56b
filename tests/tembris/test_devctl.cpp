// test_devctl.cpp - tembris private device-control requests (IOCTL_USBCVT_*).
#include "tembris_test.hpp"

#include <cstring>

using namespace tembris_test;

namespace {

ULONG Ulong(const std::vector<uint8_t> &b, size_t at)
{
    return ULONG(b[at]) | ULONG(b[at + 1]) << 8 | ULONG(b[at + 2]) << 16 | ULONG(b[at + 3]) << 24;
}

class DeviceControl : public TembrisTest {
protected:
    void SetUp() override
    {
        ASSERT_EQ(AddAndStart(), STATUS_SUCCESS);
        ASSERT_EQ(Open(u"", &device), STATUS_SUCCESS);
        bus.ClearUrbs();
    }
    PipeContext *Context(ULONG pipe) const { return &ext()->usbConfiguration->pipeContexts[pipe]; }
    PFILE_OBJECT device = nullptr;
};

TEST_F(DeviceControl, VendorRequestSendsTheInputBytesAsItsDataStage)
{
    auto r = Control(device, IOCTL_USBCVT_VENDOR_REQUEST, {0x01, 0x03});
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 0u);
    auto urbs = bus.Urbs();
    ASSERT_EQ(urbs.size(), 1u);
    EXPECT_EQ(urbs[0].function, URB_FUNCTION_VENDOR_DEVICE);
    EXPECT_EQ(urbs[0].length, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
    EXPECT_EQ(urbs[0].transferFlags, 0u) << "host to device, short transfers not allowed";
    EXPECT_EQ(urbs[0].request, 0x0B);
    EXPECT_EQ(urbs[0].requestTypeReservedBits, 0);
    EXPECT_EQ(urbs[0].value, 0);
    EXPECT_EQ(urbs[0].index, 0);
    EXPECT_FALSE(urbs[0].hasMdl);
    EXPECT_EQ(urbs[0].transferBufferLength, 2u);
    EXPECT_EQ(urbs[0].data, std::vector<uint8_t>({0x01, 0x03}));
}

TEST_F(DeviceControl, VendorRequestWithoutInputHasNoDataStage)
{
    EXPECT_EQ(Control(device, IOCTL_USBCVT_VENDOR_REQUEST).status, STATUS_SUCCESS);
    auto urbs = bus.Urbs(URB_FUNCTION_VENDOR_DEVICE);
    ASSERT_EQ(urbs.size(), 1u);
    EXPECT_EQ(urbs[0].transferBufferLength, 0u);
    EXPECT_TRUE(urbs[0].data.empty());
}

TEST_F(DeviceControl, VendorRequestFailuresAreReturned)
{
    bus.fault = [](const UrbRecord &) { return std::optional<NTSTATUS>(STATUS_DEVICE_PROTOCOL_ERROR); };
    EXPECT_EQ(Control(device, IOCTL_USBCVT_VENDOR_REQUEST, {0}).status, STATUS_DEVICE_PROTOCOL_ERROR);
    bus.fault = nullptr;
    platform::FailAllocationsWithTag(kWdmTag, 1);
    EXPECT_EQ(Control(device, IOCTL_USBCVT_VENDOR_REQUEST, {0}).status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(bus.Urbs().size(), 1u);
}

TEST_F(DeviceControl, ConfigDescriptorNeedsRoomForAllOfIt)
{
    ULONG total = ULONG(bus.configDescriptor.size());
    auto r = Control(device, IOCTL_USBCVT_GET_CONFIG_DESCRIPTOR, {}, total);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, total);
    EXPECT_EQ(r.output, bus.configDescriptor);
    r = Control(device, IOCTL_USBCVT_GET_CONFIG_DESCRIPTOR, {}, total + 16);
    EXPECT_EQ(r.information, total) << "a larger buffer gets the descriptor, not the buffer's length";

    r = Control(device, IOCTL_USBCVT_GET_CONFIG_DESCRIPTOR, {}, total - 1);
    EXPECT_EQ(r.status, STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(r.output, std::vector<uint8_t>(total - 1, 0xEE)) << "nothing returned";
}

TEST_F(DeviceControl, ResetDeviceResetsOnlyAConnectedDisabledPort)
{
    EXPECT_EQ(Control(device, IOCTL_USBCVT_RESET_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(bus.portResets(), 0) << "enabled port";
    bus.portStatus = 0;
    EXPECT_EQ(Control(device, IOCTL_USBCVT_RESET_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(bus.portResets(), 0) << "nothing connected";
    bus.portStatus = USBD_PORT_CONNECTED;
    EXPECT_EQ(Control(device, IOCTL_USBCVT_RESET_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(bus.portResets(), 1);
}

TEST_F(DeviceControl, ResetPipeResetsTheFileObjectsPipe)
{
    PFILE_OBJECT rx = OpenPipe(u"PIPE01");
    EXPECT_EQ(Control(rx, IOCTL_USBCVT_RESET_PIPE).status, STATUS_SUCCESS);
    auto urbs = bus.Urbs(URB_FUNCTION_RESET_PIPE);
    ASSERT_EQ(urbs.size(), 1u);
    EXPECT_EQ(urbs[0].pipeHandle, UsbBusStub::PipeHandle(1));
    EXPECT_EQ(urbs[0].length, sizeof(struct _URB_PIPE_REQUEST));
    EXPECT_EQ(Control(device, IOCTL_USBCVT_RESET_PIPE).status, STATUS_INVALID_PARAMETER) << "no pipe";

    platform::FailAllocationsWithTag(kWdmTag, 1);  // the reset's URB
    EXPECT_EQ(Control(rx, IOCTL_USBCVT_RESET_PIPE).status, STATUS_INSUFFICIENT_RESOURCES);
    platform::ClearAllocationFaults();
    EXPECT_EQ(bus.Urbs(URB_FUNCTION_RESET_PIPE).size(), 1u);
}

TEST_F(DeviceControl, PipeInfoIsThe20ByteRecord)
{
    PFILE_OBJECT status = OpenPipe(u"PIPE02");
    auto r = Control(status, IOCTL_USBCVT_GET_PIPE_INFO, {}, 24);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 20u);
    const std::vector<uint8_t> head = {8, 0, 0x83, 1, 3, 0, 0, 0};
    EXPECT_EQ(std::vector<uint8_t>(r.output.begin(), r.output.begin() + 8), head);
    EXPECT_EQ(Ulong(r.output, 8), PtrToUlong(UsbBusStub::PipeHandle(2)));
    EXPECT_EQ(Ulong(r.output, 12), 102400u);
    EXPECT_EQ(Ulong(r.output, 16), 1u) << "open";
    EXPECT_EQ(r.output[20], 0xEE) << "nothing past the record";

    EXPECT_EQ(Control(status, IOCTL_USBCVT_GET_PIPE_INFO, {}, 19).status, STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(Control(device, IOCTL_USBCVT_GET_PIPE_INFO, {}, 20).status, STATUS_INVALID_HANDLE);
}

TEST_F(DeviceControl, StatisticsRequestsNeedAPipe)
{
    for (ULONG code : {IOCTL_USBCVT_START_STATISTICS, IOCTL_USBCVT_STOP_STATISTICS, IOCTL_USBCVT_GET_STATISTICS})
        EXPECT_EQ(Control(device, code, {}, 8).status, STATUS_INVALID_HANDLE) << std::hex << code;
}

TEST_F(DeviceControl, StatisticsBeforeAnyTransferAreZero)
{
    PFILE_OBJECT rx = OpenPipe(u"PIPE01");
    ASSERT_EQ(Control(rx, IOCTL_USBCVT_START_STATISTICS).status, STATUS_SUCCESS);
    auto r = Control(rx, IOCTL_USBCVT_GET_STATISTICS, {}, 8);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 8u);
    EXPECT_EQ(Ulong(r.output, 0), 0u);
    EXPECT_EQ(Ulong(r.output, 4), 0u);
    EXPECT_EQ(Context(1)->elapsedTicks, 1);
    EXPECT_EQ(Control(rx, IOCTL_USBCVT_GET_STATISTICS, {}, 7).status, STATUS_INVALID_BUFFER_SIZE);
}

TEST_F(DeviceControl, StatisticsCountOnlyTransfersSentWhileEnabled)
{
    PFILE_OBJECT rx = OpenPipe(u"PIPE01");
    ASSERT_EQ(Control(rx, IOCTL_USBCVT_START_STATISTICS).status, STATUS_SUCCESS);
    auto read = Read(rx, 256);
    ASSERT_TRUE(bus.CompleteTransfer(std::vector<uint8_t>(100, 1)));
    Wait(*read);
    EXPECT_EQ(Context(1)->bytesTransferred, 100u);
    EXPECT_GT(Context(1)->elapsedTicks, 0);
    auto r = Control(rx, IOCTL_USBCVT_GET_STATISTICS, {}, 8);
    EXPECT_GT(Ulong(r.output, 0), 0u) << "bytes per second";

    ASSERT_EQ(Control(rx, IOCTL_USBCVT_STOP_STATISTICS).status, STATUS_SUCCESS);
    read = Read(rx, 256);
    ASSERT_TRUE(bus.CompleteTransfer(std::vector<uint8_t>(50, 1)));
    Wait(*read);
    EXPECT_EQ(Context(1)->bytesTransferred, 100u) << "the sums stay";

    // A new start counts from nothing.
    ASSERT_EQ(Control(rx, IOCTL_USBCVT_START_STATISTICS).status, STATUS_SUCCESS);
    EXPECT_EQ(Context(1)->bytesTransferred, 0u);
    EXPECT_EQ(Context(1)->elapsedTicks, 0);
    r = Control(rx, IOCTL_USBCVT_GET_STATISTICS, {}, 8);
    EXPECT_EQ(Ulong(r.output, 0), 0u);
}

// Sums beyond 32 bits: the rates are computed from the whole sums, and a
// rate that does not fit 32 bits reads as the largest value.
TEST_F(DeviceControl, StatisticsStayRightBeyond32Bits)
{
    PFILE_OBJECT rx = OpenPipe(u"PIPE01");
    ASSERT_EQ(Control(rx, IOCTL_USBCVT_START_STATISTICS).status, STATUS_SUCCESS);
    PipeContext *pipe = Context(1);
    pipe->bytesTransferred = 1000000;
    pipe->elapsedTicks = (1LL << 32) + 5;  // 429.5 s of a 10 MHz counter
    pipe->elapsedCycles = 1ULL << 40;
    auto r = Control(rx, IOCTL_USBCVT_GET_STATISTICS, {}, 8);
    EXPECT_NEAR(double(Ulong(r.output, 0)), 1000000.0 * 10'000'000 / double((1LL << 32) + 5), 1.0);
    EXPECT_NEAR(double(Ulong(r.output, 4)), double(1ULL << 40) / 1000000, 1.0);

    pipe->bytesTransferred = (1ULL << 32) + 2;
    EXPECT_NEAR(double(Ulong(Control(rx, IOCTL_USBCVT_GET_STATISTICS, {}, 8).output, 4)), 256.0, 1.0);
    pipe->bytesTransferred = 1;
    EXPECT_EQ(Ulong(Control(rx, IOCTL_USBCVT_GET_STATISTICS, {}, 8).output, 4), 0xFFFFFFFFu);
}

TEST_F(DeviceControl, UnknownCodeIsAnInvalidParameter)
{
    EXPECT_EQ(Control(device, 0x230020).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Control(device, IOCTL_INTERNAL_USB_SUBMIT_URB).status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(bus.Urbs().empty());
}

TEST_F(DeviceControl, EveryRequestIsRefusedAfterQueryStopUntilCancelled)
{
    ASSERT_EQ(Pnp(IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
    auto r = Control(device, IOCTL_USBCVT_GET_CONFIG_DESCRIPTOR, {}, 512);
    EXPECT_EQ(r.status, STATUS_DELETE_PENDING);
    EXPECT_EQ(r.information, 0u);
    EXPECT_EQ(Control(device, IOCTL_USBCVT_VENDOR_REQUEST, {1}).status, STATUS_DELETE_PENDING);
    EXPECT_EQ(Control(device, 0x230020).status, STATUS_DELETE_PENDING);
    EXPECT_TRUE(bus.Urbs().empty());
    ASSERT_EQ(Pnp(IRP_MN_CANCEL_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(Control(device, IOCTL_USBCVT_VENDOR_REQUEST, {1}).status, STATUS_SUCCESS);
    EXPECT_EQ(ext()->pendingIoCount, 1);
}

}  // namespace
