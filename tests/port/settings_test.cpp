// settings_test.cpp - the port's device-control requests to the filter
// device: line settings, lines and pipe resets; refusals send nothing.
#include "fake_norva.hpp"

using namespace port_test;
using testing_support::Answer;
using world::CommSettings;
using world::CommParity;
using world::CommStopBits;

using PortSettings = PortTest;

TEST_F(PortSettings, LineSettingsGoDownAsOneSetCommStateRequest)
{
    auto port = NewPort();
    CommSettings s{19200, 7, CommParity::Even, CommStopBits::Two, true};
    world::PortResult r = port->SetLineSettings(s);
    ASSERT_TRUE(r.ok()) << Describe(r);

    auto sent = Controls();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].ioControlCode, 0x1B01B0u);
    EXPECT_EQ(sent[0].inputLength, 48u);
    auto dcb = world::BuildDcb(s);
    EXPECT_EQ(sent[0].data, std::vector<uint8_t>(dcb.begin(), dcb.end()));
    EXPECT_EQ(sent[0].fileObject, nullptr);
    EXPECT_EQ(sent[0].irql, PASSIVE_LEVEL);
    EXPECT_EQ(port->LineSettingsInForce(), s);
}

TEST_F(PortSettings, RefusedSettingsSendNothingAndKeepTheSettingsInForce)
{
    norva_.variant = 2;
    auto port = NewPort();
    CommSettings first{38400, 8, CommParity::None, CommStopBits::One, false};
    ASSERT_TRUE(port->SetLineSettings(first).ok());

    const CommSettings refused[] = {
        {76800, 8, CommParity::None, CommStopBits::One},  // only variant 3 runs at it
        {9600, 6, CommParity::None, CommStopBits::One},
        {9600, 8, CommParity::Mark, CommStopBits::One},
        {9600, 8, CommParity::None, CommStopBits::OneAndHalf},
    };
    for (const CommSettings &s : refused) {
        world::PortResult r = port->SetLineSettings(s);
        EXPECT_FALSE(r.ok()) << world::Describe(s);
        EXPECT_EQ(r.status, STATUS_NOT_SUPPORTED);
        EXPECT_NE(r.message.find("variant 2"), std::string::npos) << r.message;
    }
    EXPECT_EQ(Controls().size(), 1u) << "a refused setting reached norva";
    EXPECT_EQ(port->LineSettingsInForce(), first);
}

TEST_F(PortSettings, VariantZeroRefusesEveryChange)
{
    norva_.variant = 0;
    auto port = NewPort();
    world::PortResult r = port->SetLineSettings(9600, 8, CommParity::None, CommStopBits::One);
    EXPECT_EQ(r.status, STATUS_NOT_SUPPORTED);
    EXPECT_NE(r.message.find("fixed line settings"), std::string::npos) << r.message;
    EXPECT_TRUE(Controls().empty());
    EXPECT_FALSE(port->LineSettingsInForce());
}

TEST_F(PortSettings, AFailedRequestKeepsTheSettingsInForce)
{
    auto port = NewPort();
    ASSERT_TRUE(port->SetLineSettings(9600, 8, CommParity::None, CommStopBits::One).ok());
    filter_.Queue(IRP_MJ_DEVICE_CONTROL, Answer::Complete(STATUS_DELETE_PENDING));
    world::PortResult r = port->SetLineSettings(115200, 8, CommParity::None, CommStopBits::One);
    EXPECT_EQ(r.status, STATUS_DELETE_PENDING);
    EXPECT_NE(r.message.find("0xC0000056"), std::string::npos) << r.message;
    EXPECT_EQ(port->LineSettingsInForce()->baudRate, 9600u);
}

TEST_F(PortSettings, APendedRequestIsWaitedFor)
{
    auto port = NewPort();
    filter_.Queue(IRP_MJ_DEVICE_CONTROL, Answer::Async(STATUS_SUCCESS, 0, testing_support::CompleteFrom::OtherDispatch));
    filter_.Queue(IRP_MJ_DEVICE_CONTROL, Answer::Async(STATUS_IO_DEVICE_ERROR));
    EXPECT_TRUE(port->SetRts().ok());
    EXPECT_EQ(port->SetDtr().status, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(port->ModemControl(), 0x01) << "a failed line request changed the lines in force";
}

TEST_F(PortSettings, LinesAndPipeResetsUseTheirCodes)
{
    auto port = NewPort();
    std::vector<UCHAR> lines;
    ASSERT_TRUE(port->SetRts().ok());
    lines.push_back(port->ModemControl());
    ASSERT_TRUE(port->SetDtr().ok());
    lines.push_back(port->ModemControl());
    ASSERT_TRUE(port->ClearRts().ok());
    lines.push_back(port->ModemControl());
    ASSERT_TRUE(port->ClearDtr().ok());
    lines.push_back(port->ModemControl());
    ASSERT_TRUE(port->ResetRxPipe().ok());
    ASSERT_TRUE(port->ResetTxPipe().ok());
    EXPECT_EQ(lines, (std::vector<UCHAR>{0x01, 0x03, 0x02, 0x00}));

    std::vector<ULONG> codes;
    for (const auto &request : Controls()) {
        codes.push_back(request.ioControlCode);
        EXPECT_EQ(request.inputLength, 0u);
        EXPECT_EQ(request.outputLength, 0u);
    }
    EXPECT_EQ(codes, (std::vector<ULONG>{0x1B01B8, 0x1B01C0, 0x1B01BC, 0x1B01C4, 0x1B0320, 0x1B0324}));
}

TEST_F(PortSettings, UnknownVariantRefusesSettingsClearly)
{
    world::NorvaExports exports = norva_.Exports();
    exports.GetEndPointCaps = nullptr;  // a norva without the export
    world::PortModel port(exports, Handle());
    world::PortResult r = port.SetLineSettings(9600, 8, CommParity::None, CommStopBits::One);
    EXPECT_EQ(r.status, STATUS_NOT_SUPPORTED);
    EXPECT_NE(r.message.find("variant is unknown"), std::string::npos) << r.message;
    EXPECT_TRUE(Controls().empty());
}
