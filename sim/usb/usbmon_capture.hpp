// usbmon_capture.hpp - a bus analyser on the world's hub: every URB event
// written to a pcapng file as Linux's usbmon writes it (link type
// LINKTYPE_USB_LINUX_MMAPPED, 220), which Wireshark and tshark dissect.
//
//   auto capture = world::UsbmonCapture::Create("bus.pcapng", {}, &error);
//   world.hub().SetObserver(capture);
//   ... the session ...
//   world.hub().SetObserver(nullptr);  // or once the hub is gone
//   capture->Close();
//
// Each URB gives a submission record ('S') and a completion record ('C'), or
// one error record ('E') when the hub refused it at once.  A record is the
// 64-byte usbmon header (URB id, event type, transfer type, endpoint with its
// direction, device and bus number, setup flag and the 8 setup bytes of a
// control submission, status as a Linux errno, URB length, data length,
// timestamp, interval, start frame, transfer flags, number of isochronous
// descriptors), the isochronous descriptors, then the data: OUT data with
// the submission, IN data with the completion.  Statuses are usbmon's:
// -EINPROGRESS for a submission, 0 done, -EPIPE a stall, -ENOENT cancelled,
// -ESHUTDOWN the device gone, -EPROTO no answer, -EINVAL refused.
//
// Timestamps follow one clock for the whole file, named in its header
// comment: the wall clock (CLOCK_REALTIME at each event), or bus time (frame
// n at n ms after the epoch; for virtual-time runs, whose frames are not
// real milliseconds).
//
// Records are encoded on the hub's thread into a queue and written by a
// thread of the capture's own, in batches (64 KiB, or what 10 ms brought),
// so the bus never waits for the disk or a pipe's reader.  A queue beyond its limit drops records (counted, and
// reported in the file's interface statistics at Close).  A file cut short
// (the program killed) holds whole records up to the last write, and every
// reader stops there.  A write that fails (a pipe whose reader went away, a
// full disk) stops the capture; the session goes on.  A pipe is written
// without blocking: a reader that stops reading costs dropped records, and
// at Close() at most the grace time.
#pragma once

#include "usb/hub.hpp"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace world {

enum class CaptureClock {
    Wall,  // CLOCK_REALTIME at each event
    Bus,   // the controller's frame counter, 1 ms a frame
};

struct CaptureOptions {
    CaptureClock clock = CaptureClock::Wall;
    // Bytes kept of each record, header included (0: all).  At least the
    // 64-byte header; longer records are cut as libpcap cuts them (the
    // header keeps the full lengths).
    uint32_t snapLength = 0;
    std::string application = "vcp";
    std::string comment;             // more text for the file's header comment
    size_t queueLimit = 64u << 20;   // bytes waiting for the writer; beyond: dropped
    // How long Close() waits for a pipe's reader to take what is queued.
    std::chrono::milliseconds closeGrace{5000};
};

class UsbmonCapture : public UrbObserver {
public:
    static constexpr uint32_t kLinkType = 220;  // LINKTYPE_USB_LINUX_MMAPPED
    static constexpr uint32_t kHeaderSize = 64;
    static constexpr uint16_t kBusNumber = 1;

    // Opens path for writing ("-": a duplicate of standard output) and
    // writes the file's header.  Null, with the reason in *error, when it
    // cannot.
    static std::shared_ptr<UsbmonCapture> Create(const std::string &path, const CaptureOptions &options,
                                                 std::string *error);
    // Writes to fd, which the capture closes at Close() when it owns it.
    UsbmonCapture(int fd, bool ownsFd, CaptureOptions options);
    ~UsbmonCapture() override;  // Close()
    UsbmonCapture(const UsbmonCapture &) = delete;
    UsbmonCapture &operator=(const UsbmonCapture &) = delete;

    void OnUrb(const UrbEvent &event) override;

    // Writes what is queued and the interface statistics, then closes the
    // file.  Records arriving later are dropped.  Safe to call twice.
    void Close();

    struct Stats {
        uint64_t submissions = 0, completions = 0, errors = 0;  // records taken, by event type
        uint64_t dropped = 0;       // not taken: the queue was full, or the capture had stopped
        uint64_t bytesWritten = 0;  // the file's size so far
        std::string failure;        // why writing stopped, if it did
    };
    Stats stats() const;
    const CaptureOptions &options() const { return options_; }
    // "wall clock" / "bus time"
    static const char *ClockName(CaptureClock clock);

private:
    void Writer();
    bool WriteAll(std::span<const uint8_t> bytes, size_t *done, std::string *failure);
    void Append(const uint8_t *bytes, size_t n);  // with mutex_ held
    void AppendFileHeader();
    void AppendStatistics();
    uint64_t Timestamp(Frame frame) const;  // microseconds since the epoch

    const int fd_;
    const bool ownsFd_;
    int fileFlags_ = -1;  // the file's status flags as they were given
    const CaptureOptions options_;
    uint64_t firstTimestamp_ = 0, lastTimestamp_ = 0;
    bool anyRecord_ = false;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<uint8_t> queue_;  // encoded blocks waiting for the writer
    bool closing_ = false;
    bool closed_ = false;
    std::chrono::steady_clock::time_point closeDeadline_;
    Stats stats_;
    std::thread writer_;
};

}  // namespace world
