// pty_cmd.cpp - `vcp pty`: the converter's port as a Linux pseudo-terminal.
#include "command_log.hpp"
#include "commands.hpp"
#include "losses.hpp"
#include "outputs.hpp"

#include "bridge/line_peers.hpp"
#include "bridge/pty_bridge.hpp"

#include <fmt/format.h>

#include <stdexcept>
#include <utility>

namespace vcp {

using namespace std::chrono_literals;

namespace {

std::string LineState(bridge::SerialPort &port)
{
    return fmt::format("{} | {} {} | {}", ToString(port.Config()), port.Dtr() ? "DTR" : "-DTR",
                       port.Rts() ? "RTS" : "-RTS", bridge::ModemStatusText(port.ModemStatus()));
}

}  // namespace

int RunPty(const PtyOptions &o, Signals &signals)
{
    Console console;
    TraceEcho echo(o.session);
    bridge::SerialConfig initial;
    initial.baud = o.baud;
    if (!bridge::ParseFormat(o.format, &initial))
        throw UsageError("--format " + o.format + ": expected data bits, parity and stop bits, as 8N1 or 7E2");

    // The terminal and its link first: a link that cannot be made stops vcp
    // before anything is plugged.
    bridge::PseudoTerminal pty;
    std::string error, note;
    if (!o.link.empty() && !pty.Link(o.link, &error, &note))
        throw std::runtime_error(error);
    if (!note.empty())
        console.Line("link      " + std::exchange(note, {}));

    SessionOptions so = o.session;
    so.peerLog = [&console](const std::string &s) { console.Line("peer      " + s); };
    WorldSession world(so);
    world.Plug();
    auto port = std::make_unique<PortSession>(world.norva(), world.filter(), world.child(), o.session.rxBuffer);
    if (bridge::PortOutcome r = port->Open(); !r.ok)
        throw std::runtime_error(r.message);

    bridge::PortModelPort &serial = port->serial();
    serial.SetOverrunsBelow([&world] { return world.converterOverruns(); });
    if (bridge::PortOutcome r = serial.Configure(initial); !r.ok)
        console.Line(fmt::format("settings  {} refused: {}; the port stays at {}", ToString(initial), r.message,
                                 ToString(serial.Config())));
    // A serial port raises DTR and RTS when it is opened.
    serial.SetDtr(true);
    serial.SetRts(true);

    if (bridge::PtyPeer *peer = world.ptyPeer();
        peer && !o.peerLink.empty() && !peer->terminal().Link(o.peerLink, &error, &note))
        throw std::runtime_error(error);
    if (!note.empty())
        console.Line("link      " + note);

    bridge::PtyBridge::Options bo;
    bo.log = [&console](const std::string &s) { console.Line("settings  " + s); };
    bridge::PtyBridge bridge(serial, pty, bo);
    bridge.Start();

    console.Line(fmt::format("port      {}{}", pty.path(), o.link.empty() ? "" : " (" + o.link + ")"));
    if (bridge::PtyPeer *peer = world.ptyPeer())
        console.Line(fmt::format("peer      {}{}  (the converter's serial side)", peer->terminal().path(),
                                 o.peerLink.empty() ? "" : " (" + o.peerLink + ")"));
    else if (world.tcpPeer())
        console.Line(fmt::format("peer      {} (the converter's serial side)", o.session.peer));
    else
        console.Line("peer      loopback plug: what you send comes back, RTS->CTS, DTR->DSR+DCD");
    console.Line(fmt::format("converter variant {}; {}; Ctrl-C unplugs and exits", o.session.variant,
                             o.session.realtime ? "paced in real time" : "as fast as the machine goes"));

    std::optional<int> sig;
    while (!(sig = signals.Wait(250ms)) && !bridge.portGone()) {
        const Losses lost = GatherLosses(world, port.get());
        std::string moving = fmt::format("to port {}, from port {}{}", Bytes(bridge.bytesToPort()),
                                         Bytes(bridge.bytesFromPort()),
                                         lost.total() ? ", lost " + Bytes(lost.total()) : "");
        console.Status(LineState(serial) + (lost.total() ? " | DATA LOST" : ""), moving);
    }
    console.EndStatus();
    console.Line(sig ? "stopping  unplugging the converter" : "stopping  the port is gone");

    bridge.Stop();
    port->serial().Cancel();
    world.Unplug(o.win98Unplug);
    const Losses lost = GatherLosses(world, port.get());  // the converter is gone: nothing more is lost
    const PortCountersView counters = port->Counters();
    bool told = port->Release();
    port.reset();
    if (!told)
        console.Line("unplug    the port was NOT told of the removal");
    bool unloaded = world.Unload();
    CommandLog log;
    log.Gather(world);
    log.losses = lost;
    log.counters = {{"bytesToPort", bridge.bytesToPort()},
                    {"bytesFromPort", bridge.bytesFromPort()},
                    {"settingsChanges", bridge.settingsChanges()},
                    {"refusals", bridge.refusals()},
                    {"hangUps", bridge.hangUps()},
                    {"purgedReceived", counters.purgedIn},
                    {"purgedUnsent", counters.purgedOut}};
    if (bridge::ExternalPeer *peer = world.externalPeer()) {
        log.counters.emplace_back("peerBytesToLine", peer->bytesToLine());
        log.counters.emplace_back("peerBytesFromLine", peer->bytesFromLine());
        log.counters.emplace_back("peerBytesDropped", peer->bytesDropped());
    }
    world.Shutdown();
    console.Line("loss      " + lost.Describe());
    if (!unloaded)
        console.Line("unload    a driver left a device object behind");
    bool clean = ReportLeaks(console);
    ReportOutputs(console, o.session);
    if (!o.commandLog.empty())
        log.Write(o.commandLog, KernelLeakReport());
    return clean && unloaded && told ? 0 : 1;
}

void ReportOutputs(Console &console, const SessionOptions &session)
{
    if (std::string capture = CaptureSummary(session); !capture.empty())
        console.Line("capture   " + capture);
    if (std::string log = DebugLogSummary(session); !log.empty())
        console.Line("debug log " + log);
}

bool ReportLeaks(Console &console)
{
    std::string leaks = KernelLeakReport();
    if (leaks.empty()) {
        console.Line("clean     nothing left in the kernel");
        return true;
    }
    console.Line("leak      the kernel is not clean: " + leaks);
    return false;
}

}  // namespace vcp
