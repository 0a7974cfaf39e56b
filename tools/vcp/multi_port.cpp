// multi_port.cpp - `vcp serve --ports N` and `vcp pty --ports N`: N
// converters on one hub, each port offered on its own (an RFC 2217 server on
// BASE+K, a pseudo-terminal linked at PREFIXK), each with its own settings,
// lines, clients, losses and status; any one may be unplugged and plugged
// again while the others go on.
#include "command_log.hpp"
#include "commands.hpp"
#include "losses.hpp"

#include "bridge/line_peers.hpp"
#include "bridge/pty_bridge.hpp"
#include "bridge/rfc2217_server.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <poll.h>
#include <stdexcept>
#include <unistd.h>
#include <utility>

namespace vcp {

using namespace std::chrono_literals;

namespace {

// What one port offers the outside.
class Face {
public:
    virtual ~Face() = default;
    virtual std::string where() const = 0;  // the URL or the terminal
    virtual std::string who() const = 0;    // "client connected", ...
    virtual uint64_t toPort() const = 0;
    virtual uint64_t fromPort() const = 0;
    virtual uint64_t clientDrops() const { return 0; }
    virtual bool gone() const { return false; }  // the port went away under it
    virtual void Stop() = 0;
    virtual std::vector<std::pair<std::string, uint64_t>> Counters() const = 0;
};

class ServerFace : public Face {
public:
    ServerFace(bridge::PortModelPort &port, bridge::Rfc2217Server::Options o) : port_(port), server_(port, std::move(o))
    {
        server_.Start();
    }
    std::string where() const override { return server_.url(); }
    std::string who() const override { return server_.clientConnected() ? "client connected" : "waiting for a client"; }
    uint64_t toPort() const override { return server_.bytesToPort(); }
    uint64_t fromPort() const override { return server_.bytesToClient(); }
    uint64_t clientDrops() const override { return server_.bytesDropped(); }
    // The port's waits end first, so that a session blocked on it ends too.
    void Stop() override
    {
        port_.Cancel();
        server_.Stop();
    }
    bool outside() const { return server_.reachableFromOutside(); }
    uint16_t port() const { return server_.port(); }
    std::vector<std::pair<std::string, uint64_t>> Counters() const override
    {
        return {{"sessions", server_.sessions()},
                {"refused", server_.refused()},
                {"bytesToPort", server_.bytesToPort()},
                {"bytesToClient", server_.bytesToClient()},
                {"clientBytesDropped", server_.bytesDropped()},
                {"overrunReports", server_.overrunReports()},
                {"logLinesLeftOut", server_.logLinesSuppressed()}};
    }

private:
    bridge::PortModelPort &port_;
    bridge::Rfc2217Server server_;
};

class PtyFace : public Face {
public:
    PtyFace(bridge::SerialPort &port, std::unique_ptr<bridge::PseudoTerminal> pty, bridge::PtyBridge::Options o,
            std::string link)
        : pty_(std::move(pty)), bridge_(port, *pty_, std::move(o)), link_(std::move(link))
    {
        bridge_.Start();
    }
    std::string where() const override { return pty_->path() + (link_.empty() ? "" : " (" + link_ + ")"); }
    std::string who() const override { return ""; }
    uint64_t toPort() const override { return bridge_.bytesToPort(); }
    uint64_t fromPort() const override { return bridge_.bytesFromPort(); }
    bool gone() const override { return bridge_.portGone(); }
    void Stop() override { bridge_.Stop(); }
    std::vector<std::pair<std::string, uint64_t>> Counters() const override
    {
        return {{"bytesToPort", bridge_.bytesToPort()},     {"bytesFromPort", bridge_.bytesFromPort()},
                {"settingsChanges", bridge_.settingsChanges()}, {"refusals", bridge_.refusals()},
                {"hangUps", bridge_.hangUps()}};
    }

private:
    // Declared first, destroyed last: the terminal (and its link) goes once
    // the bridge has stopped, and a program holding it open sees a hang-up.
    std::unique_ptr<bridge::PseudoTerminal> pty_;
    bridge::PtyBridge bridge_;
    std::string link_;
};

// One port of the many: its converter's index in the world, its port, what
// it offers, and what was lost on it before its converter was last pulled.
struct Lane {
    size_t index = 0;
    std::unique_ptr<PortSession> port;
    std::unique_ptr<Face> face;
    Losses lost;           // counted by converters of this lane that are gone
    uint64_t purgedIn = 0, purgedOut = 0;
    std::vector<std::pair<std::string, uint64_t>> counters;  // of faces that are gone
    std::string steady;    // the status last printed
    bool told = true;      // every unplug reached the port
    uint16_t tcpPort = 0;  // the server's, kept for a converter plugged again
    unsigned plugs = 0;
    bool plugged() const { return port != nullptr; }
};

// A line from standard input as the log shows it: what does not print is
// escaped, and a long one is cut.
std::string EscapeText(const std::string &text)
{
    std::string out;
    for (unsigned char c : text.substr(0, 80))
        out += c >= 0x20 && c < 0x7F && c != '\\' ? std::string(1, char(c)) : fmt::format("\\x{:02x}", c);
    return text.size() > 80 ? out + "..." : out;
}

std::string Indexed(const std::string &prefix, size_t k)
{
    return prefix.empty() ? prefix : prefix + std::to_string(k);
}

void Add(std::vector<std::pair<std::string, uint64_t>> *into, const std::vector<std::pair<std::string, uint64_t>> &from)
{
    for (const auto &[name, value] : from) {
        auto it = std::find_if(into->begin(), into->end(), [&](const auto &p) { return p.first == name; });
        if (it == into->end())
            into->emplace_back(name, value);
        else
            it->second += value;
    }
}

Losses Sum(const Losses &a, const Losses &b)
{
    Losses l;
    l.converterOverrun = a.converterOverrun + b.converterOverrun;
    l.portOverrun = a.portOverrun + b.portOverrun;
    l.farEnd = a.farEnd + b.farEnd;
    l.clients = a.clients + b.clients;
    return l;
}

// Lines on standard input: "unplug K", "plug K", "status".
class StdinControl {
public:
    explicit StdinControl(bool on) : on_(on) {}
    // The whole lines that came since the last call.
    std::vector<std::string> Take()
    {
        std::vector<std::string> lines;
        if (!on_)
            return lines;
        pollfd p{0, POLLIN, 0};
        while (poll(&p, 1, 0) > 0 && (p.revents & (POLLIN | POLLHUP))) {
            char buffer[512];
            ssize_t n = read(0, buffer, sizeof buffer);
            if (n <= 0) {
                if (n < 0 && errno == EINTR)
                    continue;
                on_ = false;  // end of input: nothing more will come
                break;
            }
            pending_.append(buffer, size_t(n));
            if (pending_.size() > 4096)
                pending_.erase(0, pending_.size() - 4096);  // no line is that long
        }
        for (size_t nl; (nl = pending_.find('\n')) != std::string::npos;) {
            std::string line = pending_.substr(0, nl);
            pending_.erase(0, nl + 1);
            while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
                line.pop_back();
            if (!line.empty())
                lines.push_back(std::move(line));
        }
        return lines;
    }

private:
    bool on_;
    std::string pending_;
};

struct ManyOptions {
    SessionOptions session;
    unsigned ports = 1;
    bool serve = false;
    // serve
    std::string host;
    uint16_t basePort = 0;
    unsigned idleTimeout = 0;
    // pty
    std::string linkPrefix;
    bridge::SerialConfig initial;
    // both
    std::string peerLinkPrefix;
    std::string commandLog;
    bool win98Unplug = false;
    bool stdinControl = false;
};

class ManyPorts {
public:
    ManyPorts(const ManyOptions &o, Console &console) : o_(o), console_(console) {}

