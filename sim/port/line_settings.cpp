// line_settings.cpp - the _DCB record and the settings each converter takes.
#include "port/line_settings.hpp"

#include <cstring>

namespace world {

namespace {

constexpr ULONG kRates12[] = {9600, 19200, 38400, 115200};
constexpr ULONG kRates3[] = {600, 1200, 2400, 4800, 9600, 19200, 38400, 76800, 115200};

std::string RateList(std::span<const ULONG> rates)
{
    std::string s;
    for (ULONG r : rates)
        s += (s.empty() ? "" : ", ") + std::to_string(r);
    return s;
}

char ParityLetter(CommParity p)
{
    switch (p) {
    case CommParity::None: return 'N';
    case CommParity::Odd: return 'O';
    case CommParity::Even: return 'E';
    case CommParity::Mark: return 'M';
    case CommParity::Space: return 'S';
    }
    return '?';
}

const char *StopText(CommStopBits s)
{
    switch (s) {
    case CommStopBits::One: return "1";
    case CommStopBits::OneAndHalf: return "1.5";
    case CommStopBits::Two: return "2";
    }
    return "?";
}

Refusal Refuse(NTSTATUS status, ULONG variant, const std::string &what)
{
    return {status, "line settings refused: converter variant " + std::to_string(variant) + " " + what};
}

}  // namespace

std::string Describe(const CommSettings &s)
{
    std::string text = std::to_string(s.baudRate) + " " + std::to_string(s.dataBits) + ParityLetter(s.parity) +
                       StopText(s.stopBits);
    return s.flag ? text + " flag" : text;
}

std::array<uint8_t, kDcbSize> BuildDcb(const CommSettings &settings)
{
    VcommDcb dcb{};
    dcb.DCBLength = kDcbSize;
    dcb.BaudRate = settings.baudRate;
    dcb.BitMask = settings.flag ? 1u : 0u;
    dcb.ByteSize = settings.dataBits;
    dcb.Parity = uint8_t(settings.parity);
    dcb.StopBits = uint8_t(settings.stopBits);
    std::array<uint8_t, kDcbSize> bytes{};
    std::memcpy(bytes.data(), &dcb, kDcbSize);  // the host is little-endian, as the target is
    return bytes;
}

CommSettings ParseDcb(std::span<const uint8_t, kDcbSize> bytes)
{
    VcommDcb dcb;
    std::memcpy(&dcb, bytes.data(), kDcbSize);
    CommSettings s;
    s.baudRate = dcb.BaudRate;
    s.dataBits = dcb.ByteSize;
    s.parity = CommParity(dcb.Parity);
    s.stopBits = CommStopBits(dcb.StopBits);
    s.flag = (dcb.BitMask & 1) != 0;
    return s;
}

std::span<const ULONG> SupportedBaudRates(ULONG variant)
{
    switch (variant) {
    case 1:
    case 2: return kRates12;
    case 3: return kRates3;
    default: return {};
    }
}

std::optional<Refusal> CheckCommSettings(ULONG variant, const CommSettings &s)
{
    if (variant == 0)
        return Refuse(STATUS_NOT_SUPPORTED, variant, "runs at fixed line settings and takes no changes");
    if (variant > 3)
        return Refuse(STATUS_NOT_SUPPORTED, variant, "is unknown: its line-setting command cannot be built");

    std::span<const ULONG> rates = SupportedBaudRates(variant);
    bool rateKnown = false;
    for (ULONG r : rates)
        rateKnown |= r == s.baudRate;
    if (!rateKnown)
        return Refuse(STATUS_NOT_SUPPORTED, variant,
                      "cannot run at " + std::to_string(s.baudRate) + " baud (it takes " + RateList(rates) + ")");

    if (s.dataBits < 5 || s.dataBits > 8)
        return Refuse(STATUS_INVALID_PARAMETER, variant,
                      "got " + std::to_string(s.dataBits) + " data bits, which no serial line has");
    if (s.dataBits != 7 && s.dataBits != 8)
        return Refuse(STATUS_NOT_SUPPORTED, variant,
                      "cannot send " + std::to_string(s.dataBits) + " data bits (it takes 7 or 8)");

    switch (s.parity) {
    case CommParity::None:
    case CommParity::Odd:
    case CommParity::Even: break;
    case CommParity::Mark:
    case CommParity::Space:
        return Refuse(STATUS_NOT_SUPPORTED, variant,
                      std::string("cannot use ") + (s.parity == CommParity::Mark ? "mark" : "space") +
                          " parity (it takes none, odd or even)");
    default:
        return Refuse(STATUS_INVALID_PARAMETER, variant,
                      "got parity code " + std::to_string(unsigned(s.parity)) + ", which is not a parity");
    }

    switch (s.stopBits) {
    case CommStopBits::One:
    case CommStopBits::Two: break;
    case CommStopBits::OneAndHalf:
        return Refuse(STATUS_NOT_SUPPORTED, variant, "cannot send 1.5 stop bits (it takes 1 or 2)");
    default:
        return Refuse(STATUS_INVALID_PARAMETER, variant,
                      "got stop-bits code " + std::to_string(unsigned(s.stopBits)) + ", which is not a stop-bit count");
    }
    return std::nullopt;
}

}  // namespace world
