// main.cpp - vcp: the virtual COM port stack on the host kernel, from the
// command line.
#include "bench.hpp"
#include "commands.hpp"
#include "outputs.hpp"

#include "bridge/line_peers.hpp"

#include <platform/platform.hpp>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr int kUsage = 2;  // a mistake on the command line

constexpr char kPtyHelp[] = R"(Exposes the converter's port as a Linux pseudo-terminal and prints its path.

What a terminal program sets on the pseudo-terminal reaches norva as a
set-comm-state request, as far as a pseudo-terminal carries it:
  - the speed and the stop bits follow the application (vcp sees every change
    through packet mode with EXTPROC, and reads the settings on a timer too);
  - data bits and parity do NOT: Linux pseudo-terminals force 8 data bits and
    no parity on every change, so they come from --format;
  - there are no modem lines on a pseudo-terminal: vcp raises DTR and RTS when
    it opens the port and shows CTS, DSR, RI and DCD on its status line.
A speed the converter cannot take is refused: the terminal's speed is set
back to the one in force, and vcp says so. tcflush reaches the port: what it
holds unread, or not yet sent, is dropped. Setting the speed to 0 (B0, hang
up) drops DTR, as on a real port; a speed again raises it.
Use `vcp serve --rfc2217` when the application must control data bits,
parity or the modem lines.)";

constexpr char kLossHelp[] = R"(
Loss. Without --realtime the line has no speed and nothing is ever lost: a
reader that is late finds up to --rx-buffer bytes kept (1 MiB by default;
more than a Linux tty keeps), and beyond that every full buffer holds its
sender back, down to the application's write, as hardware flow control
would; bytes are dropped only on purpose (a purge, tcflush, an RFC 2217
client that leaves with bytes not yet sent), and counted. With --realtime bytes move at the baud rate and are lost only where
hardware would lose them (the converter's receive FIFO overruns while nobody
reads, or a far end takes nothing); every lost byte is counted and shown on
the status line ("DATA LOST"), in the exit summary ("loss" line) and in the
--command-log JSON ("loss").)";

constexpr char kExitHelp[] = R"(
Exit status: 0 everything worked and the kernel was left clean; 1 something
failed at run time (a device that did not start, a driver that left
something behind, an unplug the port was not told of); 2 a mistake on the
command line (an option, a value, a module that is not what it is given
as); 128+N stopped by signal N before it could stop in order (pty and serve
stop in order on SIGINT, SIGTERM and SIGHUP and exit 0).)";

constexpr char kServeHelp[] = R"(Offers the converter's port as an RFC 2217 (Telnet COM Port Control) server.

SET-BAUDRATE, SET-DATASIZE, SET-PARITY and SET-STOPSIZE become set-comm-state
requests to norva and are answered with the value in force, so a setting the
converter cannot take comes back refused. SET-CONTROL switches DTR and RTS;
NOTIFY-MODEMSTATE reports CTS, DSR, RI and DCD (honouring
SET-MODEMSTATE-MASK); PURGE-DATA drops what waits on the receive or transmit
side and resets that pipe.
NOTIFY-LINESTATE reports an overrun when received bytes were lost
(honouring SET-LINESTATE-MASK).
One client at a time: a second is refused; one that connects while the last
session ends waits for it. A client that disconnects leaves the port ready
for the next within a second: what it sent that had not reached the line is
dropped, counted and said. One that only half-closes (SHUT_WR) keeps getting
the port's data until nothing has come for a second. Dead peers are found by
TCP keepalive; --idle-timeout closes a session in which nothing moved.
RFC 2217 has no authentication: listen beyond loopback (0.0.0.0, [::]) only
on a network you trust; vcp warns when it does. IPv6: --rfc2217 [::1]:2217.
Try: python3 -m serial.tools.miniterm rfc2217://127.0.0.1:2217)";

// "0x7f", "127" -> value; throws UsageError.
uint32_t ParseMask(const std::string &text)
{
    char *end = nullptr;
    unsigned long v = std::strtoul(text.c_str(), &end, 0);
    if (text.empty() || *end || v > 0xFFFFFFFFul)
        throw vcp::UsageError("--debug-level " + text + ": expected a mask such as 0x7f");
    return uint32_t(v);
}

