// converter.hpp - the USB-to-RS232C converter: descriptors, firmware and
// serial side.
//
// Descriptors: an 18-byte device descriptor and one configuration whose
// interface 0 (vendor class) lists, in this order,
//   pipe 0  bulk OUT       0x02, 64 bytes           transmit (host -> line)
//   pipe 1  bulk IN        0x81, 64 bytes           receive (line -> host)
//   pipe 2  interrupt IN   0x83, 8 bytes, 2 ms      line status (variants 1-3)
// Variant 0 has only the first two.
//
// Firmware: the vendor request 0x0B (request type 0x40: host to device,
// vendor, device) carries one converter command in its data stage:
//   line setting   {0x00, setting}            variants 1 and 2
//                  {0x00, baudcode, setting}  variant 3
//   modem control  {0x01, bits}               variants 1-3 (0x01 RTS, 0x02 DTR)
// Variants 1/2 setting: bits 0-1 baud code (9600, 19200, 38400, 115200),
// 0x04 8 data bits (else 7), 0x08 two stop bits, 0x10 even, 0x20 odd, 0x40
// reserved (must be 0), 0x80 flag.  Variant 3: baud code 0-8 (600 ... 115200),
// setting 0x01 8 data bits, 0x02 two stop bits, 0x04 even, 0x08 odd, 0x20
// flag, 0x10 and 0xC0 reserved.  A malformed or unknown command (wrong length,
// reserved bits, both parity bits, unknown command byte, baud code out of
// range, any other vendor request) is answered with a STALL and changes
// nothing.  Variant 0 has no command interpreter: it stalls every vendor
// request.  Every control request is recorded (UsbDevice::controlRequests).
//
// Receive buffer: bytes from the line wait in the converter until the host
// reads them, rxBufferSize bytes at most.  A sender that can wait (a loopback
// plug, a null-modem cable, the outside world behind a peer) offers its bytes
// (OfferFromLine) and keeps what the converter does not take: on a line
// without pacing nothing is lost, since a line without a speed has nothing to
// overrun, and the sender is told when there is room again (OnRoom).  On a
// paced line bytes arrive at the line's rate, and those that arrive while the
// buffer is full are lost, as when a real UART overruns, and counted
// (rxLostBytes).  So are the bytes of a sender that cannot wait
// (ReceiveFromLine: a scripted UART in the tests).  The line side keeps
// running while the host does not read, the port is suspended included: what
// arrives during a system sleep is there after the wake, up to the buffer's
// size.
//
// Remote wakeup: a ring indicator that turns on while the device is
// suspended with remote wakeup enabled signals wake to the hub.
//
// Receive (bulk IN): a read returns at once what the converter holds, up to
// the requested length.  With nothing to return it waits: bytes arriving end
// it with those bytes; otherwise the latency timer (default 16 frames,
// settable, 0 = answer at once) ends it with zero bytes, so that the host's
// line-status polling keeps going.  A read that a busy bus serves a packet
// at a time ends with an empty packet once it has gone on for the latency
// timer's time, for the same reason.  In ClockMode::Fast bus time is virtual,
// so an idle read ends at once in real time whatever the latency; a test
// that needs a read to wait for data turns the timer off (kNoLatencyTimer).
//
// Line status (interrupt IN): the status byte is always ready, so every read
// is answered at the endpoint's next polling slot (frames that are a multiple
// of bInterval, at most one answer per slot) with one byte: bit 0 CTS, bit 1
// DSR, bit 2 DCD, bit 3 RI, bits 4-7 zero, built from the peer's lines.
//
// Transmit (bulk OUT): the bytes go to the serial peer.  With pacing on,
// bytes leave at the configured baud rate and format (1 start + data +
// parity + stop bits per character) from a transmit FIFO of txFifoSize bytes;
// a write that does not fit waits (NAK) for room.  Bytes a peer sends are
// paced the same way on their way in, at most kWireBytes ahead of the line.
// Without pacing everything moves at once, as far as the peer takes it: a
// peer that cannot take more says so (SetLineReady) and the host's writes
// wait (NAK) until it can.
//
// Power-on state (and after a port reset): 9600 baud, 8 data bits, no
// parity, one stop bit, flag clear, RTS and DTR off, FIFOs empty.
#pragma once

