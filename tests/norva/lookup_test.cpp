// lookup_test.cpp - the exports with which the port driver finds converters
// and their port PDOs, reads their properties, registers its remove routine
// and sends its own converter commands.
#include "norva_test.hpp"

#include "usbcvt.h"

namespace norva_test {
namespace {

class Lookup : public NorvaTest {
protected:
    void SetUp() override
    {
        NorvaTest::SetUp();
        if (!HasFatalFailure())
            exports_ = std::make_unique<Exports>(module());
    }

    // A converter with its filter and, if asked, the child reported.
    PDEVICE_OBJECT Converter(bool withChild, ULONG endPointCaps = 1, ScriptedDevice **below = nullptr)
    {
        ScriptedDevice &pdo = NewPdo(DO_BUFFERED_IO | DO_POWER_PAGABLE);
        platform::SetDriverDword(pdo.device(), u"EndPointCaps", endPointCaps);
        PDEVICE_OBJECT filter = AddFilter(pdo);
        if (filter && withChild)
            QueryBusRelations(filter);
        if (below)
            *below = &pdo;
        return filter;
    }

    std::unique_ptr<Exports> exports_;
};

// ---------------------------------------------------------------------------
// The module's export directory

TEST_F(Lookup, ModuleExportsTheTwelveFunctionsAndNothingElseOfNorva)
{
    const char *names[] = {"GetDebugLevel", "GetEndPointCaps", "GetLinkName",   "GetNextPDO",
                           "KickTx",        "RxThreadStart",   "RxThreadStop",  "SetRemoveCallback",
                           "TransmitChar",  "TxThreadStart",   "TxThreadStop",  "VendorRequest"};
    for (const char *name : names)
        EXPECT_NE(module().Symbol(name), nullptr) << name;
    for (const char *internal : {"FilterPass", "FilterAddDevice", "gDebugLevel", "FilterVendorRequest",
                                 "DUMP_DEVICES", "PDO_Pnp"})
        EXPECT_EQ(module().Symbol(internal), nullptr) << internal;
}

// ---------------------------------------------------------------------------
// GetNextPDO

TEST_F(Lookup, OneConverterIsFoundOnceWithItsChild)
{
    PDEVICE_OBJECT filter = Converter(true);
    ASSERT_NE(filter, nullptr);
    PDEVICE_OBJECT variable = nullptr;
    EXPECT_EQ(exports_->GetNextPDO(&variable), Ext(filter)->norva_pdo);
    EXPECT_EQ(variable, filter);
    EXPECT_EQ(exports_->GetNextPDO(&variable), nullptr);
    EXPECT_EQ(variable, nullptr);
}

TEST_F(Lookup, TwoConvertersComeNewestFirstAndNeverAChildInTheVariable)
{
    PDEVICE_OBJECT older = Converter(true);
    PDEVICE_OBJECT newer = Converter(true);
    ASSERT_NE(older, nullptr);
    ASSERT_NE(newer, nullptr);
    PDEVICE_OBJECT variable = nullptr;
    EXPECT_EQ(exports_->GetNextPDO(&variable), Ext(newer)->norva_pdo);
    EXPECT_EQ(variable, newer);
    EXPECT_EQ(exports_->GetNextPDO(&variable), Ext(older)->norva_pdo);
    EXPECT_EQ(variable, older);
    EXPECT_EQ(exports_->GetNextPDO(&variable), nullptr);
    EXPECT_EQ(variable, nullptr);
}

TEST_F(Lookup, ConverterWithoutItsChildYetIsFoundWithANullResult)
{
    PDEVICE_OBJECT filter = Converter(false);
    PDEVICE_OBJECT variable = nullptr;
    EXPECT_EQ(exports_->GetNextPDO(&variable), nullptr);
    EXPECT_EQ(variable, filter);
}

TEST_F(Lookup, BadCallsAreAnsweredWithNull)
{
    platform::ClearDebugOutput();
    EXPECT_EQ(exports_->GetNextPDO(nullptr), nullptr);
    EXPECT_TRUE(HasTrace("forvxd", "invalid parameter\r\n")) << DescribeTraces();

    PDEVICE_OBJECT variable = nullptr;
    EXPECT_EQ(exports_->GetNextPDO(&variable), nullptr);
    EXPECT_TRUE(HasTrace("forvxd", "No device object\r\n"));

    // A variable naming a device that is not (or no longer) norva's ends the walk.
    PDEVICE_OBJECT filter = Converter(true);
    ASSERT_NE(filter, nullptr);
    ScriptedDevice &stranger = NewPdo();
    variable = stranger.device();
    EXPECT_EQ(exports_->GetNextPDO(&variable), nullptr);
    EXPECT_EQ(variable, nullptr);
}

TEST_F(Lookup, ChildWithoutItsFilterIsNoConverter)
{
    PDEVICE_OBJECT filter = Converter(true);
    ASSERT_NE(filter, nullptr);
    PDEVICE_OBJECT child = Ext(filter)->norva_pdo;
    ReleaseReported();
    static_cast<PdoExtension *>(child->DeviceExtension)->ownerFdo = nullptr;
    Ext(filter)->norva_pdo = nullptr;
    RemoveFilter(filter);

    platform::ClearDebugOutput();
    PDEVICE_OBJECT variable = nullptr;
    EXPECT_EQ(exports_->GetNextPDO(&variable), nullptr);
    EXPECT_EQ(variable, nullptr);
    EXPECT_TRUE(HasTrace("forvxd", "\t---- fdo not found ----\r\n")) << DescribeTraces();
}

// ---------------------------------------------------------------------------
// Properties

TEST_F(Lookup, LinkNameIsTheInterfacesSymbolicLink)
{
    PDEVICE_OBJECT filter = Converter(false);
    PUNICODE_STRING link = exports_->GetLinkName(filter);
    ASSERT_EQ(link, &Ext(filter)->interfaceName);
    auto interfaces = platform::Interfaces(kGuidWdmVxd);
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_EQ(Utf8(*link), platform::ToUtf8(platform::W(interfaces[0].link)));

    platform::ClearDebugOutput();
    EXPECT_EQ(exports_->GetLinkName(nullptr), nullptr);
    EXPECT_TRUE(HasTrace("forvxd", "fdo == NULL\n")) << DescribeTraces();
}

// The child PDO has no filter extension: the exports that read one refuse it.
TEST_F(Lookup, ExportsThatNeedAFilterRefuseTheChild)
{
    ScriptedDevice *below = nullptr;
    PDEVICE_OBJECT filter = Converter(true, 2, &below);
    ASSERT_NE(filter, nullptr);
    PDEVICE_OBJECT child = Ext(filter)->norva_pdo;
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(exports_->GetLinkName(child), nullptr);
    EXPECT_EQ(exports_->GetEndPointCaps(child), 0u);
    uint8_t command[2] = {1, 3};
    EXPECT_EQ(exports_->VendorRequest(child, command, 2), 0u);
    EXPECT_TRUE(below->Requests(IRP_MJ_DEVICE_CONTROL).empty());
    TX_THREAD_PARAMS params{};
    EXPECT_EQ(exports_->TxThreadStart(child, &params), 0u);
    EXPECT_EQ(exports_->TxThreadStart(filter, nullptr), 0u) << "a start without parameters";
    EXPECT_TRUE(below->Requests(IRP_MJ_CREATE).empty());
    EXPECT_TRUE(TakeAssertions().empty());
}

TEST_F(Lookup, EndPointCapsAndDebugLevel)
{
    EXPECT_EQ(exports_->GetDebugLevel(0xDEAD), 3u);  // no "DebugLevel" read yet
    PDEVICE_OBJECT filter = Converter(false, 2);
    EXPECT_EQ(exports_->GetEndPointCaps(filter), 2u);
    ScriptedDevice &pdo = NewPdo();
    platform::SetDriverDword(pdo.device(), u"DebugLevel", 0x1F);
    PDEVICE_OBJECT other = AddFilter(pdo);
    EXPECT_EQ(exports_->GetEndPointCaps(other), 0u);
    EXPECT_EQ(exports_->GetDebugLevel(0), 0x1Fu);
}

TEST_F(Lookup, EndPointCapsOfNoDeviceIsZeroAndAsserted)
{
    EXPECT_EQ(exports_->GetEndPointCaps(nullptr), 0u);
    auto assertions = TakeAssertions();
    ASSERT_EQ(assertions.size(), 1u);
    EXPECT_EQ(assertions[0].expression, "deviceObject");
}

// ---------------------------------------------------------------------------
// Remove callback

struct RemoveLog {
    int calls = 0;
    static ULONG NTAPI Callback(PVOID context)
    {
        ++static_cast<RemoveLog *>(context)->calls;
        return 0;
    }
};

TEST_F(Lookup, RegisteredRemoveRoutineIsCalledAtTheChildsRemoval)
{
    PDEVICE_OBJECT filter = Converter(true);
    PDEVICE_OBJECT child = Ext(filter)->norva_pdo;
    RemoveLog first, second;
    EXPECT_EQ(exports_->SetRemoveCallback(child, &first, &RemoveLog::Callback), 1u);
    EXPECT_EQ(exports_->SetRemoveCallback(child, &second, &RemoveLog::Callback), 1u);  // replaces
    ReleaseReported();
    EXPECT_EQ(Pnp(child, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(first.calls, 0);
    EXPECT_EQ(second.calls, 1);
}

TEST_F(Lookup, NullContextSwitchesTheNoticeOff)
{
    PDEVICE_OBJECT filter = Converter(true);
    PDEVICE_OBJECT child = Ext(filter)->norva_pdo;
    RemoveLog log;
    EXPECT_EQ(exports_->SetRemoveCallback(child, &log, &RemoveLog::Callback), 1u);
    EXPECT_EQ(exports_->SetRemoveCallback(child, nullptr, &RemoveLog::Callback), 1u);
    EXPECT_EQ(Pnp(child, IRP_MN_SURPRISE_REMOVAL).status, STATUS_SUCCESS);
    EXPECT_EQ(log.calls, 0);
}

TEST_F(Lookup, RemoveRoutineIsNotWrittenIntoAFilterDevice)
{
    PDEVICE_OBJECT filter = Converter(false);
    FilterExtension before = *Ext(filter);
    RemoveLog log;
    EXPECT_EQ(exports_->SetRemoveCallback(filter, &log, &RemoveLog::Callback), 0u);
    EXPECT_EQ(memcmp(&before, Ext(filter), sizeof before), 0);
    auto assertions = TakeAssertions();
    ASSERT_EQ(assertions.size(), 1u);
    EXPECT_EQ(assertions[0].expression, "pdoExtension->isFdo == FALSE");

    EXPECT_EQ(exports_->SetRemoveCallback(nullptr, &log, &RemoveLog::Callback), 0u);
    assertions = TakeAssertions();
    ASSERT_EQ(assertions.size(), 1u);
    EXPECT_EQ(assertions[0].expression, "deviceObject");
}

// ---------------------------------------------------------------------------
// VendorRequest

TEST_F(Lookup, VendorRequestCarriesTheBytesAndReportsOneOrZero)
{
    ScriptedDevice *below = nullptr;
    PDEVICE_OBJECT filter = Converter(false, 3, &below);
    uint8_t command[3] = {0x00, 0x04, 0x01};
    EXPECT_EQ(exports_->VendorRequest(filter, command, 3), 1u);
    auto requests = below->Requests(IRP_MJ_DEVICE_CONTROL);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].ioControlCode, ULONG(IOCTL_USBCVT_VENDOR_REQUEST));
    EXPECT_EQ(requests[0].data, (std::vector<uint8_t>{0x00, 0x04, 0x01}));

    below->Queue(IRP_MJ_DEVICE_CONTROL, Answer::Complete(STATUS_DEVICE_PROTOCOL_ERROR));  // a stalled command
    EXPECT_EQ(exports_->VendorRequest(filter, command, 3), 0u);
}

TEST_F(Lookup, VendorRequestWithoutBytesOrDeviceFails)
{
    ScriptedDevice *below = nullptr;
    PDEVICE_OBJECT filter = Converter(false, 1, &below);
    EXPECT_EQ(exports_->VendorRequest(filter, nullptr, 2), 0u);
    auto assertions = TakeAssertions();
    ASSERT_EQ(assertions.size(), 1u);
    EXPECT_EQ(assertions[0].expression, "data != NULL");
    uint8_t command[1] = {1};
    EXPECT_EQ(exports_->VendorRequest(nullptr, command, 1), 0u);
    EXPECT_TRUE(below->Requests(IRP_MJ_DEVICE_CONTROL).empty());
}

TEST_F(Lookup, VendorRequestAboveApcLevelIsRefusedWithoutWaiting)
{
    ScriptedDevice *below = nullptr;
    PDEVICE_OBJECT filter = Converter(false, 1, &below);
    uint8_t command[2] = {1, 3};
    ULONG result = 1;
    platform::AtDispatchLevel([&] { result = exports_->VendorRequest(filter, command, 2); });
    EXPECT_EQ(result, 0u);
    auto assertions = TakeAssertions();
    ASSERT_EQ(assertions.size(), 1u);
    EXPECT_EQ(assertions[0].expression, "KeGetCurrentIrql() == (0)");
    EXPECT_TRUE(below->Requests(IRP_MJ_DEVICE_CONTROL).empty());
}

}  // namespace
}  // namespace norva_test
