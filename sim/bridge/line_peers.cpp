// line_peers.cpp - a converter's serial line wired to a pseudo-terminal or a
// TCP connection.
#include "bridge/line_peers.hpp"
#include "thread_name.hpp"

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

namespace {
// How long a paced line's far end may take nothing before it loses what it
// missed.
constexpr auto kPacedPatience = 1s;
}  // namespace

ExternalPeer::~ExternalPeer()
{
    Stop();
}

void ExternalPeer::Attached(world::ConverterDevice *converter)
{
    std::lock_guard guard(mutex_);
    converter_ = converter ? converter->weak_from_this() : std::weak_ptr<world::UsbDevice>();
}

std::shared_ptr<world::ConverterDevice> ExternalPeer::Converter()
{
    std::lock_guard guard(mutex_);
    return std::static_pointer_cast<world::ConverterDevice>(converter_.lock());
}

void ExternalPeer::Say(const std::string &text)
{
    if (log_)
        log_(text);
}

void ExternalPeer::SetLines(bool on)
{
    if (auto device = Converter())
        device->SetInputLines({.cts = on, .dsr = on, .dcd = on, .ri = false});
}

void ExternalPeer::OnTransmit(world::ConverterDevice &, std::span<const uint8_t> bytes)
{
    bool hold = false;
    {
        std::lock_guard guard(mutex_);
        // Nothing is waiting to go out before these bytes: the outside takes
        // what it can at once, without blocking, and the writer thread is
        // woken only for the rest.  This saves a thread switch for each batch
        // while the outside keeps up.
        if (queue_.empty() && !writing_ && !gone_) {
            Written w = WriteOutside(bytes, 0ms);
            fromLine_ += w.bytes;
            bytes = bytes.subspan(w.bytes);
            if (bytes.empty())
                return;
        }
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

void ExternalPeer::OnRoom(world::ConverterDevice &)
{
    {
        std::lock_guard guard(mutex_);
        roomSignalled_ = true;
    }
    room_.notify_all();
}

void ExternalPeer::UpdateGate()
{
    std::lock_guard gate(gateMutex_);
    bool hold;
    {
        std::lock_guard guard(mutex_);
        hold = holding_;
    }
    if (auto device = Converter())
        device->SetLineReady(!hold);
}

void ExternalPeer::OnOutputLines(world::ConverterDevice &, bool rts, bool dtr)
{
    rts_ = rts;
    dtr_ = dtr;
}

void ExternalPeer::Start()
{
    reader_ = std::jthread([this](std::stop_token s) {
        world::NameThisThread("vcp-line-in");
        ReadLoop(s);
    });
    writer_ = std::jthread([this](std::stop_token s) {
        world::NameThisThread("vcp-line-out");
        WriteLoop(s);
    });
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

// The outside is gone for good: said once.
void ExternalPeer::Gone()
{
    if (gone_.exchange(true))
        return;
    Closed();
}

void ExternalPeer::ReadLoop(std::stop_token stop)
{
    std::vector<uint8_t> buffer(4096);
    while (!stop.stop_requested() && !gone_) {
        size_t got = 0;
        if (!ReadOutside(buffer, &got)) {
            Gone();
            return;
        }
        if (got)
            Deliver(std::span(buffer).first(got), stop);
    }
}

void ExternalPeer::Deliver(std::span<const uint8_t> bytes, std::stop_token stop)
{
    while (!bytes.empty() && !stop.stop_requested()) {
        auto device = Converter();
        if (!device)
            return;  // no converter on the line: nobody hears them
        {
            std::lock_guard guard(mutex_);
            roomSignalled_ = false;
        }
        // Bytes from another UART: paced at the line's rate when the
        // converter paces.
        size_t taken = device->OfferFromLine(bytes, true);
        toLine_ += taken;
        bytes = bytes.subspan(taken);
        if (bytes.empty())
            return;
        // Full: the rest waits for room, and the outside waits for us.
        std::unique_lock lock(mutex_);
        room_.wait_for(lock, stop, 100ms, [&] { return roomSignalled_; });
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
            writing_ = !chunk.empty();
            // The converter may go on once what is left to write is short:
            // the outside still has those bytes to take while the converter
            // starts again, so it does not run dry in between.  What comes
            // meanwhile queues behind them, and a full queue holds it again.
            if (holding_ && chunk.size() <= holdAt_ / 4) {
                release = true;
                holding_ = false;
            }
        }
        if (release)
            UpdateGate();
        if (chunk.empty())
            continue;
        // On a line without pacing the outside is waited for as long as it
        // takes (the converter is held meanwhile); a paced line cannot wait.
        auto device = Converter();
        const bool paced = device && device->pacing();
        const auto giveUp = std::chrono::steady_clock::now() + kPacedPatience;
        size_t done = 0;
        while (done < chunk.size() && !stop.stop_requested() && !gone_) {
            Written w = WriteOutside(std::span(chunk).subspan(done), 100ms);
            done += w.bytes;
            if (w.gone)
                Gone();
            if (paced && std::chrono::steady_clock::now() >= giveUp)
                break;
        }
        fromLine_ += done;
        dropped_ += chunk.size() - done;
        std::lock_guard guard(mutex_);
        writing_ = false;
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

ExternalPeer::Written PtyPeer::WriteOutside(std::span<const uint8_t> bytes, std::chrono::milliseconds timeout)
{
    return {pty_.Write(bytes, timeout), false};
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

TcpPeer::TcpPeer(const std::string &host, uint16_t port) : name_(host + ":" + std::to_string(port))
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
        throw std::system_error(error, std::generic_category(), "connecting to " + name_);
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

ExternalPeer::Written TcpPeer::WriteOutside(std::span<const uint8_t> bytes, std::chrono::milliseconds timeout)
{
    Written w;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (w.bytes < bytes.size()) {
        ssize_t n = send(fd_, bytes.data() + w.bytes, bytes.size() - w.bytes, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            w.bytes += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN) {
            w.gone = true;  // reset or closed
            break;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd_, POLLOUT, 0};
        if (left.count() <= 0 || poll(&p, 1, int(left.count())) <= 0)
            break;
    }
    return w;
}

void TcpPeer::Closed()
{
    // The far end hung up: its lines drop, and what the port sends from now
    // on goes nowhere.
    connected_ = false;
    SetLines(false);
    Say("the far end " + name_ + " closed the connection: CTS, DSR and DCD are off, and what the port "
        "sends from now on is dropped and counted");
}

}  // namespace bridge
