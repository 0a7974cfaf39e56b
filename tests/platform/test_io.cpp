// The I/O manager: stack locations, completion walks, threaded requests,
// cancellation, device objects and their references, clients' opens.
#include "fixture.hpp"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

using testing_support::KernelTest;

namespace {

// A stack of in-process test devices (bottom first) whose dispatch routine is
// whatever the test sets per device index.
struct TestStack {
    using Dispatch = std::function<NTSTATUS(int level, PDEVICE_OBJECT, PIRP)>;
    static inline TestStack *current = nullptr;

    PDRIVER_OBJECT driver;
    std::vector<PDEVICE_OBJECT> devices;  // bottom first
    Dispatch dispatch;

    explicit TestStack(int depth)
    {
        current = this;
        driver = platform::CreateDriverObject(u"\\Driver\\teststack");
        for (auto &slot : driver->MajorFunction)
            slot = Route;
        for (int i = 0; i < depth; ++i) {
            PDEVICE_OBJECT d = nullptr;
            EXPECT_EQ(STATUS_SUCCESS,
                      IoCreateDevice(driver, sizeof(int), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &d));
            *static_cast<int *>(d->DeviceExtension) = i;
            if (!devices.empty()) {
                EXPECT_EQ(devices.back(), IoAttachDeviceToDeviceStack(d, devices.back()));
            }
            d->Flags &= ~DO_DEVICE_INITIALIZING;
            devices.push_back(d);
        }
    }
    ~TestStack()
    {
        for (size_t i = devices.size(); i-- > 0;) {
            if (i > 0)
                IoDetachDevice(devices[i - 1]);
            IoDeleteDevice(devices[i]);
        }
        platform::DeleteDriverObject(driver);
        current = nullptr;
    }
    PDEVICE_OBJECT top() const { return devices.back(); }

    static NTSTATUS NTAPI Route(PDEVICE_OBJECT device, PIRP irp)
    {
        return current->dispatch(*static_cast<int *>(device->DeviceExtension), device, irp);
    }
};

NTSTATUS PassDown(TestStack &s, int level, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(s.devices[level - 1], irp);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

struct CompletionLog {
    std::vector<std::string> calls;
    NTSTATUS answer = STATUS_SUCCESS;
};

NTSTATUS NTAPI LoggingCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    auto log = static_cast<CompletionLog *>(context);
    log->calls.push_back(platform::FormatKernel("dev=%p pending=%d status=%lx", device, irp->PendingReturned,
                                                (ULONG)irp->IoStatus.Status));
    if (irp->PendingReturned && log->answer != STATUS_MORE_PROCESSING_REQUIRED)
        IoMarkIrpPending(irp);
    return log->answer;
}

NTSTATUS NTAPI StopCompletion(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

class IoManager : public KernelTest {};

}  // namespace

TEST_F(IoManager, CallDriverAdvancesIntoTheNextStackLocation)
{
    TestStack s(2);
    std::vector<std::pair<int, UCHAR>> seen;
    s.dispatch = [&](int level, PDEVICE_OBJECT device, PIRP irp) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(device, sp->DeviceObject);
        seen.emplace_back(level, sp->MajorFunction);
        return level == 1 ? PassDown(s, level, irp) : Complete(irp, STATUS_SUCCESS);
    };
    PIRP irp = IoAllocateIrp(s.top()->StackSize, FALSE);
    EXPECT_EQ(2, irp->CurrentLocation - 1);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, StopCompletion, &done, TRUE, TRUE, TRUE);
    EXPECT_EQ(STATUS_SUCCESS, IoCallDriver(s.top(), irp));
    EXPECT_EQ(1, KeReadStateEvent(&done));
    ASSERT_EQ(2u, seen.size());
    EXPECT_EQ(1, seen[0].first);
    EXPECT_EQ(0, seen[1].first);
    EXPECT_EQ(IRP_MJ_READ, seen[1].second);  // a skipped location is seen unchanged below
    IoFreeIrp(irp);
}

