// verifier_rules_test.cpp - every rule the kernel's verifier checks for the
// I/O manager and the PnP manager fires on a driver routine that breaks it,
// and names the rule and the offending object.  (Rules proven elsewhere:
// tests/platform.)
#include <broken_filter.hpp>
#include <fixture.hpp>
#include <scripted_device.hpp>

#include <pnp/pnp.hpp>

#include <cstdio>
#include <cstring>

using namespace testing_support;
using Fault = BrokenFilter::Fault;

namespace {

std::vector<std::string> Rules(const std::vector<platform::Violation> &found)
{
    std::vector<std::string> rules;
    for (const auto &v : found)
        rules.push_back(v.rule);
    return rules;
}

// Whether a finding names the object (the kernel's %p or the C library's).
bool Names(const std::string &detail, const void *p)
{
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return detail.find(text) != std::string::npos ||
           detail.find(platform::FormatKernel("%p", p)) != std::string::npos;
}

class VerifierRules : public KernelTest {
protected:
    // A read sent to the top of the stack as a client sends it; returns
    // what IoCallDriver returned.
    NTSTATUS SendRead(PDEVICE_OBJECT top, KEVENT *event, IO_STATUS_BLOCK *iosb)
    {
        KeInitializeEvent(event, NotificationEvent, FALSE);
        PIRP irp = platform::BuildSynchronousRequest(top, IRP_MJ_READ, 0, event, iosb);
        return IoCallDriver(top, irp);
    }

