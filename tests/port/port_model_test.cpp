// port_model_test.cpp - the port model against norva's exports played by the
// test: opening and closing, the receive ring and its hold, the transmit ring
// and its kicks, the callbacks' contract, and removal.
#include "fake_norva.hpp"

#include <future>
#include <thread>

using namespace port_test;
using namespace std::chrono_literals;

namespace {

std::vector<std::string> Without(std::vector<std::string> calls, const std::string &name)
{
    std::erase(calls, name);
    return calls;
}

world::PortModel::Options SmallRing()
{
    world::PortModel::Options o;
    o.rxRingSize = 4096;
    o.rxHighWater = 2048;
    o.rxLowWater = 1024;
    return o;
}

// Waits until n callers wait on the port's modem status (or 5 s pass), so a
// test changes it only once they wait.
int AwaitModemWaiters(world::PortModel &port, int n)
{
    for (auto until = std::chrono::steady_clock::now() + 5s;
         port.ModemStatusWaiters() < n && std::chrono::steady_clock::now() < until;)
        std::this_thread::yield();
    return port.ModemStatusWaiters();
}

}  // namespace

// ---------------------------------------------------------------------------

using PortOpen = PortTest;

TEST_F(PortOpen, FindsPortsWithGetNextPdoAndRegistersItsRemoveRoutine)
{
    auto &otherFilter = devices_.CreatePdo(u"USB\\VID_0000&PID_0001\\2");
    norva_.ports = {{otherFilter.device(), nullptr}, Handle()};
    auto ports = world::FindPorts(norva_.Exports());
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0].filter, otherFilter.device());
    EXPECT_EQ(ports[0].childPdo, nullptr);
    EXPECT_EQ(ports[1].childPdo, child_.device());

    {
        world::PortModel port(norva_.Exports(), ports[1]);
        EXPECT_TRUE(port.removeRoutineRegistered());
        EXPECT_EQ(norva_.removeRegisteredOn, child_.device());
        EXPECT_EQ(norva_.removeContext, &port);
        EXPECT_EQ(port.variant(), 1u);
    }
    EXPECT_EQ(norva_.Calls(), (std::vector<std::string>{"SetRemoveCallback", "SetRemoveCallback(null)"}))
        << "the routine was not withdrawn when the port went away";

    world::PortModel childless(norva_.Exports(), ports[0]);
    EXPECT_FALSE(childless.removeRoutineRegistered());
}

TEST_F(PortOpen, StartsReceptionThenTransmissionAndStopsInReverse)
{
    auto port = NewPort();
    ASSERT_TRUE(port->Open().ok());
    EXPECT_EQ(norva_.rxContext, port.get());
    EXPECT_EQ(norva_.txParams.context, port.get());
    EXPECT_NE(norva_.txParams.pfnTxCallback, nullptr);
    EXPECT_EQ(port->Open().status, STATUS_INVALID_DEVICE_STATE);
    ASSERT_TRUE(port->Close().ok());
    EXPECT_TRUE(port->Close().ok());
    EXPECT_EQ(Without(norva_.Calls(), "RxThreadStart returns"),
              (std::vector<std::string>{"SetRemoveCallback", "RxThreadStart", "TxThreadStart", "TxThreadStop",
                                        "RxThreadStop"}));
}

TEST_F(PortOpen, AFailedStartIsUndoneWithItsStop)
{
    auto port = NewPort();
    norva_.rxStartResult = 0;
    world::PortResult r = port->Open();
    EXPECT_EQ(r.status, STATUS_UNSUCCESSFUL);
    EXPECT_NE(r.message.find("RxThreadStart"), std::string::npos) << r.message;
    EXPECT_FALSE(port->isOpen());

    norva_.rxStartResult = 1;
    norva_.txStartResult = 0;
    r = port->Open();
    EXPECT_NE(r.message.find("TxThreadStart"), std::string::npos) << r.message;
    EXPECT_EQ(Without(norva_.Calls(), "RxThreadStart returns"),
              (std::vector<std::string>{"SetRemoveCallback", "RxThreadStart", "RxThreadStop", "RxThreadStart",
                                        "TxThreadStart", "TxThreadStop", "RxThreadStop"}));
    EXPECT_EQ(port->Write(Pattern(3)).status, STATUS_INVALID_DEVICE_STATE);
}

