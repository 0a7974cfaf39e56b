// rfc2217.cpp - the RFC 2217 server engine.
#include "bridge/rfc2217.hpp"

#include <utility>

namespace bridge {

namespace rfc2217 {

uint8_t ParityCode(Parity p)
{
    switch (p) {
    case Parity::None: return 1;
    case Parity::Odd: return 2;
    case Parity::Even: return 3;
    case Parity::Mark: return 4;
    case Parity::Space: return 5;
    }
    return 1;
}

bool ParityFromCode(uint8_t code, Parity *p)
{
    static constexpr Parity kByCode[] = {Parity::None, Parity::Odd, Parity::Even, Parity::Mark, Parity::Space};
    if (code < 1 || code > 5)
        return false;
    *p = kByCode[code - 1];
    return true;
}

uint8_t StopSizeCode(StopBits s)
{
    switch (s) {
    case StopBits::One: return 1;
    case StopBits::Two: return 2;
    case StopBits::OneAndHalf: return 3;
    }
    return 1;
}

bool StopBitsFromCode(uint8_t code, StopBits *s)
{
    switch (code) {
    case 1: *s = StopBits::One; return true;
    case 2: *s = StopBits::Two; return true;
    case 3: *s = StopBits::OneAndHalf; return true;
    default: return false;
    }
}

}  // namespace rfc2217

using namespace telnet;
using namespace rfc2217;

namespace {

// Longest subnegotiation kept; a longer one (a client's signature at most)
// is cut there.
constexpr size_t kMaxSubnegotiation = 256;

const char *FieldName(uint8_t code)
{
    switch (code) {
    case kSetBaudRate: return "baud rate";
    case kSetDataSize: return "data size";
    case kSetParity: return "parity";
    case kSetStopSize: return "stop size";
    default: return "setting";
    }
}

}  // namespace

Rfc2217Engine::Rfc2217Engine(SerialPort &port, Options options, Log log, PortWriter writer)
    : port_(port), options_(std::move(options)), log_(std::move(log)), writer_(std::move(writer))
{
    us_.fill(Q::No);
    them_.fill(Q::No);
    if (!writer_)
        writer_ = [this](std::span<const uint8_t> bytes) { return port_.Write(bytes, std::chrono::hours(24 * 365)); };
    overrunsSeen_ = port_.Overruns();
}

void Rfc2217Engine::Say(const std::string &text)
{
    if (log_)
        log_(text);
}

void Rfc2217Engine::Start()
{
    for (uint8_t option : {kBinary, kSuppressGoAhead, kComPortOption}) {
        us_[option] = Q::WantYes;
        SendOption(kWill, option);
        them_[option] = Q::WantYes;
        SendOption(kDo, option);
    }
}

bool Rfc2217Engine::Supported(uint8_t option)
{
    return option == kBinary || option == kSuppressGoAhead || option == kComPortOption;
}

void Rfc2217Engine::SendOption(uint8_t command, uint8_t option)
{
    out_.insert(out_.end(), {kIac, command, option});
}

// Option negotiation without loops (RFC 1143, without the queue bit): a
// request is answered only when it changes the state, and an answer to our
// own request is not answered again.
void Rfc2217Engine::Negotiate(uint8_t command, uint8_t option)
{
    const bool theirSide = command == kWill || command == kWont;
    const bool enable = command == kWill || command == kDo;
    Q &q = theirSide ? them_[option] : us_[option];
    const uint8_t yes = theirSide ? kDo : kWill;
    const uint8_t no = theirSide ? kDont : kWont;

    if (enable) {
        if (q == Q::Yes)
            return;
        if (!Supported(option)) {
            q = Q::No;
            SendOption(no, option);
            return;
        }
        if (q == Q::No)
            SendOption(yes, option);
        q = Q::Yes;  // agreed (WantYes) or accepted now (No); WantNo ends in Yes too
    } else {
        if (q == Q::No)
            return;
        if (q == Q::Yes)
            SendOption(no, option);
        q = Q::No;
    }
    if (option == kComPortOption && enable)
        ComPortAgreed();
}

void Rfc2217Engine::ComPortAgreed()
{
    if (comPort_)
        return;
    comPort_ = true;
    Say("client speaks RFC 2217");
    SendModemState(true);
}

void Rfc2217Engine::Receive(std::span<const uint8_t> bytes)
{
    for (uint8_t b : bytes) {
        switch (state_) {
        case State::Data:
            if (b == kIac)
                state_ = State::Iac;
            else
                data_.push_back(b);
            break;
        case State::Iac:
            state_ = State::Data;
            if (b == kIac) {
                data_.push_back(b);
            } else if (b == kWill || b == kWont || b == kDo || b == kDont) {
                command_ = b;
                state_ = State::Negotiate;
            } else if (b == kSb) {
                sub_.clear();
                subOverflow_ = false;
                state_ = State::Sub;
            }
            // Every other command (NOP, DM, BRK, IP, AO, AYT, EC, EL, GA) and a
            // stray SE carry nothing for a serial port.
            break;
        case State::Negotiate:
            state_ = State::Data;
            FlushData();
            Negotiate(command_, b);
            break;
        case State::Sub:
            if (b == kIac)
                state_ = State::SubIac;
            else if (sub_.size() < kMaxSubnegotiation)
                sub_.push_back(b);
            else
                subOverflow_ = true;
            break;
        case State::SubIac:
            if (b == kIac) {
                state_ = State::Sub;
                if (sub_.size() < kMaxSubnegotiation)
                    sub_.push_back(b);
                else
                    subOverflow_ = true;
            } else if (b == kSe) {
                state_ = State::Data;
                FlushData();
                Subnegotiation();
            } else {
                // IAC followed by anything but IAC or SE inside a
                // subnegotiation: the client broke it off.  Drop it and
                // read the command as one.
                sub_.clear();
                state_ = State::Iac;
                Receive(std::span<const uint8_t>(&b, 1));
            }
            break;
        }
    }
    FlushData();
}

void Rfc2217Engine::FlushData()
{
    if (data_.empty())
        return;
    // The writer may let others use the engine while it waits: the data
    // leaves the engine first.
    std::vector<uint8_t> data;
    data.swap(data_);
    PortTransfer t = writer_(data);
    toPort_ += t.bytes;
    if (t.bytes < data.size()) {
        dropped_ += data.size() - t.bytes;
        Say(t.removed ? "the port is gone: " + std::to_string(data.size() - t.bytes) + " bytes dropped"
                      : "the session ended: " + std::to_string(data.size() - t.bytes) +
                            " bytes the client sent never reached the port");
    }
    data.clear();
    if (data_.empty())
        data_.swap(data);  // keep the room
}

void Rfc2217Engine::Subnegotiation()
{
    if (sub_.empty() || sub_[0] != kComPortOption) {
        Say("ignored a subnegotiation of option " + std::to_string(sub_.empty() ? -1 : int(sub_[0])));
        return;
    }
    if (sub_.size() < 2) {
        Say("ignored an empty COM-PORT-OPTION subnegotiation");
        return;
    }
    // A client that sends COM-PORT subnegotiations speaks the protocol,
    // whatever its negotiation said.
    ComPortAgreed();
    ComPort(sub_[1], std::span<const uint8_t>(sub_).subspan(2));
}

void Rfc2217Engine::ComPort(uint8_t code, std::span<const uint8_t> value)
{
    switch (code) {
    case kSignature:
        if (value.empty()) {
            Answer(kSignature, std::span<const uint8_t>(reinterpret_cast<const uint8_t *>(options_.signature.data()),
                                                        options_.signature.size()));
        } else {
            clientSignature_.assign(value.begin(), value.end());
            Say("client signature: \"" + Printable(clientSignature_) + (subOverflow_ ? "\"..." : "\""));
        }
        return;
    case kSetBaudRate:
    case kSetDataSize:
    case kSetParity:
    case kSetStopSize:
        SetLineField(code, value);
        return;
    case kSetControl:
        SetControl(value);
        return;
    case kNotifyLineState:
        // The errors not reported yet, whatever the mask.
        PollModemState();
        AnswerByte(kNotifyLineState, std::exchange(lineErrors_, uint8_t(0)));
        return;
    case kNotifyModemState:
        SendModemState(true);
        return;
    case kFlowControlSuspend:
        suspended_ = true;
        return;
    case kFlowControlResume:
        suspended_ = false;
        return;
    case kSetLineStateMask:
    case kSetModemStateMask:
        if (value.size() != 1) {
            Say("ignored a malformed state mask");
            return;
        }
        (code == kSetLineStateMask ? lineMask_ : modemMask_) = value[0];
        AnswerByte(code, value[0]);
        if (code == kSetLineStateMask)
            SendLineState();  // what the new mask selects and is still unreported
        return;
    case kPurgeData: {
        if (value.size() != 1 || value[0] < 1 || value[0] > 3) {
            Say("ignored a malformed PURGE-DATA");
            return;
        }
        const bool rx = value[0] & 1, tx = value[0] & 2;
        PortOutcome o = port_.Purge(rx, tx);
        Say(std::string("purge ") + (rx && tx ? "both sides" : rx ? "receive side" : "transmit side") +
            (o.ok ? "" : ": " + o.message));
        AnswerByte(kPurgeData, value[0]);
        return;
    }
    default:
        Say("ignored COM-PORT-OPTION command " + std::to_string(code));
        return;
    }
}

void Rfc2217Engine::SetLineField(uint8_t code, std::span<const uint8_t> value)
{
    const size_t width = code == kSetBaudRate ? 4 : 1;
    if (value.size() != width) {
        Say(std::string("ignored a malformed ") + FieldName(code) + " request");
        return;
    }
    uint32_t v = 0;
    for (uint8_t b : value)
        v = v << 8 | b;
    if (v == 0) {  // a query
        AnswerSetting(code);
        return;
    }

    SerialConfig wanted = port_.Config();
    bool valid = true;
    std::string what;
    switch (code) {
    case kSetBaudRate:
        wanted.baud = v;
        what = std::to_string(v) + " baud";
        break;
    case kSetDataSize:
        valid = v >= 5 && v <= 8;
        wanted.dataBits = uint8_t(v);
        what = std::to_string(v) + " data bits";
        break;
    case kSetParity:
        valid = ParityFromCode(uint8_t(v), &wanted.parity);
        what = valid ? std::string("parity ") + ParityLetter(wanted.parity) : "parity code " + std::to_string(v);
        break;
    case kSetStopSize:
        valid = StopBitsFromCode(uint8_t(v), &wanted.stopBits);
        what = "stop size code " + std::to_string(v);
        break;
    }

    if (!valid) {
        Say("refused " + what + ": no such setting");
    } else if (wanted != port_.Config()) {
        PortOutcome o = port_.Configure(wanted);
        Say(o.ok ? "line settings now " + ToString(port_.Config())
                 : "refused " + what + (o.message.empty() ? "" : ": " + o.message));
    }
    AnswerSetting(code);
}

void Rfc2217Engine::AnswerSetting(uint8_t code)
{
    const SerialConfig c = port_.Config();
    switch (code) {
    case kSetBaudRate: {
        const uint8_t b[4] = {uint8_t(c.baud >> 24), uint8_t(c.baud >> 16), uint8_t(c.baud >> 8), uint8_t(c.baud)};
        Answer(kSetBaudRate, b);
        return;
    }
    case kSetDataSize: AnswerByte(kSetDataSize, c.dataBits); return;
    case kSetParity: AnswerByte(kSetParity, ParityCode(c.parity)); return;
    case kSetStopSize: AnswerByte(kSetStopSize, StopSizeCode(c.stopBits)); return;
    }
}

void Rfc2217Engine::SetControl(std::span<const uint8_t> value)
{
    if (value.size() != 1) {
        Say("ignored a malformed SET-CONTROL");
        return;
    }
    auto line = [this](bool dtr, bool on) {
        PortOutcome o = dtr ? port_.SetDtr(on) : port_.SetRts(on);
        Say(std::string(dtr ? "DTR " : "RTS ") + (on ? "on" : "off") + (o.ok ? "" : " failed: " + o.message));
    };
    switch (value[0]) {
    case kControlQueryFlow:
    case kControlNoFlow:
    case kControlDcdFlow:
    case kControlDsrFlow:
        AnswerByte(kSetControl, kControlNoFlow);
        return;
    case kControlXonXoff:
    case kControlHardwareFlow:
        Say("refused outbound flow control: the converter has none");
        AnswerByte(kSetControl, kControlNoFlow);
        return;
    case kControlQueryBreak:
    case kControlBreakOff:
        AnswerByte(kSetControl, kControlBreakOff);
        return;
    case kControlBreakOn:
        Say("refused BREAK: the converter cannot send one");
        AnswerByte(kSetControl, kControlBreakOff);
        return;
    case kControlDtrOn:
    case kControlDtrOff:
        line(true, value[0] == kControlDtrOn);
        [[fallthrough]];
    case kControlQueryDtr:
        AnswerByte(kSetControl, port_.Dtr() ? kControlDtrOn : kControlDtrOff);
        return;
    case kControlRtsOn:
    case kControlRtsOff:
        line(false, value[0] == kControlRtsOn);
        [[fallthrough]];
    case kControlQueryRts:
        AnswerByte(kSetControl, port_.Rts() ? kControlRtsOn : kControlRtsOff);
        return;
    case kControlQueryInboundFlow:
    case kControlNoInboundFlow:
        AnswerByte(kSetControl, kControlNoInboundFlow);
        return;
    case kControlXonXoffInbound:
    case kControlHardwareInbound:
    case kControlDtrFlow:
        Say("refused inbound flow control: the converter has none");
        AnswerByte(kSetControl, kControlNoInboundFlow);
        return;
    default:
        Say("ignored SET-CONTROL " + std::to_string(value[0]));
        return;
    }
}

void Rfc2217Engine::Answer(uint8_t code, std::span<const uint8_t> value)
{
    out_.insert(out_.end(), {kIac, kSb, kComPortOption, uint8_t(code + kServerOffset)});
    for (uint8_t b : value) {
        out_.push_back(b);
        if (b == kIac)
            out_.push_back(kIac);
    }
    out_.insert(out_.end(), {kIac, kSe});
}

void Rfc2217Engine::PollModemState()
{
    if (!comPort_)
        return;
    SendModemState(false);
    SendLineState();
}

// Line errors are events: an overrun since the last look is reported once,
// when the mask selects it; otherwise it waits for the client's poll.
void Rfc2217Engine::SendLineState()
{
    const uint64_t overruns = port_.Overruns();
    if (overruns != overrunsSeen_) {
        overrunsSeen_ = overruns;
        lineErrors_ |= kLineOverrun;
    }
    const uint8_t report = lineErrors_ & lineMask_;
    if (report == 0)
        return;
    lineErrors_ &= uint8_t(~report);
    if (report & kLineOverrun)
        ++overrunReports_;
    AnswerByte(kNotifyLineState, report);
}

void Rfc2217Engine::SendModemState(bool force)
{
    const uint8_t lines = port_.ModemStatus() & (kCts | kDsr | kRi | kDcd);
    if (lastModem_ < 0) {  // the first report: nothing has changed yet
        lastModem_ = lines;
        AnswerByte(kNotifyModemState, uint8_t(lines & modemMask_));
        return;
    }
    const uint8_t changed = lines ^ uint8_t(lastModem_);
    uint8_t state = lines;
    if (changed & kCts)
        state |= kDeltaCts;
    if (changed & kDsr)
        state |= kDeltaDsr;
    if ((changed & kRi) && !(lines & kRi))
        state |= kRiTrailingEdge;
    if (changed & kDcd)
        state |= kDeltaDcd;
    lastModem_ = lines;
    // A change is reported when the mask selects the line or its delta bit.
    if (force || (changed & modemMask_) || (state & 0x0F & modemMask_))
        AnswerByte(kNotifyModemState, uint8_t(state & modemMask_));
}

void Rfc2217Engine::SendData(std::span<const uint8_t> bytes)
{
    for (uint8_t b : bytes) {
        out_.push_back(b);
        if (b == kIac)
            out_.push_back(kIac);
    }
    toClient_ += bytes.size();
}

std::vector<uint8_t> Rfc2217Engine::TakeOutput()
{
    std::vector<uint8_t> out;
    out.swap(out_);
    return out;
}

}  // namespace bridge
