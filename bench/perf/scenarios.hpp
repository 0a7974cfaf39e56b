// scenarios.hpp - the measurements behind `vcp bench` and the benchmark
// programs.
//
// Simulated time (virtual frames, a full-speed bus, the converter's UART at
// its line rate): every figure is a count of bytes or frames and comes out
// the same on every machine and every run.
//   Duplex      1 MiB each way through the loopback plug: throughput each
//               way as a share of the line rate, bytes lost, and the latency
//               of each byte from the converter's input to the port's receive
//               callback and on through a pseudo-terminal.
//   RateSweep   the standard rates, each as a shorter duplex run: the highest
//               that a variant sustains without loss, and why the next fails.
//   Idle        the port open with nothing to move: bus transfers a second,
//               and how long a modem-line change takes to reach the port.
// Wall-clock (as fast as the machine goes, no bandwidth limit, the UART
// unpaced): HostCost moves bytes one way through the whole stack in-process.
#pragma once

#include "perf/rig.hpp"

#include <optional>
#include <string>
#include <vector>

namespace perf {

// USB full speed: 19 bulk packets of 64 bytes per 1 ms frame.
inline constexpr double kFullSpeedBulkBytesPerSecond = 19 * 64 * 1000.0;
inline constexpr uint64_t kMiB = 1024 * 1024;

// Percentiles of a distribution of whole frames.
struct FramePercentiles {
    uint64_t samples = 0;
    uint64_t p50 = 0, p99 = 0, max = 0;
    bool operator==(const FramePercentiles &) const = default;
};

// Latencies as a histogram: count of samples by frames.
class FrameHistogram {
public:
    void Add(uint64_t frames, uint64_t count = 1);
    FramePercentiles Percentiles() const;

private:
    std::vector<uint64_t> counts_;
};

// Cumulative byte counts sampled at the end of each frame of a run.
using Timeline = std::vector<uint64_t>;

// For every byte k < count: the first frame at which `to` passed k, minus the
// first frame at which `from` did, plus one (a byte that arrives in one frame
// and is handed on in the next has waited one frame).
void AddLatencies(const Timeline &from, const Timeline &to, uint64_t count, FrameHistogram *histogram);

// Bytes over frames as a share of a line's rate in 8N1.
double Share(uint64_t bytes, Frame frames, uint32_t baud);

// First and last frame in which a cumulative count grew.
struct Span {
    Frame first = world::kNever, last = 0;
    uint64_t seen = 0;
    void Sample(Frame f, uint64_t count)
    {
        if (count > seen) {
            if (first == world::kNever)
                first = f;
            last = f;
            seen = count;
        }
    }
    Frame frames() const { return first == world::kNever ? 0 : last - first + 1; }
};

struct DuplexPlan {
    int variant = 2;
    uint32_t baud = 115200;
    uint64_t bytes = kMiB;   // each way
    bool latency = true;     // keep per-frame counts for the byte latencies
    bool throughPty = false; // pass the received bytes through a pseudo-terminal
    std::shared_ptr<world::UrbObserver> observer;  // sees every URB (a bus capture)
};

struct DuplexFigures {
    int variant = 0;
    uint32_t baud = 0;
    bool settable = false;          // the rate went through norva (else forced on the UART)
    uint64_t bytes = 0;             // sent, each way
    uint64_t onLine = 0;            // left the converter's TX line (and looped back)
    uint64_t delivered = 0;         // reached the port's receive ring
    uint64_t read = 0;              // read back by the application
    uint64_t corrupted = 0;         // read back, but not the byte sent
    uint64_t fifoOverruns = 0;      // lost in the converter's receive FIFO
    uint64_t ringOverruns = 0;      // lost at the port's receive ring
    uint64_t lost = 0;              // sent and never read back intact
    Frame frames = 0;               // the run
    Frame txFrames = 0;             // first to last byte on the TX line
    Frame rxFrames = 0;             // first to last byte at the receive callback
    double txShare = 0;             // of the line rate
    double rxShare = 0;
    uint64_t dataReads = 0;         // bulk-IN transfers completed
    uint64_t statusReads = 0;       // interrupt-IN transfers completed
    uint64_t writes = 0;            // bulk-OUT transfers completed
    uint64_t holds = 0;             // status calls the port answered with hold
    uint64_t dataCalls = 0;         // receive callback calls with data
    double dataReadEvery = 0;       // frames per data read that brought bytes, while they came
    Frame longestDataGap = 0;       // frames between two such reads while the line was busy, at most
    FramePercentiles toCallback;    // frames from the byte's arrival at the converter
    FramePercentiles toPty;         // ... to the far side of a pseudo-terminal
    bool sustained() const;         // nothing lost, both ways at 99.5% of the line rate or better
    bool operator==(const DuplexFigures &) const = default;
};

DuplexFigures Duplex(const DuplexPlan &plan);

struct RateRow {
    uint32_t baud = 0;
    bool settable = false;
    DuplexFigures figures;
    bool operator==(const RateRow &) const = default;
};

struct RateSweepFigures {
    int variant = 0;
    std::vector<RateRow> rows;
    uint32_t highestSustained = 0;  // 0: none
    uint32_t firstFailing = 0;      // 0: every rate held
    double dataReadEvery = 0;       // frames between data reads at the failing rate
    std::string why;                // why the first failing rate fails
    bool operator==(const RateSweepFigures &) const = default;
};

// The standard rates, 9600 to 3,000,000 baud.
std::span<const uint32_t> StandardRates();
// Each rate runs for secondsPerRate of line time.
RateSweepFigures RateSweep(int variant, double secondsPerRate = 1.0);

struct IdleFigures {
    int variant = 0;
    unsigned latencyTimer = 0;      // frames
    Frame idleFrames = 0;           // the window counted
    uint64_t transfers = 0;         // bulk and interrupt transfers completed in it
    uint64_t dataReads = 0;
    uint64_t statusReads = 0;
    double transfersPerSecond = 0;
    double dataReadsPerSecond = 0;
    double statusReadsPerSecond = 0;
    unsigned lineChanges = 0;
    FramePercentiles lineChange;    // frames from the change to the port's modem status
    unsigned lineChangesMissed = 0; // never seen by the port
    bool operator==(const IdleFigures &) const = default;
};

IdleFigures Idle(int variant = 2, Frame idleFrames = 10'000, unsigned lineChanges = 200,
                 std::shared_ptr<world::UrbObserver> observer = nullptr);

struct HostCostFigures {
    bool receive = true;            // else transmit
    uint64_t bytes = 0;
    double seconds = 0;             // wall clock of the run
    double bytesPerSecond = 0;
    double ratioToFullSpeed = 0;    // bytesPerSecond / kFullSpeedBulkBytesPerSecond
    // The process's CPU time over the run (the controller's thread does the
    // run's work; the caller waits), and the bytes per second of it: the
    // stack's own speed on a machine that other work shares.
    double cpuSeconds = 0;
    double bytesPerCpuSecond = 0;
    uint64_t cycles = 0;            // receive cycles (data read + status read) or transmit blocks
    uint64_t allocations = 0;       // counted allocations (pool, IRPs, MDLs) during the run
    double allocationsPerCycle = 0;
    uint64_t norvaPool = 0;         // pool allocations with norva's tags
    uint64_t tembrisPool = 0;       // ... with tembris's
    uint64_t irps = 0;              // requests allocated
    Frame frames = 0;
};

// Moves `bytes` one way through the whole stack as fast as the machine goes:
// a virtual-time run without a bandwidth limit, the converter unpaced, the
// application's side in the step (the same thread).
HostCostFigures HostCost(bool receive, uint64_t bytes);
// The same on a rig of HostCostRig() (one run each call).
RigOptions HostCostRig();
HostCostFigures HostCost(Rig &rig, bool receive, uint64_t bytes);

}  // namespace perf
