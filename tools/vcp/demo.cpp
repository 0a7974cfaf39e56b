// demo.cpp - `vcp demo`: one converter from plug to unload, every step
// checked, in about forty lines.
#include "commands.hpp"
#include "outputs.hpp"

#include <platform/platform.hpp>
#include <pnp/pnp_manager.hpp>

#include <fmt/format.h>

#include <thread>

namespace vcp {

using namespace std::chrono_literals;

namespace {

class Demo {
public:
    explicit Demo(const DemoOptions &o) : o_(o), variant_(o.session.variant) {}
    int Run();

private:
    void Step(const std::string &name, bool ok, const std::string &detail)
    {
        checks_.push_back({name, ok, detail});
        fmt::print("{:<9} {} {}\n", name, ok ? "ok  " : "FAIL", detail);
        std::fflush(stdout);
    }
    void Note(const std::string &name, const std::string &detail)
    {
        fmt::print("{:<9}      {}\n", name, detail);
    }
    bool Boot();
    bool PlugAndOpen();
    void Settings();
    void Lines();
    void Message();
    void Layers();
    void UnplugAndUnload();

    const DemoOptions &o_;
    const int variant_;
    std::vector<Check> checks_;
    std::unique_ptr<WorldSession> world_;
    std::unique_ptr<PortSession> port_;
};

bool Demo::Boot()
{
    try {
        world_ = std::make_unique<WorldSession>(o_.session);
    } catch (const std::exception &e) {
        Step("boot", false, e.what());
        return false;
    }
    Step("boot", true,
         fmt::format("norva and tembris loaded, DriverEntry done; host controller {}",
                     o_.session.realtime ? "in 1 ms frames, converter paced" : "as fast as it goes"));
    return true;
}

bool Demo::PlugAndOpen()
{
    try {
        world_->Plug();
    } catch (const std::exception &e) {
        Step("plug", false, e.what());
        return false;
    }
    const world::ChildIdentity *id = world_->childIdentity();
    Step("plug", true,
         fmt::format("variant {} with a loopback plug: tembris + norva filter, port PDO {}\\{}", variant_,
                     id ? id->deviceId : "?", id ? id->instanceId : "?"));

    try {
        port_ = std::make_unique<PortSession>(world_->norva(), world_->filter(), world_->child());
    } catch (const std::exception &e) {
        Step("port", false, e.what());
        return false;
    }
    bridge::PortOutcome open = port_->Open();
    const bool found = port_->foundByGetNextPdo(), registered = port_->removeRoutineRegistered();
    Step("port", open.ok && found && registered,
         open.ok ? fmt::format("found with GetNextPDO{}, remove routine {}, reception and transmission started",
                               found ? "" : " (NOT)", registered ? "registered" : "NOT registered")
                 : open.message);
    return open.ok;
}

void Demo::Settings()
{
    const bridge::SerialConfig wanted{115200, 8, bridge::Parity::None, bridge::StopBits::One};
    const size_t before = world_->Commands().size();
    bridge::PortOutcome r = port_->serial().Configure(wanted);
    std::vector<ConverterCommand> commands = world_->Commands();
    const ConverterView conv = world_->Converter();
    if (variant_ == 0) {
        // This converter runs at fixed settings and has no command for them.
        const bool ok = !r.ok && commands.size() == before;
        Step("settings", ok, fmt::format("{} refused as it must be ({}); converter stays at {}", ToString(wanted),
                                         r.ok ? "it was accepted" : r.message, ToString(conv.settings)));
        return;
    }
    const std::string sent = commands.size() > before ? HexBytes(commands.back().bytes) : "nothing";
    Step("settings", r.ok && conv.settings == wanted,
         r.ok ? fmt::format("{} asked, converter runs {} (command {})", ToString(wanted), ToString(conv.settings), sent)
              : r.message);
}

void Demo::Lines()
{
    bridge::SerialPort &port = port_->serial();
    bridge::PortOutcome dtr = port.SetDtr(true), rts = port.SetRts(true);
    if (!dtr.ok || !rts.ok) {
        Step("lines", false, !dtr.ok ? dtr.message : rts.message);
        return;
    }
    const ConverterView conv = world_->Converter();
    if (variant_ == 0) {
        Step("lines", conv.modemControlCommands == 0 && !conv.dtr && !conv.rts,
             "DTR and RTS on: variant 0 takes no modem-control command, none sent; no line status either");
        return;
    }
    // The loopback plug wires RTS to CTS and DTR to DSR and DCD; the new
    // status reaches the port on the next line-status read.
    const uint8_t want = bridge::kCts | bridge::kDsr | bridge::kDcd;
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while ((port.ModemStatus() & want) != want && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(2ms);
    const uint8_t status = port.ModemStatus();
    Step("lines", conv.dtr && conv.rts && (status & want) == want,
         fmt::format("DTR and RTS on: converter drives {}{}; modem status back: {}", conv.dtr ? "DTR " : "",
                     conv.rts ? "RTS" : "", bridge::ModemStatusText(status)));
}

void Demo::Message()
{
    const std::string &text = o_.message;
    std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t *>(text.data()), text.size());
    bridge::PortTransfer w = port_->serial().Write(bytes, 5s);
    std::string back;
    auto deadline = std::chrono::steady_clock::now() + 10s;
    uint8_t buffer[1024];
    while (back.size() < text.size() && std::chrono::steady_clock::now() < deadline) {
        bridge::PortTransfer r = port_->serial().Read(std::span(buffer).first(std::min(sizeof buffer, text.size() - back.size())), 200ms);
        back.append(reinterpret_cast<char *>(buffer), r.bytes);
        if (r.removed)
            break;
    }
    const bool ok = w.bytes == text.size() && back == text;
    Step("message", ok,
         fmt::format("sent {} bytes, read {} back{}: \"{}{}\"", w.bytes, back.size(),
                     ok ? ", identical" : back.size() == text.size() ? ", DIFFERENT" : "", back.substr(0, 40),
                     back.size() > 40 ? "..." : ""));
}

void Demo::Layers()
{
    const PortCountersView p = port_->Counters();
    Note("port VxD", fmt::format("wrote {} in {} transfer(s); read {} from {} data call(s), {} status-only",
                                 Bytes(p.bytesOut), p.transfers, Bytes(p.bytesIn), p.dataCalls, p.statusCalls));
    std::string usb;
    for (const TransferCount &t : world_->Transfers()) {
        if (!usb.empty())
            usb += "; ";
        usb += t.what.find("bulk") == 0 ? fmt::format("{} x{} ({})", t.what, t.count, Bytes(t.bytes))
                                        : fmt::format("{} x{}", t.what, t.count);
    }
    Note("USB", usb);
    const ConverterView conv = world_->Converter();
    Note("converter", fmt::format("{} from the host, {} to the host; {} setting, {} line, {} refused command(s)",
                                  Bytes(conv.bytesFromHost), Bytes(conv.bytesToHost), conv.lineSettingCommands,
                                  conv.modemControlCommands, conv.rejectedCommands));
    for (const ConverterCommand &c : world_->Commands())
        Note("", fmt::format("vendor request 0x0B  {:<9} {}{}", HexBytes(c.bytes), c.text, c.stalled ? " (STALLED)" : ""));
    std::string pool;
    for (const auto &[tag, use] : platform::PoolByTag())
        pool += fmt::format("{}\"{}\" {} block(s) {}", pool.empty() ? "" : ", ", tag, use.blocks, Bytes(use.bytes));
    Note("pool", pool.empty() ? "nothing in use" : pool);
}

void Demo::UnplugAndUnload()
{
    const bool win98 = o_.win98Unplug;
    world_->Unplug(win98);
    if (port_) {
        uint8_t scrap[16];
        const bool told = port_->isRemoved();
        const bool readRefused = port_->serial().Read(scrap, 0ms).removed;
        Step("unplug", told && readRefused,
             fmt::format("{}: the port's remove routine {}; reads now report the removal{}",
                         win98 ? "Windows 98 removal (IRP_MN_REMOVE_DEVICE, children first)"
                               : "surprise removal, then removal",
                         told ? "ran" : "was NOT called", readRefused ? "" : " (they do NOT)"));
        if (!port_->Release())
            Note("", "the port model is kept: norva may still call it");
        port_.reset();
    }

    const bool unloaded = world_->Unload();
    world_->Shutdown();
    world_.reset();
    const std::string leaks = KernelLeakReport();
    Step("unload", unloaded, unloaded ? "norva and tembris unloaded, no device object left"
                                      : "a driver left a device object behind");
    Step("clean", leaks.empty(), leaks.empty() ? "no pool, requests, MDLs, devices or registry handles left"
                                               : "kernel not clean: " + leaks);
    if (std::string capture = CaptureSummary(o_.session); !capture.empty())
        Note("capture", capture);
    if (std::string log = DebugLogSummary(o_.session); !log.empty())
        Note("debug log", log);
}

int Demo::Run()
{
    fmt::print("vcp demo: converter variant {} (EndPointCaps {}), loopback plug, {} unplug\n", variant_, variant_,
               o_.win98Unplug ? "Windows 98" : "surprise");
    TraceEcho echo(o_.session);
    if (Boot() && PlugAndOpen()) {
        Settings();
        Lines();
        Message();
        Layers();
    }
    if (world_)
        UnplugAndUnload();
    return PrintVerdict(checks_) ? 0 : 1;
}

}  // namespace

int RunDemo(const DemoOptions &options, Signals &)
{
    DemoOptions o = options;
    o.session.peer = "loopback";
    return Demo(o).Run();
}

}  // namespace vcp
