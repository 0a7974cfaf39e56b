// test_config.cpp - tembris device start: descriptors, select configuration,
// the pipe table, and the un-configuration at stop.
#include "tembris_test.hpp"

#include <chrono>
#include <cstring>
#include <thread>

using namespace tembris_test;

namespace {

using Configuration = TembrisTest;

std::optional<NTSTATUS> FailDescriptor(const UrbRecord &u, UCHAR type, NTSTATUS status)
{
    if (u.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE && u.descriptorType == type)
        return status;
    return std::nullopt;
}

std::vector<ULONG> ConfigRequestLengths(const UsbBusStub &bus)
{
    std::vector<ULONG> lengths;
    for (const UrbRecord &u : bus.Urbs(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE)) {
        if (u.descriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE)
            lengths.push_back(u.transferBufferLength);
    }
    return lengths;
}

TEST_F(Configuration, StartReadsTheDescriptorsAndSelectsTheFirstInterface)
{
    ASSERT_EQ(AddAndStart(), STATUS_SUCCESS);
    EXPECT_TRUE(ext()->deviceStarted);

    auto urbs = bus.Urbs();
    ASSERT_EQ(urbs.size(), 3u);
    EXPECT_EQ(urbs[0].function, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    EXPECT_EQ(urbs[0].descriptorType, USB_DEVICE_DESCRIPTOR_TYPE);
    EXPECT_EQ(urbs[0].transferBufferLength, 18u);
    EXPECT_EQ(urbs[0].length, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    EXPECT_TRUE(urbs[0].hasBuffer);
    EXPECT_FALSE(urbs[0].hasMdl);
    EXPECT_EQ(urbs[1].descriptorType, USB_CONFIGURATION_DESCRIPTOR_TYPE);
    EXPECT_EQ(urbs[1].transferBufferLength, 521u);
    EXPECT_EQ(urbs[2].function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_FALSE(urbs[2].nullConfiguration);

    UsbConfiguration *c = ext()->usbConfiguration;
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(std::memcmp(c->deviceDescriptor, bus.deviceDescriptor.data(), 18), 0);
    EXPECT_EQ(std::memcmp(c->configurationDescriptor, bus.configDescriptor.data(), bus.configDescriptor.size()), 0);
    EXPECT_EQ(c->configurationHandle, reinterpret_cast<USBD_CONFIGURATION_HANDLE>(0xC0F1));
    ASSERT_NE(c->interfaceInformation, nullptr);
    ASSERT_EQ(c->interfaceInformation->NumberOfPipes, 3u);
    for (ULONG i = 0; i < 3; ++i) {
        const USBD_PIPE_INFORMATION &p = c->interfaceInformation->Pipes[i];
        EXPECT_EQ(p.MaximumTransferSize, 102400u);
        EXPECT_EQ(p.PipeFlags, 0u);
        EXPECT_EQ(p.PipeHandle, UsbBusStub::PipeHandle(i));
        EXPECT_EQ(c->pipeContexts[i].pipeInformation, &c->interfaceInformation->Pipes[i]);
    }
    EXPECT_EQ(platform::PoolByTag()["Wdm "].blocks, 5u) << "record, two descriptors, interface copy, pipe table";
}

TEST_F(Configuration, DescriptorOf521BytesIsReadWithOneRequest)
{
    bus.configDescriptor = ConfigurationDescriptor(bus.endpoints, 521 - 39);
    ASSERT_EQ(bus.configDescriptor.size(), 521u);
    ASSERT_EQ(AddAndStart(), STATUS_SUCCESS);
    EXPECT_EQ(ConfigRequestLengths(bus), std::vector<ULONG>({521}));
}

TEST_F(Configuration, LongerDescriptorIsReadAgainWithItsTotalLength)
{
    bus.configDescriptor = ConfigurationDescriptor(bus.endpoints, 600);
    ASSERT_EQ(AddAndStart(), STATUS_SUCCESS);
    EXPECT_EQ(ConfigRequestLengths(bus), std::vector<ULONG>({521, 639}));
    EXPECT_EQ(std::memcmp(ext()->usbConfiguration->configurationDescriptor, bus.configDescriptor.data(), 639), 0);
}

TEST_F(Configuration, DescriptorOfZeroBytesIsNotAskedAgainAndFailsTheStart)
{
    bus.configDescriptorReturnsNothing = true;
    EXPECT_EQ(AddAndStart(), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(ConfigRequestLengths(bus).size(), 1u);
    EXPECT_TRUE(bus.Urbs(URB_FUNCTION_SELECT_CONFIGURATION).empty()) << "nothing to select from";
    EXPECT_FALSE(ext()->deviceStarted);
}

TEST_F(Configuration, TruncatedDescriptorFailsTheStart)
{
    bus.configDescriptor.resize(bus.configDescriptor.size() - 1);  // wTotalLength still claims all
    EXPECT_EQ(AddAndStart(), STATUS_DEVICE_DATA_ERROR);
    EXPECT_TRUE(bus.Urbs(URB_FUNCTION_SELECT_CONFIGURATION).empty());
}

TEST_F(Configuration, TotalLengthShorterThanTheDescriptorItselfFailsTheStart)
{
    bus.configDescriptor[2] = 8;  // wTotalLength 8: less than its own 9 bytes
    bus.configDescriptor[3] = 0;
    EXPECT_EQ(AddAndStart(), STATUS_DEVICE_DATA_ERROR);
    EXPECT_TRUE(bus.Urbs(URB_FUNCTION_SELECT_CONFIGURATION).empty());
}

// The bus starts the device first; a start it pends is configured only once
// the bus has finished it.
TEST_F(Configuration, StartThatTheBusPendsIsConfiguredAfterIt)
{
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    bus.scripted().Queue(IRP_MJ_PNP, testing_support::Answer::Pend());
    NTSTATUS status = STATUS_PENDING;
    std::thread start([&] { status = Pnp(IRP_MN_START_DEVICE).status; });
    ASSERT_TRUE(bus.scripted().WaitForPending(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(bus.Urbs().empty()) << "configured before the bus had started the device";
    ASSERT_TRUE(bus.scripted().CompletePending(testing_support::Answer::Complete(STATUS_SUCCESS),
                                               testing_support::CompleteFrom::OtherDispatch));
    start.join();
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(bus.Urbs(URB_FUNCTION_SELECT_CONFIGURATION).size(), 1u);
    EXPECT_TRUE(ext()->deviceStarted);
}

TEST_F(Configuration, FailedRequestsFailTheStartWithTheirStatus)
{
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);

    bus.fault = [](const UrbRecord &u) { return FailDescriptor(u, USB_DEVICE_DESCRIPTOR_TYPE, STATUS_IO_TIMEOUT); };
    EXPECT_EQ(Pnp(IRP_MN_START_DEVICE).status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(ext()->usbConfiguration, nullptr);

    bus.fault = [](const UrbRecord &u) {
        return FailDescriptor(u, USB_CONFIGURATION_DESCRIPTOR_TYPE, STATUS_DEVICE_DATA_ERROR);
    };
    EXPECT_EQ(Pnp(IRP_MN_START_DEVICE).status, STATUS_DEVICE_DATA_ERROR);
    EXPECT_TRUE(bus.Urbs(URB_FUNCTION_SELECT_CONFIGURATION).empty());

    bus.fault = [](const UrbRecord &u) -> std::optional<NTSTATUS> {
        if (u.function == URB_FUNCTION_SELECT_CONFIGURATION)
            return STATUS_DEVICE_NOT_CONNECTED;
        return std::nullopt;
    };
    EXPECT_EQ(Pnp(IRP_MN_START_DEVICE).status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(ext()->deviceStarted);
    ASSERT_NE(ext()->usbConfiguration, nullptr);
    EXPECT_EQ(ext()->usbConfiguration->interfaceInformation, nullptr) << "an interface the bus never selected";

    // The records of the failed starts are replaced, not leaked.
    bus.fault = nullptr;
    EXPECT_EQ(Pnp(IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
    EXPECT_TRUE(ext()->deviceStarted);
}

TEST_F(Configuration, DeviceTheBusWouldNotStartIsNotConfigured)
{
    bus.startStatus = STATUS_INSUFFICIENT_RESOURCES;
    EXPECT_EQ(AddAndStart(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(bus.Urbs().empty());
    EXPECT_FALSE(ext()->deviceStarted);
}

// Each allocation of the start fails in turn.  A start that cannot copy the
// interface information or build the pipe table fails: a started device
// always has pipes that can be opened.
TEST_F(Configuration, AllocationFailuresDuringStart)
{
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    bool sawNoInterfaceCopy = false;
    bool sawNoPipeTable = false;
    for (uint64_t n = 1; n <= 14; ++n) {
        beforeSend = [n] { platform::FailAllocationNumber(n); };
        NTSTATUS status = Pnp(IRP_MN_START_DEVICE).status;
        beforeSend = nullptr;
        platform::ClearAllocationFaults();
        if (!NT_SUCCESS(status)) {
            EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << "allocation " << n;
            EXPECT_FALSE(ext()->deviceStarted) << "allocation " << n;
            UsbConfiguration *c = ext()->usbConfiguration;
            if (c != nullptr && c->configurationHandle != nullptr) {
                sawNoInterfaceCopy |= c->interfaceInformation == nullptr;
                sawNoPipeTable |= c->interfaceInformation != nullptr && c->pipeContexts == nullptr;
            }
            continue;
        }
        UsbConfiguration *c = ext()->usbConfiguration;
        ASSERT_NE(c, nullptr);
        EXPECT_NE(c->interfaceInformation, nullptr) << "allocation " << n;
        EXPECT_NE(c->pipeContexts, nullptr) << "allocation " << n;
        EXPECT_EQ(Pnp(IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
        EXPECT_EQ(Pnp(IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
    }
    EXPECT_TRUE(sawNoInterfaceCopy);
    EXPECT_TRUE(sawNoPipeTable);
}

TEST_F(Configuration, InterfaceWithoutPipesRefusesEveryPipeNumber)
{
    bus.endpoints.clear();
    bus.configDescriptor = ConfigurationDescriptor(bus.endpoints);
    ASSERT_EQ(AddAndStart(), STATUS_SUCCESS);
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(Open(u"PIPE00", &file), STATUS_INVALID_HANDLE);
    EXPECT_EQ(Open(u"", &file), STATUS_SUCCESS);
}

TEST_F(Configuration, StopUnconfiguresAndTheNextStartReadsEverythingAgain)
{
    ASSERT_EQ(AddAndStart(), STATUS_SUCCESS);
    EXPECT_EQ(Pnp(IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
    bus.ClearUrbs();
    EXPECT_EQ(Pnp(IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
    ASSERT_EQ(bus.Urbs().size(), 1u);
    EXPECT_TRUE(bus.Urbs()[0].nullConfiguration);
    EXPECT_EQ(bus.Urbs()[0].length, sizeof(struct _URB_SELECT_CONFIGURATION));
    EXPECT_EQ(ext()->usbConfiguration, nullptr);
    EXPECT_FALSE(ext()->deviceStarted);
    EXPECT_EQ(platform::PoolByTag()["Wdm "].blocks, 0u);

    bus.ClearUrbs();
    ASSERT_EQ(Pnp(IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(bus.Urbs(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE).size(), 2u);
    EXPECT_EQ(bus.Urbs(URB_FUNCTION_SELECT_CONFIGURATION).size(), 1u);

    // Pipe numbers keep their meaning: pipe 1 is still the bulk IN pipe.
    PFILE_OBJECT file = OpenPipe(u"PIPE01");
    ASSERT_NE(file, nullptr);
    auto info = Control(file, IOCTL_USBCVT_GET_PIPE_INFO, {}, USBCVT_PIPE_RECORD_SIZE);
    ASSERT_EQ(info.status, STATUS_SUCCESS);
    EXPECT_EQ(info.output[USBCVT_PIPE_RECORD_ENDPOINT_ADDRESS], 0x82);
}

}  // namespace
