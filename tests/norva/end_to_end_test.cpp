// end_to_end_test.cpp - norva in the whole world: the hub and its converter
// model below tembris, the PnP manager, and the exports driven as the port
// driver drives them.
#include "norva_test.hpp"

#include <world/world.hpp>

#include <chrono>
#include <condition_variable>

namespace norva_test {
namespace {

using namespace std::chrono_literals;

// The port driver's receive side: collects bytes and line reports.
struct Receiver {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<uint8_t> bytes;
    std::vector<UCHAR> statusReports;

    static ULONG NTAPI Callback(PVOID context, PUCHAR data, ULONG length, UCHAR modemStatus, PULONG)
    {
        auto *self = static_cast<Receiver *>(context);
        {
            std::lock_guard lock(self->mutex);
            if (data)
                self->bytes.insert(self->bytes.end(), data, data + length);
            else
                self->statusReports.push_back(modemStatus);
        }
        self->changed.notify_all();
        return 0;
    }
    bool WaitFor(const std::function<bool()> &done, std::chrono::milliseconds timeout = 5s)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, done);
    }
    std::string Text()
    {
        std::lock_guard lock(mutex);
        return std::string(bytes.begin(), bytes.end());
    }
};

// The port driver's transmit side: hands out what it was given.
struct Sender {
    std::mutex mutex;
    std::string pending;

    static ULONG NTAPI Callback(PVOID context, PUCHAR buffer, ULONG length, ULONG)
    {
        auto *self = static_cast<Sender *>(context);
        std::lock_guard lock(self->mutex);
        ULONG n = ULONG(std::min<size_t>(length, self->pending.size()));
        std::copy_n(self->pending.begin(), n, buffer);
        self->pending.erase(0, n);
        return n;
    }
    void Add(const std::string &text)
    {
        std::lock_guard lock(mutex);
        pending += text;
    }
};

class EndToEnd : public testing_support::KernelTest {
protected:
    void SetUp() override
    {
        world_ = std::make_unique<world::World>();
        exports_ = std::make_unique<Exports>(world_->norva());
    }

    void TearDown() override
    {
        if (!world_)
            return;
        for (const auto &c : world_->converters())
            if (c.plugged)
                world_->Unplug(const_cast<world::World::Converter *>(&c), world::UnplugKind::Surprise);
        EXPECT_TRUE(world_->UnloadDrivers());
        exports_.reset();
        world_.reset();
    }

    world::World::Converter *Plug(int variant, std::shared_ptr<world::SerialPeer> peer = nullptr)
    {
        world::World::Converter *c = world_->Plug(variant, std::move(peer));
        EXPECT_EQ(c->status, STATUS_SUCCESS);
        EXPECT_NE(c->filter, nullptr);
        EXPECT_NE(c->child, nullptr);
        if (c->filter) {
            EXPECT_EQ(c->child, static_cast<FilterExtension *>(c->filter->DeviceExtension)->norva_pdo);
        }
        EXPECT_EQ(c->node->children.size(), 1u);
        if (!c->node->children.empty()) {
            EXPECT_TRUE(c->node->children.front()->started);
        }
        return c;
    }

    NTSTATUS Control(PDEVICE_OBJECT filter, ULONG code, std::vector<uint8_t> input = {})
    {
        KEVENT event;
        IO_STATUS_BLOCK iosb{};
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(code, filter, input.empty() ? nullptr : input.data(),
                                                 ULONG(input.size()), nullptr, 0, FALSE, &event, &iosb);
        return irp ? platform::CallAndWait(filter, irp, &event, &iosb) : STATUS_INSUFFICIENT_RESOURCES;
    }

    static std::vector<uint8_t> Dcb(ULONG baud, UCHAR dataBits, UCHAR parity, UCHAR stopBits)
    {
        std::vector<uint8_t> dcb(48, 0);
        dcb[0] = 48;
        for (int i = 0; i < 4; ++i)
            dcb[4 + i] = uint8_t(baud >> (8 * i));
        dcb[22] = dataBits;
        dcb[23] = parity;
        dcb[24] = stopBits;
        return dcb;
    }

    std::unique_ptr<world::World> world_;
    std::unique_ptr<Exports> exports_;
};

// ---------------------------------------------------------------------------
// Finding the port