#include "port/byte_ring.hpp"
#include "usb/usb_device.hpp"

#include <atomic>
#include <deque>
#include <memory>
#include <string>

namespace world {

class SerialPeer;

enum class Parity { None, Odd, Even };

struct LineSettings {
    uint32_t baud = 9600;
    uint8_t dataBits = 8;
    Parity parity = Parity::None;
    uint8_t stopBits = 1;
    bool flag = false;  // the command's flag bit
    unsigned bitsPerChar() const { return 1 + dataBits + (parity == Parity::None ? 0 : 1) + stopBits; }
    bool operator==(const LineSettings &) const = default;
};

// The input lines of the converter's serial port (driven by the peer).
struct ModemLines {
    bool cts = false;
    bool dsr = false;
    bool dcd = false;
    bool ri = false;
    bool operator==(const ModemLines &) const = default;
};

// Everything the converter's firmware keeps about its line.
struct ConverterLineState {
    LineSettings settings;
    bool rts = false;  // output lines, set by the modem-control command
    bool dtr = false;
    ModemLines inputs;
    uint8_t statusByte = 0;            // what the interrupt pipe reports now
    unsigned lineSettingCommands = 0;  // accepted commands
    unsigned modemControlCommands = 0;
    unsigned rejectedCommands = 0;     // stalled vendor requests
};

struct ConverterOptions {
    static constexpr unsigned kNoLatencyTimer = ~0u;  // idle reads wait for data, however long
    unsigned latencyFrames = 16;  // idle bulk-IN reads end after this many frames
    uint8_t statusInterval = 2;   // bInterval of the interrupt pipe (frames)
    bool pacing = false;          // move bytes at the configured baud rate
    size_t txFifoSize = 256;      // transmit FIFO (pacing only)
    size_t rxBufferSize = 64 * 1024;  // bytes held for the host; more are lost
    uint16_t vendorId = 0xFFFE;  // a vendor ID no one holds
    uint16_t productId = 0x0001;
};

class ConverterDevice : public UsbDevice {
public:
    static constexpr uint8_t kBulkOut = 0x02;
    static constexpr uint8_t kBulkIn = 0x81;
    static constexpr uint8_t kStatusIn = 0x83;
    static constexpr uint8_t kVendorCommandRequest = 0x0B;

    // variant 0-3 (the "EndPointCaps" of the devnode)
    explicit ConverterDevice(int variant, ConverterOptions options = {});
    ~ConverterDevice() override;

    int variant() const { return variant_; }
    ConverterLineState lineState() const;
    LineSettings settings() const { return lineState().settings; }
    // The vendor requests (type 0x40, request 0x0B) the device received.
    std::vector<ControlRecord> vendorRequests() const;
    // Bytes waiting in the converter for the host to read.
    size_t rxPending() const;
    // Bytes from the line lost because the receive buffer was full.
    uint64_t rxLostBytes() const;
    // Bytes accepted from the host and not yet on the line (pacing).
    size_t txPending() const;
    // Bytes that the host wrote, in total.
    uint64_t bytesFromHost() const;
    uint64_t bytesToHost() const;

    void SetLatency(unsigned frames);
    void SetPacing(bool on);
    // Whether the far end of an unpaced line takes bytes now.  A peer that
    // cannot keep up (its own buffer is full) says not ready: the converter
    // then takes nothing more from the host (bulk OUT is NAKed) until it is
    // ready again, so bytes wait in the host rather than being lost.  A paced
    // line does not wait for its far end.
    void SetLineReady(bool ready);
    // Runs the UART at these settings as a converter whose command table went
    // further would (rates beyond the variant's table, for measurements).
    // Nothing reaches the host; the peer learns the settings.
    void ForceLineSettings(const LineSettings &settings);

