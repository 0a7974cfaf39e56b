// lifecycle_test.cpp - the filter device's PnP states, start, capabilities,
// cleanup, surprise removal and removal, and the engines at removal.
#include "norva_test.hpp"

namespace norva_test {
namespace {

class Lifecycle : public NorvaTest {
protected:
    void SetUp() override
    {
        NorvaTest::SetUp();
        if (!HasFatalFailure())
            exports_ = std::make_unique<Exports>(module());
    }

    PDEVICE_OBJECT Prepare(ULONG endPointCaps = 1)
    {
        pdo_ = &NewPdo();
        platform::SetDriverDword(pdo_->device(), u"EndPointCaps", endPointCaps);
        pipes_ = std::make_unique<PipeScript>(*pdo_);
        filter_ = AddFilter(*pdo_);
        ext_ = filter_ ? Ext(filter_) : nullptr;
        return filter_;
    }

    ULONG State() const { return ext_->pnpState; }

    // The port driver's callbacks: one byte to send at every call; received
    // bytes dropped.
    static ULONG NTAPI OneByte(PVOID, PUCHAR buffer, ULONG, ULONG)
    {
        buffer[0] = 'x';
        return 1;
    }
    static ULONG NTAPI Drop(PVOID, PUCHAR, ULONG, UCHAR, PULONG) { return 0; }
    std::vector<UCHAR> PnpBelow()
    {
        std::vector<UCHAR> minors;
        for (const auto &r : pdo_->Requests(IRP_MJ_PNP))
            minors.push_back(r.minor);
        return minors;
    }

