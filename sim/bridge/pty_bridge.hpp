// pty_bridge.hpp - a serial port offered as a pseudo-terminal.
//
// Two threads move bytes: the application's writes go to the port, what the
// port receives goes to the application.  The terminal settings are watched
// (packet-mode notification, and a timer): a new speed or stop-bit count
// becomes a settings request on the port, with the data bits and parity the
// bridge was given (a pseudo-terminal cannot carry them).  A setting the port
// refuses is taken back on the terminal: its speed and stop bits are set to
// those in force, and the bridge reports why.  Speed 0 (B0) hangs up, as on
// a serial port: DTR and RTS drop, and rise again with the next speed.  An
// application's tcflush purges the port's side too (the received bytes it
// holds, or the bytes not yet sent).
#pragma once

#include "bridge/pty.hpp"
#include "bridge/serial_config.hpp"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace bridge {

class PtyBridge {
public:
    struct Options {
        // How often the terminal settings are read when no notification came.
        std::chrono::milliseconds watchInterval{100};
        // A change is followed once the terminal has been quiet this long:
        // applications often set a speed in two steps (a placeholder rate,
        // then the real one through termios2), and the converter should see
        // only the second.
        std::chrono::milliseconds settle{30};
        // Told of every settings change and refusal, in words.
        std::function<void(const std::string &)> log;
    };

    // The terminal is set to the port's settings at once.  The bridge uses
    // the data bits and parity in force on the port for every later request.
    PtyBridge(SerialPort &port, PseudoTerminal &pty, Options options);
    PtyBridge(SerialPort &port, PseudoTerminal &pty) : PtyBridge(port, pty, Options{}) {}
    ~PtyBridge();  // Stop()
    PtyBridge(const PtyBridge &) = delete;
    PtyBridge &operator=(const PtyBridge &) = delete;

    void Start();
    // Stops both threads (bytes in flight may be lost).
    void Stop();

    uint64_t bytesToPort() const { return toPort_.load(); }
    uint64_t bytesFromPort() const { return fromPort_.load(); }
    uint64_t settingsChanges() const { return changes_.load(); }
    uint64_t refusals() const { return refusals_.load(); }
    uint64_t purges() const { return purges_.load(); }  // tcflush calls passed on to the port
    uint64_t hangUps() const { return hangUps_.load(); }  // speed set to 0
    // The port reported removal: the bridge stopped moving bytes.
    bool portGone() const { return gone_.load(); }

    // Reads the terminal's settings now and follows them (the watch does this
    // by itself; tests call it to be deterministic).
    void FollowTerminal();

private:
    void ToPort(std::stop_token stop);
    void FromPort(std::stop_token stop);
    void Say(const std::string &text);
    void Purge(bool input, bool output);

    SerialPort &port_;
    PseudoTerminal &pty_;
    Options options_;
    std::mutex followMutex_;
    PseudoTerminal::LineView seen_;  // the terminal settings last followed
    bool hungUp_ = false;            // the terminal's speed is 0: DTR and RTS are down
    std::atomic<uint64_t> toPort_{0};
    std::atomic<uint64_t> fromPort_{0};
    std::atomic<uint64_t> changes_{0};
    std::atomic<uint64_t> refusals_{0};
    std::atomic<uint64_t> purges_{0};
    std::atomic<uint64_t> hangUps_{0};
    std::atomic<bool> gone_{false};
    std::jthread toPortThread_;
    std::jthread fromPortThread_;
};

}  // namespace bridge
