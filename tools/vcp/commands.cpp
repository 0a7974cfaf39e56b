// commands.cpp - the converter's command bytes in words.
#include "session.hpp"

#include <fmt/format.h>

namespace vcp {

namespace {

constexpr uint32_t kRates12[] = {9600, 19200, 38400, 115200};
constexpr uint32_t kRates3[] = {600, 1200, 2400, 4800, 9600, 19200, 38400, 76800, 115200};

std::string Settings(uint32_t baud, bool eightBits, bool twoStop, bool even, bool odd, bool flag)
{
    const char parity = even && odd ? '?' : even ? 'E' : odd ? 'O' : 'N';
    return fmt::format("{} {}{}{}{}", baud, eightBits ? 8 : 7, parity, twoStop ? 2 : 1, flag ? " flag" : "");
}

}  // namespace

std::string HexBytes(std::span<const uint8_t> bytes)
{
    std::string s;
    for (uint8_t b : bytes)
        s += fmt::format("{}{:02x}", s.empty() ? "" : " ", b);
    return s;
}

ConverterCommand DecodeCommand(int variant, std::span<const uint8_t> b)
{
    ConverterCommand c;
    c.bytes.assign(b.begin(), b.end());
    c.kind = "unknown";
    c.text = b.empty() ? "empty command" : "command " + HexBytes(b);
    if (b.size() == 2 && b[0] == 0x01) {
        c.kind = "modem-control";
        c.text = fmt::format("RTS {}, DTR {}", b[1] & 0x01 ? "on" : "off", b[1] & 0x02 ? "on" : "off");
    } else if (b.size() == 2 && b[0] == 0x00 && (variant == 1 || variant == 2)) {
        const uint8_t s = b[1];
        c.kind = "line-setting";
        c.text = Settings(kRates12[s & 3], s & 0x04, s & 0x08, s & 0x10, s & 0x20, s & 0x80);
    } else if (b.size() == 3 && b[0] == 0x00 && variant == 3) {
        const uint8_t s = b[2];
        c.kind = "line-setting";
        c.text = b[1] < std::size(kRates3) ? Settings(kRates3[b[1]], s & 0x01, s & 0x02, s & 0x04, s & 0x08, s & 0x20)
                                           : fmt::format("baud code {} (none such)", b[1]);
    }
    return c;
}

}  // namespace vcp