    int Run(Signals &signals)
    {
        if (o_.serve && o_.basePort != 0 && o_.basePort + o_.ports - 1 > 65535)
            throw UsageError(fmt::format("--rfc2217 {} with --ports {}: the last port would be {}, past 65535",
                                         o_.basePort, o_.ports, o_.basePort + o_.ports - 1));
        // The terminals and their links first: a link that cannot be made
        // stops vcp before anything is plugged.
        std::vector<std::unique_ptr<bridge::PseudoTerminal>> terminals;
        if (!o_.serve)
            for (unsigned k = 0; k < o_.ports; ++k)
                terminals.push_back(MakeTerminal(k));

        SessionOptions so = o_.session;
        so.peerLog = [this](const std::string &s) { console_.Line("peer      " + s); };
        world_ = std::make_unique<WorldSession>(so);
        lanes_.resize(o_.ports);
        for (unsigned k = 0; k < o_.ports; ++k) {
            lanes_[k].index = world_->Plug();
            if (lanes_[k].index != k)
                throw std::logic_error("converters are plugged in order");
        }
        for (unsigned k = 0; k < o_.ports; ++k)
            Start(lanes_[k], o_.serve ? nullptr : std::move(terminals[k]));
        std::string variants;
        for (size_t v = 0; v < std::min<size_t>(o_.ports, std::max<size_t>(o_.session.variants.size(), 1)); ++v)
            variants += (v ? "," : "") + std::to_string(world_->variant(v));
        console_.Line(fmt::format("converters {} of variant{} {} on one hub, {}; {}Ctrl-C unplugs them all and exits",
                                  o_.ports, variants.find(',') == std::string::npos ? "" : "s", variants,
                                  o_.session.peer == "loopback" ? "each with a loopback plug"
                                                                : "each with a line to " + o_.session.peer,
                                  o_.stdinControl ? "`unplug K`, `plug K` and `status` on standard input; " : ""));

        StdinControl control(o_.stdinControl);
        std::optional<int> sig;
        while (!(sig = signals.Wait(100ms))) {
            for (const std::string &line : control.Take())
                Command(line);
            for (Lane &lane : lanes_)
                if (lane.plugged() && lane.face->gone()) {
                    console_.Line(fmt::format("port {}    the port is gone", lane.index));
                    Pull(lane);
                }
            ShowStatus(false);
        }
        console_.EndStatus();
        console_.Line("stopping  unplugging the converters");
        for (Lane &lane : lanes_)
            if (lane.plugged())
                Pull(lane, /*quiet=*/true);
        bool unloaded = world_->Unload();
        std::vector<CommandLog> logs;
        if (!o_.commandLog.empty())
            for (Lane &lane : lanes_) {
                CommandLog &log = logs.emplace_back();
                log.Gather(*world_, lane.index);
                log.losses = lane.lost;
                log.counters = lane.counters;
                log.counters.emplace_back("purgedReceived", lane.purgedIn);
                log.counters.emplace_back("purgedUnsent", lane.purgedOut);
            }
        world_->Shutdown();
        Losses total;
        for (Lane &lane : lanes_) {
            console_.Line(fmt::format("loss      port {}: {}", lane.index, lane.lost.Describe()));
            total = Sum(total, lane.lost);
        }
        console_.Line("loss      " + total.Describe());
        bool told = true;
        for (Lane &lane : lanes_)
            told = told && lane.told;
        if (!unloaded)
            console_.Line("unload    a driver left a device object behind");
        bool clean = ReportLeaks(console_);
        ReportOutputs(console_, o_.session);
        const std::string leaks = KernelLeakReport();
        for (size_t k = 0; k < logs.size(); ++k)
            logs[k].Write(Indexed(o_.commandLog + ".", k), leaks);
        return clean && unloaded && told ? 0 : 1;
    }

private:
    std::unique_ptr<bridge::PseudoTerminal> MakeTerminal(size_t k)
    {
        auto pty = std::make_unique<bridge::PseudoTerminal>();
        std::string error, note;
        if (!o_.linkPrefix.empty() && !pty->Link(Indexed(o_.linkPrefix, k), &error, &note))
            throw std::runtime_error(error);
        if (!note.empty())
            console_.Line("link      " + note);
        return pty;
    }