// ---------------------------------------------------------------------------

using Receive = PortTest;

TEST_F(Receive, BytesReachReadInOrderAcrossTheRingsWrap)
{
    auto port = NewPort(SmallRing());
    ASSERT_TRUE(port->Open().ok());
    auto all = Pattern(10 * 1000);
    std::vector<uint8_t> got;
    for (size_t at = 0; at < all.size(); at += 1000) {
        norva_.Deliver({all.begin() + at, all.begin() + at + 1000});
        norva_.Status(0);
        std::vector<uint8_t> buffer(700);  // reads lag behind, so the ring wraps
        world::PortResult r = port->Read(buffer, 0ms);
        got.insert(got.end(), buffer.begin(), buffer.begin() + r.bytes);
    }
    auto rest = port->ReadExactly(all.size() - got.size(), 1s);
    got.insert(got.end(), rest.begin(), rest.end());
    EXPECT_EQ(got, all);
    world::PortCounters c = port->Counters();
    EXPECT_EQ(c.dataCalls, 10u);
    EXPECT_EQ(c.statusCalls, 10u);
    EXPECT_EQ(c.bytesIn, all.size());
    EXPECT_EQ(c.bytesRead, all.size());
    EXPECT_EQ(c.overrunBytes, 0u);
}

TEST_F(Receive, HoldsAboveHighWaterUntilDrainedToLowWater)
{
    auto port = NewPort(SmallRing());
    ASSERT_TRUE(port->Open().ok());
    norva_.Deliver(Pattern(1024));
    norva_.Deliver(Pattern(1024));
    EXPECT_EQ(norva_.Status(0), 0u) << "held at the high-water mark itself";
    norva_.Deliver(Pattern(1));
    EXPECT_EQ(norva_.Deliver(Pattern(1)), 0u) << "a data call answered hold";
    EXPECT_EQ(norva_.Status(0), 1u) << "not held above the high-water mark";
    EXPECT_TRUE(port->ReceptionHeld());

    std::vector<uint8_t> buffer(1000);
    ASSERT_EQ(port->Read(buffer, 0ms).bytes, 1000u);  // 1050 left: still above low water
    EXPECT_EQ(norva_.Status(0), 1u);
    EXPECT_EQ(norva_.Status(0), 1u);
    buffer.resize(26);
    ASSERT_EQ(port->Read(buffer, 0ms).bytes, 26u);  // 1024 left: low water
    EXPECT_EQ(norva_.Status(0), 0u);
    EXPECT_FALSE(port->ReceptionHeld());

    world::PortCounters c = port->Counters();
    EXPECT_EQ(c.holds, 3u);
    EXPECT_EQ(c.holdPeriods, 1u);
}

TEST_F(Receive, AFullRingCountsTheOverrunAndKeepsWhatItHad)
{
    auto port = NewPort(SmallRing());
    ASSERT_TRUE(port->Open().ok());
    auto all = Pattern(5 * 1000, 3);
    for (size_t at = 0; at < all.size(); at += 1000)
        norva_.Deliver({all.begin() + at, all.begin() + at + 1000});  // no status calls: no chance to hold
    EXPECT_EQ(port->Counters().overrunBytes, 5000u - 4096u);
    EXPECT_EQ(port->ReadExactly(5000, 50ms), std::vector<uint8_t>(all.begin(), all.begin() + 4096));
}

