// rfc2217_server.cpp - the TCP side of the RFC 2217 server.
#include "bridge/rfc2217_server.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace bridge {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr char kBusy[] = "vcp: the port is in use by another client\r\n";
// How long a connection that arrives while a session ends may wait for it.
constexpr auto kWaitForTheSession = 1s;
// After the client closed its side: how long the port's data may stop
// before the session ends.
constexpr auto kDrainQuiet = 1s;
// The client's answers and notifications queued beyond the output limit
// before the client's commands are no longer read.
constexpr size_t kCommandBacklog = 64 * 1024;
// How long what is queued for the client may still take once the session
// has ended.
constexpr auto kFlushAfterEnd = 500ms;

// Sends everything; false when the client is gone (or the socket was shut),
// or when giveUp says so while the client takes nothing.
bool SendAll(int fd, std::span<const uint8_t> bytes, const std::function<bool()> &giveUp = {})
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || errno != EAGAIN)
            return false;
        if (giveUp && giveUp())
            return false;
        pollfd p{fd, POLLOUT, 0};
        poll(&p, 1, 100);
    }
    return true;
}

// "127.0.0.1:40000", "[::1]:40000".
std::string Describe(const sockaddr_storage &address, socklen_t length)
{
    char host[NI_MAXHOST] = "?", service[NI_MAXSERV] = "?";
    getnameinfo(reinterpret_cast<const sockaddr *>(&address), length, host, sizeof host, service, sizeof service,
                NI_NUMERICHOST | NI_NUMERICSERV);
    std::string h = host;
    if (address.ss_family == AF_INET6)
        h = "[" + h + "]";
    return h + ":" + service;
}

bool IsLoopback(const sockaddr_storage &address)
{
    if (address.ss_family == AF_INET) {
        const auto &a = reinterpret_cast<const sockaddr_in &>(address);
        return (ntohl(a.sin_addr.s_addr) >> 24) == 127;
    }
    if (address.ss_family == AF_INET6) {
        const auto &a = reinterpret_cast<const sockaddr_in6 &>(address);
        if (IN6_IS_ADDR_LOOPBACK(&a.sin6_addr))
            return true;
        return IN6_IS_ADDR_V4MAPPED(&a.sin6_addr) && a.sin6_addr.s6_addr[12] == 127;
    }
    return false;
}

void SetOption(int fd, int level, int name, int value)
{
    setsockopt(fd, level, name, &value, sizeof value);
}

// Log lines of one source: a burst, then a steady rate; what is left out is
// counted and summed up in the next line that passes, or at the end.
class LogLimiter {
public:
    LogLimiter(std::function<void(const std::string &)> out, unsigned burst, unsigned perSecond,
               std::atomic<uint64_t> *suppressedTotal)
        : out_(std::move(out)), burst_(std::max(1u, burst)), perSecond_(perSecond), tokens_(double(burst_)),
          last_(Clock::now()), total_(suppressedTotal)
    {
    }
    ~LogLimiter() { Flush(); }

    void operator()(const std::string &line)
    {
        std::unique_lock lock(mutex_);
        auto now = Clock::now();
        tokens_ = std::min(double(burst_), tokens_ + std::chrono::duration<double>(now - last_).count() * perSecond_);
        last_ = now;
        if (tokens_ < 1) {
            ++suppressed_;
            ++*total_;
            return;
        }
        tokens_ -= 1;
        std::string note = TakeNote();
        lock.unlock();
        Out(note);
        Out(line);
    }
    void Flush()
    {
        std::unique_lock lock(mutex_);
        std::string note = TakeNote();
        lock.unlock();
        Out(note);
    }

private:
    std::string TakeNote()
    {
        if (suppressed_ == 0)
            return {};
        std::string note = std::to_string(suppressed_) + " more log line" + (suppressed_ == 1 ? "" : "s") +
                           " left out (too many too fast)";
        suppressed_ = 0;
        return note;
    }
    void Out(const std::string &line)
    {
        if (!line.empty() && out_)
            out_(line);
    }

    std::function<void(const std::string &)> out_;
    std::mutex mutex_;
    const unsigned burst_;
    const unsigned perSecond_;
    double tokens_;
    Clock::time_point last_;
    uint64_t suppressed_ = 0;
    std::atomic<uint64_t> *total_;
};

}  // namespace

// ---------------------------------------------------------------------------
// One client's session

struct Rfc2217Server::Session {
    Session(Rfc2217Server &server, int fd, const std::string &who)
        : server(server), fd(fd), who(who),
          log([&server](const std::string &s) { server.Say(s); }, server.options_.logBurst,
              server.options_.logPerSecond, &server.suppressed_),
          engine(server.port_, server.options_.engine, [this](const std::string &s) { log(s); },
                 [this](std::span<const uint8_t> bytes) { return WriteToPort(bytes); })
    {
        lastFromClient = lastTraffic = Clock::now();
    }

