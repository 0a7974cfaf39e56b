// line_peers.hpp - the far end of a converter's serial line outside the
// world: a second pseudo-terminal, or a TCP connection (as a serial device
// server is reached).
//
//   PtyPeer  what the converter transmits is written to the terminal; what an
//            application writes to it arrives on the converter's RX line.
//            The terminal program at the far end is taken to hold its port
//            open with DTR and RTS raised: the converter sees CTS, DSR and
//            DCD on.
//   TcpPeer  a raw TCP client: bytes both ways unchanged.  CTS, DSR and DCD
//            are on while the connection is up.
//
// Each peer runs a reader thread that hands bytes to the converter, and a
// writer thread that sends what the converter transmitted and the outside
// did not take at once (a write that does not block), so the host
// controller's thread never waits for the outside world.  Stop() (or the
// destructor) ends both threads; call it before the converter is destroyed.
//
// Towards the converter the reader offers what it read and reads nothing more
// from the outside until the converter has taken it: the outside is held
// back (a TCP window, a terminal program's blocked write) rather than
// anything being lost.  On a paced line the bytes go at the line's rate.
//
// From the converter: a converter that does not pace its line transmits as
// fast as the host writes; when the outside takes the bytes more slowly, the
// peer tells the converter to wait (SetLineReady) once holdAt bytes are
// queued and lets it go on when what is left to write is short (a quarter of
// holdAt, so the outside does not run dry while the converter starts
// again), so nothing is lost.  On a paced line the converter cannot be held,
// as a real line cannot: the queue holds at most queueLimit bytes, and an
// outside that takes nothing for a second loses what it missed; both are
// counted (bytesDropped).  When the outside is gone for good (a TCP far end
// that closed), what the converter transmits is dropped and counted, and
// the peer says so once through its log.
#pragma once

#include "bridge/pty.hpp"
#include "usb/peers.hpp"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <vector>
#include <mutex>
#include <thread>

namespace bridge {

// The common part: the converter link, the outgoing queue and the threads.
class ExternalPeer : public world::SerialPeer {
public:
    ~ExternalPeer() override;

    void Attached(world::ConverterDevice *converter) override;
    void OnTransmit(world::ConverterDevice &from, std::span<const uint8_t> bytes) override;
    void OnOutputLines(world::ConverterDevice &from, bool rts, bool dtr) override;
    void OnRoom(world::ConverterDevice &from) override;

    // Told, in words, when the outside goes away.  Set before Start(): the
    // threads read it without a lock.
    void SetLog(std::function<void(const std::string &)> log) { log_ = std::move(log); }
    void Start();
    void Stop();

    uint64_t bytesToLine() const { return toLine_.load(); }      // from the outside to the converter
    uint64_t bytesFromLine() const { return fromLine_.load(); }  // from the converter to the outside
    // Bytes the converter transmitted that never reached the outside: it
    // took nothing for too long on a paced line, or it was gone.
    uint64_t bytesDropped() const { return dropped_.load(); }
    // The outside is gone for good (a TCP far end closed).
    bool outsideGone() const { return gone_.load(); }
    bool rts() const { return rts_.load(); }
    bool dtr() const { return dtr_.load(); }

protected:
    // Reads from the outside: bytes, 0 on timeout; false when it is gone.
    virtual bool ReadOutside(std::span<uint8_t> buffer, size_t *got) = 0;
    struct Written {
        size_t bytes = 0;
        bool gone = false;  // the outside is gone for good
    };
    // Writes what the outside takes within about timeout.
    virtual Written WriteOutside(std::span<const uint8_t> bytes, std::chrono::milliseconds timeout) = 0;
    // The outside went away (reading or writing found it gone); called once.
    virtual void Closed() {}
    // Sets the converter's input lines.
    void SetLines(bool on);
    void Say(const std::string &text);

    size_t queueLimit_ = 1 << 20;
    size_t holdAt_ = 256 * 1024;

private:
    void ReadLoop(std::stop_token stop);
    void WriteLoop(std::stop_token stop);
    // Offers bytes read from the outside until the converter has taken them
    // all (or the peer stops).
    void Deliver(std::span<const uint8_t> bytes, std::stop_token stop);
    void Gone();
    std::shared_ptr<world::ConverterDevice> Converter();
    // Tells the converter whether to go on, as holding_ says now.
    void UpdateGate();

    std::mutex mutex_;
    std::condition_variable_any queued_;
    std::condition_variable_any room_;
    std::vector<uint8_t> queue_;
    bool holding_ = false;   // the converter was told to wait
    bool writing_ = false;   // the writer thread has bytes in hand: later ones queue behind them
    bool roomSignalled_ = false;  // the converter has room again
    std::mutex gateMutex_;   // one gate update at a time: the last one tells the latest state
    std::weak_ptr<world::UsbDevice> converter_;
    std::function<void(const std::string &)> log_;
    std::atomic<uint64_t> toLine_{0};
    std::atomic<uint64_t> fromLine_{0};
    std::atomic<uint64_t> dropped_{0};
    std::atomic<bool> gone_{false};
    std::atomic<bool> rts_{false};
    std::atomic<bool> dtr_{false};
    std::jthread reader_;
    std::jthread writer_;
};

class PtyPeer : public ExternalPeer {
public:
    PtyPeer();  // throws std::system_error
    ~PtyPeer() override;
    PseudoTerminal &terminal() { return pty_; }
    void Attached(world::ConverterDevice *converter) override;

protected:
    bool ReadOutside(std::span<uint8_t> buffer, size_t *got) override;
    Written WriteOutside(std::span<const uint8_t> bytes, std::chrono::milliseconds timeout) override;

private:
    PseudoTerminal pty_;
};

class TcpPeer : public ExternalPeer {
public:
    // Connects to host:port.  Throws std::system_error (std::invalid_argument
    // for a bad address) on failure.
    TcpPeer(const std::string &host, uint16_t port);
    ~TcpPeer() override;
    void Attached(world::ConverterDevice *converter) override;
    bool connected() const { return connected_.load(); }

protected:
    bool ReadOutside(std::span<uint8_t> buffer, size_t *got) override;
    Written WriteOutside(std::span<const uint8_t> bytes, std::chrono::milliseconds timeout) override;
    void Closed() override;

private:
    int fd_ = -1;
    std::string name_;  // host:port
    std::atomic<bool> connected_{false};
};

// "tcp:HOST:PORT" -> host and port; false when it is not one.
bool ParseTcpPeer(std::string_view text, std::string *host, uint16_t *port);

}  // namespace bridge
