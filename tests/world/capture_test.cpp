// capture_test.cpp - what a bus analyser on the hub sees (UsbHub::SetObserver),
// and the usbmon capture of it as the real dissector, tshark, reads it.
#include "usb_harness.hpp"

#include <usb/usbmon_capture.hpp>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <unistd.h>

using namespace usbtest;
using namespace world;

namespace {

using Kind = UrbEvent::Kind;

// An event, copied: its buffers live for the call only.
struct Seen {
    Kind kind;
    uint64_t id;
    uint8_t address;
    USBD_PIPE_TYPE type;
    uint8_t endpoint;
    bool hasSetup;
    std::array<uint8_t, 8> setup;
    USBD_STATUS status;
    uint32_t length;
    std::vector<uint8_t> data;
    std::vector<UrbEvent::IsoPacket> packets;
};

class Recorder : public UrbObserver {
public:
    void OnUrb(const UrbEvent &e) override
    {
        std::lock_guard lock(mutex_);
        seen_.push_back({e.kind, e.id, e.address, e.type, e.endpoint, e.hasSetup, e.setup.bytes(), e.status, e.length,
                         {e.data.begin(), e.data.end()}, {e.packets.begin(), e.packets.end()}});
    }
    std::vector<Seen> Take()
    {
        std::lock_guard lock(mutex_);
        return std::exchange(seen_, {});
    }

private:
    std::mutex mutex_;
    std::vector<Seen> seen_;
};

// Every submission is followed by exactly one completion of the same URB,
// and nothing completes that was not submitted.
void ExpectPaired(const std::vector<Seen> &events)
{
    std::map<uint64_t, int> open;
    for (const Seen &e : events) {
        if (e.kind == Kind::Submit) {
            EXPECT_EQ(open[e.id]++, 0) << "submitted twice without a completion";
        } else if (e.kind == Kind::Complete) {
            EXPECT_EQ(open[e.id]--, 1) << "a completion without its submission";
        }
    }
    for (const auto &[id, n] : open)
        EXPECT_EQ(n, 0) << "a submission without a completion";
}

class CaptureTest : public UsbTest {
protected:
    void SetUp() override
    {
        hub.SetObserver(recorder);
        converter = std::make_shared<ConverterDevice>(1, ConverterOptions{.latencyFrames = 4});
        peer = std::make_shared<ScriptedPeer>();
        converter->Connect(peer);
        pdo = hub.Plug(converter);
    }
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
    std::shared_ptr<ConverterDevice> converter;
    std::shared_ptr<ScriptedPeer> peer;
    PDEVICE_OBJECT pdo = nullptr;
};

}  // namespace

