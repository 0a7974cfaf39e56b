// sequences_test.cpp - the request orders Windows produces and the drivers
// must live through: what follows a start and a failed start on Windows 98
// and on Windows 2000, queries and their cancels, Windows 98's disable, and
// the surprise removal that waits for the port's handle.
#include "lifecycle.hpp"

#include <scripted_device.hpp>

namespace lifecycle {
namespace {

using testing_support::Answer;
using testing_support::ScriptedDevice;
using testing_support::ScriptedDriver;
using world::PnpFlavor;
using world::UnplugKind;

class Sequences : public LifecycleTest {
protected:
    // A converter whose firmware stalls the first control request: the
    // function driver's start fails reading the device descriptor.
    void PlugFailingStart()
    {
        auto device = std::make_shared<world::ConverterDevice>(1);
        device->StallNextControl();
        converter_ = world_->PlugDevice(device, [](world::DevNode &n) {
            n.SetDword(u"EndPointCaps", 1);
            n.SetDword(u"DebugLevel", kNorvaStateTraces);
        });
        pdo_ = converter_->pdo;
        device_ = converter_->device;
    }

    // A pass-through device on top of the converter's stack, recording its
    // PnP requests (refusing those the test queues a refusal for).  It goes
    // before the stack is removed.
    ScriptedDevice &Spy()
    {
        PDEVICE_OBJECT top = IoGetAttachedDevice(pdo_);
        ScriptedDevice &spy = spyDriver_.CreateUpper(
            top, {top->DeviceType, 0, top->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE), false});
        spy.SetDefault(Answer::Pass());
        spy_ = &spy;
        return spy;
    }
    std::vector<UCHAR> SpyMinors() const
    {
        std::vector<UCHAR> minors;
        for (const auto &r : spy_->Requests(IRP_MJ_PNP))
            minors.push_back(r.minor);
        return minors;
    }
    void TearDown() override
    {
        if (spy_)
            spyDriver_.Destroy(*spy_);
        spy_ = nullptr;
        LifecycleTest::TearDown();
    }

    static constexpr ULONG kNorvaStateTraces = 0x02;  // norva's DebugLevel bit for state changes
    ScriptedDriver spyDriver_{u"\\Driver\\Spy"};
    ScriptedDevice *spy_ = nullptr;
};

TEST_F(Sequences, EveryStartIsFollowedByTheStateQueryThenTheChildren)
{
    world::PortModel &port = PlugAndOpen(1, std::make_shared<world::LoopbackPlug>());
    world::PnpManager::Node *child = world::PnpManager::FirstChild(node());
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(node()->deviceStateQueries, 1u);
    EXPECT_EQ(child->deviceStateQueries, 1u);
    EXPECT_EQ(node()->pnpDeviceState, 0u) << "nothing to report for a working converter";
    port.Close();
    ASSERT_EQ(pnp().Stop(node()), STATUS_SUCCESS);
    ASSERT_EQ(pnp().StartAgain(node()), STATUS_SUCCESS);
    EXPECT_EQ(node()->deviceStateQueries, 2u);
    ASSERT_TRUE(port.Open().ok());
    Echo(100, 1);
}

// Windows 98 stops a device whose start failed, without a query; Windows
// 2000 removes its stack.  Either way the drivers let go of everything and
// the converter can be unplugged and the drivers unloaded.
TEST_F(Sequences, AFailedStartIsStoppedOnWindows98AndRemovedOnWindows2000)
{
    for (PnpFlavor flavor : {PnpFlavor::Windows98, PnpFlavor::Windows2000}) {
        const bool win98 = flavor == PnpFlavor::Windows98;
        SCOPED_TRACE(win98 ? "Windows 98" : "Windows 2000");
        pnp().SetFlavor(flavor);
        platform::ClearDebugOutput();
        PlugFailingStart();
        EXPECT_NE(converter_->status, STATUS_SUCCESS);
        ASSERT_NE(node(), nullptr);
        EXPECT_FALSE(node()->started);
        EXPECT_EQ(node()->deviceStateQueries, 0u) << "no state query after a failed start";
        EXPECT_EQ(testing_support::DebugCount("FDO::IRP_MN_STOP_DEVICE"), win98 ? 1u : 0u);
        EXPECT_EQ(testing_support::DebugCount("FDO::IRP_MN_QUERY_STOP_DEVICE"), 0u);
        EXPECT_EQ(testing_support::DebugCount("FDO::IRP_MN_REMOVE_DEVICE\n"), win98 ? 0u : 1u);
        EXPECT_EQ(node()->removed, !win98);
        EXPECT_EQ(world_->norva().driver()->DeviceObject == nullptr, !win98);
        EXPECT_EQ(world_->tembris().driver()->DeviceObject == nullptr, !win98);
        EXPECT_EQ(hub().pending(pdo()), 0u);
        Unplug(win98 ? UnplugKind::Win98 : UnplugKind::Surprise);
        EXPECT_EQ(world_->norva().driver()->DeviceObject, nullptr);
        EXPECT_EQ(world_->tembris().driver()->DeviceObject, nullptr);
    }
}

TEST_F(Sequences, CreatesWaitForTheStartOnWindows2000)
{
    std::vector<NTSTATUS> opens;
    pnp().beforeStart = [&opens](world::PnpManager::Node *n) {
        PFILE_OBJECT file = nullptr;
        opens.push_back(platform::OpenDevice(IoGetAttachedDevice(n->devnode->pdo()), u"", &file));
        if (file)
            platform::CloseDevice(file);
    };
    Plug(1, std::make_shared<world::LoopbackPlug>());
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0], STATUS_NO_SUCH_DEVICE) << "the I/O manager refuses it before any driver sees it";
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(platform::OpenDevice(converter_->filter, u"", &file), STATUS_SUCCESS) << "started: creates pass";
    EXPECT_EQ(platform::CloseDevice(file), STATUS_SUCCESS);
}

