// scale.cpp - many converters on one full-speed bus.
#include "perf/scale.hpp"

#include "port/port_model.hpp"
#include "usb/bus_time.hpp"
#include "world/world.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <stdexcept>

namespace perf {

using namespace std::chrono_literals;

namespace {

constexpr int kVariant = 2;
constexpr Frame kQuietFrames = 200;  // nothing came for this long: the rest was lost
constexpr size_t kPhases = 6;        // frames over which the ports' applications start

// One converter of the run: its loopback plug, its port and the counts its
// application keeps.
struct Lane {
    world::World::Converter *converter = nullptr;
    std::shared_ptr<MeteredLine> line;
    std::unique_ptr<world::PortModel> port;
    uint64_t written = 0, readBack = 0, corrupted = 0;
    Span tx, rx;
    Timeline arrived, delivered;
};

// N converters on one hub, each port open on its converter as the port
// driver finds them (GetNextPDO), driven frame by frame from the host
// controller's thread.
class ScaleRig {
public:
    explicit ScaleRig(unsigned ports)
    {
        world_ = std::make_unique<world::World>();
        // The converters of the duplex runs: 256-byte FIFOs each way.
        const RigOptions ro;
        world::ConverterOptions co;
        co.pacing = true;
        co.rxBufferSize = ro.rxFifo;
        co.txFifoSize = ro.txFifo;
        co.latencyFrames = ro.latencyFrames;
        lanes_.resize(ports);
        for (Lane &lane : lanes_) {
            lane.line = std::make_shared<MeteredLine>(true);
            lane.converter = world_->Plug(kVariant, lane.line, co);
            if (!NT_SUCCESS(lane.converter->status) || !lane.converter->child)
                throw std::runtime_error("converter on port " + std::to_string(lane.converter->port) +
                                         " did not start" +
                                         (lane.converter->refused.empty() ? "" : ": " + lane.converter->refused));
        }
        exports_ = world::NorvaExports::Bind(world_->norva());
        world::PortModel::Options po;
        po.kickRetry = 0ms;  // the step is the application: no thread of the port's own
        std::vector<world::PortHandle> found = world::FindPorts(exports_);
        for (Lane &lane : lanes_) {
            auto h = std::find_if(found.begin(), found.end(),
                                  [&](const world::PortHandle &p) { return p.filter == lane.converter->filter; });
            if (h == found.end())
                throw std::runtime_error("GetNextPDO does not hand out the converter on port " +
                                         std::to_string(lane.converter->port));
            lane.port = std::make_unique<world::PortModel>(exports_, *h, po);
        }
    }
    ~ScaleRig()
    {
        for (Lane &lane : lanes_)
            if (lane.port)
                lane.port->Close();
        lanes_.clear();
        world_.reset();
    }

