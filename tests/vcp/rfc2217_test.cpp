// rfc2217_test.cpp - the RFC 2217 engine: Telnet negotiation, IAC escaping,
// COM-PORT-OPTION commands and their answers, modem-state notifications.
#include "bridge/rfc2217.hpp"
#include "fake_port.hpp"
#include "fixture.hpp"

#include <gmock/gmock.h>

namespace {

using namespace bridge;
using namespace bridge::telnet;
using namespace bridge::rfc2217;
using bridge_test::FakePort;
using Bytes = std::vector<uint8_t>;
using ::testing::ElementsAre;

Bytes Sub(uint8_t code, Bytes value)
{
    Bytes b = {kIac, kSb, kComPortOption, code};
    for (uint8_t v : value) {
        b.push_back(v);
        if (v == kIac)
            b.push_back(kIac);
    }
    b.insert(b.end(), {kIac, kSe});
    return b;
}

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

class Rfc2217Engine : public testing_support::KernelTest {
protected:
    Rfc2217Engine() : engine(port, {}, [this](const std::string &s) { log.push_back(s); }) {}

    // Feeds client bytes and returns what the server answered.
    Bytes Client(const Bytes &bytes)
    {
        engine.Receive(bytes);
        return engine.TakeOutput();
    }
    // Brings the session to the point where the client agreed to the option.
    void Agree()
    {
        engine.Start();
        engine.TakeOutput();
        Client({kIac, kWill, kComPortOption});
        engine.TakeOutput();
    }

