// serve.cpp - `vcp serve --rfc2217`: the converter's port as an RFC 2217
// (Telnet COM Port Control) server.
#include "command_log.hpp"
#include "commands.hpp"

#include "bridge/line_peers.hpp"
#include "bridge/rfc2217_server.hpp"

#include <fmt/format.h>

#include <charconv>
#include <stdexcept>

namespace vcp {

using namespace std::chrono_literals;

namespace {

void ParseAddress(const std::string &text, std::string *host, uint16_t *port)
{
    std::string_view digits = text;
    *host = "127.0.0.1";
    if (size_t colon = text.rfind(':'); colon != std::string::npos) {
        *host = text.substr(0, colon);
        digits = std::string_view(text).substr(colon + 1);
    }
    unsigned value = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (host->empty() || ec != std::errc() || end != digits.data() + digits.size() || value > 65535)
        throw std::runtime_error("--rfc2217 " + text + ": expected [HOST:]PORT");
    *port = uint16_t(value);
}

}  // namespace

int RunServe(const ServeOptions &o, Signals &signals)
{
    Console console;
    TraceEcho echo(o.session);
    bridge::Rfc2217Server::Options so;
    ParseAddress(o.address, &so.host, &so.port);
    so.log = [&console](const std::string &s) { console.Line("rfc2217   " + s); };

    auto world = std::make_unique<WorldSession>(o.session);
    world->Plug();
    auto port = std::make_unique<PortSession>(world->norva(), world->filter(), world->child());
    if (bridge::PortOutcome r = port->Open(); !r.ok)
        throw std::runtime_error(r.message);
    bridge::SerialPort &serial = port->serial();

    auto server = std::make_unique<bridge::Rfc2217Server>(serial, so);
    server->Start();
    console.Line(fmt::format("serving   rfc2217://{}:{}", server->host(), server->port()));
    if (bridge::PtyPeer *peer = world->ptyPeer()) {
        std::string error;
        if (!o.peerLink.empty() && !peer->terminal().Link(o.peerLink, &error))
            throw std::runtime_error(error);
        console.Line(fmt::format("peer      {}{}  (the converter's serial side)", peer->terminal().path(),
                                 o.peerLink.empty() ? "" : " (" + o.peerLink + ")"));
    }
    console.Line(fmt::format("converter variant {}, {}; one client at a time; Ctrl-C unplugs and exits",
                             o.session.variant,
                             o.session.peer == "loopback" ? "loopback plug" : "line to " + o.session.peer));

    while (!signals.Wait(250ms)) {
        std::string steady = fmt::format("{} | {} {} | {} | {}", ToString(serial.Config()),
                                         serial.Dtr() ? "DTR" : "-DTR", serial.Rts() ? "RTS" : "-RTS",
                                         bridge::ModemStatusText(serial.ModemStatus()),
                                         server->clientConnected() ? "client connected" : "waiting for a client");
        console.Status(steady, fmt::format("to port {}, to client {}", Bytes(server->bytesToPort()),
                                           Bytes(server->bytesToClient())));
    }
    console.EndStatus();
    console.Line("stopping  unplugging the converter");

    port->serial().Cancel();
    server->Stop();
    world->Unplug(o.win98Unplug);
    bool told = port->Release();
    port.reset();
    if (!told)
        console.Line("unplug    the port was NOT told of the removal");
    bool unloaded = world->Unload();

    CommandLog log;
    log.Gather(*world);
    log.counters = {{"sessions", server->sessions()},
                    {"refused", server->refused()},
                    {"bytesToPort", server->bytesToPort()},
                    {"bytesToClient", server->bytesToClient()}};
    world->Shutdown();
    bool clean = ReportLeaks(console);
    ReportOutputs(console, o.session);
    if (!o.commandLog.empty())
        log.Write(o.commandLog, KernelLeakReport());
    if (!unloaded)
        console.Line("unload    a driver left a device object behind");
    return clean && unloaded && told ? 0 : 1;
}

}  // namespace vcp
