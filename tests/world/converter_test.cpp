// converter_test.cpp - the converter model: its command interpreter per
// variant, its line-status pipe, its peers and pacing.
#include "usb_harness.hpp"

using namespace usbtest;
using namespace world;

namespace {

class ConverterTest : public UsbTest {
protected:
    PDEVICE_OBJECT Plug(int variant, ConverterOptions options = {})
    {
        converter = std::make_shared<ConverterDevice>(variant, options);
        pdo = hub.Plug(converter);
        config = Configure(pdo, converter->configurationDescriptor());
        return pdo;
    }
    NTSTATUS Command(std::vector<uint8_t> bytes, USBD_STATUS *usbd = nullptr)
    {
        auto u = VendorUrb(bytes);
        NTSTATUS s = Call(pdo, AsUrb(u.get()));
        if (usbd)
            *usbd = u->Hdr.Status;
        return s;
    }
    uint8_t ReadStatus(Frame *answeredAt = nullptr)
    {
        Buffer b(1, 0xEE);
        auto u = BulkUrb(config.pipe(2), true, b, 1);
        EXPECT_EQ(Call(pdo, AsUrb(u.get())), STATUS_SUCCESS);
        EXPECT_EQ(u->TransferBufferLength, 1u);
        if (answeredAt)
            *answeredAt = hub.urbs(pdo).back().frame;
        return b.data()[0];
    }

    std::shared_ptr<ConverterDevice> converter;
    PDEVICE_OBJECT pdo = nullptr;
    Configured config;
};

struct CommandCase {
    int variant;
    std::vector<uint8_t> bytes;
    bool accepted;
    LineSettings settings;  // expected when accepted
};

LineSettings L(uint32_t baud, uint8_t data, Parity parity, uint8_t stop, bool flag = false)
{
    return {baud, data, parity, stop, flag};
}

}  // namespace

TEST_F(ConverterTest, LineSettingCommandsAreCheckedAgainstTheVariant)
{
    const CommandCase cases[] = {
        {1, {0x00, 0x04}, true, L(9600, 8, Parity::None, 1)},
        {1, {0x00, 0x99}, true, L(19200, 7, Parity::Even, 2, true)},
        {2, {0x00, 0x27}, true, L(115200, 8, Parity::Odd, 1)},
        {3, {0x00, 0x04, 0x21}, true, L(9600, 8, Parity::None, 1, true)},
        {3, {0x00, 0x07, 0x0A}, true, L(76800, 7, Parity::Odd, 2)},
        {3, {0x00, 0x00, 0x05}, true, L(600, 8, Parity::Even, 1)},
        {1, {0x00, 0x44}, false, {}},        // reserved bit 0x40
        {1, {0x00, 0x34}, false, {}},        // both parity bits
        {1, {0x00}, false, {}},              // too short
        {1, {0x00, 0x04, 0x00}, false, {}},  // the variant 3 form
        {3, {0x00, 0x04}, false, {}},        // the variant 1 form
        {3, {0x00, 0x09, 0x01}, false, {}},  // baud code out of range
        {3, {0x00, 0x04, 0x11}, false, {}},  // reserved bit 0x10
        {3, {0x00, 0x04, 0x41}, false, {}},  // reserved bits 0xC0
        {3, {0x00, 0x04, 0x0D}, false, {}},  // both parity bits
        {2, {0x02, 0x00}, false, {}},        // unknown command
        {2, {}, false, {}},                  // no command at all
        {0, {0x00, 0x04}, false, {}},        // variant 0 takes no commands
    };
    for (const CommandCase &c : cases) {
        SCOPED_TRACE(::testing::Message() << "variant " << c.variant << ", " << c.bytes.size() << " bytes");
        Plug(c.variant);
        // A non-default starting point, so that "changes nothing" shows.
        if (c.variant == 1 || c.variant == 2) {
            ASSERT_EQ(Command({0x00, 0x0A}), STATUS_SUCCESS);  // 38400 7N2
        }
        LineSettings before = converter->settings();
        USBD_STATUS usbd;
        NTSTATUS status = Command(c.bytes, &usbd);
        if (c.accepted) {
            EXPECT_EQ(status, STATUS_SUCCESS);
            EXPECT_EQ(converter->settings(), c.settings) << ToString(converter->settings());
        } else {
            EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
            EXPECT_EQ(usbd, USBD_STATUS_STALL_PID);
            EXPECT_EQ(converter->settings(), before);
            EXPECT_TRUE(converter->vendorRequests().back().stalled);
        }
        hub.DeletePdo(pdo);
    }
}