TEST_F(Receive, KeepsTheModemStatusOfEveryCallAndWakesItsWaiters)
{
    auto port = NewPort();
    ASSERT_TRUE(port->Open().ok());
    norva_.Deliver(Pattern(2), 0x30);
    EXPECT_EQ(port->ModemStatus(), 0x30);
    norva_.Status(0xB0);
    EXPECT_EQ(port->ModemStatus(), 0xB0);

    auto waiter = std::async(std::launch::async, [&] { return port->WaitModemStatus(0x10, 0x00, 5s); });
    auto changed = std::async(std::launch::async, [&] { return port->WaitModemStatusChange(5s); });
    ASSERT_EQ(AwaitModemWaiters(*port, 2), 2);
    norva_.Status(0xA0);  // CTS drops
    EXPECT_EQ(waiter.get(), std::optional<UCHAR>(0xA0));
    EXPECT_EQ(changed.get(), std::optional<UCHAR>(0xA0));
    EXPECT_EQ(port->WaitModemStatusChange(10ms), std::nullopt);
    EXPECT_EQ(port->Counters().modemStatusChanges, 3u);
    EXPECT_EQ(port->ModemStatusWaiters(), 0);
}

TEST_F(Receive, ReadWaitsForBytesFromAnotherThreadAndTimesOut)
{
    auto port = NewPort();
    ASSERT_TRUE(port->Open().ok());
    std::vector<uint8_t> buffer(64);
    world::PortResult r = port->Read(buffer, 20ms);
    EXPECT_EQ(r.status, STATUS_TIMEOUT);
    EXPECT_EQ(r.bytes, 0u);

    auto reader = std::async(std::launch::async, [&] { return port->ReadExactly(5, 5s); });
    std::thread completion([&] {
        std::this_thread::sleep_for(10ms);
        norva_.Deliver({1, 2, 3});
        norva_.Deliver({4, 5});
    });
    EXPECT_EQ(reader.get(), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
    completion.join();
}

// ---------------------------------------------------------------------------

using Transmit = PortTest;

TEST_F(Transmit, WriteKicksAndTheCallbackNeverHandsOutMoreThanOffered)
{
    auto port = NewPort();
    ASSERT_TRUE(port->Open().ok());
    auto data = Pattern(300, 9);
    world::PortResult r = port->Write(data);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.bytes, 300u);
    EXPECT_EQ(norva_.Count("KickTx"), 1u);

    auto first = norva_.Pull(100);
    auto second = norva_.Pull(4096);
    EXPECT_TRUE(norva_.Pull(4096).empty());
    first.insert(first.end(), second.begin(), second.end());
    EXPECT_EQ(first, data);
    EXPECT_TRUE(port->Drain(0ms).ok());

    world::PortCounters c = port->Counters();
    EXPECT_EQ(c.txCallbacks, 3u);
    EXPECT_EQ(c.transfers, 2u);
    EXPECT_EQ(c.bytesOut, 300u);
    EXPECT_EQ(c.largestTransfer, 200u);
    EXPECT_EQ(c.kicks, 1u);
}

TEST_F(Transmit, WriteTakesWhatTheRingHoldsAndWriteAllWaitsForRoom)
{
    world::PortModel::Options o;
    o.txRingSize = 1024;
    auto port = NewPort(o);
    ASSERT_TRUE(port->Open().ok());
    auto data = Pattern(3000, 1);
    EXPECT_EQ(port->Write(data).bytes, 1024u);
    auto pulled = norva_.Pull(4096);  // wraps the ring on the next write

    // The engine fetches whenever it is kicked, as norva's chain would.
    norva_.insideKick = [&] {
        auto more = norva_.Pull(4096);
        pulled.insert(pulled.end(), more.begin(), more.end());
    };
    auto writer = std::async(std::launch::async, [&] {
        return port->WriteAll(std::span(data).subspan(1024), 5s);
    });
    world::PortResult r = writer.get();
    EXPECT_TRUE(r.ok()) << Describe(r);
    EXPECT_EQ(r.bytes, 3000u - 1024u);
    ASSERT_TRUE(port->Drain(1s).ok());
    norva_.insideKick = nullptr;
    EXPECT_EQ(pulled, data);
}