    // --- The serial side ----------------------------------------------------
    // Connects a peer (replacing any); the peer learns the current output
    // lines and settings at once.  A null peer leaves the line open: transmitted
    // bytes are dropped and the inputs read all off.
    void Connect(std::shared_ptr<SerialPeer> peer);
    void Disconnect() { Connect(nullptr); }
    std::shared_ptr<SerialPeer> peer() const;
    // Called by a peer that can wait: bytes arriving on the converter's RX
    // line.  Returns how many the converter took; the rest stay with the
    // sender, which offers them again once OnRoom tells it there is room.
    //   no pacing: the receive buffer takes what fits; nothing is lost.
    //   pacing on, paced: they come from a UART of their own and go on the
    //     wire at the configured rate, up to kWireBytes ahead of the line;
    //     what reaches a full receive buffer is lost and counted.
    //   pacing on, not paced: they already came at the line's rate (this
    //     converter's own transmitter, looped back, or another converter's):
    //     all are taken, and those a full receive buffer cannot hold are
    //     lost and counted.
    size_t OfferFromLine(std::span<const uint8_t> bytes, bool paced = false);
    static constexpr size_t kWireBytes = 4096;
    // Called by a sender that cannot wait (a UART in the tests): on a paced
    // line everything goes on the wire; what the receive buffer cannot take
    // is lost and counted.
    void ReceiveFromLine(std::span<const uint8_t> bytes, bool paced = false);
    bool pacing() const;
    // Called by the peer: the input lines.
    void SetInputLines(const ModemLines &lines);

    void Advance(Frame now) override;
    Frame NextEvent(Frame now) const override;

protected:
    UsbAnswer OnTransfer(EndpointTransfer &transfer) override;
    UsbAnswer OnClassOrVendor(const SetupPacket &setup, std::span<uint8_t> data, size_t *returned) override;
    void OnBusReset() override;
    void AfterUnlock() override;

private:
    struct Paced {
        uint64_t releaseNs;
        uint8_t byte;
    };
    bool Interpret(std::span<const uint8_t> command);  // with mutex_ held
    uint8_t StatusByte() const;                        // with mutex_ held
    uint64_t CharNs() const;                           // with mutex_ held
    void ReleasePaced(Frame now, std::vector<uint8_t> *toPeer);  // with mutex_ held
    void Buffer(std::span<const uint8_t> bytes);                 // with mutex_ held
    size_t Take(std::span<const uint8_t> bytes, bool paced, Frame now, bool wireLimit);  // with mutex_ held
    size_t OfferRoom() const;                                    // with mutex_ held

    const int variant_;
    ConverterOptions options_;
    ConverterLineState state_;
    ByteRing rx_;                     // waiting for the host (rxBufferSize bytes)
    std::deque<Paced> rxWire_;        // paced bytes on their way in
    std::deque<Paced> txWire_;        // paced bytes on their way out
    uint64_t rxWireFreeNs_ = 0;
    uint64_t txWireFreeNs_ = 0;
    Frame lastStatusSlot_ = kNever;
    uint64_t fromHost_ = 0;
    uint64_t toHost_ = 0;
    uint64_t rxLost_ = 0;
    std::vector<uint8_t> outbox_;     // bytes for the peer, sent after unlocking
    bool lineReady_ = true;
    bool offerRefused_ = false;  // a sender was refused: tell it when there is room
    bool linesDirty_ = false;
    bool settingsDirty_ = false;
    bool delivering_ = false;    // a thread is telling the peer (AfterUnlock)
    // Set (with mutex_ held) whenever one of the four above leaves the peer
    // something to hear: AfterUnlock, which follows every call, looks at
    // nothing more while it is clear.
    std::atomic<bool> callout_{false};
    // options_.pacing, for the frame clock's calls (Advance, NextEvent) to
    // read without the lock: an unpaced line has nothing on its wires.
    std::atomic<bool> paced_{false};
    void NoteCallout() { callout_.store(true, std::memory_order_relaxed); }

    mutable std::mutex peerMutex_;
    std::shared_ptr<SerialPeer> peer_;
};

// Baud rates of the command's codes.
std::span<const uint32_t> BaudTableV12();  // 9600, 19200, 38400, 115200
std::span<const uint32_t> BaudTableV3();   // 600 ... 115200
std::string ToString(const LineSettings &s);  // e.g. "9600 8N1"

}  // namespace world