    void Run();
    // With mutex held: the session ends (once); wakes every thread.  What is
    // queued for the client still goes, for at most kFlushAfterEnd.
    void Finish(const std::string &why);
    // Why it ended (after Run).
    const std::string &why() const { return reason; }
    // From another thread (the server stops).
    void End(const std::string &why)
    {
        std::lock_guard guard(mutex);
        Finish(why);
    }

private:
    void Queue();  // with mutex held: the engine's output to the writer
    void Writer();
    void PortReader();
    void NetworkReader();
    PortTransfer WriteToPort(std::span<const uint8_t> bytes);
    bool ClientGone();
    void DropWhatIsLeft();

    Rfc2217Server &server;
    const int fd;
    const std::string who;
    LogLimiter log;

    std::mutex mutex;  // guards everything below, the engine included
    std::condition_variable wake;
    std::unique_lock<std::mutex> *readerLock = nullptr;  // the network reader's, while it is in the engine
    Rfc2217Engine engine;
    std::vector<uint8_t> output;
    std::atomic<bool> done{false};
    std::atomic<int64_t> doneAt{0};  // steady-clock ticks
    std::string reason;
    int unreadAtProbe = 0;           // bytes the client had sent, unread, when it was found gone
    bool clientEof = false;      // the client closed its sending side
    bool clientGone = false;     // the client's side is closed for good
    bool writingToPort = false;  // the network reader waits for the port
    bool halfClosed = false;     // probed after its EOF: the client still takes data
    Clock::time_point lastFromClient;
    Clock::time_point lastTraffic;  // bytes moved either way
};

void Rfc2217Server::Session::Finish(const std::string &why)
{
    if (!done.exchange(true)) {
        reason = why;
        doneAt = Clock::now().time_since_epoch().count();
    }
    wake.notify_all();
    shutdown(fd, SHUT_RD);  // wakes the network reader; the writer may still send what is queued
}

void Rfc2217Server::Session::Queue()
{
    std::vector<uint8_t> out = engine.TakeOutput();
    if (!out.empty()) {
        output.insert(output.end(), out.begin(), out.end());
        wake.notify_all();
    }
}

// Called by the engine inside Receive, with the session's lock held by the
// network reader: the lock is released while the port is waited for.
PortTransfer Rfc2217Server::Session::WriteToPort(std::span<const uint8_t> bytes)
{
    writingToPort = true;
    readerLock->unlock();
    PortTransfer t;
    while (t.bytes < bytes.size() && !done) {
        PortTransfer w = server.port_.Write(bytes.subspan(t.bytes), 100ms);
        t.bytes += w.bytes;
        if (w.removed) {
            t.removed = true;
            break;
        }
    }
    server.toPort_ += t.bytes;
    readerLock->lock();
    writingToPort = false;
    lastTraffic = Clock::now();
    return t;
}

// Whether the client has gone for good rather than only closed its sending
// side: after its FIN, a client that closed its socket answers data with a
// reset, which fails the next send.  A Telnet NOP is data every client
// ignores.  Called without the lock.
bool Rfc2217Server::Session::ClientGone()
{
    static constexpr uint8_t kNop[] = {telnet::kIac, telnet::kNop};
    if (!SendAll(fd, kNop))
        return true;
    std::this_thread::sleep_for(50ms);
    return !SendAll(fd, kNop);
}

void Rfc2217Server::Session::Writer()
{
    std::vector<uint8_t> chunk;
    std::unique_lock lock(mutex);
    for (;;) {
        wake.wait_for(lock, 50ms, [&] { return done || !output.empty(); });
        if (!output.empty() && !clientGone) {
            chunk.swap(output);
            output.clear();
            wake.notify_all();  // room for the port reader and the network reader
            lock.unlock();
            bool sent = SendAll(fd, chunk, [this] {
                return done && Clock::now().time_since_epoch().count() - doneAt.load() >
                                   std::chrono::duration_cast<Clock::duration>(kFlushAfterEnd).count();
            });
            if (sent)
                server.toClient_ += chunk.size();
            chunk.clear();
            lock.lock();
            if (!sent) {
                clientGone = true;
                Finish("the client went away");
            } else {
                lastTraffic = Clock::now();
            }
            continue;
        }
        if (done)
            return;
        // Idle.  A client whose side has closed may be gone for good: ask.
        pollfd p{fd, POLLRDHUP, 0};
        const bool eof = clientEof || (poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)));
        if (eof && !halfClosed) {
            ioctl(fd, FIONREAD, &unreadAtProbe);
            lock.unlock();
            const bool gone = ClientGone();
            lock.lock();
            if (gone) {
                clientGone = true;
                Finish("the client went away");
            } else {
                halfClosed = true;  // it still reads: the port's data goes on
            }
        }
    }
}

