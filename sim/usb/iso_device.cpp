// iso_device.cpp - the test-only isochronous device.
#include "usb/iso_device.hpp"

#include <algorithm>

namespace world {

IsoDevice::IsoDevice()
{
    const EndpointSpec endpoints[] = {{kIsoIn, USB_ENDPOINT_TYPE_ISOCHRONOUS, kPacketSize, 1},
                                      {kIsoOut, USB_ENDPOINT_TYPE_ISOCHRONOUS, kPacketSize, 1}};
    deviceDescriptor_ = MakeDeviceDescriptor(0xFFFE, 0x0002, 0x0100);
    configurationDescriptor_ = MakeConfigurationDescriptor(0xFF, 0x00, 0x00, endpoints);
}

void IsoDevice::Feed(std::span<const uint8_t> bytes)
{
    std::lock_guard guard(mutex_);
    feed_.insert(feed_.end(), bytes.begin(), bytes.end());
}

size_t IsoDevice::feedLeft() const
{
    std::lock_guard guard(mutex_);
    return feed_.size();
}

std::vector<IsoDevice::Packet> IsoDevice::outPackets() const
{
    std::lock_guard guard(mutex_);
    return out_;
}

std::vector<Frame> IsoDevice::inFrames() const
{
    std::lock_guard guard(mutex_);
    return inFrames_;
}

size_t IsoDevice::OnIsoPacket(uint8_t endpoint, std::span<uint8_t> packet, Frame now, USBD_STATUS *status)
{
    *status = USBD_STATUS_SUCCESS;
    if (endpoint == kIsoIn) {
        size_t n = std::min({packet.size(), feed_.size(), size_t(kPacketSize)});
        std::copy_n(feed_.begin(), n, packet.begin());
        feed_.erase(feed_.begin(), feed_.begin() + std::ptrdiff_t(n));
        inFrames_.push_back(now);
        return n;
    }
    if (endpoint == kIsoOut) {
        if (packet.size() > kPacketSize) {
            *status = USBD_STATUS_BUFFER_OVERRUN;  // more than the endpoint takes in a frame
            return 0;
        }
        out_.push_back({now, std::vector<uint8_t>(packet.begin(), packet.end())});
        return packet.size();
    }
    *status = USBD_STATUS_NOT_ACCESSED;
    return 0;
}

}  // namespace world
