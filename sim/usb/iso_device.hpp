// iso_device.hpp - a test-only device with isochronous pipes, for the
// function driver's isochronous path.
//
// Interface 0 lists
//   pipe 0  isochronous IN   0x81, 8-byte packets, every frame
//   pipe 1  isochronous OUT  0x02, 8-byte packets, every frame
//
// IN: each packet (one per frame) carries up to 8 bytes of the stream given
// with Feed(); with nothing fed, the packet is empty (Length 0).
// OUT: each packet's bytes are recorded with the frame they were sent in.
#pragma once

#include "usb/usb_device.hpp"

#include <deque>

namespace world {

class IsoDevice : public UsbDevice {
public:
    static constexpr uint8_t kIsoIn = 0x81;
    static constexpr uint8_t kIsoOut = 0x02;
    static constexpr uint16_t kPacketSize = 8;

    IsoDevice();

    struct Packet {
        Frame frame;
        std::vector<uint8_t> bytes;
    };
    // Bytes for the IN pipe, handed out packet by packet.
    void Feed(std::span<const uint8_t> bytes);
    size_t feedLeft() const;
    // Packets received on the OUT pipe, in order.
    std::vector<Packet> outPackets() const;
    // Frames in which the IN pipe was read.
    std::vector<Frame> inFrames() const;

protected:
    size_t OnIsoPacket(uint8_t endpoint, std::span<uint8_t> packet, Frame now, USBD_STATUS *status) override;

private:
    std::deque<uint8_t> feed_;
    std::vector<Packet> out_;
    std::vector<Frame> inFrames_;
};

}  // namespace world
