// power_test.cpp - system sleep and wake with the port in use: device
// power through the filter to the hub, data that arrives while asleep, a
// ring that wakes the system, hibernation, an unplug while asleep.
#include "lifecycle.hpp"

namespace lifecycle {
namespace {

using world::ConverterDevice;
using world::UnplugKind;

struct DeviceState {
    PDEVICE_OBJECT device;
    ULONG state;
    bool operator==(const DeviceState &) const = default;
};

std::ostream &operator<<(std::ostream &os, const DeviceState &s)
{
    return os << "{" << s.device << " D" << (s.state - 1) << "}";
}

// Every PoSetPowerState for a device power state since the last clear.
std::vector<DeviceState> DeviceStates()
{
    std::vector<DeviceState> out;
    for (const platform::PowerStateRecord &r : platform::PowerStateCalls())
        if (r.type == DevicePowerState)
            out.push_back({r.device, r.state});
    return out;
}

world::ModemLines Ring(bool on)
{
    world::ModemLines lines;
    lines.ri = on;
    return lines;
}

class Power : public LifecycleTest {
protected:
    NTSTATUS Sleep(SYSTEM_POWER_STATE state)
    {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        Bounded([&] { status = pnp().SetSystemPower(state); }, "the system power change");
        return status;
    }
};

TEST_F(Power, SleepPutsTheDeviceInD2ThroughTheFilterAndWakeBringsItBack)
{
    PlugAndOpen(1, std::make_shared<world::LoopbackPlug>());
    Echo(300, 1);
    platform::ClearPowerStateCalls();

    ASSERT_EQ(Sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    PDEVICE_OBJECT fdo = converter_->fdo;
    // tembris announces D2 before its request goes on; the hub once it has
    // suspended the port.
    EXPECT_EQ(DeviceStates(), (std::vector<DeviceState>{{fdo, PowerDeviceD2}, {pdo(), PowerDeviceD2}}));
    EXPECT_TRUE(hub().suspended(pdo()));
    EXPECT_TRUE(pnp().WakeArmed(node()));
    EXPECT_TRUE(hub().waitWakePending(pdo()));
    EXPECT_TRUE(device_->remoteWakeEnabled());

    platform::ClearPowerStateCalls();
    ASSERT_EQ(Sleep(PowerSystemWorking), STATUS_SUCCESS);
    std::vector<DeviceState> up = DeviceStates();
    ASSERT_GE(up.size(), 2u);
    // D0 is announced by tembris only once the hub has powered the device up.
    EXPECT_EQ(up[0], (DeviceState{pdo(), PowerDeviceD0}));
    EXPECT_EQ(up[1], (DeviceState{fdo, PowerDeviceD0}));
    for (const DeviceState &s : up)
        EXPECT_EQ(s.state, ULONG(PowerDeviceD0));
    EXPECT_FALSE(hub().suspended(pdo()));
    // The wake that did not fire is withdrawn.
    EXPECT_FALSE(pnp().WakeArmed(node()));
    EXPECT_FALSE(hub().waitWakePending(pdo()));
    auto outcomes = pnp().wakeOutcomes();
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes[0].pdo, pdo());
    EXPECT_EQ(outcomes[0].status, STATUS_CANCELLED);
    EXPECT_EQ(pnp().deviceWakes(), 0u);

    Echo(300, 2);
}

TEST_F(Power, SystemRequestsReachTheChildFirstGoingDownAndLastComingUp)
{
    Plug(1, std::make_shared<world::LoopbackPlug>(), {}, ULONG(0x07));
    auto order = [] {
        // "FilterDispatchPower" opens every power request norva sees;
        // "PDO_DispatchPower" follows it for the port's PDO.
        std::string seen;
        for (const std::string &call : platform::DebugCalls()) {
            if (call.find("PDO_DispatchPower") != std::string::npos)
                seen.back() = 'P';
            else if (call.find("FilterDispatchPower") != std::string::npos)
                seen += 'F';
        }
        return seen;
    };
    platform::ClearDebugOutput();
    ASSERT_EQ(Sleep(PowerSystemSleeping1), STATUS_SUCCESS);
    std::string down = order();
    // Query then set, each to the child before its parent (whose device
    // request comes back through the filter as well); between them the
    // policy owner's wait-wake, while the device is still in D0.
    ASSERT_GE(down.size(), 5u);
    EXPECT_EQ(down.substr(0, 4), "PFFP") << down;
    platform::ClearDebugOutput();
    ASSERT_EQ(Sleep(PowerSystemWorking), STATUS_SUCCESS);
    std::string up = order();
    // The parent's request and the device request it causes, then the child.
    ASSERT_NE(up.find('P'), std::string::npos) << up;
    EXPECT_EQ(up.substr(0, 3), "FFP") << up;
}

TEST_F(Power, DataSentWhileAsleepReachesThePortAfterTheWake)
{
    auto peer = std::make_shared<world::ScriptedPeer>();
    world::PortModel &port = PlugAndOpen(1, peer);
    ASSERT_EQ(Sleep(PowerSystemSleeping3), STATUS_SUCCESS);

    auto data = Pattern(700, 3);
    peer->Send(data);
    EXPECT_TRUE(WaitUntil([&] { return device_->rxPending() == data.size(); }))
        << "the converter's UART keeps receiving while the port is suspended";
    std::vector<uint8_t> buffer(16);
    EXPECT_EQ(port.Read(buffer, 50ms).status, STATUS_TIMEOUT) << "nothing moves on a suspended port";

    ASSERT_EQ(Sleep(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(port.ReadExactly(data.size(), kWait), data);
    EXPECT_EQ(device_->rxLostBytes(), 0u);
    EXPECT_EQ(port.Counters().overrunBytes, 0u);
}

TEST_F(Power, BytesBeyondTheConverterBufferAreLostAndCounted)
{
    auto peer = std::make_shared<world::ScriptedPeer>();
    world::ConverterOptions options;
    options.rxBufferSize = 128;
    world::PortModel &port = PlugAndOpen(1, peer, options);
    ASSERT_EQ(Sleep(PowerSystemSleeping3), STATUS_SUCCESS);

    auto data = Pattern(300, 4);
    peer->Send(data);
    EXPECT_TRUE(WaitUntil([&] { return device_->rxLostBytes() == 172; }));
    EXPECT_EQ(device_->rxPending(), 128u);

    ASSERT_EQ(Sleep(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(port.ReadExactly(128, kWait), std::vector<uint8_t>(data.begin(), data.begin() + 128))
        << "the first bytes are kept, the overrun ones are gone";
    std::vector<uint8_t> buffer(16);
    EXPECT_EQ(port.Read(buffer, 50ms).status, STATUS_TIMEOUT);

    // The port works on, and the next bytes arrive whole.
    auto more = Pattern(100, 5);
    peer->Send(more);
    EXPECT_EQ(port.ReadExactly(more.size(), kWait), more);
}

TEST_F(Power, RingWhileAsleepWakesTheSystemAndReachesThePort)
{
    auto peer = std::make_shared<world::ScriptedPeer>();
    world::PortModel &port = PlugAndOpen(1, peer);
    // A ring while the system is up signals nothing.
    peer->SetLines(Ring(true));
    ASSERT_TRUE(port.WaitModemStatus(0x40, 0x40, kWait).has_value());
    peer->SetLines(Ring(false));
    ASSERT_TRUE(port.WaitModemStatus(0x40, 0x00, kWait).has_value());
    EXPECT_EQ(device_->remoteWakeSignals(), 0u);

    ASSERT_EQ(Sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    platform::ClearPowerStateCalls();
    peer->SetLines(Ring(true));
    ASSERT_TRUE(pnp().WaitForSystemPower(PowerSystemWorking, kWait)) << "the ring did not wake the system";
    EXPECT_EQ(device_->remoteWakeSignals(), 1u);
    EXPECT_EQ(pnp().deviceWakes(), 1u);
    auto outcomes = pnp().wakeOutcomes();
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes[0].status, STATUS_SUCCESS);
    // The wait-wake's end powered the device up before the system came back;
    // the system request then found it in D0 already.
    EXPECT_EQ(DeviceStates(),
              (std::vector<DeviceState>{{pdo(), PowerDeviceD0}, {converter_->fdo, PowerDeviceD0}}));
    EXPECT_FALSE(hub().suspended(pdo()));

    EXPECT_TRUE(port.WaitModemStatus(0x40, 0x40, kWait).has_value()) << "the port never saw the ring";
    const std::string text = "after the ring";
    peer->Send(text);
    EXPECT_EQ(port.ReadExactly(text.size(), kWait), std::vector<uint8_t>(text.begin(), text.end()));
}

TEST_F(Power, RingWithoutAnArmedWakeLeavesTheSystemAsleep)
{
    auto peer = std::make_shared<world::ScriptedPeer>();
    PlugAndOpen(1, peer);
    pnp().SetWakeArming(false);
    ASSERT_EQ(Sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_FALSE(hub().waitWakePending(pdo()));
    EXPECT_FALSE(device_->remoteWakeEnabled());
    peer->SetLines(Ring(true));
    EXPECT_FALSE(pnp().WaitForSystemPower(PowerSystemWorking, 100ms));
    EXPECT_EQ(device_->remoteWakeSignals(), 0u);
    ASSERT_EQ(Sleep(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_TRUE(pnp().wakeOutcomes().empty());
}

TEST_F(Power, HibernateArmsNoWakeAndTheDeviceComesBackFromD3)
{
    world::PortModel &port = PlugAndOpen(3, std::make_shared<world::LoopbackPlug>());
    ASSERT_TRUE(port.SetLineSettings(38400, 8, world::CommParity::Even, world::CommStopBits::One).ok());
    Echo(500, 6);
    platform::ClearPowerStateCalls();

    ASSERT_EQ(Sleep(PowerSystemHibernate), STATUS_SUCCESS);
    EXPECT_EQ(DeviceStates(),
              (std::vector<DeviceState>{{converter_->fdo, PowerDeviceD3}, {pdo(), PowerDeviceD3}}));
    EXPECT_TRUE(hub().suspended(pdo()));
    EXPECT_FALSE(pnp().WakeArmed(node())) << "the converter cannot wake the system from hibernation";
    EXPECT_FALSE(hub().waitWakePending(pdo()));

    ASSERT_EQ(Sleep(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_FALSE(hub().suspended(pdo()));
    EXPECT_EQ(device_->settings().baud, 38400u) << "the self-powered converter kept its settings";
    Echo(500, 7);
    EXPECT_TRUE(port.Close().ok());
}

TEST_F(Power, SleepFromOneStateToAnotherPassesThroughWorking)
{
    PlugAndOpen(1, std::make_shared<world::LoopbackPlug>());
    ASSERT_EQ(Sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    platform::ClearPowerStateCalls();
    ASSERT_EQ(Sleep(PowerSystemHibernate), STATUS_SUCCESS);
    std::vector<DeviceState> states = DeviceStates();
    ASSERT_FALSE(states.empty());
    EXPECT_EQ(states.front(), (DeviceState{pdo(), PowerDeviceD0}));
    EXPECT_EQ(states.back(), (DeviceState{pdo(), PowerDeviceD3}));
    EXPECT_EQ(pnp().systemPower(), PowerSystemHibernate);
    ASSERT_EQ(Sleep(PowerSystemWorking), STATUS_SUCCESS);
    Echo(100, 8);
}

class UnplugWhileAsleep : public Power, public ::testing::WithParamInterface<UnplugKind> {};

TEST_P(UnplugWhileAsleep, TheWakeEndsTheSystemStaysAsleepAndTheStackGoesAfterTheWake)
{
    auto peer = std::make_shared<world::ScriptedPeer>();
    world::PortModel &port = PlugAndOpen(2, peer);
    ASSERT_EQ(Sleep(PowerSystemSleeping3), STATUS_SUCCESS);
    ASSERT_TRUE(hub().waitWakePending(pdo()));

    hub().Unplug(pdo());
    ASSERT_TRUE(WaitUntil([&] { return !pnp().wakeOutcomes().empty(); }));
    EXPECT_EQ(pnp().wakeOutcomes()[0].status, STATUS_NO_SUCH_DEVICE);
    EXPECT_FALSE(pnp().WaitForSystemPower(PowerSystemWorking, 50ms)) << "a vanished device woke the system";
    EXPECT_EQ(pnp().deviceWakes(), 0u);

    // The PnP manager learns of the unplug once the system is back.
    ASSERT_EQ(Sleep(PowerSystemWorking), STATUS_SUCCESS);
    Unplug(GetParam());
    EXPECT_TRUE(port.isRemoved());
    EXPECT_EQ(pendingAtRemoval_, 0u);
    port_.reset();
    EXPECT_TRUE(world_->UnloadDrivers());
}

INSTANTIATE_TEST_SUITE_P(Lifecycle, UnplugWhileAsleep, ::testing::Values(UnplugKind::Surprise, UnplugKind::Win98),
                         [](const auto &info) { return std::string(KindName(info.param)); });

}  // namespace
}  // namespace lifecycle
