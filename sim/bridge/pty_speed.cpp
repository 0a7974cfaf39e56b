// pty_speed.cpp - a terminal's speed through termios2, which carries any
// rate (76800 has no B constant).  Kept apart from <termios.h>, whose
// struct termios clashes with the kernel's.
#include <asm/ioctls.h>
#include <asm/termbits.h>

#include <cstdint>

extern "C" int ioctl(int fd, unsigned long request, ...);

namespace bridge {

namespace {

// The B constant of a standard rate, so that applications reading the
// terminal with the classic calls see the rate they know; BOTHER otherwise.
unsigned CodeOf(uint32_t speed)
{
    static const struct {
        uint32_t rate;
        unsigned code;
    } kRates[] = {{50, B50},         {75, B75},         {110, B110},       {134, B134},
                  {150, B150},       {200, B200},       {300, B300},       {600, B600},
                  {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
                  {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
                  {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600}};
    for (const auto &r : kRates)
        if (r.rate == speed)
            return r.code;
    return BOTHER;
}

}  // namespace

bool GetTerminalSpeed(int fd, uint32_t *speed, bool *twoStopBits)
{
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0)
        return false;
    *speed = t.c_ospeed;
    *twoStopBits = (t.c_cflag & CSTOPB) != 0;
    return true;
}

bool SetTerminalSpeed(int fd, uint32_t speed, bool twoStopBits)
{
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0)
        return false;
    t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT) | CSTOPB);
    const unsigned code = CodeOf(speed);
    t.c_cflag |= code | (code << IBSHIFT);
    if (twoStopBits)
        t.c_cflag |= CSTOPB;
    t.c_ospeed = speed;
    t.c_ispeed = speed;
    return ioctl(fd, TCSETS2, &t) == 0;
}

}  // namespace bridge
