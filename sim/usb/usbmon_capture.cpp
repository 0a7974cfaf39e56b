// usbmon_capture.cpp - URB events as pcapng blocks of usbmon records, and
// the thread that writes them.
#include "usb/usbmon_capture.hpp"
#include "thread_name.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace world {

namespace {

// pcapng blocks and options.
constexpr uint32_t kSectionHeaderBlock = 0x0A0D0D0A;
constexpr uint32_t kInterfaceDescriptionBlock = 1;
constexpr uint32_t kEnhancedPacketBlock = 6;
constexpr uint32_t kInterfaceStatisticsBlock = 5;
constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr uint16_t kOptEnd = 0, kOptComment = 1;
constexpr uint16_t kShbHardware = 2, kShbOs = 3, kShbUserAppl = 4;
constexpr uint16_t kIfName = 2, kIfDescription = 3, kIfTsresol = 9;
constexpr uint16_t kIsbStartTime = 2, kIsbEndTime = 3, kIsbIfRecv = 4, kIsbIfDrop = 5;

// The writer's batches: this many bytes, or what a short interval brought.
constexpr size_t kBatchBytes = 64 * 1024;
constexpr auto kBatchInterval = std::chrono::milliseconds(10);

// usbmon's fields.
constexpr uint8_t kXferIso = 0, kXferInterrupt = 1, kXferControl = 2, kXferBulk = 3;
constexpr uint8_t kSetupPresent = 0, kSetupAbsent = '-';
constexpr uint8_t kDataPresent = 0, kNoDataIn = '<', kNoDataOut = '>', kNoDataError = 'E';
constexpr uint32_t kUrbShortNotOk = 0x0001, kUrbIsoAsap = 0x0002, kUrbDirIn = 0x0200;
constexpr size_t kIsoDescriptorSize = 16;

// The blocks' bytes, little-endian, as the section's byte-order magic says.
class Bytes {
public:
    explicit Bytes(std::vector<uint8_t> &out) : out_(out) {}
    void U8(uint8_t v) { out_.push_back(v); }
    void U16(uint16_t v) { Le(v, 2); }
    void U32(uint32_t v) { Le(v, 4); }
    void U64(uint64_t v) { Le(v, 8); }
    void Raw(const void *p, size_t n)
    {
        const auto *b = static_cast<const uint8_t *>(p);
        out_.insert(out_.end(), b, b + n);
    }
    void Pad() { out_.resize((out_.size() + 3) & ~size_t(3), 0); }
    void Truncate(size_t size) { out_.resize(std::min(size, out_.size())); }
    size_t size() const { return out_.size(); }
    void Patch32(size_t at, uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            out_[at + size_t(i)] = uint8_t(v >> (8 * i));
    }
    void Option(uint16_t code, const void *value, size_t n)
    {
        U16(code);
        U16(uint16_t(n));
        Raw(value, n);
        Pad();
    }
    void Option(uint16_t code, const std::string &text)
    {
        Option(code, text.data(), std::min<size_t>(text.size(), 0xFFFC));
    }
    void Option64(uint16_t code, uint64_t v)
    {
        uint8_t b[8];
        for (int i = 0; i < 8; ++i)
            b[i] = uint8_t(v >> (8 * i));
        Option(code, b, 8);
    }
    void EndOfOptions() { U32(kOptEnd); }

private:
    void Le(uint64_t v, int n)
    {
        for (int i = 0; i < n; ++i)
            out_.push_back(uint8_t(v >> (8 * i)));
    }
    std::vector<uint8_t> &out_;
};

// A block: type and length, the body `fill` writes, padding, the length again.
template <class Fill> void Block(std::vector<uint8_t> &out, uint32_t type, Fill fill)
{
    Bytes b(out);
    const size_t start = b.size();
    b.U32(type);
    b.U32(0);
    fill(b);
    b.Pad();
    b.U32(0);
    const uint32_t length = uint32_t(b.size() - start);
    b.Patch32(start + 4, length);
    b.Patch32(b.size() - 4, length);
}

uint8_t TransferType(USBD_PIPE_TYPE type)
{
    switch (type) {
    case UsbdPipeTypeIsochronous: return kXferIso;
    case UsbdPipeTypeInterrupt: return kXferInterrupt;
    case UsbdPipeTypeBulk: return kXferBulk;
    default: return kXferControl;
    }
}

// A USBD status as the Linux errno usbmon reports.  `refused`: the submission
// itself failed.
int32_t Errno(USBD_STATUS status, bool refused)
{
    if (status == USBD_STATUS_PENDING)
        return -EINPROGRESS;
    if (status == USBD_STATUS_CANCELED)
        return -ENOENT;
    if (USBD_SUCCESS(status))
        return 0;
    switch (status) {
    case USBD_STATUS_DEVICE_GONE:
        return refused ? -ENODEV : -ESHUTDOWN;
    case USBD_STATUS_STALL_PID:
    case USBD_STATUS_ENDPOINT_HALTED:
        return -EPIPE;
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR:
        return -EINVAL;
    case USBD_STATUS_NO_MEMORY:
        return -ENOMEM;
    case USBD_STATUS_NO_BANDWIDTH:
        return -ENOSPC;
    case USBD_STATUS_NOT_ACCESSED:
    case USBD_STATUS_BAD_START_FRAME:
    case USBD_STATUS_ISOCH_REQUEST_FAILED:
        return -EXDEV;
    case USBD_STATUS_DATA_OVERRUN:
    case USBD_STATUS_BUFFER_OVERRUN:
        return -EOVERFLOW;
    case USBD_STATUS_CRC:
        return -EILSEQ;
    default:
        return -EPROTO;
    }
}

// The URB's flags as Linux's transfer_flags.
uint32_t LinuxFlags(uint32_t usbd, bool in)
{
    uint32_t flags = in ? kUrbDirIn : 0;
    if (in && !(usbd & USBD_SHORT_TRANSFER_OK))
        flags |= kUrbShortNotOk;
    if (usbd & USBD_START_ISO_TRANSFER_ASAP)
        flags |= kUrbIsoAsap;
    return flags;
}

}  // namespace

