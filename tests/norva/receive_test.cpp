// receive_test.cpp - the receive engine: one read outstanding, data reads
// alternating with line-status reads, the callback and its hold, and the
// start and stop exports.
#include "norva_test.hpp"

namespace norva_test {
namespace {

// The port driver's receive callback: records every call, answers hold by
// a policy.
struct RxSink {
    struct Call {
        bool statusOnly = false;
        std::vector<uint8_t> bytes;
        ULONG length = 0;
        UCHAR modemStatus = 0;
        KIRQL irql = PASSIVE_LEVEL;
    };
    std::mutex mutex;
    std::vector<Call> calls;
    std::function<bool(const Call &)> hold;  // empty: never hold

    static ULONG NTAPI Callback(PVOID context, PUCHAR data, ULONG length, UCHAR modemStatus, PULONG hold)
    {
        auto *self = static_cast<RxSink *>(context);
        Call c;
        c.statusOnly = data == nullptr;
        if (data)
            c.bytes.assign(data, data + length);
        c.length = length;
        c.modemStatus = modemStatus;
        c.irql = KeGetCurrentIrql();
        EXPECT_EQ(*hold, 0u) << "the engine clears the hold flag before each call";
        std::lock_guard lock(self->mutex);
        if (self->hold && self->hold(c))
            *hold = 1;
        self->calls.push_back(std::move(c));
        return 0x12345678;  // means nothing to the engine
    }
    std::vector<Call> Calls()
    {
        std::lock_guard lock(mutex);
        return calls;
    }
};

class Receive : public NorvaTest {
protected:
    void SetUp() override
    {
        NorvaTest::SetUp();
        if (!HasFatalFailure())
            exports_ = std::make_unique<Exports>(module());
    }

    PDEVICE_OBJECT Setup(ULONG endPointCaps)
    {
        pdo_ = &NewPdo();
        platform::SetDriverDword(pdo_->device(), u"EndPointCaps", endPointCaps);
        pipes_ = std::make_unique<PipeScript>(*pdo_);
        filter_ = AddFilter(*pdo_);
        ext_ = filter_ ? Ext(filter_) : nullptr;
        return filter_;
    }

    ULONG Start() { return exports_->RxThreadStart(filter_, &sink_, &RxSink::Callback); }
    ULONG Stop() { return exports_->RxThreadStop(filter_); }

    // The one read the engine has outstanding.
    RecordedRequest Outstanding()
    {
        EXPECT_EQ(pdo_->PendingCount(), 1u);
        auto reads = pdo_->Requests(IRP_MJ_READ);
        EXPECT_FALSE(reads.empty());
        return reads.empty() ? RecordedRequest{} : reads.back();
    }
    // The read asks for `length` bytes, and its buffer description (what
    // the converter's driver transfers into) says the same.
    static bool Describes(const RecordedRequest &r, ULONG length)
    {
        return r.length == length && r.irp && r.irp->MdlAddress && MmGetMdlByteCount(r.irp->MdlAddress) == length;
    }
    bool DataReadOutstanding()
    {
        RecordedRequest r = Outstanding();
        return r.fileObject == &ext_->rxPipe && Describes(r, 1024);
    }
    bool LineReadOutstanding()
    {
        RecordedRequest r = Outstanding();
        return r.fileObject == &ext_->ctlPipe && Describes(r, 1);
    }
    void Complete(std::vector<uint8_t> bytes, NTSTATUS status = STATUS_SUCCESS,
                  CompleteFrom from = CompleteFrom::Dispatch)
    {
        Answer a = Answer::Data(std::move(bytes), status);
        a.information = a.data.size();
        ASSERT_TRUE(pdo_->CompletePending(a, from));
    }
    void Fail(NTSTATUS status) { ASSERT_TRUE(pdo_->CompletePending(Answer::Complete(status), CompleteFrom::Dispatch)); }

    void TearDown() override
    {
        // Whatever a test left running ends as a removal would end it.
        if (filter_ && ext_->rx.running) {
            pdo_->CancelAllPending();
            Stop();
        }
        NorvaTest::TearDown();
    }