    ScriptedDriver bus_{u"\\Driver\\TestBus"};
    ScriptedDevice &pdo_ = bus_.CreatePdo(u"TEST\\RULES\\0000");
};

// ---------------------------------------------------------------------------
// Completion

TEST_F(VerifierRules, CompletionRoutineThatDropsPendingReturnedIsNamed)
{
    pdo_.SetDefault(Answer::Pend());
    BrokenFilter filter(pdo_.device(), Fault::CompletionDropsPending);
    platform::ViolationTrap trap;
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(STATUS_PENDING, SendRead(filter.device(), &event, &iosb));
    ASSERT_TRUE(pdo_.CompletePending(Answer::Complete(STATUS_SUCCESS, 7), CompleteFrom::Dispatch));
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(7u, iosb.Information);

    auto found = TakeViolations();
    ASSERT_EQ(std::vector<std::string>{"PENDING_NOT_PROPAGATED"}, Rules(found));
    EXPECT_NE(std::string::npos, found[0].detail.find("\\Driver\\Broken")) << found[0].detail;
}

TEST_F(VerifierRules, CompletionInTheWrongStateIsNamed)
{
    struct Case {
        Fault fault;
        const char *rule;
    } cases[] = {
        {Fault::CompletesWithCancelRoutine, "IRP_COMPLETED_WITH_CANCEL_ROUTINE"},
        {Fault::CompletesHoldingSpinLock, "COMPLETE_WHILE_HOLDING_SPIN_LOCK"},
        {Fault::CompletesWithPendingStatus, "IRP_COMPLETED_WITH_PENDING_STATUS"},
    };
    for (const Case &c : cases) {
        BrokenFilter filter(pdo_.device(), c.fault);
        platform::ViolationTrap trap;
        KEVENT event;
        IO_STATUS_BLOCK iosb{};
        NTSTATUS status = SendRead(filter.device(), &event, &iosb);
        if (status == STATUS_PENDING)
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        auto found = TakeViolations();
        ASSERT_EQ(std::vector<std::string>{c.rule}, Rules(found)) << c.rule;
        EXPECT_EQ(0u, pdo_.RequestCount()) << c.rule;
    }
}

// ---------------------------------------------------------------------------
// What a routine leaves behind, and requests sent in a state they may not be

TEST_F(VerifierRules, RoutinesThatReturnUnbalancedAreNamed)
{
    struct Case {
        Fault fault;
        const char *rule;
        const char *routine;
        bool atDispatch;  // sent at DISPATCH_LEVEL
    } cases[] = {
        {Fault::ReturnsAtRaisedIrql, "IRQL_NOT_RESTORED", "the dispatch routine", false},
        {Fault::CompletionReturnsAtRaisedIrql, "IRQL_NOT_RESTORED", "a completion routine", false},
        {Fault::ReturnsHoldingSpinLock, "SPIN_LOCK_HELD_ON_RETURN", "the dispatch routine", true},
    };
    for (const Case &c : cases) {
        BrokenFilter filter(pdo_.device(), c.fault);
        platform::ViolationTrap trap;
        KEVENT event;
        IO_STATUS_BLOCK iosb{};
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = platform::BuildSynchronousRequest(filter.device(), IRP_MJ_READ, 0, &event, &iosb);
        NTSTATUS status = STATUS_PENDING;
        if (c.atDispatch) {
            platform::AtDispatchLevel([&] {
                status = IoCallDriver(filter.device(), irp);
                KeReleaseSpinLockFromDpcLevel(filter.lock());  // what the routine kept
            });
        } else {
            status = IoCallDriver(filter.device(), irp);
        }
        EXPECT_EQ(status, STATUS_SUCCESS) << c.rule;
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "the kernel puts the IRQL back";
        auto found = TakeViolations();
        ASSERT_EQ(std::vector<std::string>{c.rule}, Rules(found)) << c.routine;
        EXPECT_NE(found[0].detail.find(std::string(c.routine) + " of \\Driver\\Broken"), std::string::npos)
            << found[0].detail;
    }
}

TEST_F(VerifierRules, RequestsSentOrEndedInAStateTheyMayNotBeInAreNamed)
{
    struct Case {
        Fault fault;
        std::vector<std::string> rules;
    } cases[] = {
        {Fault::SendsWithCancelRoutine, {"CALL_WITH_CANCEL_ROUTINE_SET"}},
        // Completed with it, and the dispatch routine returned it.
        {Fault::CompletesWithInvalidStatus, {"INVALID_IRP_STATUS", "INVALID_IRP_STATUS"}},
    };
    for (const Case &c : cases) {
        BrokenFilter filter(pdo_.device(), c.fault);
        platform::ViolationTrap trap;
        KEVENT event;
        IO_STATUS_BLOCK iosb{};
        SendRead(filter.device(), &event, &iosb);
        EXPECT_EQ(c.rules, Rules(TakeViolations()));
    }

    // A request freed and sent again is named before its memory is read.
    PIRP freed = IoAllocateIrp(pdo_.device()->StackSize, FALSE);
    IoFreeIrp(freed);
    platform::ViolationTrap trap;
    EXPECT_EQ(IoCallDriver(pdo_.device(), freed), STATUS_INVALID_PARAMETER);
    auto found = TakeViolations();
    ASSERT_EQ(std::vector<std::string>{"FREED_IRP_SENT"}, Rules(found));
    EXPECT_TRUE(Names(found[0].detail, freed)) << found[0].detail;
    EXPECT_EQ(pdo_.RequestCount(), 1u) << "the freed request reached no driver";

    // PnP requests travel at PASSIVE_LEVEL only; a request the I/O manager
    // finishes cannot reach a caller waiting at APC_LEVEL.
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP pnp = platform::BuildSynchronousRequest(pdo_.device(), IRP_MJ_PNP, IRP_MN_QUERY_PNP_DEVICE_STATE, &event,
                                                 &iosb);
    platform::AtDispatchLevel([&] { IoCallDriver(pdo_.device(), pnp); });
    PIRP read = platform::BuildSynchronousRequest(pdo_.device(), IRP_MJ_READ, 0, &event, &iosb);
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    IoCallDriver(pdo_.device(), read);
    KeLowerIrql(old);
    EXPECT_EQ((std::vector<std::string>{"PNP_IRP_ABOVE_PASSIVE", "THREADED_IRP_SENT_AT_APC_LEVEL"}),
              Rules(TakeViolations()));
}

TEST_F(VerifierRules, InformationBeyondTheCallersBufferIsNamedAndNotCopied)
{
    BrokenFilter filter(pdo_.device(), Fault::OverstatesInformation);
    platform::ViolationTrap trap;
    UCHAR out[8];
    std::memset(out, 0xEE, sizeof out);
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(0x22, 1, METHOD_BUFFERED, FILE_ANY_ACCESS), filter.device(),
                                             nullptr, 0, out, 4, FALSE, &event, &iosb);
    EXPECT_EQ(IoCallDriver(filter.device(), irp), STATUS_SUCCESS);
    auto found = TakeViolations();
    ASSERT_EQ(std::vector<std::string>{"INFORMATION_EXCEEDS_BUFFER"}, Rules(found));
    EXPECT_NE(found[0].detail.find("Information 5 for a caller's buffer of 4"), std::string::npos) << found[0].detail;
    EXPECT_EQ(iosb.Information, 4u);
    EXPECT_EQ(out[4], 0xEE) << "nothing is copied past the caller's buffer";
}