TEST_F(IoManager, CompletionRoutinesRunByTheirInvokeFlags)
{
    struct Case {
        NTSTATUS status;
        bool cancel;
        bool onSuccess, onError, onCancel;
        bool expectCall;
    } cases[] = {
        {STATUS_SUCCESS, false, true, false, false, true},   {STATUS_SUCCESS, false, false, true, true, false},
        {STATUS_UNSUCCESSFUL, false, false, true, false, true}, {STATUS_UNSUCCESSFUL, false, true, false, false, false},
        {STATUS_CANCELLED, true, false, false, true, true},  {STATUS_CANCELLED, true, false, true, false, true},
        {STATUS_BUFFER_OVERFLOW, false, true, false, false, false},  // a warning is not a success
        {STATUS_BUFFER_OVERFLOW, false, false, true, false, true},
    };
    for (const Case &c : cases) {
        TestStack s(2);
        CompletionLog log;
        s.dispatch = [&](int level, PDEVICE_OBJECT, PIRP irp) {
            if (level == 1) {
                IoCopyCurrentIrpStackLocationToNext(irp);
                IoSetCompletionRoutine(irp, LoggingCompletion, &log, c.onSuccess, c.onError, c.onCancel);
                return IoCallDriver(s.devices[0], irp);
            }
            irp->Cancel = c.cancel;
            return Complete(irp, c.status);
        };
        KEVENT event;
        IO_STATUS_BLOCK iosb{};
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = platform::BuildSynchronousRequest(s.top(), IRP_MJ_READ, 0, &event, &iosb);
        EXPECT_EQ(c.status, platform::CallAndWait(s.top(), irp, &event, &iosb));
        EXPECT_EQ(c.expectCall ? 1u : 0u, log.calls.size()) << std::hex << c.status;
        EXPECT_EQ(c.status, iosb.Status);
    }
}

TEST_F(IoManager, MoreProcessingRequiredStopsTheWalkAndTheOwnerCompletesAgain)
{
    TestStack s(3);
    CompletionLog top, middle;
    middle.answer = STATUS_MORE_PROCESSING_REQUIRED;
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP held = nullptr;
    s.dispatch = [&](int level, PDEVICE_OBJECT, PIRP irp) {
        if (level == 0)
            return Complete(irp, STATUS_SUCCESS);  // the bottom has no location below it to fill
        IoCopyCurrentIrpStackLocationToNext(irp);
        if (level == 2) {
            IoSetCompletionRoutine(irp, LoggingCompletion, &top, TRUE, TRUE, TRUE);
            return IoCallDriver(s.devices[1], irp);
        }
        if (level == 1) {
            IoSetCompletionRoutine(irp, LoggingCompletion, &middle, TRUE, TRUE, TRUE);
            NTSTATUS status = IoCallDriver(s.devices[0], irp);
            EXPECT_EQ(STATUS_SUCCESS, status);
            held = irp;  // the walk stopped at this level
            EXPECT_EQ(0u, top.calls.size());
            irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
            IoCompleteRequest(irp, IO_NO_INCREMENT);  // go on upward
            return STATUS_UNSUCCESSFUL;
        }
        ADD_FAILURE() << "no level " << level;
        return STATUS_UNSUCCESSFUL;
    };
    PIRP irp = platform::BuildSynchronousRequest(s.top(), IRP_MJ_WRITE, 0, &event, &iosb);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, platform::CallAndWait(s.top(), irp, &event, &iosb));
    EXPECT_EQ(held, irp);
    EXPECT_EQ(1u, middle.calls.size());
    ASSERT_EQ(1u, top.calls.size());
    EXPECT_NE(std::string::npos, top.calls[0].find("status=c0000001"));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, iosb.Status);
    EXPECT_EQ(0u, platform::IrpsOutstanding());
}

TEST_F(IoManager, PendingReturnedPropagatesUpwardWithoutCompletionRoutines)
{
    TestStack s(3);
    CompletionLog log;
    PIRP pended = nullptr;
    s.dispatch = [&](int level, PDEVICE_OBJECT, PIRP irp) {
        if (level == 0) {
            IoMarkIrpPending(irp);
            pended = irp;
            return STATUS_PENDING;
        }
        if (level == 2) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, LoggingCompletion, &log, TRUE, TRUE, TRUE);
            return IoCallDriver(s.devices[1], irp);
        }
        return PassDown(s, level, irp);  // level 1: no routine of its own
    };
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = platform::BuildSynchronousRequest(s.top(), IRP_MJ_READ, 0, &event, &iosb);
    EXPECT_EQ(STATUS_PENDING, IoCallDriver(s.top(), irp));
    std::thread completer([&] {
        platform::AtDispatchLevel([&] { Complete(pended, STATUS_SUCCESS, 7); });
    });
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    completer.join();
    ASSERT_EQ(1u, log.calls.size());
    EXPECT_NE(std::string::npos, log.calls[0].find("pending=1"));  // carried through level 1
    EXPECT_EQ(7u, iosb.Information);
}

