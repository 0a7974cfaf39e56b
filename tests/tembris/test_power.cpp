// test_power.cpp - tembris power policy: system states become device states
// through the capability table; wait-wake; system control passes through.
#include "tembris_test.hpp"

using namespace tembris_test;
using testing_support::Answer;
using testing_support::RecordedRequest;

namespace {

// A power request as the bus saw it.
struct Seen {
    UCHAR minor;
    POWER_STATE_TYPE type;
    ULONG state;
    bool operator==(const Seen &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Seen &s)
{
    return os << "{minor " << int(s.minor) << (s.type == SystemPowerState ? " S" : " D") << s.state << "}";
}

class PowerPolicy : public TembrisTest {
protected:
    void SetUp() override
    {
        ASSERT_EQ(AddAndStart(), STATUS_SUCCESS);
        bus.scripted().ClearRequests();
        platform::ClearPowerStateCalls();
    }

    std::vector<Seen> BusSaw() const
    {
        std::vector<Seen> out;
        for (const RecordedRequest &r : const_cast<UsbBusStub &>(bus).scripted().Requests(IRP_MJ_POWER)) {
            out.push_back({r.minor, r.stack.Parameters.Power.Type,
                           r.minor == IRP_MN_SET_POWER ? ULONG(r.stack.Parameters.Power.State.DeviceState) : 0});
        }
        return out;
    }

    // The bus answers the next power request with `status`, first noting the
    // device power state tembris has recorded at that moment.
    void NextPowerAnswer(NTSTATUS status, DEVICE_POWER_STATE *recorded)
    {
        bus.scripted().Queue(IRP_MJ_POWER, Answer::Complete(status).With([this, recorded](PIRP irp, PIO_STACK_LOCATION) {
            *recorded = ext()->devicePowerState;
            PoStartNextPowerIrp(irp);
        }));
    }
};

constexpr UCHAR kSet = IRP_MN_SET_POWER;

TEST_F(PowerPolicy, WorkingWhileInD0GoesStraightDown)
{
    EXPECT_EQ(SetSystemPower(PowerSystemWorking).status, STATUS_SUCCESS);
    EXPECT_EQ(BusSaw(), std::vector<Seen>({{kSet, SystemPowerState, PowerSystemWorking}}));
    EXPECT_TRUE(platform::PowerStateCalls().empty());
    EXPECT_EQ(ext()->pendingIoCount, 1);
}

TEST_F(PowerPolicy, SleepPutsTheDeviceInItsTableStateBeforeTheSystemRequestGoesDown)
{
    EXPECT_EQ(SetSystemPower(PowerSystemSleeping3).status, STATUS_SUCCESS);
    EXPECT_EQ(BusSaw(), std::vector<Seen>({{kSet, DevicePowerState, PowerDeviceD2},
                                           {kSet, SystemPowerState, PowerSystemSleeping3}}));
    EXPECT_EQ(ext()->devicePowerState, PowerDeviceD2);
    auto calls = platform::PowerStateCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].device, fdo);
    EXPECT_EQ(calls[0].type, DevicePowerState);
    EXPECT_EQ(calls[0].state, ULONG(PowerDeviceD2));
    EXPECT_EQ(ext()->pendingSystemPowerIrp, nullptr);
    EXPECT_EQ(ext()->pendingIoCount, 1);
}

TEST_F(PowerPolicy, WakingFromD3AsksForD0First)
{
    ASSERT_EQ(SetSystemPower(PowerSystemHibernate).status, STATUS_SUCCESS);
    ASSERT_EQ(ext()->devicePowerState, PowerDeviceD3);
    bus.scripted().ClearRequests();
    // The working state means D0 whatever the table says of it.
    ext()->deviceCapabilities.DeviceState[PowerSystemWorking] = PowerDeviceD2;
    EXPECT_EQ(SetSystemPower(PowerSystemWorking).status, STATUS_SUCCESS);
    EXPECT_EQ(BusSaw(), std::vector<Seen>({{kSet, DevicePowerState, PowerDeviceD0},
                                           {kSet, SystemPowerState, PowerSystemWorking}}));
    EXPECT_EQ(ext()->devicePowerState, PowerDeviceD0);
    EXPECT_EQ(platform::PowerStateCalls().back().state, ULONG(PowerDeviceD0));
}

