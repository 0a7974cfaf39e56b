// serial_config.hpp - serial line settings as the bridges see them, and the
// port interface that the pseudo-terminal bridge and the RFC 2217 server
// drive.
//
// A bridge knows nothing of norva or the port model: it talks to a
// SerialPort, which the program implements over the port model (see
// port_adapter.hpp) and the tests implement with a fake.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace bridge {

enum class Parity : uint8_t { None, Odd, Even, Mark, Space };
enum class StopBits : uint8_t { One, OneAndHalf, Two };

struct SerialConfig {
    uint32_t baud = 9600;
    uint8_t dataBits = 8;
    Parity parity = Parity::None;
    StopBits stopBits = StopBits::One;

    bool operator==(const SerialConfig &) const = default;
};

// "115200 8N1", "9600 7E2", "300 8N1.5".
std::string ToString(const SerialConfig &c);
// The character format alone: "8N1".
std::string FormatString(const SerialConfig &c);
char ParityLetter(Parity p);
// Parses a character format "7E1", "8N2", "8N1.5" (data bits 5-8, parity
// N/O/E/M/S in either case, stop bits 1, 1.5 or 2) into c's fields; false
// when it is not one.
bool ParseFormat(std::string_view text, SerialConfig *c);

// Modem-status bits, laid out like a 16550's modem status register (the
// layout norva delivers and RFC 2217 reports).
inline constexpr uint8_t kCts = 0x10;
inline constexpr uint8_t kDsr = 0x20;
inline constexpr uint8_t kRi = 0x40;
inline constexpr uint8_t kDcd = 0x80;
// "CTS DSR -RI DCD"
std::string ModemStatusText(uint8_t status);

// The outcome of a request to the port: refused or failed requests carry a
// message for the person at the other end.
struct PortOutcome {
    bool ok = true;
    std::string message;
    static PortOutcome Ok() { return {}; }
    static PortOutcome Failed(std::string why) { return {false, std::move(why)}; }
};

// Bytes moved by Read or Write; removed once the port is gone for good.
struct PortTransfer {
    size_t bytes = 0;
    bool removed = false;
};

// A serial port as a bridge drives it.  Every member may be called from any
// thread; the implementation serialises what needs it.
class SerialPort {
public:
    virtual ~SerialPort() = default;

    // The settings in force (those last accepted).
    virtual SerialConfig Config() const = 0;
    // Asks for new settings.  A refused or failed request leaves the settings
    // in force unchanged.
    virtual PortOutcome Configure(const SerialConfig &wanted) = 0;

    // The output lines as last accepted.
    virtual bool Dtr() const = 0;
    virtual bool Rts() const = 0;
    virtual PortOutcome SetDtr(bool on) = 0;
    virtual PortOutcome SetRts(bool on) = 0;

    // The input lines (kCts | kDsr | kRi | kDcd).
    virtual uint8_t ModemStatus() const = 0;

    // Returns what has arrived, up to buffer.size(), waiting up to timeout
    // for the first byte (0 bytes on timeout).
    virtual PortTransfer Read(std::span<uint8_t> buffer, std::chrono::milliseconds timeout) = 0;
    // Sends all bytes, waiting for room up to timeout.
    virtual PortTransfer Write(std::span<const uint8_t> bytes, std::chrono::milliseconds timeout) = 0;
    // Drops what waits to be read (rx) or sent (tx) and resets that side.
    virtual PortOutcome Purge(bool rx, bool tx) = 0;

    virtual bool Removed() const = 0;
    // Received bytes lost since the port was opened (a receive buffer that
    // overran): what an RFC 2217 client learns as an overrun error.
    virtual uint64_t Overruns() const { return 0; }
    // Bytes Write accepted that the port has not started sending yet.
    virtual size_t Unsent() const { return 0; }
};

// Text from the outside (a client's signature, a name) fit for a log line:
// printable ASCII as it is, every other byte as \xNN, so that it can neither
// start a line of its own nor reach the terminal as a control sequence.
std::string Printable(std::string_view text);

}  // namespace bridge