void Rfc2217Server::Session::PortReader()
{
    std::vector<uint8_t> buffer(4096);
    const auto idleLimit = server.options_.idleLimit;
    std::unique_lock lock(mutex);
    while (!done) {
        const auto now = Clock::now();
        if (idleLimit.count() > 0 && now - std::max(lastFromClient, lastTraffic) >= idleLimit) {
            log("closing the session of " + who + ": nothing moved for " +
                std::to_string(std::chrono::duration_cast<std::chrono::seconds>(idleLimit).count()) +
                " s (the idle limit)");
            Finish("the idle limit");
            break;
        }
        if (clientEof && !writingToPort && output.empty() && now - lastTraffic >= kDrainQuiet) {
            Finish("the client closed its side and everything was delivered");
            break;
        }
        // A client that asked us to hold, or that reads slowly, leaves the
        // data in the port (which then holds reception).
        if (engine.outputSuspended() || output.size() > server.options_.outputLimit) {
            engine.PollModemState();
            Queue();
            wake.wait_for(lock, 20ms);
            continue;
        }
        lock.unlock();
        PortTransfer t = server.port_.Read(buffer, 50ms);
        lock.lock();
        engine.PollModemState();
        if (t.bytes) {
            engine.SendData(std::span(buffer).first(t.bytes));
            lastTraffic = Clock::now();
        }
        Queue();
        if (t.removed && t.bytes == 0) {
            log("the port was removed: closing the session");
            Finish("the port was removed");
        }
    }
}

void Rfc2217Server::Session::NetworkReader()
{
    std::vector<uint8_t> buffer(4096);
    const size_t backlog = server.options_.outputLimit + kCommandBacklog;
    std::unique_lock lock(mutex);
    while (!done) {
        // A client that does not read its answers is not read from either.
        wake.wait(lock, [&] { return done || output.size() <= backlog; });
        if (done)
            break;
        lock.unlock();
        ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
        lock.lock();
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0) {
            // Closed, or only half-closed: the writer finds out which.
            clientEof = true;
            lastTraffic = Clock::now();
            wake.notify_all();
            break;
        }
        if (n < 0) {
            if (!done)
                log("the connection of " + who + " failed: " + std::strerror(errno));
            clientGone = true;
            Finish("the connection failed");
            break;
        }
        if (done)
            break;
        lastFromClient = Clock::now();
        readerLock = &lock;
        engine.Receive(std::span(buffer).first(size_t(n)));
        readerLock = nullptr;
        Queue();
    }
    wake.wait(lock, [&] { return done.load(); });
}

// What a client that went away had sent and the port had not carried yet is
// dropped, and said: the next client finds the port's transmit side empty.
void Rfc2217Server::Session::DropWhatIsLeft()
{
    uint64_t unread = 0;
    uint8_t buffer[4096];
    for (;;) {
        ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n <= 0)
            break;
        unread += uint64_t(n);
    }
    unread = std::max<uint64_t>(unread, uint64_t(std::max(unreadAtProbe, 0)));  // a reset discards them
    server.dropped_ += unread;
    const uint64_t lost = engine.bytesDropped() + unread + server.port_.Unsent();
    if (lost == 0)
        return;
    // What it sent goes no further, and what came for it goes to no one
    // else: the next client starts with both sides empty.
    PortOutcome o = server.port_.Purge(true, true);
    log("dropped " + std::to_string(lost) + " bytes " + who + " sent that had not reached the line, and what "
        "the port had received for it" + (o.ok ? "" : " (" + o.message + ")"));
}

void Rfc2217Server::Session::Run()
{
    {
        std::lock_guard guard(mutex);
        engine.Start();
        Queue();
    }
    std::jthread writer([this] { Writer(); });
    std::jthread portReader([this] { PortReader(); });
    NetworkReader();
    portReader.join();
    writer.join();
    server.dropped_ += engine.bytesDropped();
    server.overrunReports_ += engine.overrunReports();
    if (clientGone)
        DropWhatIsLeft();
    log.Flush();
}

// ---------------------------------------------------------------------------
// The server