    std::vector<Lane> &lanes() { return lanes_; }
    world::HostController &controller() { return world_->hub().controller(); }

private:
    std::unique_ptr<world::World> world_;
    world::NorvaExports exports_;
    std::vector<Lane> lanes_;
};

world::HostController::BusUse Minus(const world::HostController::BusUse &a, const world::HostController::BusUse &b)
{
    world::HostController::BusUse d;
    d.frames = a.frames - b.frames;
    d.bits = a.bits - b.bits;
    d.bulkTransactions = a.bulkTransactions - b.bulkTransactions;
    d.shortBulkTransactions = a.shortBulkTransactions - b.shortBulkTransactions;
    d.bulkBytes = a.bulkBytes - b.bulkBytes;
    d.bulkInTransactions = a.bulkInTransactions - b.bulkInTransactions;
    d.bulkInBytes = a.bulkInBytes - b.bulkInBytes;
    d.zeroLengthBulkIn = a.zeroLengthBulkIn - b.zeroLengthBulkIn;
    d.interruptTransactions = a.interruptTransactions - b.interruptTransactions;
    d.interruptBits = a.interruptBits - b.interruptBits;
    d.saturatedFrames = a.saturatedFrames - b.saturatedFrames;
    return d;
}

}  // namespace

bool ScaleFigures::sustained() const
{
    return lost == 0 && txShareMin >= 0.995 && rxShareMin >= 0.995;
}

bool ScaleFigures::even() const
{
    return lost == 0 && txShareMin >= 0.95 * txShareMax && rxShareMin >= 0.95 * rxShareMax;
}

ScaleFigures Scale(const ScalePlan &plan)
{
    if (plan.ports == 0)
        throw std::invalid_argument("a scale run needs a port");
    ScaleRig rig(plan.ports);
    ScaleFigures f;
    f.ports = plan.ports;
    f.realTime = plan.realTime;
    f.baud = plan.baud;
    f.bytesPerPort = std::max<uint64_t>(1024, uint64_t(LineBytesPerSecond(plan.baud) * plan.seconds));
    std::vector<uint8_t> sent(f.bytesPerPort);
    Pattern().Fill(0, sent);
    std::vector<uint8_t> in(4096);

    // Each port's settings and lines, as an application sets them; the
    // ports open in the run's first frame, so that no read is outstanding
    // before it and every run begins alike.
    for (Lane &lane : rig.lanes()) {
        world::PortResult r = lane.port->SetLineSettings(plan.baud, 8, world::CommParity::None, world::CommStopBits::One);
        if (!r.ok())
            throw std::runtime_error("line settings: " + world::Describe(r));
        for (world::PortResult l : {lane.port->SetRts(), lane.port->SetDtr()})
            if (!l.ok())
                throw std::runtime_error("modem lines: " + world::Describe(l));
    }
    // Line time, and as much again twice over for a bus that cannot carry it
    // all, before giving up.
    const Frame limit = Frame(double(f.bytesPerPort) / LineBytesPerSecond(plan.baud) * 4000.0) + 2000;
    world::HostController::BusUse busBefore{};
    double cpuBefore = 0;
    std::chrono::steady_clock::time_point wallBefore;

    std::string failure;
    world::HostController::VirtualRun run;
    run.realTime = plan.realTime;
    run.lateFrames = &f.lateFrames;
    run.step = [&](Frame frame) {
        if (frame == 0) {
            for (Lane &lane : rig.lanes()) {
                world::PortResult r = lane.port->Open();
                if (!r.ok()) {
                    failure = "a port did not open: " + world::Describe(r);
                    return false;
                }
            }
            busBefore = rig.controller().busUse();
            cpuBefore = ProcessCpuSeconds();
            wallBefore = std::chrono::steady_clock::now();
        }
        bool more = false;
        for (size_t k = 0; k < rig.lanes().size(); ++k) {
            Lane &lane = rig.lanes()[k];
            world::PortModel &port = *lane.port;
            // Independent applications do not start in the same frame: the
            // ports begin a frame apart, six phases round (about a 64-byte
            // packet's line time at 115200).  Ports in lock-step would all
            // want a packet in the same frames.
            if (lane.written < f.bytesPerPort && frame >= k % kPhases)
                lane.written += port.Write(std::span(sent).subspan(lane.written)).bytes;
            for (;;) {
                world::PortResult r = port.Read(in, 0ms);
                if (r.bytes == 0)
                    break;
                for (size_t k = 0; k < r.bytes; ++k)
                    lane.corrupted += lane.readBack + k >= sent.size() || in[k] != sent[lane.readBack + k];
                lane.readBack += r.bytes;
            }
            const uint64_t onLine = lane.line->bytes();
            const uint64_t atCallback = port.Counters().bytesIn;
            lane.tx.Sample(frame, onLine);
            lane.rx.Sample(frame, atCallback);
            if (plan.latency) {
                lane.arrived.push_back(onLine);
                lane.delivered.push_back(atCallback);
            }
            const bool quiet = onLine >= f.bytesPerPort && frame > lane.rx.last + kQuietFrames;
            more = more || (lane.readBack < f.bytesPerPort && !quiet);
        }
        more = more && frame < limit;
        if (!more) {
            // Taken inside the run: once it ends, the clock goes on without it.
            f.cpuSeconds = ProcessCpuSeconds() - cpuBefore;
            f.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
            f.bus = Minus(rig.controller().busUse(), busBefore);
            for (Lane &lane : rig.lanes()) {
                f.fifoOverruns += lane.converter->device->rxLostBytes();
                f.ringOverruns += lane.port->Counters().overrunBytes;
            }
        }
        return more;
    };
    f.frames = rig.controller().RunVirtual(std::move(run));
    if (!failure.empty())
        throw std::runtime_error(failure);

    FrameHistogram latency;
    f.txShareMin = f.rxShareMin = 1e9;
    double shares = 0;
    for (Lane &lane : rig.lanes()) {
        const double tx = Share(lane.tx.seen, lane.tx.frames(), plan.baud);
        const double rx = Share(lane.rx.seen, lane.rx.frames(), plan.baud);
        f.txShareMin = std::min(f.txShareMin, tx);
        f.txShareMax = std::max(f.txShareMax, tx);
        f.rxShareMin = std::min(f.rxShareMin, rx);
        f.rxShareMax = std::max(f.rxShareMax, rx);
        shares += tx + rx;
        f.corrupted += lane.corrupted;
        f.lost += f.bytesPerPort - std::min(f.bytesPerPort, lane.readBack - std::min(lane.readBack, lane.corrupted));
        if (plan.latency)
            AddLatencies(lane.arrived, lane.delivered, lane.port->Counters().bytesIn, &latency);
    }
    f.shareMean = shares / (2.0 * plan.ports);
    if (plan.latency && f.fifoOverruns == 0 && f.ringOverruns == 0)
        f.latency = latency.Percentiles();
    const double portFrames = double(plan.ports) * double(std::max<uint64_t>(f.bus.frames, 1));
    f.busDataShare = double(f.bus.bulkBytes) / (double(std::max<uint64_t>(f.bus.frames, 1)) * kFullSpeedBulkBytesPerSecond / 1000.0);
    f.busTimeShare = double(f.bus.bits) / (double(std::max<uint64_t>(f.bus.frames, 1)) * double(world::bus::kFrameTransactionBits));
    f.dataReadsPerPortFrame = double(f.bus.bulkInTransactions) / portFrames;
    f.writesPerPortFrame = double(f.bus.bulkTransactions - f.bus.bulkInTransactions) / portFrames;
    f.statusReadsPerPortFrame = double(f.bus.interruptTransactions) / portFrames;
    const double simulatedSeconds = double(f.frames) / 1000.0;
    f.cpuPerSimulatedSecond = simulatedSeconds > 0 ? f.cpuSeconds / simulatedSeconds : 0;
    f.cpuPerPortPerSimulatedSecond = f.cpuPerSimulatedSecond / plan.ports;
    return f;
}

KneeFigures FindKnee(unsigned from, unsigned to, double secondsPerRun)
{
    KneeFigures k;
    auto run = [&](unsigned n) {
        ScalePlan p;
        p.ports = n;
        p.seconds = secondsPerRun;
        p.latency = false;
        return Scale(p);
    };
    // The last count that holds and the first that does not, by bisection:
    // what one port takes of the bus grows with nothing but the count.
    unsigned low = from, high = to;
    ScaleFigures atLow = run(low);
    if (!atLow.sustained()) {
        k.knee = low;
        k.at = atLow;
    } else {
        ScaleFigures atHigh = run(high);
        if (atHigh.sustained())
            return k;  // no knee up to `to`
        while (high - low > 1) {
            unsigned mid = low + (high - low) / 2;
            ScaleFigures m = run(mid);
            if (m.sustained()) {
                low = mid;
                atLow = m;
            } else {
                high = mid;
                atHigh = m;
            }
        }
        k.knee = high;
        k.below = atLow;
        k.at = atHigh;
    }
    // What one port at line rate takes of each frame, from the last run that
    // held (or the knee's own, when even the first failed).
    const ScaleFigures &b = k.below.ports ? k.below : k.at;
    const double portFrames = double(b.ports) * double(std::max<uint64_t>(b.bus.frames, 1));
    const double outTransactions = double(b.bus.bulkTransactions - b.bus.bulkInTransactions);
    k.dataBits = 8.0 * double(b.bus.bulkBytes) / portFrames;
    k.readTransactionBits = double(b.bus.bulkInTransactions) * world::bus::kTransactionOverheadBits / portFrames;
    k.writeTransactionBits = outTransactions * world::bus::kTransactionOverheadBits / portFrames;
    k.statusBits = double(b.bus.interruptBits) / portFrames;
    k.bitsPerPortFrame = k.dataBits + k.readTransactionBits + k.writeTransactionBits + k.statusBits;
    k.idleReadsPerPortFrame = double(b.bus.zeroLengthBulkIn) / portFrames;
    const unsigned fill = unsigned(double(world::bus::kFrameTransactionBits) / std::max(k.bitsPerPortFrame, 1.0));
    char idle[128];
    if (k.idleReadsPerPortFrame > 0.0005)
        std::snprintf(idle, sizeof idle, "%.2f empty reads a frame that the latency timer ended",
                      k.idleReadsPerPortFrame);
    else
        std::snprintf(idle, sizeof idle, "no empty reads: the latency timer never runs out while data flows");
    char text[1024];
    std::snprintf(text, sizeof text,
                  "each port at %u baud full duplex takes %.0f bit times of every frame: %.0f for its data both "
                  "ways, %.0f for the %.2f packets of its data reads, %.0f for the %.2f packets of its writes and "
                  "%.0f for its %.2f line-status reads (%s); a frame has %lld for transactions (19 full bulk "
                  "packets), so %u ports would fill every frame, and at %u (%.0f on average) the frames in which "
                  "the ports' packets bunch run out of time",
                  b.baud, k.bitsPerPortFrame, k.dataBits, k.readTransactionBits, b.dataReadsPerPortFrame,
                  k.writeTransactionBits, b.writesPerPortFrame, k.statusBits, b.statusReadsPerPortFrame, idle,
                  static_cast<long long>(world::bus::kFrameTransactionBits), fill, k.knee,
                  k.bitsPerPortFrame * k.knee);
    k.why = text;
    return k;
}

}  // namespace perf