TEST_F(IoManager, DeviceControlOutputIsCopiedBackAndTheRequestFreed)
{
    TestStack s(1);
    s.dispatch = [&](int, PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(IRP_MJ_DEVICE_CONTROL, sp->MajorFunction);
        EXPECT_EQ(3u, sp->Parameters.DeviceIoControl.InputBufferLength);
        auto buffer = static_cast<UCHAR *>(irp->AssociatedIrp.SystemBuffer);
        EXPECT_EQ(0xAB, buffer[2]);
        buffer[0] = 0x11;
        buffer[1] = 0x22;
        return Complete(irp, STATUS_SUCCESS, 2);
    };
    UCHAR in[3] = {1, 2, 0xAB};
    UCHAR out[8] = {};
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(0x23, 1, METHOD_BUFFERED, FILE_ANY_ACCESS), s.top(), in, 3, out,
                                             sizeof out, FALSE, &event, &iosb);
    ASSERT_NE(nullptr, irp);
    EXPECT_EQ(STATUS_SUCCESS, IoCallDriver(s.top(), irp));
    EXPECT_EQ(1, KeReadStateEvent(&event));
    EXPECT_EQ(2u, iosb.Information);
    EXPECT_EQ(0x11, out[0]);
    EXPECT_EQ(0x22, out[1]);
    EXPECT_EQ(0, out[2]);  // only Information bytes come back
}

// A dispatch routine may return STATUS_PENDING after another thread has
// completed its request and deleted its device: once the routine returns,
// IoCallDriver touches the device no more, as on Windows (under ASan a read
// of it is a use after free).
TEST_F(IoManager, ADeviceDeletedBeforeItsDispatchRoutineReturnsIsNotTouchedAgain)
{
    TestStack s(1);
    s.dispatch = [&](int, PDEVICE_OBJECT device, PIRP irp) {
        IoMarkIrpPending(irp);
        std::thread([&] {
            Complete(irp, STATUS_SUCCESS);
            IoDeleteDevice(device);
        }).join();
        s.devices.clear();
        return STATUS_PENDING;
    };
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(0x23, 1, METHOD_BUFFERED, FILE_ANY_ACCESS), s.top(), nullptr,
                                             0, nullptr, 0, FALSE, &event, &iosb);
    ASSERT_NE(nullptr, irp);
    EXPECT_EQ(STATUS_PENDING, IoCallDriver(s.top(), irp));
    EXPECT_EQ(1, KeReadStateEvent(&event));
    EXPECT_EQ(STATUS_SUCCESS, iosb.Status);
}

TEST_F(IoManager, DirectIoWritesCarryAnMdlThatTheIoManagerReleases)
{
    TestStack s(1);
    s.devices[0]->Flags |= DO_DIRECT_IO;
    std::string received;
    s.dispatch = [&](int, PDEVICE_OBJECT, PIRP irp) {
        PMDL mdl = irp->MdlAddress;
        EXPECT_NE(nullptr, mdl);
        auto data = static_cast<const char *>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
        received.assign(data, MmGetMdlByteCount(mdl));
        return Complete(irp, STATUS_SUCCESS, MmGetMdlByteCount(mdl));
    };
    char text[] = "hello";
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_WRITE, s.top(), text, 5, nullptr, &event, &iosb);
    EXPECT_EQ(STATUS_SUCCESS, platform::CallAndWait(s.top(), irp, &event, &iosb));
    EXPECT_EQ("hello", received);
    EXPECT_EQ(5u, iosb.Information);
    EXPECT_EQ(0u, platform::MdlsOutstanding());
}

namespace {

PIRP gCancelled = nullptr;

void NTAPI RecordingCancel(PDEVICE_OBJECT, PIRP irp)
{
    gCancelled = irp;
    IoReleaseCancelSpinLock(irp->CancelIrql);
}

}  // namespace

TEST_F(IoManager, CancelCallsTheCancelRoutineOnceAndSetsCancel)
{
    TestStack s(1);
    PIRP pended = nullptr;
    s.dispatch = [&](int, PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, RecordingCancel);
        pended = irp;
        return STATUS_PENDING;
    };
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = platform::BuildSynchronousRequest(s.top(), IRP_MJ_READ, 0, &event, &iosb);
    EXPECT_EQ(STATUS_PENDING, IoCallDriver(s.top(), irp));
    gCancelled = nullptr;
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(pended, gCancelled);
    EXPECT_TRUE(irp->Cancel);
    EXPECT_EQ(nullptr, irp->CancelRoutine);
    EXPECT_FALSE(IoCancelIrp(irp));  // no routine left: only Cancel is set
    Complete(pended, STATUS_CANCELLED);
    EXPECT_EQ(STATUS_CANCELLED, iosb.Status);
}

