// line_peers.cpp - a converter's serial line wired to a pseudo-terminal or a
// TCP connection.
#include "bridge/line_peers.hpp"

#include <cerrno>
#include <charconv>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>
#include <utility>
#include <vector>

namespace bridge {

using namespace std::chrono_literals;

// ---------------------------------------------------------------------------
// The common part

ExternalPeer::~ExternalPeer()
{
    Stop();
}

void ExternalPeer::Attached(world::ConverterDevice *converter)
{
    std::lock_guard guard(mutex_);
    converter_ = converter ? converter->weak_from_this() : std::weak_ptr<world::UsbDevice>();
}

void ExternalPeer::SetLines(bool on)
{
    std::shared_ptr<world::UsbDevice> device;
    {
        std::lock_guard guard(mutex_);
        device = converter_.lock();
    }
    if (device)
        std::static_pointer_cast<world::ConverterDevice>(device)->SetInputLines(
            {.cts = on, .dsr = on, .dcd = on, .ri = false});
}

void ExternalPeer::OnTransmit(world::ConverterDevice &, std::span<const uint8_t> bytes)
{
    bool hold = false;
    {
        std::lock_guard guard(mutex_);
        size_t room = queue_.size() < queueLimit_ ? queueLimit_ - queue_.size() : 0;
        size_t take = std::min(room, bytes.size());
        queue_.insert(queue_.end(), bytes.begin(), bytes.begin() + take);
        dropped_ += bytes.size() - take;
        if (!holding_ && queue_.size() >= holdAt_)
            hold = holding_ = true;
        queued_.notify_all();
    }
    if (hold)
        UpdateGate();
}

void ExternalPeer::UpdateGate()
{
    std::lock_guard gate(gateMutex_);
    bool hold;
    std::shared_ptr<world::UsbDevice> device;
    {
        std::lock_guard guard(mutex_);
        hold = holding_;
        device = converter_.lock();
    }
    if (device)
        std::static_pointer_cast<world::ConverterDevice>(device)->SetLineReady(!hold);
}

void ExternalPeer::OnOutputLines(world::ConverterDevice &, bool rts, bool dtr)
{
    rts_ = rts;
    dtr_ = dtr;
}

void ExternalPeer::Start()
{
    reader_ = std::jthread([this](std::stop_token s) { ReadLoop(s); });
    writer_ = std::jthread([this](std::stop_token s) { WriteLoop(s); });
}

void ExternalPeer::Stop()
{
    for (std::jthread *t : {&reader_, &writer_}) {
        t->request_stop();
        if (t->joinable())
            t->join();
    }
    // Nothing will write the queue out any more: the converter need not wait.
    bool release;
    {
        std::lock_guard guard(mutex_);
        release = std::exchange(holding_, false);
    }
    if (release)
        UpdateGate();
}

void ExternalPeer::ReadLoop(std::stop_token stop)
{
    std::vector<uint8_t> buffer(4096);
    while (!stop.stop_requested()) {
        size_t got = 0;
        if (!ReadOutside(buffer, &got)) {
            Closed();
            return;
        }
        if (got == 0)
            continue;
        std::shared_ptr<world::UsbDevice> device;
        {
            std::lock_guard guard(mutex_);
            device = converter_.lock();
        }
        if (device) {
            // Bytes from another UART: paced at the line's rate when the
            // converter paces.
            std::static_pointer_cast<world::ConverterDevice>(device)->ReceiveFromLine(std::span(buffer).first(got),
                                                                                      true);
            toLine_ += got;
        }
    }
}

void ExternalPeer::WriteLoop(std::stop_token stop)
{
    std::vector<uint8_t> chunk;
    while (!stop.stop_requested()) {
        bool release = false;
        {
            std::unique_lock lock(mutex_);
            queued_.wait_for(lock, stop, 100ms, [&] { return !queue_.empty() || holding_; });
            chunk.clear();
            chunk.swap(queue_);  // the queue keeps the other's room
            if (chunk.empty() && holding_)
                release = true;  // everything queued has gone out: the converter may go on
            if (release)
                holding_ = false;
        }
        if (release) {
            UpdateGate();
            continue;
        }
        if (chunk.empty())
            continue;
        if (!WriteOutside(chunk)) {
            dropped_ += chunk.size();
            continue;
        }
        fromLine_ += chunk.size();
    }
}

// ---------------------------------------------------------------------------
// Pseudo-terminal

PtyPeer::PtyPeer() = default;

PtyPeer::~PtyPeer()
{
    Stop();
}

void PtyPeer::Attached(world::ConverterDevice *converter)
{
    ExternalPeer::Attached(converter);
    if (converter)
        SetLines(true);
}

bool PtyPeer::ReadOutside(std::span<uint8_t> buffer, size_t *got)
{
    PseudoTerminal::ReadResult r = pty_.Read(buffer, 100ms);
    *got = r.bytes;
    return !r.closed;
}

bool PtyPeer::WriteOutside(std::span<const uint8_t> bytes)
{
    // An application that does not read for a second loses what it missed,
    // as it would on a real line.
    size_t done = 0;
    for (int tries = 0; done < bytes.size() && tries < 10; ++tries)
        done += pty_.Write(bytes.subspan(done), 100ms);
    return done == bytes.size();
}

// ---------------------------------------------------------------------------
// TCP

bool ParseTcpPeer(std::string_view text, std::string *host, uint16_t *port)
{
    constexpr std::string_view prefix = "tcp:";
    if (text.substr(0, prefix.size()) != prefix)
        return false;
    text.remove_prefix(prefix.size());
    size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0)
        return false;
    unsigned value = 0;
    std::string_view digits = text.substr(colon + 1);
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || end != digits.data() + digits.size() || value == 0 || value > 65535)
        return false;
    *host = std::string(text.substr(0, colon));
    *port = uint16_t(value);
    return true;
}

TcpPeer::TcpPeer(const std::string &host, uint16_t port)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *list = nullptr;
    int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
    if (rc != 0)
        throw std::invalid_argument("cannot resolve " + host + ": " + gai_strerror(rc));
    int error = 0;
    for (addrinfo *a = list; a && fd_ < 0; a = a->ai_next) {
        int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0)
            continue;
        if (connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
            fd_ = fd;
        } else {
            error = errno;
            close(fd);
        }
    }
    freeaddrinfo(list);
    if (fd_ < 0)
        throw std::system_error(error, std::generic_category(),
                                "connecting to " + host + ":" + std::to_string(port));
    int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    connected_ = true;
}

TcpPeer::~TcpPeer()
{
    Stop();
    close(fd_);
}

void TcpPeer::Attached(world::ConverterDevice *converter)
{
    ExternalPeer::Attached(converter);
    if (converter)
        SetLines(connected_.load());
}

bool TcpPeer::ReadOutside(std::span<uint8_t> buffer, size_t *got)
{
    *got = 0;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0)
        return true;
    ssize_t n = recv(fd_, buffer.data(), buffer.size(), 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return true;
    if (n <= 0)
        return false;
    *got = size_t(n);
    return true;
}

bool TcpPeer::WriteOutside(std::span<const uint8_t> bytes)
{
    size_t done = 0;
    while (done < bytes.size() && connected_) {
        ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return done == bytes.size();
}

void TcpPeer::Closed()
{
    // The far end hung up: its lines drop.
    connected_ = false;
    SetLines(false);
}

}  // namespace bridge
