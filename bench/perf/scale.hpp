// scale.hpp - many converters on one full-speed bus: what each port gets, what
// the bus carries, and what it costs the host per port as the ports grow.
//
// N converters (variant 2) each with a loopback plug, every port full duplex
// at 115200 8N1 from its own application, all on one hub and one host
// controller whose frames have a full-speed bus's time (bus_time.hpp).  In
// simulated time the run goes as fast as the machine does and every figure
// but the host's CPU time comes out the same on every run; in real time the
// same run is paced by the wall clock, a frame a millisecond, and the
// machine has to keep up (frames begun late are counted).
#pragma once

#include "perf/scenarios.hpp"

#include "usb/host_controller.hpp"

#include <string>
#include <vector>

namespace perf {

struct ScalePlan {
    unsigned ports = 1;
    uint32_t baud = 115200;
    double seconds = 2.0;    // line time each port moves, each way
    bool realTime = false;
    bool latency = true;     // keep per-frame counts for the byte latencies
};

struct ScaleFigures {
    unsigned ports = 0;
    bool realTime = false;
    uint32_t baud = 0;
    uint64_t bytesPerPort = 0;       // sent each way by each port
    double txShareMin = 0, txShareMax = 0;  // of the line rate, the slowest and fastest port
    double rxShareMin = 0, rxShareMax = 0;
    double shareMean = 0;            // both ways, every port
    uint64_t lost = 0;               // sent and never read back intact, all ports
    uint64_t fifoOverruns = 0;       // lost in the converters' receive FIFOs
    uint64_t ringOverruns = 0;       // lost at the ports' receive rings
    uint64_t corrupted = 0;
    FramePercentiles latency;        // every byte of every port, converter to receive callback
    Frame frames = 0;                // the run
    world::HostController::BusUse bus;  // over the run
    double busDataShare = 0;         // data carried against 19 x 64 bytes a frame
    double busTimeShare = 0;         // bit times used against the frame's
    double dataReadsPerPortFrame = 0, writesPerPortFrame = 0, statusReadsPerPortFrame = 0;
    double cpuSeconds = 0;           // the process's CPU time over the run
    double wallSeconds = 0;
    double cpuPerSimulatedSecond = 0;      // CPU seconds per second of bus time
    double cpuPerPortPerSimulatedSecond = 0;
    uint64_t lateFrames = 0;         // real time: frames begun more than a frame late
    // Nothing lost and every port at 99.5% of the line rate or better both ways.
    bool sustained() const;
    // Nothing lost and the slowest port within 5% of the fastest, both ways.
    bool even() const;
};

ScaleFigures Scale(const ScalePlan &plan);

// The smallest number of ports, between `from` and `to`, that one bus can no
// longer carry at line rate (simulated time, secondsPerRun of line time a
// run), and why.
struct KneeFigures {
    unsigned knee = 0;           // 0: every count up to `to` held
    ScaleFigures below;          // the run at knee - 1 (the last that held)
    ScaleFigures at;             // the run at the knee
    // Bus time a frame one port at line rate takes, by what takes it.
    double bitsPerPortFrame = 0;
    double dataBits = 0, readTransactionBits = 0, writeTransactionBits = 0, statusBits = 0;
    double idleReadsPerPortFrame = 0;  // zero-length data reads (latency timer)
    std::string why;
};

KneeFigures FindKnee(unsigned from, unsigned to, double secondsPerRun = 1.0);

}  // namespace perf