    void Start(Lane &lane, std::unique_ptr<bridge::PseudoTerminal> pty)
    {
        const size_t k = lane.index;
        lane.port = std::make_unique<PortSession>(world_->norva(), world_->filter(k), world_->child(k),
                                                  o_.session.rxBuffer);
        if (bridge::PortOutcome r = lane.port->Open(); !r.ok)
            throw std::runtime_error(fmt::format("port {}: {}", k, r.message));
        bridge::PortModelPort &serial = lane.port->serial();
        serial.SetOverrunsBelow([w = world_.get(), k] { return w->converterOverruns(k); });
        const std::string tag = fmt::format("port {}    ", k);
        if (o_.serve) {
            bridge::Rfc2217Server::Options so;
            so.host = o_.host;
            so.port = o_.basePort == 0 ? lane.tcpPort : uint16_t(o_.basePort + k);
            so.idleLimit = std::chrono::seconds(o_.idleTimeout);
            so.log = [this, tag](const std::string &s) { console_.Line(tag + s); };
            auto face = std::make_unique<ServerFace>(serial, so);
            lane.tcpPort = face->port();
            if (face->outside() && !warned_) {
                warned_ = true;
                console_.Line("WARNING   these ports can be reached from other machines, and RFC 2217 has no "
                              "authentication: anyone who can connect can use the serial lines");
            }
            lane.face = std::move(face);
        } else {
            if (!pty)
                pty = MakeTerminal(k);
            if (bridge::PortOutcome r = serial.Configure(o_.initial); !r.ok)
                console_.Line(fmt::format("{}settings {} refused: {}; the port stays at {}", tag,
                                          ToString(o_.initial), r.message, ToString(serial.Config())));
            // A serial port raises DTR and RTS when it is opened.
            serial.SetDtr(true);
            serial.SetRts(true);
            bridge::PtyBridge::Options bo;
            bo.log = [this, tag](const std::string &s) { console_.Line(tag + s); };
            lane.face = std::make_unique<PtyFace>(serial, std::move(pty), bo, Indexed(o_.linkPrefix, k));
        }
        std::string peer;
        if (bridge::PtyPeer *p = world_->ptyPeer(k)) {
            std::string error, note;
            const std::string link = Indexed(o_.peerLinkPrefix, k);
            if (!link.empty() && !p->terminal().Link(link, &error, &note))
                throw std::runtime_error(error);
            if (!note.empty())
                console_.Line("link      " + note);
            peer = fmt::format(", peer {}{}", p->terminal().path(), link.empty() ? "" : " (" + link + ")");
        }
        console_.Line(fmt::format("{}{}{}  (hub port {}, variant {}{})", tag, lane.plugs++ ? "plugged again: " : "",
                                  lane.face->where(), world_->hubPort(k), world_->variant(k), peer));
        lane.steady.clear();
    }