    FakePort port;
    std::vector<std::string> log;
    bridge::Rfc2217Engine engine;
};

// --- Telnet -----------------------------------------------------------------

TEST_F(Rfc2217Engine, OpensByAskingForBinarySuppressGoAheadAndComPortBothWays)
{
    engine.Start();
    EXPECT_EQ(engine.TakeOutput(), Bytes({kIac, kWill, kBinary, kIac, kDo, kBinary, kIac, kWill, kSuppressGoAhead,
                                          kIac, kDo, kSuppressGoAhead, kIac, kWill, kComPortOption, kIac, kDo,
                                          kComPortOption}));
}

TEST_F(Rfc2217Engine, NegotiationAnswersOnlyWhatChangesAndNeverLoops)
{
    engine.Start();
    engine.TakeOutput();
    // Agreement to our own requests is not answered again.
    EXPECT_TRUE(Client({kIac, kDo, kBinary, kIac, kWill, kBinary}).empty());
    EXPECT_TRUE(engine.binaryIn() && engine.binaryOut());
    // Saying it again changes nothing.
    EXPECT_TRUE(Client({kIac, kDo, kBinary}).empty());
    // Options a serial port has no use for are refused, once per request.
    EXPECT_EQ(Client({kIac, kDo, kEcho}), Bytes({kIac, kWont, kEcho}));
    EXPECT_EQ(Client({kIac, kWill, 24}), Bytes({kIac, kDont, 24}));
    // Switching an agreed option off is acknowledged once.
    EXPECT_EQ(Client({kIac, kDont, kBinary}), Bytes({kIac, kWont, kBinary}));
    EXPECT_FALSE(engine.binaryOut());
    EXPECT_TRUE(Client({kIac, kDont, kBinary}).empty());
}

TEST_F(Rfc2217Engine, ClientThatAsksFirstIsAnsweredAndGetsTheModemState)
{
    port.SetModemStatus(kCts | kDcd);
    // A client that did not wait for our requests.
    EXPECT_EQ(Client({kIac, kDo, kComPortOption}),
              Cat({{kIac, kWill, kComPortOption}, Sub(kNotifyModemState + kServerOffset, {kCts | kDcd})}));
    EXPECT_TRUE(engine.comPortActive());
}

TEST_F(Rfc2217Engine, IacIsDoubledTowardsTheClientAndUndoubledTowardsThePort)
{
    engine.SendData(Bytes{'a', 0xFF, 'b'});
    EXPECT_EQ(engine.TakeOutput(), Bytes({'a', 0xFF, 0xFF, 'b'}));
    EXPECT_EQ(engine.bytesToClient(), 3u);

    Client({'x', kIac, kIac, 'y', '\r', 0});
    // Binary channel: CR NUL passes unchanged.
    EXPECT_EQ(port.Written(), Bytes({'x', 0xFF, 'y', '\r', 0}));
}

TEST_F(Rfc2217Engine, DataAndCommandsReachThePortInTheOrderTheyCame)
{
    Client(Cat({{'a', 'b'}, Sub(kSetBaudRate, {0, 0, 0x4B, 0}), {'c'}, Sub(kSetControl, {kControlDtrOn}), {'d'}}));
    EXPECT_THAT(port.Events(), ElementsAre("write 2", "configure 19200 8N1", "write 1", "dtr on", "write 1"));
}

TEST_F(Rfc2217Engine, CommandsSplitAcrossReadsAreReassembled)
{
    Agree();
    Bytes all = Cat({{'h'}, Sub(kSetDataSize, {7}), {kIac, kIac}, Sub(kSetParity, {3})});
    Bytes answers;
    for (uint8_t b : all) {
        Bytes out = Client({b});
        answers.insert(answers.end(), out.begin(), out.end());
    }
    EXPECT_EQ(port.Written(), Bytes({'h', 0xFF}));
    EXPECT_EQ(port.Config(), (SerialConfig{9600, 7, Parity::Even, StopBits::One}));
    EXPECT_EQ(answers, Cat({Sub(kSetDataSize + kServerOffset, {7}), Sub(kSetParity + kServerOffset, {3})}));
}

TEST_F(Rfc2217Engine, IacOutsideIacSeBreaksOffASubnegotiation)
{
    // IAC WILL inside a subnegotiation: the subnegotiation is dropped and the
    // command is handled.
    Bytes out = Client({kIac, kSb, kComPortOption, kSetBaudRate, 0, kIac, kWill, kEcho, 'z'});
    EXPECT_EQ(out, Bytes({kIac, kDont, kEcho}));
    EXPECT_EQ(port.Written(), Bytes({'z'}));
    EXPECT_THAT(port.Events(), ElementsAre("write 1"));
}

TEST_F(Rfc2217Engine, OverlongAndMalformedSubnegotiationsAreIgnored)
{
    Bytes huge = {kIac, kSb, kComPortOption, kSignature};
    huge.insert(huge.end(), 5000, 'x');
    huge.insert(huge.end(), {kIac, kSe});
    Client(huge);
    EXPECT_EQ(engine.clientSignature().size(), 254u);  // cut, not grown without bound

    EXPECT_TRUE(Client(Sub(kSetBaudRate, {0x25, 0x80})).empty());  // two bytes, not four
    EXPECT_TRUE(Client(Sub(kSetControl, {})).empty());
    EXPECT_TRUE(Client(Sub(kPurgeData, {7})).empty());
    EXPECT_TRUE(Client({kIac, kSb, 24, 1, kIac, kSe}).empty());  // not our option
    EXPECT_TRUE(Client({kIac, kSb, kIac, kSe}).empty());        // empty
    EXPECT_TRUE(port.Events().empty());
}

// --- Line settings ----------------------------------------------------------

TEST_F(Rfc2217Engine, AcceptedSettingsAreAnsweredWithTheNewValue)
{
    Agree();
    EXPECT_EQ(Client(Sub(kSetBaudRate, {0, 1, 0xC2, 0})), Sub(kSetBaudRate + kServerOffset, {0, 1, 0xC2, 0}));
    EXPECT_EQ(Client(Sub(kSetStopSize, {2})), Sub(kSetStopSize + kServerOffset, {2}));
    EXPECT_EQ(Client(Sub(kSetParity, {2})), Sub(kSetParity + kServerOffset, {2}));
    EXPECT_EQ(Client(Sub(kSetDataSize, {7})), Sub(kSetDataSize + kServerOffset, {7}));
    EXPECT_EQ(port.Config(), (SerialConfig{115200, 7, Parity::Odd, StopBits::Two}));
}

TEST_F(Rfc2217Engine, RefusedSettingsComeBackWithTheValueInForce)
{
    Agree();
    port.RefuseWhen([](const SerialConfig &c) {
        return c.parity == Parity::Mark || c.dataBits == 5 || c.baud == 57600 || c.stopBits == StopBits::OneAndHalf;
    });
    EXPECT_EQ(Client(Sub(kSetParity, {4})), Sub(kSetParity + kServerOffset, {1}));
    EXPECT_EQ(Client(Sub(kSetDataSize, {5})), Sub(kSetDataSize + kServerOffset, {8}));
    EXPECT_EQ(Client(Sub(kSetBaudRate, {0, 0, 0xE1, 0})), Sub(kSetBaudRate + kServerOffset, {0, 0, 0x25, 0x80}));
    EXPECT_EQ(Client(Sub(kSetStopSize, {3})), Sub(kSetStopSize + kServerOffset, {1}));
    EXPECT_EQ(port.Config(), SerialConfig{});
    ASSERT_FALSE(log.empty());
    EXPECT_THAT(log.back(), ::testing::HasSubstr("cannot take"));
}

TEST_F(Rfc2217Engine, ValuesOutsideTheProtocolAreRefusedWithoutAskingThePort)
{
    Agree();
    EXPECT_EQ(Client(Sub(kSetDataSize, {9})), Sub(kSetDataSize + kServerOffset, {8}));
    EXPECT_EQ(Client(Sub(kSetParity, {6})), Sub(kSetParity + kServerOffset, {1}));
    EXPECT_EQ(Client(Sub(kSetStopSize, {4})), Sub(kSetStopSize + kServerOffset, {1}));
    EXPECT_TRUE(port.Events().empty());
}

TEST_F(Rfc2217Engine, QueriesAndUnchangedValuesSendNothingToThePort)
{
    Agree();
    EXPECT_EQ(Client(Sub(kSetBaudRate, {0, 0, 0, 0})), Sub(kSetBaudRate + kServerOffset, {0, 0, 0x25, 0x80}));
    EXPECT_EQ(Client(Sub(kSetDataSize, {0})), Sub(kSetDataSize + kServerOffset, {8}));
    EXPECT_EQ(Client(Sub(kSetParity, {0})), Sub(kSetParity + kServerOffset, {1}));
    EXPECT_EQ(Client(Sub(kSetStopSize, {0})), Sub(kSetStopSize + kServerOffset, {1}));
    // The value already in force: answered, not sent again.
    EXPECT_EQ(Client(Sub(kSetBaudRate, {0, 0, 0x25, 0x80})), Sub(kSetBaudRate + kServerOffset, {0, 0, 0x25, 0x80}));
    EXPECT_TRUE(port.Events().empty());
}

TEST_F(Rfc2217Engine, BaudRateWithAnIacByteIsEscapedBothWays)
{
    Agree();
    // 0x0001C2FF: an IAC in the value, doubled by the client and by us.
    Bytes out = Client(Sub(kSetBaudRate, {0x00, 0x01, 0xC2, 0xFF}));
    EXPECT_EQ(port.Config().baud, 0x0001C2FFu);
    EXPECT_EQ(out, Sub(kSetBaudRate + kServerOffset, {0x00, 0x01, 0xC2, 0xFF}));
    EXPECT_EQ(out.size(), 4u + 5u + 2u);
}

// --- Control lines, flow control, break ---------------------------------------

TEST_F(Rfc2217Engine, SetControlSwitchesDtrAndRtsAndAnswersTheStateInForce)
{
    Agree();
    EXPECT_EQ(Client(Sub(kSetControl, {kControlDtrOn})), Sub(kSetControl + kServerOffset, {kControlDtrOn}));
    EXPECT_EQ(Client(Sub(kSetControl, {kControlRtsOn})), Sub(kSetControl + kServerOffset, {kControlRtsOn}));
    EXPECT_EQ(Client(Sub(kSetControl, {kControlQueryDtr})), Sub(kSetControl + kServerOffset, {kControlDtrOn}));
    EXPECT_EQ(Client(Sub(kSetControl, {kControlRtsOff})), Sub(kSetControl + kServerOffset, {kControlRtsOff}));
    EXPECT_THAT(port.Events(), ElementsAre("dtr on", "rts on", "rts off"));

    // A line request that fails leaves the line as it was, and says so.
    port.FailLines(true);
    EXPECT_EQ(Client(Sub(kSetControl, {kControlDtrOff})), Sub(kSetControl + kServerOffset, {kControlDtrOn}));
}

TEST_F(Rfc2217Engine, FlowControlAndBreakTheConverterLacksAreRefused)
{
    Agree();
    EXPECT_EQ(Client(Sub(kSetControl, {kControlHardwareFlow})), Sub(kSetControl + kServerOffset, {kControlNoFlow}));
    EXPECT_EQ(Client(Sub(kSetControl, {kControlXonXoff})), Sub(kSetControl + kServerOffset, {kControlNoFlow}));
    EXPECT_EQ(Client(Sub(kSetControl, {kControlNoFlow})), Sub(kSetControl + kServerOffset, {kControlNoFlow}));
    EXPECT_EQ(Client(Sub(kSetControl, {kControlBreakOn})), Sub(kSetControl + kServerOffset, {kControlBreakOff}));
    EXPECT_EQ(Client(Sub(kSetControl, {kControlHardwareInbound})),
              Sub(kSetControl + kServerOffset, {kControlNoInboundFlow}));
    EXPECT_TRUE(port.Events().empty());
}

// --- Modem state -----------------------------------------------------------------

TEST_F(Rfc2217Engine, ModemStateIsReportedWithDeltasWhenALineChanges)
{
    port.SetModemStatus(kDsr);
    engine.Start();
    engine.TakeOutput();
    EXPECT_EQ(Client({kIac, kWill, kComPortOption}), Sub(kNotifyModemState + kServerOffset, {kDsr}));

    engine.PollModemState();
    EXPECT_TRUE(engine.TakeOutput().empty());  // nothing changed

    port.SetModemStatus(kDsr | kCts | kDcd);
    engine.PollModemState();
    EXPECT_EQ(engine.TakeOutput(),
              Sub(kNotifyModemState + kServerOffset, {kDsr | kCts | kDcd | kDeltaCts | kDeltaDcd}));

    port.SetModemStatus(kDsr | kCts | kDcd | kRi);
    engine.PollModemState();
    EXPECT_EQ(engine.TakeOutput(), Sub(kNotifyModemState + kServerOffset, {kDsr | kCts | kDcd | kRi}));
    port.SetModemStatus(kDsr | kCts | kDcd);
    engine.PollModemState();
    EXPECT_EQ(engine.TakeOutput(),
              Sub(kNotifyModemState + kServerOffset, {kDsr | kCts | kDcd | kRiTrailingEdge}));
}

TEST_F(Rfc2217Engine, ModemStateMaskSelectsWhatIsReported)
{
    Agree();
    EXPECT_EQ(Client(Sub(kSetModemStateMask, {kDcd | kDeltaDcd})), Sub(kSetModemStateMask + kServerOffset, {kDcd | kDeltaDcd}));
    port.SetModemStatus(kCts);  // not selected
    engine.PollModemState();
    EXPECT_TRUE(engine.TakeOutput().empty());
    port.SetModemStatus(kCts | kDcd);
    engine.PollModemState();
    EXPECT_EQ(engine.TakeOutput(), Sub(kNotifyModemState + kServerOffset, {kDcd | kDeltaDcd}));
    // A poll is always answered, masked.
    EXPECT_EQ(Client(Sub(kNotifyModemState, {})), Sub(kNotifyModemState + kServerOffset, {kDcd}));
}

TEST_F(Rfc2217Engine, NoModemStateBeforeTheClientSpeaksTheProtocol)
{
    port.SetModemStatus(kCts);
    engine.PollModemState();
    EXPECT_TRUE(engine.TakeOutput().empty());
}

// --- Purge, suspend, signature, masks --------------------------------------------

TEST_F(Rfc2217Engine, PurgeReachesThePortAndIsEchoed)
{
    Agree();
    EXPECT_EQ(Client(Sub(kPurgeData, {1})), Sub(kPurgeData + kServerOffset, {1}));
    EXPECT_EQ(Client(Sub(kPurgeData, {2})), Sub(kPurgeData + kServerOffset, {2}));
    EXPECT_EQ(Client(Sub(kPurgeData, {3})), Sub(kPurgeData + kServerOffset, {3}));
    EXPECT_THAT(port.Events(), ElementsAre("purge rx", "purge tx", "purge rx tx"));
}

TEST_F(Rfc2217Engine, SuspendResumeSignatureAndLineStateMask)
{
    Client(Sub(kFlowControlSuspend, {}));
    EXPECT_TRUE(engine.outputSuspended());
    Client(Sub(kFlowControlResume, {}));
    EXPECT_FALSE(engine.outputSuspended());

    Bytes sig = {'v', 'c', 'p'};
    EXPECT_EQ(Client(Sub(kSignature, {})), Sub(kSignature + kServerOffset, sig));
    EXPECT_TRUE(Client(Sub(kSignature, {'t', 'e', 'r', 'm'})).empty());
    EXPECT_EQ(engine.clientSignature(), "term");
    // A signature cannot forge a log line or reach the terminal as a
    // control sequence.
    std::string forged = "x\nclean     nothing left\x1b]0;owned\x07";
    Client(Sub(kSignature, Bytes(forged.begin(), forged.end())));
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "client signature: \"x\\x0aclean     nothing left\\x1b]0;owned\\x07\"");