TEST_F(EndToEnd, PluggedConverterIsFoundWithItsPortAndInterface)
{
    auto *c = Plug(1, std::make_shared<world::LoopbackPlug>());
    PDEVICE_OBJECT variable = nullptr;
    EXPECT_EQ(exports_->GetNextPDO(&variable), c->child);
    EXPECT_EQ(variable, c->filter);
    EXPECT_EQ(exports_->GetNextPDO(&variable), nullptr);
    EXPECT_EQ(exports_->GetEndPointCaps(c->filter), 1u);

    auto *ext = static_cast<FilterExtension *>(c->filter->DeviceExtension);
    EXPECT_EQ(ext->pnpState, ULONG(Started));
    EXPECT_EQ(ext->nextLowerDriver, c->fdo);
    PUNICODE_STRING link = exports_->GetLinkName(c->filter);
    ASSERT_NE(link, nullptr);
    auto interfaces = platform::Interfaces(kGuidWdmVxd);
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_TRUE(interfaces[0].enabled);
    EXPECT_EQ(interfaces[0].pdo, c->pdo);
    EXPECT_EQ(Utf8(*link), platform::ToUtf8(platform::W(interfaces[0].link)));

    // The PnP manager's view of the child.
    const auto &identity = c->node->children.front()->identity;
    EXPECT_EQ(identity.deviceId, "VOZ_BUS\\VOZ_0001");
    EXPECT_EQ(identity.instanceId, "0000");
    EXPECT_EQ(identity.description, "USB\u4EEE\u60F3COM\u30DD\u30FC\u30C8");
    EXPECT_TRUE(identity.busInformationAnswered);
    EXPECT_EQ(identity.busInformation.LegacyBusType, PNPBus);
}

TEST_F(EndToEnd, TwoConvertersAreFoundNewestFirst)
{
    auto *first = Plug(1);
    auto *second = Plug(3);
    PDEVICE_OBJECT variable = nullptr;
    EXPECT_EQ(exports_->GetNextPDO(&variable), second->child);
    EXPECT_EQ(variable, second->filter);
    EXPECT_EQ(exports_->GetNextPDO(&variable), first->child);
    EXPECT_EQ(variable, first->filter);
    EXPECT_EQ(exports_->GetNextPDO(&variable), nullptr);
    EXPECT_EQ(variable, nullptr);
}

// ---------------------------------------------------------------------------
// Data and lines

TEST_F(EndToEnd, LoopbackCarriesBlocksAndSingleCharactersBothWays)
{
    auto *c = Plug(2, std::make_shared<world::LoopbackPlug>());
    Receiver rx;
    Sender tx;
    TX_THREAD_PARAMS params{&tx, &Sender::Callback};
    ASSERT_EQ(exports_->RxThreadStart(c->filter, &rx, &Receiver::Callback), 1u);
    ASSERT_EQ(exports_->TxThreadStart(c->filter, &params), 1u);

    tx.Add("hello, world");
    exports_->KickTx(c->filter);
    EXPECT_TRUE(rx.WaitFor([&] { return rx.bytes.size() >= 12; })) << rx.Text();
    EXPECT_EQ(exports_->TransmitChar(c->filter, '!'), 1u);
    EXPECT_TRUE(rx.WaitFor([&] { return rx.bytes.size() >= 13; }));
    EXPECT_EQ(rx.Text(), "hello, world!");

    // A block larger than one write goes out as several.
    std::string big(10000, 'x');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = char('a' + i % 26);
    tx.Add(big);
    exports_->KickTx(c->filter);
    EXPECT_TRUE(rx.WaitFor([&] { return rx.bytes.size() >= 13 + big.size(); }, 10s));
    EXPECT_EQ(rx.Text().substr(13), big);

    EXPECT_EQ(exports_->TxThreadStop(c->filter), 1u);
    EXPECT_EQ(exports_->RxThreadStop(c->filter), 1u);
    EXPECT_GE(c->device->bytesFromHost(), 13u + big.size());
}

TEST_F(EndToEnd, LineStatusOfThePeerReachesTheStatusReports)
{
    auto peer = std::make_shared<world::ScriptedPeer>();
    auto *c = Plug(1, peer);
    Receiver rx;
    ASSERT_EQ(exports_->RxThreadStart(c->filter, &rx, &Receiver::Callback), 1u);
    world::ModemLines lines;
    lines.cts = true;
    lines.dsr = true;
    lines.dcd = true;
    peer->SetLines(lines);
    EXPECT_TRUE(rx.WaitFor([&] { return !rx.statusReports.empty() && rx.statusReports.back() == 0xB0; }));
    lines = {};
    lines.ri = true;
    peer->SetLines(lines);
    EXPECT_TRUE(rx.WaitFor([&] { return rx.statusReports.back() == 0x40; }));
    peer->Send("ok");
    EXPECT_TRUE(rx.WaitFor([&] { return rx.bytes.size() >= 2; }));
    EXPECT_EQ(exports_->RxThreadStop(c->filter), 1u);
}

