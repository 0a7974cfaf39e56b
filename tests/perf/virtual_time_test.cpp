// virtual_time_test.cpp - the whole stack on the virtual frame clock: runs
// are deterministic, the bus carries what a full-speed bus carries, and the
// receive loop keeps up with the line at the rates it should.
#include <fixture.hpp>

#include "perf/scale.hpp"
#include "perf/scenarios.hpp"

#include <cstdlib>
#include <fstream>
#include <iterator>

using namespace std::chrono_literals;

namespace perf {

// Failures print the figures, not their bytes.
void PrintTo(const FramePercentiles &p, std::ostream *os)
{
    *os << "{n " << p.samples << " p50 " << p.p50 << " p99 " << p.p99 << " max " << p.max << "}";
}

void PrintTo(const DuplexFigures &f, std::ostream *os)
{
    *os << "{variant " << f.variant << " baud " << f.baud << " bytes " << f.bytes << " on line " << f.onLine
        << " delivered " << f.delivered << " read " << f.read << " corrupted " << f.corrupted << " fifo overruns "
        << f.fifoOverruns << " ring overruns " << f.ringOverruns << " lost " << f.lost << " frames " << f.frames
        << " tx " << f.txFrames << " frames " << f.txShare << " rx " << f.rxFrames << " frames " << f.rxShare
        << " data reads " << f.dataReads << " status reads " << f.statusReads << " writes " << f.writes
        << " holds " << f.holds << " to callback ";
    PrintTo(f.toCallback, os);
    *os << " to pty ";
    PrintTo(f.toPty, os);
    *os << "}";
}

void PrintTo(const IdleFigures &f, std::ostream *os)
{
    *os << "{variant " << f.variant << " idle frames " << f.idleFrames << " transfers " << f.transfers
        << " data reads " << f.dataReads << " status reads " << f.statusReads << " line changes " << f.lineChanges
        << " missed " << f.lineChangesMissed << " latency ";
    PrintTo(f.lineChange, os);
    *os << "}";
}

}  // namespace perf