TEST_F(Transmit, BytesLeftUnfetchedAreKickedAgain)
{
    world::PortModel::Options o;
    o.kickRetry = 5ms;
    auto port = NewPort(o);
    ASSERT_TRUE(port->Open().ok());
    ASSERT_EQ(port->Write(Pattern(10)).bytes, 10u);  // the fake's kick fetches nothing
    for (int i = 0; i < 400 && norva_.Count("KickTx") < 2; ++i)
        std::this_thread::sleep_for(5ms);
    EXPECT_GE(norva_.Count("KickTx"), 2u);
    EXPECT_GE(port->Counters().retryKicks, 1u);
    EXPECT_EQ(norva_.Pull(4096), Pattern(10));
    ASSERT_TRUE(port->Close().ok());
}

TEST_F(Transmit, APurgeDropsWhatWaitsInBothRingsAndWakesAWriterAndADrain)
{
    world::PortModel::Options o;
    o.txRingSize = 1024;
    auto port = NewPort(o);
    ASSERT_TRUE(port->Open().ok());
    norva_.Deliver(Pattern(100, 3));
    EXPECT_EQ(port->PurgeReceived(), 100u);
    std::vector<uint8_t> buffer(16);
    EXPECT_EQ(port->Read(buffer, 0ms).bytes, 0u);

    auto data = Pattern(1500, 1);
    ASSERT_EQ(port->Write(data).bytes, 1024u);  // never fetched: the ring is full
    auto drained = std::async(std::launch::async, [&] { return port->Drain(5s); });
    auto writer = std::async(std::launch::async, [&] {
        return port->WriteAll(std::span(data).subspan(1024), 5s);
    });
    // Whether the writer waits for room yet or not, what it writes is all
    // the ring holds after the purge.
    EXPECT_EQ(port->PurgeUnsent(), 1024u);
    world::PortResult w = writer.get();
    EXPECT_TRUE(w.ok()) << Describe(w);
    EXPECT_EQ(w.bytes, 1500u - 1024u);
    EXPECT_EQ(norva_.Pull(4096), std::vector<uint8_t>(data.begin() + 1024, data.end()));
    EXPECT_TRUE(drained.get().ok());
    world::PortCounters c = port->Counters();
    EXPECT_EQ(c.purgedIn, 100u);
    EXPECT_EQ(c.purgedOut, 1024u);
    ASSERT_TRUE(port->Close().ok());
}

// ---------------------------------------------------------------------------

using PortCallbacks = PortTest;

TEST_F(PortCallbacks, CallsOutsideTheContractAreFindings)
{
    auto port = NewPort();
    ASSERT_TRUE(port->Open().ok());
    platform::ViolationTrap trap;
    norva_.Deliver(Pattern(1025));  // more than norva's receive buffer
    ULONG hold = 0;
    platform::AtDispatchLevel([&] { norva_.rxCallback(norva_.rxContext, nullptr, 4, 0, &hold); });
    ASSERT_TRUE(port->Close().ok());
    norva_.Deliver({1});
    norva_.Pull(4096);

    std::vector<std::string> rules;
    for (const auto &finding : TakeViolations())
        rules.push_back(finding.rule);
    EXPECT_EQ(rules, (std::vector<std::string>{"PORT_RX_CALLBACK_ARGUMENTS", "PORT_RX_CALLBACK_ARGUMENTS",
                                               "PORT_CALLBACK_AFTER_STOP", "PORT_CALLBACK_AFTER_STOP"}));
    EXPECT_EQ(port->ReadAvailable(), 0u);
}

// ---------------------------------------------------------------------------

using PortRemoval = PortTest;

