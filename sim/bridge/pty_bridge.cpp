// pty_bridge.cpp - bytes and settings between a pseudo-terminal and a port.
#include "bridge/pty_bridge.hpp"
#include "thread_name.hpp"

#include <optional>
#include <vector>

namespace bridge {

using namespace std::chrono_literals;

PtyBridge::PtyBridge(SerialPort &port, PseudoTerminal &pty, Options options)
    : port_(port), pty_(pty), options_(std::move(options))
{
    const SerialConfig c = port_.Config();
    seen_ = {c.baud, c.stopBits == StopBits::Two};
    pty_.SetLine(seen_);
}

PtyBridge::~PtyBridge()
{
    Stop();
}

void PtyBridge::Say(const std::string &text)
{
    if (options_.log)
        options_.log(text);
}

void PtyBridge::Start()
{
    toPortThread_ = std::jthread([this](std::stop_token s) {
        world::NameThisThread("vcp-pty-in");
        ToPort(s);
    });
    fromPortThread_ = std::jthread([this](std::stop_token s) {
        world::NameThisThread("vcp-pty-out");
        FromPort(s);
    });
}

void PtyBridge::Stop()
{
    for (std::jthread *t : {&toPortThread_, &fromPortThread_}) {
        t->request_stop();
        if (t->joinable())
            t->join();
    }
}

void PtyBridge::FollowTerminal()
{
    std::lock_guard guard(followMutex_);
    const PseudoTerminal::LineView now = pty_.Line();
    if (now == seen_)
        return;
    // Speed 0 (B0) hangs the line up: a serial port drops DTR and RTS, and
    // raises them again when it is given a speed.
    if ((now.speed == 0) != hungUp_) {
        hungUp_ = now.speed == 0;
        PortOutcome dtr = port_.SetDtr(!hungUp_);
        PortOutcome rts = port_.SetRts(!hungUp_);
        if (hungUp_)
            ++hangUps_;
        std::string failed = !dtr.ok ? dtr.message : !rts.ok ? rts.message : "";
        Say(std::string(hungUp_ ? "hang-up (speed 0): DTR and RTS off" : "a speed again: DTR and RTS on") +
            (failed.empty() ? "" : " failed (" + failed + ")"));
    }
    if (now.speed == 0) {
        seen_ = now;
        return;
    }

    SerialConfig wanted = port_.Config();
    wanted.baud = now.speed;
    wanted.stopBits = now.twoStopBits ? StopBits::Two : StopBits::One;
    if (wanted == port_.Config()) {
        seen_ = now;
        return;
    }
    PortOutcome o = port_.Configure(wanted);
    const SerialConfig inForce = port_.Config();
    if (o.ok) {
        ++changes_;
        seen_ = now;
        Say("line settings now " + ToString(inForce));
        return;
    }
    // Refused: the terminal goes back to what the port runs at.
    ++refusals_;
    seen_ = {inForce.baud, inForce.stopBits == StopBits::Two};
    pty_.SetLine(seen_);
    Say("refused " + ToString(wanted) + (o.message.empty() ? "" : " (" + o.message + ")") +
        "; the terminal is back at " + ToString(inForce));
}

// The application's tcflush reaches the port: what it had not read yet, or
// had written but the line has not carried yet, is dropped there too.
void PtyBridge::Purge(bool input, bool output)
{
    PortOutcome o = port_.Purge(input, output);
    ++purges_;
    Say(std::string("purged ") + (input && output ? "both sides" : input ? "the receive side" : "the transmit side") +
        (o.ok ? "" : " (" + o.message + ")"));
}

void PtyBridge::ToPort(std::stop_token stop)
{
    using Clock = std::chrono::steady_clock;
    // Up to 64 KiB at a time: what the application wrote while the last
    // batch went to the port goes on in one write, so the port is kicked
    // once per batch rather than once per terminal read.
    std::vector<uint8_t> buffer(64 * 1024);
    auto nextWatch = Clock::now() + options_.watchInterval;
    std::optional<Clock::time_point> settleAt;  // a notified change waits for quiet
    while (!stop.stop_requested() && !gone_) {
        auto wait = settleAt ? std::max(std::chrono::milliseconds(1),
                                        std::chrono::duration_cast<std::chrono::milliseconds>(*settleAt - Clock::now()))
                             : options_.watchInterval;
        PseudoTerminal::ReadResult r = pty_.Read(buffer, std::min(wait, options_.watchInterval));
        if (r.closed)
            break;
        if (r.settingsChanged)
            settleAt = Clock::now() + options_.settle;
        if (r.flushedInput || r.flushedOutput)
            Purge(r.flushedInput, r.flushedOutput);
        // More that is already there joins the batch; a settings change ends it.
        while (r.bytes && r.bytes < buffer.size() && !r.settingsChanged) {
            PseudoTerminal::ReadResult more = pty_.Read(std::span(buffer).subspan(r.bytes), 0ms);
            if (more.closed || more.bytes == 0) {
                if (more.settingsChanged)
                    settleAt = Clock::now() + options_.settle;
                if (more.flushedInput || more.flushedOutput)
                    Purge(more.flushedInput, more.flushedOutput);
                if (more.flushedOutput)
                    r.bytes = 0;  // written before the flush: discarded with it
                break;
            }
            r.bytes += more.bytes;
        }
        // Settings before the bytes that follow them: bytes written after a
        // change of speed go at the new speed.
        const auto now = Clock::now();
        if ((settleAt && now >= *settleAt) || (!settleAt && now >= nextWatch)) {
            FollowTerminal();
            settleAt.reset();
            nextWatch = now + options_.watchInterval;
        }
        size_t done = 0;
        while (done < r.bytes && !stop.stop_requested()) {
            PortTransfer t = port_.Write(std::span(buffer).subspan(done, r.bytes - done), 100ms);
            done += t.bytes;
            toPort_ += t.bytes;
            if (t.removed) {
                gone_ = true;
                break;
            }
        }
    }
}

void PtyBridge::FromPort(std::stop_token stop)
{
    std::vector<uint8_t> buffer(4096);
    while (!stop.stop_requested()) {
        PortTransfer t = port_.Read(buffer, 100ms);
        if (t.removed && t.bytes == 0) {
            gone_ = true;
            break;
        }
        size_t done = 0;
        // An application that does not read holds the port's data back (the
        // port then holds reception), as a real terminal would.
        while (done < t.bytes && !stop.stop_requested())
            done += pty_.Write(std::span(buffer).subspan(done, t.bytes - done), 100ms);
        fromPort_ += done;
    }
}

}  // namespace bridge