TEST_F(ConverterTest, VendorRequestIsRecordedWithSetupAndData)
{
    Plug(1);
    ASSERT_EQ(Command({0x01, 0x03}), STATUS_SUCCESS);
    auto v = converter->vendorRequests();
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].setup.bytes(), (std::array<uint8_t, 8>{0x40, 0x0B, 0, 0, 0, 0, 2, 0}));
    EXPECT_EQ(v[0].data, (std::vector<uint8_t>{0x01, 0x03}));
    EXPECT_EQ(hub.urbs(pdo).back().length, 2u);

    // A client that toggles a line for hours does not grow the record: the
    // first requests are kept, the rest counted; the URB log keeps the
    // newest.
    hub.SetUrbLogLimit(16);
    const size_t before = converter->controlRequests().size();
    for (size_t i = before; i < UsbDevice::kControlRecordsKept + 10; ++i)
        ASSERT_EQ(Command({0x01, uint8_t(i & 3)}), STATUS_SUCCESS);
    EXPECT_EQ(converter->controlRequests().size(), UsbDevice::kControlRecordsKept);
    EXPECT_EQ(converter->controlRequestsLeftOut(), 10u);
    EXPECT_EQ(converter->lineState().modemControlCommands, UsbDevice::kControlRecordsKept + 10 - before + 1)
        << "every command was still carried out";
    EXPECT_EQ(hub.urbs(pdo).size(), 16u);

    // The log keeps the newest, oldest first, each completed, through a
    // lower limit and a higher one again.
    hub.SetUrbLogLimit(4);
    ASSERT_EQ(Command({0x01, 0x00}), STATUS_SUCCESS);
    EXPECT_EQ(hub.urbs(pdo).size(), 4u);
    hub.SetUrbLogLimit(16);
    for (int i = 0; i < 21; ++i)
        ASSERT_EQ(Command({0x01, uint8_t(i & 3)}), STATUS_SUCCESS);
    std::vector<UrbRecord> kept = hub.urbs(pdo);
    ASSERT_EQ(kept.size(), 16u);
    for (size_t i = 0; i < kept.size(); ++i) {
        EXPECT_EQ(kept[i].function, URB_FUNCTION_VENDOR_DEVICE) << i;
        EXPECT_EQ(kept[i].status, USBD_STATUS_SUCCESS) << i;
        if (i) {
            EXPECT_GE(kept[i].frame, kept[i - 1].frame) << i;
        }
    }
}

TEST_F(ConverterTest, ModemControlDrivesTheLoopbackInputs)
{
    Plug(2);
    converter->Connect(std::make_shared<LoopbackPlug>());
    EXPECT_EQ(ReadStatus(), 0x00);
    ASSERT_EQ(Command({0x01, 0x01}), STATUS_SUCCESS);  // RTS
    EXPECT_EQ(ReadStatus(), 0x01);                     // CTS
    ASSERT_EQ(Command({0x01, 0x02}), STATUS_SUCCESS);  // DTR only
    EXPECT_EQ(ReadStatus(), 0x06);                     // DSR + DCD
    EXPECT_EQ(Command({0x01, 0x04}), STATUS_UNSUCCESSFUL) << "reserved bit";
    ConverterLineState s = converter->lineState();
    EXPECT_FALSE(s.rts);
    EXPECT_TRUE(s.dtr);
    EXPECT_EQ(s.modemControlCommands, 2u);
    EXPECT_EQ(s.rejectedCommands, 1u);
}

TEST_F(ConverterTest, StatusByteCarriesThePeersLinesIncludingRing)
{
    Plug(3);
    auto peer = std::make_shared<ScriptedPeer>();
    converter->Connect(peer);
    peer->SetLines({.cts = true, .dsr = false, .dcd = true, .ri = true});
    EXPECT_EQ(ReadStatus(), 0x0D);
    peer->SetLines({});
    EXPECT_EQ(ReadStatus(), 0x00);
}

TEST_F(ConverterTest, StatusReadsAreAnsweredOncePerPollingSlot)
{
    Plug(1, {.statusInterval = 4});
    Frame a, b, c;
    ReadStatus(&a);
    ReadStatus(&b);
    ReadStatus(&c);
    // Each read is answered in a frame that is a multiple of bInterval, a
    // different slot each time.
    auto urbs = hub.urbs(pdo);
    std::vector<Frame> answered;
    for (size_t k = urbs.size() - 3; k < urbs.size(); ++k)
        EXPECT_EQ(urbs[k].status, USBD_STATUS_SUCCESS);
    EXPECT_LT(a, b);
    EXPECT_LT(b, c);
    EXPECT_GE(hub.frame(), c + 1);
    EXPECT_EQ(converter->controlRequests().size(), 1u) << "only SET_CONFIGURATION";
}