const char *UsbmonCapture::ClockName(CaptureClock clock)
{
    return clock == CaptureClock::Wall ? "wall clock" : "bus time";
}

std::shared_ptr<UsbmonCapture> UsbmonCapture::Create(const std::string &path, const CaptureOptions &options,
                                                     std::string *error)
{
    if (options.snapLength != 0 && options.snapLength < kHeaderSize) {
        *error = "a snap length below " + std::to_string(kHeaderSize) + " bytes would cut the usbmon header";
        return nullptr;
    }
    if (path == "-" && ::isatty(STDOUT_FILENO)) {
        *error = "standard output is a terminal: give a file, or pipe it into `tshark -r -` or `wireshark -k -i -`";
        return nullptr;
    }
    // "-": a descriptor of its own for standard output, so that the program
    // may point its standard output elsewhere afterwards.
    int fd = path == "-" ? ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3)
                         : ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = "cannot write " + (path == "-" ? std::string("standard output") : path) + ": " + std::strerror(errno);
        return nullptr;
    }
    return std::make_shared<UsbmonCapture>(fd, true, options);
}

UsbmonCapture::UsbmonCapture(int fd, bool ownsFd, CaptureOptions options)
    : fd_(fd), ownsFd_(ownsFd), options_(std::move(options))
{
    // A pipe is written without blocking, so that a reader that stops
    // reading cannot hold the capture's close forever.
    // (The flag belongs to the open file, which a duplicated standard output
    // shares with others: it is put back at the close.)
    struct stat st{};
    fileFlags_ = ::fcntl(fd_, F_GETFL);
    if (::fstat(fd_, &st) == 0 && !S_ISREG(st.st_mode) && fileFlags_ >= 0)
        ::fcntl(fd_, F_SETFL, fileFlags_ | O_NONBLOCK);
    AppendFileHeader();
    writer_ = std::thread([this] {
        world::NameThisThread("vcp-capture");
        Writer();
    });
}

UsbmonCapture::~UsbmonCapture() { Close(); }