    std::unique_ptr<Exports> exports_;
    ScriptedDevice *pdo_ = nullptr;
    std::unique_ptr<PipeScript> pipes_;
    PDEVICE_OBJECT filter_ = nullptr;
    FilterExtension *ext_ = nullptr;
};

// ---------------------------------------------------------------------------
// Start and the state changes

TEST_F(Lifecycle, StartIsWaitedForBelowThenTheDeviceIsStarted)
{
    ASSERT_NE(Prepare(), nullptr);
    pdo_->Queue(IRP_MJ_PNP, Answer::Async(STATUS_SUCCESS, 0, CompleteFrom::OtherDispatch));
    EXPECT_EQ(Pnp(filter_, IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(State(), ULONG(Started));
    EXPECT_EQ(ext_->previousPnpState, ULONG(NotStarted));
    EXPECT_EQ(PnpBelow(), (std::vector<UCHAR>{IRP_MN_START_DEVICE}));
    EXPECT_TRUE(TakeAssertions().empty());
}

TEST_F(Lifecycle, StartFailedBelowIsReportedAndChangesNothing)
{
    ASSERT_NE(Prepare(), nullptr);
    pdo_->Queue(IRP_MJ_PNP, Answer::Async(STATUS_DEVICE_DATA_ERROR, 0, CompleteFrom::OtherThread));
    EXPECT_EQ(Pnp(filter_, IRP_MN_START_DEVICE).status, STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(State(), ULONG(NotStarted));
    pdo_->Queue(IRP_MJ_PNP, Answer::Complete(STATUS_INSUFFICIENT_RESOURCES));
    EXPECT_EQ(Pnp(filter_, IRP_MN_START_DEVICE).status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(State(), ULONG(NotStarted));
}

TEST_F(Lifecycle, QueryStopThenCancelStopReturnsToStarted)
{
    ASSERT_NE(Prepare(), nullptr);
    Pnp(filter_, IRP_MN_START_DEVICE);
    EXPECT_EQ(Pnp(filter_, IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(State(), ULONG(Stopped));
    EXPECT_EQ(Pnp(filter_, IRP_MN_CANCEL_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(State(), ULONG(Started));
    // Without a query-stop before it, a cancel-stop changes nothing.
    Pnp(filter_, IRP_MN_CANCEL_STOP_DEVICE);
    EXPECT_EQ(State(), ULONG(Started));
}

TEST_F(Lifecycle, QueryRemoveThenCancelRemoveReturnsToTheEarlierState)
{
    ASSERT_NE(Prepare(), nullptr);
    EXPECT_EQ(Pnp(filter_, IRP_MN_QUERY_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(State(), ULONG(RemovePending));
    EXPECT_EQ(Pnp(filter_, IRP_MN_CANCEL_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(State(), ULONG(NotStarted));
    Pnp(filter_, IRP_MN_START_DEVICE);
    Pnp(filter_, IRP_MN_CANCEL_REMOVE_DEVICE);
    EXPECT_EQ(State(), ULONG(Started));
}

TEST_F(Lifecycle, StopOnlyRecordsTheStateAndAStartRecordsStartedAgain)
{
    ASSERT_NE(Prepare(), nullptr);
    Pnp(filter_, IRP_MN_START_DEVICE);
    Pnp(filter_, IRP_MN_QUERY_STOP_DEVICE);
    EXPECT_EQ(Pnp(filter_, IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(State(), ULONG(Stopped));
    EXPECT_EQ(ext_->previousPnpState, ULONG(Stopped)) << "the stop records its own transition";
    EXPECT_EQ(Pnp(filter_, IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(State(), ULONG(Started));
    // A stop without its query records Stopped too.
    EXPECT_EQ(Pnp(filter_, IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(State(), ULONG(Stopped));
    EXPECT_EQ(ext_->previousPnpState, ULONG(Started));
    EXPECT_EQ(PnpBelow().size(), 5u);
}

TEST_F(Lifecycle, QueriesPassDownSucceededAndOthersWithTheirStatus)
{
    ASSERT_NE(Prepare(), nullptr);
    std::vector<NTSTATUS> seen;
    pdo_->SetScript([&](const RecordedRequest &r) {
        seen.push_back(r.irp->IoStatus.Status);
        return Answer::Pass();  // the bottom completes with the status it came with
    });
    EXPECT_EQ(Pnp(filter_, IRP_MN_QUERY_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(Pnp(filter_, IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(Pnp(filter_, IRP_MN_QUERY_PNP_DEVICE_STATE).status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(seen, (std::vector<NTSTATUS>{STATUS_SUCCESS, STATUS_SUCCESS, STATUS_NOT_SUPPORTED}));
    pipes_ = std::make_unique<PipeScript>(*pdo_);  // the script must not outlive `seen`
}

// ---------------------------------------------------------------------------
// Capabilities

// The copy the child answers from is taken as the record goes down, before
// the drivers below fill it in: what they add never reaches the child.
TEST_F(Lifecycle, CapabilityQueryGoesDownWithSurpriseRemovalOkAndIsCopiedOnTheWayDown)
{
    ASSERT_NE(Prepare(), nullptr);
    bool setWhenSeen = false;
    pdo_->Queue(IRP_MJ_PNP, Answer::Async(STATUS_SUCCESS, 0, CompleteFrom::OtherDispatch)
                                .With([&](PIRP, PIO_STACK_LOCATION sp) {
                                    PDEVICE_CAPABILITIES caps = sp->Parameters.DeviceCapabilities.Capabilities;
                                    setWhenSeen = caps->SurpriseRemovalOK;
                                    caps->Removable = TRUE;  // the bus driver's answer
                                    caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
                                }));
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof caps;
    caps.Version = 1;
    caps.UINumber = 7;
    EXPECT_EQ(Pnp(filter_, IRP_MN_QUERY_CAPABILITIES,
                  [&](PIO_STACK_LOCATION sp) { sp->Parameters.DeviceCapabilities.Capabilities = &caps; })
                  .status,
              STATUS_SUCCESS);
    EXPECT_TRUE(setWhenSeen);
    EXPECT_TRUE(caps.SurpriseRemovalOK);
    EXPECT_TRUE(caps.Removable) << "the record itself carries the bus driver's answer up";
    EXPECT_TRUE(ext_->deviceCapabilities.SurpriseRemovalOK);
    EXPECT_FALSE(ext_->deviceCapabilities.Removable) << "copied before the bus driver filled it";
    EXPECT_EQ(ext_->deviceCapabilities.DeviceState[PowerSystemWorking], PowerDeviceUnspecified);
    EXPECT_EQ(ext_->deviceCapabilities.UINumber, 7u);
    auto below = pdo_->Requests(IRP_MJ_PNP);
    ASSERT_EQ(below.size(), 1u);
    EXPECT_EQ(below[0].stack.CompletionRoutine, nullptr) << "passed down, not waited for";

    // The child answers from that copy.
    QueryBusRelations(filter_);
    DEVICE_CAPABILITIES child{};
    Pnp(ext_->norva_pdo, IRP_MN_QUERY_CAPABILITIES,
        [&](PIO_STACK_LOCATION sp) { sp->Parameters.DeviceCapabilities.Capabilities = &child; });
    EXPECT_FALSE(child.Removable);
    EXPECT_TRUE(child.SurpriseRemovalOK);
}

TEST_F(Lifecycle, FailedCapabilityQueryKeepsItsStatusAndTheCopy)
{
    ASSERT_NE(Prepare(), nullptr);
    pdo_->Queue(IRP_MJ_PNP, Answer::Complete(STATUS_UNSUCCESSFUL));
    DEVICE_CAPABILITIES caps{};
    EXPECT_EQ(Pnp(filter_, IRP_MN_QUERY_CAPABILITIES,
                  [&](PIO_STACK_LOCATION sp) { sp->Parameters.DeviceCapabilities.Capabilities = &caps; })
                  .status,
              STATUS_UNSUCCESSFUL);
    // The filter passes the query on with the status it came with.
    pdo_->Queue(IRP_MJ_PNP, Answer::Pass());
    EXPECT_EQ(Pnp(filter_, IRP_MN_QUERY_CAPABILITIES,
                  [&](PIO_STACK_LOCATION sp) { sp->Parameters.DeviceCapabilities.Capabilities = &caps; })
                  .status,
              STATUS_NOT_SUPPORTED);
    EXPECT_TRUE(ext_->deviceCapabilities.SurpriseRemovalOK);
    QueryBusRelations(filter_);
    DEVICE_CAPABILITIES child{};
    Pnp(ext_->norva_pdo, IRP_MN_QUERY_CAPABILITIES,
        [&](PIO_STACK_LOCATION sp) { sp->Parameters.DeviceCapabilities.Capabilities = &child; });
    EXPECT_TRUE(child.SurpriseRemovalOK);
}

// ---------------------------------------------------------------------------
// Cleanup

TEST_F(Lifecycle, CleanupCompletesWithSuccessAndTracesItsHooks)
{
    ScriptedDevice &first = NewPdo();
    platform::SetDriverDword(first.device(), u"DebugLevel", 0x06);
    AddFilter(first);
    ASSERT_NE(Prepare(), nullptr);
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(platform::OpenDevice(filter_, u"", &file), STATUS_SUCCESS);
    platform::ClearDebugOutput();
    EXPECT_EQ(platform::CloseDevice(file), STATUS_SUCCESS);
    std::vector<std::string> cleanup;
    for (const Trace &t : Traces()) {
        if (t.message == "FilterCleanup\r\n" || t.message == "CancelWaitOnMask\r\n" ||
            t.message == "CancelAllRxIrp\r\n" || t.message == "CancelAllTxIrp\r\n")
            cleanup.push_back(t.message);
        if (t.message == "FilterCreateClose\r\n")
            break;
    }
    EXPECT_EQ(cleanup, (std::vector<std::string>{"FilterCleanup\r\n", "CancelAllRxIrp\r\n", "CancelAllTxIrp\r\n",
                                                 "CancelWaitOnMask\r\n"}))
        << DescribeTraces();
    EXPECT_TRUE(pdo_->Requests(IRP_MJ_CLEANUP).empty());  // not passed down
}

// ---------------------------------------------------------------------------
// Removal

TEST_F(Lifecycle, RemovalPassesDownThenDetachesAndDeletesTheFilter)
{
    ASSERT_NE(Prepare(), nullptr);
    ObReferenceObject(filter_);
    bool attachedWhenSeen = false;
    pdo_->Queue(IRP_MJ_PNP, Answer::Complete().With([&](PIRP, PIO_STACK_LOCATION) {
        attachedWhenSeen = pdo_->device()->AttachedDevice == filter_;
    }));
    EXPECT_EQ(Pnp(filter_, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_TRUE(attachedWhenSeen);
    EXPECT_EQ(pdo_->device()->AttachedDevice, nullptr);
    EXPECT_TRUE(platform::IsDeviceDeleted(filter_));
    EXPECT_EQ(ext_->pnpState, ULONG(Removed));
    EXPECT_EQ(ext_->interfaceName.Buffer, nullptr);
    for (const auto &i : platform::Interfaces(kGuidWdmVxd))
        EXPECT_FALSE(i.enabled);
    EXPECT_TRUE(HasUngated("FDO::IRP_MN_REMOVE_DEVICE\r\n")) << DescribeTraces();
    EXPECT_TRUE(HasTrace("filter", "FDO::IRP_MN_REMOVE_DEVICE\n"));
    ObDereferenceObject(filter_);
    EXPECT_EQ(driver()->DeviceObject, nullptr);
}

TEST_F(Lifecycle, RemovalSucceedsWhateverTheDriverBelowSays)
{
    ASSERT_NE(Prepare(), nullptr);
    pdo_->Queue(IRP_MJ_PNP, Answer::Async(STATUS_UNSUCCESSFUL, 0, CompleteFrom::OtherThread));
    {
        platform::ViolationTrap trap;  // the bus driver below breaks a rule, norva must not
        EXPECT_EQ(Pnp(filter_, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
        auto found = TakeViolations();
        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(found[0].rule, "REMOVE_OR_CANCEL_FAILED");
        EXPECT_NE(found[0].detail.find("\\Driver\\usbhub completed IRP_MN_REMOVE_DEVICE"), std::string::npos)
            << found[0].detail;
    }
    EXPECT_EQ(PnpBelow(), (std::vector<UCHAR>{IRP_MN_REMOVE_DEVICE}));
    EXPECT_EQ(driver()->DeviceObject, nullptr);
    EXPECT_EQ(pdo_->device()->AttachedDevice, nullptr);
}

// Once the removal has gone down the devices below are gone: transmission,
// reception and their pipes end before it, and nothing follows it below.
TEST_F(Lifecycle, NothingIsSentBelowOnceTheRemovalHasGoneDown)
{
    ASSERT_NE(Prepare(), nullptr);
    TX_THREAD_PARAMS params{nullptr, &OneByte};
    ASSERT_EQ(exports_->TxThreadStart(filter_, &params), 1u);
    ASSERT_EQ(exports_->RxThreadStart(filter_, nullptr, &Drop), 1u);
    exports_->KickTx(filter_);
    ASSERT_EQ(pdo_->PendingCount(), 2u) << "a read and a write below";

    EXPECT_EQ(Pnp(filter_, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    std::vector<RecordedRequest> below = pdo_->Requests();
    ASSERT_FALSE(below.empty());
    EXPECT_EQ(below.back().major, IRP_MJ_PNP);
    EXPECT_EQ(below.back().minor, IRP_MN_REMOVE_DEVICE) << "a request went below after the removal";
    EXPECT_TRUE(pipes_->Open().empty()) << "the pipes were closed before the removal went down";
    EXPECT_EQ(pdo_->PendingCount(), 0u);
    EXPECT_EQ(driver()->DeviceObject, nullptr);
    EXPECT_EQ(platform::PoolByTag()["NRVA"].blocks, 0u);
}

TEST_F(Lifecycle, SurpriseRemovalThenRemovalDisablesTheInterfaceOnceAndStopsTransmissionTwice)
{
    ASSERT_NE(Prepare(), nullptr);
    ASSERT_EQ(platform::Interfaces(kGuidWdmVxd).size(), 1u);
    EXPECT_EQ(Pnp(filter_, IRP_MN_SURPRISE_REMOVAL).status, STATUS_SUCCESS);
    EXPECT_EQ(State(), ULONG(SurpriseRemoved));
    EXPECT_EQ(ext_->interfaceName.Buffer, nullptr);
    EXPECT_FALSE(platform::Interfaces(kGuidWdmVxd)[0].enabled);
    EXPECT_EQ(pdo_->device()->AttachedDevice, filter_);  // the device lives on until removal
    Pnp(filter_, IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(CountTrace("write-rc01", "TxThreadStop\n"), 2u) << DescribeTraces();
    EXPECT_EQ(CountTrace("filter", "FDO::IRP_MN_SURPRISE_REMOVAL\n"), 1u);
    EXPECT_EQ(pdo_->device()->AttachedDevice, nullptr);
}

TEST_F(Lifecycle, RemovalDeletesAChildThatHasNotHandledItsOwnRemoval)
{
    ASSERT_NE(Prepare(), nullptr);
    QueryBusRelations(filter_);
    ReleaseReported();
    PDEVICE_OBJECT child = ext_->norva_pdo;
    ASSERT_NE(child, nullptr);
    ObReferenceObject(child);
    PDEVICE_OBJECT childWhenSeen = reinterpret_cast<PDEVICE_OBJECT>(1);
    pdo_->Queue(IRP_MJ_PNP, Answer::Complete().With([&](PIRP, PIO_STACK_LOCATION) {
        childWhenSeen = ext_->norva_pdo;
    }));
    Pnp(filter_, IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(childWhenSeen, nullptr);  // deleted before the request went down
    EXPECT_TRUE(platform::IsDeviceDeleted(child));
    EXPECT_TRUE(HasTrace("bus", platform::FormatKernel("PDO_RemoveDevice(0x%lx)\n", PtrToUlong(child))));
    ObDereferenceObject(child);
    EXPECT_EQ(driver()->DeviceObject, nullptr);
}

TEST_F(Lifecycle, SurpriseRemovedChildIsDeletedByItsOwnRemovalThroughTheGate)
{
    ASSERT_NE(Prepare(), nullptr);
    QueryBusRelations(filter_);
    ReleaseReported();
    PDEVICE_OBJECT child = ext_->norva_pdo;
    int notices = 0;
    struct Count {
        static ULONG NTAPI Callback(PVOID c)
        {
            ++*static_cast<int *>(c);
            return 0;
        }
    };
    exports_->SetRemoveCallback(child, &notices, &Count::Callback);
    // The PnP manager: children first, surprise removal then removal.
    Pnp(child, IRP_MN_SURPRISE_REMOVAL);
    Pnp(filter_, IRP_MN_SURPRISE_REMOVAL);
    EXPECT_EQ(Pnp(child, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(ext_->norva_pdo, nullptr);
    Pnp(filter_, IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(notices, 1);
    EXPECT_EQ(driver()->DeviceObject, nullptr);
    EXPECT_TRUE(module().Unload());
    EXPECT_TRUE(TakeAssertions().empty());
}

TEST_F(Lifecycle, RemovalStopsTransmissionAndCancelsTheWriteInFlight)
{
    ASSERT_NE(Prepare(), nullptr);
    TX_THREAD_PARAMS params{nullptr, &OneByte};
    ASSERT_EQ(exports_->TxThreadStart(filter_, &params), 1u);
    exports_->KickTx(filter_);
    ASSERT_EQ(pdo_->PendingCount(), 1u);
    Pnp(filter_, IRP_MN_SURPRISE_REMOVAL);
    EXPECT_EQ(pdo_->PendingCount(), 0u);
    EXPECT_EQ(ext_->tx.pfnTxCallback, nullptr);
    EXPECT_TRUE(pipes_->Open().empty());
}

TEST_F(Lifecycle, RemovalReleasesReceptionItsUserLeftRunning)
{
    ASSERT_NE(Prepare(), nullptr);
    ASSERT_EQ(exports_->RxThreadStart(filter_, nullptr, &Drop), 1u);
    ASSERT_EQ(pdo_->PendingCount(), 1u);
    // The converter's driver aborts its pipes when the removal reaches it.
    pdo_->Queue(IRP_MJ_PNP, Answer::Complete().With([&](PIRP, PIO_STACK_LOCATION) {
        std::thread([&] { pdo_->CancelAllPending(); }).join();
    }));
    Pnp(filter_, IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(driver()->DeviceObject, nullptr);
    EXPECT_TRUE(pipes_->Open().empty());
    EXPECT_EQ(platform::PoolByTag()["NRVA"].blocks, 0u);
}

// A cancelled query-stop or query-remove: a receive loop that the
// converter's driver ended meanwhile (here at a line-status read) starts
// again with a data read; one still running is left alone.
TEST_F(Lifecycle, ACancelledQueryResumesReceptionThatEndedMeanwhile)
{
    ASSERT_NE(Prepare(2), nullptr);
    ASSERT_EQ(exports_->RxThreadStart(filter_, nullptr, &Drop), 1u);
    ASSERT_EQ(pdo_->PendingCount(), 1u);
    EXPECT_EQ(Pnp(filter_, IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(Pnp(filter_, IRP_MN_CANCEL_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(pdo_->PendingCount(), 1u) << "a second read beside the one outstanding";

    ASSERT_TRUE(pdo_->CompletePending(Answer::Data({'a'}), CompleteFrom::Dispatch));  // on to a line-status read
    EXPECT_EQ(Pnp(filter_, IRP_MN_QUERY_REMOVE_DEVICE).status, STATUS_SUCCESS);
    ASSERT_TRUE(pdo_->CompletePending(Answer::Complete(STATUS_DELETE_PENDING), CompleteFrom::Dispatch));
    EXPECT_EQ(pdo_->PendingCount(), 0u) << "the refused read ended the loop";
    platform::ClearDebugOutput();
    EXPECT_EQ(Pnp(filter_, IRP_MN_CANCEL_REMOVE_DEVICE).status, STATUS_SUCCESS);
    ASSERT_EQ(pdo_->PendingCount(), 1u);
    RecordedRequest resumed = pdo_->Requests(IRP_MJ_READ).back();
    EXPECT_EQ(resumed.fileObject, &ext_->rxPipe) << "reception resumes with a data read";
    EXPECT_EQ(resumed.length, 1024u);
    EXPECT_TRUE(HasTrace("read-rc02-3", "rx resume\n")) << DescribeTraces();
    EXPECT_EQ(PnpBelow(), (std::vector<UCHAR>{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE,
                                              IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}));
    pdo_->CancelAllPending();
    EXPECT_EQ(exports_->RxThreadStop(filter_), 1u);
}

// A start whose first read failed reported failure: a cancelled query does
// not start its loop behind its user's back.
TEST_F(Lifecycle, ACancelledQueryDoesNotResumeAFailedStart)
{
    ASSERT_NE(Prepare(1), nullptr);
    pdo_->Queue(IRP_MJ_READ, Answer::Complete(STATUS_DEVICE_DATA_ERROR));
    EXPECT_EQ(exports_->RxThreadStart(filter_, nullptr, &Drop), 0u);
    EXPECT_EQ(Pnp(filter_, IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(Pnp(filter_, IRP_MN_CANCEL_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(pdo_->Requests(IRP_MJ_READ).size(), 1u);
    EXPECT_EQ(exports_->RxThreadStop(filter_), 1u);
}

TEST_F(Lifecycle, ReceiveStopCancelsAReadTheConverterLeavesPending)
{
    ASSERT_NE(Prepare(), nullptr);
    ASSERT_EQ(exports_->RxThreadStart(filter_, nullptr, &Drop), 1u);
    ASSERT_EQ(pdo_->PendingCount(), 1u);
    platform::ClearDebugOutput();
    EXPECT_EQ(exports_->RxThreadStop(filter_), 1u);  // after the grace time, by cancelling
    EXPECT_EQ(pdo_->PendingCount(), 0u);
    EXPECT_TRUE(HasTrace("read-rc02-3", "rx cancel\n")) << DescribeTraces();
    EXPECT_TRUE(pipes_->Open().empty());
}

// ---------------------------------------------------------------------------
// Power and pageable code

TEST_F(Lifecycle, PowerPassesDownUntouched)
{
    ASSERT_NE(Prepare(), nullptr);
    pdo_->Queue(IRP_MJ_POWER, Answer::Async(STATUS_SUCCESS, 0, CompleteFrom::OtherDispatch));
    world::PnpResult r = Send(filter_, IRP_MJ_POWER, IRP_MN_SET_POWER, [](PIO_STACK_LOCATION sp) {
        sp->Parameters.Power.Type = SystemPowerState;
        sp->Parameters.Power.State.SystemState = PowerSystemSleeping3;
    });
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    auto below = pdo_->Requests(IRP_MJ_POWER);
    ASSERT_EQ(below.size(), 1u);
    EXPECT_EQ(below[0].stack.Parameters.Power.State.SystemState, PowerSystemSleeping3);
    EXPECT_EQ(below[0].stack.CompletionRoutine, nullptr);
}

TEST_F(Lifecycle, PowerAboveApcLevelReportsPageableCode)
{
    ASSERT_NE(Prepare(), nullptr);
    QueryBusRelations(filter_);
    PDEVICE_OBJECT child = ext_->norva_pdo;  // answers power itself: nothing goes on to another thread
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = platform::BuildSynchronousRequest(child, IRP_MJ_POWER, IRP_MN_QUERY_POWER, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    NTSTATUS status = STATUS_PENDING;
    {
        platform::ViolationTrap trap;  // the caller breaks the rules on purpose
        platform::AtDispatchLevel([&] { status = IoCallDriver(child, irp); });
    }
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_TRUE(HasUngated("EX: Pageable code called at IRQL 2\n")) << DescribeTraces();
    auto assertions = TakeAssertions();
    ASSERT_FALSE(assertions.empty());
    EXPECT_EQ(assertions[0].expression, "FALSE");
    TakeViolations();
}

}  // namespace
}  // namespace norva_test