    std::unique_ptr<Exports> exports_;
    ScriptedDevice *pdo_ = nullptr;
    std::unique_ptr<PipeScript> pipes_;
    PDEVICE_OBJECT filter_ = nullptr;
    FilterExtension *ext_ = nullptr;
    RxSink sink_;
};

// ---------------------------------------------------------------------------
// Start

TEST_F(Receive, StartOpensControlThenReceivePipeAndIssuesOneDataRead)
{
    ASSERT_NE(Setup(1), nullptr);
    ASSERT_EQ(Start(), 1u);
    auto creates = pdo_->Requests(IRP_MJ_CREATE);
    ASSERT_EQ(creates.size(), 2u);
    EXPECT_EQ(creates[0].fileName, "PIPE02");
    EXPECT_EQ(creates[1].fileName, "PIPE01");
    EXPECT_TRUE(ext_->ctlPipeOpen);
    EXPECT_TRUE(ext_->rxPipeOpen);
    EXPECT_EQ(ext_->rx.target, filter_);
    EXPECT_TRUE(ext_->rx.running);

    RecordedRequest read = Outstanding();
    EXPECT_EQ(read.fileObject, &ext_->rxPipe);
    EXPECT_EQ(read.length, 1024u);
    EXPECT_EQ(read.byteOffset, 0);
    EXPECT_TRUE(read.hasMdl);
    EXPECT_EQ(read.control & 0xE0, 0xE0);  // completion on success, error and cancel

    auto pool = platform::PoolByTag();
    EXPECT_EQ(pool["NRVA"].blocks, 1u);
    EXPECT_EQ(pool["NRVA"].bytes, 1024u);
}

TEST_F(Receive, FirstReadOfAStartIsADataReadWhateverThePollStateHeld)
{
    ASSERT_NE(Setup(1), nullptr);
    ext_->rx.pollState = 1;
    ASSERT_EQ(Start(), 1u);
    EXPECT_TRUE(DataReadOutstanding());
}

// ---------------------------------------------------------------------------
// The loop

TEST_F(Receive, DataReadDeliversItsBytesWithTheModemStatusThenReadsTheLines)
{
    ASSERT_NE(Setup(1), nullptr);
    ext_->modemStatus = 0x30;
    ASSERT_EQ(Start(), 1u);
    Complete({'h', 'e', 'l', 'l', 'o'});

    auto calls = sink_.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_FALSE(calls[0].statusOnly);
    EXPECT_EQ(calls[0].length, 5u);
    EXPECT_EQ(calls[0].bytes, (std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'}));
    EXPECT_EQ(calls[0].modemStatus, 0x30);
    EXPECT_EQ(calls[0].irql, DISPATCH_LEVEL);
    EXPECT_TRUE(LineReadOutstanding());
    EXPECT_TRUE(Outstanding().hasMdl);
}

TEST_F(Receive, ACountAboveTheBufferIsCutToTheBuffer)
{
    ASSERT_NE(Setup(1), nullptr);
    ASSERT_EQ(Start(), 1u);
    Answer a = Answer::Data(std::vector<uint8_t>(1024, 'r'));
    a.information = 1025;  // a driver below claiming one byte more than the buffer
    ASSERT_TRUE(pdo_->CompletePending(a, CompleteFrom::Dispatch));
    auto calls = sink_.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].length, 1024u);
}

TEST_F(Receive, ZeroByteDataReadDeliversNothingAndTheLinesFollow)
{
    ASSERT_NE(Setup(1), nullptr);
    ASSERT_EQ(Start(), 1u);
    Complete({});
    EXPECT_TRUE(sink_.Calls().empty());
    EXPECT_TRUE(LineReadOutstanding());
}

TEST_F(Receive, SuccessOtherThanStatusSuccessDeliversNothingButGoesOn)
{
    ASSERT_NE(Setup(1), nullptr);
    ASSERT_EQ(Start(), 1u);
    Complete({1, 2, 3}, STATUS_TIMEOUT);  // a success code, not STATUS_SUCCESS
    EXPECT_TRUE(sink_.Calls().empty());
    EXPECT_TRUE(LineReadOutstanding());
}

TEST_F(Receive, LineReadReportsTheLinesAloneThenTheNextDataReadGoesOut)
{
    ASSERT_NE(Setup(2), nullptr);
    ASSERT_EQ(Start(), 1u);
    Complete({});
    Complete({0x03});
    auto calls = sink_.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_TRUE(calls[0].statusOnly);
    EXPECT_EQ(calls[0].length, 0u);
    EXPECT_EQ(calls[0].modemStatus, 0x30);
    EXPECT_TRUE(DataReadOutstanding());

    // The next data call carries the new status.
    Complete({'x'});
    calls = sink_.Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].modemStatus, 0x30);
}

