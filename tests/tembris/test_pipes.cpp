// test_pipes.cpp - tembris pipe file objects: opening and closing pipes by
// name, one file object per pipe.
#include "tembris_test.hpp"

#include <thread>

using namespace tembris_test;

namespace {

class Pipes : public TembrisTest {
protected:
    void SetUp() override { ASSERT_EQ(AddAndStart(), STATUS_SUCCESS); }

    ULONG Flags(ULONG pipe) const { return ext()->usbConfiguration->interfaceInformation->Pipes[pipe].PipeFlags; }
    PipeContext *Context(ULONG pipe) const { return &ext()->usbConfiguration->pipeContexts[pipe]; }
};

// A create or close on a file object the sender keeps (as norva keeps its
// pipe file objects in its extension); null: no file object at all.
NTSTATUS CreateOrClose(PDEVICE_OBJECT fdo, UCHAR major, PFILE_OBJECT file)
{
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = platform::BuildSynchronousRequest(fdo, major, 0, &event, &iosb);
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->FileObject = file;
    return platform::CallAndWait(fdo, irp, &event, &iosb);
}

TEST_F(Pipes, OpenedPipeCarriesItsContextUntilClosed)
{
    PFILE_OBJECT file = OpenPipe(u"PIPE01");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->FsContext, Context(1));
    EXPECT_EQ(Flags(1), 1u);
    EXPECT_EQ(Flags(0), 0u);
    EXPECT_EQ(CreateOrClose(fdo, IRP_MJ_CLOSE, file), STATUS_SUCCESS);
    EXPECT_EQ(file->FsContext, nullptr) << "a closed file object still points into the pipe table";
    EXPECT_EQ(Flags(1), 0u);
    EXPECT_EQ(Close(file), STATUS_INVALID_HANDLE) << "nothing left to close";
}

TEST_F(Pipes, CreateWithoutAFileObjectIsRefused)
{
    EXPECT_EQ(CreateOrClose(fdo, IRP_MJ_CREATE, nullptr), STATUS_INVALID_HANDLE);
    EXPECT_EQ(ext()->pendingIoCount, 1);
}

TEST_F(Pipes, SecondOpenOfAnOpenPipeFailsUntilItIsClosed)
{
    PFILE_OBJECT first = OpenPipe(u"PIPE01");
    PFILE_OBJECT second = nullptr;
    EXPECT_EQ(Open(u"PIPE01", &second), STATUS_INVALID_HANDLE);
    EXPECT_EQ(first->FsContext, Context(1)) << "the first file object keeps the pipe";
    EXPECT_EQ(Close(first), STATUS_SUCCESS);
    EXPECT_EQ(Open(u"PIPE01", &second), STATUS_SUCCESS);
}

TEST_F(Pipes, DeviceOpenedWithoutANameHasNoPipeToClose)
{
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(Open(u"", &file), STATUS_SUCCESS);
    EXPECT_EQ(file->FsContext, nullptr);
    EXPECT_EQ(Close(file), STATUS_INVALID_HANDLE);
}

TEST_F(Pipes, PipeNumberIsTheLastDigitRunAfterTheFirstCharacter)
{
    struct Case {
        const char16_t *name;
        NTSTATUS status;
        int pipe;
    } cases[] = {
        {u"PIPE00", STATUS_SUCCESS, 0},      {u"PIPE02", STATUS_SUCCESS, 2},
        {u"\\PIPE01.X", STATUS_SUCCESS, 1},  {u"X2", STATUS_SUCCESS, 2},
        {u"PIPE12", STATUS_INVALID_HANDLE, -1},  {u"07", STATUS_INVALID_HANDLE, -1},  // see ManyPipes
        {u"PIPE", STATUS_INVALID_HANDLE, -1},    {u"7", STATUS_INVALID_HANDLE, -1},
        {u"0", STATUS_INVALID_HANDLE, -1},       {u"PIPE03", STATUS_INVALID_HANDLE, -1},
        // Numbers beyond 32 bits must not wrap around to a small pipe number.
        {u"PIPE4294967297", STATUS_INVALID_HANDLE, -1}, {u"PIPE42949672960000000001", STATUS_INVALID_HANDLE, -1},
        {u"PIPE00000000000000000000001", STATUS_SUCCESS, 1},
    };
    for (const Case &c : cases) {
        std::u16string name = c.name;
        PFILE_OBJECT file = nullptr;
        EXPECT_EQ(Open(name, &file), c.status) << platform::ToUtf8(platform::W(name));
        if (file) {
            EXPECT_EQ(file->FsContext, Context(c.pipe)) << platform::ToUtf8(platform::W(name));
            Close(file);
        }
    }
}

// Thirteen pipes, so that a two-digit number and a leading zero name pipes
// that exist: the parser is seen to read them, not only to refuse them.
class ManyPipes : public TembrisTest {
protected:
    void SetUp() override
    {
        bus.endpoints.clear();
        for (UCHAR i = 1; i <= 13; ++i)
            bus.endpoints.push_back({UCHAR(0x80 | i), USB_ENDPOINT_TYPE_BULK, 64, 0});
        bus.configDescriptor = ConfigurationDescriptor(bus.endpoints);
        ASSERT_EQ(AddAndStart(), STATUS_SUCCESS);
    }
};