// ---------------------------------------------------------------------------
// Power

VOID NTAPI NotePowerDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
}

TEST_F(VerifierRules, PowerRequestsMishandledOnTheirWayAreNamed)
{
    ScriptedDevice &pageable = bus_.CreatePdo(u"TEST\\RULES\\0001", {FILE_DEVICE_UNKNOWN, 0, DO_POWER_PAGABLE});
    struct Case {
        Fault fault;
        const char *rule;
        ScriptedDevice *below;
    } cases[] = {
        {Fault::SendsPowerWithIoCallDriver, "POWER_IRP_SENT_WITH_IOCALLDRIVER", &pdo_},
        {Fault::PassesPowerWithoutStartNext, "POWER_IRP_WITHOUT_START_NEXT", &pdo_},
        {Fault::FailsPowerThenPassesDown, "FAILED_POWER_IRP_PASSED_DOWN", &pdo_},
        {Fault::NotPageableAbovePageable, "POWER_PAGABLE_MISMATCH", &pageable},
    };
    for (const Case &c : cases) {
        BrokenFilter filter(c.below->device(), c.fault);
        platform::ViolationTrap trap;
        world::SendPower(filter.device(), IRP_MN_SET_POWER, [](PIO_STACK_LOCATION sp) {
            sp->Parameters.Power.Type = DevicePowerState;
            sp->Parameters.Power.State.DeviceState = PowerDeviceD3;
        });
        auto found = TakeViolations();
        ASSERT_EQ(std::vector<std::string>{c.rule}, Rules(found));
        EXPECT_TRUE(found[0].detail.find("\\Driver\\Broken") != std::string::npos ||
                    Names(found[0].detail, filter.device()))
            << found[0].detail;
        EXPECT_EQ(c.below->Requests(IRP_MJ_POWER).size(), 1u) << c.rule;
        c.below->ClearRequests();
    }

    // Windows 98 sends a requested power request to the stack of the PDO it
    // is given, and only at PASSIVE_LEVEL when it is a wait-wake.
    BrokenFilter filter(pdo_.device(), Fault::None);
    platform::ViolationTrap trap;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    EXPECT_EQ(PoRequestPowerIrp(filter.device(), IRP_MN_SET_POWER, d0, NotePowerDone, &done, nullptr), STATUS_PENDING);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    KeClearEvent(&done);
    POWER_STATE s3;
    s3.SystemState = PowerSystemSleeping3;
    platform::AtDispatchLevel(
        [&] { PoRequestPowerIrp(pdo_.device(), IRP_MN_WAIT_WAKE, s3, NotePowerDone, &done, nullptr); });
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    auto found = TakeViolations();
    ASSERT_EQ((std::vector<std::string>{"POWER_REQUEST_NOT_FOR_PDO", "WAIT_WAKE_ABOVE_PASSIVE"}), Rules(found));
    EXPECT_TRUE(Names(found[0].detail, filter.device())) << found[0].detail;
}

// ---------------------------------------------------------------------------
// Spin locks

// A routine that lowers the IRQL under a spin lock it holds, then releases.
void ReleaseAtTheWrongIrql(PKSPIN_LOCK lock)
{
    KIRQL irql;
    KeAcquireSpinLock(lock, &irql);
    KeLowerIrql(PASSIVE_LEVEL);
    KeReleaseSpinLock(lock, irql);
}

// A routine that waits for an event while it holds a spin lock.
void WaitUnderSpinLock(PKSPIN_LOCK lock, PKEVENT event)
{
    KIRQL irql;
    KeAcquireSpinLock(lock, &irql);
    LARGE_INTEGER shortWait;
    shortWait.QuadPart = -1;  // a real wait, however short: only a zero-timeout probe is allowed
    KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &shortWait);
    KeReleaseSpinLock(lock, irql);
}

TEST_F(VerifierRules, SpinLockMisuseIsNamed)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    platform::ViolationTrap trap;
    ReleaseAtTheWrongIrql(&lock);
    auto found = TakeViolations();
    ASSERT_GE(found.size(), 1u);
    EXPECT_EQ("IRQL_NOT_LESS_OR_EQUAL", found[0].rule);
    EXPECT_NE(std::string::npos, found[0].detail.find("released at IRQL 0")) << found[0].detail;
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());

    WaitUnderSpinLock(&lock, &event);
    EXPECT_EQ((std::vector<std::string>{"IRQL_NOT_LESS_OR_EQUAL", "WAIT_WHILE_HOLDING_SPIN_LOCK"}),
              Rules(TakeViolations()));
}

