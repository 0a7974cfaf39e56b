// bench.hpp - `vcp bench`: the figures by which a serial stack is judged.
//
// Simulated time (virtual frames, a full-speed bus, the converter's UART at
// the line rate; the same figures on every machine and every run):
//   duplex    115200 8N1 through the loopback plug, 1 MiB each way:
//             throughput each way, bytes lost, byte latency to the receive
//             callback and through a pseudo-terminal
//   rates     the highest standard rate each variant sustains, and the knee
//   idle      bus transfers a second with the port open and nothing to move;
//             a modem-line change to the port's modem status
//   scale     1 to 64 converters full duplex at 115200 on one bus, in
//             simulated time and in real time: each port's throughput,
//             loss and latency, the bus's bandwidth, the host's CPU per port;
//             the knee, where one bus can no longer carry every port
// Wall clock (as fast as the machine goes), each a ratio in one run:
//   host      bytes a second through the whole stack in-process, each way,
//             against the full-speed bus; allocations per cycle
//   capture   the bus capture's cost: how fast its file grows with an idle
//             port and at 115200 full duplex (simulated time), and the host
//             cost with it against without it
//   callgrind instructions per byte moved (scripts/callgrind-per-byte.sh)
//   bridge    16 MiB through `vcp pty --peer pty` against socat joining two
//             pseudo-terminals (scripts/bridge-vs-socat.py)
//   soak      resident memory while 1 GiB goes through `vcp serve`, client
//             after client, and after each leaves (scripts/soak.py)
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace vcp {

struct BenchOptions {
    bool quick = false;              // smaller runs; no callgrind, no bridge
    std::string json;                // write the figures here
    std::vector<std::string> only;   // sections to run (default: all)
    uint64_t hostBytes = 0;          // bytes each way for the host cost (0: by mode)
    unsigned hostRuns = 0;           // runs each way for the host cost, the fastest counts (0: by mode)
    uint64_t bridgeBytes = 16ull << 20;
    std::string scripts;             // where the scripts are (default: the source tree's)
    uint64_t soakMegabytes = 0;      // through the server for the soak (0: by mode)
    std::vector<unsigned> scalePorts{1, 4, 16, 32, 64};  // converters in each scale run
};

CLI::App *AddBenchCommand(CLI::App &app, BenchOptions &options);
int RunBench(const BenchOptions &options);

}  // namespace vcp
