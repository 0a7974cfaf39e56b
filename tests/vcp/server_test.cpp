// server_test.cpp - the RFC 2217 server over real sockets: sessions, the
// second client, data both ways, a client that goes away.
#include "bridge/rfc2217_server.hpp"
#include "fake_port.hpp"
#include "fixture.hpp"

#include <gmock/gmock.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using namespace bridge::telnet;
using namespace bridge::rfc2217;
using bridge_test::FakePort;
using Bytes = std::vector<uint8_t>;

class Client {
public:
    explicit Client(uint16_t port) : fd_(socket(AF_INET, SOCK_STREAM, 0))
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    }
    ~Client() { close(fd_); }
    bool connected() const { return connected_; }
    void Send(const Bytes &b) { ASSERT_EQ(send(fd_, b.data(), b.size(), MSG_NOSIGNAL), ssize_t(b.size())); }
    // Everything that arrives until `until` holds or the timeout; sets *closed
    // when the server hung up.
    Bytes Receive(std::chrono::milliseconds timeout, const std::function<bool(const Bytes &)> &until, bool *closed = nullptr)
    {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!until(got_)) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                break;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, int(left.count())) <= 0)
                break;
            uint8_t buf[4096];
            ssize_t n = recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) {
                if (closed)
                    *closed = true;
                break;
            }
            got_.insert(got_.end(), buf, buf + n);
        }
        return got_;
    }
    void Shutdown() { shutdown(fd_, SHUT_RDWR); }

private:
    int fd_;
    bool connected_ = false;
    Bytes got_;
};

bool Contains(const Bytes &hay, const Bytes &needle)
{
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

template <class F> bool Eventually(F f, std::chrono::milliseconds timeout = 3s)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!f()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

class Rfc2217Server : public testing_support::KernelTest {
protected:
    Rfc2217Server() : server(port, bridge::Rfc2217Server::Options{}) { server.Start(); }
    FakePort port;
    bridge::Rfc2217Server server;
};

TEST_F(Rfc2217Server, ListensOnAFreeLoopbackPortAndOpensTheNegotiation)
{
    ASSERT_NE(server.port(), 0);
    Client c(server.port());
    ASSERT_TRUE(c.connected());
    Bytes greeting = c.Receive(2s, [](const Bytes &b) { return b.size() >= 18; });
    EXPECT_TRUE(Contains(greeting, {kIac, kDo, kComPortOption}));
    EXPECT_TRUE(Contains(greeting, {kIac, kWill, kBinary}));
}

TEST_F(Rfc2217Server, DataCrossesBothWaysWithCommandsBetween)
{
    Client c(server.port());
    c.Send({kIac, kWill, kComPortOption, 'a', kIac, kIac, kIac, kSb, kComPortOption, kSetControl, kControlRtsOn,
            kIac, kSe, 'b'});
    ASSERT_TRUE(port.WaitWritten(3, 2s));
    EXPECT_EQ(port.Written(), Bytes({'a', 0xFF, 'b'}));
    EXPECT_TRUE(port.Rts());

    port.Arrive(Bytes{'x', 0xFF, 'y'});
    Bytes got = c.Receive(2s, [](const Bytes &b) { return Contains(b, {'x', kIac, kIac, 'y'}); });
    EXPECT_TRUE(Contains(got, {'x', kIac, kIac, 'y'}));
    EXPECT_TRUE(Contains(got, {kIac, kSb, kComPortOption, kSetControl + kServerOffset, kControlRtsOn, kIac, kSe}));
}

TEST_F(Rfc2217Server, ModemLineChangesReachTheClientUnasked)
{
    Client c(server.port());
    c.Send({kIac, kWill, kComPortOption});
    Bytes first = {kIac, kSb, kComPortOption, kNotifyModemState + kServerOffset, 0, kIac, kSe};
    c.Receive(2s, [&](const Bytes &b) { return Contains(b, first); });
    port.SetModemStatus(bridge::kCts | bridge::kDsr);
    Bytes change = {kIac, kSb, kComPortOption, kNotifyModemState + kServerOffset,
                    uint8_t(bridge::kCts | bridge::kDsr | kDeltaCts | kDeltaDsr), kIac, kSe};
    EXPECT_TRUE(Contains(c.Receive(2s, [&](const Bytes &b) { return Contains(b, change); }), change));
}

TEST_F(Rfc2217Server, ASecondClientIsToldThePortIsBusyAndTheFirstGoesOn)
{
    Client first(server.port());
    ASSERT_TRUE(Eventually([&] { return server.clientConnected(); }));
    Client second(server.port());
    bool closed = false;
    Bytes said = second.Receive(2s, [](const Bytes &) { return false; }, &closed);
    EXPECT_TRUE(closed);
    EXPECT_THAT(std::string(said.begin(), said.end()), ::testing::HasSubstr("in use"));
    EXPECT_EQ(server.refused(), 1u);

    first.Send({'s', 't', 'i', 'l', 'l'});
    EXPECT_TRUE(port.WaitWritten(5, 2s));
}

TEST_F(Rfc2217Server, AClientThatLeavesMakesRoomForTheNext)
{
    {
        Client first(server.port());
        first.Send({kIac, kSb, kComPortOption, kSetBaudRate, 0, 0, 0x4B, 0, kIac, kSe});
        ASSERT_TRUE(port.WaitEvent("configure 19200 8N1", 2s));
    }
    ASSERT_TRUE(Eventually([&] { return !server.clientConnected(); }));
    Client next(server.port());
    next.Send({'n'});
    EXPECT_TRUE(port.WaitWritten(1, 2s));
    EXPECT_EQ(server.sessions(), 2u);
    EXPECT_EQ(server.refused(), 0u);
    // The settings stay as the first client left them.
    EXPECT_EQ(port.Config().baud, 19200u);
}

TEST_F(Rfc2217Server, ThePortGoingAwayEndsTheSession)
{
    Client c(server.port());
    ASSERT_TRUE(Eventually([&] { return server.clientConnected(); }));
    port.Remove();
    bool closed = false;
    c.Receive(3s, [](const Bytes &) { return false; }, &closed);
    EXPECT_TRUE(closed);
    EXPECT_TRUE(Eventually([&] { return !server.clientConnected(); }));
}

TEST(Rfc2217ServerAddress, RefusesAHostThatIsNotAnAddress)
{
    FakePort port;
    bridge::Rfc2217Server::Options o;
    o.host = "not-an-address";
    EXPECT_THROW(bridge::Rfc2217Server(port, o), std::invalid_argument);
}

}  // namespace
