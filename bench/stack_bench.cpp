// stack_bench.cpp - bytes through the whole stack in-process (port model,
// norva, tembris, the hub and an unpaced converter), each way, as fast as the
// machine goes.
//
//   FrameDriven   the application's side runs on the host controller's thread
//                 once per frame (virtual time without a bandwidth limit): the
//                 stack's own cost, the figure `vcp bench` reports.
//   Threaded      the application is a thread of its own that reads or writes
//                 the port with waits, the controller's clock in Fast mode:
//                 what a program sees, thread hand-offs included.
//
// Counters: bytes_per_second, x_full_speed (against 1,216,000 B/s),
// allocations per receive cycle (data read + line-status read) or per
// transmit block, norva's pool allocations among them.
#include <benchmark/benchmark.h>

#include "perf/scenarios.hpp"

#include <platform/platform.hpp>

#include <thread>

namespace {

using namespace std::chrono_literals;

constexpr uint64_t kBytesPerIteration = 4 * perf::kMiB;

void Report(benchmark::State &state, uint64_t bytes, uint64_t cycles, uint64_t allocations, uint64_t norvaPool,
            const char *per)
{
    state.SetBytesProcessed(int64_t(bytes));
    state.counters["x_full_speed"] = benchmark::Counter(double(bytes) / perf::kFullSpeedBulkBytesPerSecond,
                                                        benchmark::Counter::kIsRate);
    const double n = cycles ? double(cycles) : 1.0;
    state.counters[std::string("allocations_per_") + per] = double(allocations) / n;
    state.counters[std::string("norva_pool_per_") + per] = double(norvaPool) / n;
}

void FrameDriven(benchmark::State &state, bool receive)
{
    perf::Rig rig(perf::HostCostRig());
    uint64_t bytes = 0, cycles = 0, allocations = 0, norvaPool = 0;
    for (auto _ : state) {
        perf::HostCostFigures h = perf::HostCost(rig, receive, kBytesPerIteration);
        // Only the measured stretch of each run counts (not the open and close).
        state.SetIterationTime(h.seconds);
        bytes += h.bytes;
        cycles += h.cycles;
        allocations += h.allocations;
        norvaPool += h.norvaPool;
    }
    Report(state, bytes, cycles, allocations, norvaPool, receive ? "receive_cycle" : "transmit_block");
}

void BM_Receive_FrameDriven(benchmark::State &state) { FrameDriven(state, true); }
void BM_Transmit_FrameDriven(benchmark::State &state) { FrameDriven(state, false); }
BENCHMARK(BM_Receive_FrameDriven)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Transmit_FrameDriven)->UseManualTime()->Unit(benchmark::kMillisecond);

// A reader (or writer) thread of its own against the clock in Fast mode.
void Threaded(benchmark::State &state, bool receive)
{
    perf::Rig rig(perf::HostCostRig());
    world::PortModel &port = rig.port();
    if (!port.Open().ok()) {
        state.SkipWithError("the port did not open");
        return;
    }
    std::vector<uint8_t> chunk(64 * 1024, 0x5A), in(64 * 1024);
    world::ConverterDevice &converter = rig.converter();
    uint64_t bytes = 0;
    const uint64_t allocations = platform::PoolAllocationCount();
    const uint64_t norvaBefore = platform::PoolAllocationsOfDriver("norva");
    const world::PortCounters before = port.Counters();
    for (auto _ : state) {
        uint64_t moved = 0;
        if (receive) {
            while (moved < kBytesPerIteration) {
                if (converter.rxPending() < chunk.size())
                    converter.ReceiveFromLine(chunk);
                moved += port.Read(in, 100ms).bytes;
            }
        } else {
            const uint64_t start = rig.line().bytes();
            while (moved < kBytesPerIteration) {
                port.WriteAll(chunk, 1s);
                moved = rig.line().bytes() - start;
            }
        }
        bytes += moved;
    }
    const world::PortCounters after = port.Counters();
    const uint64_t cycles = receive ? after.statusCalls - before.statusCalls : after.transfers - before.transfers;
    Report(state, bytes, cycles, platform::PoolAllocationCount() - allocations,
           platform::PoolAllocationsOfDriver("norva") - norvaBefore, receive ? "receive_cycle" : "transmit_block");
    port.Close();
}

void BM_Receive_Threaded(benchmark::State &state) { Threaded(state, true); }
void BM_Transmit_Threaded(benchmark::State &state) { Threaded(state, false); }
BENCHMARK(BM_Receive_Threaded)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Transmit_Threaded)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
