// pty_test.cpp - the pseudo-terminal and the bridge that follows what an
// application sets on it.
#include "bridge/pty.hpp"
#include "bridge/pty_bridge.hpp"
#include "fake_port.hpp"
#include "fixture.hpp"

#include <gmock/gmock.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using bridge::PseudoTerminal;
using bridge_test::FakePort;
using Bytes = std::vector<uint8_t>;

// An application's end of the terminal.
class App {
public:
    explicit App(const std::string &path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY))
    {
        if (fd_ < 0)
            throw std::runtime_error("cannot open " + path);
        termios t{};
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        tcsetattr(fd_, TCSANOW, &t);
    }
    ~App() { close(fd_); }
    int fd() const { return fd_; }

    void SetSpeed(speed_t speed, bool twoStop = false, tcflag_t size = CS8, tcflag_t parity = 0)
    {
        termios t{};
        tcgetattr(fd_, &t);
        cfsetspeed(&t, speed);
        t.c_cflag &= ~(CSTOPB | CSIZE | PARENB | PARODD);
        t.c_cflag |= size | parity | (twoStop ? CSTOPB : 0);
        tcsetattr(fd_, TCSANOW, &t);
    }
    termios Attributes() const
    {
        termios t{};
        tcgetattr(fd_, &t);
        return t;
    }
    void Write(const Bytes &b) { ASSERT_EQ(write(fd_, b.data(), b.size()), ssize_t(b.size())); }
    Bytes Read(size_t n, std::chrono::milliseconds timeout)
    {
        Bytes out;
        auto deadline = std::chrono::steady_clock::now() + timeout;
        fcntl(fd_, F_SETFL, O_NONBLOCK);
        while (out.size() < n && std::chrono::steady_clock::now() < deadline) {
            uint8_t buf[4096];
            ssize_t got = read(fd_, buf, std::min(sizeof buf, n - out.size()));
            if (got > 0)
                out.insert(out.end(), buf, buf + got);
            else
                std::this_thread::sleep_for(1ms);
        }
        return out;
    }

private:
    int fd_;
};

template <class F> bool Eventually(F f, std::chrono::milliseconds timeout = 2s)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!f()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

class Pty : public testing_support::KernelTest {};

TEST_F(Pty, ApplicationSettingsChangeWakesTheMasterInPacketMode)
{
    PseudoTerminal pty;
    App app(pty.path());
    uint8_t buf[16];
    while (pty.Read(buf, 0ms).settingsChanged) {  // the App's own tcsetattr
    }
    app.SetSpeed(B19200, true);
    PseudoTerminal::ReadResult r = pty.Read(buf, 1000ms);
    EXPECT_TRUE(r.settingsChanged);
    EXPECT_EQ(r.bytes, 0u);
    EXPECT_EQ(pty.Line(), (PseudoTerminal::LineView{19200, true}));
}

TEST_F(Pty, CarriesAnySpeedButForcesEightBitsNoParity)
{
    PseudoTerminal pty;
    App app(pty.path());
    // 76800 has no B constant: it goes through termios2.
    ASSERT_TRUE(bridge::SetTerminalSpeed(app.fd(), 76800, false));
    EXPECT_EQ(pty.Line().speed, 76800u);

    app.SetSpeed(B9600, false, CS7, PARENB);
    termios t = app.Attributes();
    EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS8));
    EXPECT_EQ(t.c_cflag & PARENB, 0u);
}

TEST_F(Pty, MovesBytesBothWaysUnchanged)
{
    PseudoTerminal pty;
    App app(pty.path());
    Bytes all(256);
    for (size_t i = 0; i < all.size(); ++i)
        all[i] = uint8_t(i);
    app.Write(all);
    Bytes got;
    auto deadline = std::chrono::steady_clock::now() + 2s;
    while (got.size() < all.size() && std::chrono::steady_clock::now() < deadline) {
        uint8_t buf[512];
        PseudoTerminal::ReadResult r = pty.Read(buf, 100ms);
        got.insert(got.end(), buf, buf + r.bytes);
    }
    EXPECT_EQ(got, all);

    EXPECT_EQ(pty.Write(all, 1s), all.size());
    EXPECT_EQ(app.Read(all.size(), 2s), all);

    // More than the terminal holds: with nobody reading, a write takes what
    // fits and gives up at its time, and what did not fit follows once the
    // application reads, every byte in order.
    Bytes big(256 * 1024);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = uint8_t(i * 7 + i / 251);
    const size_t fitted = pty.Write(big, 50ms);
    EXPECT_GT(fitted, 0u);
    EXPECT_LT(fitted, big.size());
    size_t sent = fitted;
    std::jthread writer([&] { sent += pty.Write(std::span(big).subspan(fitted), 5s); });
    EXPECT_EQ(app.Read(big.size(), 5s), big);
    writer.join();
    EXPECT_EQ(sent, big.size());
}

