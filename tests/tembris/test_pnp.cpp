// test_pnp.cpp - tembris PnP states: the query/cancel pairs, stop, surprise
// removal and removal.
#include "tembris_test.hpp"

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>

using namespace tembris_test;
using testing_support::DebugCount;

namespace {

class PnpStates : public TembrisTest {
protected:
    size_t BusSaw(UCHAR minor) const
    {
        size_t n = 0;
        for (const auto &r : const_cast<UsbBusStub &>(bus).scripted().Requests(IRP_MJ_PNP))
            n += r.minor == minor;
        return n;
    }
};

TEST_F(PnpStates, RemoveWithNothingOutstandingDeletesTheDeviceAtOnce)
{
    ASSERT_EQ(AddAndStart(), STATUS_SUCCESS);
    EXPECT_EQ(Remove(), STATUS_SUCCESS);
    EXPECT_EQ(tembris->driver()->DeviceObject, nullptr);
    EXPECT_EQ(BusSaw(IRP_MN_REMOVE_DEVICE), 1u);
    EXPECT_EQ(platform::PoolByTag()["Wdm "].blocks, 0u) << "the configuration goes with the device";
    for (const auto &i : platform::Interfaces())
        EXPECT_FALSE(i.enabled);
}

TEST_F(PnpStates, RemoveAbortsOpenPipesAndTheirTransfers)
{
    ASSERT_EQ(AddAndStart(), STATUS_SUCCESS);
    PFILE_OBJECT rx = OpenPipe(u"PIPE01");
    OpenPipe(u"PIPE02");
    auto read = Read(rx, 64);
    ASSERT_EQ(read->dispatchStatus, STATUS_PENDING);
    bus.ClearUrbs();

    EXPECT_EQ(Remove(), STATUS_SUCCESS);
    EXPECT_EQ(Wait(*read), STATUS_CANCELLED);
    auto aborts = bus.Urbs(URB_FUNCTION_ABORT_PIPE);
    ASSERT_EQ(aborts.size(), 2u) << "only the open pipes";
    EXPECT_EQ(aborts[0].pipeHandle, UsbBusStub::PipeHandle(1));
    EXPECT_EQ(aborts[1].pipeHandle, UsbBusStub::PipeHandle(2));
    EXPECT_EQ(tembris->driver()->DeviceObject, nullptr);
}

TEST_F(PnpStates, RemoveWaitsForTheLastOutstandingTransfer)
{
    ASSERT_EQ(AddAndStart(), STATUS_SUCCESS);
    PFILE_OBJECT rx = OpenPipe(u"PIPE01");
    auto read = Read(rx, 64);
    bus.abortCompletesTransfers = false;

    std::atomic<bool> removed{false};
    std::thread remover([&] {
        Remove();
        removed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(removed) << "the read still holds its reference";
    EXPECT_NE(tembris->driver()->DeviceObject, nullptr);
    auto late = Read(rx, 8);
    EXPECT_EQ(late->dispatchStatus, STATUS_DELETE_PENDING) << "a transfer admitted during the removal";
    while (late->dispatchStatus == STATUS_PENDING && bus.PendingTransfers() > 1)
        bus.CompleteTransfer({}, STATUS_CANCELLED, std::nullopt, late->irp);

    ASSERT_TRUE(bus.CompleteTransfer({}, STATUS_CANCELLED));
    remover.join();
    EXPECT_TRUE(removed);
    EXPECT_EQ(Wait(*read), STATUS_CANCELLED);
    EXPECT_EQ(tembris->driver()->DeviceObject, nullptr);
}

TEST_F(PnpStates, SurpriseRemovalCancelsOnlyTheMostRecentTransfer)
{
    ASSERT_EQ(AddAndStart(), STATUS_SUCCESS);
    PFILE_OBJECT rx = OpenPipe(u"PIPE01");
    PFILE_OBJECT tx = OpenPipe(u"PIPE00");
    auto read = Read(rx, 64);
    auto write = Write(tx, {1, 2});
    std::string message = platform::FormatKernel("(((IRP was canceled.)))[%08lX] [%08lx]\r\n",
                                                 PtrToUlong(write->irp),
                                                 PtrToUlong(reinterpret_cast<PVOID>(write->irp->CancelRoutine)));

    EXPECT_EQ(Pnp(IRP_MN_SURPRISE_REMOVAL).status, STATUS_SUCCESS);
    EXPECT_EQ(DebugCount(message), 1u) << platform::DebugText();
    EXPECT_EQ(DebugCount("IRP was canceled"), 1u);
    EXPECT_EQ(Wait(*write), STATUS_CANCELLED);
    EXPECT_EQ(bus.PendingTransfers(), 1u) << "the older read is left to the bus";
    EXPECT_TRUE(ext()->surpriseRemoved);
    EXPECT_TRUE(ext()->deviceRemoving);

    EXPECT_EQ(Read(rx, 8)->dispatchStatus, STATUS_DELETE_PENDING) << "no transfers after a surprise removal";
    ASSERT_TRUE(bus.CompleteTransfer({}, STATUS_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(Wait(*read), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Close(rx), STATUS_SUCCESS);
    EXPECT_EQ(Remove(), STATUS_SUCCESS);
}

// The transfer a surprise removal cancels may end on its own at any moment;
// here the bus completes it right between the handler taking it and
// cancelling it.  Its completion stops in tembris until the cancel has
// returned (its owner would otherwise free the request that is then
// cancelled) and then goes on up with what the bus gave it.
TEST_F(PnpStates, SurpriseRemovalCancelMeetsATransferCompletingMeanwhile)
{
    ASSERT_EQ(AddAndStart(), STATUS_SUCCESS);
    PFILE_OBJECT rx = OpenPipe(u"PIPE01");
    auto read = Read(rx, 64);
    ASSERT_EQ(read->dispatchStatus, STATUS_PENDING);
    bool completedMeanwhile = false;
    bool reachedOwnerMeanwhile = true;
    platform::SetDebugEcho([&](std::string_view text) {
        if (text.find("IRP was canceled") == std::string_view::npos)
            return;
        std::thread([&] { completedMeanwhile = bus.CompleteTransfer({4, 5}); }).join();
        reachedOwnerMeanwhile = KeReadStateEvent(&read->event) != 0;
    });
    EXPECT_EQ(Pnp(IRP_MN_SURPRISE_REMOVAL).status, STATUS_SUCCESS);
    platform::SetDebugEcho(nullptr);
    EXPECT_TRUE(completedMeanwhile);
    EXPECT_FALSE(reachedOwnerMeanwhile) << "the completion reached the owner before the cancel returned";
    EXPECT_EQ(Wait(*read), STATUS_SUCCESS);
    EXPECT_EQ(read->iosb.Information, 2u);
    EXPECT_EQ(ext()->cancellingIrp, nullptr);
    EXPECT_EQ(ext()->pendingIoCount, 1);
    EXPECT_EQ(Close(rx), STATUS_SUCCESS);
}

// A file object of an earlier configuration closed after a restart that
// failed (the record holds no interface) and a surprise removal.
TEST_F(PnpStates, CloseOfAnEarlierConfigurationsPipeAfterAFailedRestart)
{
    ASSERT_EQ(AddAndStart(), STATUS_SUCCESS);
    PFILE_OBJECT rx = OpenPipe(u"PIPE01");
    ASSERT_EQ(Pnp(IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
    ASSERT_EQ(Pnp(IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
    bus.fault = [](const UrbRecord &u) -> std::optional<NTSTATUS> {
        if (u.function == URB_FUNCTION_SELECT_CONFIGURATION)
            return STATUS_DEVICE_NOT_CONNECTED;
        return std::nullopt;
    };
    EXPECT_EQ(Pnp(IRP_MN_START_DEVICE).status, STATUS_DEVICE_NOT_CONNECTED);
    bus.fault = nullptr;
    ASSERT_NE(ext()->usbConfiguration, nullptr);
    ASSERT_EQ(ext()->usbConfiguration->interfaceInformation, nullptr);
    EXPECT_EQ(Pnp(IRP_MN_SURPRISE_REMOVAL).status, STATUS_SUCCESS);
    EXPECT_EQ(Close(rx), STATUS_INVALID_HANDLE);
}

// The most recent transfer, and the cancel of it at surprise removal, are
// recorded and taken under transferLock: while another holds the lock, a
// transfer does not go down, a completion does not go on to its owner, and
// the surprise removal cancels nothing.
TEST_F(PnpStates, TheTransferToCancelIsKeptUnderItsLock)
{
    ASSERT_EQ(AddAndStart(), STATUS_SUCCESS);
    PFILE_OBJECT rx = OpenPipe(u"PIPE01");
    auto holding = [&](const std::function<void()> &work, const std::function<bool()> &happened) {
        KIRQL irql;
        KeAcquireSpinLock(&ext()->transferLock, &irql);
        std::thread other(work);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        bool meanwhile = happened();
        KeReleaseSpinLock(&ext()->transferLock, irql);
        other.join();
        return meanwhile;
    };
    std::unique_ptr<Transfer> read;
    EXPECT_FALSE(holding([&] { read = Read(rx, 64); }, [&] { return bus.PendingTransfers() != 0; }))
        << "a transfer went down without its lock";
    ASSERT_EQ(bus.PendingTransfers(), 1u);
    EXPECT_FALSE(holding([&] { ASSERT_TRUE(bus.CompleteTransfer({7})); },
                         [&] { return KeReadStateEvent(&read->event) != 0; }))
        << "a completion went on without the lock";
    EXPECT_EQ(Wait(*read), STATUS_SUCCESS);

    auto write = Write(OpenPipe(u"PIPE00"), {1});
    ASSERT_EQ(write->dispatchStatus, STATUS_PENDING);
    EXPECT_FALSE(holding([&] { Pnp(IRP_MN_SURPRISE_REMOVAL); },
                         [&] { return DebugCount("IRP was canceled") != 0; }))
        << "the surprise removal took the transfer without the lock";
    EXPECT_EQ(Wait(*write), STATUS_CANCELLED);
}

TEST_F(PnpStates, SurpriseRemovalWithNothingOutstandingPrintsNothing)
{
    ASSERT_EQ(AddAndStart(), STATUS_SUCCESS);
    PFILE_OBJECT rx = OpenPipe(u"PIPE01");
    auto read = Read(rx, 64);
    ASSERT_TRUE(bus.CompleteTransfer({5}));
    Wait(*read);
    // The bus driver answers with the status the request came down with:
    // tembris sets it to success before passing it on.
    bus.scripted().Queue(IRP_MJ_PNP, testing_support::Answer::Pass());
    EXPECT_EQ(Pnp(IRP_MN_SURPRISE_REMOVAL).status, STATUS_SUCCESS);
    EXPECT_EQ(DebugCount("IRP was canceled"), 0u);
}

TEST_F(PnpStates, QueriesOnANeverStartedDeviceChangeNoFlag)
{
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    for (UCHAR minor : {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE}) {
        EXPECT_EQ(Pnp(minor).status, STATUS_SUCCESS);
        EXPECT_FALSE(ext()->stopPending);
        EXPECT_FALSE(ext()->removePending);
    }
    ext()->stopPending = TRUE;  // a cancel on a device that is not started leaves this alone
    ext()->removePending = TRUE;
    EXPECT_EQ(Pnp(IRP_MN_CANCEL_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(Pnp(IRP_MN_CANCEL_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_TRUE(ext()->stopPending);
    EXPECT_TRUE(ext()->removePending);
    EXPECT_EQ(BusSaw(IRP_MN_CANCEL_REMOVE_DEVICE), 1u);
    ext()->stopPending = FALSE;
    ext()->removePending = FALSE;
}

TEST_F(PnpStates, AfterAStopClientRequestsWaitForTheNextStart)
{
    ASSERT_EQ(AddAndStart(), STATUS_SUCCESS);
    ASSERT_EQ(Pnp(IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_TRUE(ext()->stopPending);
    ASSERT_EQ(Pnp(IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_FALSE(ext()->stopPending);
    EXPECT_FALSE(ext()->deviceStarted);
    EXPECT_EQ(BusSaw(IRP_MN_STOP_DEVICE), 1u);

    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(Open(u"PIPE01", &file), STATUS_DELETE_PENDING);
    ASSERT_EQ(Pnp(IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(Open(u"PIPE01", &file), STATUS_SUCCESS);
}

// The bus refuses the un-configuration: the device stays started and
// configured.  The transfers in flight were aborted (a stop ends them in any
// case), but the pipes stay open: the file objects that opened them still
// hold them, and go on using and closing them.
TEST_F(PnpStates, StopThatCannotUnconfigureKeepsTheDeviceAndItsOpenPipes)
{
    ASSERT_EQ(AddAndStart(), STATUS_SUCCESS);
    PFILE_OBJECT rx = OpenPipe(u"PIPE01");
    auto read = Read(rx, 64);
    ASSERT_EQ(Pnp(IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
    bus.fault = [](const UrbRecord &u) -> std::optional<NTSTATUS> {
        if (u.function == URB_FUNCTION_SELECT_CONFIGURATION)
            return STATUS_IO_DEVICE_ERROR;
        return std::nullopt;
    };
    EXPECT_EQ(Pnp(IRP_MN_STOP_DEVICE).status, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(BusSaw(IRP_MN_STOP_DEVICE), 0u) << "a failed stop does not go down";
    EXPECT_EQ(Wait(*read), STATUS_CANCELLED);
    EXPECT_TRUE(ext()->deviceStarted);
    EXPECT_FALSE(ext()->stopPending);
    ASSERT_NE(ext()->usbConfiguration, nullptr);
    EXPECT_EQ(ext()->usbConfiguration->interfaceInformation->Pipes[1].PipeFlags, 1u);
    bus.fault = nullptr;

    auto again = Read(rx, 64);
    ASSERT_EQ(again->dispatchStatus, STATUS_PENDING) << "the open pipe carries transfers again";
    ASSERT_TRUE(bus.CompleteTransfer({1, 2, 3}));
    EXPECT_EQ(Wait(*again), STATUS_SUCCESS);
    EXPECT_EQ(again->iosb.Information, 3u);
    EXPECT_EQ(Close(rx), STATUS_SUCCESS);
    EXPECT_NE(OpenPipe(u"PIPE01"), nullptr) << "the device is usable again";
}

// A stop that cannot allocate its request fails before it touches anything.
TEST_F(PnpStates, StopWithoutMemoryChangesNothing)
{
    ASSERT_EQ(AddAndStart(), STATUS_SUCCESS);
    PFILE_OBJECT rx = OpenPipe(u"PIPE01");
    auto read = Read(rx, 64);
    bus.ClearUrbs();
    platform::FailAllocationsWithTag(kWdmTag, 1);
    EXPECT_EQ(Pnp(IRP_MN_STOP_DEVICE).status, STATUS_INSUFFICIENT_RESOURCES);
    platform::ClearAllocationFaults();
    EXPECT_TRUE(bus.Urbs().empty()) << "nothing was aborted";
    EXPECT_EQ(bus.PendingTransfers(), 1u);
    EXPECT_TRUE(ext()->deviceStarted);
    ASSERT_TRUE(bus.CompleteTransfer({9}));
    EXPECT_EQ(Wait(*read), STATUS_SUCCESS);
}

// A request that passed the gate just before the stop still uses its pipe:
// here an isochronous read held inside tembris by the pipe reset it sends
// first.  The stop waits for it before the configuration goes, aborting
// the transfer once it has reached the bus.
TEST_F(PnpStates, StopWaitsForARequestStillUsingItsPipe)
{
    bus.endpoints = {{0x82, USB_ENDPOINT_TYPE_ISOCHRONOUS, 8, 1}};
    bus.configDescriptor = ConfigurationDescriptor(bus.endpoints);
    ASSERT_EQ(AddAndStart(), STATUS_SUCCESS);
    PFILE_OBJECT in = OpenPipe(u"PIPE00");
    std::promise<void> reached;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> held{false};
    bus.fault = [&](const UrbRecord &u) -> std::optional<NTSTATUS> {
        if (u.function == URB_FUNCTION_RESET_PIPE && !held.exchange(true)) {
            reached.set_value();
            released.wait();
        }
        return std::nullopt;
    };
    std::unique_ptr<Transfer> read;
    std::thread reader([&] { read = Read(in, 16); });
    reached.get_future().wait();

    std::atomic<bool> stopped{false};
    NTSTATUS stopStatus = STATUS_PENDING;
    std::thread stopper([&] {
        stopStatus = Pnp(IRP_MN_STOP_DEVICE).status;
        stopped = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(stopped) << "the stop freed the configuration under a request still using it";
    EXPECT_EQ(Read(in, 8)->dispatchStatus, STATUS_DELETE_PENDING) << "a stop without a query admitted a request";
    EXPECT_NE(ext()->usbConfiguration, nullptr);
    release.set_value();
    reader.join();
    stopper.join();
    bus.fault = nullptr;
    EXPECT_EQ(stopStatus, STATUS_SUCCESS);
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(Wait(*read), STATUS_CANCELLED);
    EXPECT_EQ(bus.Urbs(URB_FUNCTION_ISOCH_TRANSFER).size(), 1u);
    EXPECT_FALSE(ext()->deviceStarted);
    EXPECT_EQ(ext()->usbConfiguration, nullptr);
    EXPECT_EQ(ext()->pendingIoCount, 1);
}

// Transfers still in the bus at stop are aborted before their pipe contexts
// are freed, so no completion reaches freed memory.
TEST_F(PnpStates, StopAbortsTransfersBeforeFreeingThePipes)
{
    ASSERT_EQ(AddAndStart(), STATUS_SUCCESS);
    PFILE_OBJECT rx = OpenPipe(u"PIPE01");
    ASSERT_EQ(Control(rx, IOCTL_USBCVT_START_STATISTICS).status, STATUS_SUCCESS);
    auto read = Read(rx, 64);
    bus.ClearUrbs();
    ASSERT_EQ(Pnp(IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
    ASSERT_EQ(Pnp(IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(Wait(*read), STATUS_CANCELLED);
    auto urbs = bus.Urbs();
    ASSERT_EQ(urbs.size(), 2u);
    EXPECT_EQ(urbs[0].function, URB_FUNCTION_ABORT_PIPE);
    EXPECT_TRUE(urbs[1].nullConfiguration);
}

TEST_F(PnpStates, UnhandledRequestsGoDownUnchanged)
{
    ASSERT_EQ(AddAndStart(), STATUS_SUCCESS);
    auto r = Pnp(IRP_MN_QUERY_DEVICE_RELATIONS, [](PIO_STACK_LOCATION sp) {
        sp->Parameters.QueryDeviceRelations.Type = BusRelations;
    });
    EXPECT_EQ(r.status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(BusSaw(IRP_MN_QUERY_DEVICE_RELATIONS), 1u);
    EXPECT_EQ(ext()->pendingIoCount, 1);
}

}  // namespace
