// session.hpp - what every vcp command does with the world: boot it, plug a
// converter, open its port as the port VxD does, look at what crossed each
// layer, unplug, unload, and check that the kernel was left clean.
//
// The world side (WorldSession) and the port side (PortSession) live in
// units of their own and meet here only through plain types: the converter
// model's headers and the port model's both define world::LineSettings.
#pragma once

#include "bridge/port_adapter.hpp"
#include "bridge/serial_config.hpp"

extern "C" {
#include <ntddk.h>
}

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace world {
class DriverModule;
struct ChildIdentity;
class UsbmonCapture;
}  // namespace world

namespace bridge {
class ExternalPeer;
class PtyPeer;
class TcpPeer;
}  // namespace bridge

namespace vcp {

class DebugLog;

struct SessionOptions {
    int variant = 2;                   // "EndPointCaps"
    std::vector<int> variants;         // several converters: converter K's is variants[K % size] (else variant)
    std::string peer = "loopback";     // loopback, pty, tcp:HOST:PORT, none
    bool realtime = false;             // 1 ms frames, converter paced at the baud rate
    std::optional<uint32_t> debugLevel;  // "DebugLevel"; also echoes norva's traces
    std::string descriptors;           // a device whose descriptors come from this file
    std::string norvaPath;             // empty: next to vcp, or the build tree's
    std::string tembrisPath;
    // Opened by the program (outputs.hpp), attached by the session: the bus
    // capture takes every URB at the hub until the world is gone and is
    // closed then; the debug log takes the drivers' traces.
    std::shared_ptr<world::UsbmonCapture> capture;
    std::string capturePath;
    std::shared_ptr<DebugLog> debugLog;
    size_t rxBuffer = 1024 * 1024;     // the port's receive buffer (pty, serve)
    // Asked during waits that could last (reading a descriptor file): a
    // signal that came, to give up on.
    std::function<std::optional<int>()> interrupted;
    // Told when the line's far end (pty, TCP) goes away.
    std::function<void(const std::string &)> peerLog;
};

// One vendor request the converter received, decoded.
struct ConverterCommand {
    std::vector<uint8_t> bytes;
    bool stalled = false;
    std::string kind;  // "line-setting", "modem-control", "unknown"
    std::string text;  // "115200 8N1", "RTS on, DTR on", ...
};
// Decodes a converter command in the format of its variant.
ConverterCommand DecodeCommand(int variant, std::span<const uint8_t> bytes);
std::string HexBytes(std::span<const uint8_t> bytes);  // "00 07"

// The converter model as it stands.
struct ConverterView {
    bridge::SerialConfig settings;
    bool flag = false;
    bool rts = false;
    bool dtr = false;
    uint8_t inputs = 0;  // kCts | kDsr | kRi | kDcd, as its peer drives them
    unsigned lineSettingCommands = 0;
    unsigned modemControlCommands = 0;
    unsigned rejectedCommands = 0;
    uint64_t bytesFromHost = 0;
    uint64_t bytesToHost = 0;
    uint64_t rxLostBytes = 0;  // the receive FIFO overran
};

// USB transfers the hub saw, by kind.
struct TransferCount {
    std::string what;  // "bulk OUT 0x02", "vendor request", ...
    uint64_t count = 0;
    uint64_t bytes = 0;
};

// One device object of a stack.
struct DeviceView {
    PDEVICE_OBJECT device = nullptr;
    std::string driver;  // "\Driver\tembris"
    std::string role;    // "USB hub PDO", "tembris FDO", ...
    ULONG flags = 0;
    CCHAR stackSize = 0;
};

struct InterfaceView {
    std::string classGuid;
    std::string className;  // "GUID_CLASS_USBCVT", "GUID_WDMVXD" or empty
    std::string link;
    bool enabled = false;
};

class WorldSession {
public:
    // Loads both driver modules into a new world.  Throws std::runtime_error
    // with the reason on failure.
    explicit WorldSession(const SessionOptions &options);
    ~WorldSession();
    WorldSession(const WorldSession &) = delete;
    WorldSession &operator=(const WorldSession &) = delete;

    const SessionOptions &options() const;
    std::string norvaModule() const;
    std::string tembrisModule() const;