TEST_F(PowerPolicy, SystemStateWhoseTableEntryIsTheCurrentStateGoesStraightDown)
{
    ASSERT_EQ(SetSystemPower(PowerSystemSleeping1).status, STATUS_SUCCESS);
    bus.scripted().ClearRequests();
    EXPECT_EQ(SetSystemPower(PowerSystemSleeping2).status, STATUS_SUCCESS);
    EXPECT_EQ(BusSaw(), std::vector<Seen>({{kSet, SystemPowerState, PowerSystemSleeping2}}));
}

// A system state without a table entry (the bus left it out, or the
// capability query failed) keeps the device as it is: no device request is
// made for an unspecified state.
TEST_F(PowerPolicy, SystemStateWithoutATableEntryGoesStraightDown)
{
    ext()->deviceCapabilities.DeviceState[PowerSystemSleeping3] = PowerDeviceUnspecified;
    EXPECT_EQ(SetSystemPower(PowerSystemSleeping3).status, STATUS_SUCCESS);
    EXPECT_EQ(BusSaw(), std::vector<Seen>({{kSet, SystemPowerState, PowerSystemSleeping3}}));
    EXPECT_EQ(ext()->devicePowerState, PowerDeviceD0);
    EXPECT_TRUE(platform::PowerStateCalls().empty());
    EXPECT_EQ(ext()->pendingIoCount, 1);

    // Nor has a system state past the table's end.
    bus.scripted().ClearRequests();
    EXPECT_EQ(SetSystemPower(PowerSystemMaximum).status, STATUS_SUCCESS);
    EXPECT_EQ(BusSaw(), std::vector<Seen>({{kSet, SystemPowerState, PowerSystemMaximum}}));
    EXPECT_EQ(ext()->devicePowerState, PowerDeviceD0);
}

TEST_F(PowerPolicy, GoingDownIsRecordedBeforeAndComingUpAfterTheLowerDrivers)
{
    DEVICE_POWER_STATE seenByBus = PowerDeviceUnspecified;
    NextPowerAnswer(STATUS_SUCCESS, &seenByBus);
    EXPECT_EQ(SetDevicePower(PowerDeviceD1).status, STATUS_SUCCESS);
    EXPECT_EQ(seenByBus, PowerDeviceD1) << "D1 is recorded before the request goes down too";
    EXPECT_EQ(ext()->devicePowerState, PowerDeviceD1);
    platform::ClearPowerStateCalls();

    NextPowerAnswer(STATUS_SUCCESS, &seenByBus);
    EXPECT_EQ(SetDevicePower(PowerDeviceD3).status, STATUS_SUCCESS);
    EXPECT_EQ(seenByBus, PowerDeviceD3);

    NextPowerAnswer(STATUS_SUCCESS, &seenByBus);
    EXPECT_EQ(SetDevicePower(PowerDeviceD0).status, STATUS_SUCCESS);
    EXPECT_EQ(seenByBus, PowerDeviceD3) << "D0 only once the lower drivers are done";
    EXPECT_EQ(ext()->devicePowerState, PowerDeviceD0);
    auto calls = platform::PowerStateCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].state, ULONG(PowerDeviceD3));
    EXPECT_EQ(calls[1].state, ULONG(PowerDeviceD0));
    EXPECT_EQ(ext()->pendingIoCount, 1);
}

TEST_F(PowerPolicy, PowerUpEndsInSuccessWhateverTheBusSays)
{
    ASSERT_EQ(SetDevicePower(PowerDeviceD2).status, STATUS_SUCCESS);
    DEVICE_POWER_STATE seenByBus;
    NextPowerAnswer(STATUS_IO_DEVICE_ERROR, &seenByBus);
    EXPECT_EQ(SetDevicePower(PowerDeviceD0).status, STATUS_SUCCESS);
    EXPECT_EQ(ext()->devicePowerState, PowerDeviceD0);
}

