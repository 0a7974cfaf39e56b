// losses.hpp - every byte lost on its way, counted where it was lost: what
// the status line flags, the exit summary lists and --command-log writes.
//
// Without --realtime nothing is ever lost (a full buffer holds its sender
// back); with it, bytes are lost only where hardware would lose them, and
// each such place is counted here.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vcp {

class WorldSession;
class PortSession;

struct Losses {
    uint64_t converterOverrun = 0;  // the converter's receive FIFO overran: the line ran on, nobody read
    uint64_t portOverrun = 0;       // the port's receive ring overran
    uint64_t farEnd = 0;            // transmitted bytes the far end (pty, TCP) never took, or that it was gone for
    uint64_t clients = 0;           // bytes RFC 2217 clients sent that never reached the port

    uint64_t total() const { return converterOverrun + portOverrun + farEnd + clients; }
    // "none", or "3.0 KiB: 3.0 KiB converter FIFO overrun (...)".
    std::string Describe() const;
    // The names and values --command-log writes.
    std::vector<std::pair<std::string, uint64_t>> Fields() const;
};

// The world's and the port's counts now (port may be null), for the
// world's converter `index`.
Losses GatherLosses(const WorldSession &world, const PortSession *port, size_t index = 0);

}  // namespace vcp
