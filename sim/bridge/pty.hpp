// pty.hpp - a Linux pseudo-terminal for the bridges.
//
// The master side stays with us; programs open the slave by its path
// (/dev/pts/N, or a stable symlink).  The terminal starts raw, and in packet
// mode with EXTPROC set, so that every change an application makes to the
// terminal settings wakes the master with TIOCPKT_IOCTL; the bridge also
// reads the settings on a timer, for applications that clear EXTPROC.
//
// What a pseudo-terminal carries: the speed (any rate, through termios2) and
// the stop bits.  Linux forces 8 data bits and no parity on every change,
// and a pseudo-terminal has no modem lines.
//
// The slave is held open by us as well, so that the terminal keeps its
// settings between clients and the master never sees a hang-up when the last
// client closes.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace bridge {

class PseudoTerminal {
public:
    // Opens a new pseudo-terminal.  Throws std::system_error on failure.
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal &) = delete;
    PseudoTerminal &operator=(const PseudoTerminal &) = delete;

    const std::string &path() const { return path_; }
    int master() const { return master_; }

    // A symlink to the slave, removed by the destructor while it still points
    // here.  Refuses (false, with *error) to replace anything but a stale
    // link: a file, a symlink that does not point at a pseudo-terminal, or
    // one whose pseudo-terminal is in use (another vcp's, another program's)
    // stays as it is.  A link to a pseudo-terminal that is gone (left by a
    // program that was killed) is replaced, and *note says so.
    bool Link(const std::string &linkPath, std::string *error, std::string *note = nullptr);
    const std::string &link() const { return link_; }

    struct ReadResult {
        size_t bytes = 0;              // data placed in the buffer
        bool settingsChanged = false;  // the application changed the settings
        bool flushedInput = false;     // the application discarded its unread input (tcflush TCIFLUSH)
        bool flushedOutput = false;    // the application discarded its unsent output (tcflush TCOFLUSH)
        bool closed = false;           // the master failed (should not happen)
    };
    // Waits up to timeout for the application's data, a settings change or
    // a flush.
    ReadResult Read(std::span<uint8_t> buffer, std::chrono::milliseconds timeout);
    // Writes up to timeout; returns the bytes written (fewer when the
    // application does not read).
    size_t Write(std::span<const uint8_t> bytes, std::chrono::milliseconds timeout);

    // The terminal's settings that a serial line can take from it.
    struct LineView {
        uint32_t speed = 0;
        bool twoStopBits = false;
        bool operator==(const LineView &) const = default;
    };
    LineView Line() const;
    // Sets the speed and stop bits (the application sees them with tcgetattr).
    bool SetLine(const LineView &line);

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
    std::string link_;
};

// termios2 access (in a unit of its own: <asm/termbits.h> and <termios.h>
// cannot meet).
bool GetTerminalSpeed(int fd, uint32_t *speed, bool *twoStopBits);
bool SetTerminalSpeed(int fd, uint32_t speed, bool twoStopBits);

}  // namespace bridge