struct LineCase {
    uint8_t lines;
    uint8_t modemStatus;
};

class LineTranslation : public Receive, public ::testing::WithParamInterface<LineCase> {};

TEST_P(LineTranslation, ConverterLinesBecomeTheUartModemStatus)
{
    ASSERT_NE(Setup(3), nullptr);
    ext_->modemStatus = 0x55;
    ASSERT_EQ(Start(), 1u);
    Complete({});
    Complete({GetParam().lines});
    EXPECT_EQ(ext_->modemStatus, GetParam().modemStatus);
    auto calls = sink_.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].modemStatus, GetParam().modemStatus);
}

INSTANTIATE_TEST_SUITE_P(Receive, LineTranslation,
                         ::testing::Values(LineCase{0x0F, 0xF0}, LineCase{0x01, 0x10}, LineCase{0x02, 0x20},
                                           LineCase{0x04, 0x80}, LineCase{0x08, 0x40}, LineCase{0xF0, 0x00},
                                           LineCase{0xF5, 0x90}));

TEST_F(Receive, EmptyLineReadKeepsTheStatusButStillReportsIt)
{
    ASSERT_NE(Setup(1), nullptr);
    ASSERT_EQ(Start(), 1u);
    Complete({});
    Complete({0x01});
    Complete({0x08});  // data that shares the line-status read's buffer
    Complete({});      // line read with no byte
    EXPECT_EQ(ext_->modemStatus, 0x10u) << "an empty line read was decoded from a stale byte";
    auto calls = sink_.Calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_TRUE(calls[2].statusOnly);
    EXPECT_EQ(calls[2].modemStatus, 0x10);
}

TEST_F(Receive, HoldOnStatusCallKeepsPollingLines)
{
    ASSERT_NE(Setup(1), nullptr);
    int holds = 2;
    sink_.hold = [&](const RxSink::Call &c) { return c.statusOnly && holds-- > 0; };
    ASSERT_EQ(Start(), 1u);
    Complete({});
    Complete({0x01});  // status call: hold
    EXPECT_TRUE(LineReadOutstanding());
    Complete({0x01});  // status call: hold
    EXPECT_TRUE(LineReadOutstanding());
    Complete({0x03});  // status call: released
    EXPECT_TRUE(DataReadOutstanding());
    EXPECT_EQ(pdo_->Requests(IRP_MJ_READ).size(), 5u);
    EXPECT_EQ(CountTrace("read-rc02-3", "hold\n"), 2u) << DescribeTraces();
}

TEST_F(Receive, HoldOnADataCallAloneChangesNothing)
{
    ASSERT_NE(Setup(1), nullptr);
    sink_.hold = [](const RxSink::Call &c) { return !c.statusOnly; };
    ASSERT_EQ(Start(), 1u);
    Complete({'a'});
    EXPECT_TRUE(LineReadOutstanding());
    Complete({0x00});  // the status call does not hold
    EXPECT_TRUE(DataReadOutstanding());
}

TEST_F(Receive, CancelledReadEndsTheLoopWithoutACallback)
{
    ASSERT_NE(Setup(1), nullptr);
    ASSERT_EQ(Start(), 1u);
    Fail(STATUS_CANCELLED);
    EXPECT_TRUE(sink_.Calls().empty());
    EXPECT_EQ(pdo_->PendingCount(), 0u);
    EXPECT_TRUE(HasTrace("read-rc02-3", "err:0xc0000120\n")) << DescribeTraces();
    EXPECT_TRUE(HasTrace("read-rc02-3", "rx finish\n"));
    // The loop has finished: the stop does not wait.
    EXPECT_EQ(Stop(), 1u);
    EXPECT_FALSE(ext_->rx.running);
}

