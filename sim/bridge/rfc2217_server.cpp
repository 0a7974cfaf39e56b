// rfc2217_server.cpp - the TCP side of the RFC 2217 server.
#include "bridge/rfc2217_server.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace bridge {

using namespace std::chrono_literals;

namespace {

constexpr char kBusy[] = "vcp: the port is in use by another client\r\n";

void SendAll(int fd, std::span<const uint8_t> bytes, bool *failed)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *failed = true;
            return;
        }
        done += size_t(n);
    }
}

}  // namespace

Rfc2217Server::Rfc2217Server(SerialPort &port, Options options) : port_(port), options_(std::move(options))
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(options_.port);
    std::string host = options_.host == "localhost" ? "127.0.0.1" : options_.host;
    if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1)
        throw std::invalid_argument("not an IPv4 address: " + options_.host);

    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0)
        throw std::system_error(errno, std::generic_category(), "socket");
    int one = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(listener_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(listener_, 4) != 0) {
        int e = errno;
        close(listener_);
        throw std::system_error(e, std::generic_category(), "listening on " + options_.host + ":" +
                                                                std::to_string(options_.port));
    }
    socklen_t len = sizeof addr;
    getsockname(listener_, reinterpret_cast<sockaddr *>(&addr), &len);
    boundPort_ = ntohs(addr.sin_port);
}

Rfc2217Server::~Rfc2217Server()
{
    Stop();
    if (listener_ >= 0)
        close(listener_);
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
        if (sessionFd_ >= 0)
            shutdown(sessionFd_, SHUT_RDWR);
    }
    if (sessionThread_.joinable())
        sessionThread_.join();
}

void Rfc2217Server::Accept(std::stop_token stop)
{
    while (!stop.stop_requested()) {
        pollfd p{listener_, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        int fd = accept4(listener_, reinterpret_cast<sockaddr *>(&peer), &len, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        char text[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
        std::string who = std::string(text) + ":" + std::to_string(ntohs(peer.sin_port));

        if (active_.load()) {
            // One client at a time: say so and hang up.
            ++refused_;
            bool failed = false;
            SendAll(fd, std::span(reinterpret_cast<const uint8_t *>(kBusy), sizeof kBusy - 1), &failed);
            shutdown(fd, SHUT_RDWR);
            close(fd);
            Say("refused " + who + ": a client is connected");
            continue;
        }
        if (sessionThread_.joinable())
            sessionThread_.join();  // the last session has ended
        {
            std::lock_guard guard(sessionMutex_);
            if (stopping_) {
                close(fd);
                return;
            }
            sessionFd_ = fd;
        }
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        active_ = true;
        ++sessions_;
        Say("client " + who + " connected");
        sessionThread_ = std::jthread([this, fd, who] {
            Serve(fd);
            {
                std::lock_guard guard(sessionMutex_);
                sessionFd_ = -1;
            }
            close(fd);
            Say("client " + who + " disconnected");
            active_ = false;
        });
    }
}

// One session: this thread reads the network, a second thread reads the
// port, a third writes the engine's output.
void Rfc2217Server::Serve(int fd)
{
    std::mutex mutex;  // guards engine, output, done
    std::condition_variable wake;
    std::deque<uint8_t> output;
    bool done = false;
    Rfc2217Engine engine(port_, options_.engine, [this](const std::string &s) { Say(s); });

    auto queue = [&] {  // with mutex held
        std::vector<uint8_t> out = engine.TakeOutput();
        if (!out.empty()) {
            output.insert(output.end(), out.begin(), out.end());
            wake.notify_all();
        }
    };
    auto finish = [&] {  // with mutex held
        done = true;
        wake.notify_all();
        shutdown(fd, SHUT_RDWR);
    };

    {
        std::lock_guard guard(mutex);
        engine.Start();
        queue();
    }

    std::jthread writer([&] {
        std::vector<uint8_t> chunk;
        std::unique_lock lock(mutex);
        while (true) {
            wake.wait(lock, [&] { return done || !output.empty(); });
            if (output.empty())
                return;
            chunk.assign(output.begin(), output.end());
            output.clear();
            wake.notify_all();  // room for the port reader
            lock.unlock();
            bool failed = false;
            SendAll(fd, chunk, &failed);
            toClient_ += chunk.size();
            lock.lock();
            if (failed) {
                finish();
                return;
            }
        }
    });

    std::jthread portReader([&] {
        std::vector<uint8_t> buffer(4096);
        std::unique_lock lock(mutex);
        while (!done) {
            // A client that asked us to hold, or that reads slowly, leaves the
            // data in the port (which then holds reception).
            if (engine.outputSuspended() || output.size() > options_.outputLimit) {
                engine.PollModemState();
                queue();
                wake.wait_for(lock, 20ms);
                continue;
            }
            lock.unlock();
            PortTransfer t = port_.Read(buffer, 50ms);
            lock.lock();
            engine.PollModemState();
            if (t.bytes)
                engine.SendData(std::span(buffer).first(t.bytes));
            queue();
            if (t.removed && t.bytes == 0) {
                Say("the port was removed: closing the session");
                finish();
            }
        }
    });

    std::vector<uint8_t> buffer(4096);
    while (true) {
        ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        std::lock_guard guard(mutex);
        if (done)
            break;
        uint64_t before = engine.bytesToPort();
        engine.Receive(std::span(buffer).first(size_t(n)));
        toPort_ += engine.bytesToPort() - before;
        queue();
    }
    {
        std::lock_guard guard(mutex);
        finish();
    }
    portReader.join();
    writer.join();
}

}  // namespace bridge