    // Unplugs the lane's converter and keeps what its port counted.
    void Pull(Lane &lane, bool quiet = false)
    {
        const size_t k = lane.index;
        lane.face->Stop();  // a server cancels the port's waits first, a terminal's bridge after
        lane.port->serial().Cancel();
        world_->Unplug(o_.win98Unplug, k);
        // The converter is gone: nothing more is lost on it.
        Losses now = GatherLosses(*world_, lane.port.get(), k);
        now.clients = lane.face->clientDrops();
        lane.lost = Sum(lane.lost, now);
        const PortCountersView counters = lane.port->Counters();
        lane.purgedIn += counters.purgedIn;
        lane.purgedOut += counters.purgedOut;
        Add(&lane.counters, lane.face->Counters());
        if (bridge::ExternalPeer *peer = world_->externalPeer(k))
            Add(&lane.counters, {{"peerBytesToLine", peer->bytesToLine()},
                                 {"peerBytesFromLine", peer->bytesFromLine()},
                                 {"peerBytesDropped", peer->bytesDropped()}});
        const bool told = lane.port->Release();
        lane.told = lane.told && told;
        lane.port.reset();
        lane.face.reset();
        if (!told)
            console_.Line(fmt::format("port {}    the port was NOT told of the removal", k));
        else if (!quiet)
            console_.Line(fmt::format("port {}    unplugged; lost {}", k, now.Describe()));
    }

    void Command(const std::string &line)
    {
        const size_t space = line.find(' ');
        const std::string verb = line.substr(0, space);
        if (verb == "status") {
            ShowStatus(true);
            return;
        }
        unsigned k = 0;
        const std::string arg = space == std::string::npos ? "" : line.substr(space + 1);
        auto [end, ec] = std::from_chars(arg.data(), arg.data() + arg.size(), k);
        if ((verb != "unplug" && verb != "plug") || arg.empty() || ec != std::errc() ||
            end != arg.data() + arg.size() || k >= lanes_.size()) {
            console_.Line(fmt::format("command   \"{}\" not understood: unplug K, plug K (K from 0 to {}) or status",
                                      EscapeText(line), lanes_.size() - 1));
            return;
        }
        Lane &lane = lanes_[k];
        if (verb == "unplug") {
            if (!lane.plugged())
                console_.Line(fmt::format("port {}    is not plugged in", k));
            else
                Pull(lane);
            return;
        }
        if (lane.plugged()) {
            console_.Line(fmt::format("port {}    is plugged in already", k));
            return;
        }
        try {
            world_->Plug(k);
            Start(lane, nullptr);
        } catch (const std::exception &e) {
            console_.Line(fmt::format("port {}    could not be plugged again: {}", k, e.what()));
            if (lane.port) {
                lane.face.reset();
                lane.port->serial().Cancel();
                world_->Unplug(false, k);
                lane.port->Release();
                lane.port.reset();
            } else if (world_->plugged(k)) {
                world_->Unplug(false, k);
            }
        }
    }

