// rig.hpp - the whole stack set up for a measurement: a world with both
// driver modules, one converter whose serial side is metered, and the port
// model open on it, driven frame by frame from the host controller's own
// thread (virtual time) so that a run is the same every time.
//
//   perf::Rig rig({.variant = 2});
//   rig.SetLine(115200);
//   rig.Run([&](world::Frame f) { ...the application's side...; return f < 1000; });
//
// The port is opened by the run's first step and closed between runs: a run
// begins with nothing pending.  The port model keeps no thread of its own
// (no retry kicker): the step is the application.
#pragma once

#include "port/port_model.hpp"
#include "world/world.hpp"

#include <functional>
#include <memory>
#include <string>

namespace perf {

using world::Frame;

// The converter's serial side: a loopback plug that counts the bytes that
// cross it (they leave the converter's TX and arrive at its RX at once), or
// an open line that a step drives itself.
class MeteredLine : public world::SerialPeer {
public:
    explicit MeteredLine(bool loopback) : loopback_(loopback) {}
    void OnTransmit(world::ConverterDevice &from, std::span<const uint8_t> bytes) override;
    void OnOutputLines(world::ConverterDevice &from, bool rts, bool dtr) override;
    uint64_t bytes() const { return bytes_.load(); }  // left the converter's TX line so far

private:
    const bool loopback_;
    std::atomic<uint64_t> bytes_{0};
};

struct RigOptions {
    int variant = 2;             // "EndPointCaps"
    bool loopback = true;        // else an open line
    bool paced = true;           // the UART moves bytes at the line rate
    size_t rxFifo = 256;         // the converter's receive FIFO (bytes)
    size_t txFifo = 256;         // and its transmit FIFO
    unsigned latencyFrames = 16; // the converter's latency timer
    // Sees every URB at the hub from before the plug on (a bus capture).
    std::shared_ptr<world::UrbObserver> observer;
};

class Rig {
public:
    explicit Rig(const RigOptions &options);  // throws std::runtime_error
    ~Rig();
    Rig(const Rig &) = delete;
    Rig &operator=(const Rig &) = delete;

    const RigOptions &options() const { return options_; }
    world::World &world() { return *world_; }
    world::ConverterDevice &converter() { return *converter_->device; }
    world::PortModel &port() { return *port_; }
    MeteredLine &line() { return *line_; }
    PDEVICE_OBJECT pdo() const { return converter_->pdo; }

    // 8N1 at this rate: through norva when the variant's command table has
    // it (returns true), else forced on the converter's UART.
    bool SetLine(uint32_t baud);
    // Raises (or drops) RTS and DTR through norva (variants 1-3).
    void SetOutputLines(bool on);

    // One virtual-time run: the port is opened in frame 0, before step sees
    // it; step runs once per frame after the frame's completions.  Closes the
    // port afterwards.  Returns the frames run.  Throws when the port does not
    // open or close.
    Frame Run(const std::function<bool(Frame)> &step, bool fullSpeedBandwidth = true);

    // Every bulk and interrupt transfer the hub completed for the converter
    // since the last call, with the frame it was submitted in.
    std::vector<world::UrbRecord> TakeUrbs();
    Frame frame() { return world_->hub().frame(); }

private:
    RigOptions options_;
    std::unique_ptr<world::World> world_;
    world::World::Converter *converter_ = nullptr;
    std::shared_ptr<MeteredLine> line_;
    world::NorvaExports exports_;
    std::unique_ptr<world::PortModel> port_;
};

// The CPU time the process has used, in seconds (every thread).
double ProcessCpuSeconds();

// Bytes per second a line carries at this rate in 8N1.
inline double LineBytesPerSecond(uint32_t baud) { return baud / 10.0; }

// The same bytes on every run: a fixed pseudo-random sequence.
class Pattern {
public:
    uint8_t At(uint64_t i) const
    {
        uint64_t x = i * 0x9E3779B97F4A7C15ull;
        x ^= x >> 29;
        x *= 0xBF58476D1CE4E5B9ull;
        return uint8_t(x >> 56);
    }
    void Fill(uint64_t from, std::span<uint8_t> out) const
    {
        for (size_t k = 0; k < out.size(); ++k)
            out[k] = At(from + k);
    }
};

}  // namespace perf
