// serial_config.cpp - texts of serial settings and modem lines.
#include "bridge/serial_config.hpp"

#include <cctype>

namespace bridge {

char ParityLetter(Parity p)
{
    switch (p) {
    case Parity::None: return 'N';
    case Parity::Odd: return 'O';
    case Parity::Even: return 'E';
    case Parity::Mark: return 'M';
    case Parity::Space: return 'S';
    }
    return '?';
}

std::string FormatString(const SerialConfig &c)
{
    const char *stop = c.stopBits == StopBits::One ? "1" : c.stopBits == StopBits::Two ? "2" : "1.5";
    return std::to_string(c.dataBits) + ParityLetter(c.parity) + stop;
}

std::string ToString(const SerialConfig &c)
{
    return std::to_string(c.baud) + " " + FormatString(c);
}

bool ParseFormat(std::string_view text, SerialConfig *c)
{
    if (text.size() < 3 || text[0] < '5' || text[0] > '8')
        return false;
    SerialConfig out = *c;
    out.dataBits = uint8_t(text[0] - '0');
    switch (std::toupper(static_cast<unsigned char>(text[1]))) {
    case 'N': out.parity = Parity::None; break;
    case 'O': out.parity = Parity::Odd; break;
    case 'E': out.parity = Parity::Even; break;
    case 'M': out.parity = Parity::Mark; break;
    case 'S': out.parity = Parity::Space; break;
    default: return false;
    }
    std::string_view stop = text.substr(2);
    if (stop == "1")
        out.stopBits = StopBits::One;
    else if (stop == "2")
        out.stopBits = StopBits::Two;
    else if (stop == "1.5")
        out.stopBits = StopBits::OneAndHalf;
    else
        return false;
    *c = out;
    return true;
}

std::string ModemStatusText(uint8_t status)
{
    std::string s;
    auto add = [&](uint8_t bit, const char *name) {
        if (!s.empty())
            s += ' ';
        if (!(status & bit))
            s += '-';
        s += name;
    };
    add(kCts, "CTS");
    add(kDsr, "DSR");
    add(kRi, "RI");
    add(kDcd, "DCD");
    return s;
}

std::string Printable(std::string_view text)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += char(c);
        } else {
            out += "\\x";
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}

}  // namespace bridge
