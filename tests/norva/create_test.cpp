// create_test.cpp - opening and closing the converter's pipes through the
// driver below when the filter device itself is opened and closed.
#include "norva_test.hpp"

namespace norva_test {
namespace {

class Create : public NorvaTest {
protected:
    // A converter with the given variant and its filter; the device below
    // opens pipes as tembris does: it writes FsContext at create and clears
    // it at close.
    PDEVICE_OBJECT Setup(ULONG endPointCaps, bool withValue = true)
    {
        pdo_ = &NewPdo();
        if (withValue)
            platform::SetDriverDword(pdo_->device(), u"EndPointCaps", endPointCaps);
        pdo_->SetScript([](const RecordedRequest &r) {
            Answer a = Answer::Complete(STATUS_SUCCESS);
            if (r.major == IRP_MJ_CREATE)
                a.With([](PIRP, PIO_STACK_LOCATION sp) { sp->FileObject->FsContext = sp->FileObject; });
            if (r.major == IRP_MJ_CLOSE)
                a.With([](PIRP, PIO_STACK_LOCATION sp) { sp->FileObject->FsContext = nullptr; });
            return a;
        });
        filter_ = AddFilter(*pdo_);
        return filter_;
    }

    // The pipe names of the creates or closes seen below, in order.
    std::vector<std::string> PipeRequests(UCHAR major) const
    {
        std::vector<std::string> names;
        for (const auto &r : pdo_->Requests(major))
            names.push_back(r.fileName);
        return names;
    }

    NTSTATUS Open(PFILE_OBJECT *file) { return platform::OpenDevice(filter_, u"", file); }

