// rfc2217_server.hpp - a serial port offered over TCP as an RFC 2217 server.
//
// One client at a time: a second connection is told the port is busy and
// closed, and the session in progress goes on.  When a client disconnects
// the port stays open, with its settings and lines as the client left them,
// ready for the next one.
//
// Threads per session: the network reader (client bytes through the engine
// to the port), the port reader (port bytes and modem lines through the
// engine to the client) and the writer (the engine's output to the socket).
// The engine is guarded by one lock; the writer sends outside it, so a client
// that stops reading holds back only the port's data, never the handling of
// its own commands.
#pragma once

#include "bridge/rfc2217.hpp"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace bridge {

class Rfc2217Server {
public:
    struct Options {
        std::string host = "127.0.0.1";
        uint16_t port = 0;  // 0: any free port
        Rfc2217Engine::Options engine;
        // Told of connections and of what the engine did, in words.
        std::function<void(const std::string &)> log;
        // Port data waiting for a slow client beyond this is held in the port.
        size_t outputLimit = 256 * 1024;
    };

    // Binds and listens.  Throws std::system_error (or std::invalid_argument
    // for a host that is not an address) on failure.
    Rfc2217Server(SerialPort &port, Options options);
    ~Rfc2217Server();  // Stop()
    Rfc2217Server(const Rfc2217Server &) = delete;
    Rfc2217Server &operator=(const Rfc2217Server &) = delete;

    uint16_t port() const { return boundPort_; }
    const std::string &host() const { return options_.host; }

    void Start();
    // Closes the listening socket and the session in progress.
    void Stop();

    bool clientConnected() const { return active_.load(); }
    uint64_t sessions() const { return sessions_.load(); }
    uint64_t refused() const { return refused_.load(); }
    uint64_t bytesToPort() const { return toPort_.load(); }
    uint64_t bytesToClient() const { return toClient_.load(); }

private:
    struct Session;
    void Accept(std::stop_token stop);
    void Serve(int fd);
    void Say(const std::string &text);

    SerialPort &port_;
    Options options_;
    int listener_ = -1;
    uint16_t boundPort_ = 0;
    std::atomic<bool> active_{false};
    std::atomic<uint64_t> sessions_{0};
    std::atomic<uint64_t> refused_{0};
    std::atomic<uint64_t> toPort_{0};
    std::atomic<uint64_t> toClient_{0};
    std::mutex sessionMutex_;
    int sessionFd_ = -1;  // under sessionMutex_
    bool stopping_ = false;
    std::jthread sessionThread_;
    std::jthread acceptThread_;
};

}  // namespace bridge
