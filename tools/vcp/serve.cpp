// serve.cpp - `vcp serve --rfc2217`: the converter's port as an RFC 2217
// (Telnet COM Port Control) server.
#include "command_log.hpp"
#include "commands.hpp"
#include "losses.hpp"

#include "bridge/line_peers.hpp"
#include "bridge/rfc2217_server.hpp"

#include <fmt/format.h>

#include <charconv>
#include <stdexcept>

namespace vcp {

using namespace std::chrono_literals;

// "2217", "127.0.0.1:2217", "[::1]:2217", "0.0.0.0:0".
void ParseListenAddress(const std::string &text, std::string *host, uint16_t *port)
{
    const auto bad = [&] {
        return UsageError("--rfc2217 " + text + ": expected [HOST:]PORT, HOST an IPv4 address, [an IPv6 address] "
                          "or localhost");
    };
    std::string_view rest = text;
    *host = "127.0.0.1";
    if (!rest.empty() && rest.front() == '[') {
        size_t close = rest.find(']');
        if (close == std::string_view::npos || close + 1 >= rest.size() || rest[close + 1] != ':')
            throw bad();
        *host = std::string(rest.substr(1, close - 1));
        rest.remove_prefix(close + 2);
    } else if (size_t colon = rest.rfind(':'); colon != std::string_view::npos) {
        *host = std::string(rest.substr(0, colon));
        if (host->find(':') != std::string::npos)
            throw bad();  // an IPv6 address needs its brackets
        rest.remove_prefix(colon + 1);
    }
    unsigned value = 0;
    auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), value);
    if (host->empty() || rest.empty() || ec != std::errc() || end != rest.data() + rest.size() || value > 65535)
        throw bad();
    *port = uint16_t(value);
}

int RunServe(const ServeOptions &o, Signals &signals)
{
    Console console;
    TraceEcho echo(o.session);
    bridge::Rfc2217Server::Options so;
    ParseListenAddress(o.address, &so.host, &so.port);
    so.idleLimit = std::chrono::seconds(o.idleTimeout);
    so.log = [&console](const std::string &s) { console.Line("rfc2217   " + s); };

    SessionOptions session = o.session;
    session.peerLog = [&console](const std::string &s) { console.Line("peer      " + s); };
    auto world = std::make_unique<WorldSession>(session);
    world->Plug();
    auto port = std::make_unique<PortSession>(world->norva(), world->filter(), world->child(), o.session.rxBuffer);
    if (bridge::PortOutcome r = port->Open(); !r.ok)
        throw std::runtime_error(r.message);
    bridge::PortModelPort &serial = port->serial();
    serial.SetOverrunsBelow([&w = *world] { return w.converterOverruns(); });

    auto server = std::make_unique<bridge::Rfc2217Server>(serial, so);
    server->Start();
    console.Line(fmt::format("serving   {}", server->url()));
    if (server->reachableFromOutside())
        console.Line("WARNING   this port can be reached from other machines, and RFC 2217 has no "
                     "authentication: anyone who can connect can use the serial line");
    if (bridge::PtyPeer *peer = world->ptyPeer()) {
        std::string error, note;
        if (!o.peerLink.empty() && !peer->terminal().Link(o.peerLink, &error, &note))
            throw std::runtime_error(error);
        if (!note.empty())
            console.Line("link      " + note);
        console.Line(fmt::format("peer      {}{}  (the converter's serial side)", peer->terminal().path(),
                                 o.peerLink.empty() ? "" : " (" + o.peerLink + ")"));
    }
    console.Line(fmt::format("converter variant {}, {}; one client at a time; Ctrl-C unplugs and exits",
                             o.session.variant,
                             o.session.peer == "loopback" ? "loopback plug" : "line to " + o.session.peer));

    auto losses = [&] {
        Losses l = GatherLosses(*world, port.get());
        l.clients = server->bytesDropped();
        return l;
    };
    while (!signals.Wait(250ms)) {
        const Losses lost = losses();
        std::string steady = fmt::format("{} | {} {} | {} | {}{}", ToString(serial.Config()),
                                         serial.Dtr() ? "DTR" : "-DTR", serial.Rts() ? "RTS" : "-RTS",
                                         bridge::ModemStatusText(serial.ModemStatus()),
                                         server->clientConnected() ? "client connected" : "waiting for a client",
                                         lost.total() ? " | DATA LOST" : "");
        console.Status(steady, fmt::format("to port {}, to client {}{}", Bytes(server->bytesToPort()),
                                           Bytes(server->bytesToClient()),
                                           lost.total() ? ", lost " + Bytes(lost.total()) : ""));
    }
    console.EndStatus();
    console.Line("stopping  unplugging the converter");

    port->serial().Cancel();
    server->Stop();
    world->Unplug(o.win98Unplug);
    const Losses lost = losses();  // the converter is gone: nothing more is lost
    const PortCountersView counters = port->Counters();
    bool told = port->Release();
    port.reset();
    if (!told)
        console.Line("unplug    the port was NOT told of the removal");
    bool unloaded = world->Unload();

    CommandLog log;
    log.Gather(*world);
    log.losses = lost;
    log.counters = {{"sessions", server->sessions()},
                    {"refused", server->refused()},
                    {"bytesToPort", server->bytesToPort()},
                    {"bytesToClient", server->bytesToClient()},
                    {"clientBytesDropped", server->bytesDropped()},
                    {"overrunReports", server->overrunReports()},
                    {"logLinesLeftOut", server->logLinesSuppressed()},
                    {"purgedReceived", counters.purgedIn},
                    {"purgedUnsent", counters.purgedOut}};
    if (bridge::ExternalPeer *peer = world->externalPeer()) {
        log.counters.emplace_back("peerBytesToLine", peer->bytesToLine());
        log.counters.emplace_back("peerBytesFromLine", peer->bytesFromLine());
        log.counters.emplace_back("peerBytesDropped", peer->bytesDropped());
    }
    world->Shutdown();
    console.Line("loss      " + lost.Describe());
    bool clean = ReportLeaks(console);
    ReportOutputs(console, o.session);
    if (!o.commandLog.empty())
        log.Write(o.commandLog, KernelLeakReport());
    if (!unloaded)
        console.Line("unload    a driver left a device object behind");
    return clean && unloaded && told ? 0 : 1;
}

}  // namespace vcp