TEST_F(PowerPolicy, WaitWakeInD0FailsAtOnce)
{
    // Even for a sleeping state the device could wake from (D2 in S3).
    auto waitWake = [this](SYSTEM_POWER_STATE from) {
        return Power(IRP_MN_WAIT_WAKE, [from](PIO_STACK_LOCATION sp) { sp->Parameters.WaitWake.PowerState = from; });
    };
    for (SYSTEM_POWER_STATE from : {PowerSystemUnspecified, PowerSystemWorking, PowerSystemSleeping3}) {
        EXPECT_EQ(waitWake(from).status, STATUS_INVALID_DEVICE_STATE) << int(from);
        EXPECT_TRUE(BusSaw().empty()) << int(from);
    }
    EXPECT_EQ(ext()->pendingIoCount, 1);
    EXPECT_EQ(ext()->devicePowerState, PowerDeviceD0);
    // Whatever the capability table says of the wake state.
    ext()->deviceCapabilities.DeviceWake = PowerDeviceUnspecified;
    EXPECT_EQ(waitWake(PowerSystemSleeping3).status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_TRUE(BusSaw().empty());
}

TEST_F(PowerPolicy, WaitWakePowersTheDeviceBackUpAfterTheWake)
{
    ASSERT_EQ(SetSystemPower(PowerSystemSleeping3).status, STATUS_SUCCESS);
    bus.scripted().ClearRequests();
    EXPECT_EQ(Power(IRP_MN_WAIT_WAKE).status, STATUS_SUCCESS);
    EXPECT_EQ(BusSaw(), std::vector<Seen>({{IRP_MN_WAIT_WAKE, SystemPowerState, 0},
                                           {kSet, DevicePowerState, PowerDeviceD0}}));
    EXPECT_EQ(ext()->devicePowerState, PowerDeviceD0);
    EXPECT_EQ(ext()->pendingIoCount, 1);
}

TEST_F(PowerPolicy, WaitWakeInAStateShallowerThanTheWakeStateFails)
{
    ext()->deviceCapabilities.DeviceWake = PowerDeviceD3;
    ASSERT_EQ(SetDevicePower(PowerDeviceD1).status, STATUS_SUCCESS);
    bus.scripted().ClearRequests();
    EXPECT_EQ(Power(IRP_MN_WAIT_WAKE).status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_TRUE(BusSaw().empty());
}

// Without its device request a system request must still go down, and the
// references held for it must be released (removal would hang otherwise).
TEST_F(PowerPolicy, SystemRequestGoesDownWhenTheDeviceRequestCannotBeMade)
{
    platform::FailNextPowerRequest(STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(SetSystemPower(PowerSystemSleeping3).status, STATUS_SUCCESS);
    EXPECT_EQ(BusSaw(), std::vector<Seen>({{kSet, SystemPowerState, PowerSystemSleeping3}}));
    EXPECT_EQ(ext()->pendingSystemPowerIrp, nullptr);
    EXPECT_EQ(ext()->devicePowerState, PowerDeviceD0);
    EXPECT_EQ(ext()->pendingIoCount, 1);
}

TEST_F(PowerPolicy, WaitWakeReleasesItsReferencesWhenNoPowerUpCanBeRequested)
{
    ASSERT_EQ(SetDevicePower(PowerDeviceD2).status, STATUS_SUCCESS);
    platform::FailNextPowerRequest(STATUS_INSUFFICIENT_RESOURCES);
    Power(IRP_MN_WAIT_WAKE);
    EXPECT_EQ(ext()->pendingIoCount, 1);
}

TEST_F(PowerPolicy, QueryPowerIsNeverRefused)
{
    auto r = Power(IRP_MN_QUERY_POWER, [](PIO_STACK_LOCATION sp) {
        sp->Parameters.Power.Type = SystemPowerState;
        sp->Parameters.Power.State.SystemState = PowerSystemHibernate;
    });
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(BusSaw().size(), 1u);
}

TEST_F(PowerPolicy, SystemControlPassesThrough)
{
    auto r = Request(IRP_MJ_SYSTEM_CONTROL, IRP_MN_QUERY_ALL_DATA);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(bus.scripted().Requests(IRP_MJ_SYSTEM_CONTROL).size(), 1u);
    EXPECT_EQ(ext()->pendingIoCount, 1);
}

}  // namespace