    // A line for each port whose state changed (or every one), and the
    // sum of them on the status line.
    void ShowStatus(bool all)
    {
        unsigned plugged = 0, busy = 0;
        uint64_t to = 0, from = 0;
        Losses lost;
        for (Lane &lane : lanes_) {
            std::string steady;
            Losses l = lane.lost;
            if (lane.plugged()) {
                ++plugged;
                bridge::PortModelPort &serial = lane.port->serial();
                Losses now = GatherLosses(*world_, lane.port.get(), lane.index);
                now.clients = lane.face->clientDrops();
                l = Sum(l, now);
                const std::string who = lane.face->who();
                busy += who == "client connected";
                to += lane.face->toPort();
                from += lane.face->fromPort();
                steady = fmt::format("{} | {} {} | {}{}", ToString(serial.Config()), serial.Dtr() ? "DTR" : "-DTR",
                                     serial.Rts() ? "RTS" : "-RTS", bridge::ModemStatusText(serial.ModemStatus()),
                                     who.empty() ? "" : " | " + who);
            } else {
                steady = "unplugged";
            }
            if (l.total())
                steady += " | DATA LOST";
            lost = Sum(lost, l);
            if (all || steady != lane.steady)
                console_.Line(fmt::format("port {}    {}{}", lane.index, steady,
                                          all && lane.plugged() ? fmt::format("; to port {}, from port {}",
                                                                              Bytes(lane.face->toPort()),
                                                                              Bytes(lane.face->fromPort()))
                                                                : ""));
            lane.steady = std::move(steady);
        }
        std::string summary = fmt::format("{} of {} ports plugged{}{}", plugged, lanes_.size(),
                                          o_.serve ? fmt::format(", {} with a client", busy) : "",
                                          lost.total() ? " | DATA LOST" : "");
        console_.Status(summary, fmt::format("to ports {}, from ports {}{}", Bytes(to), Bytes(from),
                                             lost.total() ? ", lost " + Bytes(lost.total()) : ""));
    }

    const ManyOptions &o_;
    Console &console_;
    std::unique_ptr<WorldSession> world_;
    std::vector<Lane> lanes_;
    bool warned_ = false;
};

}  // namespace

int RunServeMany(const ServeOptions &o, Signals &signals)
{
    Console console;
    TraceEcho echo(o.session);
    ManyOptions m;
    m.session = o.session;
    m.ports = o.ports;
    m.serve = true;
    ParseListenAddress(o.address, &m.host, &m.basePort);
    m.idleTimeout = o.idleTimeout;
    m.peerLinkPrefix = o.peerLink;
    m.commandLog = o.commandLog;
    m.win98Unplug = o.win98Unplug;
    m.stdinControl = o.stdinControl;
    return ManyPorts(m, console).Run(signals);
}

int RunPtyMany(const PtyOptions &o, Signals &signals)
{
    Console console;
    TraceEcho echo(o.session);
    ManyOptions m;
    m.session = o.session;
    m.ports = o.ports;
    m.initial.baud = o.baud;
    if (!bridge::ParseFormat(o.format, &m.initial))
        throw UsageError("--format " + o.format + ": expected data bits, parity and stop bits, as 8N1 or 7E2");
    m.linkPrefix = o.link;
    m.peerLinkPrefix = o.peerLink;
    m.commandLog = o.commandLog;
    m.win98Unplug = o.win98Unplug;
    m.stdinControl = o.stdinControl;
    return ManyPorts(m, console).Run(signals);
}

}  // namespace vcp
