// bus_schedule.cpp - the bulk endpoints of every device sharing a frame's
// bus time in turn, a packet at a visit, as a host controller's bulk list
// shares it.
#include "usb/host_controller_internal.hpp"

#include "usb/bus_time.hpp"

#include <algorithm>

namespace world {

void HostController::ServiceBulkInTurn(Frame now, Frame *next)
{
    bulkTurns_.clear();
    for (auto &slot : slots_) {
        if (slot->gone || slot->suspended)
            continue;
        for (auto &pipe : slot->pipes)
            if (pipe->type == UsbdPipeTypeBulk && !pipe->queue.empty())
                bulkTurns_.push_back({uint32_t(slot->address) << 8 | pipe->endpoint, slot.get(), pipe.get(), false});
    }
    if (bulkTurns_.empty())
        return;
    // The turns go by address and endpoint, from the one after the endpoint
    // served last, so every endpoint's turn comes as often whatever the
    // frames' boundaries.  The IN endpoints have their turns first: a
    // device whose bytes are not fetched loses them when its buffer
    // overruns, while an OUT packet that waits only holds its sender back.
    std::sort(bulkTurns_.begin(), bulkTurns_.end(),
              [](const BulkEndpoint &a, const BulkEndpoint &b) { return a.key < b.key; });
    for (bool in : {true, false}) {
        uint32_t &last = in ? lastBulkInKey_ : lastBulkOutKey_;
        const size_t n = bulkTurns_.size();
        const size_t first = size_t(std::upper_bound(bulkTurns_.begin(), bulkTurns_.end(), last,
                                                     [](uint32_t key, const BulkEndpoint &e) { return key < e.key; }) -
                                    bulkTurns_.begin());
        for (bool any = true; any;) {
            any = false;
            for (size_t k = 0; k < n; ++k) {
                BulkEndpoint &e = bulkTurns_[(first + k) % n];
                if (e.resting || bool(e.pipe->endpoint & 0x80) != in)
                    continue;
                if (bitsLeft_ < bus::TransactionBits(0)) {
                    saturated_ = true;
                    *next = std::min(*next, now + 1);
                    return;
                }
                if (ServicePipe(*e.slot, *e.pipe, now, next, /*onePacket=*/true)) {
                    any = true;
                    last = e.key;
                } else {
                    e.resting = true;
                }
            }
        }
    }
}

}  // namespace world
