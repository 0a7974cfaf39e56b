// session_world.cpp - the world side of a vcp session: modules, hub,
// converter, PnP.
#include "session.hpp"

#include "commands.hpp"
#include "debug_log.hpp"
#include "descriptors.hpp"

#include "bridge/line_peers.hpp"
#include "port/norva_exports.hpp"
#include "usb/usbmon_capture.hpp"
#include "world/world.hpp"

#include <platform/platform.hpp>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <unistd.h>

namespace vcp {

namespace {

constexpr size_t kUrbRecordsKept = 256;

const GUID kGuidClassUsbcvt = {0xFEE29501, 0xE702, 0x11D4, {0x80, 0xD2, 0x00, 0x40, 0x26, 0x41, 0x28, 0x3F}};
const GUID kGuidWdmVxd = {0x82ccc361, 0xc550, 0x11d4, {0x96, 0x1c, 0x00, 0x60, 0x67, 0x72, 0x8f, 0xa8}};

bool SameGuid(const GUID &a, const GUID &b)
{
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

uint8_t InputBits(const world::ModemLines &l)
{
    return uint8_t((l.cts ? bridge::kCts : 0) | (l.dsr ? bridge::kDsr : 0) | (l.ri ? bridge::kRi : 0) |
                   (l.dcd ? bridge::kDcd : 0));
}

bridge::SerialConfig ToConfig(const world::LineSettings &s)
{
    bridge::SerialConfig c;
    c.baud = s.baud;
    c.dataBits = s.dataBits;
    c.parity = s.parity == world::Parity::Odd ? bridge::Parity::Odd
               : s.parity == world::Parity::Even ? bridge::Parity::Even
                                                 : bridge::Parity::None;
    c.stopBits = s.stopBits == 2 ? bridge::StopBits::Two : bridge::StopBits::One;
    return c;
}

// A descriptor file: the 18-byte device descriptor, then the whole
// configuration descriptor, checked before anything is plugged.
void ReadDescriptors(const SessionOptions &o, std::vector<uint8_t> *device, std::vector<uint8_t> *configuration)
{
    const std::string &path = o.descriptors;
    std::vector<uint8_t> bytes = ReadDescriptorFile(path, o.interrupted);
    if (bytes.size() < 18 + 9 || bytes[0] != 18 || bytes[1] != USB_DEVICE_DESCRIPTOR_TYPE)
        throw std::runtime_error(path + ": does not start with an 18-byte device descriptor");
    if (bytes[18] != 9 || bytes[19] != USB_CONFIGURATION_DESCRIPTOR_TYPE)
        throw std::runtime_error(path + ": no configuration descriptor after the device descriptor");
    size_t total = bytes[20] | size_t(bytes[21]) << 8;
    if (total != bytes.size() - 18)
        throw std::runtime_error(path + ": the configuration descriptor says " + std::to_string(total) +
                                 " bytes (wTotalLength), the file holds " + std::to_string(bytes.size() - 18));
    device->assign(bytes.begin(), bytes.begin() + 18);
    configuration->assign(bytes.begin() + 18, bytes.end());
    if (std::string problem = CheckDescriptors(*device, *configuration); !problem.empty())
        throw std::runtime_error(path + ": " + problem);
}

// The modules must be what they are given as: a swapped pair would run
// tembris as the filter and norva as the function driver.
void CheckModules(world::World &w, const std::string &norvaPath, const std::string &tembrisPath)
{
    world::NorvaExports norva = world::NorvaExports::Bind(w.norva());
    std::vector<std::string> missing = norva.Missing();
    if (missing.size() == 12)
        throw UsageError("--norva " + norvaPath + " is not norva: it exports none of norva's functions "
                         "(RxThreadStart, GetNextPDO, ...)" +
                         (w.norva().Symbol("DriverEntry") ? "; is it tembris?" : ""));
    if (!missing.empty()) {
        std::string names;
        for (const std::string &m : missing)
            names += (names.empty() ? "" : ", ") + m;
        throw UsageError("--norva " + norvaPath + " lacks norva's exports " + names);
    }
    if (w.tembris().Symbol("RxThreadStart") || w.tembris().Symbol("GetNextPDO"))
        throw UsageError("--tembris " + tembrisPath + " exports norva's functions: it is norva, not tembris");
}

std::string FileName(const std::string &path) { return path.substr(path.rfind('/') + 1); }

std::string Hex8(uint8_t v)
{
    static const char digits[] = "0123456789ABCDEF";
    return std::string("0x") + digits[v >> 4] + digits[v & 15];
}

}  // namespace

struct WorldSession::Impl {
    SessionOptions options;
    std::string norvaPath;
    std::string tembrisPath;
    std::unique_ptr<world::World> world;
    // One converter, its far end and the device of a descriptor file.
    struct Slot {
        world::World::Converter *converter = nullptr;
        std::shared_ptr<bridge::ExternalPeer> external;
        std::shared_ptr<world::UsbDevice> device;
        std::string instancePath;
        int variant = 0;
    };
    std::vector<Slot> slots;
    const Slot *At(size_t index) const { return index < slots.size() ? &slots[index] : nullptr; }
    world::World::Converter *Converter(size_t index) const
    {
        const Slot *s = At(index);
        return s ? s->converter : nullptr;
    }
};

WorldSession::WorldSession(const SessionOptions &options) : impl_(std::make_unique<Impl>())
{
    impl_->options = options;
    // A module or image of the kind this build loads, next to the program.
    impl_->norvaPath = FindModule(options.norvaPath, FileName(NORVA_MODULE_DEFAULT).c_str());
    impl_->tembrisPath = FindModule(options.tembrisPath, FileName(TEMBRIS_MODULE_DEFAULT).c_str());
    world::WorldOptions w;
    // Without --realtime: as fast as the machine goes while bytes move, and
    // an idle port costs nothing (its latency timer takes its real 16 ms).
    w.clock = options.realtime ? world::ClockMode::Frames : world::ClockMode::Interactive;
    w.norvaPath = impl_->norvaPath;
    w.tembrisPath = impl_->tembrisPath;
    const std::string norva = norvaModule(), tembris = tembrisModule();
    std::error_code ec;
    if (std::filesystem::equivalent(norva, tembris, ec))
        throw UsageError("--norva and --tembris name the same module, " + norva);
    impl_->world = std::make_unique<world::World>(w);
    CheckModules(*impl_->world, norva, tembris);
    // A long session keeps the hub's most recent URBs only: enough for the
    // demo's table of what crossed each layer, bounded however long it runs.
    impl_->world->hub().SetUrbLogLimit(kUrbRecordsKept);
    world::UsbHub &hub = impl_->world->hub();
    if (options.capture)
        hub.SetObserver(options.capture);
    if (options.debugLog)
        options.debugLog->SetFrameSource([&hub] { return uint64_t(hub.frame()); });
}

WorldSession::~WorldSession()
{
    Shutdown();
}

const SessionOptions &WorldSession::options() const
{
    return impl_->options;
}

std::string WorldSession::norvaModule() const
{
    return impl_->norvaPath.empty() ? NORVA_MODULE_DEFAULT : impl_->norvaPath;
}

std::string WorldSession::tembrisModule() const
{
    return impl_->tembrisPath.empty() ? TEMBRIS_MODULE_DEFAULT : impl_->tembrisPath;
}

size_t WorldSession::Plug()
{
    return Plug(impl_->slots.size());
}

size_t WorldSession::converters() const
{
    return impl_->slots.size();
}

int WorldSession::variant(size_t index) const
{
    const Impl::Slot *s = impl_->At(index);
    return s ? s->variant : impl_->options.variant;
}

size_t WorldSession::Plug(size_t index)
{
    Impl &w = *impl_;
    if (index > w.slots.size())
        throw std::out_of_range("no converter " + std::to_string(index) + " to plug again");
    if (index == w.slots.size())
        w.slots.emplace_back();
    else if (w.slots[index].converter && w.slots[index].converter->plugged)
        throw std::runtime_error("converter " + std::to_string(index) + " is plugged in");
    else if (w.slots[index].external)
        w.slots[index].external->Stop();
    Impl::Slot &m = w.slots[index];
    m = Impl::Slot{};
    const SessionOptions &o = w.options;
    m.variant = o.variants.empty() ? o.variant : o.variants[index % o.variants.size()];
    std::optional<ULONG> debugLevel;
    if (o.debugLevel)
        debugLevel = *o.debugLevel;

    if (!o.descriptors.empty()) {
        std::vector<uint8_t> device, configuration;
        ReadDescriptors(o, &device, &configuration);
        m.device = std::make_shared<world::UsbDevice>();
        m.device->SetDescriptors(device, configuration);
        m.converter = w.world->PlugDevice(m.device, [&](world::DevNode &node) {
            node.SetDword(u"EndPointCaps", ULONG(m.variant));
            if (debugLevel)
                node.SetDword(u"DebugLevel", *debugLevel);
        });
    } else {
        std::shared_ptr<world::SerialPeer> peer;
        if (o.peer == "loopback") {
            peer = std::make_shared<world::LoopbackPlug>();
        } else if (o.peer == "pty") {
            m.external = std::make_shared<bridge::PtyPeer>();
        } else if (o.peer.rfind("tcp:", 0) == 0) {
            std::string host;
            uint16_t port = 0;
            if (!bridge::ParseTcpPeer(o.peer, &host, &port))
                throw std::runtime_error("--peer " + o.peer + ": expected tcp:HOST:PORT");
            if (port + index > 65535)
                throw std::runtime_error("--peer " + o.peer + ": no TCP port " + std::to_string(port + index) +
                                         " for converter " + std::to_string(index));
            port = uint16_t(port + index);
            m.external = std::make_shared<bridge::TcpPeer>(host, port);
        } else if (o.peer != "none") {
            throw std::runtime_error("--peer " + o.peer + ": expected loopback, pty, tcp:HOST:PORT or none");
        }
        if (m.external)
            peer = m.external;
        world::ConverterOptions co;
        co.pacing = o.realtime;
        m.converter = w.world->Plug(m.variant, peer, co, debugLevel);
        if (m.external) {
            if (o.peerLog)
                m.external->SetLog(o.peerLog);
            m.external->Start();
        }
    }

    world::World::Converter *c = m.converter;
    if (!c->pdo)
        throw std::runtime_error("the hub could not create the device's PDO");
    m.instancePath = platform::ToUtf8(reinterpret_cast<const WCHAR *>(platform::DeviceInstancePath(c->pdo).c_str()));
    if (!NT_SUCCESS(c->status))
        throw std::runtime_error("the device did not start: " + platform::FormatKernel("0x%08lx", c->status) +
                                 " from AddDevice or IRP_MN_START_DEVICE");
    if (!c->fdo || !c->filter)
        throw std::runtime_error("the device stack is incomplete: " + std::string(c->fdo ? "" : "no tembris device ") +
                                 (c->filter ? "" : "no norva filter device"));
    if (!c->child)
        throw std::runtime_error("norva reported no port PDO in its bus relations");
    return index;
}

bool WorldSession::plugged(size_t index) const
{
    world::World::Converter *c = impl_->Converter(index);
    return c && c->plugged;
}

std::string WorldSession::instancePath(size_t index) const
{
    const Impl::Slot *s = impl_->At(index);
    return s ? s->instancePath : std::string();
}

PDEVICE_OBJECT WorldSession::pdo(size_t index) const
{
    world::World::Converter *c = impl_->Converter(index);
    return c ? c->pdo : nullptr;
}

PDEVICE_OBJECT WorldSession::fdo(size_t index) const
{
    world::World::Converter *c = impl_->Converter(index);
    return c ? c->fdo : nullptr;
}

PDEVICE_OBJECT WorldSession::filter(size_t index) const
{
    world::World::Converter *c = impl_->Converter(index);
    return c ? c->filter : nullptr;
}

PDEVICE_OBJECT WorldSession::child(size_t index) const
{
    world::World::Converter *c = impl_->Converter(index);
    return c ? c->child : nullptr;
}

unsigned WorldSession::hubPort(size_t index) const
{
    world::World::Converter *c = impl_->Converter(index);
    return c && c->plugged ? unsigned(c->port) : 0;
}

const world::DriverModule &WorldSession::norva() const
{
    return impl_->world->norva();
}

const world::ChildIdentity *WorldSession::childIdentity(size_t index) const
{
    world::World::Converter *c = impl_->Converter(index);
    if (!c || !c->node)
        return nullptr;
    world::PnpManager::Node *child = world::PnpManager::FirstChild(c->node);
    return child ? &child->identity : nullptr;
}

std::vector<DeviceView> WorldSession::Stack(size_t index) const
{
    std::vector<DeviceView> out;
    world::World::Converter *c = impl_->Converter(index);
    if (!c || !c->plugged)
        return out;
    auto view = [](PDEVICE_OBJECT d, std::string role) {
        DeviceView v;
        v.device = d;
        v.driver = d->DriverObject ? platform::ToUtf8(d->DriverObject->DriverName) : "";
        v.role = std::move(role);
        v.flags = d->Flags;
        v.stackSize = d->StackSize;
        return v;
    };
    for (PDEVICE_OBJECT d : platform::DeviceStack(c->pdo)) {
        std::string role = d == c->pdo      ? "USB device PDO (hub)"
                           : d == c->fdo    ? "function device (tembris)"
                           : d == c->filter ? "upper filter, bus driver of the port (norva)"
                                            : "device";
        out.push_back(view(d, role));
    }
    if (c->child)
        out.push_back(view(c->child, "port PDO, child of the filter (norva)"));
    return out;
}

std::vector<InterfaceView> WorldSession::Interfaces(size_t index) const
{
    std::vector<InterfaceView> out;
    world::World::Converter *c = impl_->Converter(index);
    if (!c || !c->plugged)
        return out;
    for (const platform::InterfaceInfo &i : platform::Interfaces()) {
        if (i.pdo != c->pdo && i.pdo != c->child)
            continue;
        InterfaceView v;
        v.classGuid = platform::GuidToString(i.classGuid);
        v.className = SameGuid(i.classGuid, kGuidClassUsbcvt) ? "GUID_CLASS_USBCVT"
                      : SameGuid(i.classGuid, kGuidWdmVxd)    ? "GUID_WDMVXD"
                                                                 : "";
        v.link = platform::ToUtf8(reinterpret_cast<const WCHAR *>(i.link.c_str()));
        v.enabled = i.enabled;
        out.push_back(std::move(v));
    }
    return out;
}

bridge::PtyPeer *WorldSession::ptyPeer(size_t index) const
{
    return dynamic_cast<bridge::PtyPeer *>(externalPeer(index));
}

bridge::TcpPeer *WorldSession::tcpPeer(size_t index) const
{
    return dynamic_cast<bridge::TcpPeer *>(externalPeer(index));
}

bridge::ExternalPeer *WorldSession::externalPeer(size_t index) const
{
    const Impl::Slot *s = impl_->At(index);
    return s ? s->external.get() : nullptr;
}

bool WorldSession::hasConverter(size_t index) const
{
    world::World::Converter *c = impl_->Converter(index);
    return c && c->device;
}

ConverterView WorldSession::Converter(size_t index) const
{
    ConverterView v;
    if (!hasConverter(index))
        return v;
    const world::ConverterDevice &d = *impl_->Converter(index)->device;
    world::ConverterLineState s = d.lineState();
    v.settings = ToConfig(s.settings);
    v.flag = s.settings.flag;
    v.rts = s.rts;
    v.dtr = s.dtr;
    v.inputs = InputBits(s.inputs);
    v.lineSettingCommands = s.lineSettingCommands;
    v.modemControlCommands = s.modemControlCommands;
    v.rejectedCommands = s.rejectedCommands;
    v.bytesFromHost = d.bytesFromHost();
    v.bytesToHost = d.bytesToHost();
    v.rxLostBytes = d.rxLostBytes();
    return v;
}

uint64_t WorldSession::converterOverruns(size_t index) const
{
    return hasConverter(index) ? impl_->Converter(index)->device->rxLostBytes() : 0;
}

std::vector<ConverterCommand> WorldSession::Commands(size_t index) const
{
    std::vector<ConverterCommand> out;
    if (!hasConverter(index))
        return out;
    for (const world::ControlRecord &r : impl_->Converter(index)->device->vendorRequests()) {
        ConverterCommand c = DecodeCommand(variant(index), r.data);
        c.stalled = r.stalled;
        out.push_back(std::move(c));
    }
    return out;
}

uint64_t WorldSession::commandsLeftOut(size_t index) const
{
    return hasConverter(index) ? impl_->Converter(index)->device->controlRequestsLeftOut() : 0;
}

std::vector<TransferCount> WorldSession::Transfers(size_t index) const
{
    std::vector<TransferCount> out;
    world::World::Converter *c = impl_->Converter(index);
    if (!c || !c->pdo)
        return out;
    std::map<std::string, TransferCount> byKind;
    std::vector<std::string> order;
    for (const world::UrbRecord &u : impl_->world->hub().urbs(c->pdo)) {
        std::string what;
        switch (u.function) {
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            what = u.endpoint == world::ConverterDevice::kBulkOut  ? "bulk OUT " + Hex8(u.endpoint)
                   : u.endpoint == world::ConverterDevice::kBulkIn ? "bulk IN " + Hex8(u.endpoint)
                   : u.endpoint == world::ConverterDevice::kStatusIn ? "interrupt IN " + Hex8(u.endpoint)
                                                                      : "transfers on " + Hex8(u.endpoint);
            break;
        case URB_FUNCTION_VENDOR_DEVICE: what = "vendor requests"; break;
        case URB_FUNCTION_SELECT_CONFIGURATION: what = "select configuration"; break;
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: what = "get descriptor"; break;
        case URB_FUNCTION_RESET_PIPE: what = "pipe resets"; break;
        case URB_FUNCTION_ABORT_PIPE: what = "pipe aborts"; break;
        default: what = "other URBs"; break;
        }
        auto [it, added] = byKind.try_emplace(what, TransferCount{what});
        if (added)
            order.push_back(what);
        ++it->second.count;
        if (u.status != USBD_STATUS_PENDING)
            it->second.bytes += u.transferred;
    }
    for (const std::string &k : order)
        out.push_back(byKind[k]);
    return out;
}

void WorldSession::Unplug(bool win98, size_t index)
{
    world::World::Converter *c = impl_->Converter(index);
    if (c && c->plugged)
        impl_->world->Unplug(c, win98 ? world::UnplugKind::Win98 : world::UnplugKind::Surprise);
}

bool WorldSession::Unload()
{
    return impl_->world ? impl_->world->UnloadDrivers() : true;
}

void WorldSession::Shutdown()
{
    for (Impl::Slot &s : impl_->slots)
        if (s.external)
            s.external->Stop();
    if (impl_->options.debugLog)
        impl_->options.debugLog->SetFrameSource({});
    impl_->world.reset();  // unplugs what is left and unloads
    // The hub is gone, and with it every request it held: each has its
    // completion in the capture.
    if (impl_->options.capture)
        impl_->options.capture->Close();
    impl_->slots.clear();
}

namespace {

// The running binary's directory, with a trailing '/'; empty if unknown.
std::string SelfDirectory()
{
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return {};
    std::string dir(self, size_t(n));
    dir.resize(dir.rfind('/') + 1);
    return dir;
}

}  // namespace

std::string InstalledDirectory(const char *relative)
{
    const std::string dir = SelfDirectory();
    std::error_code ec;
    if (dir.empty() || !std::filesystem::is_directory(dir + relative, ec))
        return {};
    return std::filesystem::weakly_canonical(dir + relative, ec).string();
}

std::string FindModule(const std::string &given, const char *fileName)
{
    if (!given.empty())
        return given;
    const std::string dir = SelfDirectory();
    if (dir.empty())
        return {};
    const std::string installed = InstalledDirectory(VCP_MODULE_RELDIR);
    for (const std::string &candidate : {dir + fileName, installed.empty() ? "" : installed + "/" + fileName})
        if (!candidate.empty() && access(candidate.c_str(), R_OK) == 0)
            return candidate;
    std::error_code ec;
    if (std::filesystem::equivalent(dir, VCP_BUILD_DIR, ec))
        return {};  // the world loads the module built with this tree
    throw std::runtime_error(std::string(fileName) + " is neither next to vcp nor in " + dir + VCP_MODULE_RELDIR +
                             ": install vcp again, or name the modules with --norva and --tembris");
}

std::string KernelLeakReport()
{
    return platform::LeakReport();
}

}  // namespace vcp
