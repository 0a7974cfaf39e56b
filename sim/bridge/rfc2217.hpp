// rfc2217.hpp - the Telnet COM Port Control protocol (RFC 2217), server side,
// as a pure engine: bytes in from the client, bytes out to the client, and
// calls on a SerialPort.  It owns no socket and no thread; the server
// (rfc2217_server.hpp) feeds it and guards it with a lock.
//
// Telnet (RFC 854/855): IAC commands, option negotiation for BINARY, SUPPRESS
// GO AHEAD and COM-PORT-OPTION (44) in both directions (every other option
// is refused), IAC doubling in data and in subnegotiation values both ways.
// The port is a binary channel: data passes unchanged, without the NVT
// CR NUL rules, and the server asks for BINARY both ways at once.
//
// COM-PORT-OPTION subnegotiations, client code -> server code + 100:
//   SET-BAUDRATE, SET-DATASIZE, SET-PARITY, SET-STOPSIZE  change one field of
//       the line settings (value 0 asks for the setting in force) and are
//       answered with the value in force afterwards: a refused change comes
//       back with the old value.
//   SET-CONTROL  DTR and RTS on/off/query; flow control "none" (the converter
//       has no other: XON/XOFF and hardware flow control are answered
//       "none"); BREAK is answered "off" (the converter cannot send one).
//   NOTIFY-MODEMSTATE  the client's poll: answered with the lines now.
//   NOTIFY-LINESTATE  the client's poll: answered with the line errors not
//       yet reported (overrun).
//   SET-MODEMSTATE-MASK, SET-LINESTATE-MASK  stored, echoed and honoured.
//   PURGE-DATA  1 receive side, 2 transmit side, 3 both; echoed.
//   FLOWCONTROL-SUSPEND/RESUME  hold and release data towards the client.
//   SIGNATURE  an empty one asks for ours; a client's own is logged, its
//       control characters escaped.
// The server sends NOTIFY-MODEMSTATE (107) when a line the mask selects
// changes (with the delta bits), and once when the option is agreed; and
// NOTIFY-LINESTATE (106) with the overrun error bit when the port lost
// received bytes (SerialPort::Overruns) and the line-state mask selects it.
#pragma once

#include "bridge/serial_config.hpp"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace bridge {

namespace telnet {
inline constexpr uint8_t kSe = 240;
inline constexpr uint8_t kNop = 241;
inline constexpr uint8_t kSb = 250;
inline constexpr uint8_t kWill = 251;
inline constexpr uint8_t kWont = 252;
inline constexpr uint8_t kDo = 253;
inline constexpr uint8_t kDont = 254;
inline constexpr uint8_t kIac = 255;

inline constexpr uint8_t kBinary = 0;
inline constexpr uint8_t kEcho = 1;
inline constexpr uint8_t kSuppressGoAhead = 3;
inline constexpr uint8_t kComPortOption = 44;
}  // namespace telnet

namespace rfc2217 {
// Client codes; the server answers with code + kServerOffset.
inline constexpr uint8_t kSignature = 0;
inline constexpr uint8_t kSetBaudRate = 1;
inline constexpr uint8_t kSetDataSize = 2;
inline constexpr uint8_t kSetParity = 3;
inline constexpr uint8_t kSetStopSize = 4;
inline constexpr uint8_t kSetControl = 5;
inline constexpr uint8_t kNotifyLineState = 6;
inline constexpr uint8_t kNotifyModemState = 7;
inline constexpr uint8_t kFlowControlSuspend = 8;
inline constexpr uint8_t kFlowControlResume = 9;
inline constexpr uint8_t kSetLineStateMask = 10;
inline constexpr uint8_t kSetModemStateMask = 11;
inline constexpr uint8_t kPurgeData = 12;
inline constexpr uint8_t kServerOffset = 100;

// SET-CONTROL values.
inline constexpr uint8_t kControlQueryFlow = 0;
inline constexpr uint8_t kControlNoFlow = 1;
inline constexpr uint8_t kControlXonXoff = 2;
inline constexpr uint8_t kControlHardwareFlow = 3;
inline constexpr uint8_t kControlQueryBreak = 4;
inline constexpr uint8_t kControlBreakOn = 5;
inline constexpr uint8_t kControlBreakOff = 6;
inline constexpr uint8_t kControlQueryDtr = 7;
inline constexpr uint8_t kControlDtrOn = 8;
inline constexpr uint8_t kControlDtrOff = 9;
inline constexpr uint8_t kControlQueryRts = 10;
inline constexpr uint8_t kControlRtsOn = 11;
inline constexpr uint8_t kControlRtsOff = 12;
inline constexpr uint8_t kControlQueryInboundFlow = 13;
inline constexpr uint8_t kControlNoInboundFlow = 14;
inline constexpr uint8_t kControlXonXoffInbound = 15;
inline constexpr uint8_t kControlHardwareInbound = 16;
inline constexpr uint8_t kControlDcdFlow = 17;
inline constexpr uint8_t kControlDtrFlow = 18;
inline constexpr uint8_t kControlDsrFlow = 19;

// Line-state bits.
inline constexpr uint8_t kLineDataReady = 0x01;
inline constexpr uint8_t kLineOverrun = 0x02;

// Modem-state delta bits (the line bits are kCts, kDsr, kRi, kDcd).
inline constexpr uint8_t kDeltaCts = 0x01;
inline constexpr uint8_t kDeltaDsr = 0x02;
inline constexpr uint8_t kRiTrailingEdge = 0x04;
inline constexpr uint8_t kDeltaDcd = 0x08;

// Parity and stop-size codes on the wire.
uint8_t ParityCode(Parity p);              // 1 none ... 5 space
bool ParityFromCode(uint8_t code, Parity *p);
uint8_t StopSizeCode(StopBits s);          // 1 one, 2 two, 3 one and a half
bool StopBitsFromCode(uint8_t code, StopBits *s);
}  // namespace rfc2217

