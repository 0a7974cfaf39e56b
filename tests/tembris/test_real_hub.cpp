// test_real_hub.cpp - tembris on the world's USB hub with the converter model
// (and the isochronous test device): the transfers, vendor commands and
// removals as real hardware would see them.
#include "tembris_test.hpp"

#include <usb/converter.hpp>
#include <usb/hub.hpp>
#include <usb/iso_device.hpp>
#include <usb/peers.hpp>

#include <chrono>

using namespace tembris_test;
using namespace std::chrono_literals;

namespace {

class RealHub : public testing_support::KernelTest {
protected:
    void Plug(std::shared_ptr<world::UsbDevice> device)
    {
        pdo = hub.Plug(std::move(device));
        ASSERT_NE(pdo, nullptr);
        node = std::make_unique<world::DevNode>(pdo, u"USB\\VID_FFFE&PID_0001\\6&1");
        std::string error;
        tembris = world::DriverModule::Load(TEMBRIS_MODULE_PATH, u"tembris", &error);
        ASSERT_TRUE(tembris) << error;
        ASSERT_EQ(node->AddDevices(tembris.get()), STATUS_SUCCESS);
        fdo = node->top();
        ASSERT_EQ(node->Start(), STATUS_SUCCESS);
    }

    void PlugConverter(std::shared_ptr<world::SerialPeer> peer = nullptr, world::ConverterOptions options = {})
    {
        converter = std::make_shared<world::ConverterDevice>(1, options);
        if (peer)
            converter->Connect(std::move(peer));
        Plug(converter);
    }

    ~RealHub() override
    {
        for (PFILE_OBJECT file : files)
            platform::CloseDevice(file);
        if (fdo)
            node->SendPnp(IRP_MN_REMOVE_DEVICE);
        if (tembris)
            tembris->Unload();
        node.reset();
        if (pdo)
            hub.DeletePdo(pdo);
    }

    PFILE_OBJECT OpenPipe(std::u16string_view name)
    {
        PFILE_OBJECT file = nullptr;
        EXPECT_EQ(platform::OpenDevice(fdo, name, &file), STATUS_SUCCESS);
        if (file)
            files.push_back(file);
        return file;
    }

    std::unique_ptr<Transfer> Read(PFILE_OBJECT file, ULONG length, LONGLONG offset = 0)
    {
        return SendTransfer(fdo, IRP_MJ_READ, file, std::vector<uint8_t>(length, 0), offset);
    }

    std::unique_ptr<Transfer> Write(PFILE_OBJECT file, std::vector<uint8_t> bytes, LONGLONG offset = 0)
    {
        return SendTransfer(fdo, IRP_MJ_WRITE, file, std::move(bytes), offset);
    }

    ConverterExtension *ext() const { return CvtExtension(fdo); }

