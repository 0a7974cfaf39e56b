// iso_test.cpp - isochronous transfers through the hub and the test device.
#include "usb_harness.hpp"

using namespace usbtest;
using namespace world;

namespace {

class IsoTest : public UsbTest {
protected:
    void SetUp() override
    {
        device = std::make_shared<IsoDevice>();
        pdo = hub.Plug(device);
        config = Configure(pdo, device->configurationDescriptor());
        ASSERT_EQ(config.status, STATUS_SUCCESS);
    }

    // An isochronous URB of `packets` packets of `packetSize` bytes over `length` bytes.
    std::vector<uint8_t> MakeIso(size_t pipe, bool in, Buffer &buffer, ULONG length, ULONG packetSize,
                                 ULONG flags, ULONG startFrame = 0)
    {
        ULONG packets = (length + packetSize - 1) / packetSize;
        std::vector<uint8_t> storage(GET_ISO_URB_SIZE(packets));
        auto u = reinterpret_cast<_URB_ISOCH_TRANSFER *>(storage.data());
        u->Hdr.Length = USHORT(storage.size());
        u->Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
        u->PipeHandle = config.pipe(pipe);
        u->TransferFlags = flags | (in ? USBD_TRANSFER_DIRECTION_IN : 0);
        u->TransferBufferMDL = buffer.mdl();
        u->TransferBufferLength = length;
        u->StartFrame = startFrame;
        u->NumberOfPackets = packets;
        for (ULONG i = 0; i < packets; ++i)
            u->IsoPacket[i].Offset = i * packetSize;
        return storage;
    }
    static _URB_ISOCH_TRANSFER &Iso(std::vector<uint8_t> &s) { return *reinterpret_cast<_URB_ISOCH_TRANSFER *>(s.data()); }

    std::shared_ptr<IsoDevice> device;
    PDEVICE_OBJECT pdo = nullptr;
    Configured config;
};

}  // namespace

TEST_F(IsoTest, PipesAreIsochronous)
{
    EXPECT_EQ(config.info().Pipes[0].PipeType, UsbdPipeTypeIsochronous);
    EXPECT_EQ(config.info().Pipes[0].MaximumPacketSize, 8);
}

TEST_F(IsoTest, InTransferFillsEachPacketInConsecutiveFrames)
{
    std::vector<uint8_t> feed(20);
    for (int i = 0; i < 20; ++i)
        feed[i] = uint8_t(100 + i);
    device->Feed(feed);
    Buffer in(24);
    auto s = MakeIso(0, true, in, 24, 8, USBD_START_ISO_TRANSFER_ASAP);
    ASSERT_EQ(Call(pdo, reinterpret_cast<PURB>(s.data())), STATUS_SUCCESS);
    _URB_ISOCH_TRANSFER &u = Iso(s);
    EXPECT_EQ(u.Hdr.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(u.TransferBufferLength, 20u) << "bytes moved";
    EXPECT_EQ(u.IsoPacket[0].Length, 8u);
    EXPECT_EQ(u.IsoPacket[1].Length, 8u);
    EXPECT_EQ(u.IsoPacket[2].Length, 4u);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(u.IsoPacket[i].Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(u.ErrorCount, 0u);
    EXPECT_EQ(in.bytes(20), feed);
    auto frames = device->inFrames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0], u.StartFrame) << "ASAP reports the frame it chose";
    EXPECT_EQ(frames[1], frames[0] + 1);
    EXPECT_EQ(frames[2], frames[0] + 2);
}

TEST_F(IsoTest, OutTransferDeliversOnePacketPerFrame)
{
    Buffer out(17);
    for (int i = 0; i < 17; ++i)
        out.data()[i] = uint8_t(i);
    auto s = MakeIso(1, false, out, 17, 8, USBD_START_ISO_TRANSFER_ASAP);
    ASSERT_EQ(Call(pdo, reinterpret_cast<PURB>(s.data())), STATUS_SUCCESS);
    EXPECT_EQ(Iso(s).TransferBufferLength, 17u);
    auto packets = device->outPackets();
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(packets[0].bytes.size(), 8u);
    EXPECT_EQ(packets[2].bytes, std::vector<uint8_t>{16});
    EXPECT_EQ(packets[1].frame, packets[0].frame + 1);
}

TEST_F(IsoTest, StartFrameAheadIsKeptAndOneOutOfRangeIsRefused)
{
    Buffer in(8);
    ULONG now = ULONG(hub.frame());
    auto ahead = MakeIso(0, true, in, 8, 8, 0, now + 20);
    ASSERT_EQ(Call(pdo, reinterpret_cast<PURB>(ahead.data())), STATUS_SUCCESS);
    EXPECT_EQ(device->inFrames().back(), Frame(now + 20));

    auto past = MakeIso(0, true, in, 8, 8, 0, ULONG(hub.frame()) - 5);
    EXPECT_EQ(Call(pdo, reinterpret_cast<PURB>(past.data())), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Iso(past).Hdr.Status, USBD_STATUS_BAD_START_FRAME);
    auto far = MakeIso(0, true, in, 8, 8, 0, ULONG(hub.frame()) + 5000);
    EXPECT_EQ(Call(pdo, reinterpret_cast<PURB>(far.data())), STATUS_UNSUCCESSFUL);
}

TEST_F(IsoTest, MalformedIsochronousRequestsAreRefused)
{
    Buffer out(32);
    auto big = MakeIso(1, false, out, 32, 16, USBD_START_ISO_TRANSFER_ASAP);  // 16-byte OUT packets
    EXPECT_EQ(Call(pdo, reinterpret_cast<PURB>(big.data())), STATUS_INVALID_PARAMETER);
    auto wrongWay = MakeIso(1, true, out, 8, 8, USBD_START_ISO_TRANSFER_ASAP);
    EXPECT_EQ(Call(pdo, reinterpret_cast<PURB>(wrongWay.data())), STATUS_INVALID_PARAMETER);
    auto cut = MakeIso(0, true, out, 32, 8, USBD_START_ISO_TRANSFER_ASAP);
    Iso(cut).Hdr.Length = USHORT(FIELD_OFFSET(_URB_ISOCH_TRANSFER, IsoPacket) + sizeof(USBD_ISO_PACKET_DESCRIPTOR));
    EXPECT_EQ(Call(pdo, reinterpret_cast<PURB>(cut.data())), STATUS_INVALID_PARAMETER)
        << "the URB is too short for its packets";
    EXPECT_TRUE(device->outPackets().empty());
}

TEST_F(IsoTest, ResetPipeOnAnIsochronousPipeSendsNothingToTheDevice)
{
    auto reset = PipeUrb(URB_FUNCTION_RESET_PIPE, config.pipe(0));
    EXPECT_EQ(Call(pdo, AsUrb(reset.get())), STATUS_SUCCESS);
    EXPECT_EQ(device->controlRequests().size(), 1u) << "only SET_CONFIGURATION";
}