// ---------------------------------------------------------------------------
// Freeing requests

NTSTATUS NTAPI KeepRequest(PDEVICE_OBJECT, PIRP, PVOID event)
{
    KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(VerifierRules, FreeingARequestADriverBelowHoldsIsRefused)
{
    pdo_.SetDefault(Answer::Pend());
    PIRP irp = IoAllocateIrp(pdo_.device()->StackSize, FALSE);
    ASSERT_NE(nullptr, irp);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, KeepRequest, &event, TRUE, TRUE, TRUE);
    ASSERT_EQ(STATUS_PENDING, IoCallDriver(pdo_.device(), irp));
    {
        platform::ViolationTrap trap;
        IoFreeIrp(irp);  // the scripted device still holds it
        auto found = TakeViolations();
        ASSERT_EQ(std::vector<std::string>{"IRP_FREED_WHILE_IN_USE"}, Rules(found));
        EXPECT_TRUE(Names(found[0].detail, irp)) << found[0].detail;
    }
    ASSERT_TRUE(pdo_.CompletePending(Answer::Complete()));
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    IoFreeIrp(irp);
}

TEST_F(VerifierRules, FreeingARequestTheIoManagerFinishesIsRefused)
{
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = platform::BuildSynchronousRequest(pdo_.device(), IRP_MJ_READ, 0, &event, &iosb);
    {
        platform::ViolationTrap trap;
        IoFreeIrp(irp);
        ASSERT_EQ(std::vector<std::string>{"IRP_FREED_NOT_OWNED"}, Rules(TakeViolations()));
    }
    // Still the I/O manager's: sent, it is finished and freed as usual.
    EXPECT_EQ(STATUS_SUCCESS, platform::CallAndWait(pdo_.device(), irp, &event, &iosb));
}

// ---------------------------------------------------------------------------
// Device objects