TEST_F(IoManager, NewestDeviceComesFirstAndDeletionWaitsForTheLastReference)
{
    PDRIVER_OBJECT driver = platform::CreateDriverObject(u"\\Driver\\refs");
    PDEVICE_OBJECT first = nullptr, second = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &first));
    ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &second));
    EXPECT_EQ(second, driver->DeviceObject);
    EXPECT_EQ(first, second->NextDevice);

    PDEVICE_OBJECT held = IoGetAttachedDeviceReference(first);
    EXPECT_EQ(first, held);
    IoDeleteDevice(first);
    EXPECT_EQ(second, driver->DeviceObject);  // unlinked at once
    EXPECT_EQ(nullptr, second->NextDevice);
    EXPECT_EQ(2u, platform::DevicesAlive());   // memory kept for the reference
    EXPECT_TRUE(platform::IsDeviceDeleted(first));
    ObDereferenceObject(held);
    EXPECT_EQ(1u, platform::DevicesAlive());
    IoDeleteDevice(second);
    platform::DeleteDriverObject(driver);
}

TEST_F(IoManager, AttachSetsStackSizeAndFailsOnADeletedTarget)
{
    PDRIVER_OBJECT driver = platform::CreateDriverObject(u"\\Driver\\attach");
    PDEVICE_OBJECT low = nullptr, high = nullptr;
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &low);
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &high);
    low->StackSize = 3;
    EXPECT_EQ(low, IoAttachDeviceToDeviceStack(high, low));
    EXPECT_EQ(4, high->StackSize);
    EXPECT_EQ(high, IoGetAttachedDevice(low));
    IoDetachDevice(low);
    EXPECT_EQ(nullptr, low->AttachedDevice);

    platform::FailNextAttach();
    EXPECT_EQ(nullptr, IoAttachDeviceToDeviceStack(high, low));
    EXPECT_EQ(nullptr, low->AttachedDevice);
    IoDeleteDevice(high);
    IoDeleteDevice(low);
    platform::DeleteDriverObject(driver);
}

TEST_F(IoManager, ExclusiveDevicesAdmitOneOpenAtATime)
{
    TestStack s(1);
    s.devices[0]->Flags |= DO_EXCLUSIVE;
    std::vector<UCHAR> majors;
    std::string name;
    s.dispatch = [&](int, PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        majors.push_back(sp->MajorFunction);
        if (sp->MajorFunction == IRP_MJ_CREATE)
            name = platform::ToUtf8(sp->FileObject->FileName);
        return Complete(irp, STATUS_SUCCESS);
    };
    PFILE_OBJECT file = nullptr, second = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, platform::OpenDevice(s.top(), u"PIPE01", &file));
    EXPECT_EQ("PIPE01", name);
    EXPECT_EQ(STATUS_ACCESS_DENIED, platform::OpenDevice(s.top(), u"", &second));
    EXPECT_EQ(STATUS_SUCCESS, platform::CloseDevice(file));
    EXPECT_EQ((std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}), majors);
    ASSERT_EQ(STATUS_SUCCESS, platform::OpenDevice(s.top(), u"", &second));
    platform::CloseDevice(second);
}

// The verifier's rules fire on the faults they name.
TEST_F(IoManager, VerifierCatchesDoubleCompletionAndMisuse)
{
    platform::ViolationTrap trap;
    TestStack s(1);
    s.dispatch = [&](int, PDEVICE_OBJECT, PIRP irp) {
        Complete(irp, STATUS_SUCCESS);
        IoCompleteRequest(irp, IO_NO_INCREMENT);  // the fault
        return STATUS_SUCCESS;
    };
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoAllocateIrp(s.top()->StackSize, FALSE);
    IoSetCompletionRoutine(irp, StopCompletion, &done, TRUE, TRUE, TRUE);
    IoCallDriver(s.top(), irp);
    IoFreeIrp(irp);
    IoFreeIrp(irp);  // freed twice

    PIRP lost = IoAllocateIrp(1, FALSE);
    auto violations = TakeViolations();
    ASSERT_EQ(2u, violations.size());
    EXPECT_EQ("IRP_COMPLETED_TWICE", violations[0].rule);
    EXPECT_EQ("IRP_FREED_TWICE", violations[1].rule);
    EXPECT_NE(std::string::npos, platform::LeakReport().find("1 IRP(s) not freed"));
    IoFreeIrp(lost);
}