Rfc2217Server::Rfc2217Server(SerialPort &port, Options options) : port_(port), options_(std::move(options))
{
    // An address (IPv4 or IPv6), or "localhost"; no name is looked up.
    const std::string host = options_.host == "localhost" ? "127.0.0.1" : options_.host;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV | AI_NUMERICHOST;
    addrinfo *list = nullptr;
    const std::string service = std::to_string(options_.port);
    int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    if (rc != 0)
        throw std::invalid_argument("not an IPv4 or IPv6 address: " + options_.host);
    int error = 0;
    for (addrinfo *a = list; a && listener_ < 0; a = a->ai_next) {
        int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            error = errno;
            continue;
        }
        SetOption(fd, SOL_SOCKET, SO_REUSEADDR, 1);
        if (bind(fd, a->ai_addr, a->ai_addrlen) == 0 && listen(fd, SOMAXCONN) == 0) {
            listener_ = fd;
        } else {
            error = errno;
            close(fd);
        }
    }
    freeaddrinfo(list);
    if (listener_ < 0)
        throw std::system_error(error, std::generic_category(),
                                "listening on " + options_.host + ":" + std::to_string(options_.port));
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    getsockname(listener_, reinterpret_cast<sockaddr *>(&bound), &len);
    boundPort_ = bound.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6 &>(bound).sin6_port)
                                             : ntohs(reinterpret_cast<sockaddr_in &>(bound).sin_port);
    std::string where = Describe(bound, len);
    boundHost_ = where.substr(0, where.rfind(':'));
    outside_ = !IsLoopback(bound);
}

Rfc2217Server::~Rfc2217Server()
{
    Stop();
    if (listener_ >= 0)
        close(listener_);
}

std::string Rfc2217Server::url() const
{
    return "rfc2217://" + boundHost_ + ":" + std::to_string(boundPort_);
}

void Rfc2217Server::Say(const std::string &text)
{
    if (options_.log)
        options_.log(text);
}

void Rfc2217Server::Start()
{
    acceptThread_ = std::jthread([this](std::stop_token s) { Accept(s); });
}

void Rfc2217Server::Stop()
{
    acceptThread_.request_stop();
    if (acceptThread_.joinable())
        acceptThread_.join();
    {
        std::lock_guard guard(sessionMutex_);
        stopping_ = true;
        if (current_)
            current_->End("the server stops");
    }
    if (sessionThread_.joinable())
        sessionThread_.join();
}

void Rfc2217Server::Accept(std::stop_token stop)
{
    LogLimiter refusals([this](const std::string &s) { Say(s); }, options_.logBurst, options_.logPerSecond,
                        &suppressed_);
    struct Waiting {
        int fd;
        std::string who;
        Clock::time_point until;
    };
    std::optional<Waiting> waiting;
    while (!stop.stop_requested()) {
        pollfd p{listener_, POLLIN, 0};
        const bool ready = poll(&p, 1, waiting ? 10 : 100) > 0;
        if (waiting && !active_) {
            Begin(waiting->fd, waiting->who);
            waiting.reset();
        } else if (waiting && Clock::now() >= waiting->until) {
            Refuse(waiting->fd, waiting->who);
            refusals("refused " + waiting->who + ": a client is connected");
            waiting.reset();
        }
        if (!ready)
            continue;
        sockaddr_storage peer{};
        socklen_t len = sizeof peer;
        int fd = accept4(listener_, reinterpret_cast<sockaddr *>(&peer), &len, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        std::string who = Describe(peer, len);
        if (!active_ && !waiting) {
            Begin(fd, who);
        } else if (!waiting) {
            waiting = Waiting{fd, who, Clock::now() + kWaitForTheSession};
        } else {
            Refuse(fd, who);
            refusals("refused " + who + ": a client is connected");
        }
    }
    if (waiting)
        close(waiting->fd);
}

// One client at a time: say so and hang up.
void Rfc2217Server::Refuse(int fd, const std::string &)
{
    ++refused_;
    SendAll(fd, std::span(reinterpret_cast<const uint8_t *>(kBusy), sizeof kBusy - 1));
    shutdown(fd, SHUT_RDWR);
    close(fd);
}

void Rfc2217Server::Begin(int fd, const std::string &who)
{
    if (sessionThread_.joinable())
        sessionThread_.join();  // the last session has ended
    {
        std::lock_guard guard(sessionMutex_);
        if (stopping_) {
            close(fd);
            return;
        }
    }
    SetOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    // A peer that vanished without a word (a cable pulled, a machine gone)
    // is found by keepalive, and its session ends.
    SetOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
    SetOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, int(options_.keepAliveIdle.count()));
    SetOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, int(options_.keepAliveInterval.count()));
    SetOption(fd, IPPROTO_TCP, TCP_KEEPCNT, 3);
    active_ = true;
    ++sessions_;
    Say("client " + who + " connected");
    sessionThread_ = std::jthread([this, fd, who] {
        Serve(fd, who);
        close(fd);
        active_ = false;
    });
}

void Rfc2217Server::Serve(int fd, const std::string &who)
{
    Session session(*this, fd, who);
    {
        std::lock_guard guard(sessionMutex_);
        if (stopping_)
            session.End("the server stops");
        current_ = &session;
    }
    session.Run();
    {
        std::lock_guard guard(sessionMutex_);
        current_ = nullptr;
    }
    Say("client " + who + " disconnected" + (session.why().empty() ? "" : ": " + session.why()));
}

}  // namespace bridge