TEST_F(ConverterTest, LoopbackReturnsWhatWasWritten)
{
    Plug(1, {.latencyFrames = 0});
    converter->Connect(std::make_shared<LoopbackPlug>());
    Buffer out(300), in(1024);
    for (int i = 0; i < 300; ++i)
        out.data()[i] = uint8_t(i);
    auto w = BulkUrb(config.pipe(0), false, out, 300);
    ASSERT_EQ(Call(pdo, AsUrb(w.get())), STATUS_SUCCESS);
    auto r = BulkUrb(config.pipe(1), true, in, 1024);
    ASSERT_EQ(Call(pdo, AsUrb(r.get())), STATUS_SUCCESS);
    ASSERT_EQ(r->TransferBufferLength, 300u);
    EXPECT_EQ(in.bytes(300), out.bytes(300));
}

TEST_F(ConverterTest, NullModemCrossesDataAndLines)
{
    auto a = std::make_shared<ConverterDevice>(1, ConverterOptions{.latencyFrames = 0});
    auto b = std::make_shared<ConverterDevice>(3, ConverterOptions{.latencyFrames = 0, .rxBufferSize = 4});
    NullModemCable::Connect(a, b);
    PDEVICE_OBJECT pa = hub.Plug(a), pb = hub.Plug(b);
    Configured ca = Configure(pa, a->configurationDescriptor());
    Configured cb = Configure(pb, b->configurationDescriptor());

    std::vector<uint8_t> rts = {0x01, 0x01};
    auto u = VendorUrb(rts);
    ASSERT_EQ(Call(pa, AsUrb(u.get())), STATUS_SUCCESS);
    EXPECT_EQ(b->lineState().statusByte, 0x01) << "a's RTS is b's CTS";
    std::vector<uint8_t> dtr = {0x01, 0x02};
    auto v = VendorUrb(dtr);
    ASSERT_EQ(Call(pb, AsUrb(v.get())), STATUS_SUCCESS);
    EXPECT_EQ(a->lineState().statusByte, 0x06) << "b's DTR is a's DSR and DCD";

    Buffer out(3), in(8);
    std::memcpy(out.data(), "xyz", 3);
    auto w = BulkUrb(ca.pipe(0), false, out, 3);
    ASSERT_EQ(Call(pa, AsUrb(w.get())), STATUS_SUCCESS);
    auto r = BulkUrb(cb.pipe(1), true, in, 8);
    ASSERT_EQ(Call(pb, AsUrb(r.get())), STATUS_SUCCESS);
    EXPECT_EQ(in.bytes(r->TransferBufferLength), (std::vector<uint8_t>{'x', 'y', 'z'}));

    // b can hold 4 bytes: the rest of a's 10 wait in the cable and a's next
    // write waits for them, until b's host reads.  Nothing is lost.
    Buffer ten(10), more(2), got(16);
    std::memcpy(ten.data(), "0123456789", 10);
    std::memcpy(more.data(), "AB", 2);
    auto w1 = BulkUrb(ca.pipe(0), false, ten, 10);
    ASSERT_EQ(Call(pa, AsUrb(w1.get())), STATUS_SUCCESS);
    auto w2 = BulkUrb(ca.pipe(0), false, more, 2);
    UrbRequest second(pa, AsUrb(w2.get()));
    EXPECT_FALSE(second.Wait(100ms)) << "a sent on although b was full";
    std::string received;
    while (received.size() < 12) {
        auto rr = BulkUrb(cb.pipe(1), true, got, 16);
        ASSERT_EQ(Call(pb, AsUrb(rr.get())), STATUS_SUCCESS);
        EXPECT_LE(rr->TransferBufferLength, 4u);
        received.append(reinterpret_cast<const char *>(got.data()), rr->TransferBufferLength);
    }
    EXPECT_EQ(received, "0123456789AB");
    EXPECT_TRUE(second.Wait());
    EXPECT_EQ(b->rxLostBytes(), 0u);
}