TEST_F(Receive, FailedLineReadEndsTheLoopAndKeepsTheStatus)
{
    ASSERT_NE(Setup(1), nullptr);
    ASSERT_EQ(Start(), 1u);
    Complete({});
    Complete({0x02});
    Complete({});
    ext_->modemStatus = 0x20;
    Fail(STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(ext_->modemStatus, 0x20u);
    EXPECT_EQ(pdo_->PendingCount(), 0u);
    EXPECT_EQ(sink_.Calls().size(), 1u);
    EXPECT_EQ(Stop(), 1u);
}

TEST_F(Receive, ReadCompletingAfterRunningWasClearedStillDeliversThenEnds)
{
    ASSERT_NE(Setup(1), nullptr);
    ASSERT_EQ(Start(), 1u);
    ext_->rx.running = FALSE;  // what the stop does first
    Complete({'z', 'z'});
    auto calls = sink_.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].length, 2u);
    EXPECT_EQ(pdo_->PendingCount(), 0u);
    EXPECT_EQ(KeReadStateEvent(&ext_->rx.finishEvent), 1);
    EXPECT_EQ(Stop(), 1u);
}

TEST_F(Receive, StopWhileAReadIsOutstandingReturnsAfterItAndItsBytesStillArrive)
{
    ASSERT_NE(Setup(1), nullptr);
    ASSERT_EQ(Start(), 1u);
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        EXPECT_EQ(Stop(), 1u);
        stopped = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(stopped.load());
    Complete({'l', 'a', 's', 't'});  // well inside the stop's grace time
    stopper.join();
    auto calls = sink_.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].bytes, (std::vector<uint8_t>{'l', 'a', 's', 't'}));
    EXPECT_EQ(pdo_->PendingCount(), 0u);
    EXPECT_EQ(ext_->rxIrp, nullptr);
    EXPECT_TRUE(pipes_->Open().empty());
}

TEST_F(Receive, LineReadCompletingAfterRunningWasClearedUpdatesTheStatusWithoutACallback)
{
    ASSERT_NE(Setup(1), nullptr);
    ASSERT_EQ(Start(), 1u);
    Complete({});
    ext_->rx.running = FALSE;
    Complete({0x0F});
    EXPECT_EQ(ext_->modemStatus, 0xF0u);
    EXPECT_TRUE(sink_.Calls().empty());
    EXPECT_EQ(pdo_->PendingCount(), 0u);
    EXPECT_EQ(Stop(), 1u);
}

TEST_F(Receive, WithoutControlPipeDataReadsFollowEachOtherWithAllLinesOn)
{
    ASSERT_NE(Setup(0), nullptr);
    ASSERT_EQ(Start(), 1u);
    // The control pipe's file object has no name: it opens the converter itself.
    auto creates = pdo_->Requests(IRP_MJ_CREATE);
    ASSERT_EQ(creates.size(), 2u);
    EXPECT_EQ(creates[0].fileName, "");
    EXPECT_EQ(creates[0].fileObject, &ext_->ctlPipe);
    EXPECT_EQ(creates[1].fileName, "PIPE01");

    Complete({'q'});
    EXPECT_EQ(ext_->modemStatus, 0xF0u);
    EXPECT_TRUE(DataReadOutstanding());  // no line-status read: there is no pipe for it
    Complete({});
    EXPECT_TRUE(DataReadOutstanding());
    Complete({'r', 's'});
    auto calls = sink_.Calls();
    ASSERT_EQ(calls.size(), 2u);  // data calls only, no status-only calls
    EXPECT_FALSE(calls[0].statusOnly);
    EXPECT_EQ(calls[1].bytes, (std::vector<uint8_t>{'r', 's'}));
    EXPECT_EQ(calls[1].modemStatus, 0xF0);
    for (const auto &r : pdo_->Requests(IRP_MJ_READ))
        EXPECT_EQ(r.fileObject, &ext_->rxPipe);

    Fail(STATUS_CANCELLED);
    EXPECT_EQ(Stop(), 1u);
    auto closes = pdo_->Requests(IRP_MJ_CLOSE);
    ASSERT_EQ(closes.size(), 2u);
    EXPECT_EQ(closes[0].fileObject, &ext_->ctlPipe);
    EXPECT_EQ(closes[1].fileObject, &ext_->rxPipe);
}