void UsbmonCapture::AppendFileHeader()
{
    std::string comment = "USB capture of the simulated bus: usbmon records (Linux mmapped header, link type " +
                          std::to_string(kLinkType) + ") of every URB at the hub.  Timestamps: " +
                          (options_.clock == CaptureClock::Wall
                               ? "wall clock (the host's real time at each event)."
                               : "bus time (simulated: frame n at n ms after the epoch), not real time.");
    if (!options_.comment.empty())
        comment += "  " + options_.comment;
    Block(queue_, kSectionHeaderBlock, [&](Bytes &b) {
        b.U32(kByteOrderMagic);
        b.U16(1);
        b.U16(0);
        b.U64(~uint64_t(0));  // section length not given
        b.Option(kOptComment, comment);
        b.Option(kShbHardware, std::string("simulated USB host controller and hub"));
        b.Option(kShbOs, std::string("Linux"));
        b.Option(kShbUserAppl, options_.application);
        b.EndOfOptions();
    });
    Block(queue_, kInterfaceDescriptionBlock, [&](Bytes &b) {
        b.U16(uint16_t(kLinkType));
        b.U16(0);
        b.U32(options_.snapLength);
        b.Option(kIfName, "usbmon" + std::to_string(kBusNumber));
        b.Option(kIfDescription, std::string("the world's USB hub, bus ") + std::to_string(kBusNumber) + ", " +
                                     ClockName(options_.clock));
        const uint8_t microseconds = 6;
        b.Option(kIfTsresol, &microseconds, 1);
        b.EndOfOptions();
    });
}

uint64_t UsbmonCapture::Timestamp(Frame frame) const
{
    if (options_.clock == CaptureClock::Bus)
        return uint64_t(frame) * 1000;
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return uint64_t(ts.tv_sec) * 1000000 + uint64_t(ts.tv_nsec) / 1000;
}

void UsbmonCapture::OnUrb(const UrbEvent &e)
{
    const bool in = (e.endpoint & 0x80) != 0;
    const bool refused = e.kind == UrbEvent::Kind::Refused;
    const size_t isoBytes = e.packets.size() * kIsoDescriptorSize;
    const size_t whole = kHeaderSize + isoBytes + e.data.size();
    const size_t kept = options_.snapLength ? std::min<size_t>(whole, options_.snapLength) : whole;
    const uint64_t ts = Timestamp(e.frame);

    std::lock_guard lock(mutex_);
    if (closing_ || !stats_.failure.empty() || queue_.size() + whole + 64 > options_.queueLimit) {
        ++stats_.dropped;
        return;
    }
    if (!anyRecord_)
        firstTimestamp_ = ts;
    anyRecord_ = true;
    lastTimestamp_ = ts;
    const size_t before = queue_.size();
    Block(queue_, kEnhancedPacketBlock, [&](Bytes &b) {
        b.U32(0);  // interface
        b.U32(uint32_t(ts >> 32));
        b.U32(uint32_t(ts));
        b.U32(uint32_t(kept));
        b.U32(uint32_t(whole));
        const size_t start = b.size();

        // The usbmon header.
        b.U64(e.id);
        b.U8(e.kind == UrbEvent::Kind::Submit ? 'S' : refused ? 'E' : 'C');
        b.U8(TransferType(e.type));
        b.U8(e.endpoint);
        b.U8(e.address);
        b.U16(kBusNumber);
        b.U8(e.hasSetup ? kSetupPresent : kSetupAbsent);
        b.U8(refused                                     ? kNoDataError
             : e.kind == UrbEvent::Kind::Submit && in   ? kNoDataIn
             : e.kind == UrbEvent::Kind::Complete && !in ? kNoDataOut
                                                         : kDataPresent);
        b.U64(ts / 1000000);
        b.U32(uint32_t(ts % 1000000));
        b.U32(uint32_t(Errno(e.status, refused)));
        b.U32(e.length);
        b.U32(uint32_t(e.data.size()));
        if (e.hasSetup) {
            const std::array<uint8_t, 8> setup = e.setup.bytes();
            b.Raw(setup.data(), setup.size());
        } else {
            b.U32(e.errorCount);
            b.U32(uint32_t(e.packets.size()));
        }
        b.U32(e.interval);
        b.U32(e.type == UsbdPipeTypeIsochronous ? e.startFrame : 0);
        b.U32(LinuxFlags(e.transferFlags, in));
        b.U32(uint32_t(e.packets.size()));

        // The isochronous descriptors, then the data, as far as the snap
        // length keeps them.
        for (const UrbEvent::IsoPacket &p : e.packets) {
            b.U32(uint32_t(Errno(p.status, false)));
            b.U32(p.offset);
            b.U32(p.length);
            b.U32(0);
        }
        b.Raw(e.data.data(), e.data.size());
        b.Truncate(start + kept);
    });
    switch (e.kind) {
    case UrbEvent::Kind::Submit: ++stats_.submissions; break;
    case UrbEvent::Kind::Complete: ++stats_.completions; break;
    case UrbEvent::Kind::Refused: ++stats_.errors; break;
    }
    if (before == 0 || (before < kBatchBytes && queue_.size() >= kBatchBytes))
        wake_.notify_one();
}