    world::UsbHub hub;
    std::shared_ptr<world::ConverterDevice> converter;
    PDEVICE_OBJECT pdo = nullptr;
    std::unique_ptr<world::DevNode> node;
    std::unique_ptr<world::DriverModule> tembris;
    PDEVICE_OBJECT fdo = nullptr;
    std::vector<PFILE_OBJECT> files;
};

TEST_F(RealHub, ConverterStartsWithItsThreePipes)
{
    PlugConverter();
    PUSBD_INTERFACE_INFORMATION info = ext()->usbConfiguration->interfaceInformation;
    ASSERT_EQ(info->NumberOfPipes, 3u);
    EXPECT_EQ(info->Pipes[0].EndpointAddress, world::ConverterDevice::kBulkOut);
    EXPECT_EQ(info->Pipes[0].PipeType, UsbdPipeTypeBulk);
    EXPECT_EQ(info->Pipes[1].EndpointAddress, world::ConverterDevice::kBulkIn);
    EXPECT_EQ(info->Pipes[2].EndpointAddress, world::ConverterDevice::kStatusIn);
    EXPECT_EQ(info->Pipes[2].PipeType, UsbdPipeTypeInterrupt);
    EXPECT_EQ(info->Pipes[1].MaximumTransferSize, 102400u);
    EXPECT_NE(converter->configurationValue(), 0) << "configured";
}

TEST_F(RealHub, VendorCommandsReachTheFirmwareAndMalformedOnesFail)
{
    PlugConverter();
    PFILE_OBJECT device = OpenPipe(u"");
    EXPECT_EQ(SendControl(fdo, device, IOCTL_USBCVT_VENDOR_REQUEST, {0x01, 0x03}, 0).status, STATUS_SUCCESS);
    EXPECT_TRUE(converter->lineState().rts);
    EXPECT_TRUE(converter->lineState().dtr);

    EXPECT_FALSE(NT_SUCCESS(SendControl(fdo, device, IOCTL_USBCVT_VENDOR_REQUEST, {0x00, 0x40}, 0).status))
        << "a reserved bit makes the firmware stall";
    EXPECT_EQ(converter->lineState().rejectedCommands, 1u);
    EXPECT_EQ(converter->vendorRequests().size(), 2u);
}

TEST_F(RealHub, BytesWrittenComeBackThroughALoopbackPlug)
{
    PlugConverter(std::make_shared<world::LoopbackPlug>());
    PFILE_OBJECT tx = OpenPipe(u"PIPE00");
    PFILE_OBJECT rx = OpenPipe(u"PIPE01");
    const std::vector<uint8_t> sent = {'h', 'e', 'l', 'l', 'o'};
    auto write = Write(tx, sent);
    ASSERT_EQ(WaitTransfer(*write), STATUS_SUCCESS);
    EXPECT_EQ(write->iosb.Information, sent.size());

    std::vector<uint8_t> received;
    for (int i = 0; i < 20 && received.size() < sent.size(); ++i) {
        auto read = Read(rx, 64);
        ASSERT_EQ(WaitTransfer(*read), STATUS_SUCCESS);
        received.insert(received.end(), read->buffer.begin(), read->buffer.begin() + read->iosb.Information);
    }
    EXPECT_EQ(received, sent);
}

TEST_F(RealHub, IdleReadEndsWithZeroBytesAndStatusReadWithOne)
{
    PlugConverter();
    PFILE_OBJECT rx = OpenPipe(u"PIPE01");
    PFILE_OBJECT status = OpenPipe(u"PIPE02");
    auto read = Read(rx, 64);
    EXPECT_EQ(read->dispatchStatus, STATUS_PENDING);
    EXPECT_EQ(WaitTransfer(*read), STATUS_SUCCESS);
    EXPECT_EQ(read->iosb.Information, 0u) << "the latency timer ends an idle read";

    auto line = Read(status, 1);
    EXPECT_EQ(WaitTransfer(*line), STATUS_SUCCESS);
    EXPECT_EQ(line->iosb.Information, 1u);
}

TEST_F(RealHub, UnplugEndsTheOutstandingReadAndTheStackGoesCleanly)
{
    PlugConverter();
    converter->HoldTransfers(world::ConverterDevice::kBulkIn, true);  // the read stays in the bus
    PFILE_OBJECT rx = OpenPipe(u"PIPE01");
    auto read = Read(rx, 64);
    ASSERT_TRUE(hub.WaitPending(pdo, world::ConverterDevice::kBulkIn, 1, 2s));
    hub.Unplug(pdo);
    EXPECT_EQ(WaitTransfer(*read), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(node->SendPnp(IRP_MN_SURPRISE_REMOVAL).status, STATUS_SUCCESS);
    EXPECT_EQ(testing_support::DebugCount("IRP was canceled"), 0u) << "the completion cleared it";
    EXPECT_EQ(platform::CloseDevice(rx), STATUS_SUCCESS);
    files.clear();
    EXPECT_EQ(node->SendPnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    fdo = nullptr;
}

TEST_F(RealHub, SurpriseRemovalCancelsTheReadInTheBus)
{
    PlugConverter();
    converter->HoldTransfers(world::ConverterDevice::kBulkIn, true);  // the read stays in the bus
    PFILE_OBJECT rx = OpenPipe(u"PIPE01");
    auto read = Read(rx, 64);
    ASSERT_TRUE(hub.WaitPending(pdo, world::ConverterDevice::kBulkIn, 1, 2s));
    EXPECT_EQ(node->SendPnp(IRP_MN_SURPRISE_REMOVAL).status, STATUS_SUCCESS);
    EXPECT_EQ(WaitTransfer(*read), STATUS_CANCELLED);
    EXPECT_EQ(testing_support::DebugCount("(((IRP was canceled.)))"), 1u);
}

TEST_F(RealHub, RemoveAbortsTheReadBeforeTheDeviceGoes)
{
    PlugConverter();
    converter->HoldTransfers(world::ConverterDevice::kBulkIn, true);  // the read stays in the bus
    PFILE_OBJECT rx = OpenPipe(u"PIPE01");
    auto read = Read(rx, 64);
    ASSERT_TRUE(hub.WaitPending(pdo, world::ConverterDevice::kBulkIn, 1, 2s));
    EXPECT_EQ(node->SendPnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    fdo = nullptr;
    EXPECT_EQ(WaitTransfer(*read), STATUS_CANCELLED);
    EXPECT_EQ(tembris->driver()->DeviceObject, nullptr);
}

TEST_F(RealHub, ResetDeviceResetsADisabledPort)
{
    PlugConverter();
    PFILE_OBJECT device = OpenPipe(u"");
    EXPECT_EQ(SendControl(fdo, device, IOCTL_USBCVT_RESET_DEVICE, {}, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(hub.portResets(pdo), 0u);
    hub.SetPortEnabled(pdo, false);
    EXPECT_EQ(SendControl(fdo, device, IOCTL_USBCVT_RESET_DEVICE, {}, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(hub.portResets(pdo), 1u);
}

TEST_F(RealHub, StalledPipeWorksAgainAfterAPipeReset)
{
    PlugConverter(std::make_shared<world::LoopbackPlug>());
    PFILE_OBJECT tx = OpenPipe(u"PIPE00");
    converter->StallEndpoint(world::ConverterDevice::kBulkOut);
    auto write = Write(tx, {1});
    EXPECT_FALSE(NT_SUCCESS(WaitTransfer(*write)));
    EXPECT_EQ(SendControl(fdo, tx, IOCTL_USBCVT_RESET_PIPE, {}, 0).status, STATUS_SUCCESS);
    write = Write(tx, {2});
    EXPECT_EQ(WaitTransfer(*write), STATUS_SUCCESS);
}

TEST_F(RealHub, IsochronousTransfersMovePacketsEachFrame)
{
    auto iso = std::make_shared<world::IsoDevice>();
    Plug(iso);
    PFILE_OBJECT in = OpenPipe(u"PIPE00");
    PFILE_OBJECT out = OpenPipe(u"PIPE01");

    auto write = Write(out, std::vector<uint8_t>(17, 0x5A));
    ASSERT_EQ(WaitTransfer(*write), STATUS_SUCCESS);
    auto packets = iso->outPackets();
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(packets[2].bytes.size(), 1u);

    const std::vector<uint8_t> fed = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    iso->Feed(fed);
    auto read = Read(in, 16);
    ASSERT_EQ(WaitTransfer(*read), STATUS_SUCCESS);
    EXPECT_EQ(std::vector<uint8_t>(read->buffer.begin(), read->buffer.begin() + 10), fed);
}

}  // namespace
