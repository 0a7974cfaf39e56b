// descriptors.cpp - reading and checking a descriptor file.
#include "descriptors.hpp"

#include "console.hpp"

#include <fmt/format.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace vcp {

namespace {

constexpr uint8_t kDeviceType = 1, kConfigurationType = 2, kInterfaceType = 4, kEndpointType = 5;

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

uint16_t Le16(std::span<const uint8_t> b, size_t at) { return uint16_t(b[at] | b[at + 1] << 8); }

std::string Hex(unsigned v) { return fmt::format("0x{:02x}", v); }

}  // namespace

std::vector<uint8_t> ReadDescriptorFile(const std::string &path, const std::function<std::optional<int>()> &interrupted)
{
    // Non-blocking, so that a FIFO without a writer cannot hold the open.
    Fd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0)
        throw std::runtime_error(fmt::format("cannot read {}: {}", path, std::strerror(errno)));
    struct stat st {};
    if (fstat(fd.get(), &st) == 0 && S_ISDIR(st.st_mode))
        throw std::runtime_error(path + " is a directory, not a descriptor file");
    if (fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && size_t(st.st_size) > kDescriptorFileLimit)
        throw std::runtime_error(fmt::format("{} holds {} bytes: no descriptor set is larger than {} bytes", path,
                                             st.st_size, kDescriptorFileLimit));
    std::vector<uint8_t> bytes;
    uint8_t chunk[4096];
    for (;;) {
        ssize_t n = read(fd.get(), chunk, sizeof chunk);
        if (n > 0) {
            bytes.insert(bytes.end(), chunk, chunk + n);
            if (bytes.size() > kDescriptorFileLimit)
                throw std::runtime_error(fmt::format("{} goes on beyond {} bytes: no descriptor set is that large",
                                                     path, kDescriptorFileLimit));
            continue;
        }
        if (n == 0)
            break;  // the end (a FIFO: every writer has closed)
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN)
            throw std::runtime_error(fmt::format("cannot read {}: {}", path, std::strerror(errno)));
        if (std::optional<int> sig = interrupted ? interrupted() : std::nullopt)
            throw Interrupted{*sig};
        pollfd p{fd.get(), POLLIN, 0};
        poll(&p, 1, 100);
    }
    return bytes;
}

std::string CheckDescriptors(std::span<const uint8_t> d, std::span<const uint8_t> c)
{
    if (d.size() != 18 || d[0] != 18 || d[1] != kDeviceType)
        return "the device descriptor: bLength must be 18 and bDescriptorType 1";
    if (d[17] == 0)
        return "the device descriptor: bNumConfigurations is 0";
    if (c.size() < 9 || c[0] != 9 || c[1] != kConfigurationType)
        return "the configuration descriptor: bLength must be 9 and bDescriptorType 2";
    if (Le16(c, 2) != c.size())
        return fmt::format("the configuration descriptor: wTotalLength is {}, the file holds {} bytes for it",
                           Le16(c, 2), c.size());
    if (c[4] == 0)
        return "the configuration descriptor: bNumInterfaces is 0";

    // Walk the descriptors after the configuration's own nine bytes.
    struct Interface {
        size_t at;
        uint8_t number, alternate, endpoints;
        std::vector<std::pair<size_t, std::span<const uint8_t>>> seen;  // endpoint descriptors
    };
    std::vector<Interface> interfaces;
    for (size_t at = 9; at < c.size();) {
        const size_t offset = 18 + at;  // in the file
        if (c.size() - at < 2)
            return fmt::format("the descriptor at byte {}: only {} byte left, too short for bLength and "
                               "bDescriptorType", offset, c.size() - at);
        const uint8_t length = c[at], type = c[at + 1];
        if (length < 2)
            return fmt::format("the descriptor at byte {} (type {}): bLength is {}", offset, Hex(type), length);
        if (length > c.size() - at)
            return fmt::format("the descriptor at byte {} (type {}): bLength {} runs past wTotalLength", offset,
                               Hex(type), length);
        std::span<const uint8_t> b = c.subspan(at, length);
        if (type == kInterfaceType) {
            if (length < 9)
                return fmt::format("the interface descriptor at byte {}: bLength is {}, not 9", offset, length);
            interfaces.push_back({offset, b[2], b[3], b[4], {}});
        } else if (type == kEndpointType) {
            if (length < 7)
                return fmt::format("the endpoint descriptor at byte {}: bLength is {}, not 7", offset, length);
            if (interfaces.empty())
                return fmt::format("the endpoint descriptor at byte {}: it comes before any interface descriptor",
                                   offset);
            if ((b[2] & 0x0F) == 0)
                return fmt::format("the endpoint descriptor at byte {}: bEndpointAddress {} names endpoint 0, "
                                   "the default pipe", offset, Hex(b[2]));
            if ((Le16(b, 4) & 0x7FF) == 0)
                return fmt::format("the endpoint descriptor {} at byte {}: wMaxPacketSize is 0", Hex(b[2]), offset);
            interfaces.back().seen.emplace_back(offset, b);
        }
        at += length;
    }
    for (const Interface &i : interfaces) {
        if (i.seen.size() != i.endpoints)
            return fmt::format("interface {} (alternate {}) at byte {}: bNumEndpoints is {}, but {} endpoint "
                               "descriptor{} follow{}", i.number, i.alternate, i.at, i.endpoints, i.seen.size(),
                               i.seen.size() == 1 ? "" : "s", i.seen.size() == 1 ? "s" : "");
    }
    const Interface *first = nullptr;
    for (const Interface &i : interfaces)
        if (i.number == 0 && i.alternate == 0 && !first)
            first = &i;
    if (!first)
        return "the configuration has no interface 0 (alternate 0): tembris selects that one";
    if (first->endpoints < 2)
        return fmt::format("interface 0 at byte {}: bNumEndpoints is {}: the port needs a bulk OUT pipe to send on "
                           "and a bulk IN pipe to receive on", first->at, first->endpoints);
    const auto [outAt, out] = first->seen[0];
    const auto [inAt, in] = first->seen[1];
    if ((out[2] & 0x80) || (out[3] & 0x03) != 2)
        return fmt::format("the endpoint descriptor {} at byte {}: interface 0's first pipe is the one the port "
                           "sends on: bEndpointAddress and bmAttributes must make it bulk OUT", Hex(out[2]), outAt);
    if (!(in[2] & 0x80) || (in[3] & 0x03) != 2)
        return fmt::format("the endpoint descriptor {} at byte {}: interface 0's second pipe is the one the port "
                           "receives on: bEndpointAddress and bmAttributes must make it bulk IN", Hex(in[2]), inAt);
    return {};
}

}  // namespace vcp