TEST_F(CaptureTest, ConverterTrafficIsSeenAsTheBusCarriesIt)
{
    Configured c = Configure(pdo, converter->configurationDescriptor());
    std::vector<uint8_t> command{0x00, 0x07};
    auto vendor = VendorUrb(command);
    ASSERT_EQ(Call(pdo, AsUrb(vendor.get())), STATUS_SUCCESS);
    Buffer out(4, 0x5A);
    auto write = BulkUrb(c.pipe(0), false, out, 4);
    ASSERT_EQ(Call(pdo, AsUrb(write.get())), STATUS_SUCCESS);
    peer->Send({'o', 'k'});
    Buffer in(8);
    auto read = BulkUrb(c.pipe(1), true, in, 8);
    ASSERT_EQ(Call(pdo, AsUrb(read.get())), STATUS_SUCCESS);
    auto frame = MakeUrb<_URB_GET_CURRENT_FRAME_NUMBER>(URB_FUNCTION_GET_CURRENT_FRAME_NUMBER);
    ASSERT_EQ(Call(pdo, AsUrb(frame.get())), STATUS_SUCCESS);
    auto wrongWay = BulkUrb(c.pipe(0), true, in, 8);
    ASSERT_EQ(Call(pdo, AsUrb(wrongWay.get())), STATUS_INVALID_PARAMETER);

    std::vector<Seen> e = recorder->Take();
    ExpectPaired(e);
    ASSERT_EQ(e.size(), 9u) << "four transfers submitted and completed, one refused; no frame-number query";
    for (const Seen &s : e)
        EXPECT_EQ(s.address, 2) << "the first device on the bus";

    // SET_CONFIGURATION, as the select-configuration sends it.
    EXPECT_EQ(e[0].kind, Kind::Submit);
    EXPECT_EQ(e[0].type, UsbdPipeTypeControl);
    EXPECT_TRUE(e[0].hasSetup);
    EXPECT_EQ(e[0].setup, (std::array<uint8_t, 8>{0x00, 0x09, 1, 0, 0, 0, 0, 0}));
    EXPECT_EQ(e[1].kind, Kind::Complete);
    EXPECT_EQ(e[1].status, USBD_STATUS_SUCCESS);
    EXPECT_FALSE(e[1].hasSetup);

    // The vendor request: setup and command bytes going out, nothing coming back.
    EXPECT_EQ(e[2].setup, (std::array<uint8_t, 8>{0x40, 0x0B, 0, 0, 0, 0, 2, 0}));
    EXPECT_EQ(e[2].endpoint, 0x00);
    EXPECT_EQ(e[2].data, command);
    EXPECT_EQ(e[3].id, e[2].id);
    EXPECT_EQ(e[3].length, 2u);
    EXPECT_TRUE(e[3].data.empty());

    // Bulk OUT: the data with the submission.  Bulk IN: with the completion.
    EXPECT_EQ(e[4].type, UsbdPipeTypeBulk);
    EXPECT_EQ(e[4].endpoint, ConverterDevice::kBulkOut);
    EXPECT_EQ(e[4].data, std::vector<uint8_t>(4, 0x5A));
    EXPECT_TRUE(e[5].data.empty());
    EXPECT_EQ(e[6].endpoint, ConverterDevice::kBulkIn);
    EXPECT_EQ(e[6].length, 8u);
    EXPECT_TRUE(e[6].data.empty());
    EXPECT_EQ(e[7].length, 2u);
    EXPECT_EQ(e[7].data, (std::vector<uint8_t>{'o', 'k'}));

    // Refused at once: no submission, the status says why.
    EXPECT_EQ(e[8].kind, Kind::Refused);
    EXPECT_EQ(e[8].status, USBD_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(e[8].id, uint64_t(reinterpret_cast<uintptr_t>(wrongWay.get())));
}

TEST_F(CaptureTest, StallResetAbortAndUnplugEndTransfersAsTheyDo)
{
    Configured c = Configure(pdo, converter->configurationDescriptor());
    recorder->Take();
    converter->StallEndpoint(ConverterDevice::kBulkOut);
    Buffer out(4);
    auto write = BulkUrb(c.pipe(0), false, out, 4);
    ASSERT_EQ(Call(pdo, AsUrb(write.get())), STATUS_UNSUCCESSFUL);
    auto reset = PipeUrb(URB_FUNCTION_RESET_PIPE, c.pipe(0));
    ASSERT_EQ(Call(pdo, AsUrb(reset.get())), STATUS_SUCCESS);

    converter->HoldTransfers(ConverterDevice::kBulkIn, true);
    Buffer in(8);
    auto aborted = BulkUrb(c.pipe(1), true, in, 8);
    {
        UrbRequest r(pdo, AsUrb(aborted.get()));
        ASSERT_TRUE(hub.WaitPending(pdo, ConverterDevice::kBulkIn, 1, 5s));
        auto abort = PipeUrb(URB_FUNCTION_ABORT_PIPE, c.pipe(1));
        ASSERT_EQ(Call(pdo, AsUrb(abort.get())), STATUS_SUCCESS);
    }
    auto gone = BulkUrb(c.pipe(1), true, in, 8);
    {
        UrbRequest r(pdo, AsUrb(gone.get()));
        ASSERT_TRUE(hub.WaitPending(pdo, ConverterDevice::kBulkIn, 1, 5s));
        hub.Unplug(pdo);
        ASSERT_TRUE(r.Wait());
    }
    auto later = BulkUrb(c.pipe(1), true, in, 8);
    ASSERT_EQ(Call(pdo, AsUrb(later.get())), STATUS_DEVICE_NOT_CONNECTED);

    std::vector<Seen> e = recorder->Take();
    ExpectPaired(e);
    ASSERT_EQ(e.size(), 9u) << "no event for the abort itself";
    EXPECT_EQ(e[1].status, USBD_STATUS_STALL_PID);
    // The pipe reset: CLEAR_FEATURE(ENDPOINT_HALT) on endpoint 2.
    EXPECT_EQ(e[2].setup, (std::array<uint8_t, 8>{0x02, 0x01, 0, 0, 0x02, 0, 0, 0}));
    EXPECT_EQ(e[3].status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(e[4].id, uint64_t(reinterpret_cast<uintptr_t>(aborted.get())));
    EXPECT_EQ(e[5].status, USBD_STATUS_CANCELED);
    EXPECT_EQ(e[7].status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(e[8].kind, Kind::Refused);
    EXPECT_EQ(e[8].status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(e[8].endpoint, 0x80) << "the direction, though the URB was never looked at";
}

TEST_F(CaptureTest, ObserverRemovedSeesNothingMore)
{
    hub.SetObserver(nullptr);
    Configure(pdo, converter->configurationDescriptor());
    EXPECT_TRUE(recorder->Take().empty());
}

// ---------------------------------------------------------------------------
// The file, read by tshark.

namespace {

struct Tshark {
    std::string out;
    std::vector<std::string> complaints;  // stderr, the warning about running as root aside
    int status = -1;
};

Tshark RunTshark(const std::string &path, const std::string &args)
{
    const std::string err = path + ".stderr";
    Tshark t;
    FILE *p = ::popen(("tshark -r '" + path + "' " + args + " 2>'" + err + "'").c_str(), "r");
    if (!p)
        return t;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0)
        t.out.append(buffer, n);
    t.status = ::pclose(p);
    std::ifstream e(err);
    for (std::string line; std::getline(e, line);)
        if (!line.empty() && line.find("Running as user \"root\"") == std::string::npos)
            t.complaints.push_back(line);
    ::unlink(err.c_str());
    return t;
}

std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string TempPath(const char *name)
{
    const char *dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/" + name + "-" + std::to_string(::getpid()) + ".pcapng";
}

// An isochronous device with a capture on bus time.
class CaptureFileTest : public testing_support::KernelTest {
protected:
    world::UsbHub hub;
};

UrbEvent Synthetic(std::span<const uint8_t> data)
{
    UrbEvent e;
    e.kind = Kind::Submit;
    e.type = UsbdPipeTypeBulk;
    e.endpoint = 0x02;
    e.length = uint32_t(data.size());
    e.data = data;
    return e;
}

}  // namespace

TEST_F(CaptureFileTest, TsharkReadsIsochronousAndRefusedRecordsOnBusTime)
{
    const std::string path = TempPath("iso-capture");
    std::string error;
    CaptureOptions options;
    options.clock = CaptureClock::Bus;
    auto capture = UsbmonCapture::Create(path, options, &error);
    ASSERT_TRUE(capture) << error;
    hub.SetObserver(capture);
    auto device = std::make_shared<IsoDevice>();
    PDEVICE_OBJECT pdo = hub.Plug(device);
    Configured config = Configure(pdo, device->configurationDescriptor());
    ASSERT_EQ(config.status, STATUS_SUCCESS);

    std::vector<uint8_t> feed(20, 0x33);
    device->Feed(feed);
    Buffer in(24);
    std::vector<uint8_t> storage(GET_ISO_URB_SIZE(3));
    auto &u = *reinterpret_cast<_URB_ISOCH_TRANSFER *>(storage.data());
    u.Hdr.Length = USHORT(storage.size());
    u.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    u.PipeHandle = config.pipe(0);
    u.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP;
    u.TransferBufferMDL = in.mdl();
    u.TransferBufferLength = 24;
    u.NumberOfPackets = 3;
    for (ULONG i = 0; i < 3; ++i)
        u.IsoPacket[i].Offset = i * 8;
    ASSERT_EQ(Call(pdo, AsUrb(storage.data())), STATUS_SUCCESS);
    u.NumberOfPackets = 0;  // malformed: refused at once
    ASSERT_EQ(Call(pdo, AsUrb(storage.data())), STATUS_INVALID_PARAMETER);
    const Frame lastFrame = hub.frame();
    hub.SetObserver(nullptr);
    capture->Close();
    EXPECT_TRUE(capture->stats().failure.empty());
    EXPECT_EQ(capture->stats().dropped, 0u);

    Tshark t = RunTshark(path, "-T fields -E separator=';' -e usb.urb_type -e usb.transfer_type -e usb.urb_status "
                               "-e usb.iso.numdesc -e usb.iso.iso_len -e usb.data_len -e frame.time_epoch");
    ::unlink(path.c_str());
    EXPECT_EQ(t.status, 0);
    EXPECT_TRUE(t.complaints.empty()) << t.complaints.front();
    std::vector<std::string> rows = Lines(t.out);
    ASSERT_EQ(rows.size(), 5u) << t.out;  // SET_CONFIGURATION S and C, the transfer S and C, the refusal
    // Submitted: three packets of 8 bytes asked; completed: 8, 8 and 4 moved,
    // the data up to the end of the last one.  (The number of descriptors
    // is in the header twice.)  Bus time: frame n at n ms after the epoch.
    auto at = [&](size_t row) { return rows[row].substr(0, rows[row].rfind(';')); };
    EXPECT_EQ(at(2), "'S';0x00;-115;3,3;8,8,8;0");
    EXPECT_EQ(at(3), "'C';0x00;0;3,3;8,8,4;20");
    EXPECT_EQ(at(4), "'E';0x00;-22;0,0;;0");
    const double seconds = std::stod(rows[3].substr(rows[3].rfind(';') + 1));
    EXPECT_GT(seconds, 0.0);
    EXPECT_LE(seconds, double(lastFrame) / 1000 + 1e-9);
}

TEST(UsbmonCaptureFile, AReaderThatGoesAwayStopsTheCaptureNotTheProgram)
{
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);  // no reader
    UsbmonCapture capture(fds[1], true, {});
    std::vector<uint8_t> data(512, 1);
    for (int i = 0; i < 2000 && capture.stats().failure.empty(); ++i) {
        capture.OnUrb(Synthetic(data));
        std::this_thread::sleep_for(1ms);
    }
    capture.Close();
    EXPECT_EQ(capture.stats().failure, "the reader closed the pipe");
}

TEST(UsbmonCaptureFile, AReaderThatStopsReadingCostsRecordsNotAHang)
{
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    {
        CaptureOptions options;
        options.queueLimit = 256 * 1024;
        options.closeGrace = 200ms;
        UsbmonCapture capture(fds[1], true, options);
        std::vector<uint8_t> data(1024, 2);
        for (int i = 0; i < 1000; ++i)
            capture.OnUrb(Synthetic(data));  // never waits for the reader
        capture.Close();                     // waits the grace, no more
        UsbmonCapture::Stats s = capture.stats();
        EXPECT_GT(s.dropped, 0u);
        EXPECT_EQ(s.submissions + s.dropped, 1000u);
        EXPECT_EQ(s.failure, "the reader took nothing more by the close");
    }
    ::close(fds[0]);
}