// A refused query is cancelled on every stack that got it, the one that
// refused it included, and the device goes on working.
TEST_F(Sequences, ARefusedQueryIsCancelledEverywhereItWent)
{
    world::PortModel &port = PlugAndOpen(2, std::make_shared<world::LoopbackPlug>());
    ScriptedDevice &spy = Spy();
    spy.Queue(IRP_MJ_PNP, Answer::Complete(STATUS_DEVICE_BUSY));
    platform::ClearDebugOutput();
    EXPECT_EQ(pnp().RemoveOrderly(node()), STATUS_DEVICE_BUSY);
    EXPECT_EQ(SpyMinors(), (std::vector<UCHAR>{IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}));
    // The child got its query first (children first) and its cancel too.
    EXPECT_FALSE(node()->removed);
    EXPECT_FALSE(port.isRemoved());

    spy.ClearRequests();
    spy.Queue(IRP_MJ_PNP, Answer::Complete(STATUS_DEVICE_BUSY));
    EXPECT_EQ(pnp().Stop(node()), STATUS_DEVICE_BUSY) << "no stop without a successful query";
    EXPECT_EQ(SpyMinors(), (std::vector<UCHAR>{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE}));
    EXPECT_TRUE(node()->started);
    Echo(100, 2);  // the drivers below never saw the queries; the port works on
}

// Windows 98's disable: QUERY_STOP then STOP; the port is usable again once
// the device is started and the port reopened.
TEST_F(Sequences, Windows98DisableIsAQueryThenAStop)
{
    pnp().SetFlavor(PnpFlavor::Windows98);
    world::PortModel &port = PlugAndOpen(3, std::make_shared<world::LoopbackPlug>());
    ScriptedDevice &spy = Spy();
    EXPECT_EQ(pnp().Disable(node()), STATUS_SUCCESS);
    EXPECT_EQ(SpyMinors(), (std::vector<UCHAR>{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE}));
    EXPECT_FALSE(node()->started);
    EXPECT_EQ(device_->configurationValue(), 0) << "the stopped converter is unconfigured";
    spy.ClearRequests();
    ASSERT_EQ(pnp().StartAgain(node()), STATUS_SUCCESS);
    EXPECT_EQ(SpyMinors(), (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES,
                                               IRP_MN_QUERY_PNP_DEVICE_STATE}));
    port.Close();
    ASSERT_TRUE(port.Open().ok());
    Echo(100, 3);
}