// 96 characters of 10 bits at 9600 baud take 100 ms of bus time.
TEST_F(ConverterTest, PacingMovesBytesAtTheConfiguredRate)
{
    Plug(1, {.pacing = true});
    auto peer = std::make_shared<ScriptedPeer>();
    converter->Connect(peer);
    ASSERT_EQ(Command({0x00, 0x04}), STATUS_SUCCESS);  // 9600 8N1
    Buffer out(96);
    auto w = BulkUrb(config.pipe(0), false, out, 96);
    Frame start = hub.frame();
    ASSERT_EQ(Call(pdo, AsUrb(w.get())), STATUS_SUCCESS) << "fits the transmit FIFO";
    ASSERT_TRUE(peer->WaitForBytes(96, 10s));
    EXPECT_GE(hub.frame(), start + 100);
    EXPECT_LE(hub.frame(), start + 110);
    EXPECT_EQ(peer->settings(), L(9600, 8, Parity::None, 1));
}

// Once armed, holds the next call in the peer until let go, as a peer that
// is slow to take bytes, or a thread preempted on its way in, does.
class HoldingPeer : public ScriptedPeer {
public:
    void OnTransmit(ConverterDevice &from, std::span<const uint8_t> bytes) override
    {
        {
            std::unique_lock lock(mutex_);
            if (std::exchange(armed_, false)) {
                entered_ = true;
                changed_.notify_all();
                changed_.wait_for(lock, 10s, [&] { return released_; });
            }
        }
        ScriptedPeer::OnTransmit(from, bytes);
    }
    void Arm()
    {
        std::lock_guard guard(mutex_);
        armed_ = true;
    }
    bool WaitEntered()
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] { return entered_; });
    }
    void Release()
    {
        std::lock_guard guard(mutex_);
        released_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool armed_ = false, entered_ = false, released_ = false;
};

// The frame clock hands paced bytes to the peer, which holds them; meanwhile
// pacing goes off on another thread and the rest moves at once.  They must
// not overtake those held.
TEST_F(ConverterTest, BytesHandedOverByTwoThreadsReachThePeerInOrder)
{
    hub.SetClockMode(ClockMode::Frames);  // 96 characters take 100 real milliseconds
    Plug(1, {.pacing = true});
    auto peer = std::make_shared<HoldingPeer>();
    converter->Connect(peer);
    ASSERT_EQ(Command({0x00, 0x04}), STATUS_SUCCESS);  // 9600 8N1: about a byte a frame
    Buffer out(96);
    for (int i = 0; i < 96; ++i)
        out.data()[i] = uint8_t(i);
    auto w = BulkUrb(config.pipe(0), false, out, 96);
    ASSERT_EQ(Call(pdo, AsUrb(w.get())), STATUS_SUCCESS);
    peer->Arm();
    bool entered = peer->WaitEntered();
    if (entered)
        converter->SetPacing(false);
    peer->Release();
    ASSERT_TRUE(entered);
    ASSERT_TRUE(peer->WaitForBytes(96, 10s));
    EXPECT_EQ(peer->received(), out.bytes(96));
}

TEST_F(ConverterTest, PacedWriteLargerThanTheFifoWaitsForRoom)
{
    Plug(1, {.pacing = true, .txFifoSize = 16});
    auto peer = std::make_shared<ScriptedPeer>();
    converter->Connect(peer);
    ASSERT_EQ(Command({0x00, 0x07}), STATUS_SUCCESS);  // 115200 8N1
    Buffer out(200);
    auto w = BulkUrb(config.pipe(0), false, out, 200);
    ASSERT_EQ(Call(pdo, AsUrb(w.get())), STATUS_SUCCESS);
    EXPECT_EQ(w->TransferBufferLength, 200u);
    EXPECT_GT(peer->received().size(), 200u - 16u - 1u) << "completes only when the rest fits the FIFO";
    EXPECT_TRUE(peer->WaitForBytes(200, 10s));
}

TEST_F(ConverterTest, PortResetReturnsTheFirmwareToPowerOn)
{
    Plug(1);
    ASSERT_EQ(Command({0x00, 0x9B}), STATUS_SUCCESS);
    ASSERT_EQ(Command({0x01, 0x03}), STATUS_SUCCESS);
    EXPECT_EQ(UrbRequest(pdo, nullptr, IOCTL_INTERNAL_USB_RESET_PORT).dispatchStatus(), STATUS_SUCCESS);
    ConverterLineState s = converter->lineState();
    EXPECT_EQ(s.settings, LineSettings{});
    EXPECT_FALSE(s.rts || s.dtr);
    EXPECT_EQ(converter->busResets(), 1u);
}