// A link is only ever replaced when it is stale: one held by a live
// pseudo-terminal, one that points elsewhere, or a file, stays as it is.
TEST_F(Pty, LinkIsCreatedRemovedAndOnlyAStaleOneIsReplaced)
{
    auto dir = std::filesystem::temp_directory_path() / ("vcp-pty-test-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string link = (dir / "port").string();
    std::string error, note;
    {
        PseudoTerminal a;
        ASSERT_TRUE(a.Link(link, &error)) << error;
        PseudoTerminal b;
        EXPECT_FALSE(b.Link(link, &error)) << "a live link was taken over";
        EXPECT_THAT(error, ::testing::HasSubstr("in use"));
        EXPECT_EQ(std::filesystem::read_symlink(link).string(), a.path());
    }
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));

    std::filesystem::create_symlink("/dev/pts/999999", link);  // left by a vcp that was killed
    {
        PseudoTerminal c;
        ASSERT_TRUE(c.Link(link, &error, &note)) << error;
        EXPECT_THAT(note, ::testing::HasSubstr("stale"));
        EXPECT_EQ(std::filesystem::read_symlink(link).string(), c.path());
    }

    std::ofstream(dir / "file") << "keep";
    std::filesystem::create_symlink(dir / "file", dir / "to-file");
    PseudoTerminal d;
    EXPECT_FALSE(d.Link((dir / "file").string(), &error));
    EXPECT_THAT(error, ::testing::HasSubstr("not a symlink"));
    EXPECT_FALSE(d.Link((dir / "to-file").string(), &error));
    EXPECT_THAT(error, ::testing::HasSubstr("not at a pseudo-terminal"));
    EXPECT_EQ(std::filesystem::read_symlink(dir / "to-file"), dir / "file");
    std::filesystem::remove_all(dir);
}

// --- The bridge ---------------------------------------------------------------

class Bridge : public testing_support::KernelTest {
protected:
    Bridge()
    {
        port.Configure({9600, 7, bridge::Parity::Even, bridge::StopBits::One});  // as --format 7E1 sets it
        bridge::PtyBridge::Options o;
        o.watchInterval = 20ms;
        o.log = [this](const std::string &s) {
            std::lock_guard g(logMutex);
            log.push_back(s);
        };
        bridgeUnderTest = std::make_unique<bridge::PtyBridge>(port, pty, o);
    }
    std::vector<std::string> Log()
    {
        std::lock_guard g(logMutex);
        return log;
    }

    FakePort port;
    PseudoTerminal pty;
    std::mutex logMutex;
    std::vector<std::string> log;
    std::unique_ptr<bridge::PtyBridge> bridgeUnderTest;
};

TEST_F(Bridge, AnApplicationsFlushPurgesThePort)
{
    App app(pty.path());
    bridgeUnderTest->Start();
    ASSERT_EQ(tcflush(app.fd(), TCIFLUSH), 0);
    ASSERT_TRUE(Eventually([&] { return bridgeUnderTest->purges() == 1; }));
    ASSERT_EQ(tcflush(app.fd(), TCOFLUSH), 0);
    ASSERT_TRUE(Eventually([&] { return bridgeUnderTest->purges() == 2; }));
    auto events = port.Events();
    std::vector<std::string> purges;
    std::copy_if(events.begin(), events.end(), std::back_inserter(purges),
                 [](const std::string &e) { return e.starts_with("purge"); });
    EXPECT_EQ(purges, (std::vector<std::string>{"purge rx", "purge tx"}));
    // Bytes written after the flush still go out.
    Bytes after = {'o', 'k'};
    app.Write(after);
    ASSERT_TRUE(port.WaitWritten(after.size(), 2s));
    EXPECT_EQ(port.Written(), after);
}

TEST_F(Bridge, TerminalStartsAtThePortsSettings)
{
    EXPECT_EQ(pty.Line(), (PseudoTerminal::LineView{9600, false}));
}

TEST_F(Bridge, BytesCrossBothWays)
{
    App app(pty.path());
    bridgeUnderTest->Start();
    Bytes hello = {'h', 'e', 'l', 'l', 'o', 0xFF, 0x00};
    app.Write(hello);
    ASSERT_TRUE(port.WaitWritten(hello.size(), 2s));
    EXPECT_EQ(port.Written(), hello);

    Bytes reply = {'o', 'k', '\r', '\n'};
    port.Arrive(reply);
    EXPECT_EQ(app.Read(reply.size(), 2s), reply);
    EXPECT_TRUE(Eventually([&] { return bridgeUnderTest->bytesFromPort() == reply.size(); }));
    EXPECT_EQ(bridgeUnderTest->bytesToPort(), hello.size());
}

