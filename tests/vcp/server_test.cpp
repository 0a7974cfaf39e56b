// server_test.cpp - the RFC 2217 server over real sockets: sessions, the
// second client, data both ways, a client that goes away.
#include "bridge/rfc2217_server.hpp"
#include "fake_port.hpp"
#include "fixture.hpp"

#include <gmock/gmock.h>

#include <algorithm>
#include <arpa/inet.h>
#include <optional>
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
    explicit Client(uint16_t port, bool ipv6 = false) : fd_(socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0))
    {
        if (ipv6) {
            sockaddr_in6 a{};
            a.sin6_family = AF_INET6;
            a.sin6_port = htons(port);
            a.sin6_addr = in6addr_loopback;
            connected_ = connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
            return;
        }
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
    void ShutdownWrite() { shutdown(fd_, SHUT_WR); }

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
    Rfc2217Server() : Rfc2217Server(bridge::Rfc2217Server::Options{}) {}
    explicit Rfc2217Server(bridge::Rfc2217Server::Options o)
        : server(port, [&] {
              o.log = [this](const std::string &line) {
                  std::lock_guard guard(logMutex);
                  log.push_back(line);
              };
              return o;
          }())
    {
        server.Start();
    }
    std::vector<std::string> Log()
    {
        std::lock_guard guard(logMutex);
        return log;
    }
    std::mutex logMutex;
    std::vector<std::string> log;
    FakePort port;
    bridge::Rfc2217Server server;
};