TEST_F(EndToEnd, WithoutControlPipeReceptionGoesOnWithAllLinesOn)
{
    auto peer = std::make_shared<world::ScriptedPeer>();
    auto *c = Plug(0, peer);
    Receiver rx;
    ASSERT_EQ(exports_->RxThreadStart(c->filter, &rx, &Receiver::Callback), 1u);
    peer->Send("one");
    EXPECT_TRUE(rx.WaitFor([&] { return rx.bytes.size() >= 3; }));
    peer->Send("two");
    EXPECT_TRUE(rx.WaitFor([&] { return rx.bytes.size() >= 6; }));
    EXPECT_EQ(rx.Text(), "onetwo");
    // Read once the loop has ended: the stop waits for its last completion.
    EXPECT_EQ(exports_->RxThreadStop(c->filter), 1u);
    auto *ext = static_cast<FilterExtension *>(c->filter->DeviceExtension);
    EXPECT_EQ(ext->modemStatus, 0xF0u);
    EXPECT_TRUE(rx.statusReports.empty());
}

TEST_F(EndToEnd, SettingsAndModemLinesReachTheConverter)
{
    auto peer = std::make_shared<world::ScriptedPeer>();
    auto *c = Plug(3, peer);
    EXPECT_EQ(Control(c->filter, IOCTL_VCP_SET_COMM_STATE, Dcb(19200, 7, 2, 2)), STATUS_SUCCESS);
    world::LineSettings settings = c->device->settings();
    EXPECT_EQ(settings.baud, 19200u);
    EXPECT_EQ(settings.dataBits, 7);
    EXPECT_EQ(settings.parity, world::Parity::Even);
    EXPECT_EQ(settings.stopBits, 2);
    EXPECT_EQ(peer->settings(), settings);

    EXPECT_EQ(Control(c->filter, IOCTL_VCP_SET_RTS), STATUS_SUCCESS);
    EXPECT_EQ(Control(c->filter, IOCTL_VCP_SET_DTR), STATUS_SUCCESS);
    EXPECT_TRUE(c->device->lineState().rts);
    EXPECT_TRUE(c->device->lineState().dtr);
    EXPECT_TRUE(peer->rts());
    EXPECT_EQ(Control(c->filter, IOCTL_VCP_CLR_RTS), STATUS_SUCCESS);
    EXPECT_FALSE(peer->rts());
    EXPECT_TRUE(peer->dtr());
    EXPECT_EQ(c->device->lineState().rejectedCommands, 0u);

    uint8_t command[3] = {0x00, 0x08, 0x01};  // 115200 8N1 through the export
    EXPECT_EQ(exports_->VendorRequest(c->filter, command, 3), 1u);
    EXPECT_EQ(c->device->settings().baud, 115200u);
    uint8_t malformed[2] = {0x07, 0x00};  // an unknown command: the converter stalls it
    EXPECT_EQ(exports_->VendorRequest(c->filter, malformed, 2), 0u);
}

TEST_F(EndToEnd, PipeResetsAreAnsweredByTheConverterDriver)
{
    auto *c = Plug(1);
    PFILE_OBJECT file = nullptr;
    // Without the pipes open the converter's driver refuses the reset.
    EXPECT_FALSE(NT_SUCCESS(Control(c->filter, IOCTL_VCP_RESET_RX_PIPE)));
    ASSERT_EQ(platform::OpenDevice(c->filter, u"", &file), STATUS_SUCCESS);
    EXPECT_EQ(Control(c->filter, IOCTL_VCP_RESET_RX_PIPE), STATUS_SUCCESS);
    EXPECT_EQ(Control(c->filter, IOCTL_VCP_RESET_TX_PIPE), STATUS_SUCCESS);
    EXPECT_EQ(platform::CloseDevice(file), STATUS_SUCCESS);
}

