// test_pnp.cpp - tembris PnP states: the query/cancel pairs, stop, surprise
// removal and removal.
#include "tembris_test.hpp"

#include <atomic>
#include <chrono>
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

TEST_F(PnpStates, SurpriseRemovalWithNothingOutstandingPrintsNothing)
{
    ASSERT_EQ(AddAndStart(), STATUS_SUCCESS);
    PFILE_OBJECT rx = OpenPipe(u"PIPE01");
    auto read = Read(rx, 64);
    ASSERT_TRUE(bus.CompleteTransfer({5}));
    Wait(*read);
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

TEST_F(PnpStates, StopThatCannotUnconfigureKeepsTheDeviceStarted)
{
    ASSERT_EQ(AddAndStart(), STATUS_SUCCESS);
    ASSERT_EQ(Pnp(IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
    bus.fault = [](const UrbRecord &u) -> std::optional<NTSTATUS> {
        if (u.function == URB_FUNCTION_SELECT_CONFIGURATION)
            return STATUS_IO_DEVICE_ERROR;
        return std::nullopt;
    };
    EXPECT_EQ(Pnp(IRP_MN_STOP_DEVICE).status, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(BusSaw(IRP_MN_STOP_DEVICE), 0u) << "a failed stop does not go down";
    EXPECT_TRUE(ext()->deviceStarted);
    EXPECT_FALSE(ext()->stopPending);
    EXPECT_NE(ext()->usbConfiguration, nullptr);
    bus.fault = nullptr;
    EXPECT_EQ(OpenPipe(u"PIPE01") != nullptr, true) << "the device is usable again";
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