    ScriptedDevice *pdo_ = nullptr;
    PDEVICE_OBJECT filter_ = nullptr;
};

using Names = std::vector<std::string>;

// ---------------------------------------------------------------------------
// Open and close sequences

TEST_F(Create, OpenWithoutControlPipeSendsTransmitThenReceiveCreate)
{
    ASSERT_NE(Setup(0, false), nullptr);
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(Open(&file), STATUS_SUCCESS);
    EXPECT_EQ(PipeRequests(IRP_MJ_CREATE), (Names{"PIPE00", "PIPE01"}));

    FilterExtension *ext = Ext(filter_);
    auto creates = pdo_->Requests(IRP_MJ_CREATE);
    EXPECT_EQ(creates[0].fileObject, &ext->txPipe);
    EXPECT_EQ(creates[1].fileObject, &ext->rxPipe);
    EXPECT_TRUE(HasUngated("FilterCreateClose: OPEN\r\n")) << DescribeTraces();
    EXPECT_EQ(platform::CloseDevice(file), STATUS_SUCCESS);
}

TEST_F(Create, OpenWithControlPipeAddsThePipe02CreateAndClearsModemStatus)
{
    ASSERT_NE(Setup(1), nullptr);
    FilterExtension *ext = Ext(filter_);
    ext->modemStatus = 0xF0;
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(Open(&file), STATUS_SUCCESS);
    EXPECT_EQ(PipeRequests(IRP_MJ_CREATE), (Names{"PIPE00", "PIPE01", "PIPE02"}));
    EXPECT_EQ(ext->modemStatus, 0u);
    EXPECT_EQ(ext->ctlPipe.FsContext, &ext->ctlPipe);
    platform::CloseDevice(file);
}

TEST_F(Create, CloseSendsClosesInTheSameOrderAndRunsTheHooks)
{
    ASSERT_NE(Setup(3), nullptr);
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(Open(&file), STATUS_SUCCESS);
    platform::ClearDebugOutput();
    EXPECT_EQ(platform::CloseDevice(file), STATUS_SUCCESS);
    EXPECT_EQ(PipeRequests(IRP_MJ_CLOSE), (Names{"PIPE00", "PIPE01", "PIPE02"}));
    FilterExtension *ext = Ext(filter_);
    EXPECT_EQ(ext->rxPipe.FsContext, nullptr);
    EXPECT_EQ(ext->txPipe.FsContext, nullptr);
    EXPECT_EQ(ext->ctlPipe.FsContext, nullptr);
    EXPECT_TRUE(HasUngated("FilterCreateClose: CLOSE\r\n")) << DescribeTraces();
}

TEST_F(Create, FilterDeviceAdmitsOneOpenAtATime)
{
    ASSERT_NE(Setup(0, false), nullptr);
    PFILE_OBJECT first = nullptr, second = nullptr;
    ASSERT_EQ(Open(&first), STATUS_SUCCESS);
    EXPECT_EQ(Open(&second), STATUS_ACCESS_DENIED);
    EXPECT_EQ(pdo_->Requests(IRP_MJ_CREATE).size(), 2u);
    platform::CloseDevice(first);
}

// ---------------------------------------------------------------------------
// Failures below

TEST_F(Create, RefusedTransmitPipeStopsTheOpen)
{
    ASSERT_NE(Setup(1), nullptr);
    pdo_->Queue(IRP_MJ_CREATE, Answer::Complete(STATUS_INVALID_HANDLE));
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(Open(&file), STATUS_INVALID_HANDLE);
    EXPECT_EQ(PipeRequests(IRP_MJ_CREATE), (Names{"PIPE00"}));
    EXPECT_TRUE(PipeRequests(IRP_MJ_CLOSE).empty());
    EXPECT_TRUE(HasTrace("create", "\tfailed opening write-pipe (code = 0xc0000008)\r\n")) << DescribeTraces();
}

TEST_F(Create, RefusedReceivePipeFailsTheOpenAndClosesTheTransmitPipeAgain)
{
    // As when the receive engine already holds PIPE01 open.
    ASSERT_NE(Setup(1), nullptr);
    pdo_->SetScript([](const RecordedRequest &r) {
        if (r.major == IRP_MJ_CREATE && r.fileName == "PIPE01")
            return Answer::Complete(STATUS_INVALID_HANDLE);
        return Answer::Complete(STATUS_SUCCESS);
    });
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(Open(&file), STATUS_INVALID_HANDLE);
    EXPECT_EQ(PipeRequests(IRP_MJ_CREATE), (Names{"PIPE00", "PIPE01"}));
    EXPECT_EQ(PipeRequests(IRP_MJ_CLOSE), (Names{"PIPE00"}));
    // No message of its own for the receive step.
    EXPECT_FALSE(HasTrace("create", "\tfailed opening write-pipe (code = 0xc0000008)\r\n"));
}

TEST_F(Create, RefusedControlPipeFailsTheOpenAndClosesTheOthers)
{
    ASSERT_NE(Setup(2), nullptr);
    pdo_->SetScript([](const RecordedRequest &r) {
        if (r.major == IRP_MJ_CREATE && r.fileName == "PIPE02")
            return Answer::Complete(STATUS_DEVICE_NOT_CONNECTED);
        return Answer::Complete(STATUS_SUCCESS);
    });
    FilterExtension *ext = Ext(filter_);
    ext->modemStatus = 0x30;
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(Open(&file), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(PipeRequests(IRP_MJ_CLOSE), (Names{"PIPE01", "PIPE00"}));
    EXPECT_TRUE(HasTrace("create", "\tfailed opening control-pipe (code = 0xc000009d)\r\n")) << DescribeTraces();
    EXPECT_EQ(ext->modemStatus, 0x30u);  // only a successful open clears it
}

TEST_F(Create, PendedCreateIsWaitedForAndItsFinalStatusDecides)
{
    ASSERT_NE(Setup(0, false), nullptr);
    pdo_->Queue(IRP_MJ_CREATE, Answer::Async(STATUS_SUCCESS, 0, CompleteFrom::OtherDispatch));
    pdo_->Queue(IRP_MJ_CREATE, Answer::Async(STATUS_SHARING_VIOLATION, 0, CompleteFrom::OtherThread));
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(Open(&file), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(PipeRequests(IRP_MJ_CREATE), (Names{"PIPE00", "PIPE01"}));
    EXPECT_EQ(PipeRequests(IRP_MJ_CLOSE), (Names{"PIPE00"}));
    EXPECT_TRUE(TakeAssertions().empty());
}

TEST_F(Create, CloseGoesOnPastAFailingPipeAndReportsTheFirstFailure)
{
    ASSERT_NE(Setup(1), nullptr);
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(Open(&file), STATUS_SUCCESS);
    pdo_->Queue(IRP_MJ_CLOSE, Answer::Complete(STATUS_INVALID_HANDLE));
    pdo_->Queue(IRP_MJ_CLOSE, Answer::Complete(STATUS_DEVICE_DATA_ERROR));
    EXPECT_EQ(platform::CloseDevice(file), STATUS_INVALID_HANDLE);
    EXPECT_EQ(PipeRequests(IRP_MJ_CLOSE), (Names{"PIPE00", "PIPE01", "PIPE02"}));
    EXPECT_TRUE(HasTrace("create", "\tfailed opening write-pipe (code = 0xc0000008)\r\n")) << DescribeTraces();

    // The first failure is the result wherever it comes.
    for (NTSTATUS receive : {STATUS_DEVICE_DATA_ERROR, STATUS_SUCCESS}) {
        ASSERT_EQ(Open(&file), STATUS_SUCCESS);
        pdo_->Queue(IRP_MJ_CLOSE, Answer::Complete(STATUS_SUCCESS));
        pdo_->Queue(IRP_MJ_CLOSE, Answer::Complete(receive));
        pdo_->Queue(IRP_MJ_CLOSE, Answer::Complete(STATUS_INVALID_HANDLE));
        EXPECT_EQ(platform::CloseDevice(file), receive == STATUS_SUCCESS ? STATUS_INVALID_HANDLE : receive);
    }
}

TEST_F(Create, NoRequestForThePipesFailsTheOpenWithoutSendingAnything)
{
    ASSERT_NE(Setup(1), nullptr);
    // The I/O manager's own allocations for the open come first: fail one
    // allocation after another until it is norva's pipe request that fails.
    bool reached = false;
    for (uint64_t n = 1; n < 10 && !reached; ++n) {
        platform::ClearDebugOutput();
        pdo_->ClearRequests();
        platform::FailAllocationNumber(n);
        PFILE_OBJECT file = nullptr;
        NTSTATUS status = Open(&file);
        platform::ClearAllocationFaults();
        reached = HasTrace("create", "\tfailed IoAllocateIrp\n");
        if (status == STATUS_SUCCESS) {
            platform::CloseDevice(file);
            continue;
        }
        if (reached) {
            EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
            EXPECT_TRUE(pdo_->Requests(IRP_MJ_CREATE).empty());
        }
    }
    EXPECT_TRUE(reached);
}

TEST_F(Create, EveryFailingAllocationDuringOpenAndCloseLeavesNothing)
{
    ASSERT_NE(Setup(1), nullptr);
    for (uint64_t n = 1; n < 40; ++n) {
        uint64_t before = platform::PoolAllocationCount();
        platform::FailAllocationNumber(n);
        PFILE_OBJECT file = nullptr;
        NTSTATUS status = Open(&file);
        if (status == STATUS_SUCCESS)
            platform::CloseDevice(file);
        bool injected = platform::PoolAllocationCount() - before >= n;
        platform::ClearAllocationFaults();
        if (!injected)
            break;
    }
}

// ---------------------------------------------------------------------------
// Traces

TEST_F(Create, ReceiveSideBitShowsExactlyTheTracesThatContainIt)
{
    ScriptedDevice &first = NewPdo();
    platform::SetDriverDword(first.device(), u"DebugLevel", 0x10);
    AddFilter(first);
    ASSERT_NE(Setup(1), nullptr);
    platform::ClearDebugOutput();
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(Open(&file), STATUS_SUCCESS);
    platform::CloseDevice(file);

    FilterExtension *ext = Ext(filter_);
    std::vector<std::string> expected = {
        // open: 0x18, 0x38, 0x34
        platform::FormatKernel("\trx  pipe=%wZ, FsContext=0x%08lx\r\n", &ext->rxPipe.FileName,
                               PtrToUlong(&ext->rxPipe)),
        platform::FormatKernel("\tctl pipe=%wZ, FsContext=0x%08lx\r\n", &ext->ctlPipe.FileName,
                               PtrToUlong(&ext->ctlPipe)),
        "AllocateRxTxBuffer\r\n",
        // cleanup, then close: 0x14
        "CancelAllRxIrp\r\n",
        "CancelAllRxIrp\r\n",
        "FreeRxBuffer\r\n",
    };
    std::vector<std::string> gated;
    for (const Trace &t : Traces())
        if (!t.unit.empty())
            gated.push_back(t.message);
    EXPECT_EQ(gated, expected) << DescribeTraces();
}

}  // namespace
}  // namespace norva_test
