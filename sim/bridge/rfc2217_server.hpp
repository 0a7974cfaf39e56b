// rfc2217_server.hpp - a serial port offered over TCP as an RFC 2217 server.
//
// One client at a time.  A connection that arrives while a session is
// ending waits up to a second for it; any other is told the port is busy and
// closed, and the session in progress goes on.  When a client disconnects
// the port stays open, with its settings and lines as the client left them,
// ready for the next one.
//
// Threads per session: the network reader (client bytes through the engine
// to the port), the port reader (port bytes, modem lines and line errors
// through the engine to the client) and the writer (the engine's output to
// the socket).  The engine is guarded by one lock, which neither the writer
// nor a write to the port holds while it waits: each direction flows on its
// own, so a port that is slow to take the client's data never holds back the
// data coming the other way, and a client that stops reading holds back
// only the port's data.  Both directions are bounded: port data beyond
// outputLimit stays in the port (which then holds reception), and a client
// whose answers pile up unread is not read from until they have gone.
//
// Ending a session: a client that closes (or half-closes) its side is
// probed with a Telnet NOP: one that has gone answers with a reset, and the
// session ends at once; if it left bytes that had not reached the line yet,
// they are dropped and counted, and the port is purged both ways, so that
// the next client inherits neither its output nor its echo.  One that only
// half-closed keeps getting the port's data until nothing has come for a
// second.  Dead peers are found by TCP
// keepalive; an idle limit, when set, closes a session whose client has
// sent nothing for that long.  Each session's log lines are rate-limited:
// a client cannot flood the program's output.
#pragma once

#include "bridge/rfc2217.hpp"

#include <atomic>
#include <chrono>
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
        // An IPv4 or IPv6 address, or "localhost".  Anything that is not a
        // loopback address is reachable from other machines, and RFC 2217
        // has no authentication: the program should say so.
        std::string host = "127.0.0.1";
        uint16_t port = 0;  // 0: any free port
        Rfc2217Engine::Options engine;
        // Told of connections and of what the engine did, in words.
        std::function<void(const std::string &)> log;
        // Port data waiting for a slow client beyond this is held in the port.
        size_t outputLimit = 256 * 1024;
        // A session whose client has sent nothing for this long is closed;
        // zero: never.
        std::chrono::milliseconds idleLimit{0};
        // TCP keepalive: a silent connection is probed after keepAliveIdle,
        // and given up after three unanswered probes keepAliveInterval apart.
        std::chrono::seconds keepAliveIdle{30};
        std::chrono::seconds keepAliveInterval{10};
        // Log lines a session may print: a burst, then so many a second; the
        // rest are counted and summed up.
        unsigned logBurst = 20;
        unsigned logPerSecond = 5;
    };

    // Binds and listens.  Throws std::system_error (or std::invalid_argument
    // for a host that is not an address) on failure.
    Rfc2217Server(SerialPort &port, Options options);
    ~Rfc2217Server();  // Stop()
    Rfc2217Server(const Rfc2217Server &) = delete;
    Rfc2217Server &operator=(const Rfc2217Server &) = delete;

    uint16_t port() const { return boundPort_; }
    const std::string &host() const { return options_.host; }
    // The address actually bound, as a URL: rfc2217://127.0.0.1:2217,
    // rfc2217://[::1]:2217.
    std::string url() const;
    // Whether other machines can reach the server (not bound to loopback).
    bool reachableFromOutside() const { return outside_; }

    void Start();
    // Closes the listening socket and the session in progress.
    void Stop();

    bool clientConnected() const { return active_.load(); }
    uint64_t sessions() const { return sessions_.load(); }
    uint64_t refused() const { return refused_.load(); }
    uint64_t bytesToPort() const { return toPort_.load(); }
    uint64_t bytesToClient() const { return toClient_.load(); }
    // Bytes clients sent that never reached the port (the client went away,
    // or the port did, before they could be written).
    uint64_t bytesDropped() const { return dropped_.load(); }
    uint64_t overrunReports() const { return overrunReports_.load(); }
    // Log lines left out by the rate limit.
    uint64_t logLinesSuppressed() const { return suppressed_.load(); }

private:
    struct Session;
    void Accept(std::stop_token stop);
    void Begin(int fd, const std::string &who);
    void Refuse(int fd, const std::string &who);
    void Serve(int fd, const std::string &who);
    void Say(const std::string &text);

    SerialPort &port_;
    Options options_;
    int listener_ = -1;
    uint16_t boundPort_ = 0;
    std::string boundHost_;
    bool outside_ = false;
    std::atomic<bool> active_{false};
    std::atomic<uint64_t> sessions_{0};
    std::atomic<uint64_t> refused_{0};
    std::atomic<uint64_t> toPort_{0};
    std::atomic<uint64_t> toClient_{0};
    std::atomic<uint64_t> dropped_{0};
    std::atomic<uint64_t> overrunReports_{0};
    std::atomic<uint64_t> suppressed_{0};
    std::mutex sessionMutex_;
    Session *current_ = nullptr;  // under sessionMutex_
    bool stopping_ = false;       // under sessionMutex_
    std::jthread sessionThread_;
    std::jthread acceptThread_;
};

}  // namespace bridge
