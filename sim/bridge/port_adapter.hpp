// port_adapter.hpp - the port model (the port VxD's stand-in, sim/port) as
// the SerialPort a bridge drives.
//
// The settings in force are those the port last accepted; before the first,
// the converter's power-on settings (9600 8N1), which a converter that takes
// no settings (variant 0) keeps for good.
#pragma once

#include "bridge/serial_config.hpp"

#include <atomic>
#include <functional>
#include <mutex>

namespace world {
class PortModel;
}

namespace bridge {

class PortModelPort : public SerialPort {
public:
    explicit PortModelPort(world::PortModel &port);

    SerialConfig Config() const override;
    PortOutcome Configure(const SerialConfig &wanted) override;
    bool Dtr() const override;
    bool Rts() const override;
    PortOutcome SetDtr(bool on) override;
    PortOutcome SetRts(bool on) override;
    uint8_t ModemStatus() const override;
    PortTransfer Read(std::span<uint8_t> buffer, std::chrono::milliseconds timeout) override;
    PortTransfer Write(std::span<const uint8_t> bytes, std::chrono::milliseconds timeout) override;
    PortOutcome Purge(bool rx, bool tx) override;
    bool Removed() const override;
    // The port's own overruns (its ring was full), and those of the device
    // below, when the program can see them (the converter model's FIFO).
    uint64_t Overruns() const override;
    size_t Unsent() const override;
    void SetOverrunsBelow(std::function<uint64_t()> below);

    // Makes every Read and Write return at once, as if the port were gone
    // (for shutting a bridge down).
    void Cancel() { cancelled_ = true; }

private:
    world::PortModel &port_;
    mutable std::mutex mutex_;
    SerialConfig config_;
    std::function<uint64_t()> overrunsBelow_;  // under mutex_
    std::atomic<bool> cancelled_{false};
};

}  // namespace bridge