    EXPECT_EQ(Client(Sub(kSetLineStateMask, {0x1E})), Sub(kSetLineStateMask + kServerOffset, {0x1E}));
    EXPECT_EQ(engine.lineStateMask(), 0x1E);
    EXPECT_EQ(Client(Sub(kNotifyLineState, {})), Sub(kNotifyLineState + kServerOffset, {0}));
}

// Received bytes the port lost are an overrun error: reported once per new
// loss while the line-state mask selects it, and kept for the client's poll
// (or a new mask) while it does not.
TEST_F(Rfc2217Engine, LostBytesAreReportedAsAnOverrunHonouringTheMask)
{
    Agree();
    engine.PollModemState();
    EXPECT_TRUE(engine.TakeOutput().empty()) << "nothing lost yet";
    port.Overrun(10);
    engine.PollModemState();
    EXPECT_TRUE(engine.TakeOutput().empty()) << "the initial line-state mask is 0";
    EXPECT_EQ(Client(Sub(kSetLineStateMask, {0xFF})),
              Cat({Sub(kSetLineStateMask + kServerOffset, {0xFF}), Sub(kNotifyLineState + kServerOffset, {kLineOverrun})}));
    engine.PollModemState();
    EXPECT_TRUE(engine.TakeOutput().empty()) << "an overrun is reported once";

    port.Overrun(1);
    engine.PollModemState();
    EXPECT_EQ(engine.TakeOutput(), Sub(kNotifyLineState + kServerOffset, {kLineOverrun}));
    EXPECT_EQ(engine.overrunReports(), 2u);

    Client(Sub(kSetLineStateMask, {0x10}));
    port.Overrun(5);
    engine.PollModemState();
    EXPECT_TRUE(engine.TakeOutput().empty()) << "the mask leaves the overrun bit out";
    EXPECT_EQ(Client(Sub(kNotifyLineState, {})), Sub(kNotifyLineState + kServerOffset, {kLineOverrun}));
    EXPECT_EQ(Client(Sub(kNotifyLineState, {})), Sub(kNotifyLineState + kServerOffset, {0}));
}

TEST_F(Rfc2217Engine, DataThePortCannotTakeIsCountedAndLogged)
{
    port.Remove();
    Client({'a', 'b', 'c'});
    EXPECT_EQ(engine.bytesDropped(), 3u);
    ASSERT_FALSE(log.empty());
    EXPECT_THAT(log.back(), ::testing::HasSubstr("3 bytes dropped"));
}

TEST(Rfc2217Codes, ParityAndStopSizeCodesRoundTrip)
{
    for (Parity p : {Parity::None, Parity::Odd, Parity::Even, Parity::Mark, Parity::Space}) {
        Parity back;
        ASSERT_TRUE(ParityFromCode(ParityCode(p), &back));
        EXPECT_EQ(back, p);
    }
    EXPECT_EQ(ParityCode(Parity::Even), 3);
    EXPECT_EQ(StopSizeCode(StopBits::OneAndHalf), 3);
    StopBits s;
    EXPECT_FALSE(StopBitsFromCode(0, &s));
}

}  // namespace
