// peers.hpp - what sits at the other end of a converter's serial port.
//
//   LoopbackPlug    TX wired to RX, RTS to CTS, DTR to DSR and DCD.
//   NullModemCable  two converters: TX/RX crossed, RTS -> CTS and DTR -> DSR +
//                   DCD crossed.  Bytes go through as they are, whatever the
//                   two ends' settings (a mismatch is not modelled); without
//                   pacing a receiver that is full holds the sender back.
//   ScriptedPeer    for tests: records the bytes and output lines it sees,
//                   sends bytes and drives CTS, DSR, DCD and RI.
//
// A peer is called by its converter without any converter lock held, from
// the controller thread (bytes, lines) or the caller of Connect.  Peers never
// hold their own lock while calling a converter.
//
//   auto dev = std::make_shared<ConverterDevice>(1);
//   auto peer = std::make_shared<ScriptedPeer>();
//   dev->Connect(peer);
//   peer->Send({'h', 'i'});
//   peer->WaitForBytes(3, 1s);
#pragma once

#include "usb/converter.hpp"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

namespace world {

class SerialPeer {
public:
    virtual ~SerialPeer() = default;
    // The converter was connected to (or disconnected from: null) this peer.
    virtual void Attached(ConverterDevice *converter) {}
    // Bytes the converter put on its TX line, in order.
    virtual void OnTransmit(ConverterDevice &from, std::span<const uint8_t> bytes) = 0;
    // The converter's output lines (on connect and on every change).
    virtual void OnOutputLines(ConverterDevice &from, bool rts, bool dtr) = 0;
    // The converter's line settings (on connect and on every change).
    virtual void OnSettings(ConverterDevice &from, const LineSettings &settings) {}
    // The converter refused part of an offer (OfferFromLine) and has room
    // again: offer the rest.
    virtual void OnRoom(ConverterDevice &from) {}
};

// A plug serves one converter.  On a line without pacing, what the
// converter's receive buffer cannot take yet waits in the plug, and the
// converter takes nothing more from the host until it has gone in.
class LoopbackPlug : public SerialPeer {
public:
    void OnTransmit(ConverterDevice &from, std::span<const uint8_t> bytes) override;
    void OnOutputLines(ConverterDevice &from, bool rts, bool dtr) override;
    void OnRoom(ConverterDevice &from) override;

private:
    std::mutex mutex_;
    std::vector<uint8_t> waiting_;  // transmitted, not yet taken back in
};

class NullModemCable {
public:
    // Connects a and b to each other (each converter's previous peer is
    // replaced).  The cable holds the converters weakly.
    static void Connect(const std::shared_ptr<ConverterDevice> &a, const std::shared_ptr<ConverterDevice> &b);
};

class ScriptedPeer : public SerialPeer {
public:
    struct LineEvent {
        bool rts;
        bool dtr;
    };

    // --- What the peer saw ---
    std::vector<uint8_t> received() const;  // every byte so far
    std::vector<uint8_t> TakeReceived();    // and forget them
    // Waits until at least n bytes have been received in total (since the
    // last TakeReceived); false on timeout.
    bool WaitForBytes(size_t n, std::chrono::milliseconds timeout) const;
    bool rts() const;
    bool dtr() const;
    std::vector<LineEvent> lineEvents() const;  // every output-line report, in order
    LineSettings settings() const;              // last settings reported
    size_t settingsChanges() const;

    // --- What the peer does ---
    // Sends bytes to the converter (paced at the converter's rate when its
    // pacing is on).  Does nothing while no converter is connected.
    void Send(std::span<const uint8_t> bytes);
    void Send(std::initializer_list<uint8_t> bytes) { Send(std::span<const uint8_t>(bytes.begin(), bytes.size())); }
    void Send(std::string_view text)
    {
        Send(std::span<const uint8_t>(reinterpret_cast<const uint8_t *>(text.data()), text.size()));
    }
    // Drives the converter's input lines.
    void SetLines(const ModemLines &lines);
    ModemLines lines() const;

    void Attached(ConverterDevice *converter) override;
    void OnTransmit(ConverterDevice &from, std::span<const uint8_t> bytes) override;
    void OnOutputLines(ConverterDevice &from, bool rts, bool dtr) override;
    void OnSettings(ConverterDevice &from, const LineSettings &settings) override;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable arrived_;
    ConverterDevice *converter_ = nullptr;
    std::vector<uint8_t> received_;
    std::vector<LineEvent> lineEvents_;
    bool rts_ = false;
    bool dtr_ = false;
    LineSettings settings_;
    size_t settingsChanges_ = 0;
    ModemLines lines_;
};

}  // namespace world