// The checks CLI11 cannot make alone.
void CheckPeer(const vcp::SessionOptions &s, const std::string &peerLink)
{
    const std::string &p = s.peer;
    std::string host;
    uint16_t port = 0;
    if (p != "loopback" && p != "pty" && p != "none" && !bridge::ParseTcpPeer(p, &host, &port))
        throw vcp::UsageError("--peer " + p + ": expected loopback, pty, none or tcp:HOST:PORT");
    if (!peerLink.empty() && p != "pty")
        throw vcp::UsageError("--peer-link names the far end's pseudo-terminal: it needs --peer pty");
}

struct Common {
    std::string debugLevel;
    vcp::OutputOptions outputs;
};

void AddSessionOptions(CLI::App *cmd, vcp::SessionOptions &s, Common &common, bool converterOptions)
{
    cmd->add_option("--variant", s.variant, "converter variant, the \"EndPointCaps\" value (0-3)")
        ->check(CLI::Range(0, 3))
        ->capture_default_str();
    cmd->add_option("--debug-level", common.debugLevel,
                    "norva's \"DebugLevel\" mask (e.g. 0x7f); echoes its traces live on stderr");
    cmd->add_option("--debug-log", common.outputs.debugLog,
                    "write norva's and tembris's traces to FILE instead, each line with the time, the bus frame, "
                    "the processor and the IRQL (at the --debug-level mask, else norva's default 3); - for stderr")
        ->option_text("FILE");
    cmd->add_option("--debug-log-limit", common.outputs.debugLogLimit,
                    "the debug log's size limit (e.g. 64MiB): past it FILE moves to FILE.1 and a new FILE begins "
                    "(a pipe stops with a note)")
        ->transform(CLI::AsSizeValue(false))
        ->default_str("16MiB");
    cmd->add_option("--capture", common.outputs.capture,
                    "write every URB at the hub to FILE, a pcapng capture in Linux's usbmon format that Wireshark "
                    "and tshark read (timestamps: wall clock); - for standard output, as in "
                    "`vcp pty --capture - | wireshark -k -i -`")
        ->option_text("FILE");
    cmd->add_option("--snaplen", common.outputs.snapLength,
                    "bytes kept of each captured record, its 64-byte usbmon header included (default: all)")
        ->option_text("BYTES")
        ->check(CLI::Range(uint32_t(64), uint32_t(0x7FFFFFFF)));
    if (converterOptions)
        cmd->add_flag("--realtime", s.realtime,
                      "pace the host controller in 1 ms frames and the converter at the baud rate "
                      "(default: as fast as the machine goes)");
    cmd->add_option("--norva", s.norvaPath, "norva module (default: next to vcp, else in lib/vcp beside its bin)")
        ->option_text("FILE");
    cmd->add_option("--tembris", s.tembrisPath, "tembris module (default: next to vcp, else in lib/vcp beside its bin)")
        ->option_text("FILE");
}

void AddPeerOption(CLI::App *cmd, vcp::SessionOptions &s)
{
    cmd->add_option("--peer", s.peer,
                    "the converter's serial side: loopback (a loopback plug), pty (a second pseudo-terminal), "
                    "tcp:HOST:PORT (a raw TCP client, as a serial device server is reached), none (an open "
                    "line: what is sent goes nowhere, the input lines are off)")
        ->capture_default_str();
    cmd->add_option("--rx-buffer", s.rxBuffer,
                    "the port's receive buffer, what a late reader finds kept (4K to 64M; reception is held "
                    "from 3/4 full)")
        ->transform(CLI::AsSizeValue(false))
        ->check(CLI::Range(size_t(4096), size_t(64) << 20))
        ->capture_default_str();
}

}  // namespace