TEST_F(PortRemoval, StopsTheEnginesKeepsReceivedBytesAndFailsLaterCalls)
{
    auto port = NewPort();
    ASSERT_TRUE(port->Open().ok());
    norva_.Deliver(Pattern(10, 4));
    ASSERT_EQ(port->Write(Pattern(5)).bytes, 5u);  // never fetched
    std::thread([&] { norva_.Remove(); }).join();  // the PnP manager's thread

    EXPECT_TRUE(port->isRemoved());
    auto calls = norva_.Calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[calls.size() - 2], "TxThreadStop");
    EXPECT_EQ(calls[calls.size() - 1], "RxThreadStop");

    EXPECT_EQ(port->ReadExactly(10, 1s), Pattern(10, 4));
    std::vector<uint8_t> buffer(4);
    EXPECT_EQ(port->Read(buffer, 1s).status, STATUS_DEVICE_REMOVED);
    EXPECT_EQ(port->Write(Pattern(1)).status, STATUS_DEVICE_REMOVED);
    EXPECT_EQ(port->TransmitChar('x').status, STATUS_DEVICE_REMOVED);
    EXPECT_EQ(port->Open().status, STATUS_DEVICE_REMOVED);
    EXPECT_EQ(port->Close().status, STATUS_DEVICE_REMOVED);
    EXPECT_EQ(port->Drain(1s).status, STATUS_DEVICE_REMOVED);
    world::PortResult r = port->SetLineSettings(9600, 8, world::CommParity::None, world::CommStopBits::One);
    EXPECT_EQ(r.status, STATUS_DEVICE_REMOVED);
    EXPECT_NE(r.message.find("removed"), std::string::npos);
    EXPECT_EQ(port->SetRts().status, STATUS_DEVICE_REMOVED);
    EXPECT_TRUE(Controls().empty());
    EXPECT_EQ(port->Counters().discardedBytes, 5u);

    size_t callsBefore = norva_.Calls().size();
    port.reset();
    EXPECT_EQ(norva_.Calls().size(), callsBefore) << "the port used norva after the converter was removed";
}

TEST_F(PortRemoval, WakesWaitersWithTheRemoval)
{
    auto port = NewPort();
    ASSERT_TRUE(port->Open().ok());
    norva_.Status(0x30);
    auto reader = std::async(std::launch::async, [&] {
        std::vector<uint8_t> buffer(8);
        return port->Read(buffer, 10s).status;
    });
    auto watcher = std::async(std::launch::async, [&] { return port->WaitModemStatusChange(10s); });
    ASSERT_EQ(AwaitModemWaiters(*port, 1), 1);
    std::this_thread::sleep_for(10ms);  // the reader too, most likely
    norva_.Remove();
    EXPECT_EQ(reader.get(), STATUS_DEVICE_REMOVED);
    EXPECT_EQ(watcher.get(), std::nullopt);
}

TEST_F(PortRemoval, WaitsUntilAnOpenInProgressHasFinished)
{
    auto port = NewPort();
    std::promise<void> entered;
    std::promise<void> release;
    auto released = release.get_future().share();
    norva_.insideRxStart = [&] {
        entered.set_value();
        released.wait();
    };
    auto opener = std::async(std::launch::async, [&] { return port->Open(); });
    entered.get_future().wait();
    auto remover = std::async(std::launch::async, [&] { norva_.Remove(); });
    std::this_thread::sleep_for(20ms);  // let the removal reach the port while the start runs
    release.set_value();
    EXPECT_TRUE(opener.get().ok());
    remover.get();

    EXPECT_EQ(norva_.Calls(), (std::vector<std::string>{"SetRemoveCallback", "RxThreadStart", "RxThreadStart returns",
                                                        "TxThreadStart", "TxThreadStop", "RxThreadStop"}));
    EXPECT_TRUE(port->isRemoved());
}

TEST_F(PortRemoval, ASecondRemoveCallIsAFinding)
{
    auto port = NewPort();
    norva_.Remove();
    platform::ViolationTrap trap;
    norva_.Remove();
    auto findings = TakeViolations();
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_EQ(findings[0].rule, "PORT_REMOVE_CALLBACK_TWICE");
}
