// bus_time.hpp - what a transaction costs a full-speed bus.
//
// A 1 ms frame of a 12 Mb/s bus is 12,000 bit times; its start-of-frame
// packet takes 40 of them.  Every transaction, whatever its size, costs its
// token packet, the framing of its data packet (sync, PID, CRC16, end of
// packet), the handshake and the turnarounds between them: 109 bit times,
// and then 8 for each data byte.  So 19 transactions of 64 bytes fill a
// frame (11,799 bit times), as full-speed bulk transfers do, and a 20th does
// not fit; a zero-length packet (a latency timer's empty read) or a
// one-byte interrupt read costs as much bus time as 14 or 15 bytes of data.
// NAKs are not counted: a controller retries them in time no data wants.
#pragma once

#include <cstddef>
#include <cstdint>

namespace world::bus {

inline constexpr int64_t kFrameBits = 12000;
inline constexpr int64_t kSofBits = 40;
inline constexpr int64_t kTransactionOverheadBits = 109;
// What is left for transactions in one frame.
inline constexpr int64_t kFrameTransactionBits = kFrameBits - kSofBits;

constexpr int64_t TransactionBits(size_t payload) { return kTransactionOverheadBits + 8 * int64_t(payload); }

// Transactions that carried `bytes` of one transfer in packets of maxPacket:
// its full packets, and the short (or zero-length) one that ended it.
constexpr size_t Transactions(size_t bytes, uint16_t maxPacket, bool endedShort)
{
    const size_t packet = maxPacket ? maxPacket : 1;
    size_t n = (bytes + packet - 1) / packet;
    if (endedShort && bytes % packet == 0)
        ++n;
    return n;
}

static_assert(19 * TransactionBits(64) <= kFrameTransactionBits, "19 full bulk packets fit in a frame");
static_assert(20 * TransactionBits(64) > kFrameTransactionBits, "a 20th does not");

}  // namespace world::bus