void UsbmonCapture::AppendStatistics()
{
    Block(queue_, kInterfaceStatisticsBlock, [&](Bytes &b) {
        b.U32(0);  // interface
        b.U32(uint32_t(lastTimestamp_ >> 32));
        b.U32(uint32_t(lastTimestamp_));
        if (anyRecord_) {
            b.Option64(kIsbStartTime, firstTimestamp_ << 32 | firstTimestamp_ >> 32);
            b.Option64(kIsbEndTime, lastTimestamp_ << 32 | lastTimestamp_ >> 32);
        }
        b.Option64(kIsbIfRecv, stats_.submissions + stats_.completions + stats_.errors + stats_.dropped);
        b.Option64(kIsbIfDrop, stats_.dropped);
        b.EndOfOptions();
    });
}

// Writes all of bytes, waiting for a pipe's reader while it takes them.  A
// capture being closed waits for it up to the grace time.  False, with the
// reason, when the bytes cannot all be written.
bool UsbmonCapture::WriteAll(std::span<const uint8_t> bytes, size_t *done, std::string *failure)
{
    while (*done < bytes.size()) {
        ssize_t n = ::write(fd_, bytes.data() + *done, bytes.size() - *done);
        if (n > 0) {
            *done += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd p{fd_, POLLOUT, 0};
            ::poll(&p, 1, 100);
            std::lock_guard lock(mutex_);
            if (closing_ && std::chrono::steady_clock::now() > closeDeadline_) {
                *failure = "the reader took nothing more by the close";
                return false;
            }
            continue;
        }
        if (n < 0 && errno == EPIPE) {
            // The signal this raised is this thread's, blocked: take it.
            sigset_t pipe;
            sigemptyset(&pipe);
            sigaddset(&pipe, SIGPIPE);
            const timespec none{0, 0};
            sigtimedwait(&pipe, nullptr, &none);
            *failure = "the reader closed the pipe";
            return false;
        }
        *failure = n < 0 ? std::strerror(errno) : "nothing written";
        return false;
    }
    return true;
}

void UsbmonCapture::Writer()
{
    // A pipe whose reader went away fails the write with EPIPE and raises
    // SIGPIPE, which must not end the program: blocked here, taken above.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

    std::vector<uint8_t> batch;
    std::unique_lock lock(mutex_);
    for (;;) {
        // The first record wakes the writer; it then waits a little for a
        // batch: few writes under load, little delay for a live reader, no
        // wakeups while the bus is idle.
        wake_.wait(lock, [&] { return !queue_.empty() || closing_; });
        if (queue_.empty())
            return;  // closing, all written
        wake_.wait_for(lock, kBatchInterval, [&] { return queue_.size() >= kBatchBytes || closing_; });
        batch.swap(queue_);
        lock.unlock();
        std::string failure;
        size_t done = 0;
        WriteAll(batch, &done, &failure);
        batch.clear();
        lock.lock();
        stats_.bytesWritten += done;
        if (!failure.empty()) {
            if (stats_.failure.empty())
                stats_.failure = failure;
            queue_.clear();
            return;  // later records are dropped (counted)
        }
    }
}

void UsbmonCapture::Close()
{
    {
        std::lock_guard lock(mutex_);
        if (closed_)
            return;
        closed_ = true;
        if (stats_.failure.empty())
            AppendStatistics();
        closing_ = true;
        closeDeadline_ = std::chrono::steady_clock::now() + options_.closeGrace;
    }
    wake_.notify_one();
    writer_.join();
    if (fileFlags_ >= 0)
        ::fcntl(fd_, F_SETFL, fileFlags_);
    if (ownsFd_)
        ::close(fd_);
}

UsbmonCapture::Stats UsbmonCapture::stats() const
{
    std::lock_guard lock(mutex_);
    return stats_;
}

}  // namespace world