NTSTATUS NTAPI CompletesAgain(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    IoCompleteRequest(irp, IO_NO_INCREMENT);  // the fault: and then lets the walk go on
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI CountingStop(PDEVICE_OBJECT, PIRP, PVOID context)
{
    ++*static_cast<int *>(context);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// A completion routine that completes its request again and lets the walk go
// on is named, and the walk stops there: the owner gets the request back
// once, from the second completion, and frees it without a further finding.
TEST_F(IoManager, ACompletionRoutineThatCompletesAgainStopsTheWalkAndIsNamed)
{
    platform::ViolationTrap trap;
    TestStack s(2);
    s.dispatch = [&](int level, PDEVICE_OBJECT, PIRP irp) {
        if (level == 0)
            return Complete(irp, STATUS_SUCCESS);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, CompletesAgain, nullptr, TRUE, TRUE, TRUE);
        return IoCallDriver(s.devices[0], irp);
    };
    int backWithOwner = 0;
    PIRP irp = IoAllocateIrp(s.top()->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, CountingStop, &backWithOwner, TRUE, TRUE, TRUE);
    IoCallDriver(s.top(), irp);
    EXPECT_EQ(1, backWithOwner);
    auto violations = TakeViolations();
    ASSERT_EQ(1u, violations.size());
    EXPECT_EQ("IRP_COMPLETED_TWICE", violations[0].rule);
    EXPECT_NE(std::string::npos, violations[0].detail.find("teststack"));
    IoFreeIrp(irp);
    EXPECT_TRUE(TakeViolations().empty());
}

NTSTATUS NTAPI FreeingCompletion(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// The owner frees its request in its completion routine while the dispatch
// routines that passed it down still run: their returns are checked all the
// same, and requests made next (at the same address, as likely as not) carry
// nothing of it.
TEST_F(IoManager, RoutinesStillRunningWhenTheOwnerFreesTheRequestAreChecked)
{
    platform::ViolationTrap trap;
    TestStack s(2);
    NTSTATUS middleAnswer = STATUS_UNSUCCESSFUL;  // the fault: the request was completed with STATUS_SUCCESS
    s.dispatch = [&](int level, PDEVICE_OBJECT, PIRP irp) {
        if (level == 0)
            return Complete(irp, STATUS_SUCCESS);
        IoCopyCurrentIrpStackLocationToNext(irp);
        NTSTATUS below = IoCallDriver(s.devices[0], irp);  // the request is gone when this returns
        return middleAnswer == STATUS_SUCCESS ? below : middleAnswer;
    };
    auto send = [&s] {
        PIRP irp = IoAllocateIrp(s.top()->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        IoSetCompletionRoutine(irp, FreeingCompletion, nullptr, TRUE, TRUE, TRUE);
        return IoCallDriver(s.top(), irp);
    };
    EXPECT_EQ(STATUS_UNSUCCESSFUL, send());
    auto violations = TakeViolations();
    ASSERT_EQ(1u, violations.size());
    EXPECT_EQ("DISPATCH_STATUS_MISMATCH", violations[0].rule);
    EXPECT_NE(std::string::npos, violations[0].detail.find("returned 0xc0000001")) << violations[0].detail;
    EXPECT_EQ(0u, platform::IrpsOutstanding());

    middleAnswer = STATUS_SUCCESS;
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(STATUS_SUCCESS, send());
    EXPECT_TRUE(TakeViolations().empty());
    EXPECT_EQ(0u, platform::IrpsOutstanding());
}

TEST_F(IoManager, VerifierCatchesAnAllocatedRequestCompletedPastItsOwner)
{
    platform::ViolationTrap trap;
    TestStack s(1);
    s.dispatch = [&](int, PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); };
    PIRP irp = IoAllocateIrp(s.top()->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoCallDriver(s.top(), irp);  // no completion routine reclaims it
    auto violations = TakeViolations();
    ASSERT_EQ(1u, violations.size());
    EXPECT_EQ("ALLOCATED_IRP_COMPLETED_TO_TOP", violations[0].rule);
    // Cancelling a completed request is harmless, unless a cancel routine
    // is still set that no one may call.
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(TakeViolations().empty());
    IoSetCancelRoutine(irp, RecordingCancel);
    gCancelled = nullptr;
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_EQ(nullptr, gCancelled);
    violations = TakeViolations();
    ASSERT_EQ(1u, violations.size());
    EXPECT_EQ("CANCEL_STATE_IN_COMPLETED_IRP", violations[0].rule);
    IoSetCancelRoutine(irp, nullptr);
    IoFreeIrp(irp);
}

TEST_F(IoManager, VerifierCatchesRunningOutOfStackLocationsAndDeletingAttachedDevices)
{
    platform::ViolationTrap trap;
    TestStack s(2);
    s.dispatch = [&](int level, PDEVICE_OBJECT, PIRP irp) {
        if (level == 1)
            IoCopyCurrentIrpStackLocationToNext(irp);
        return IoCallDriver(s.devices[0], irp);  // the bottom device sends below itself
    };
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = platform::BuildSynchronousRequest(s.top(), IRP_MJ_READ, 0, &event, &iosb);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, IoCallDriver(s.top(), irp));
    auto violations = TakeViolations();
    ASSERT_EQ(3u, violations.size());
    EXPECT_EQ("NO_MORE_IRP_STACK_LOCATIONS", violations[0].rule);
    // Both routines then returned a failure for a request they had neither
    // completed nor pended.
    EXPECT_EQ("DISPATCH_RETURNED_WITHOUT_COMPLETING", violations[1].rule);
    EXPECT_EQ("DISPATCH_RETURNED_WITHOUT_COMPLETING", violations[2].rule);
    Complete(irp, STATUS_UNSUCCESSFUL);  // the bottom device still holds it

    PDEVICE_OBJECT top = s.devices[1];
    IoDeleteDevice(top);  // still attached to the device below it
    violations = TakeViolations();
    ASSERT_EQ(1u, violations.size());
    EXPECT_EQ("DELETE_WITHOUT_DETACH", violations[0].rule);
    EXPECT_FALSE(platform::IsDeviceDeleted(top));
}

TEST_F(IoManager, ALowerDeviceDeletedUnderAnAttachedOneLivesUntilTheDetach)
{
    // The removal order of a stack: the function driver deletes its device
    // while the filter above is still attached; the filter detaches after.
    TestStack s(2);
    PDEVICE_OBJECT bottom = s.devices[0], top = s.devices[1];
    IoDeleteDevice(bottom);
    EXPECT_TRUE(platform::IsDeviceDeleted(bottom));
    EXPECT_EQ(2u, platform::DevicesAlive());
    IoDetachDevice(bottom);  // the device's memory is still there for this
    EXPECT_EQ(1u, platform::DevicesAlive());
    IoDeleteDevice(top);
    EXPECT_EQ(0u, platform::DevicesAlive());
    s.devices.clear();
}

TEST_F(IoManager, VerifierChecksWhatADispatchRoutineReturns)
{
    struct Case {
        const char *rule;
        std::function<NTSTATUS(PIRP)> bottom;
    } cases[] = {
        {"PENDING_WITHOUT_MARK", [](PIRP irp) { Complete(irp, STATUS_SUCCESS); return STATUS_PENDING; }},
        {"MARK_WITHOUT_PENDING", [](PIRP irp) { IoMarkIrpPending(irp); return Complete(irp, STATUS_SUCCESS); }},
        {"DISPATCH_STATUS_MISMATCH", [](PIRP irp) { Complete(irp, STATUS_SUCCESS); return STATUS_UNSUCCESSFUL; }},
        {"DISPATCH_RETURNED_WITHOUT_COMPLETING", [](PIRP) { return STATUS_SUCCESS; }},
    };
    for (const Case &c : cases) {
        platform::ViolationTrap trap;
        TestStack s(1);
        PIRP held = nullptr;
        s.dispatch = [&](int, PDEVICE_OBJECT, PIRP irp) {
            held = irp;
            return c.bottom(irp);
        };
        KEVENT event;
        IO_STATUS_BLOCK iosb{};
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = platform::BuildSynchronousRequest(s.top(), IRP_MJ_READ, 0, &event, &iosb);
        IoCallDriver(s.top(), irp);
        auto violations = TakeViolations();
        ASSERT_EQ(1u, violations.size()) << c.rule;
        EXPECT_EQ(c.rule, violations[0].rule);
        if (std::string(c.rule) == "DISPATCH_RETURNED_WITHOUT_COMPLETING")
            Complete(held, STATUS_SUCCESS);
    }
}

TEST_F(IoManager, PendingMarkedLaterByACompletionRoutineIsAccepted)
{
    // The upper routine returns STATUS_PENDING before the request completes;
    // its completion routine propagates the pending mark when it does.
    TestStack s(2);
    CompletionLog log;
    PIRP pended = nullptr;
    s.dispatch = [&](int level, PDEVICE_OBJECT, PIRP irp) {
        if (level == 0) {
            IoMarkIrpPending(irp);
            pended = irp;
            return STATUS_PENDING;
        }
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, LoggingCompletion, &log, TRUE, TRUE, TRUE);
        return IoCallDriver(s.devices[0], irp);
    };
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = platform::BuildSynchronousRequest(s.top(), IRP_MJ_READ, 0, &event, &iosb);
    EXPECT_EQ(STATUS_PENDING, IoCallDriver(s.top(), irp));
    Complete(pended, STATUS_SUCCESS);
    EXPECT_EQ(1, KeReadStateEvent(&event));
}

namespace {

NTSTATUS NTAPI MarkingOwnerCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);  // the fault: the owner's request has no location of its own
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

TEST_F(IoManager, VerifierCatchesMarkingPendingPastTheTopOfAnOwnedRequest)
{
    platform::ViolationTrap trap;
    TestStack s(1);
    PIRP pended = nullptr;
    s.dispatch = [&](int, PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        pended = irp;
        return STATUS_PENDING;
    };
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoAllocateIrp(s.top()->StackSize, FALSE);
    IoSetCompletionRoutine(irp, MarkingOwnerCompletion, &done, TRUE, TRUE, TRUE);
    EXPECT_EQ(STATUS_PENDING, IoCallDriver(s.top(), irp));
    Complete(pended, STATUS_SUCCESS);
    IoFreeIrp(irp);  // the guard is checked when the request is freed or sent again
    auto violations = TakeViolations();
    ASSERT_EQ(1u, violations.size());
    EXPECT_EQ("IRP_STACK_OVERRUN", violations[0].rule);
}

TEST_F(IoManager, ARequestSentAgainAfterComingBackIsCheckedAfresh)
{
    // A driver gets the request back with STATUS_MORE_PROCESSING_REQUIRED
    // and sends it down again; the second trip pends.
    TestStack s(2);
    KEVENT back;
    KeInitializeEvent(&back, NotificationEvent, FALSE);
    PIRP pended = nullptr;
    int trips = 0;
    s.dispatch = [&](int level, PDEVICE_OBJECT, PIRP irp) {
        if (level == 0) {
            if (++trips == 1)
                return Complete(irp, STATUS_SUCCESS);
            IoMarkIrpPending(irp);
            pended = irp;
            return STATUS_PENDING;
        }
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, StopCompletion, &back, TRUE, TRUE, TRUE);
        EXPECT_EQ(STATUS_SUCCESS, IoCallDriver(s.devices[0], irp));
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoMarkIrpPending(irp);
        IoCallDriver(s.devices[0], irp);  // completes later through no routine of ours
        return STATUS_PENDING;
    };
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = platform::BuildSynchronousRequest(s.top(), IRP_MJ_READ, 0, &event, &iosb);
    EXPECT_EQ(STATUS_PENDING, IoCallDriver(s.top(), irp));
    Complete(pended, STATUS_SUCCESS, 3);
    EXPECT_EQ(3u, iosb.Information);
}

