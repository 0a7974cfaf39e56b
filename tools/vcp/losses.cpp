// losses.cpp - where bytes were lost, in words.
#include "losses.hpp"

#include "console.hpp"
#include "session.hpp"

#include "bridge/line_peers.hpp"

#include <fmt/format.h>

namespace vcp {

std::string Losses::Describe() const
{
    if (total() == 0)
        return "none";
    std::vector<std::string> parts;
    if (converterOverrun)
        parts.push_back(Bytes(converterOverrun) +
                        " in the converter's receive FIFO (it overran: the line ran on and nobody read)");
    if (portOverrun)
        parts.push_back(Bytes(portOverrun) + " in the port's receive buffer (it overran)");
    if (farEnd)
        parts.push_back(Bytes(farEnd) + " sent to a far end that did not take them (or was gone)");
    if (clients)
        parts.push_back(Bytes(clients) + " sent by clients that left before the port took them");
    return fmt::format("{}: {}", Bytes(total()), fmt::join(parts, "; "));
}

std::vector<std::pair<std::string, uint64_t>> Losses::Fields() const
{
    return {{"total", total()},
            {"converterOverrun", converterOverrun},
            {"portOverrun", portOverrun},
            {"farEnd", farEnd},
            {"clients", clients}};
}

Losses GatherLosses(const WorldSession &world, const PortSession *port, size_t index)
{
    Losses l;
    l.converterOverrun = world.converterOverruns(index);
    if (port)
        l.portOverrun = port->Counters().overrunBytes;
    if (const bridge::ExternalPeer *peer = world.externalPeer(index))
        l.farEnd = peer->bytesDropped();
    return l;
}

}  // namespace vcp