class Rfc2217Engine {
public:
    struct Options {
        std::string signature = "vcp";
    };
    // What the engine did, in words (for the program's log).
    using Log = std::function<void(const std::string &)>;
    // Hands the client's data to the port; returns what the port took.  By
    // default SerialPort::Write, waiting as long as the port needs.  The
    // server's writer releases the lock that guards the engine while it
    // waits, so that the port's data keeps flowing to the client: the engine
    // holds nothing across the call that another caller may change.
    using PortWriter = std::function<PortTransfer(std::span<const uint8_t>)>;

    Rfc2217Engine(SerialPort &port, Options options, Log log = {}, PortWriter writer = {});
    explicit Rfc2217Engine(SerialPort &port) : Rfc2217Engine(port, Options{}) {}

    // Queues the server's opening requests (BINARY both ways, SUPPRESS GO
    // AHEAD, COM-PORT-OPTION).
    void Start();
    // Handles bytes from the client in order: data goes to the port (through
    // the writer, before any command that follows it), commands are carried
    // out and answered.
    void Receive(std::span<const uint8_t> bytes);
    // Queues data from the port for the client (IAC doubled).
    void SendData(std::span<const uint8_t> bytes);
    // Reads the port's input lines and queues a NOTIFY-MODEMSTATE when a line
    // the mask selects has changed, and a NOTIFY-LINESTATE when the port lost
    // received bytes since the last look.  Call it whenever either may have
    // moved.
    void PollModemState();
    // What to send to the client now; empties the queue.
    std::vector<uint8_t> TakeOutput();
    bool HasOutput() const { return !out_.empty(); }

    // Whether the client agreed to COM-PORT-OPTION (in either direction, or
    // by sending a COM-PORT subnegotiation).
    bool comPortActive() const { return comPort_; }
    // Whether the client asked the server to hold data towards it.
    bool outputSuspended() const { return suspended_; }
    bool binaryIn() const { return them_[telnet::kBinary] == Q::Yes; }
    bool binaryOut() const { return us_[telnet::kBinary] == Q::Yes; }
    uint8_t modemStateMask() const { return modemMask_; }
    uint8_t lineStateMask() const { return lineMask_; }
    const std::string &clientSignature() const { return clientSignature_; }
    uint64_t bytesToPort() const { return toPort_; }
    uint64_t bytesToClient() const { return toClient_; }
    // Bytes the port did not take (it was removed, or the session ended
    // while they waited for room).
    uint64_t bytesDropped() const { return dropped_; }
    // NOTIFY-LINESTATE reports with the overrun bit sent.
    uint64_t overrunReports() const { return overrunReports_; }

private:
    enum class Q : uint8_t { No, Yes, WantYes, WantNo };
    enum class State : uint8_t { Data, Iac, Negotiate, Sub, SubIac };

    static bool Supported(uint8_t option);
    void Negotiate(uint8_t command, uint8_t option);
    void SendOption(uint8_t command, uint8_t option);
    void Subnegotiation();
    void ComPort(uint8_t code, std::span<const uint8_t> value);
    void SetLineField(uint8_t code, std::span<const uint8_t> value);
    void SetControl(std::span<const uint8_t> value);
    void Answer(uint8_t code, std::span<const uint8_t> value);
    void AnswerByte(uint8_t code, uint8_t value) { Answer(code, std::span<const uint8_t>(&value, 1)); }
    void AnswerSetting(uint8_t code);
    void ComPortAgreed();
    void SendModemState(bool force);
    void SendLineState();
    void FlushData();
    void Say(const std::string &text);

    SerialPort &port_;
    Options options_;
    Log log_;
    PortWriter writer_;

    State state_ = State::Data;
    uint8_t command_ = 0;
    std::vector<uint8_t> sub_;
    bool subOverflow_ = false;
    std::vector<uint8_t> data_;  // for the port, not yet handed over
    std::vector<uint8_t> out_;   // for the client

    std::array<Q, 256> us_{};
    std::array<Q, 256> them_{};
    bool comPort_ = false;
    bool suspended_ = false;
    uint8_t modemMask_ = 0xFF;  // RFC 2217's initial masks
    uint8_t lineMask_ = 0;
    int lastModem_ = -1;        // line bits last reported; -1 before the first
    uint64_t overrunsSeen_ = 0; // the port's overrun count at the last look
    uint8_t lineErrors_ = 0;    // line-state bits not yet reported
    uint64_t overrunReports_ = 0;
    std::string clientSignature_;
    uint64_t toPort_ = 0;
    uint64_t toClient_ = 0;
    uint64_t dropped_ = 0;
};

}  // namespace bridge