// What the I/O manager tells the caller of a request it finishes: a failure
// without pending reaches it through IoCallDriver's return only.
TEST_F(IoManager, AFailureWithoutPendingLeavesTheCallersStatusBlockAndEventAlone)
{
    struct Case {
        NTSTATUS status;
        bool pend;
        bool told;
    } cases[] = {
        {STATUS_DEVICE_DATA_ERROR, false, false},
        {STATUS_DEVICE_DATA_ERROR, true, true},
        {STATUS_SUCCESS, false, true},
        {STATUS_BUFFER_OVERFLOW, false, true},  // a warning is not an error
    };
    for (const Case &c : cases) {
        TestStack s(1);
        PIRP pended = nullptr;
        s.dispatch = [&](int, PDEVICE_OBJECT, PIRP irp) {
            if (!c.pend)
                return Complete(irp, c.status, 3);
            IoMarkIrpPending(irp);
            pended = irp;
            return STATUS_PENDING;
        };
        KEVENT event;
        IO_STATUS_BLOCK iosb{};
        iosb.Status = STATUS_ALERTED;  // what the caller left there
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = platform::BuildSynchronousRequest(s.top(), IRP_MJ_READ, 0, &event, &iosb);
        NTSTATUS status = IoCallDriver(s.top(), irp);
        if (pended)
            Complete(pended, c.status, 3);
        EXPECT_EQ(c.pend ? STATUS_PENDING : c.status, status);
        EXPECT_EQ(c.told ? 1 : 0, KeReadStateEvent(&event)) << std::hex << c.status;
        EXPECT_EQ(c.told ? c.status : STATUS_ALERTED, iosb.Status) << std::hex << c.status;
        EXPECT_EQ(c.told ? 3u : 0u, iosb.Information);
        EXPECT_EQ(0u, platform::IrpsOutstanding()) << "freed either way";
    }
}

