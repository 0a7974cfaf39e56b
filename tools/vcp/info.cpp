// info.cpp - `vcp info`: the device stack, tembris's pipe table and the
// port's identity, as a person (or, with --json, a script) reads them.
#include "commands.hpp"
#include "json.hpp"
#include "lower_file.hpp"
#include "outputs.hpp"

#include "usb/usbmon_capture.hpp"

#include <platform/platform.hpp>
#include <pnp/pnp_manager.hpp>

extern "C" {
#include <usb100.h>
}
#include <usbcvt.h>

#include <fmt/format.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <stdexcept>

namespace vcp {

namespace {

struct PipeRecord {
    std::string name;
    uint16_t maximumPacketSize = 0;
    uint8_t endpointAddress = 0;
    uint8_t interval = 0;
    uint32_t pipeType = 0;
    uint32_t pipeHandle = 0;
    uint32_t maximumTransferSize = 0;
    uint32_t pipeFlags = 0;
};

struct Alternative {
    uint64_t minimum = 0, maximum = 0;
    uint32_t length = 0, alignment = 0;
    uint8_t type = 0;
};

struct ConfigSummary {
    bool read = false;
    unsigned interfaces = 0;  // bNumInterfaces
    std::vector<std::string> interfaceLines;
    std::vector<uint8_t> bytes;
};

// A driver as the world loaded it.
struct DriverView {
    std::string path;
    bool image = false;        // a target build's .sys (else a host module)
    platform::ImageInfo info;  // for an image
};

// One converter of several (--ports).
struct PortEntry {
    size_t index = 0;
    unsigned hubPort = 0;
    int variant = 0;
    std::string instancePath;
    std::string deviceId, instanceId;
    int getNextPdo = -1;  // its place in GetNextPDO's walk; -1: not handed out
    std::vector<InterfaceView> interfaces;
    size_t pipes = 0;
};

struct Info {
    std::vector<DriverView> drivers;
    std::vector<PortEntry> ports;
    std::string instancePath;
    int variant = 0;
    bool fromFile = false;
    std::vector<DeviceView> stack;
    std::vector<InterfaceView> interfaces;
    ConfigSummary configuration;
    std::vector<PipeRecord> pipes;
    std::string pipeProblem;
    std::optional<world::ChildIdentity> port;
    std::vector<Alternative> resources;
    std::string resourceProblem;
    std::string leaks;
    bool unloaded = true;
    std::string norvaModule, tembrisModule;
    std::string capture, debugLog;  // summaries, once the world is gone
};

const char *PipeTypeName(uint32_t t)
{
    switch (t) {
    case 0: return "control";
    case 1: return "isochronous";
    case 2: return "bulk";
    case 3: return "interrupt";
    default: return "unknown";
    }
}

uint32_t Le32(const uint8_t *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// tembris's pipe records, read the way a client of tembris reads them: a file
// object opened on tembris's own device with the pipe's name, then
// IOCTL_USBCVT_GET_PIPE_INFO.  Pipes are numbered from 0 until tembris
// refuses the name.
std::vector<PipeRecord> ReadPipes(PDEVICE_OBJECT fdo, std::string *problem)
{
    std::vector<PipeRecord> pipes;
    for (unsigned n = 0; n < 32; ++n) {
        std::string name = fmt::format("PIPE{:02}", n);
        NTSTATUS status;
        auto file = LowerFile::Open(fdo, platform::ToU16(name), &status);
        if (!file) {
            if (status != STATUS_INVALID_HANDLE)
                *problem = fmt::format("opening {} failed: 0x{:08X}", name, uint32_t(status));
            break;
        }
        uint8_t record[USBCVT_PIPE_RECORD_SIZE] = {};
        ULONG_PTR returned = 0;
        status = file->DeviceControl(IOCTL_USBCVT_GET_PIPE_INFO, {}, record, &returned);
        if (!NT_SUCCESS(status) || returned != USBCVT_PIPE_RECORD_SIZE) {
            *problem = fmt::format("IOCTL_USBCVT_GET_PIPE_INFO on {} failed: 0x{:08X}, {} bytes", name,
                                   uint32_t(status), returned);
            break;
        }
        PipeRecord p;
        p.name = name;
        p.maximumPacketSize = uint16_t(record[0] | record[1] << 8);
        p.endpointAddress = record[USBCVT_PIPE_RECORD_ENDPOINT_ADDRESS];
        p.interval = record[USBCVT_PIPE_RECORD_INTERVAL];
        p.pipeType = Le32(record + USBCVT_PIPE_RECORD_PIPE_TYPE);
        p.pipeHandle = Le32(record + USBCVT_PIPE_RECORD_PIPE_HANDLE);
        p.maximumTransferSize = Le32(record + USBCVT_PIPE_RECORD_MAX_TRANSFER_SIZE);
        p.pipeFlags = Le32(record + USBCVT_PIPE_RECORD_PIPE_FLAGS);
        pipes.push_back(p);
    }
    return pipes;
}

ConfigSummary ReadConfiguration(PDEVICE_OBJECT fdo)
{
    ConfigSummary c;
    NTSTATUS status;
    auto file = LowerFile::Open(fdo, u"", &status);  // the device itself, no pipe
    if (!file)
        return c;
    std::vector<uint8_t> buffer(4096);
    ULONG_PTR returned = 0;
    if (!NT_SUCCESS(file->DeviceControl(IOCTL_USBCVT_GET_CONFIG_DESCRIPTOR, {}, buffer, &returned)) || returned < 9)
        return c;
    buffer.resize(returned);
    c.read = true;
    c.bytes = buffer;
    c.interfaces = buffer[4];
    for (size_t at = 0; at + 2 <= buffer.size() && buffer[at] >= 2; at += buffer[at]) {
        if (buffer[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && at + 9 <= buffer.size())
            c.interfaceLines.push_back(fmt::format("interface {} alt {}: class 0x{:02X}/0x{:02X}/0x{:02X}, {} endpoint(s)",
                                                   buffer[at + 2], buffer[at + 3], buffer[at + 5], buffer[at + 6],
                                                   buffer[at + 7], buffer[at + 4]));
    }
    return c;
}

std::vector<Alternative> ParseResources(const std::vector<uint8_t> &bytes, std::string *problem)
{
    std::vector<Alternative> out;
    if (bytes.empty())
        return out;
    const size_t header = FIELD_OFFSET(IO_RESOURCE_REQUIREMENTS_LIST, List);
    const size_t listHeader = FIELD_OFFSET(IO_RESOURCE_LIST, Descriptors);
    IO_RESOURCE_REQUIREMENTS_LIST head;
    if (bytes.size() < header) {
        *problem = "the list is shorter than its header";
        return out;
    }
    std::memcpy(&head, bytes.data(), header);
    size_t at = header;
    for (ULONG i = 0; i < head.AlternativeLists; ++i) {
        IO_RESOURCE_LIST list;
        if (at + listHeader > bytes.size()) {
            *problem = "the list is shorter than its alternatives";
            return out;
        }
        std::memcpy(&list, bytes.data() + at, listHeader);
        at += listHeader;
        for (ULONG d = 0; d < list.Count; ++d) {
            IO_RESOURCE_DESCRIPTOR desc;
            if (at + sizeof desc > bytes.size()) {
                *problem = "the list is shorter than its descriptors";
                return out;
            }
            std::memcpy(&desc, bytes.data() + at, sizeof desc);
            at += sizeof desc;
            Alternative a;
            a.type = desc.Type;
            a.minimum = uint64_t(desc.u.Port.MinimumAddress.QuadPart);
            a.maximum = uint64_t(desc.u.Port.MaximumAddress.QuadPart);
            a.length = desc.u.Port.Length;
            a.alignment = desc.u.Port.Alignment;
            out.push_back(a);
        }
    }
    return out;
}

std::string FlagsText(ULONG flags)
{
    std::string s;
    auto add = [&](ULONG bit, const char *name) {
        if (flags & bit)
            s += (s.empty() ? "" : " ") + std::string(name);
    };
    add(DO_BUFFERED_IO, "BUFFERED_IO");
    add(DO_DIRECT_IO, "DIRECT_IO");
    add(DO_EXCLUSIVE, "EXCLUSIVE");
    add(DO_BUS_ENUMERATED_DEVICE, "BUS_ENUMERATED");
    add(DO_POWER_PAGABLE, "POWER_PAGABLE");
    add(DO_DEVICE_INITIALIZING, "INITIALIZING");
    return s.empty() ? "-" : s;
}

Info Gather(const InfoOptions &o)
{
    Info info;
    info.variant = o.session.variant;
    info.fromFile = !o.session.descriptors.empty();
    {
        WorldSession world(o.session);
        info.norvaModule = world.norvaModule();
        info.tembrisModule = world.tembrisModule();
        for (unsigned k = 0; k < std::max(o.ports, 1u); ++k)
            world.Plug();
        std::vector<platform::ImageInfo> images = platform::LoadedImages();
        for (const std::string &path : {world.tembrisModule(), world.norvaModule()}) {
            DriverView d;
            d.path = path;
            for (const platform::ImageInfo &i : images) {
                if (i.path == path) {
                    d.image = true;
                    d.info = i;
                }
            }
            info.drivers.push_back(d);
        }
        info.variant = world.variant(0);
        info.instancePath = world.instancePath();
        info.stack = world.Stack();
        info.interfaces = world.Interfaces();
        info.configuration = ReadConfiguration(world.fdo());
        info.pipes = ReadPipes(world.fdo(), &info.pipeProblem);
        if (const world::ChildIdentity *id = world.childIdentity()) {
            info.port = *id;
            info.resources = ParseResources(id->resourceRequirements, &info.resourceProblem);
        }
        const std::vector<PDEVICE_OBJECT> order = PortSession::GetNextPdoOrder(world.norva());
        for (size_t k = 0; k < world.converters(); ++k) {
            PortEntry e;
            e.index = k;
            e.hubPort = world.hubPort(k);
            e.variant = world.variant(k);
            e.instancePath = world.instancePath(k);
            if (const world::ChildIdentity *id = world.childIdentity(k)) {
                e.deviceId = id->deviceId;
                e.instanceId = id->instanceId;
            }
            auto at = std::find(order.begin(), order.end(), world.filter(k));
            e.getNextPdo = at == order.end() ? -1 : int(at - order.begin());
            e.interfaces = world.Interfaces(k);
            std::string problem;
            e.pipes = ReadPipes(world.fdo(k), &problem).size();
            info.ports.push_back(std::move(e));
        }
        for (size_t k = 0; k < world.converters(); ++k)
            world.Unplug(false, k);
        info.unloaded = world.Unload();
    }
    info.leaks = KernelLeakReport();
    info.capture = CaptureSummary(o.session);
    info.debugLog = DebugLogSummary(o.session);
    return info;
}

std::string UtcTime(uint32_t seconds)
{
    time_t t = seconds;
    struct tm tm {};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return text;
}

void PrintText(const Info &info)
{
    bool images = !info.drivers.empty() && info.drivers[0].image;
    fmt::print("drivers   {}\n", images ? "the target build's images, mapped by the kernel's loader"
                                        : "host modules built from the same sources");
    for (const DriverView &d : info.drivers) {
        if (d.image)
            fmt::print("  {:<12} {}  {} bytes, linked {}, mapped at {:08x} ({} bytes), {} relocations, {} imports "
                       "bound\n",
                       d.info.name, d.path, d.info.fileSize, UtcTime(d.info.timestamp), d.info.base, d.info.size,
                       d.info.relocations, d.info.importsBound);
        else
            fmt::print("  {}\n", d.path);
    }
    fmt::print("device    {}  ({}, EndPointCaps {})\n", info.instancePath,
               info.fromFile ? "descriptors from a file" : fmt::format("converter variant {}", info.variant),
               info.variant);
    fmt::print("stack     bottom first\n");
    for (const DeviceView &d : info.stack)
        fmt::print("  {:08x}  {:<16} {:<46} stack {}  {}\n", PtrToUlong(d.device), d.driver, d.role, int(d.stackSize),
                   FlagsText(d.flags));
    fmt::print("interfaces\n");
    for (const InterfaceView &i : info.interfaces)
        fmt::print("  {:<17} {}  {}  {}\n", i.className.empty() ? "(other)" : i.className, i.classGuid, i.link,
                   i.enabled ? "enabled" : "disabled");
    if (info.configuration.read) {
        fmt::print("config    {} bytes, {} interface(s); tembris selects the first\n", info.configuration.bytes.size(),
                   info.configuration.interfaces);
        for (const std::string &l : info.configuration.interfaceLines)
            fmt::print("  {}\n", l);
    }
    fmt::print("pipes     tembris's pipe records (IOCTL_USBCVT_GET_PIPE_INFO)\n");
    for (const PipeRecord &p : info.pipes)
        fmt::print("  {}  {:<11} {:<3}  endpoint 0x{:02X}  max packet {:<4} interval {:<3} max transfer {}  handle "
                   "{:08x}\n",
                   p.name, PipeTypeName(p.pipeType), p.endpointAddress & 0x80 ? "IN" : "OUT", p.endpointAddress,
                   p.maximumPacketSize, p.interval, p.maximumTransferSize, p.pipeHandle);
    if (!info.pipeProblem.empty())
        fmt::print("  ({})\n", info.pipeProblem);
    if (info.port) {
        const world::ChildIdentity &id = *info.port;
        fmt::print("port      {}  instance {}  \"{}\"\n", id.deviceId, id.instanceId, id.description);
        if (id.busInformationAnswered)
            fmt::print("  bus       {}  legacy type {}  bus number {}\n",
                       platform::GuidToString(id.busInformation.BusTypeGuid), int(id.busInformation.LegacyBusType),
                       id.busInformation.BusNumber);
        std::string ranges;
        for (const Alternative &a : info.resources)
            ranges += fmt::format("{}0x{:X}-0x{:X}", ranges.empty() ? "" : ", ", a.minimum, a.maximum);
        fmt::print("  resources {} alternative I/O range(s) of {} ports: {}\n", info.resources.size(),
                   info.resources.empty() ? 0 : info.resources[0].length, ranges);
        const DEVICE_CAPABILITIES &c = id.capabilities;
        fmt::print("  capabilities  removable {}, surprise removal OK {}, unique ID {}\n", c.Removable ? "yes" : "no",
                   c.SurpriseRemovalOK ? "yes" : "no", c.UniqueID ? "yes" : "no");
    }
    if (info.ports.size() > 1) {
        fmt::print("ports     {} converters on one hub; GetNextPDO #: its place in the port VxD's walk\n",
                   info.ports.size());
        for (const PortEntry &e : info.ports) {
            std::string link;
            for (const InterfaceView &i : e.interfaces)
                if (i.className == "GUID_WDMVXD")
                    link = i.link;
            fmt::print("  {:>3}  hub port {:<3}  variant {}  GetNextPDO #{:<3}  {}  {}  {} pipes  {}\n", e.index,
                       e.hubPort, e.variant, e.getNextPdo, e.instancePath, e.instanceId, e.pipes, link);
        }
    }
    fmt::print("modules   {}\n          {}\n", info.norvaModule, info.tembrisModule);
    fmt::print("kernel    {}\n", info.leaks.empty() && info.unloaded ? "clean after unplug and unload"
                                                                      : "NOT clean: " + info.leaks);
    if (!info.capture.empty())
        fmt::print("capture   {}\n", info.capture);
    if (!info.debugLog.empty())
        fmt::print("debug log {}\n", info.debugLog);
}

void PrintJson(const Info &info, const SessionOptions &o)
{
    Json j;
    j.Begin('{');
    j.Field("instancePath", info.instancePath);
    j.Field("variant", info.variant);
    j.Field("descriptorsFromFile", info.fromFile);
    j.Key("drivers");
    j.Begin('[');
    for (const DriverView &d : info.drivers) {
        j.Begin('{');
        j.Field("path", d.path);
        j.Field("image", d.image);
        if (d.image) {
            j.Field("fileSize", d.info.fileSize);
            j.Field("timestamp", d.info.timestamp);
            j.Field("linked", UtcTime(d.info.timestamp));
            j.Field("sizeOfImage", d.info.size);
            j.Field("relocations", d.info.relocations);
            j.Field("importsBound", d.info.importsBound);
        }
        j.End();
    }
    j.End();
    j.Key("stack");
    j.Begin('[');
    for (const DeviceView &d : info.stack) {
        j.Begin('{');
        j.Field("device", fmt::format("{:08x}", PtrToUlong(d.device)));
        j.Field("driver", d.driver);
        j.Field("role", d.role);
        j.Field("stackSize", int(d.stackSize));
        j.Field("flags", d.flags);
        j.End();
    }
    j.End();
    j.Key("interfaces");
    j.Begin('[');
    for (const InterfaceView &i : info.interfaces) {
        j.Begin('{');
        j.Field("class", i.className);
        j.Field("guid", i.classGuid);
        j.Field("link", i.link);
        j.Field("enabled", i.enabled);
        j.End();
    }
    j.End();
    j.Key("configuration");
    j.Begin('{');
    j.Field("read", info.configuration.read);
    j.Field("totalLength", info.configuration.bytes.size());
    j.Field("interfaces", info.configuration.interfaces);
    j.End();
    j.Key("pipes");
    j.Begin('[');
    for (const PipeRecord &p : info.pipes) {
        j.Begin('{');
        j.Field("name", p.name);
        j.Field("maximumPacketSize", p.maximumPacketSize);
        j.Field("endpointAddress", p.endpointAddress);
        j.Field("interval", p.interval);
        j.Field("pipeType", p.pipeType);
        j.Field("type", PipeTypeName(p.pipeType));
        j.Field("direction", p.endpointAddress & 0x80 ? "in" : "out");
        j.Field("pipeHandle", p.pipeHandle);
        j.Field("maximumTransferSize", p.maximumTransferSize);
        j.Field("pipeFlags", p.pipeFlags);
        j.End();
    }
    j.End();
    if (!info.pipeProblem.empty())
        j.Field("pipeProblem", info.pipeProblem);
    j.Key("port");
    if (!info.port) {
        j.Null();
    } else {
        const world::ChildIdentity &id = *info.port;
        j.Begin('{');
        j.Field("deviceId", id.deviceId);
        j.Field("instanceId", id.instanceId);
        j.Field("description", id.description);
        j.Key("busInformation");
        if (id.busInformationAnswered) {
            j.Begin('{');
            j.Field("busType", platform::GuidToString(id.busInformation.BusTypeGuid));
            j.Field("legacyBusType", int(id.busInformation.LegacyBusType));
            j.Field("busNumber", id.busInformation.BusNumber);
            j.End();
        } else {
            j.Null();
        }
        j.Key("resourceRequirements");
        j.Begin('[');
        for (const Alternative &a : info.resources) {
            j.Begin('{');
            j.Field("type", a.type);
            j.Field("minimum", a.minimum);
            j.Field("maximum", a.maximum);
            j.Field("length", a.length);
            j.Field("alignment", a.alignment);
            j.End();
        }
        j.End();
        j.Key("capabilities");
        j.Begin('{');
        j.Field("removable", bool(id.capabilities.Removable));
        j.Field("surpriseRemovalOK", bool(id.capabilities.SurpriseRemovalOK));
        j.Field("uniqueID", bool(id.capabilities.UniqueID));
        j.End();
        j.End();
    }
    j.Key("ports");
    j.Begin('[');
    for (const PortEntry &e : info.ports) {
        j.Begin('{');
        j.Field("index", e.index);
        j.Field("hubPort", e.hubPort);
        j.Field("variant", e.variant);
        j.Field("instancePath", e.instancePath);
        j.Field("deviceId", e.deviceId);
        j.Field("instanceId", e.instanceId);
        j.Field("getNextPdo", e.getNextPdo);
        j.Field("pipes", e.pipes);
        j.Key("interfaces");
        j.Begin('[');
        for (const InterfaceView &i : e.interfaces) {
            j.Begin('{');
            j.Field("class", i.className);
            j.Field("link", i.link);
            j.Field("enabled", i.enabled);
            j.End();
        }
        j.End();
        j.End();
    }
    j.End();
    j.Key("modules");
    j.Begin('{');
    j.Field("norva", info.norvaModule);
    j.Field("tembris", info.tembrisModule);
    j.End();
    j.Field("kernelClean", info.leaks.empty() && info.unloaded);
    j.Field("leaks", info.leaks);
    if (o.capture) {
        const world::UsbmonCapture::Stats c = o.capture->stats();
        j.Key("capture");
        j.Begin('{');
        j.Field("file", o.capturePath);
        j.Field("linkType", world::UsbmonCapture::kLinkType);
        j.Field("timestamps", world::UsbmonCapture::ClockName(o.capture->options().clock));
        j.Field("submissions", c.submissions);
        j.Field("completions", c.completions);
        j.Field("refused", c.errors);
        j.Field("notWritten", c.dropped);
        j.Field("bytes", c.bytesWritten);
        j.Field("failure", c.failure);
        j.End();
    }
    if (!info.debugLog.empty())
        j.Field("debugLog", info.debugLog);
    j.End();
    fmt::print("{}\n", j.str());
}

}  // namespace

int RunInfo(const InfoOptions &options)
{
    InfoOptions o = options;
    o.session.peer = "none";
    Info info;
    {
        TraceEcho echo(o.session);
        info = Gather(o);
    }
    if (o.json)
        PrintJson(info, o.session);
    else
        PrintText(info);
    return info.leaks.empty() && info.unloaded && info.pipeProblem.empty() ? 0 : 1;
}

}  // namespace vcp