class Rfc2217ServerWithIdleLimit : public Rfc2217Server {
protected:
    Rfc2217ServerWithIdleLimit() : Rfc2217Server([] {
        bridge::Rfc2217Server::Options o;
        o.idleLimit = 300ms;
        return o;
    }()) {}
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

// The port taking nothing holds back only the client's data: what the port
// receives meanwhile still reaches the client.
TEST_F(Rfc2217Server, BothDirectionsFlowOnTheirOwn)
{
    port.StallWrites(true);
    Client c(server.port());
    c.Send(Bytes(1000, 'w'));
    ASSERT_TRUE(port.WaitEvent("write 1000", 2s));
    port.Arrive(Bytes{'e', 'c', 'h', 'o'});
    Bytes echo = {'e', 'c', 'h', 'o'};
    EXPECT_TRUE(Contains(c.Receive(5s, [&](const Bytes &b) { return Contains(b, echo); }), echo))
        << "the port's data waited for the client's";
    port.StallWrites(false);
    EXPECT_TRUE(port.WaitWritten(1000, 5s));
    EXPECT_EQ(server.bytesDropped(), 0u);
}

// A client that goes away while its data waits for the port frees the port:
// the rest is dropped, counted and said, the port's transmit side purged,
// and the next client is served.
TEST_F(Rfc2217Server, AClientThatGoesAwayMidTransferFreesThePortForTheNext)
{
    port.StallWrites(true);
    {
        Client c(server.port());
        c.Send(Bytes(100000, 'w'));
        ASSERT_TRUE(Eventually([&] { return !port.Events().empty(); }));
    }
    ASSERT_TRUE(Eventually([&] { return !server.clientConnected(); }, 20s)) << "the session outlived its client";
    EXPECT_GT(server.bytesDropped(), 0u);
    EXPECT_TRUE(port.WaitEvent("purge rx tx", 2s));
    std::vector<std::string> said = Log();
    EXPECT_TRUE(std::any_of(said.begin(), said.end(), [](const std::string &l) {
        return l.find("dropped") != std::string::npos && l.find("had not reached the line") != std::string::npos;
    })) << ::testing::PrintToString(said);

    port.StallWrites(false);
    Client next(server.port());
    next.Send({'n'});
    EXPECT_TRUE(Eventually([&] { return port.WrittenCount() >= 1; }));
    EXPECT_EQ(server.refused(), 0u);
}

// A client that only closes its sending side still gets the port's answer;
// the session ends by itself once nothing more comes.
TEST_F(Rfc2217Server, AHalfClosedClientStillGetsWhatThePortSends)
{
    Client c(server.port());
    c.Send({'h', 'i'});
    ASSERT_TRUE(port.WaitWritten(2, 2s));
    c.ShutdownWrite();
    port.Arrive(Bytes{'b', 'a', 'c', 'k'});
    Bytes back = {'b', 'a', 'c', 'k'};
    bool closed = false;
    Bytes got = c.Receive(10s, [](const Bytes &) { return false; }, &closed);
    EXPECT_TRUE(Contains(got, back));
    EXPECT_TRUE(closed) << "the session never ended";
    EXPECT_EQ(server.bytesDropped(), 0u);
}

// Clients that come one after the other are all served: one arriving while
// the last session ends waits for it rather than being refused.
TEST_F(Rfc2217Server, ClientsOneAfterTheOtherAreNeverRefused)
{
    for (int i = 0; i < 20; ++i) {
        Client c(server.port());
        ASSERT_TRUE(c.connected());
        c.Send({uint8_t('a' + i)});
        ASSERT_TRUE(Eventually([&] { return port.WrittenCount() >= size_t(i + 1); }));
    }
    EXPECT_TRUE(Eventually([&] { return server.sessions() == 20u; }));
    EXPECT_EQ(server.refused(), 0u);
}

// A client cannot flood the program's log: a burst passes, the rest is
// counted and summed up.
TEST_F(Rfc2217Server, AClientsLogLinesAreRateLimited)
{
    Client c(server.port());
    Bytes flood;
    for (int i = 0; i < 2000; ++i)
        flood.insert(flood.end(), {kIac, kSb, kComPortOption, 99, kIac, kSe});
    c.Send(flood);
    c.Send({'z'});
    ASSERT_TRUE(port.WaitWritten(1, 5s));
    c.Shutdown();
    ASSERT_TRUE(Eventually([&] { return !server.clientConnected(); }, 10s));
    std::vector<std::string> said = Log();
    EXPECT_LT(said.size(), 100u);
    EXPECT_GT(server.logLinesSuppressed(), 1800u);
    EXPECT_TRUE(std::any_of(said.begin(), said.end(),
                            [](const std::string &l) { return l.find("left out") != std::string::npos; }));
}

TEST_F(Rfc2217ServerWithIdleLimit, ASilentClientIsClosedAtTheIdleLimit)
{
    Client c(server.port());
    bool closed = false;
    c.Receive(10s, [](const Bytes &) { return false; }, &closed);
    EXPECT_TRUE(closed);
    std::vector<std::string> said = Log();
    EXPECT_TRUE(std::any_of(said.begin(), said.end(),
                            [](const std::string &l) { return l.find("idle limit") != std::string::npos; }));
}

TEST(Rfc2217ServerAddress, ListensOnIpv6AndKnowsWhenOtherMachinesCanReachIt)
{
    FakePort port;
    bridge::Rfc2217Server::Options o;
    o.host = "::1";
    std::optional<bridge::Rfc2217Server> v6;
    try {
        v6.emplace(port, o);
    } catch (const std::system_error &e) {
        GTEST_SKIP() << "no IPv6 loopback here: " << e.what();
    }
    EXPECT_EQ(v6->url(), "rfc2217://[::1]:" + std::to_string(v6->port()));
    EXPECT_FALSE(v6->reachableFromOutside());
    v6->Start();
    Client c(v6->port(), true);
    ASSERT_TRUE(c.connected());
    EXPECT_TRUE(Contains(c.Receive(2s, [](const Bytes &b) { return b.size() >= 18; }), {kIac, kDo, kComPortOption}));

    o.host = "127.0.0.1";
    EXPECT_FALSE(bridge::Rfc2217Server(port, o).reachableFromOutside());
    o.host = "0.0.0.0";
    EXPECT_TRUE(bridge::Rfc2217Server(port, o).reachableFromOutside());
}

TEST(Rfc2217ServerAddress, RefusesAHostThatIsNotAnAddress)
{
    FakePort port;
    bridge::Rfc2217Server::Options o;
    o.host = "not-an-address";
    EXPECT_THROW(bridge::Rfc2217Server(port, o), std::invalid_argument);
}

}  // namespace