TEST_F(ManyPipes, TwoDigitNumbersAndLeadingZerosNameTheirPipes)
{
    struct Case {
        const char16_t *name;
        ULONG pipe;
    } cases[] = {{u"PIPE12", 12}, {u"07", 7}, {u"PIPE10.X", 10}, {u"A11", 11}, {u"PIPE012", 12}};
    for (const Case &c : cases) {
        std::u16string name = c.name;
        PFILE_OBJECT file = nullptr;
        ASSERT_EQ(Open(name, &file), STATUS_SUCCESS) << platform::ToUtf8(platform::W(name));
        EXPECT_EQ(file->FsContext, &ext()->usbConfiguration->pipeContexts[c.pipe])
            << platform::ToUtf8(platform::W(name));
        Close(file);
    }
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(Open(u"PIPE13", &file), STATUS_INVALID_HANDLE) << "one past the last pipe";
}

TEST_F(Pipes, OpeningAPipeStopsItsStatistics)
{
    PFILE_OBJECT file = OpenPipe(u"PIPE01");
    ASSERT_EQ(Control(file, IOCTL_USBCVT_START_STATISTICS).status, STATUS_SUCCESS);
    EXPECT_TRUE(Context(1)->statisticsEnabled);
    Close(file);
    file = OpenPipe(u"PIPE01");
    EXPECT_FALSE(Context(1)->statisticsEnabled);
}

TEST_F(Pipes, CreateAndCloseAreRefusedWhileAQueryIsPending)
{
    PFILE_OBJECT file = OpenPipe(u"PIPE00");
    ASSERT_EQ(Pnp(IRP_MN_QUERY_REMOVE_DEVICE).status, STATUS_SUCCESS);
    PFILE_OBJECT other = nullptr;
    EXPECT_EQ(Open(u"PIPE01", &other), STATUS_DELETE_PENDING);
    EXPECT_EQ(Close(file), STATUS_DELETE_PENDING);
    EXPECT_EQ(testing_support::DebugCount("CreateClose Rejected\r\n"), 2u);
    EXPECT_EQ(Flags(0), 1u);

    ASSERT_EQ(Pnp(IRP_MN_CANCEL_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(Open(u"PIPE01", &other), STATUS_SUCCESS);
}

TEST_F(Pipes, CloseAfterSurpriseRemovalStillClosesThePipe)
{
    PFILE_OBJECT file = OpenPipe(u"PIPE02");
    ASSERT_EQ(Pnp(IRP_MN_SURPRISE_REMOVAL).status, STATUS_SUCCESS);
    EXPECT_EQ(Close(file), STATUS_SUCCESS);
    EXPECT_EQ(Flags(2), 0u);
    EXPECT_EQ(testing_support::DebugCount("CreateClose Rejected"), 0u);
}

// A file object left open across a stop points into freed pipe contexts: it
// must never close, or move data on, the pipe of the new configuration.
TEST_F(Pipes, FileObjectFromAnEarlierConfigurationHoldsNoPipe)
{
    PFILE_OBJECT stale = OpenPipe(u"PIPE01");
    ASSERT_EQ(Pnp(IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
    ASSERT_EQ(Pnp(IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
    ASSERT_EQ(Pnp(IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
    PFILE_OBJECT fresh = OpenPipe(u"PIPE01");
    stale->FsContext = fresh->FsContext;  // as though the pool had handed back the same block

    auto read = Read(stale, 8);
    EXPECT_EQ(read->dispatchStatus, STATUS_INVALID_HANDLE);
    EXPECT_EQ(Control(stale, IOCTL_USBCVT_GET_PIPE_INFO, {}, 20).status, STATUS_INVALID_HANDLE);
    EXPECT_EQ(Close(stale), STATUS_INVALID_HANDLE);
    EXPECT_EQ(Flags(1), 1u) << "the new file object keeps its pipe";
    EXPECT_EQ(bus.PendingTransfers(), 0u);
}

TEST_F(Pipes, RacingCreatesOfOnePipeLetExactlyOneWin)
{
    for (int round = 0; round < 50; ++round) {
        PFILE_OBJECT a = nullptr, b = nullptr;
        NTSTATUS sa = STATUS_PENDING, sb = STATUS_PENDING;
        std::thread other([&] { sa = platform::OpenDevice(fdo, u"PIPE01", &a); });
        sb = platform::OpenDevice(fdo, u"PIPE01", &b);
        other.join();
        EXPECT_EQ(int(NT_SUCCESS(sa)) + int(NT_SUCCESS(sb)), 1) << "round " << round;
        for (PFILE_OBJECT f : {a, b}) {
            if (f) {
                EXPECT_EQ(platform::CloseDevice(f), STATUS_SUCCESS);
            }
        }
    }
}

}  // namespace