TEST_F(IoManager, ASenderThatKeptItsRequestHandsItBackToTheIoManager)
{
    // A request the I/O manager finishes comes back to its sender's
    // completion routine, which keeps it; the sender completes it again and
    // the I/O manager finishes it.
    TestStack s(1);
    s.dispatch = [&](int, PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS, 9); };
    KEVENT event, kept;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KeInitializeEvent(&kept, NotificationEvent, FALSE);
    PIRP irp = platform::BuildSynchronousRequest(s.top(), IRP_MJ_READ, 0, &event, &iosb);
    IoSetCompletionRoutine(irp, StopCompletion, &kept, TRUE, TRUE, TRUE);
    EXPECT_EQ(STATUS_SUCCESS, IoCallDriver(s.top(), irp));
    EXPECT_EQ(1, KeReadStateEvent(&kept));
    EXPECT_EQ(0, KeReadStateEvent(&event));
    EXPECT_EQ(1u, platform::IrpsOutstanding());
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(1, KeReadStateEvent(&event));
    EXPECT_EQ(9u, iosb.Information);
    EXPECT_EQ(0u, platform::IrpsOutstanding());
}

TEST_F(IoManager, PassiveLevelRoutinesAboveItAreViolations)
{
    PDRIVER_OBJECT driver = platform::CreateDriverObject(u"\\Driver\\irql");
    PDEVICE_OBJECT low = nullptr, high = nullptr;
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &low);
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &high);
    platform::ViolationTrap trap;
    platform::AtDispatchLevel([&] {
        IoAttachDeviceToDeviceStack(high, low);
        IoDetachDevice(low);
        IoDeleteDevice(high);
    });
    auto violations = TakeViolations();
    ASSERT_EQ(3u, violations.size());
    const char *routines[] = {"IoAttachDeviceToDeviceStack", "IoDetachDevice", "IoDeleteDevice"};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ("IRQL_NOT_LESS_OR_EQUAL", violations[i].rule);
        EXPECT_NE(std::string::npos, violations[i].detail.find(routines[i])) << violations[i].detail;
    }
    IoDeleteDevice(low);
    platform::DeleteDriverObject(driver);
}