int main(int argc, char **argv)
{
    vcp::Signals signals;  // before any thread starts
    // vcp reads nothing back from the kernel's debug output (--debug-level
    // echoes it live): a long session must not keep every trace.
    platform::SetDebugCapture(0);

    CLI::App app{"vcp: the USB-to-RS232C converter's drivers (tembris, norva) running on the host kernel in a "
                 "simulated world.\nWithout a subcommand: vcp demo.",
                 "vcp"};
    app.footer(kExitHelp);
    // A failure is one line: the reason, and where to look.
    app.failure_message([](const CLI::App *, const CLI::Error &e) {
        return fmt::format("vcp: {} (vcp --help tells more)\n", e.what());
    });
    app.require_subcommand(0, 1);
    app.set_version_flag("--version", "vcp " VCP_VERSION);

    vcp::DemoOptions demo;
    Common demoCommon;
    CLI::App *demoCmd = app.add_subcommand(
        "demo", "plug one converter with a loopback plug, set 115200 8N1, raise DTR and RTS, echo a message, "
                "show what crossed each layer, unplug, unload, and give a verdict");
    AddSessionOptions(demoCmd, demo.session, demoCommon, true);
    demoCmd->add_flag("--win98-unplug", demo.win98Unplug,
                      "unplug the Windows 98 way (IRP_MN_REMOVE_DEVICE, no surprise removal)");
    demoCmd->add_option("--message", demo.message, "the text sent through the loopback plug");

    vcp::PtyOptions pty;
    Common ptyCommon;
    CLI::App *ptyCmd = app.add_subcommand("pty", "expose the converter's port as a Linux pseudo-terminal");
    ptyCmd->footer(std::string(kPtyHelp) + "\n" + kLossHelp + "\n" + kExitHelp);
    AddSessionOptions(ptyCmd, pty.session, ptyCommon, true);
    AddPeerOption(ptyCmd, pty.session);
    ptyCmd->add_option("--link", pty.link, "a stable symlink to the pseudo-terminal (removed at exit)");
    ptyCmd->add_option("--peer-link", pty.peerLink, "with --peer pty: a symlink to the far end's pseudo-terminal");
    ptyCmd->add_option("--baud", pty.baud, "the speed set when the port opens")->capture_default_str();
    ptyCmd->add_option("--format", pty.format,
                       "data bits, parity and stop bits (e.g. 7E1): the data bits and parity always come from "
                       "here")
        ->capture_default_str();
    ptyCmd->add_option("--command-log", pty.commandLog,
                       "write the converter commands seen (and the final state) as JSON to FILE at exit");
    ptyCmd->add_flag("--win98-unplug", pty.win98Unplug, "unplug the Windows 98 way at exit");
    ptyCmd->add_option("--ports", pty.ports,
                       "plug N converters on one hub, each port a pseudo-terminal of its own: --link, --peer-link "
                       "and --command-log become prefixes (PREFIX0 ... PREFIX<N-1>)")
        ->option_text("N")
        ->check(CLI::Range(1u, 127u));
    ptyCmd->add_option("--variants", pty.session.variants,
                       "with --ports: the converters' variants in turn (e.g. 0,1,2,3), instead of --variant's one")
        ->delimiter(',')
        ->check(CLI::Range(0, 3));
    ptyCmd->add_flag("--stdin-control", pty.stdinControl,
                     "with --ports: read `unplug K`, `plug K` and `status` lines from standard input");

    vcp::ServeOptions serve;
    Common serveCommon;
    CLI::App *serveCmd = app.add_subcommand("serve", "offer the converter's port as an RFC 2217 server");
    serveCmd->footer(std::string(kServeHelp) + "\n" + kLossHelp + "\n" + kExitHelp);
    AddSessionOptions(serveCmd, serve.session, serveCommon, true);
    AddPeerOption(serveCmd, serve.session);
    serveCmd->add_option("--rfc2217", serve.address,
                         "[HOST:]PORT to listen on: HOST 127.0.0.1 unless given, an IPv4 address, [an IPv6 "
                         "address] or localhost; PORT 0: any free port")
        ->required();
    serveCmd->add_option("--idle-timeout", serve.idleTimeout,
                         "close a client's session after this many seconds in which nothing moved (0: never)")
        ->capture_default_str();
    serveCmd->add_option("--peer-link", serve.peerLink, "with --peer pty: a symlink to the far end's pseudo-terminal");
    serveCmd->add_option("--command-log", serve.commandLog,
                         "write the converter commands seen (and the final state) as JSON to FILE at exit");
    serveCmd->add_flag("--win98-unplug", serve.win98Unplug, "unplug the Windows 98 way at exit");
    serveCmd->add_option("--ports", serve.ports,
                         "plug N converters on one hub, port K served on --rfc2217's PORT+K (each on a free port "
                         "when PORT is 0); --peer-link and --command-log become prefixes, a TCP --peer's port "
                         "grows by K too")
        ->option_text("N")
        ->check(CLI::Range(1u, 127u));
    serveCmd->add_option("--variants", serve.session.variants,
                         "with --ports: the converters' variants in turn (e.g. 0,1,2,3), instead of --variant's one")
        ->delimiter(',')
        ->check(CLI::Range(0, 3));
    serveCmd->add_flag("--stdin-control", serve.stdinControl,
                       "with --ports: read `unplug K`, `plug K` and `status` lines from standard input");

    vcp::InfoOptions info;
    Common infoCommon;
    CLI::App *infoCmd = app.add_subcommand(
        "info", "plug one device (or --ports N converters) and print its device stack, tembris's pipe table and the "
                "port's identity (and every port's)");
    AddSessionOptions(infoCmd, info.session, infoCommon, false);
    infoCmd->add_option("--descriptors", info.session.descriptors,
                        "plug a device whose descriptors come from FILE: the 18-byte device descriptor followed "
                        "by the whole configuration descriptor")
        ->check(CLI::ExistingFile);
    infoCmd->add_flag("--json", info.json, "print JSON for scripts");
    infoCmd->add_option("--ports", info.ports, "plug N converters on one hub and list every port")
        ->option_text("N")
        ->check(CLI::Range(1u, 127u));
    infoCmd->add_option("--variants", info.session.variants,
                        "with --ports: the converters' variants in turn (e.g. 0,1,2,3), instead of --variant's one")
        ->delimiter(',')
        ->check(CLI::Range(0, 3));

    vcp::BenchOptions bench;
    CLI::App *benchCmd = vcp::AddBenchCommand(app, bench);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        // --help is a success; every other parse error is a usage error.
        return app.exit(e) == 0 ? 0 : kUsage;
    }

    // The mask, then the files the session writes besides its own lines.
    auto prepare = [&signals](const char *command, vcp::SessionOptions &s, const Common &c) {
        if (!c.debugLevel.empty())
            s.debugLevel = ParseMask(c.debugLevel);
        s.interrupted = [&signals] { return signals.Pending(); };
        vcp::OpenOutputs(c.outputs, command, s);
    };
    try {
        if (*ptyCmd) {
            CheckPeer(pty.session, pty.peerLink);
            prepare("pty", pty.session, ptyCommon);
            if (!pty.session.variants.empty() && !pty.ports)
                throw vcp::UsageError("--variants gives the variants of --ports' converters: use --variant for one");
            if (pty.stdinControl && !pty.ports)
                throw vcp::UsageError("--stdin-control plugs and unplugs among --ports");
            return pty.ports ? vcp::RunPtyMany(pty, signals) : vcp::RunPty(pty, signals);
        }
        if (*serveCmd) {
            CheckPeer(serve.session, serve.peerLink);
            prepare("serve", serve.session, serveCommon);
            if (!serve.session.variants.empty() && !serve.ports)
                throw vcp::UsageError("--variants gives the variants of --ports' converters: use --variant for one");
            if (serve.stdinControl && !serve.ports)
                throw vcp::UsageError("--stdin-control plugs and unplugs among --ports");
            return serve.ports ? vcp::RunServeMany(serve, signals) : vcp::RunServe(serve, signals);
        }
        if (*infoCmd) {
            if (info.ports > 1 && !info.session.descriptors.empty())
                throw vcp::UsageError("--descriptors describes one device: it cannot go with --ports");
            prepare("info", info.session, infoCommon);
            return vcp::RunInfo(info);
        }
        if (*benchCmd)
            return vcp::RunBench(bench);
        prepare("demo", demo.session, demoCommon);
        return vcp::RunDemo(demo, signals);
    } catch (const vcp::UsageError &e) {
        fmt::print(stderr, "vcp: {} (vcp --help tells more)\n", e.what());
        return kUsage;
    } catch (const vcp::Interrupted &i) {
        fmt::print(stderr, "vcp: {}: stopped\n", strsignal(i.signal));
        return 128 + i.signal;
    } catch (const CLI::Error &e) {
        return app.exit(e) == 0 ? 0 : kUsage;
    } catch (const std::exception &e) {
        fmt::print(stderr, "vcp: {}\n", e.what());
        return 1;
    }
}
