// removal_test.cpp - a converter with its port in use, pulled out or removed
// at every step of its work; the PnP state changes on a running port.
#include "lifecycle.hpp"

#include "tembris.h"

namespace lifecycle {
namespace {

using world::ConverterDevice;
using world::UnplugKind;

// Where the converter is in its work when it goes.
enum class Step {
    Idle,              // found and registered, port not open
    Receiving,         // port open, data moved, reception running
    WriteInFlight,     // a write the converter does not take yet
    SettingsInFlight,  // a line-setting vendor request the converter does not answer
    AllAtOnce,         // a read, a write and a vendor request outstanding together
};

const char *StepName(Step s)
{
    switch (s) {
    case Step::Idle:
        return "Idle";
    case Step::Receiving:
        return "Receiving";
    case Step::WriteInFlight:
        return "WriteInFlight";
    case Step::SettingsInFlight:
        return "SettingsInFlight";
    case Step::AllAtOnce:
        return "AllAtOnce";
    }
    return "?";
}

const world::UrbRecord *Find(const std::vector<world::UrbRecord> &urbs, USHORT function, uint8_t endpoint)
{
    const world::UrbRecord *last = nullptr;
    for (const world::UrbRecord &r : urbs)
        if (r.function == function && r.endpoint == endpoint)
            last = &r;
    return last;
}

class UnplugAtEveryStep : public LifecycleTest, public ::testing::WithParamInterface<std::tuple<UnplugKind, Step>> {};

TEST_P(UnplugAtEveryStep, EveryRequestEndsThePortHearsOnceAndNothingIsLeft)
{
    auto [kind, step] = GetParam();
    Plug(1, std::make_shared<world::LoopbackPlug>());
    world::PortModel &port = Attach();
    std::optional<Background<world::PortResult>> settings;
    if (step != Step::Idle) {
        ASSERT_TRUE(port.Open().ok());
        Echo(300, 1);
    }
    if (step == Step::AllAtOnce) {
        // The receive loop's next read stays with the converter.
        device_->HoldTransfers(ConverterDevice::kBulkIn, true);
        device_->HoldTransfers(ConverterDevice::kStatusIn, true);
        ASSERT_TRUE(WaitUntil([&] {
            return hub().pending(pdo(), ConverterDevice::kBulkIn) + hub().pending(pdo(), ConverterDevice::kStatusIn) == 1;
        }));
    }
    if (step == Step::WriteInFlight || step == Step::AllAtOnce) {
        device_->HoldTransfers(ConverterDevice::kBulkOut, true);
        ASSERT_TRUE(port.Write(Pattern(100, 2)).ok());
        ASSERT_TRUE(hub().WaitPending(pdo(), ConverterDevice::kBulkOut, 1, kWait));
    }
    if (step == Step::SettingsInFlight || step == Step::AllAtOnce) {
        device_->HoldControl(true);
        settings.emplace([&port] { return port.SetLineSettings(19200, 8, world::CommParity::None, world::CommStopBits::One); },
                         "the settings request");
        ASSERT_TRUE(WaitOutstanding(URB_FUNCTION_VENDOR_DEVICE));
    }

    Unplug(kind);

    ASSERT_TRUE(removalSeen_);
    EXPECT_EQ(pendingAtRemoval_, 0u);
    for (const world::UrbRecord &r : urbsAtRemoval_) {
        EXPECT_NE(r.status, USBD_STATUS_PENDING)
            << "URB function 0x" << std::hex << r.function << " on endpoint 0x" << int(r.endpoint) << " never ended";
        EXPECT_FALSE(r.afterRemove) << "URB function 0x" << std::hex << r.function << " came after the removal";
    }
    if (step == Step::WriteInFlight || step == Step::AllAtOnce) {
        const world::UrbRecord *write = Find(urbsAtRemoval_, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, ConverterDevice::kBulkOut);
        ASSERT_NE(write, nullptr);
        EXPECT_EQ(write->status, USBD_STATUS_DEVICE_GONE);
    }
    if (settings) {
        world::PortResult result = settings->get();
        EXPECT_FALSE(result.ok()) << "a setting the converter never took was reported as done";
        const world::UrbRecord *vendor = Find(urbsAtRemoval_, URB_FUNCTION_VENDOR_DEVICE, 0);
        ASSERT_NE(vendor, nullptr);
        EXPECT_EQ(vendor->status, USBD_STATUS_DEVICE_GONE);
        EXPECT_FALSE(port.LineSettingsInForce().has_value());
    }

    EXPECT_TRUE(port.isRemoved());  // a second call of its remove routine is a finding of the port model
    EXPECT_EQ(port.Write(Pattern(3)).status, STATUS_DEVICE_REMOVED);
    EXPECT_EQ(world_->norva().driver()->DeviceObject, nullptr);
    EXPECT_EQ(world_->tembris().driver()->DeviceObject, nullptr);
    port_.reset();
    EXPECT_TRUE(world_->UnloadDrivers());
    EXPECT_EQ(platform::IrpsOutstanding(), 0u);
    EXPECT_EQ(platform::DevicesAlive(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Lifecycle, UnplugAtEveryStep,
                         ::testing::Combine(::testing::Values(UnplugKind::Surprise, UnplugKind::Win98),
                                            ::testing::Values(Step::Idle, Step::Receiving, Step::WriteInFlight,
                                                              Step::SettingsInFlight, Step::AllAtOnce)),
                         [](const auto &info) {
                             return std::string(KindName(std::get<0>(info.param))) + "_" +
                                    StepName(std::get<1>(info.param));
                         });

// ---------------------------------------------------------------------------
// Removal without an unplug (the device stays on the bus)

class Removal : public LifecycleTest {};

TEST_F(Removal, OrderlyRemovalWithNothingOutstandingLetsEverythingGo)
{
    Plug(2, std::make_shared<world::LoopbackPlug>());
    world::PortModel &port = Attach();
    ASSERT_TRUE(port.Open().ok());
    Echo(64, 3);
    ASSERT_TRUE(port.Close().ok());
    auto *ext = static_cast<ConverterExtension *>(converter_->fdo->DeviceExtension);
    EXPECT_EQ(ext->pendingIoCount, 1) << "only the base reference is left once the port is closed";

    NTSTATUS status = STATUS_UNSUCCESSFUL;
    Bounded([&] { status = pnp().RemoveOrderly(node()); }, "the orderly removal");
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_TRUE(port.isRemoved());
    EXPECT_EQ(world_->tembris().driver()->DeviceObject, nullptr);
    EXPECT_EQ(world_->norva().driver()->DeviceObject, nullptr);
    EXPECT_EQ(device_->configurationValue(), 0) << "the hub unconfigures a removed device";
    EXPECT_EQ(hub().pending(pdo()), 0u);
    for (const world::UrbRecord &r : Urbs())
        EXPECT_FALSE(r.afterRemove) << "URB function 0x" << std::hex << r.function << " came after the removal";
    converter_->node = nullptr;  // the world's unplug only lets the hub's PDO go now
    Unplug(UnplugKind::Surprise);
}

// The port driver never stops reception: the read is at the hub when the
// removal comes.  norva ends it before the removal goes down (nothing is
// sent below once it has passed), and the converter's driver still aborts
// the pipes norva could not close while the removal was pending.
TEST_F(Removal, ReadInTheBusIsAbortedAndEndsBeforeTheDeviceGoes)
{
    world::ConverterOptions options;
    options.latencyFrames = world::ConverterOptions::kNoLatencyTimer;  // an idle read waits for data
    Plug(1, std::make_shared<world::ScriptedPeer>(), options);
    platform::ClearDebugOutput();
    struct Receiver {
        static ULONG NTAPI Rx(PVOID, PUCHAR, ULONG, UCHAR, PULONG) { return 0; }
    };
    ASSERT_EQ(exports_.RxThreadStart(converter_->filter, nullptr, &Receiver::Rx), 1u);
    ASSERT_TRUE(hub().WaitPending(pdo(), ConverterDevice::kBulkIn, 1, kWait));
    PDEVICE_OBJECT fdo = converter_->fdo;
    ObReferenceObject(fdo);  // to look at it once it is deleted

    NTSTATUS status = STATUS_UNSUCCESSFUL;
    Bounded([&] { status = pnp().RemoveOrderly(node()); }, "the orderly removal");
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_TRUE(platform::IsDeviceDeleted(fdo));
    ObDereferenceObject(fdo);

    std::vector<world::UrbRecord> urbs = Urbs();
    size_t read = urbs.size(), abort = urbs.size();
    for (size_t i = 0; i < urbs.size(); ++i) {
        if (urbs[i].function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && urbs[i].endpoint == ConverterDevice::kBulkIn)
            read = i;
        if (urbs[i].function == URB_FUNCTION_ABORT_PIPE && urbs[i].endpoint == ConverterDevice::kBulkIn)
            abort = i;
    }
    ASSERT_LT(read, urbs.size());
    ASSERT_LT(abort, urbs.size()) << "the open receive pipe was not aborted";
    EXPECT_LT(read, abort);
    EXPECT_EQ(urbs[read].status, USBD_STATUS_CANCELED);
    EXPECT_EQ(urbs[abort].status, USBD_STATUS_SUCCESS);
    for (const world::UrbRecord &r : urbs)
        EXPECT_FALSE(r.afterRemove) << "URB function 0x" << std::hex << r.function << " came after the removal";
    // The read ended by norva's own cancel, before the removal went down.
    EXPECT_TRUE(testing_support::DebugContains("rx finish"));
    EXPECT_TRUE(testing_support::DebugContains("rx cancel"));
    EXPECT_EQ(world_->norva().driver()->DeviceObject, nullptr);
    converter_->node = nullptr;
    Unplug(UnplugKind::Surprise);
}

// ---------------------------------------------------------------------------
// PnP state changes on a running port

class RunningPort : public LifecycleTest {};

// While a query-stop or query-remove is pending, the converter's driver
// refuses every transfer, and a refused read ends norva's receive loop.  The
// cancel gives the device back, and reception goes on without the port
// being opened again: data moves before the query and after the cancel.
bool ReadRefusedMeanwhile()
{
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!testing_support::DebugContains("rx finish")) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

TEST_F(RunningPort, ReceptionGoesOnAfterACancelledQueryStop)
{
    world::PortModel &port = PlugAndOpen(1, std::make_shared<world::LoopbackPlug>());
    Echo(200, 4);
    platform::ClearDebugOutput();
    EXPECT_EQ(pnp().QueryStop(node()), STATUS_SUCCESS);
    ASSERT_TRUE(ReadRefusedMeanwhile()) << "the receive loop never met the refusal";
    EXPECT_EQ(pnp().CancelStop(node()), STATUS_SUCCESS);
    EXPECT_TRUE(testing_support::DebugContains("rx resume"));
    Echo(200, 5);
    EXPECT_TRUE(port.Close().ok());
}

TEST_F(RunningPort, ReceptionGoesOnAfterACancelledQueryRemove)
{
    world::PortModel &port = PlugAndOpen(3, std::make_shared<world::LoopbackPlug>());
    Echo(200, 6);
    platform::ClearDebugOutput();
    EXPECT_EQ(pnp().QueryRemove(node()), STATUS_SUCCESS);
    ASSERT_TRUE(ReadRefusedMeanwhile()) << "the receive loop never met the refusal";
    EXPECT_EQ(pnp().CancelRemove(node()), STATUS_SUCCESS);
    Echo(200, 7);
    EXPECT_TRUE(port.SetRts().ok());
    EXPECT_TRUE(port.Close().ok());
    ASSERT_TRUE(port.Open().ok()) << "and the port still opens again";
    Echo(100, 8);
    EXPECT_TRUE(port.Close().ok());
}

TEST_F(RunningPort, StopAndStartAgainGiveBackAWorkingPortOnceReopened)
{
    world::PortModel &port = PlugAndOpen(2, std::make_shared<world::LoopbackPlug>());
    Echo(200, 8);
    EXPECT_EQ(pnp().QueryStop(node()), STATUS_SUCCESS);
    EXPECT_EQ(pnp().Stop(node()), STATUS_SUCCESS);
    EXPECT_EQ(device_->configurationValue(), 0) << "a stopped converter is unconfigured";
    EXPECT_EQ(pnp().StartAgain(node()), STATUS_SUCCESS);
    EXPECT_NE(device_->configurationValue(), 0);
    port.Close();
    ASSERT_TRUE(port.Open().ok());
    Echo(200, 9);
    EXPECT_TRUE(port.Close().ok());
}

}  // namespace
}  // namespace lifecycle
