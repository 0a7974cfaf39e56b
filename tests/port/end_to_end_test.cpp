// end_to_end_test.cpp - the port model on the real stack: norva over tembris
// over the hub, a converter with a loopback plug on its serial side.
#include <fixture.hpp>

#include "port/port_model.hpp"
#include "world/world.hpp"

#include <thread>

using namespace std::chrono_literals;
using world::CommParity;
using world::CommStopBits;

namespace {

std::vector<uint8_t> Pattern(size_t n)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = uint8_t(i * 13 + i / 256);
    return v;
}

class PortEndToEnd : public testing_support::KernelTest {
protected:
    void SetUp() override
    {
        world_ = std::make_unique<world::World>();
    }

    std::unique_ptr<world::PortModel> Attach(int variant, world::PortModel::Options options = {},
                                             world::ConverterOptions converter = {})
    {
        converter_ = world_->Plug(variant, std::make_shared<world::LoopbackPlug>(), converter);
        EXPECT_EQ(converter_->status, STATUS_SUCCESS);
        exports_ = world::NorvaExports::Bind(world_->norva());
        EXPECT_TRUE(exports_.Missing().empty()) << "norva lacks " << exports_.Missing().front();
        world::PortHandle handle{converter_->filter, converter_->child};
        if (exports_.GetNextPDO) {
            auto ports = world::FindPorts(exports_);
            EXPECT_EQ(ports.size(), 1u);
            if (!ports.empty()) {
                EXPECT_EQ(ports[0].filter, converter_->filter);
                EXPECT_NE(ports[0].childPdo, nullptr);
                handle = ports[0];
            }
        }
        return std::make_unique<world::PortModel>(exports_, handle, options);
    }

    // Unplugs with the port open: it must learn of it through its remove
    // routine, keep what it had received, and refuse what comes after.
    void UnplugWhileOpen(bool surprise)
    {
        auto port = Attach(1);
        ASSERT_NE(nullptr, exports_.SetRemoveCallback);
        ASSERT_TRUE(port->Open().ok());
        auto data = Pattern(300);
        ASSERT_TRUE(port->WriteAll(data, 5s).ok());
        for (int i = 0; i < 500 && port->ReadAvailable() < data.size(); ++i)
            std::this_thread::sleep_for(2ms);
        ASSERT_EQ(port->ReadAvailable(), data.size());

        world_->Unplug(converter_, surprise ? world::UnplugKind::Surprise : world::UnplugKind::Win98);
        EXPECT_TRUE(port->isRemoved());
        EXPECT_EQ(port->ReadExactly(data.size(), 1s), data);
        std::vector<uint8_t> buffer(16);
        EXPECT_EQ(port->Read(buffer, 1s).status, STATUS_DEVICE_REMOVED);
        EXPECT_EQ(port->Write(data).status, STATUS_DEVICE_REMOVED);
        EXPECT_EQ(port->SetRts().status, STATUS_DEVICE_REMOVED);
        port.reset();
        EXPECT_TRUE(world_->UnloadDrivers());
    }

    std::unique_ptr<world::World> world_;
    world::World::Converter *converter_ = nullptr;
    world::NorvaExports exports_;
};

}  // namespace

TEST_F(PortEndToEnd, EveryByteWrittenComesBackInOrder)
{
    auto port = Attach(1);
    ASSERT_TRUE(port->Open().ok());
    auto data = Pattern(20000);
    world::PortResult w = port->WriteAll(data, 10s);
    ASSERT_TRUE(w.ok()) << Describe(w);
    EXPECT_EQ(port->ReadExactly(data.size(), 10s), data);

    world::PortCounters c = port->Counters();
    EXPECT_EQ(c.bytesOut, data.size());
    EXPECT_LE(c.largestTransfer, 4096u);
    EXPECT_GE(c.transfers, 5u);
    EXPECT_EQ(c.overrunBytes, 0u);
    EXPECT_GT(c.statusCalls, 0u) << "norva never polled the line status";
    EXPECT_TRUE(port->Close().ok());
}

// Nobody reads: the port holds reception, the converter's buffer fills, the
// loopback plug holds the converter's transmitter, norva's write waits, the
// port's transmit ring fills, and the writer waits too.  Nothing is lost,
// and once someone reads everything comes back in order.  Variant 0, which
// has no line-status reads to hold on, holds on the data call.
TEST_F(PortEndToEnd, ReceptionIsHeldWhileNobodyReadsAndTheWriterWaitsLosingNothing)
{
    for (int variant = 0; variant <= 3; ++variant) {
        SCOPED_TRACE("variant " + std::to_string(variant));
        world::PortModel::Options small;
        small.rxRingSize = 8192;
        small.rxHighWater = 4096;
        small.rxLowWater = 1024;
        small.txRingSize = 8192;
        auto port = Attach(variant, small, {.rxBufferSize = 4096});
        ASSERT_TRUE(port->Open().ok());
        auto data = Pattern(100000);
        world::PortResult w = port->WriteAll(data, 500ms);
        EXPECT_EQ(w.status, STATUS_TIMEOUT) << "the writer went on although nothing was read";
        EXPECT_LT(w.bytes, 40000u);
        EXPECT_GE(port->Counters().holds, 1u) << "reception was never held";
        EXPECT_LE(port->ReadAvailable(), small.rxRingSize);

        std::thread writer([&] { EXPECT_TRUE(port->WriteAll(std::span(data).subspan(w.bytes), 20s).ok()); });
        EXPECT_EQ(port->ReadExactly(data.size(), 20s), data);
        writer.join();
        world::PortCounters c = port->Counters();
        EXPECT_EQ(c.overrunBytes, 0u);
        EXPECT_EQ(converter_->device->rxLostBytes(), 0u);
        EXPECT_GE(c.holdPeriods, 1u);
        EXPECT_EQ(c.receiveRestarts > 0, variant == 0) << "only a loop without line-status reads ends on a hold";

        // Drained, the port lets reception go on.
        auto more = Pattern(100);
        ASSERT_TRUE(port->WriteAll(more, 5s).ok());
        EXPECT_EQ(port->ReadExactly(more.size(), 5s), more);
        EXPECT_TRUE(port->Close().ok());
        port.reset();
        world_->Unplug(converter_, world::UnplugKind::Surprise);
    }
}