TEST_F(VerifierRules, DeletingADeviceTwiceIsNamed)
{
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(bus_.driver(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
    IoDeleteDevice(device);
    platform::ViolationTrap trap;
    IoDeleteDevice(device);
    auto found = TakeViolations();
    ASSERT_EQ(std::vector<std::string>{"DEVICE_DELETED_TWICE"}, Rules(found));
    EXPECT_TRUE(Names(found[0].detail, device));
}

// ---------------------------------------------------------------------------
// PnP

TEST_F(VerifierRules, DetachingDuringSurpriseRemovalIsNamed)
{
    BrokenFilter filter(pdo_.device(), Fault::DetachesAtSurpriseRemoval);
    platform::ViolationTrap trap;
    EXPECT_EQ(STATUS_SUCCESS, world::SendPnp(pdo_.device(), IRP_MN_SURPRISE_REMOVAL).status);
    auto found = TakeViolations();
    ASSERT_EQ(std::vector<std::string>{"DETACH_DURING_SURPRISE_REMOVAL"}, Rules(found));
    EXPECT_TRUE(Names(found[0].detail, filter.device())) << found[0].detail;
    EXPECT_NE(std::string::npos, found[0].detail.find("\\Driver\\Broken"));

    // Off the stack, the filter never sees the removal it should have left at.
    EXPECT_EQ(STATUS_SUCCESS, world::SendPnp(pdo_.device(), IRP_MN_REMOVE_DEVICE).status);
    EXPECT_FALSE(filter.deleted());
    EXPECT_TRUE(TakeViolations().empty());
}

TEST_F(VerifierRules, DeletingDuringSurpriseRemovalIsNamed)
{
    BrokenFilter filter(pdo_.device(), Fault::DeletesAtSurpriseRemoval);
    PDEVICE_OBJECT device = filter.device();
    platform::ViolationTrap trap;
    world::SendPnp(pdo_.device(), IRP_MN_SURPRISE_REMOVAL);
    auto found = TakeViolations();
    ASSERT_EQ((std::vector<std::string>{"DETACH_DURING_SURPRISE_REMOVAL", "DELETE_DURING_SURPRISE_REMOVAL"}),
              Rules(found));
    EXPECT_TRUE(Names(found[1].detail, device)) << found[1].detail;
    world::SendPnp(pdo_.device(), IRP_MN_REMOVE_DEVICE);
    EXPECT_TRUE(TakeViolations().empty());
}

TEST_F(VerifierRules, ADeviceLeftAtRemovalIsNamed)
{
    BrokenFilter filter(pdo_.device(), Fault::KeepsDeviceAtRemoval);
    platform::ViolationTrap trap;
    world::SendPnp(pdo_.device(), IRP_MN_REMOVE_DEVICE);
    auto found = TakeViolations();
    ASSERT_EQ((std::vector<std::string>{"NO_DELETE_AT_REMOVAL", "NO_DETACH_AT_REMOVAL"}), Rules(found));
    for (const auto &v : found)
        EXPECT_TRUE(Names(v.detail, filter.device())) << v.detail;
}

TEST_F(VerifierRules, AFilterThatLeavesAtRemovalIsClean)
{
    BrokenFilter filter(pdo_.device(), Fault::None);
    world::SendPnp(pdo_.device(), IRP_MN_SURPRISE_REMOVAL);
    world::SendPnp(pdo_.device(), IRP_MN_REMOVE_DEVICE);
    EXPECT_TRUE(filter.deleted());
}

TEST_F(VerifierRules, APnpRequestFailedAndPassedDownIsNamed)
{
    BrokenFilter filter(pdo_.device(), Fault::FailsPnpThenPassesDown);
    platform::ViolationTrap trap;
    world::SendPnp(pdo_.device(), IRP_MN_QUERY_STOP_DEVICE);
    auto found = TakeViolations();
    ASSERT_EQ(std::vector<std::string>{"PNP_IRP_FAILED_AND_PASSED_DOWN"}, Rules(found));
    EXPECT_NE(std::string::npos, found[0].detail.find("\\Driver\\Broken")) << found[0].detail;
    EXPECT_NE(std::string::npos, found[0].detail.find("0xc0000001")) << found[0].detail;
}

TEST_F(VerifierRules, RequestsAFilterMustPassOnOrSucceedAreNamed)
{
    {
        BrokenFilter filter(pdo_.device(), Fault::CompletesUnknownRequests);
        platform::ViolationTrap trap;
        world::SendPnp(pdo_.device(), 0xFF);
        world::SendPower(filter.device(), 0xFF);
        auto found = TakeViolations();
        ASSERT_EQ((std::vector<std::string>{"UNKNOWN_PNP_COMPLETED_UNTOUCHED", "UNKNOWN_PNP_COMPLETED_UNTOUCHED"}),
                  Rules(found));
        EXPECT_TRUE(Names(found[0].detail, filter.device())) << found[0].detail;
        EXPECT_EQ(pdo_.RequestCount(), 0u);
    }
    BrokenFilter filter(pdo_.device(), Fault::FailsCancelStop);
    platform::ViolationTrap trap;
    EXPECT_EQ(world::SendPnp(pdo_.device(), IRP_MN_CANCEL_STOP_DEVICE).status, STATUS_UNSUCCESSFUL);
    auto found = TakeViolations();
    ASSERT_EQ(std::vector<std::string>{"REMOVE_OR_CANCEL_FAILED"}, Rules(found));
    EXPECT_NE(found[0].detail.find("\\Driver\\Broken completed IRP_MN_CANCEL_STOP_DEVICE"), std::string::npos)
        << found[0].detail;
}

TEST_F(VerifierRules, TheStatusOfARequestNoDriverHandlesMustStay)
{
    pdo_.SetDefault(Answer::Pass());  // the bottom completes it as it came
    {
        BrokenFilter good(pdo_.device(), Fault::None);
        EXPECT_EQ(STATUS_NOT_SUPPORTED, world::SendPnp(pdo_.device(), 0xFF).status);
        EXPECT_EQ(STATUS_NOT_SUPPORTED, world::SendPower(good.device(), 0xFF).status);
    }
    BrokenFilter filter(pdo_.device(), Fault::ChangesUnknownStatus);
    platform::ViolationTrap trap;
    world::SendPnp(pdo_.device(), 0xFF);
    world::SendPower(filter.device(), 0xFF);
    auto found = TakeViolations();
    ASSERT_EQ((std::vector<std::string>{"UNHANDLED_PNP_STATUS_CHANGED", "UNHANDLED_POWER_STATUS_CHANGED"}),
              Rules(found));
}

// ---------------------------------------------------------------------------
// AddDevice and unload, through a driver module as the PnP manager loads it

NTSTATUS NTAPI BottomCompletesAsItCame(PDEVICE_OBJECT, PIRP irp)
{
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER)
        PoStartNextPowerIrp(irp);
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

class ModuleRules : public KernelTest {
protected:
    void SetUp() override
    {
        driver_ = platform::CreateDriverObject(u"\\Driver\\TestBus");
        for (auto &slot : driver_->MajorFunction)
            slot = BottomCompletesAsItCame;
        ASSERT_EQ(STATUS_SUCCESS,
                  IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &pdo_));
        pdo_->Flags = (pdo_->Flags | DO_BUFFERED_IO) & ~DO_DEVICE_INITIALIZING;
        node_ = std::make_unique<world::DevNode>(pdo_, u"TEST\\MODULE\\0000");
        function_ = world::DriverModule::Load(BROKEN_MODULE_PATH, u"brokenfn");
        filter_ = world::DriverModule::Load(BROKEN_MODULE_PATH, u"brokenfilter");
        ASSERT_TRUE(function_ && filter_);
    }

    void TearDown() override
    {
        node_->Remove(false);
        EXPECT_TRUE(filter_->Unload());
        EXPECT_TRUE(function_->Unload());
        node_.reset();
        IoDeleteDevice(pdo_);
        platform::DeleteDriverObject(driver_);
    }

    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    std::unique_ptr<world::DevNode> node_;
    std::unique_ptr<world::DriverModule> function_;
    std::unique_ptr<world::DriverModule> filter_;
};

TEST_F(ModuleRules, AWellBehavedStackAddsCleanly)
{
    EXPECT_EQ(STATUS_SUCCESS, node_->AddDevices(function_.get(), {filter_.get()}));
    EXPECT_EQ(3u, platform::DeviceStack(pdo_).size());
}

TEST_F(ModuleRules, AddDeviceThatLeavesTheDeviceInitializingIsNamed)
{
    node_->SetDword(u"Fault", 1);
    platform::ViolationTrap trap;
    node_->AddDevices(function_.get(), {filter_.get()});
    auto found = TakeViolations();
    ASSERT_EQ(std::vector<std::string>{"DEVICE_INITIALIZING_LEFT_SET"}, Rules(found));
    EXPECT_NE(std::string::npos, found[0].detail.find("brokenfilter")) << found[0].detail;
    EXPECT_TRUE(Names(found[0].detail, node_->top()));
}

TEST_F(ModuleRules, AFilterThatDoesNotCopyTheIoFlagsIsNamed)
{
    node_->SetDword(u"Fault", 2);
    platform::ViolationTrap trap;
    node_->AddDevices(function_.get(), {filter_.get()});
    auto found = TakeViolations();
    ASSERT_EQ(std::vector<std::string>{"FILTER_FLAGS_NOT_COPIED"}, Rules(found));
    EXPECT_NE(std::string::npos, found[0].detail.find("brokenfilter")) << found[0].detail;
}

TEST_F(ModuleRules, ABusRelationsListNamingANonPdoIsNamed)
{
    node_->SetDword(u"Fault", 3);
    ASSERT_EQ(STATUS_SUCCESS, node_->AddDevices(function_.get(), {filter_.get()}));
    platform::ViolationTrap trap;
    world::PnpResult r = node_->SendPnp(IRP_MN_QUERY_DEVICE_RELATIONS, [](PIO_STACK_LOCATION sp) {
        sp->Parameters.QueryDeviceRelations.Type = BusRelations;
    });
    auto found = TakeViolations();
    ASSERT_EQ(std::vector<std::string>{"NON_PDO_IN_BUS_RELATIONS"}, Rules(found));
    EXPECT_NE(std::string::npos, found[0].detail.find("brokenfilter")) << found[0].detail;
    ASSERT_EQ(STATUS_SUCCESS, r.status);
    auto relations = reinterpret_cast<PDEVICE_RELATIONS>(r.information);
    ASSERT_EQ(1u, relations->Count);
    ObDereferenceObject(relations->Objects[0]);
    ExFreePool(relations);
}

TEST_F(ModuleRules, UnloadingADriverThatStillHasADeviceIsRefused)
{
    node_->AddDevices(function_.get(), {filter_.get()});
    platform::ViolationTrap trap;
    EXPECT_FALSE(filter_->Unload());
    EXPECT_TRUE(filter_->loaded());
    auto found = TakeViolations();
    ASSERT_EQ(std::vector<std::string>{"DRIVER_UNLOADED_WITH_DEVICES"}, Rules(found));
    EXPECT_NE(std::string::npos, found[0].detail.find("brokenfilter")) << found[0].detail;
}

}  // namespace
