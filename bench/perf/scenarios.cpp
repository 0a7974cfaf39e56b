// scenarios.cpp - the measurements behind `vcp bench`.
#include "perf/scenarios.hpp"

#include "bridge/pty.hpp"
#include "usb/converter.hpp"

#include <platform/platform.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <stdexcept>
#include <system_error>
#include <unistd.h>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_ZERO_STATS
#define CALLGRIND_DUMP_STATS_AT(text)
#endif

namespace perf {

using namespace std::chrono_literals;

namespace {

constexpr Frame kUrbTallyEvery = 4096;  // the hub keeps a bounded log: take it often
constexpr Frame kQuietFrames = 200;     // nothing came for this long: the rest was lost

// Completed transfers by kind.
struct UrbTally {
    uint64_t dataReads = 0, statusReads = 0, writes = 0;
    uint64_t total() const { return dataReads + statusReads + writes; }
    void Add(const std::vector<world::UrbRecord> &urbs, Frame from = 0, Frame to = world::kNever)
    {
        for (const world::UrbRecord &u : urbs) {
            if (u.frame < from || u.frame >= to)
                continue;
            if (u.endpoint == world::ConverterDevice::kBulkIn)
                ++dataReads;
            else if (u.endpoint == world::ConverterDevice::kStatusIn)
                ++statusReads;
            else if (u.endpoint == world::ConverterDevice::kBulkOut)
                ++writes;
        }
    }
};

FramePercentiles Latencies(const Timeline &from, const Timeline &to, uint64_t count)
{
    FrameHistogram h;
    AddLatencies(from, to, count, &h);
    return h.Percentiles();
}

// The application's side of a pseudo-terminal: bytes written on the master
// are read back by a client holding the slave open, before the step goes on.
class PtyHop {
public:
    PtyHop()
    {
        client_ = ::open(pty_.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (client_ < 0)
            throw std::system_error(errno, std::generic_category(), "open " + pty_.path());
    }
    ~PtyHop() { ::close(client_); }
    PtyHop(const PtyHop &) = delete;
    PtyHop &operator=(const PtyHop &) = delete;

    // Passes the bytes through; returns what the client read (the same bytes).
    void Pass(std::span<const uint8_t> bytes, std::vector<uint8_t> *got)
    {
        got->resize(bytes.size());
        size_t written = pty_.Write(bytes, 5s);
        if (written != bytes.size())
            throw std::runtime_error("the pseudo-terminal took " + std::to_string(written) + " of " +
                                     std::to_string(bytes.size()) + " bytes");
        size_t have = 0;
        while (have < bytes.size()) {
            pollfd p{client_, POLLIN, 0};
            if (::poll(&p, 1, 5000) <= 0)
                throw std::runtime_error("the pseudo-terminal's client read nothing for 5 s");
            ssize_t n = ::read(client_, got->data() + have, bytes.size() - have);
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                throw std::system_error(errno, std::generic_category(), "read " + pty_.path());
            have += n > 0 ? size_t(n) : 0;
        }
    }

private:
    bridge::PseudoTerminal pty_;
    int client_ = -1;
};

}  // namespace

// ---------------------------------------------------------------------------

void AddLatencies(const Timeline &from, const Timeline &to, uint64_t count, FrameHistogram *h)
{
    size_t a = 0, d = 0;
    uint64_t k = 0;
    while (k < count) {
        while (a < from.size() && from[a] <= k)
            ++a;
        while (d < to.size() && to[d] <= k)
            ++d;
        if (a == from.size() || d == to.size())
            break;
        // Every byte from k up to the first that arrives or leaves later
        // shares these two frames.
        uint64_t run = std::min(from[a], to[d]) - k;
        h->Add(d >= a ? d - a + 1 : 0, run);
        k += run;
    }
}

double Share(uint64_t bytes, Frame frames, uint32_t baud)
{
    if (frames == 0)
        return 0;
    return double(bytes) / (double(frames) / 1000.0) / LineBytesPerSecond(baud);
}

void FrameHistogram::Add(uint64_t frames, uint64_t count)
{
    if (counts_.size() <= frames)
        counts_.resize(frames + 1);
    counts_[frames] += count;
}

FramePercentiles FrameHistogram::Percentiles() const
{
    FramePercentiles p;
    for (uint64_t c : counts_)
        p.samples += c;
    if (p.samples == 0)
        return p;
    auto at = [&](double q) {
        uint64_t rank = uint64_t(std::ceil(q * double(p.samples)));
        uint64_t seen = 0;
        for (size_t f = 0; f < counts_.size(); ++f) {
            seen += counts_[f];
            if (seen >= std::max<uint64_t>(rank, 1))
                return uint64_t(f);
        }
        return uint64_t(counts_.size() - 1);
    };
    p.p50 = at(0.50);
    p.p99 = at(0.99);
    for (size_t f = counts_.size(); f-- > 0;)
        if (counts_[f]) {
            p.max = f;
            break;
        }
    return p;
}

bool DuplexFigures::sustained() const
{
    return lost == 0 && txShare >= 0.995 && rxShare >= 0.995;
}

// ---------------------------------------------------------------------------
// Duplex through the loopback plug

DuplexFigures Duplex(const DuplexPlan &plan)
{
    Rig rig({.variant = plan.variant, .observer = plan.observer});
    DuplexFigures f;
    f.variant = plan.variant;
    f.baud = plan.baud;
    f.bytes = plan.bytes;
    f.settable = rig.SetLine(plan.baud);
    if (plan.variant != 0)
        rig.SetOutputLines(true);

    std::vector<uint8_t> sent(plan.bytes);
    Pattern().Fill(0, sent);
    std::vector<uint8_t> in(64 * 1024), passed;
    std::optional<PtyHop> pty;
    if (plan.throughPty)
        pty.emplace();

    world::PortModel &port = rig.port();
    uint64_t written = 0, readBack = 0, throughPty = 0, dataCalls = 0;
    Frame lastDataCall = 0;
    Timeline arrived, delivered, atPty;
    Span tx, rx;
    UrbTally urbs;
    // Time enough for the line, and as much again, before giving up.
    const Frame limit = Frame(double(plan.bytes) / LineBytesPerSecond(plan.baud) * 2000.0) + 2000;

    f.frames = rig.Run([&](Frame frame) {
        if (written < plan.bytes)
            written += port.Write(std::span(sent).subspan(written)).bytes;
        for (;;) {
            world::PortResult r = port.Read(in, 0ms);
            if (r.bytes == 0)
                break;
            for (size_t k = 0; k < r.bytes; ++k)
                f.corrupted += readBack + k >= sent.size() || in[k] != sent[readBack + k];
            readBack += r.bytes;
            if (pty) {
                pty->Pass(std::span(in).first(r.bytes), &passed);
                throughPty += std::equal(passed.begin(), passed.end(), in.begin()) ? passed.size() : 0;
            }
        }
        const uint64_t onLine = rig.line().bytes();
        const world::PortCounters counters = port.Counters();
        const uint64_t atCallback = counters.bytesIn;
        if (counters.dataCalls > dataCalls) {
            // The longest wait between two data reads while the line was busy.
            if (dataCalls && onLine < plan.bytes)
                f.longestDataGap = std::max(f.longestDataGap, frame - lastDataCall);
            dataCalls = counters.dataCalls;
            lastDataCall = frame;
        }
        tx.Sample(frame, onLine);
        rx.Sample(frame, atCallback);
        if (plan.latency) {
            arrived.push_back(onLine);
            delivered.push_back(atCallback);
            atPty.push_back(throughPty);
        }
        // Done when everything is back, or the line has carried everything
        // and nothing more has come for a while (bytes were lost).
        const bool quiet = onLine >= plan.bytes && frame > rx.last + kQuietFrames;
        const bool more = readBack < plan.bytes && frame < limit && !quiet;
        if (!more || frame % kUrbTallyEvery == kUrbTallyEvery - 1)
            urbs.Add(rig.TakeUrbs());
        if (!more) {
            // Taken inside the run: once it ends, the clock goes on without it.
            world::PortCounters c = port.Counters();
            f.onLine = onLine;
            f.delivered = c.bytesIn;
            f.fifoOverruns = rig.converter().rxLostBytes();
            f.ringOverruns = c.overrunBytes;
            f.holds = c.holds;
            f.dataCalls = c.dataCalls;
        }
        return more;
    });

    f.read = readBack;
    f.lost = plan.bytes - std::min(plan.bytes, readBack - std::min(readBack, f.corrupted));
    f.txFrames = tx.frames();
    f.rxFrames = rx.frames();
    f.txShare = Share(tx.seen, f.txFrames, plan.baud);
    f.rxShare = Share(rx.seen, f.rxFrames, plan.baud);
    f.dataReads = urbs.dataReads;
    f.statusReads = urbs.statusReads;
    f.writes = urbs.writes;
    f.dataReadEvery = f.dataCalls ? double(f.rxFrames) / double(f.dataCalls) : 0;
    if (plan.latency && f.fifoOverruns == 0 && f.ringOverruns == 0) {
        f.toCallback = Latencies(arrived, delivered, f.delivered);
        if (pty)
            f.toPty = Latencies(arrived, atPty, throughPty);
    }
    return f;
}

// ---------------------------------------------------------------------------
// Rate sweep

std::span<const uint32_t> StandardRates()
{
    static constexpr uint32_t kRates[] = {9600,   19200,  38400,  57600,   115200,  230400,
                                          460800, 921600, 1500000, 2000000, 3000000};
    return kRates;
}

RateSweepFigures RateSweep(int variant, double secondsPerRate)
{
    RateSweepFigures s;
    s.variant = variant;
    for (uint32_t baud : StandardRates()) {
        DuplexPlan plan;
        plan.variant = variant;
        plan.baud = baud;
        plan.bytes = std::max<uint64_t>(1024, uint64_t(LineBytesPerSecond(baud) * secondsPerRate));
        plan.latency = false;
        RateRow row;
        row.baud = baud;
        row.figures = Duplex(plan);
        row.settable = row.figures.settable;
        const bool held = row.figures.sustained();
        if (held && s.firstFailing == 0)
            s.highestSustained = baud;
        if (!held && s.firstFailing == 0) {
            s.firstFailing = baud;
            const DuplexFigures &d = row.figures;
            s.dataReadEvery = d.dataReadEvery;
            const double perFrame = LineBytesPerSecond(baud) / 1000.0;
            char text[512];
            const double fifo = double(RigOptions{}.rxFifo);
            if (d.fifoOverruns && variant != 0) {
                std::snprintf(text, sizeof text,
                              "receive FIFO overrun (%llu bytes lost): every data read is followed by a line-status "
                              "read, so data reads come every %.1f frames, and every %llu when a data read ends in a "
                              "frame in which the interrupt endpoint (every 2 frames) cannot answer; the %.0f-byte "
                              "FIFO holds %.1f frames of line time at %u baud (%.0f bytes a frame)",
                              (unsigned long long)d.fifoOverruns, d.dataReadEvery,
                              (unsigned long long)d.longestDataGap, fifo, fifo / perFrame, baud, perFrame);
            } else if (d.fifoOverruns) {
                std::snprintf(text, sizeof text,
                              "receive FIFO overrun (%llu bytes lost): data reads every %.1f frames, at longest %llu; "
                              "the %.0f-byte FIFO holds %.1f frames of line time at %u baud (%.0f bytes a frame)",
                              (unsigned long long)d.fifoOverruns, d.dataReadEvery,
                              (unsigned long long)d.longestDataGap, fifo, fifo / perFrame, baud, perFrame);
            } else if (d.txShare < 0.995) {
                std::snprintf(text, sizeof text,
                              "transmit underrun: the line carried %.1f%% of its rate; the %zu-byte transmit FIFO "
                              "holds %.1f frames of line time and runs dry between writes",
                              d.txShare * 100, size_t(RigOptions{}.txFifo), double(RigOptions{}.txFifo) / perFrame);
            } else {
                std::snprintf(text, sizeof text, "%llu bytes lost at the port, receive at %.1f%% of the line rate",
                              (unsigned long long)d.lost, d.rxShare * 100);
            }
            s.why = text;
        }
        s.rows.push_back(std::move(row));
    }
    return s;
}

// ---------------------------------------------------------------------------
// Idle

IdleFigures Idle(int variant, Frame idleFrames, unsigned lineChanges, std::shared_ptr<world::UrbObserver> observer)
{
    RigOptions o;
    o.variant = variant;
    o.observer = std::move(observer);
    o.loopback = false;  // the step drives the converter's input lines itself
    Rig rig(o);
    rig.SetLine(115200);
    IdleFigures fig;
    fig.variant = variant;
    fig.latencyTimer = o.latencyFrames;
    fig.idleFrames = idleFrames;

    constexpr Frame kWarmUp = 100;
    constexpr Frame kChangeEvery = 97;  // prime: the changes meet the polling cycle at every phase
    const Frame idleEnd = kWarmUp + idleFrames;
    world::PortModel &port = rig.port();
    UrbTally urbs;
    FrameHistogram latency;
    bool on = false;
    Frame changedAt = world::kNever;
    unsigned changes = 0;

    rig.Run([&](Frame frame) {
        if (frame == kWarmUp)
            rig.TakeUrbs();
        if (frame == idleEnd) {
            urbs.Add(rig.TakeUrbs(), rig.frame() - frame + kWarmUp, rig.frame() - frame + idleEnd);
        }
        if (frame < idleEnd)
            return true;
        constexpr UCHAR kMask = 0xB0;  // CTS, DSR, DCD
        if (changedAt != world::kNever && (port.ModemStatus() & kMask) == (on ? kMask : 0)) {
            latency.Add(frame - changedAt);
            changedAt = world::kNever;
        }
        if ((frame - idleEnd) % kChangeEvery == 0) {
            if (changedAt != world::kNever)
                ++fig.lineChangesMissed;
            if (changes == lineChanges)
                return false;
            on = !on;
            rig.converter().SetInputLines({.cts = on, .dsr = on, .dcd = on, .ri = false});
            changedAt = frame;
            ++changes;
        }
        return true;
    });
    fig.transfers = urbs.total();
    fig.dataReads = urbs.dataReads;
    fig.statusReads = urbs.statusReads;
    const double seconds = double(idleFrames) / 1000.0;
    fig.transfersPerSecond = double(fig.transfers) / seconds;
    fig.dataReadsPerSecond = double(fig.dataReads) / seconds;
    fig.statusReadsPerSecond = double(fig.statusReads) / seconds;
    fig.lineChanges = changes;
    fig.lineChange = latency.Percentiles();
    return fig;
}

// ---------------------------------------------------------------------------
// Host cost

RigOptions HostCostRig()
{
    RigOptions o;
    o.variant = 2;
    o.loopback = false;  // transmitted bytes leave on an open line; received ones come from the step
    o.paced = false;
    // Room for what the receive run keeps on the line ahead of its reader
    // (64 KiB and a piece), and small enough to stay in the cache as a
    // converter's buffer does.
    o.rxFifo = 128 * 1024;
    return o;
}

HostCostFigures HostCost(bool receive, uint64_t bytes)
{
    Rig rig(HostCostRig());
    return HostCost(rig, receive, bytes);
}

HostCostFigures HostCost(Rig &rig, bool receive, uint64_t bytes)
{
    HostCostFigures h;
    h.receive = receive;
    h.bytes = bytes;

    // Transmit: 64 KiB handed to the port at a time.  Receive: the line is
    // kept at least 64 KiB ahead of the reader, fed in pieces of what a
    // sender may put on a converter's wire at once (kWireBytes), as a line
    // brings bytes a little at a time rather than in one great block.
    constexpr size_t kChunk = 64 * 1024;
    constexpr size_t kPiece = world::ConverterDevice::kWireBytes;
    static_assert(kChunk % kPiece == 0);
    std::vector<uint8_t> chunk, in;  // made in frame 0 (below)
    size_t fed = 0;        // where in chunk the next piece begins
    uint64_t lineBytes = 0;  // put on the receive line so far
    world::PortModel &port = rig.port();
    world::ConverterDevice &converter = rig.converter();
    uint64_t moved = 0;
    const uint64_t lineBefore = rig.line().bytes();

    // Counted from the first frame after the open to the last.
    struct Mark {
        uint64_t allocations = 0, irps = 0, moved = 0;
        uint64_t norvaPool = 0, tembrisPool = 0;
        world::PortCounters counters;
        std::chrono::steady_clock::time_point time;
        double cpu = 0;  // the process's CPU seconds
    };
    auto mark = [&] {
        return Mark{platform::PoolAllocationCount(), platform::IrpAllocationCount(), moved,
                    platform::PoolAllocationsOfDriver("norva"), platform::PoolAllocationsOfDriver("tembris"),
                    port.Counters(), std::chrono::steady_clock::now(), ProcessCpuSeconds()};
    };
    Mark first, last;
    h.frames = rig.Run(
        [&](Frame frame) {
            if (frame == 0) {
                // Made on the thread that runs the stretch, before the counts
                // are zeroed: callgrind's summary keeps what other threads
                // did before the stretch (callgrind-per-byte.sh counts the
                // stretch's own lines).
                chunk.resize(kChunk);
                in.resize(kChunk);
                Pattern().Fill(0, chunk);
            }
            if (frame == 1) {
                first = mark();
                CALLGRIND_ZERO_STATS;  // under callgrind: count the measured stretch alone
            }
            if (receive) {
                // Nothing is lost on an unpaced line while the converter's
                // buffer has room for what is ahead: what was put on the line
                // and not read yet is on its way (checked at the end).
                while (lineBytes < moved + kChunk) {
                    converter.ReceiveFromLine(std::span(chunk).subspan(fed, kPiece));
                    fed = (fed + kPiece) % kChunk;
                    lineBytes += kPiece;
                }
                // The ring holds at most in.size() bytes: one read takes them all.
                moved += port.Read(in, 0ms).bytes;
            } else {
                port.Write(chunk);
                moved = rig.line().bytes() - lineBefore;
            }
            if (frame >= 1 && moved >= bytes) {
                CALLGRIND_DUMP_STATS_AT("host cost");
                last = mark();
                return false;
            }
            return true;
        },
        /*fullSpeedBandwidth=*/false);
    if (uint64_t lost = converter.rxLostBytes())
        throw std::runtime_error("host cost: the converter lost " + std::to_string(lost) + " bytes from its line");
    h.allocations = last.allocations - first.allocations;
    h.irps = last.irps - first.irps;
    h.norvaPool = last.norvaPool - first.norvaPool;
    h.tembrisPool = last.tembrisPool - first.tembrisPool;
    h.bytes = last.moved - first.moved;
    h.seconds = std::chrono::duration<double>(last.time - first.time).count();
    h.bytesPerSecond = h.seconds > 0 ? double(h.bytes) / h.seconds : 0;
    h.ratioToFullSpeed = h.bytesPerSecond / kFullSpeedBulkBytesPerSecond;
    h.cpuSeconds = last.cpu - first.cpu;
    h.bytesPerCpuSecond = h.cpuSeconds > 0 ? double(h.bytes) / h.cpuSeconds : 0;
    h.cycles = receive ? last.counters.statusCalls - first.counters.statusCalls
                       : last.counters.transfers - first.counters.transfers;
    h.allocationsPerCycle = h.cycles ? double(h.allocations) / double(h.cycles) : 0;
    return h;
}

}  // namespace perf
