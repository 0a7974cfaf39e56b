// force_pending_test.cpp - force-pending I/O: requests that a driver
// completes at once come back to their sender pending, completed later from
// another thread.  The kernel's mechanism first, then the whole stack with
// the hub, tembris, or both forced to pend every request and every second
// one: what the port, the line and the converter see is what they see when
// everything completes at once.
#include "reliability.hpp"

#include <scripted_device.hpp>

#include <thread>

namespace reliability {
namespace {

using testing_support::Answer;
using testing_support::ScriptedDevice;
using testing_support::ScriptedDriver;
using world::CommParity;
using world::CommStopBits;

// ---------------------------------------------------------------------------
// The mechanism

struct SeenCompletion {
    KEVENT done;
    BOOLEAN pendingReturned = FALSE;
    KIRQL irql = PASSIVE_LEVEL;
    std::thread::id thread;
    NTSTATUS status = 0;
};

NTSTATUS NTAPI NoteCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto *seen = static_cast<SeenCompletion *>(context);
    seen->pendingReturned = irp->PendingReturned;
    seen->irql = KeGetCurrentIrql();
    seen->thread = std::this_thread::get_id();
    seen->status = irp->IoStatus.Status;
    KeSetEvent(&seen->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

class ForcePending : public testing_support::KernelTest {
protected:
    // Sends a request the device completes at once; returns what
    // IoCallDriver said and what the completion routine saw.
    NTSTATUS Send(SeenCompletion *seen)
    {
        KeInitializeEvent(&seen->done, NotificationEvent, FALSE);
        PIRP irp = IoAllocateIrp(pdo_.device()->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        IoSetCompletionRoutine(irp, NoteCompletion, seen, TRUE, TRUE, TRUE);
        NTSTATUS status = IoCallDriver(pdo_.device(), irp);
        KeWaitForSingleObject(&seen->done, Executive, KernelMode, FALSE, nullptr);
        IoFreeIrp(irp);
        return status;
    }

    ScriptedDriver bus_{u"\\Driver\\TestBus"};
    ScriptedDevice &pdo_ = bus_.CreatePdo(u"TEST\\FORCE\\0000");
};

TEST_F(ForcePending, ACompletionInsideTheCallComesLaterFromAnotherThread)
{
    pdo_.SetDefault(Answer::Complete(STATUS_DEVICE_DATA_ERROR));
    SeenCompletion immediate;
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, Send(&immediate));
    EXPECT_FALSE(immediate.pendingReturned);
    EXPECT_EQ(std::this_thread::get_id(), immediate.thread);

    platform::ForcePending(bus_.driver(), 1);
    SeenCompletion forced;
    EXPECT_EQ(STATUS_PENDING, Send(&forced));
    EXPECT_TRUE(forced.pendingReturned);
    EXPECT_EQ(DISPATCH_LEVEL, forced.irql);
    EXPECT_NE(std::this_thread::get_id(), forced.thread);
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, forced.status);
    platform::ForcePending(bus_.driver(), 0);
}

TEST_F(ForcePending, EverySecondCallIsForcedInTheHalfPass)
{
    pdo_.SetDefault(Answer::Complete());
    platform::ForcePending(bus_.driver(), 2);
    std::vector<NTSTATUS> returned;
    for (int i = 0; i < 4; ++i) {
        SeenCompletion seen;
        returned.push_back(Send(&seen));
    }
    EXPECT_EQ((std::vector<NTSTATUS>{STATUS_PENDING, STATUS_SUCCESS, STATUS_PENDING, STATUS_SUCCESS}), returned);
    platform::ForcePending(bus_.driver(), 0);
}

TEST_F(ForcePending, ARequestThatPendsByItselfIsLeftAlone)
{
    pdo_.SetDefault(Answer::Async(STATUS_SUCCESS, 3));
    platform::ForcePending(bus_.driver(), 1);
    SeenCompletion seen;
    EXPECT_EQ(STATUS_PENDING, Send(&seen));
    EXPECT_TRUE(seen.pendingReturned);
    EXPECT_EQ(STATUS_SUCCESS, seen.status);
    platform::ForcePending(bus_.driver(), 0);
}

// ---------------------------------------------------------------------------
// The whole stack

// Everything a pass observes, compared between passes.
struct Observed {
    std::vector<std::string> steps;  // "<step>: <status>"
    std::vector<uint8_t> line;       // what reached the converter's serial side
    std::vector<uint8_t> read;       // what the port handed its reader
    std::vector<std::vector<uint8_t>> commands;  // vendor requests, in order
    std::string settings;
    bool rts = false, dtr = false;
    unsigned modemStatus = 0;
    bool unloaded = false;
    uint64_t forcedCompletions = 0;  // not compared: how much the pass forced
    bool operator==(const Observed &other) const
    {
        return steps == other.steps && line == other.line && read == other.read && commands == other.commands &&
               settings == other.settings && rts == other.rts && dtr == other.dtr &&
               modemStatus == other.modemStatus && unloaded == other.unloaded;
    }
};

std::ostream &operator<<(std::ostream &os, const Observed &o)
{
    for (const auto &s : o.steps)
        os << s << "; ";
    return os << "line " << o.line.size() << " bytes, read " << o.read.size() << " bytes, " << o.commands.size()
              << " commands, " << o.settings << (o.rts ? " RTS" : "") << (o.dtr ? " DTR" : "") << " msr 0x"
              << std::hex << o.modemStatus << std::dec << (o.unloaded ? ", unloaded" : ", NOT unloaded");
}

enum class Forced { Nothing, Hub, Tembris, Both };

Observed Pass(Forced forced, unsigned every)
{
    Observed o;
    Watchdog dog(60s, "force-pending pass");
    uint64_t forcedBefore = platform::ForcedCompletions();
    Bench b;
    if (forced == Forced::Hub || forced == Forced::Both)
        platform::ForcePending(b.world->hub().driver(), every);
    if (forced == Forced::Tembris || forced == Forced::Both)
        platform::ForcePending(b.world->tembris().driver(), every);
    auto step = [&o](const char *name, const world::PortResult &r) {
        o.steps.push_back(std::string(name) + ": " + (r.ok() ? "ok" : Describe(r)));
    };
    o.steps.push_back(std::string("plug: ") + (b.Plug(3, true) ? "ok" : "failed"));
    if (!b.converter->child)
        return o;
    b.Attach();
    step("open", b.port->Open());
    step("settings", b.port->SetLineSettings(19200, 7, CommParity::Even, CommStopBits::Two));
    step("refused settings", b.port->SetLineSettings(9600, 8, CommParity::Space, CommStopBits::One));
    step("rts", b.port->SetRts());
    step("dtr", b.port->SetDtr());
    step("clear rts", b.port->ClearRts());

    std::vector<uint8_t> out = Pattern(9000, 1);
    step("write", b.port->WriteAll(out, 10s));
    b.peer->WaitForBytes(out.size(), 10s);
    step("transmit char", b.port->TransmitChar('#'));
    b.peer->WaitForBytes(out.size() + 1, 5s);
    // Idle reads wait for data: the line status is polled after each.
    b.peer->SetLines({true, true, false, true});
    std::vector<uint8_t> in = Pattern(5000, 2);
    b.peer->Send(in);
    o.read = b.port->ReadExactly(in.size(), 10s);
    o.modemStatus = b.port->WaitModemStatus(0xF0, 0x70, 5s).value_or(0xFF);
    // The transmit pipe is idle now (the receive pipe never is: a host
    // controller would refuse its reset).
    step("reset tx pipe", b.port->ResetTxPipe());
    o.steps.push_back("sleep: " + std::to_string(b.world->pnp().SetSystemPower(PowerSystemSleeping3)));
    o.steps.push_back("wake: " + std::to_string(b.world->pnp().SetSystemPower(PowerSystemWorking)));
    step("close", b.port->Close());
    step("reopen", b.port->Open());
    b.peer->Send(std::string_view("after"));
    std::vector<uint8_t> after = b.port->ReadExactly(5, 5s);
    o.read.insert(o.read.end(), after.begin(), after.end());

    o.line = b.peer->received();
    for (const auto &r : b.converter->device->vendorRequests())
        o.commands.push_back(r.data);
    world::ConverterLineState line = b.converter->device->lineState();
    o.settings = ToString(line.settings);
    o.rts = line.rts;
    o.dtr = line.dtr;
    b.world->Unplug(b.converter, world::UnplugKind::Surprise);
    b.port.reset();
    o.unloaded = b.world->UnloadDrivers();
    platform::ForcePending(b.world->hub().driver(), 0);
    platform::ForcePending(b.world->tembris().driver(), 0);
    EXPECT_EQ("", b.Teardown());
    o.forcedCompletions = platform::ForcedCompletions() - forcedBefore;
    return o;
}

class ForcePendingStack : public testing_support::KernelTest {
protected:
    static const Observed &Immediate()
    {
        static Observed immediate = Pass(Forced::Nothing, 1);
        return immediate;
    }
};

TEST_F(ForcePendingStack, TheImmediatePassDoesWhatItShould)
{
    const Observed &o = Immediate();
    for (const auto &s : o.steps)
        EXPECT_TRUE(s.ends_with(": ok") || s.ends_with(": 0") || s.starts_with("refused settings")) << s;
    std::vector<uint8_t> line = Pattern(9000, 1);
    line.push_back('#');
    EXPECT_EQ(line, o.line);
    std::vector<uint8_t> read = Pattern(5000, 2);
    read.insert(read.end(), {'a', 'f', 't', 'e', 'r'});
    EXPECT_EQ(read, o.read);
    EXPECT_EQ("19200 7E2", o.settings);
    EXPECT_FALSE(o.rts);
    EXPECT_TRUE(o.dtr);
    EXPECT_EQ(0x70u, o.modemStatus);
    EXPECT_TRUE(o.unloaded);
}

// Each pass must really have held completions back (the hub answers its
// PnP, power and port requests at once; tembris its creates, closes, device
// controls and PnP requests after waiting below).
void ExpectSameAsImmediate(const Observed &immediate, Forced forced, unsigned every, uint64_t atLeast)
{
    Observed o = Pass(forced, every);
    EXPECT_EQ(immediate, o);
    EXPECT_GE(o.forcedCompletions, atLeast);
}

TEST_F(ForcePendingStack, HubPendingEveryRequest) { ExpectSameAsImmediate(Immediate(), Forced::Hub, 1, 10); }
TEST_F(ForcePendingStack, HubPendingHalfTheRequests) { ExpectSameAsImmediate(Immediate(), Forced::Hub, 2, 5); }
TEST_F(ForcePendingStack, TembrisPendingEveryRequestOfNorva)
{
    ExpectSameAsImmediate(Immediate(), Forced::Tembris, 1, 20);
}
TEST_F(ForcePendingStack, TembrisPendingHalfTheRequestsOfNorva)
{
    ExpectSameAsImmediate(Immediate(), Forced::Tembris, 2, 10);
}
TEST_F(ForcePendingStack, BothPendingEveryRequest) { ExpectSameAsImmediate(Immediate(), Forced::Both, 1, 30); }

}  // namespace
}  // namespace reliability