TEST_F(Bridge, SpeedAndStopBitsFollowTheApplicationDataBitsAndParityStay)
{
    App app(pty.path());
    bridgeUnderTest->Start();
    app.SetSpeed(B19200, true);
    ASSERT_TRUE(port.WaitEvent("configure 19200 7E2", 2s));
    EXPECT_EQ(port.Config(), (bridge::SerialConfig{19200, 7, bridge::Parity::Even, bridge::StopBits::Two}));
    EXPECT_TRUE(Eventually([&] { return bridgeUnderTest->settingsChanges() == 1; }));
}

TEST_F(Bridge, ASpeedSetInTwoQuickStepsIsFollowedOnce)
{
    App app(pty.path());
    bridgeUnderTest->Start();
    // A placeholder rate first, then the real one through termios2, as
    // serial libraries set rates that have no B constant.
    app.SetSpeed(B38400);
    ASSERT_TRUE(bridge::SetTerminalSpeed(app.fd(), 76800, false));
    ASSERT_TRUE(port.WaitEvent("configure 76800 7E1", 2s));
    std::vector<std::string> events = port.Events();
    EXPECT_EQ(std::count(events.begin(), events.end(), "configure 38400 7E1"), 0);
}

TEST_F(Bridge, ARefusedSpeedPutsTheTerminalBack)
{
    port.RefuseWhen([](const bridge::SerialConfig &c) { return c.baud == 57600; });
    App app(pty.path());
    app.SetSpeed(B57600);
    bridgeUnderTest->FollowTerminal();
    EXPECT_EQ(cfgetospeed(&static_cast<const termios &>(app.Attributes())), speed_t(B9600));
    EXPECT_EQ(port.Config().baud, 9600u);
    EXPECT_EQ(bridgeUnderTest->refusals(), 1u);
    std::vector<std::string> l = Log();
    ASSERT_FALSE(l.empty());
    EXPECT_THAT(l.back(), ::testing::HasSubstr("refused 57600 7E1"));
    EXPECT_THAT(l.back(), ::testing::HasSubstr("back at 9600 7E1"));
    // Reading the terminal again finds nothing new to follow.
    bridgeUnderTest->FollowTerminal();
    EXPECT_EQ(bridgeUnderTest->refusals(), 1u);
}

TEST_F(Bridge, AChangeThatOnlyTouchesWhatATerminalCannotCarrySendsNothing)
{
    App app(pty.path());
    app.SetSpeed(B9600, false, CS7, PARENB);  // turned into 8N1 by the terminal: nothing new
    bridgeUnderTest->FollowTerminal();
    std::vector<std::string> events = port.Events();
    EXPECT_EQ(std::count_if(events.begin(), events.end(), [](const std::string &e) { return e.rfind("configure", 0) == 0; }),
              1);  // only the fixture's own
}

// Speed 0 hangs up as on a serial port: DTR and RTS drop, nothing is
// configured, and the next speed raises them again.
TEST_F(Bridge, SpeedZeroHangsUpAndTheNextSpeedRaisesTheLinesAgain)
{
    App app(pty.path());
    app.SetSpeed(B0);
    bridgeUnderTest->FollowTerminal();
    EXPECT_THAT(port.Events(), ::testing::IsSupersetOf({"dtr off", "rts off"}));
    EXPECT_FALSE(port.Dtr());
    EXPECT_EQ(bridgeUnderTest->hangUps(), 1u);
    EXPECT_EQ(port.Config().baud, 9600u);
    bridgeUnderTest->FollowTerminal();
    EXPECT_EQ(bridgeUnderTest->hangUps(), 1u) << "one hang-up, said once";

    app.SetSpeed(B19200);
    bridgeUnderTest->FollowTerminal();
    EXPECT_TRUE(port.Dtr());
    EXPECT_TRUE(port.Rts());
    EXPECT_EQ(port.Config().baud, 19200u);
    std::vector<std::string> l = Log();
    EXPECT_TRUE(std::any_of(l.begin(), l.end(), [](const std::string &s) { return s.find("hang-up") != std::string::npos; }));
}

TEST_F(Bridge, StopsMovingBytesWhenThePortIsGone)
{
    bridgeUnderTest->Start();
    port.Remove();
    EXPECT_TRUE(Eventually([&] { return bridgeUnderTest->portGone(); }));
    bridgeUnderTest->Stop();
}

}  // namespace