namespace {

class VirtualTime : public testing_support::KernelTest {};

TEST_F(VirtualTime, DuplexRunsComeOutTheSameEveryTime)
{
    perf::DuplexPlan plan;
    plan.bytes = 48 * 1024;
    plan.throughPty = true;
    perf::DuplexFigures first = perf::Duplex(plan);
    perf::DuplexFigures second = perf::Duplex(plan);
    EXPECT_EQ(first, second);
    EXPECT_EQ(first.frames, second.frames);
    EXPECT_EQ(first.toCallback, second.toCallback);

    // 115200 8N1 full duplex through the loopback plug: nothing lost, the
    // line kept busy both ways, and a byte at the callback within 3 frames.
    EXPECT_EQ(first.lost, 0u);
    EXPECT_EQ(first.read, plan.bytes);
    EXPECT_EQ(first.corrupted, 0u);
    EXPECT_GE(first.txShare, 0.995);
    EXPECT_GE(first.rxShare, 0.995);
    EXPECT_EQ(first.toCallback.samples, plan.bytes);
    EXPECT_LE(first.toCallback.p99, 3u);
    EXPECT_EQ(first.toPty.samples, plan.bytes);
    EXPECT_GE(first.toPty.p50, first.toCallback.p50);
}

TEST_F(VirtualTime, IdleRunsComeOutTheSameEveryTime)
{
    perf::IdleFigures first = perf::Idle(2, 2000, 30);
    perf::IdleFigures second = perf::Idle(2, 2000, 30);
    EXPECT_EQ(first, second);
    // While idle, each data read ends with the latency timer and is followed
    // by one line-status read; a line change reaches the port's modem status
    // within the latency timer and two frames.
    EXPECT_EQ(first.lineChanges, 30u);
    EXPECT_EQ(first.lineChangesMissed, 0u);
    EXPECT_LE(first.lineChange.max, first.latencyTimer + 2);
    EXPECT_NEAR(double(first.dataReads), double(first.statusReads), 1.0);
    EXPECT_NEAR(first.dataReadsPerSecond, 1000.0 / (first.latencyTimer + 2), 5.0);
}

// The bus carries 19 packets of 64 bytes per frame: a 4096-byte write reaches
// an unpaced converter over four frames, and at once without the limit.
TEST_F(VirtualTime, BulkTransfersShareNineteenPacketsAFrame)
{
    for (bool limited : {true, false}) {
        SCOPED_TRACE(limited ? "full-speed bus" : "no bandwidth limit");
        perf::RigOptions o;
        o.loopback = false;
        o.paced = false;
        std::vector<uint64_t> onLine;
        {
            perf::Rig rig(o);
            std::vector<uint8_t> block(4096, 0x5A);
            rig.Run(
                [&](perf::Frame frame) {
                    if (frame == 0)
                        EXPECT_EQ(rig.port().Write(block).bytes, block.size());
                    else
                        onLine.push_back(rig.line().bytes());
                    return frame < 6;
                },
                limited);
        }
        if (limited)
            EXPECT_EQ(onLine, (std::vector<uint64_t>{1216, 2432, 3648, 4096, 4096, 4096}));
        else
            EXPECT_EQ(onLine, (std::vector<uint64_t>{4096, 4096, 4096, 4096, 4096, 4096}));
    }
}

// With a line-status read after every data read, a data read comes every
// second frame and the 256-byte FIFO overruns at 1.5 Mbaud; a converter
// without a control pipe reads every frame and keeps up.
TEST_F(VirtualTime, AlternatingReadsHalveWhatTheFifoCanTake)
{
    perf::DuplexPlan plan;
    plan.baud = 1'500'000;
    plan.bytes = 64 * 1024;
    plan.latency = false;
    plan.variant = 2;
    perf::DuplexFigures withStatus = perf::Duplex(plan);
    EXPECT_FALSE(withStatus.settable);
    EXPECT_GT(withStatus.fifoOverruns, 0u);
    EXPECT_GT(withStatus.lost, 0u);
    EXPECT_NEAR(withStatus.dataReadEvery, 2.0, 0.05);

    plan.variant = 0;
    perf::DuplexFigures dataOnly = perf::Duplex(plan);
    EXPECT_EQ(dataOnly.fifoOverruns, 0u);
    EXPECT_TRUE(dataOnly.sustained());
    EXPECT_EQ(dataOnly.statusReads, 0u);
    EXPECT_NEAR(dataOnly.dataReadEvery, 1.0, 0.05);
}

// Many converters on one bus, each full duplex at 115200: the same figures
// every run; a few ports at line rate; past the knee every port slower by
// the same share, nothing lost, and each port's reads still come every few
// frames (the IN endpoints have their turns first).
TEST_F(VirtualTime, ManyPortsShareTheBusEvenlyAndLoseNothing)
{
    perf::ScalePlan plan;
    plan.ports = 4;
    plan.seconds = 0.25;
    perf::ScaleFigures first = perf::Scale(plan), second = perf::Scale(plan);
    EXPECT_EQ(first.frames, second.frames);
    EXPECT_EQ(first.latency, second.latency);
    EXPECT_EQ(first.bus.bits, second.bus.bits);
    EXPECT_EQ(first.bus.bulkTransactions, second.bus.bulkTransactions);
    EXPECT_TRUE(first.sustained()) << "tx " << first.txShareMin << " rx " << first.rxShareMin << " lost " << first.lost;
    EXPECT_LE(first.latency.p99, 3u);
    EXPECT_EQ(first.bus.saturatedFrames, 0u);
    EXPECT_NEAR(first.busDataShare, 4 * 2 * 11520.0 / 1216000.0, 0.005);

    plan.ports = 64;
    plan.seconds = 0.5;  // long enough that the ports' first and last frames do not weigh
    perf::ScaleFigures over = perf::Scale(plan);
    EXPECT_FALSE(over.sustained());
    EXPECT_EQ(over.lost, 0u);
    EXPECT_EQ(over.fifoOverruns, 0u);
    EXPECT_TRUE(over.even()) << "tx " << over.txShareMin << "-" << over.txShareMax << " rx " << over.rxShareMin
                             << "-" << over.rxShareMax;
    EXPECT_GT(over.busTimeShare, 0.95);
    EXPECT_LE(over.latency.p99, 4u);
}

}  // namespace

namespace {

class StackCost : public testing_support::KernelTest {};

// The receive loop reuses its one request, buffer and descriptions: norva
// allocates nothing per receive cycle; tembris builds a URB and its
// completion record for each of the cycle's two transfers.  A transmit block
// costs norva its 4096-byte buffer (and the request built for it).
TEST_F(StackCost, NorvaAllocatesNothingPerReceiveCycleAndOneBufferPerBlock)
{
    perf::HostCostFigures rx = perf::HostCost(true, 256 * 1024);
    ASSERT_GT(rx.cycles, 100u);
    EXPECT_EQ(rx.norvaPool, 0u);
    EXPECT_EQ(rx.tembrisPool, 4 * rx.cycles);
    EXPECT_EQ(rx.irps, 0u);

    perf::HostCostFigures tx = perf::HostCost(false, 256 * 1024);
    ASSERT_GE(tx.cycles, 60u);
    EXPECT_EQ(tx.norvaPool, tx.cycles);
    EXPECT_EQ(tx.irps, tx.cycles);
}

// `vcp bench --quick` runs every simulated-time section and the host cost,
// and writes them as JSON.
TEST_F(StackCost, VcpBenchQuickWritesItsFigures)
{
    std::string json = ::testing::TempDir() + "vcp-bench-quick.json";
    std::string runner = VCP_PROGRAM_RUNNER;
    std::string command = (runner.empty() ? "" : runner + " ") + "'" + VCP_PROGRAM + "' bench --quick --json '" + json +
                          "' > /dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    std::ifstream in(json);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (const char *key : {"\"duplex\"", "\"rates\"", "\"idle\"", "\"scale\"", "\"host\"", "\"lost\": 0", "\"kernel_clean\": true"})
        EXPECT_NE(text.find(key), std::string::npos) << key;
}

}  // namespace
