// transmit_test.cpp - the transmit engine: blocks pulled from the port
// driver's callback, one write in flight, kicks, the single character and
// the stop that cancels.
#include "norva_test.hpp"

#include <atomic>
#include <chrono>
#include <deque>
#include <thread>

namespace norva_test {
namespace {

// The port driver's transmit side: hands out queued blocks.
struct TxSource {
    std::mutex mutex;
    std::deque<std::vector<uint8_t>> blocks;
    int calls = 0;
    ULONG overstate = 0;               // added to the count returned
    std::function<void()> duringCall;  // runs inside the callback

    static ULONG NTAPI Callback(PVOID context, PUCHAR buffer, ULONG length, ULONG reserved)
    {
        auto *self = static_cast<TxSource *>(context);
        EXPECT_EQ(length, 4096u);
        EXPECT_EQ(reserved, 0u);
        std::vector<uint8_t> block;
        std::function<void()> during;
        {
            std::lock_guard lock(self->mutex);
            ++self->calls;
            if (!self->blocks.empty()) {
                block = std::move(self->blocks.front());
                self->blocks.pop_front();
            }
            during = self->duringCall;
        }
        if (during)
            during();
        std::copy(block.begin(), block.end(), buffer);
        return ULONG(block.size()) + (block.empty() ? 0 : self->overstate);
    }
    void Add(std::vector<uint8_t> block)
    {
        std::lock_guard lock(mutex);
        blocks.push_back(std::move(block));
    }
    int Calls()
    {
        std::lock_guard lock(mutex);
        return calls;
    }
};

class Transmit : public NorvaTest {
protected:
    void SetUp() override
    {
        NorvaTest::SetUp();
        if (!HasFatalFailure())
            exports_ = std::make_unique<Exports>(module());
    }

    PDEVICE_OBJECT Prepare()
    {
        pdo_ = &NewPdo();
        pipes_ = std::make_unique<PipeScript>(*pdo_);
        filter_ = AddFilter(*pdo_);
        ext_ = filter_ ? Ext(filter_) : nullptr;
        params_.context = &source_;
        params_.pfnTxCallback = &TxSource::Callback;
        return filter_;
    }

    ULONG Start() { return exports_->TxThreadStart(filter_, &params_); }
    ULONG Stop() { return exports_->TxThreadStop(filter_); }
    void Kick() { exports_->KickTx(filter_); }

    std::vector<RecordedRequest> Writes() { return pdo_->Requests(IRP_MJ_WRITE); }
    void CompleteWrite(NTSTATUS status = STATUS_SUCCESS, CompleteFrom from = CompleteFrom::Dispatch)
    {
        ASSERT_TRUE(pdo_->CompletePending(Answer::Complete(status), from));
    }
    bool Idle() { return KeReadStateEvent(&ext_->tx.idleEvent) != 0; }

    void TearDown() override
    {
        if (filter_ && ext_->tx.pfnTxCallback)
            Stop();
        NorvaTest::TearDown();
    }