// The power manager ignores a failed system set-power: the system changes
// state all the same.
TEST_F(Sequences, AFailedSystemSetPowerIsIgnored)
{
    PlugAndOpen(1, std::make_shared<world::LoopbackPlug>());
    ScriptedDevice &spy = Spy();
    spy.SetScript([](const testing_support::RecordedRequest &r) {
        if (r.major == IRP_MJ_POWER && r.minor == IRP_MN_SET_POWER &&
            r.stack.Parameters.Power.Type == SystemPowerState &&
            r.stack.Parameters.Power.State.SystemState != PowerSystemWorking)
            return Answer::Complete(STATUS_UNSUCCESSFUL);
        return Answer::Pass();
    });
    EXPECT_EQ(pnp().SetSystemPower(PowerSystemSleeping1), STATUS_SUCCESS);
    EXPECT_EQ(pnp().systemPower(), PowerSystemSleeping1);
    EXPECT_EQ(pnp().SetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
    Echo(64, 5);
}

// Windows 2000's surprise removal: IRP_MN_REMOVE_DEVICE waits until the
// port's handle is closed; meanwhile the port's calls fail.
TEST_F(Sequences, SurpriseRemovalWaitsForThePortToCloseItsHandle)
{
    Plug(1, std::make_shared<world::LoopbackPlug>());
    world::PortModel::Options options;
    options.closeAfterRemoval.reset();  // the port's program closes it when it likes
    world::PortModel &port = Attach(options);
    ASSERT_TRUE(port.Open().ok());
    Echo(64, 4);
    EXPECT_EQ(platform::OpenHandles(converter_->child), 1u);

    platform::ClearDebugOutput();
    Background<bool> unplug([this] { world_->Unplug(converter_, UnplugKind::Surprise); return true; }, "the unplug");
    ASSERT_TRUE(WaitUntil([&] { return port.isRemoved(); })) << "the port hears of the surprise removal";
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(unplug.done()) << "no removal while the port holds its handle";
    EXPECT_NE(world_->norva().driver()->DeviceObject, nullptr);
    uint8_t buffer[8];
    EXPECT_EQ(port.Read(buffer, 10ms).status, STATUS_DEVICE_REMOVED);
    EXPECT_EQ(port.Write(Pattern(8)).status, STATUS_DEVICE_REMOVED);
    EXPECT_EQ(port.SetRts().status, STATUS_DEVICE_REMOVED);
    EXPECT_TRUE(port.holdsHandle());

    port.Close();
    EXPECT_TRUE(unplug.get());
    EXPECT_EQ(world_->norva().driver()->DeviceObject, nullptr);
    EXPECT_EQ(world_->tembris().driver()->DeviceObject, nullptr);
}

// A handle that is never closed holds the removal up only so long: then the
// world names it and the stack is removed anyway.
TEST_F(Sequences, AHandleNeverClosedIsNamedAndTheRemovalGoesOn)
{
    Plug(2, std::make_shared<world::LoopbackPlug>());
    world::PortModel::Options options;
    options.closeAfterRemoval.reset();
    world::PortModel &port = Attach(options);
    ASSERT_TRUE(port.Open().ok());
    pnp().handleWait = 50ms;
    {
        platform::ViolationTrap trap;
        Unplug(UnplugKind::Surprise);
        auto found = TakeViolations();
        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(found[0].rule, "HANDLE_NEVER_CLOSED");
    }
    EXPECT_EQ(world_->norva().driver()->DeviceObject, nullptr);
    EXPECT_TRUE(port.holdsHandle());
    port.Close();  // the port's PDO goes with its last reference
}

}  // namespace
}  // namespace lifecycle
