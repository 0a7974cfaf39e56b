// main.cpp - vcp: the virtual COM port stack on the host kernel, from the
// command line.
#include "bench.hpp"
#include "commands.hpp"

#include <platform/platform.hpp>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <cstdlib>

namespace {

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
holds unread, or not yet sent, is dropped.
Use `vcp serve --rfc2217` when the application must control data bits,
parity or the modem lines.)";

constexpr char kServeHelp[] = R"(Offers the converter's port as an RFC 2217 (Telnet COM Port Control) server.

SET-BAUDRATE, SET-DATASIZE, SET-PARITY and SET-STOPSIZE become set-comm-state
requests to norva and are answered with the value in force, so a setting the
converter cannot take comes back refused. SET-CONTROL switches DTR and RTS;
NOTIFY-MODEMSTATE reports CTS, DSR, RI and DCD (honouring
SET-MODEMSTATE-MASK); PURGE-DATA drops what waits on the receive or transmit
side and resets that pipe.
One client at a time; a second is refused; a client that disconnects leaves
the port ready for the next. Try: python3 -m serial.tools.miniterm
rfc2217://127.0.0.1:2217)";

// "0x7f", "127" -> value; throws CLI::ValidationError.
uint32_t ParseMask(const std::string &text)
{
    char *end = nullptr;
    unsigned long v = std::strtoul(text.c_str(), &end, 0);
    if (text.empty() || *end || v > 0xFFFFFFFFul)
        throw CLI::ValidationError("--debug-level", "expected a mask such as 0x7f");
    return uint32_t(v);
}

struct Common {
    std::string debugLevel;
};

void AddSessionOptions(CLI::App *cmd, vcp::SessionOptions &s, Common &common, bool converterOptions)
{
    cmd->add_option("--variant", s.variant, "converter variant, the \"EndPointCaps\" value (0-3)")
        ->check(CLI::Range(0, 3))
        ->capture_default_str();
    cmd->add_option("--debug-level", common.debugLevel,
                    "norva's \"DebugLevel\" mask (e.g. 0x7f); echoes its traces live on stderr");
    if (converterOptions)
        cmd->add_flag("--realtime", s.realtime,
                      "pace the host controller in 1 ms frames and the converter at the baud rate "
                      "(default: as fast as the machine goes)");
    cmd->add_option("--norva", s.norvaPath, "norva module (default: next to vcp, else the build tree's)");
    cmd->add_option("--tembris", s.tembrisPath, "tembris module (default: next to vcp, else the build tree's)");
}

void AddPeerOption(CLI::App *cmd, vcp::SessionOptions &s)
{
    cmd->add_option("--peer", s.peer,
                    "the converter's serial side: loopback (a loopback plug), pty (a second pseudo-terminal), "
                    "tcp:HOST:PORT (a raw TCP client, as a serial device server is reached)")
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
    // A failure is one line: the reason, and where to look.
    app.failure_message([](const CLI::App *, const CLI::Error &e) {
        return fmt::format("vcp: {} (vcp --help tells more)\n", e.what());
    });
    app.require_subcommand(0, 1);

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
    ptyCmd->footer(kPtyHelp);
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

    vcp::ServeOptions serve;
    Common serveCommon;
    CLI::App *serveCmd = app.add_subcommand("serve", "offer the converter's port as an RFC 2217 server");
    serveCmd->footer(kServeHelp);
    AddSessionOptions(serveCmd, serve.session, serveCommon, true);
    AddPeerOption(serveCmd, serve.session);
    serveCmd->add_option("--rfc2217", serve.address, "[HOST:]PORT to listen on (host 127.0.0.1 unless given; 0: "
                                                     "any free port)")
        ->required();
    serveCmd->add_option("--peer-link", serve.peerLink, "with --peer pty: a symlink to the far end's pseudo-terminal");
    serveCmd->add_option("--command-log", serve.commandLog,
                         "write the converter commands seen (and the final state) as JSON to FILE at exit");
    serveCmd->add_flag("--win98-unplug", serve.win98Unplug, "unplug the Windows 98 way at exit");

    vcp::InfoOptions info;
    Common infoCommon;
    CLI::App *infoCmd = app.add_subcommand(
        "info", "plug one device and print its device stack, tembris's pipe table and the port's identity");
    AddSessionOptions(infoCmd, info.session, infoCommon, false);
    infoCmd->add_option("--descriptors", info.session.descriptors,
                        "plug a device whose descriptors come from FILE: the 18-byte device descriptor followed "
                        "by the whole configuration descriptor")
        ->check(CLI::ExistingFile);
    infoCmd->add_flag("--json", info.json, "print JSON for scripts");

    vcp::BenchOptions bench;
    CLI::App *benchCmd = vcp::AddBenchCommand(app, bench);

    CLI11_PARSE(app, argc, argv);

    auto mask = [](vcp::SessionOptions &s, const Common &c) {
        if (!c.debugLevel.empty())
            s.debugLevel = ParseMask(c.debugLevel);
    };
    try {
        if (*ptyCmd) {
            mask(pty.session, ptyCommon);
            return vcp::RunPty(pty, signals);
        }
        if (*serveCmd) {
            mask(serve.session, serveCommon);
            return vcp::RunServe(serve, signals);
        }
        if (*infoCmd) {
            mask(info.session, infoCommon);
            return vcp::RunInfo(info);
        }
        if (*benchCmd)
            return vcp::RunBench(bench);
        mask(demo.session, demoCommon);
        return vcp::RunDemo(demo, signals);
    } catch (const CLI::Error &e) {
        return app.exit(e);
    } catch (const std::exception &e) {
        fmt::print(stderr, "vcp: {}\n", e.what());
        return 1;
    }
}