TEST_F(PortEndToEnd, RtsAndDtrComeBackAsModemStatus)
{
    auto port = Attach(3);
    ASSERT_TRUE(port->Open().ok());
    ASSERT_TRUE(port->SetRts().ok());
    EXPECT_EQ(port->WaitModemStatus(0xB0, 0x10, 5s), std::optional<UCHAR>(0x10));  // CTS
    ASSERT_TRUE(port->SetDtr().ok());
    EXPECT_EQ(port->WaitModemStatus(0xB0, 0xB0, 5s), std::optional<UCHAR>(0xB0));  // CTS, DSR, DCD
    ASSERT_TRUE(port->ClearRts().ok());
    EXPECT_EQ(port->WaitModemStatus(0xB0, 0xA0, 5s), std::optional<UCHAR>(0xA0));
    ASSERT_TRUE(port->ClearDtr().ok());
    EXPECT_EQ(port->WaitModemStatus(0xF0, 0x00, 5s), std::optional<UCHAR>(0x00));
}

TEST_F(PortEndToEnd, SettingsReachTheConverterAndRefusedOnesDoNot)
{
    auto port = Attach(1);
    world::PortResult r = port->SetLineSettings(19200, 7, CommParity::Even, CommStopBits::Two);
    ASSERT_TRUE(r.ok()) << Describe(r);
    EXPECT_EQ(ToString(converter_->device->settings()), "19200 7E2");

    EXPECT_EQ(port->SetLineSettings(76800, 8, CommParity::None, CommStopBits::One).status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(port->SetLineSettings(9600, 8, CommParity::Space, CommStopBits::One).status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(ToString(converter_->device->settings()), "19200 7E2");
    EXPECT_EQ(port->LineSettingsInForce()->baudRate, 19200u);
}

TEST_F(PortEndToEnd, ACharacterSentBesideTheRingLoopsBack)
{
    auto port = Attach(1);
    ASSERT_TRUE(port->Open().ok());
    ASSERT_TRUE(port->TransmitChar(0x13).ok());
    EXPECT_EQ(port->ReadExactly(1, 5s), std::vector<uint8_t>{0x13});
}

TEST_F(PortEndToEnd, SurpriseRemovalEndsThePortWithoutLosingReceivedBytes) { UnplugWhileOpen(true); }

TEST_F(PortEndToEnd, Windows98RemovalEndsThePortWithoutLosingReceivedBytes) { UnplugWhileOpen(false); }

// An application's purge with reception running: the bytes waiting are
// dropped, the idle transmit pipe can be reset, and everything written
// afterwards still comes back.
TEST_F(PortEndToEnd, PurgesWithThePortOpenKeepTheDataMoving)
{
    for (int variant : {0, 1, 2, 3}) {
        SCOPED_TRACE(variant);
        auto port = Attach(variant);
        ASSERT_TRUE(port->Open().ok());
        auto data = Pattern(500);
        ASSERT_TRUE(port->WriteAll(data, 5s).ok());
        for (int i = 0; i < 1000 && port->ReadAvailable() < data.size(); ++i)
            std::this_thread::sleep_for(2ms);
        EXPECT_EQ(port->PurgeReceived(), data.size());

        // The converter takes nothing for now: norva's write of the first
        // 4096 bytes waits in flight, the rest in the ring.  A purge drops
        // both: none of it ever reaches the line.
        converter_->device->HoldTransfers(world::ConverterDevice::kBulkOut, true);
        std::vector<uint8_t> unsent(6000, 0xEE);
        ASSERT_TRUE(port->Write(unsent).ok());
        for (int i = 0; i < 1000 && port->Counters().bytesOut < 4096; ++i)
            std::this_thread::sleep_for(2ms);
        EXPECT_EQ(port->PurgeUnsent(), unsent.size() - 4096);
        converter_->device->HoldTransfers(world::ConverterDevice::kBulkOut, false);
        ASSERT_TRUE(port->ResetTxPipe().ok());

        ASSERT_TRUE(port->WriteAll(data, 5s).ok());
        EXPECT_EQ(port->ReadExactly(data.size(), 5s), data) << "purged bytes went out after all";
        if (variant == 0) {
            // Without a status pipe the receive loop's read never leaves
            // the receive pipe: a host controller refuses to reset it, and
            // reception goes on.
            converter_->device->SetLatency(world::ConverterOptions::kNoLatencyTimer);
            ASSERT_TRUE(world_->hub().WaitPending(converter_->pdo, world::ConverterDevice::kBulkIn, 1, 5s));
            EXPECT_EQ(port->ResetRxPipe().status, STATUS_DEVICE_BUSY);
            ASSERT_TRUE(port->WriteAll(data, 5s).ok());
            EXPECT_EQ(port->ReadExactly(data.size(), 5s), data);
        }
        EXPECT_TRUE(port->Close().ok());
        port.reset();
        world_->Unplug(converter_, world::UnplugKind::Surprise);
    }
    EXPECT_TRUE(world_->UnloadDrivers());
}