namespace {

NTSTATUS SendPowerRequest(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type, PKEVENT event,
                          PIO_STATUS_BLOCK iosb)
{
    KeInitializeEvent(event, NotificationEvent, FALSE);
    PIRP irp = platform::BuildSynchronousRequest(device, IRP_MJ_POWER, minor, event, iosb);
    IoGetNextIrpStackLocation(irp)->Parameters.Power.Type = type;
    return PoCallDriver(device, irp);
}

}  // namespace

// Windows 2000's power serialisation: a device takes one query- or set-power
// request of each type at a time, until its driver calls PoStartNextPowerIrp.
TEST_F(IoManager, APowerRequestWaitsForItsDeviceToStartTheNext)
{
    TestStack s(1);
    std::mutex lock;
    std::vector<PIRP> held;
    std::vector<std::pair<UCHAR, std::thread::id>> seen;
    s.dispatch = [&](int, PDEVICE_OBJECT, PIRP irp) {
        std::lock_guard guard(lock);
        seen.emplace_back(IoGetCurrentIrpStackLocation(irp)->MinorFunction, std::this_thread::get_id());
        IoMarkIrpPending(irp);
        held.push_back(irp);
        return STATUS_PENDING;
    };
    auto release = [&](size_t i) {
        PIRP irp = nullptr;
        {
            std::lock_guard guard(lock);
            irp = held[i];
        }
        if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_WAIT_WAKE)
            PoStartNextPowerIrp(irp);
        Complete(irp, STATUS_SUCCESS);
    };
    KEVENT e1, e2, e3, e4;
    IO_STATUS_BLOCK b1{}, b2{}, b3{}, b4{};
    EXPECT_EQ(STATUS_PENDING, SendPowerRequest(s.top(), IRP_MN_SET_POWER, SystemPowerState, &e1, &b1));
    EXPECT_EQ(STATUS_PENDING, SendPowerRequest(s.top(), IRP_MN_QUERY_POWER, SystemPowerState, &e2, &b2));
    EXPECT_EQ(STATUS_PENDING, SendPowerRequest(s.top(), IRP_MN_SET_POWER, DevicePowerState, &e3, &b3));
    EXPECT_EQ(STATUS_PENDING, SendPowerRequest(s.top(), IRP_MN_WAIT_WAKE, SystemPowerState, &e4, &b4));
    {
        std::lock_guard guard(lock);
        ASSERT_EQ(3u, seen.size()) << "the second system request waits; the device one and the wait-wake do not";
        EXPECT_EQ(IRP_MN_SET_POWER, seen[0].first);
        EXPECT_EQ(IRP_MN_SET_POWER, seen[1].first);
        EXPECT_EQ(IRP_MN_WAIT_WAKE, seen[2].first);
    }
    release(0);
    for (int i = 0; i < 2500; ++i) {
        {
            std::lock_guard guard(lock);
            if (held.size() == 4)
                break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    {
        std::lock_guard guard(lock);
        ASSERT_EQ(4u, seen.size());
        EXPECT_EQ(IRP_MN_QUERY_POWER, seen[3].first);
        EXPECT_NE(std::this_thread::get_id(), seen[3].second) << "dispatched by the power manager once let in";
    }
    for (size_t i = 1; i < 4; ++i)
        release(i);
    for (PKEVENT e : {&e1, &e2, &e3, &e4})
        EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(e, Executive, KernelMode, FALSE, nullptr));
    EXPECT_EQ(STATUS_SUCCESS, b2.Status);
}