TEST_F(EndToEnd, OpenFilterDeviceHoldsThePipesTheEnginesWouldOpen)
{
    auto *c = Plug(1, std::make_shared<world::LoopbackPlug>());
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(platform::OpenDevice(c->filter, u"", &file), STATUS_SUCCESS);
    Receiver rx;
    Sender tx;
    TX_THREAD_PARAMS params{&tx, &Sender::Callback};
    EXPECT_EQ(exports_->RxThreadStart(c->filter, &rx, &Receiver::Callback), 0u);
    EXPECT_EQ(exports_->RxThreadStop(c->filter), 1u);
    EXPECT_EQ(exports_->TxThreadStart(c->filter, &params), 0u);
    EXPECT_EQ(exports_->TxThreadStop(c->filter), 1u);
    EXPECT_TRUE(testing_support::DebugContains("failed CreateClosePipe\n"));
    EXPECT_EQ(platform::CloseDevice(file), STATUS_SUCCESS);
    // Closed again, the pipes are the engines' to open.
    EXPECT_EQ(exports_->RxThreadStart(c->filter, &rx, &Receiver::Callback), 1u);
    EXPECT_EQ(exports_->RxThreadStop(c->filter), 1u);
}

// ---------------------------------------------------------------------------
// Removal

struct PortDriver {
    Exports *exports = nullptr;
    PDEVICE_OBJECT filter = nullptr;
    int removals = 0;
    ULONG rxStopped = 0;
    ULONG txStopped = 0;

    // As the port VxD does: stop both engines when the port goes.
    static ULONG NTAPI Remove(PVOID context)
    {
        auto *self = static_cast<PortDriver *>(context);
        ++self->removals;
        self->txStopped = self->exports->TxThreadStop(self->filter);
        self->rxStopped = self->exports->RxThreadStop(self->filter);
        return 0;
    }
};

class EndToEndRemoval : public EndToEnd, public ::testing::WithParamInterface<world::UnplugKind> {};

TEST_P(EndToEndRemoval, UnplugWithBothEnginesRunningTellsThePortOnceAndLeavesNothing)
{
    auto *c = Plug(1, std::make_shared<world::LoopbackPlug>());
    Receiver rx;
    Sender tx;
    TX_THREAD_PARAMS params{&tx, &Sender::Callback};
    ASSERT_EQ(exports_->RxThreadStart(c->filter, &rx, &Receiver::Callback), 1u);
    ASSERT_EQ(exports_->TxThreadStart(c->filter, &params), 1u);
    tx.Add(std::string(3000, 'u'));
    exports_->KickTx(c->filter);

    PortDriver port{exports_.get(), c->filter};
    ASSERT_EQ(exports_->SetRemoveCallback(c->child, &port, &PortDriver::Remove), 1u);
    world_->Unplug(c, GetParam());
    EXPECT_EQ(port.removals, 1);
    EXPECT_EQ(port.rxStopped, 1u);
    EXPECT_EQ(port.txStopped, 1u);
    EXPECT_TRUE(platform::Interfaces(kGuidWdmVxd).empty() || !platform::Interfaces(kGuidWdmVxd)[0].enabled);
    EXPECT_EQ(world_->norva().driver()->DeviceObject, nullptr);
    EXPECT_TRUE(world_->UnloadDrivers());
    EXPECT_TRUE(TakeAssertions().empty());
}

TEST_P(EndToEndRemoval, EnginesThePortNeverStoppedAreReleasedByTheRemoval)
{
    auto *c = Plug(2, std::make_shared<world::LoopbackPlug>());
    Receiver rx;
    Sender tx;
    TX_THREAD_PARAMS params{&tx, &Sender::Callback};
    ASSERT_EQ(exports_->RxThreadStart(c->filter, &rx, &Receiver::Callback), 1u);
    ASSERT_EQ(exports_->TxThreadStart(c->filter, &params), 1u);
    world_->Unplug(c, GetParam());
    EXPECT_EQ(world_->norva().driver()->DeviceObject, nullptr);
    EXPECT_TRUE(world_->UnloadDrivers());
}

INSTANTIATE_TEST_SUITE_P(Unplug, EndToEndRemoval,
                         ::testing::Values(world::UnplugKind::Surprise, world::UnplugKind::Win98),
                         [](const auto &info) {
                             return info.param == world::UnplugKind::Surprise ? std::string("Surprise")
                                                                              : std::string("Win98");
                         });

}  // namespace
}  // namespace norva_test