// With no status-only call to release it, a hold answered on a data call
// ends the loop at once: no further data read brings bytes the port cannot
// take.  A stop and a new start bring reception back.
TEST_F(Receive, WithoutControlPipeAHoldOnADataCallEndsTheLoop)
{
    ASSERT_NE(Setup(0), nullptr);
    sink_.hold = [](const RxSink::Call &c) { return c.bytes == std::vector<uint8_t>{'h'}; };
    ASSERT_EQ(Start(), 1u);
    Complete({'a'});
    EXPECT_TRUE(DataReadOutstanding());
    Complete({'h'});
    EXPECT_EQ(pdo_->PendingCount(), 0u) << "a read was issued after the hold";
    EXPECT_EQ(KeReadStateEvent(&ext_->rx.finishEvent), 1);
    EXPECT_TRUE(HasTrace("read-rc02-3", "hold\n")) << DescribeTraces();
    EXPECT_TRUE(HasTrace("read-rc02-3", "rx finish\n"));
    EXPECT_EQ(pdo_->Requests(IRP_MJ_READ).size(), 2u);
    EXPECT_EQ(Stop(), 1u);

    ASSERT_EQ(Start(), 1u);
    Complete({'b'});
    EXPECT_TRUE(DataReadOutstanding());
    EXPECT_EQ(sink_.Calls().size(), 3u);
    Fail(STATUS_CANCELLED);
    EXPECT_EQ(Stop(), 1u);
}

TEST_F(Receive, FirstIssueFailingBelowFailsTheStartAndClearsTheModemStatus)
{
    ASSERT_NE(Setup(1), nullptr);
    pipes_ = std::make_unique<PipeScript>(*pdo_, [](const RecordedRequest &r) {
        if (r.major != IRP_MJ_PNP)
            return Answer::Complete(STATUS_DEVICE_NOT_CONNECTED);
        Answer done = Answer::Complete();  // the stack's own removal at the end succeeds
        done.information.reset();
        return done;
    });
    ext_->modemStatus = 0xB0;
    EXPECT_EQ(Start(), 0u);
    EXPECT_EQ(ext_->modemStatus, 0u);
    EXPECT_TRUE(HasTrace("read-rc02-3", "error\n")) << DescribeTraces();
    EXPECT_EQ(Stop(), 1u);
    EXPECT_TRUE(pipes_->Open().empty());
}

// ---------------------------------------------------------------------------
// Stop and failed starts

// The stop waits for the loop's last read: a caller at DISPATCH_LEVEL cannot
// wait, and is refused with reception left running.
TEST_F(Receive, StopAtDispatchLevelIsRefusedAndReceptionGoesOn)
{
    ASSERT_NE(Setup(1), nullptr);
    ASSERT_EQ(Start(), 1u);
    ULONG stopped = 1;
    platform::AtDispatchLevel([&] { stopped = Stop(); });
    EXPECT_EQ(stopped, 0u);
    auto assertions = TakeAssertions();
    ASSERT_EQ(assertions.size(), 1u);
    EXPECT_EQ(assertions[0].expression, "KeGetCurrentIrql() < (2)");
    EXPECT_TRUE(DataReadOutstanding());
    Complete({'z'});
    EXPECT_EQ(sink_.Calls().size(), 1u);
    EXPECT_TRUE(LineReadOutstanding());
}

TEST_F(Receive, StopWithoutStartAndSecondStopDoNothing)
{
    ASSERT_NE(Setup(1), nullptr);
    EXPECT_EQ(Stop(), 1u);
    ASSERT_EQ(Start(), 1u);
    Fail(STATUS_CANCELLED);
    EXPECT_EQ(Stop(), 1u);
    size_t closes = pdo_->Requests(IRP_MJ_CLOSE).size();
    EXPECT_EQ(Stop(), 1u);
    EXPECT_EQ(pdo_->Requests(IRP_MJ_CLOSE).size(), closes);
    EXPECT_EQ(ext_->rx.target, nullptr);
}

TEST_F(Receive, StopReleasesEverythingAndClosesBothPipes)
{
    ASSERT_NE(Setup(1), nullptr);
    LONG refs = platform::ObjectReferenceCount(filter_);
    ASSERT_EQ(Start(), 1u);
    EXPECT_EQ(platform::ObjectReferenceCount(filter_), refs + 1);
    Fail(STATUS_CANCELLED);
    EXPECT_EQ(Stop(), 1u);
    EXPECT_EQ(platform::ObjectReferenceCount(filter_), refs);
    EXPECT_EQ(ext_->rxIrp, nullptr);
    EXPECT_EQ(ext_->rxMdl, nullptr);
    EXPECT_EQ(ext_->ctlMdl, nullptr);
    EXPECT_EQ(ext_->rx.buffer, nullptr);
    EXPECT_FALSE(ext_->rxPipeOpen);
    EXPECT_FALSE(ext_->ctlPipeOpen);
    EXPECT_TRUE(pipes_->Open().empty());
    EXPECT_EQ(platform::PoolByTag()["NRVA"].blocks, 0u);
}