    // Plugs the converter (or the device of the descriptor file) and waits
    // for its port's PDO.  Throws std::runtime_error on failure.  Each call
    // plugs one more converter into the hub's lowest free port, with a far
    // end of its own (a TCP far end's port number is the given one plus
    // the converter's index), and returns its index; `index` plugs a new
    // converter in the place of one that was unplugged.  Every accessor
    // below takes the converter's index (the first by default).
    size_t Plug();
    size_t Plug(size_t index);
    size_t converters() const;  // indices handed out, plugged or not
    int variant(size_t index = 0) const;  // the converter's "EndPointCaps"
    bool plugged(size_t index = 0) const;
    std::string instancePath(size_t index = 0) const;
    PDEVICE_OBJECT pdo(size_t index = 0) const;
    PDEVICE_OBJECT fdo(size_t index = 0) const;
    PDEVICE_OBJECT filter(size_t index = 0) const;
    PDEVICE_OBJECT child(size_t index = 0) const;
    unsigned hubPort(size_t index = 0) const;  // 1-based; 0 when unplugged
    const world::DriverModule &norva() const;
    const world::ChildIdentity *childIdentity(size_t index = 0) const;

    std::vector<DeviceView> Stack(size_t index = 0) const;  // the converter's stack, bottom first, then the child
    std::vector<InterfaceView> Interfaces(size_t index = 0) const;

    // The line's far end, when it is a pseudo-terminal or a TCP connection.
    bridge::PtyPeer *ptyPeer(size_t index = 0) const;
    bridge::TcpPeer *tcpPeer(size_t index = 0) const;
    bridge::ExternalPeer *externalPeer(size_t index = 0) const;

    bool hasConverter(size_t index = 0) const;  // false for a device from a descriptor file
    ConverterView Converter(size_t index = 0) const;
    // Bytes the converter's receive FIFO lost (any thread).
    uint64_t converterOverruns(size_t index = 0) const;
    // The converter's first 4096 control requests are kept; beyond them
    // commands are counted only.
    std::vector<ConverterCommand> Commands(size_t index = 0) const;
    uint64_t commandsLeftOut(size_t index = 0) const;
    std::vector<TransferCount> Transfers(size_t index = 0) const;

    // Pulls the device out (surprise removal, or the Windows 98 kind).
    void Unplug(bool win98, size_t index = 0);
    // Unloads both drivers; false when a device object was left.
    bool Unload();
    // Unplugs what is left, unloads, tears the world down and closes the
    // bus capture (every completion recorded).
    void Shutdown();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

struct PortCountersView {
    uint64_t bytesWritten = 0, bytesOut = 0, transfers = 0, kicks = 0;
    uint64_t bytesIn = 0, bytesRead = 0, dataCalls = 0, statusCalls = 0, holds = 0, overrunBytes = 0;
    uint64_t discardedBytes = 0, purgedIn = 0, purgedOut = 0;
};

// The port VxD's stand-in on one converter.
class PortSession {
public:
    static constexpr size_t kReceiveRing = 1024 * 1024;

    // Binds norva's exports, finds the port with GetNextPDO, registers the
    // remove routine.  Throws std::runtime_error when the port is not found.
    // receiveBuffer: the port's receive ring (reception held from 3/4 full).
    PortSession(const world::DriverModule &norva, PDEVICE_OBJECT filter, PDEVICE_OBJECT child,
                size_t receiveBuffer = kReceiveRing);
    ~PortSession();
    PortSession(const PortSession &) = delete;
    PortSession &operator=(const PortSession &) = delete;

    // The filter devices in the order norva's GetNextPDO hands them out, as
    // the port VxD walks them.
    static std::vector<PDEVICE_OBJECT> GetNextPdoOrder(const world::DriverModule &norva);

    bool foundByGetNextPdo() const;
    bool removeRoutineRegistered() const;
    std::optional<ULONG> variant() const;
    std::string linkName();
    std::vector<std::string> missingExports() const;

    bridge::PortOutcome Open();
    bridge::PortOutcome Close();
    bool isOpen() const;
    bool isRemoved() const;

    bridge::PortModelPort &serial();
    PortCountersView Counters() const;
    bool receptionHeld() const;

    // After an unplug: true when the port learnt of the removal.  A port that
    // did not is left alone (norva still holds its callbacks).
    bool Release();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Where the driver modules are: given, next to the vcp binary, in the
// installed layout's lib/vcp beside its bin, else (for the binary of the
// build tree only) the modules built with it (empty: the world's default).
// Throws std::runtime_error when an installed vcp has none.
std::string FindModule(const std::string &given, const char *fileName);
// A directory of the installed layout, relative to the vcp binary's
// (VCP_*_RELDIR); empty when there is none.
std::string InstalledDirectory(const char *relative);

// platform::LeakReport() after the world is gone; empty when clean.
std::string KernelLeakReport();

}  // namespace vcp