    std::unique_ptr<Exports> exports_;
    ScriptedDevice *pdo_ = nullptr;
    std::unique_ptr<PipeScript> pipes_;
    PDEVICE_OBJECT filter_ = nullptr;
    FilterExtension *ext_ = nullptr;
    TxSource source_;
    TX_THREAD_PARAMS params_{};
};

std::vector<uint8_t> Bytes(size_t n, uint8_t seed = 1)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = uint8_t(seed + i);
    return v;
}

// ---------------------------------------------------------------------------
// Start

TEST_F(Transmit, StartOpensTheTransmitPipeAndSendsNothing)
{
    ASSERT_NE(Prepare(), nullptr);
    LONG refs = platform::ObjectReferenceCount(filter_);
    ASSERT_EQ(Start(), 1u);
    auto creates = pdo_->Requests(IRP_MJ_CREATE);
    ASSERT_EQ(creates.size(), 1u);
    EXPECT_EQ(creates[0].fileObject, &ext_->txPipe);
    EXPECT_EQ(creates[0].fileName, "PIPE00");
    EXPECT_TRUE(ext_->txPipeOpen);
    EXPECT_EQ(ext_->tx.target, filter_);
    EXPECT_EQ(platform::ObjectReferenceCount(filter_), refs + 1);
    EXPECT_TRUE(Writes().empty());
    EXPECT_EQ(source_.Calls(), 0);
    EXPECT_TRUE(Idle());
    EXPECT_TRUE(HasTrace("write-rc01", "TxThreadStart\r\n")) << DescribeTraces();  // mask 0x06
}

// A start that could not open the transmit pipe registers no callback: a
// kick fetches no bytes that could not be sent, and the caller may start
// again without a stop.
TEST_F(Transmit, RefusedPipeFailsTheStartAndARetryWithoutAStopSucceeds)
{
    ASSERT_NE(Prepare(), nullptr);
    LONG refs = platform::ObjectReferenceCount(filter_);
    pipes_->Hold("PIPE00");
    EXPECT_EQ(Start(), 0u);
    EXPECT_TRUE(HasTrace("write-rc01", "failed CreateClosePipe\n")) << DescribeTraces();
    EXPECT_FALSE(ext_->txPipeOpen);
    EXPECT_EQ(ext_->tx.pfnTxCallback, nullptr);
    source_.Add(Bytes(3));
    Kick();
    EXPECT_TRUE(Writes().empty());
    EXPECT_EQ(source_.Calls(), 0) << "bytes fetched for a pipe that is not open";

    pipes_->Release("PIPE00");
    ASSERT_EQ(Start(), 1u);
    EXPECT_EQ(platform::ObjectReferenceCount(filter_), refs + 1) << "the failed start's reference was kept";
    Kick();
    ASSERT_EQ(Writes().size(), 1u);
    EXPECT_EQ(Writes()[0].data, Bytes(3));
    CompleteWrite();
    EXPECT_EQ(Stop(), 1u);
    EXPECT_EQ(platform::ObjectReferenceCount(filter_), refs);
}

// The write is recorded under txIrpLock, so that a stop either finds it to
// cancel or has said that nothing more goes out; its completion takes the
// lock as well before it lets the write go.  While another holds the lock,
// neither goes on.
TEST_F(Transmit, WritesGoBelowAndComeBackOnlyUnderTheirLock)
{
    ASSERT_NE(Prepare(), nullptr);
    ASSERT_EQ(Start(), 1u);
    source_.Add(Bytes(5));
    KIRQL irql;
    KeAcquireSpinLock(&ext_->txIrpLock, &irql);
    std::thread kick([&] { Kick(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    bool sentMeanwhile = !Writes().empty();
    KeReleaseSpinLock(&ext_->txIrpLock, irql);
    kick.join();
    EXPECT_FALSE(sentMeanwhile) << "a write went below without its lock";
    ASSERT_EQ(Writes().size(), 1u);

    source_.Add(Bytes(2));
    KeAcquireSpinLock(&ext_->txIrpLock, &irql);
    std::thread done([&] { CompleteWrite(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    bool finishedMeanwhile = ext_->pendingTxIrp == nullptr || source_.Calls() != 1;
    KeReleaseSpinLock(&ext_->txIrpLock, irql);
    done.join();
    EXPECT_FALSE(finishedMeanwhile) << "a completion let its write go without the lock";
    ASSERT_EQ(Writes().size(), 2u);
    CompleteWrite();
}

// A stop that begins while a block is being fetched: the write built from
// that block does not go out, and the stop does not wait for it.
TEST_F(Transmit, AStopDuringAFetchKeepsTheWriteFromGoingOut)
{
    ASSERT_NE(Prepare(), nullptr);
    ASSERT_EQ(Start(), 1u);
    std::thread stopper;
    std::atomic<ULONG> stopped{2};
    std::atomic<bool> first{true};
    source_.duringCall = [&] {
        if (!first.exchange(false))
            return;
        stopper = std::thread([&] { stopped = Stop(); });
        // The driver sets the flag under its lock on the stopper's thread.
        for (;;) {
            KIRQL irql;
            KeAcquireSpinLock(&ext_->txIrpLock, &irql);
            bool stopping = ext_->tx.stopping;
            KeReleaseSpinLock(&ext_->txIrpLock, irql);
            if (stopping)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };
    source_.Add(Bytes(4));
    Kick();
    bool sent = !Writes().empty();
    if (sent)
        pdo_->CancelAllPending();
    stopper.join();
    EXPECT_FALSE(sent) << "a write went out after the stop began";
    EXPECT_EQ(stopped, 1u);
    EXPECT_EQ(ext_->kickTxCount, 0);
}

TEST_F(Transmit, SecondStartWithoutStopIsRefused)
{
    ASSERT_NE(Prepare(), nullptr);
    ASSERT_EQ(Start(), 1u);
    LONG refs = platform::ObjectReferenceCount(filter_);
    EXPECT_EQ(Start(), 0u);
    EXPECT_EQ(platform::ObjectReferenceCount(filter_), refs);
    EXPECT_EQ(pdo_->Requests(IRP_MJ_CREATE).size(), 1u);
}

// ---------------------------------------------------------------------------
// Kicks and the chain of writes

TEST_F(Transmit, KickSendsOneWriteOfTheBlockAndTheChainEndsWhenNothingIsLeft)
{
    ASSERT_NE(Prepare(), nullptr);
    ASSERT_EQ(Start(), 1u);
    source_.Add(Bytes(300));
    Kick();

    auto writes = Writes();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].length, 300u);
    EXPECT_EQ(writes[0].data, Bytes(300));
    EXPECT_EQ(writes[0].fileObject, &ext_->txPipe);
    EXPECT_EQ(writes[0].byteOffset, 0);
    EXPECT_TRUE(writes[0].hasMdl);
    EXPECT_EQ(ext_->kickTxCount, 1);
    EXPECT_FALSE(Idle());
    EXPECT_EQ(ext_->pendingTxIrp, writes[0].irp);

    CompleteWrite();
    EXPECT_EQ(source_.Calls(), 2);
    EXPECT_EQ(Writes().size(), 1u);
    EXPECT_TRUE(Idle());
    EXPECT_EQ(ext_->kickTxCount, 0);
    EXPECT_EQ(ext_->pendingTxIrp, nullptr);
    EXPECT_EQ(ext_->tx.buffer, nullptr);
}

TEST_F(Transmit, CompletedWriteFetchesTheNextBlock)
{
    ASSERT_NE(Prepare(), nullptr);
    ASSERT_EQ(Start(), 1u);
    source_.Add(Bytes(10, 1));
    source_.Add(Bytes(20, 50));
    Kick();
    CompleteWrite();
    auto writes = Writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[1].data, Bytes(20, 50));
    EXPECT_EQ(ext_->kickTxCount, 1);
    CompleteWrite();
    EXPECT_TRUE(Idle());
    EXPECT_EQ(ext_->kickTxCount, 0);
}

TEST_F(Transmit, KickWhileAWriteIsInFlightReturnsAtOnce)
{
    ASSERT_NE(Prepare(), nullptr);
    ASSERT_EQ(Start(), 1u);
    source_.Add(Bytes(5));
    Kick();
    source_.Add(Bytes(7, 9));
    Kick();  // backs off: the write in flight fetches it
    EXPECT_EQ(source_.Calls(), 1);
    EXPECT_EQ(Writes().size(), 1u);
    CompleteWrite();
    auto writes = Writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[1].data, Bytes(7, 9));
    CompleteWrite();
    EXPECT_EQ(ext_->kickTxCount, 0);
}

TEST_F(Transmit, KickInsideAKickDoesNothing)
{
    ASSERT_NE(Prepare(), nullptr);
    ASSERT_EQ(Start(), 1u);
    int nested = 0;
    source_.duringCall = [&] {
        if (nested++ == 0)
            Kick();  // the port driver kicks again from inside its callback
    };
    Kick();  // nothing queued: the callback returns 0
    EXPECT_EQ(source_.Calls(), 1);
    EXPECT_TRUE(Writes().empty());
    EXPECT_EQ(ext_->kickTxCount, 0);
    // What the inner kick announced goes out with the next kick.
    source_.duringCall = nullptr;
    source_.Add(Bytes(2));
    Kick();
    EXPECT_EQ(Writes().size(), 1u);
    CompleteWrite();
}

TEST_F(Transmit, KicksFromManyThreadsRunOneChainAtATime)
{
    ASSERT_NE(Prepare(), nullptr);
    pipes_ = std::make_unique<PipeScript>(*pdo_, [](const RecordedRequest &r) {
        if (r.major == IRP_MJ_WRITE)
            return Answer::Async(STATUS_SUCCESS, r.length, CompleteFrom::OtherDispatch);
        return Answer::Complete();
    });
    ASSERT_EQ(Start(), 1u);
    std::atomic<int> inside{0}, most{0};
    source_.duringCall = [&] {
        int now = ++inside;
        int seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
        std::this_thread::yield();
        --inside;
    };
    for (int i = 0; i < 50; ++i)
        source_.Add(Bytes(4, uint8_t(i)));
    std::vector<std::thread> kickers;
    for (int t = 0; t < 4; ++t)
        kickers.emplace_back([&] {
            for (int i = 0; i < 20; ++i)
                Kick();
        });
    for (auto &k : kickers)
        k.join();
    Kick();
    EXPECT_EQ(most.load(), 1);
    EXPECT_EQ(Writes().size(), 50u);
    EXPECT_EQ(ext_->kickTxCount, 0);
    EXPECT_TRUE(Idle());
}

TEST_F(Transmit, BlockCountAboveTheBufferIsCutToTheBuffer)
{
    ASSERT_NE(Prepare(), nullptr);
    ASSERT_EQ(Start(), 1u);
    for (ULONG overstate : {1u, 100000u}) {
        source_.overstate = overstate;
        source_.Add(Bytes(4096));
        pdo_->ClearRequests();
        Kick();
        auto writes = Writes();
        ASSERT_EQ(writes.size(), 1u);
        EXPECT_EQ(writes[0].length, 4096u) << "a callback claiming " << overstate << " more";
        CompleteWrite();
    }
}

TEST_F(Transmit, FailedWriteLosesItsBlockAndWaitsForTheNextKick)
{
    ASSERT_NE(Prepare(), nullptr);
    ASSERT_EQ(Start(), 1u);
    source_.Add(Bytes(8));
    source_.Add(Bytes(9));
    Kick();
    CompleteWrite(STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(source_.Calls(), 1);
    EXPECT_TRUE(Idle());
    EXPECT_EQ(ext_->kickTxCount, 0);
    Kick();
    EXPECT_EQ(Writes().size(), 2u);
    EXPECT_EQ(Writes()[1].data, Bytes(9));
    CompleteWrite();
}

TEST_F(Transmit, KickBeforeStartReportsInvalidParameter)
{
    ASSERT_NE(Prepare(), nullptr);
    Kick();
    EXPECT_TRUE(HasTrace("write-rc01", "err\n")) << DescribeTraces();
    EXPECT_TRUE(HasTrace("write-rc01", "err:0xc000000d\n"));
    EXPECT_TRUE(Idle());
    EXPECT_EQ(ext_->kickTxCount, 0);
    EXPECT_TRUE(Writes().empty());
}

TEST_F(Transmit, NothingToSendReportsEndOfFile)
{
    ASSERT_NE(Prepare(), nullptr);
    ASSERT_EQ(Start(), 1u);
    uint64_t blocks = platform::PoolBlocksOutstanding();
    Kick();
    EXPECT_TRUE(HasTrace("write-rc01", "err:0xc0000011\n")) << DescribeTraces();
    EXPECT_TRUE(Idle());
    EXPECT_EQ(platform::PoolBlocksOutstanding(), blocks);  // the block went back at once
}

TEST_F(Transmit, NoMemoryForTheBlockLeavesTheCallbackUncalled)
{
    ASSERT_NE(Prepare(), nullptr);
    ASSERT_EQ(Start(), 1u);
    source_.Add(Bytes(1));
    platform::FailAllocationsWithTag(platform::MakeTag("Wdm "), 1);
    Kick();
    platform::ClearAllocationFaults();
    EXPECT_EQ(source_.Calls(), 0);
    EXPECT_TRUE(HasTrace("write-rc01", "err:0xc000009a\n")) << DescribeTraces();
    EXPECT_TRUE(Idle());
}

TEST_F(Transmit, EveryFailingAllocationOfAKickLeavesTheEngineIdle)
{
    ASSERT_NE(Prepare(), nullptr);
    ASSERT_EQ(Start(), 1u);
    for (uint64_t n = 1; n < 20; ++n) {
        source_.Add(Bytes(16));
        uint64_t before = platform::PoolAllocationCount();
        platform::FailAllocationNumber(n);
        Kick();
        bool injected = platform::PoolAllocationCount() - before >= n;
        platform::ClearAllocationFaults();
        if (pdo_->PendingCount() == 1)
            CompleteWrite();
        EXPECT_TRUE(Idle()) << "allocation " << n;
        EXPECT_EQ(ext_->kickTxCount, 0) << "allocation " << n;
        {
            std::lock_guard lock(source_.mutex);
            source_.blocks.clear();
        }
        if (!injected)
            break;
    }
}

// ---------------------------------------------------------------------------
// Stop

TEST_F(Transmit, StopDuringAWriteCancelsItAndReturnsAfterItsCompletion)
{
    ASSERT_NE(Prepare(), nullptr);
    ASSERT_EQ(Start(), 1u);
    source_.Add(Bytes(64));
    source_.Add(Bytes(64));
    Kick();
    ASSERT_EQ(pdo_->PendingCount(), 1u);
    LONG refs = platform::ObjectReferenceCount(filter_);

    // The scripted device completes the cancelled write inside the cancel.
    EXPECT_EQ(Stop(), 1u);
    EXPECT_EQ(pdo_->PendingCount(), 0u);
    EXPECT_EQ(Writes().size(), 1u);  // the second block was never fetched
    EXPECT_EQ(source_.Calls(), 1);
    EXPECT_EQ(ext_->pendingTxIrp, nullptr);
    EXPECT_EQ(ext_->tx.buffer, nullptr);
    EXPECT_EQ(ext_->tx.pfnTxCallback, nullptr);
    EXPECT_EQ(ext_->kickTxCount, 0);
    EXPECT_FALSE(ext_->txPipeOpen);
    EXPECT_TRUE(pipes_->Open().empty());
    EXPECT_EQ(platform::ObjectReferenceCount(filter_), refs - 1);
    EXPECT_TRUE(HasTrace("write-rc01", "<-- TxThreadStop\n")) << DescribeTraces();
}

TEST_F(Transmit, StopDuringAWriteWhoseCancelCompletesOnAnotherThread)
{
    ASSERT_NE(Prepare(), nullptr);
    pdo_->SetCancelFrom(CompleteFrom::OtherDispatch);  // as a host controller finishes a cancel
    ASSERT_EQ(Start(), 1u);
    source_.Add(Bytes(3));
    source_.Add(Bytes(3));
    Kick();
    ASSERT_EQ(pdo_->PendingCount(), 1u);
    EXPECT_EQ(Stop(), 1u);
    EXPECT_EQ(source_.Calls(), 1);  // a completion during the stop fetches nothing
    EXPECT_EQ(ext_->pendingTxIrp, nullptr);
    EXPECT_EQ(ext_->kickTxCount, 0);
    EXPECT_TRUE(pipes_->Open().empty());
}

TEST_F(Transmit, StopWaitsForAWriteTheDriverBelowCannotCancel)
{
    ASSERT_NE(Prepare(), nullptr);
    pipes_ = std::make_unique<PipeScript>(*pdo_, [](const RecordedRequest &r) {
        return r.major == IRP_MJ_WRITE ? Answer::PendUncancellable() : Answer::Complete();
    });
    ASSERT_EQ(Start(), 1u);
    source_.Add(Bytes(3));
    source_.Add(Bytes(3));
    Kick();
    ASSERT_EQ(pdo_->PendingCount(), 1u);

    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        EXPECT_EQ(Stop(), 1u);
        stopped = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(stopped.load());
    // The write completes later, at DISPATCH_LEVEL, as a host controller would.
    ASSERT_TRUE(pdo_->CompletePending(Answer::Complete(STATUS_SUCCESS), CompleteFrom::Dispatch));
    stopper.join();
    EXPECT_TRUE(stopped.load());
    EXPECT_EQ(source_.Calls(), 1);  // a completion during the stop fetches nothing
    EXPECT_EQ(ext_->pendingTxIrp, nullptr);
    EXPECT_EQ(ext_->kickTxCount, 0);
}

TEST_F(Transmit, StopWithoutStartAndSecondStopCloseNothing)
{
    ASSERT_NE(Prepare(), nullptr);
    EXPECT_EQ(Stop(), 1u);
    ASSERT_EQ(Start(), 1u);
    EXPECT_EQ(Stop(), 1u);
    EXPECT_EQ(Stop(), 1u);
    EXPECT_EQ(pdo_->Requests(IRP_MJ_CLOSE).size(), 1u);
    EXPECT_EQ(ext_->tx.target, nullptr);
}

TEST_F(Transmit, KickAfterStopReportsInvalidParameter)
{
    ASSERT_NE(Prepare(), nullptr);
    ASSERT_EQ(Start(), 1u);
    ASSERT_EQ(Stop(), 1u);
    platform::ClearDebugOutput();
    Kick();
    EXPECT_TRUE(HasTrace("write-rc01", "err:0xc000000d\n")) << DescribeTraces();
    EXPECT_TRUE(Writes().empty());
}

TEST_F(Transmit, NullDeviceObjectIsRefused)
{
    ASSERT_NE(Prepare(), nullptr);
    EXPECT_EQ(exports_->TxThreadStart(nullptr, &params_), 0u);
    auto assertions = TakeAssertions();
    ASSERT_EQ(assertions.size(), 1u);
    EXPECT_EQ(assertions[0].expression, "deviceObject");
    EXPECT_EQ(exports_->TxThreadStop(nullptr), 0u);
    EXPECT_EQ(exports_->TransmitChar(nullptr, 'a'), 0u);
    exports_->KickTx(nullptr);
}

// ---------------------------------------------------------------------------
// A single character

TEST_F(Transmit, TransmitCharSendsExactlyThatByte)
{
    ASSERT_NE(Prepare(), nullptr);
    ASSERT_EQ(Start(), 1u);
    pdo_->Queue(IRP_MJ_WRITE, Answer::Complete(STATUS_SUCCESS, 1));
    EXPECT_EQ(exports_->TransmitChar(filter_, 0x12345613), 1u);
    auto writes = Writes();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].data, (std::vector<uint8_t>{0x13}));
    EXPECT_EQ(writes[0].fileObject, &ext_->txPipe);
    EXPECT_EQ(writes[0].byteOffset, 0);
    EXPECT_EQ(source_.Calls(), 0);
    EXPECT_EQ(ext_->kickTxCount, 0);
}

TEST_F(Transmit, TransmitCharWaitsForAPendedWrite)
{
    ASSERT_NE(Prepare(), nullptr);
    pdo_->Queue(IRP_MJ_WRITE, Answer::Async(STATUS_SUCCESS, 1, CompleteFrom::OtherDispatch));
    EXPECT_EQ(exports_->TransmitChar(filter_, 'A'), 1u);
    pdo_->Queue(IRP_MJ_WRITE, Answer::Async(STATUS_INVALID_HANDLE, 0, CompleteFrom::OtherThread));
    EXPECT_EQ(exports_->TransmitChar(filter_, 'B'), 0u);
}

TEST_F(Transmit, TransmitCharReportsARefusedWrite)
{
    ASSERT_NE(Prepare(), nullptr);
    pdo_->Queue(IRP_MJ_WRITE, Answer::Complete(STATUS_INVALID_HANDLE));
    EXPECT_EQ(exports_->TransmitChar(filter_, 'x'), 0u);
}

TEST_F(Transmit, TransmitCharWithoutARequestFails)
{
    ASSERT_NE(Prepare(), nullptr);
    platform::FailAllocationNumber(1);
    EXPECT_EQ(exports_->TransmitChar(filter_, 'x'), 0u);
    platform::ClearAllocationFaults();
    EXPECT_TRUE(Writes().empty());
}

}  // namespace
}  // namespace norva_test