TEST_F(Receive, StartFailingAtTheReceivePipeLeavesTheRestForTheStop)
{
    ASSERT_NE(Setup(1), nullptr);
    pipes_->Hold("PIPE01");  // someone else has the receive pipe open

    EXPECT_EQ(Start(), 0u);
    EXPECT_TRUE(HasTrace("read-rc02-3", "failed CreateClosePipe\n")) << DescribeTraces();
    EXPECT_TRUE(ext_->ctlPipeOpen);
    EXPECT_FALSE(ext_->rxPipeOpen);
    EXPECT_NE(ext_->rx.buffer, nullptr);
    EXPECT_EQ(pdo_->Requests(IRP_MJ_READ).size(), 0u);

    EXPECT_EQ(Stop(), 1u);
    EXPECT_EQ(pipes_->Open(), (std::set<std::string>{"PIPE01"}));
    EXPECT_EQ(ext_->rx.buffer, nullptr);
    EXPECT_EQ(ext_->rx.target, nullptr);
}

TEST_F(Receive, SecondStartWithoutStopIsRefusedAndKeepsTheFirst)
{
    ASSERT_NE(Setup(1), nullptr);
    ASSERT_EQ(Start(), 1u);
    PIRP irp = ext_->rxIrp;
    EXPECT_EQ(Start(), 0u);
    auto assertions = TakeAssertions();
    ASSERT_EQ(assertions.size(), 1u);
    EXPECT_EQ(assertions[0].expression, "deviceExtension->rx.target == NULL");
    EXPECT_EQ(ext_->rxIrp, irp);
    EXPECT_EQ(pdo_->PendingCount(), 1u);
}

TEST_F(Receive, NullDeviceObjectIsRefused)
{
    ASSERT_NE(Setup(1), nullptr);
    EXPECT_EQ(exports_->RxThreadStart(nullptr, &sink_, &RxSink::Callback), 0u);
    auto assertions = TakeAssertions();
    ASSERT_EQ(assertions.size(), 1u);
    EXPECT_EQ(assertions[0].expression, "deviceObject");
    EXPECT_EQ(exports_->RxThreadStop(nullptr), 0u);
}

TEST_F(Receive, NoBufferFailsTheStart)
{
    ASSERT_NE(Setup(1), nullptr);
    platform::FailAllocationsWithTag(platform::MakeTag("NRVA"));
    EXPECT_EQ(Start(), 0u);
    platform::ClearAllocationFaults();
    EXPECT_TRUE(HasTrace("read-rc02-3", "error\n")) << DescribeTraces();
    EXPECT_TRUE(pdo_->Requests(IRP_MJ_CREATE).empty());
    EXPECT_EQ(Stop(), 1u);
}

TEST_F(Receive, EveryFailingAllocationOfTheStartIsReleasedByTheStop)
{
    ASSERT_NE(Setup(1), nullptr);
    for (uint64_t n = 1; n < 40; ++n) {
        uint64_t before = platform::PoolAllocationCount();
        platform::FailAllocationNumber(n);
        ULONG started = Start();
        bool injected = platform::PoolAllocationCount() - before >= n;
        platform::ClearAllocationFaults();
        if (started) {
            // A start that reports success has everything the loop needs.
            EXPECT_TRUE(DataReadOutstanding()) << "allocation " << n;
            Complete({'a'});
            EXPECT_TRUE(LineReadOutstanding()) << "allocation " << n;
            Fail(STATUS_CANCELLED);
        }
        EXPECT_EQ(Stop(), 1u);
        EXPECT_TRUE(pipes_->Open().empty()) << "allocation " << n;
        EXPECT_EQ(pdo_->PendingCount(), 0u);
        pdo_->ClearRequests();
        if (!injected)
            break;
    }
    EXPECT_TRUE(TakeAssertions().empty());
}

}  // namespace
}  // namespace norva_test
