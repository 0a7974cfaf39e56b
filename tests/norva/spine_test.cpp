// spine_test.cpp - norva's driver entry, pass-down, debug log, AddDevice with
// its registry values and device interface, and unload.
#include "norva_test.hpp"

namespace norva_test {
namespace {

using DriverEntryFn = NTSTATUS(NTAPI *)(PDRIVER_OBJECT, PUNICODE_STRING);

class Spine : public NorvaTest {
protected:
    // Enters the driver again on its own driver object, so that the entry
    // traces show under the debug level the registry has set meanwhile.
    void EnterAgain()
    {
        auto entry = module().Export<DriverEntryFn>("DriverEntry");
        ASSERT_NE(entry, nullptr);
        static const char16_t path[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\norva";
        UNICODE_STRING registryPath;
        RtlInitUnicodeString(&registryPath, platform::W(path));
        EXPECT_EQ(entry(driver(), &registryPath), STATUS_SUCCESS);
    }

    // Adds a filter on a fresh converter with the given "DebugLevel".
    PDEVICE_OBJECT AddWithDebugLevel(ULONG level)
    {
        ScriptedDevice &pdo = NewPdo();
        platform::SetDriverDword(pdo.device(), u"DebugLevel", level);
        return AddFilter(pdo);
    }

    // Traces printed since the given count of DbgPrint calls.
    static std::vector<std::string> CallsSince(size_t first)
    {
        auto calls = platform::DebugCalls();
        return {calls.begin() + std::min(first, calls.size()), calls.end()};
    }
};

// ---------------------------------------------------------------------------
// Driver entry and dispatch table

TEST_F(Spine, BannerCarriesTheSourceTimestampAndEndsWithBell)
{
    // The initial level 3 includes 0x02: the banner (0x06) shows, the
    // registry path (0x04) does not.
    static const std::regex banner(R"(^DriverEntry (Mon|Tue|Wed|Thu|Fri|Sat|Sun) [A-Z][a-z]{2} [ 0-9]\d )"
                                   R"(\d\d:\d\d:\d\d \d{4}\r\n\x07$)");
    bool found = false;
    for (const Trace &t : Traces())
        found |= t.unit == "filter" && std::regex_match(t.message, banner);
    EXPECT_TRUE(found) << DescribeTraces();
    for (const Trace &t : Traces())
        EXPECT_EQ(t.message.find("registry path"), std::string::npos);
}

TEST_F(Spine, EntryTracesShowTheRegistryPathUnderMask4)
{
    AddWithDebugLevel(0x04);
    platform::ClearDebugOutput();
    EnterAgain();
    EXPECT_TRUE(HasTrace("filter",
                         "\tregistry path:\\Registry\\Machine\\System\\CurrentControlSet\\Services\\norva\r\n"))
        << DescribeTraces();
    EXPECT_TRUE(HasTrace("init98", "OsDriverEntry\r\n"));
}

// ---------------------------------------------------------------------------
// Pass-down

TEST_F(Spine, ReadReachesTheDeviceBelowUnchangedAndItsStatusComesBack)
{
    ScriptedDevice &pdo = NewPdo();
    PDEVICE_OBJECT filter = AddFilter(pdo);
    ASSERT_NE(filter, nullptr);
    pdo.Queue(IRP_MJ_READ, Answer::Data({0x41, 0x42, 0x43}, STATUS_SUCCESS));

    FILE_OBJECT file{};
    std::vector<uint8_t> buffer(16, 0);
    ULONG_PTR information = 0;
    EXPECT_EQ(Read(filter, buffer, 0x1234, &file, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 3u);
    EXPECT_EQ(buffer[0], 0x41);
    EXPECT_EQ(buffer[2], 0x43);

    auto reads = pdo.Requests(IRP_MJ_READ);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].length, 16u);
    EXPECT_EQ(reads[0].byteOffset, 0x1234);
    EXPECT_EQ(reads[0].fileObject, &file);
    EXPECT_EQ(reads[0].stack.CompletionRoutine, nullptr);
}

TEST_F(Spine, PassedRequestKeepsTheFailureStatusFromBelow)
{
    ScriptedDevice &pdo = NewPdo();
    PDEVICE_OBJECT filter = AddFilter(pdo);
    ASSERT_NE(filter, nullptr);
    pdo.Queue(IRP_MJ_READ, Answer::Complete(STATUS_DEVICE_DATA_ERROR));
    std::vector<uint8_t> buffer(4);
    EXPECT_EQ(Read(filter, buffer, 0, nullptr), STATUS_DEVICE_DATA_ERROR);
}

TEST_F(Spine, PassedRequestPendedBelowCompletesWithItsFinalStatus)
{
    ScriptedDevice &pdo = NewPdo();
    PDEVICE_OBJECT filter = AddFilter(pdo);
    ASSERT_NE(filter, nullptr);
    Answer later = Answer::Async(STATUS_SUCCESS, 0, CompleteFrom::OtherDispatch);
    later.information.reset();
    later.data = {7, 8};
    pdo.Queue(IRP_MJ_READ, later);
    std::vector<uint8_t> buffer(8);
    ULONG_PTR information = 0;
    EXPECT_EQ(Read(filter, buffer, 0, nullptr, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 2u);
    EXPECT_EQ(buffer[1], 8);
}

// ---------------------------------------------------------------------------
// Debug log masks

TEST_F(Spine, GatedTraceIsALocationPrefixThenTheMessage)
{
    PDEVICE_OBJECT filter = AddWithDebugLevel(0x04);
    ASSERT_NE(filter, nullptr);
    platform::ClearDebugOutput();
    std::vector<uint8_t> buffer(1);
    Read(filter, buffer, 0, nullptr);
    auto calls = platform::DebugCalls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_TRUE(std::regex_match(calls[0], std::regex(R"(^filter\(\d+\):$)"))) << calls[0];
    EXPECT_EQ(calls[1], "FilterPass\r\n");
}

TEST_F(Spine, LevelZeroSilencesEveryGatedTraceButStillPrintsTheLevel)
{
    ScriptedDevice &pdo = NewPdo();
    platform::SetDriverDword(pdo.device(), u"DebugLevel", 0);
    platform::ClearDebugOutput();
    PDEVICE_OBJECT filter = AddFilter(pdo);
    ASSERT_NE(filter, nullptr);

    // The level line itself is one ungated call.
    auto calls = platform::DebugCalls();
    auto at = std::find(calls.begin(), calls.end(), "gDebugLevel = 0\r\n");
    ASSERT_NE(at, calls.end()) << DescribeTraces();
    size_t after = size_t(at - calls.begin()) + 1;

    std::vector<uint8_t> buffer(1);
    Read(filter, buffer, 0, nullptr);
    EnterAgain();
    RemoveAllFilters();
    module().Unload();
    // Only the removal's own ungated line follows.
    EXPECT_EQ(CallsSince(after), (std::vector<std::string>{"FDO::IRP_MN_REMOVE_DEVICE\r\n"})) << DescribeTraces();
}

TEST_F(Spine, LevelTwoShowsBannerButNotRegistryPathOrEntryTraces)
{
    PDEVICE_OBJECT filter = AddWithDebugLevel(0x02);
    ASSERT_NE(filter, nullptr);
    platform::ClearDebugOutput();
    EnterAgain();
    std::vector<uint8_t> buffer(1);
    Read(filter, buffer, 0, nullptr);
    RemoveAllFilters();
    module().Unload();

    bool banner = false;
    for (const Trace &t : Traces())
        banner |= t.unit == "filter" && t.message.rfind("DriverEntry ", 0) == 0;
    EXPECT_TRUE(banner) << DescribeTraces();
    EXPECT_TRUE(HasTrace("filter", "FilterUnload\n"));  // a lifecycle entry, mask 0x06
    EXPECT_FALSE(HasTrace("filter", "FilterPass\r\n"));
    EXPECT_FALSE(HasTrace("init98", "OsDriverEntry\r\n"));
    for (const Trace &t : Traces())
        EXPECT_EQ(t.message.find("registry path"), std::string::npos);
}

TEST_F(Spine, ReceiveSideBitAloneShowsNoSingleBitTrace)
{
    // No trace uses 0x10 by itself: entry, pass-down, add and unload stay silent.
    PDEVICE_OBJECT filter = AddWithDebugLevel(0x10);
    ASSERT_NE(filter, nullptr);
    platform::ClearDebugOutput();
    EnterAgain();
    std::vector<uint8_t> buffer(1);
    Read(filter, buffer, 0, nullptr);
    AddWithDebugLevel(0x10);
    RemoveAllFilters();
    module().Unload();
    // Only the receive-side hooks of the two removals (mask 0x14) show.
    for (const Trace &t : Traces()) {
        if (!t.unit.empty()) {
            EXPECT_TRUE(t.message == "CancelAllRxIrp\r\n" || t.message == "FreeRxBuffer\r\n") << t.message;
        }
    }
    EXPECT_EQ(GatedCount(), 4u) << DescribeTraces();
    EXPECT_TRUE(HasUngated("gDebugLevel = 16\r\n"));
}

TEST_F(Spine, DetailLevelNamesThePipesAndTheAddedDevice)
{
    ScriptedDevice &pdo = NewPdo();
    platform::SetDriverDword(pdo.device(), u"DebugLevel", 0x0f);
    platform::SetDriverDword(pdo.device(), u"EndPointCaps", 1);
    AddWithDebugLevel(0x0f);  // a first device raises the level for the second
    platform::ClearDebugOutput();
    PDEVICE_OBJECT filter = AddFilter(pdo);
    ASSERT_NE(filter, nullptr);
    EXPECT_TRUE(HasTrace("filter", "FilterAddDevice\r\n")) << DescribeTraces();
    EXPECT_TRUE(HasTrace("filter", "EndPointCaps = 1\r\n"));
    EXPECT_TRUE(HasTrace("init98", "OsAddDevice\r\n"));
    EXPECT_TRUE(HasTrace("init98", "\tIoAttachDeviceToDeviceStack\n"));
    EXPECT_TRUE(HasTrace("init98", "FilterStartDevice\r\n"));
    EXPECT_TRUE(HasTrace("filter", "rx  pipe=PIPE01\r\n"));
    EXPECT_TRUE(HasTrace("filter", "tx  pipe=PIPE00\r\n"));
    EXPECT_TRUE(HasTrace("filter", "ctl pipe=PIPE02\r\n"));
    std::string link = Utf8(Ext(filter)->interfaceName);
    EXPECT_TRUE(HasTrace("init98", "device class interface name=(" + link + ")\n"));
    std::string added = platform::FormatKernel("\tAddDevice: %p to %p->%p \n", filter, pdo.device(), pdo.device());
    EXPECT_TRUE(HasTrace("filter", added)) << added;
}

// ---------------------------------------------------------------------------
// AddDevice: the extension, the registry values, the interface

TEST_F(Spine, WithoutEndPointCapsTwoPipesAreNamedAndTheControlPipeStaysZero)
{
    ScriptedDevice &pdo = NewPdo();
    PDEVICE_OBJECT filter = AddFilter(pdo);
    ASSERT_NE(filter, nullptr);
    FilterExtension *ext = Ext(filter);

    EXPECT_EQ(ext->endPointCaps, 0u);
    EXPECT_EQ(ext->self, filter);
    EXPECT_TRUE(ext->isFdo);
    EXPECT_EQ(ext->pnpState, ULONG(NotStarted));
    EXPECT_EQ(ext->previousPnpState, ULONG(NotStarted));
    EXPECT_FALSE(ext->removed);
    EXPECT_EQ(ext->physicalDeviceObject, pdo.device());
    EXPECT_EQ(ext->nextLowerDriver, pdo.device());
    EXPECT_EQ(ext->norva_pdo, nullptr);

    EXPECT_EQ(Utf8(ext->rxPipe.FileName), "PIPE01");
    EXPECT_EQ(ext->rxPipe.FileName.Buffer, ext->rxPipeNameBuffer);
    EXPECT_EQ(ext->rxPipe.DeviceObject, filter);
    EXPECT_EQ(Utf8(ext->txPipe.FileName), "PIPE00");
    EXPECT_EQ(ext->txPipe.FileName.Buffer, ext->txPipeNameBuffer);
    EXPECT_EQ(ext->txPipe.DeviceObject, filter);

    FILE_OBJECT zero{};
    EXPECT_EQ(memcmp(&ext->ctlPipe, &zero, sizeof zero), 0);
    EXPECT_EQ(ext->ctlPipe.DeviceObject, nullptr);
    EXPECT_EQ(ext->ctlPipe.FileName.Length, 0);
    EXPECT_EQ(ext->ctlPipe.FileName.Buffer, nullptr);
    // Both values were missing: each read logs its failure.
    EXPECT_EQ(CountTrace("filter", "failed ZwQueryValueKey\r\n"), 2u) << DescribeTraces();
}

TEST_F(Spine, EndPointCapsTwoNamesTheThirdPipe)
{
    ScriptedDevice &pdo = NewPdo();
    platform::SetDriverDword(pdo.device(), u"EndPointCaps", 2);
    PDEVICE_OBJECT filter = AddFilter(pdo);
    ASSERT_NE(filter, nullptr);
    FilterExtension *ext = Ext(filter);
    EXPECT_EQ(ext->endPointCaps, 2u);
    EXPECT_EQ(Utf8(ext->ctlPipe.FileName), "PIPE02");
    EXPECT_EQ(ext->ctlPipe.FileName.Buffer, ext->ctlPipeNameBuffer);
    EXPECT_EQ(ext->ctlPipe.DeviceObject, filter);
    EXPECT_TRUE(HasTrace("filter", "EndPointCaps = 2\r\n")) << DescribeTraces();
}

TEST_F(Spine, ValueTypeIsNotExaminedOnlyItsFirst32Bits)
{
    ScriptedDevice &pdo = NewPdo();
    const uint8_t binary[4] = {3, 0, 0, 0};
    platform::SetDriverValue(pdo.device(), u"EndPointCaps", REG_BINARY, binary, sizeof binary);
    PDEVICE_OBJECT filter = AddFilter(pdo);
    ASSERT_NE(filter, nullptr);
    EXPECT_EQ(Ext(filter)->endPointCaps, 3u);
}

TEST_F(Spine, FilterTakesTheIoFlagsTypeAndCharacteristicsOfTheDeviceBelow)
{
    ScriptedDevice &pdo = NewPdo(DO_BUFFERED_IO | DO_POWER_PAGABLE);
    pdo.device()->DeviceType = FILE_DEVICE_UNKNOWN;
    pdo.device()->Characteristics = FILE_REMOVABLE_MEDIA;
    PDEVICE_OBJECT filter = AddFilter(pdo);
    ASSERT_NE(filter, nullptr);
    EXPECT_TRUE(filter->Flags & DO_BUFFERED_IO);
    EXPECT_FALSE(filter->Flags & DO_DIRECT_IO);
    EXPECT_TRUE(filter->Flags & DO_POWER_PAGABLE);
    EXPECT_TRUE(filter->Flags & DO_EXCLUSIVE);
    EXPECT_FALSE(filter->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_EQ(filter->DeviceType, ULONG(FILE_DEVICE_UNKNOWN));
    EXPECT_EQ(filter->Characteristics, ULONG(FILE_REMOVABLE_MEDIA));
    EXPECT_EQ(filter->DeviceObjectExtension != nullptr, true);
}

TEST_F(Spine, InterfaceIsRegisteredOnThePdoAndEnabled)
{
    ScriptedDevice &pdo = NewPdo();
    PDEVICE_OBJECT filter = AddFilter(pdo);
    ASSERT_NE(filter, nullptr);
    auto interfaces = platform::Interfaces(kGuidWdmVxd);
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_EQ(interfaces[0].pdo, pdo.device());
    EXPECT_TRUE(interfaces[0].enabled);
    EXPECT_EQ(Utf8(Ext(filter)->interfaceName), platform::ToUtf8(platform::W(interfaces[0].link)));
}

TEST_F(Spine, TwoConvertersEachGetTheirOwnFilterAndTheLastLevelWins)
{
    ScriptedDevice &first = NewPdo();
    platform::SetDriverDword(first.device(), u"DebugLevel", 0x04);
    platform::SetDriverDword(first.device(), u"EndPointCaps", 0);
    ScriptedDevice &second = NewPdo();
    platform::SetDriverDword(second.device(), u"DebugLevel", 0x01);
    platform::SetDriverDword(second.device(), u"EndPointCaps", 3);

    PDEVICE_OBJECT a = AddFilter(first);
    PDEVICE_OBJECT b = AddFilter(second);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(Ext(a)->endPointCaps, 0u);
    EXPECT_EQ(Ext(b)->endPointCaps, 3u);
    EXPECT_EQ(Ext(a)->nextLowerDriver, first.device());
    EXPECT_EQ(Ext(b)->nextLowerDriver, second.device());
    EXPECT_TRUE(HasUngated("gDebugLevel = 4\r\n"));
    EXPECT_TRUE(HasUngated("gDebugLevel = 1\r\n"));
    // The newest device heads the driver's list.
    EXPECT_EQ(driver()->DeviceObject, b);
    EXPECT_EQ(b->NextDevice, a);

    // The level is now 0x01 for both devices: no entry trace on either.
    platform::ClearDebugOutput();
    std::vector<uint8_t> buffer(1);
    Read(a, buffer, 0, nullptr);
    Read(b, buffer, 0, nullptr);
    EXPECT_EQ(GatedCount(), 0u) << DescribeTraces();
    EXPECT_EQ(platform::Interfaces(kGuidWdmVxd).size(), 2u);
}

// ---------------------------------------------------------------------------
// Bad registry values and failing calls

TEST_F(Spine, ValueTooLongForTheQueryBufferKeepsTheDefault)
{
    ScriptedDevice &pdo = NewPdo();
    std::vector<uint8_t> longData(64, 0x01);
    platform::SetDriverValue(pdo.device(), u"EndPointCaps", REG_BINARY, longData.data(), longData.size());
    platform::SetDriverValue(pdo.device(), u"DebugLevel", REG_BINARY, longData.data(), longData.size());
    PDEVICE_OBJECT filter = AddFilter(pdo);
    ASSERT_NE(filter, nullptr);
    EXPECT_EQ(Ext(filter)->endPointCaps, 0u);
    EXPECT_EQ(CountTrace("filter", "failed ZwQueryValueKey\r\n"), 2u) << DescribeTraces();
    for (const Trace &t : Traces())
        EXPECT_EQ(t.message.rfind("gDebugLevel", 0), std::string::npos) << t.message;
    // The level stayed 3: a failure trace (0x01) still shows, an entry trace (0x04) does not.
    platform::ClearDebugOutput();
    std::vector<uint8_t> buffer(1);
    Read(filter, buffer, 0, nullptr);
    EXPECT_FALSE(HasTrace("filter", "FilterPass\r\n"));
}

TEST_F(Spine, ValueShorterThan32BitsIsUnreadable)
{
    ScriptedDevice &pdo = NewPdo();
    const uint8_t two[2] = {2, 0};
    const uint8_t three[3] = {2, 0, 0};  // one byte short
    platform::SetDriverValue(pdo.device(), u"EndPointCaps", REG_BINARY, three, sizeof three);
    platform::SetDriverValue(pdo.device(), u"DebugLevel", REG_BINARY, two, sizeof two);
    PDEVICE_OBJECT filter = AddFilter(pdo);
    ASSERT_NE(filter, nullptr);
    EXPECT_EQ(Ext(filter)->endPointCaps, 0u);
    EXPECT_EQ(CountTrace("filter", "failed ZwQueryValueKey\r\n"), 2u) << DescribeTraces();
    EXPECT_FALSE(HasUngated("gDebugLevel = 2\r\n"));
}

TEST_F(Spine, UnopenableDriverKeyStillAddsTheDeviceWithDefaults)
{
    ScriptedDevice &pdo = NewPdo();
    platform::SetDriverDword(pdo.device(), u"EndPointCaps", 2);
    platform::FailNextRegistryOpen(STATUS_OBJECT_NAME_NOT_FOUND);
    PDEVICE_OBJECT filter = AddFilter(pdo);
    ASSERT_NE(filter, nullptr);
    EXPECT_EQ(Ext(filter)->endPointCaps, 0u);
    EXPECT_TRUE(HasTrace("filter", "failed IoOpenDeviceRegistryKey\r\n")) << DescribeTraces();
    EXPECT_EQ(CountTrace("filter", "failed ZwQueryValueKey\r\n"), 0u);
}

TEST_F(Spine, UnallocatedQueryBufferLogsAndKeepsTheDefault)
{
    ScriptedDevice &pdo = NewPdo();
    platform::SetDriverDword(pdo.device(), u"EndPointCaps", 2);
    platform::SetDriverDword(pdo.device(), u"DebugLevel", 1);
    platform::FailAllocationsWithTag(platform::MakeTag("Wdm "), 1);  // the first query buffer
    PDEVICE_OBJECT filter = AddFilter(pdo);
    ASSERT_NE(filter, nullptr);
    EXPECT_EQ(Ext(filter)->endPointCaps, 0u);
    EXPECT_TRUE(HasTrace("filter", "failed ExAllocatePool\r\n")) << DescribeTraces();
    EXPECT_TRUE(HasUngated("gDebugLevel = 1\r\n"));  // the second read went on
}

TEST_F(Spine, FailedCreateLeavesNothingAndReturnsItsStatus)
{
    ScriptedDevice &pdo = NewPdo();
    // Both query buffers come first; the device object is the third allocation.
    platform::FailAllocationNumber(3);
    EXPECT_EQ(AddDevice(pdo.device()), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(driver()->DeviceObject, nullptr);
    EXPECT_EQ(pdo.device()->AttachedDevice, nullptr);
    EXPECT_TRUE(HasTrace("init98", "\tfailed IoCreateDevice\n")) << DescribeTraces();
}

TEST_F(Spine, FailedAttachDeletesTheNewDevice)
{
    ScriptedDevice &pdo = NewPdo();
    platform::FailNextAttach();
    EXPECT_EQ(AddDevice(pdo.device()), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(driver()->DeviceObject, nullptr);
    EXPECT_EQ(pdo.device()->AttachedDevice, nullptr);
    EXPECT_TRUE(HasTrace("init98", "\tfailed IoAttachDeviceToDeviceStack\n")) << DescribeTraces();
    EXPECT_TRUE(platform::Interfaces(kGuidWdmVxd).empty());
}

TEST_F(Spine, FailedRegistrationIsTheResultAndNothingIsLeftAttached)
{
    ScriptedDevice &pdo = NewPdo();
    platform::FailNextInterfaceRegistration(STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(AddDevice(pdo.device()), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(HasTrace("init98", "\tfailed IoRegisterDeviceInterface\n")) << DescribeTraces();
    EXPECT_EQ(driver()->DeviceObject, nullptr);
    EXPECT_EQ(pdo.device()->AttachedDevice, nullptr);
    EXPECT_TRUE(platform::Interfaces(kGuidWdmVxd).empty());
    // Unload finds nothing left.
    EXPECT_TRUE(module().Unload());
    EXPECT_TRUE(TakeAssertions().empty());
}

TEST_F(Spine, FailedEnableFreesTheNameAndTakesTheDeviceOffTheStack)
{
    ScriptedDevice &pdo = NewPdo();
    platform::FailNextInterfaceStateChange(STATUS_UNSUCCESSFUL);
    EXPECT_EQ(AddDevice(pdo.device()), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(HasTrace("init98", "\tfailed IoSetDeviceInterfaceState\n")) << DescribeTraces();
    EXPECT_EQ(driver()->DeviceObject, nullptr);
    EXPECT_EQ(pdo.device()->AttachedDevice, nullptr);
    for (const auto &i : platform::Interfaces(kGuidWdmVxd))
        EXPECT_FALSE(i.enabled);
}

TEST_F(Spine, EveryFailingAllocationIsSurvivedWithoutLeaks)
{
    ScriptedDevice &pdo = NewPdo();
    platform::SetDriverDword(pdo.device(), u"EndPointCaps", 1);
    platform::SetDriverDword(pdo.device(), u"DebugLevel", 3);
    for (uint64_t n = 1;; ++n) {
        uint64_t before = platform::PoolAllocationCount();
        platform::FailAllocationNumber(n);
        NTSTATUS status = AddDevice(pdo.device());
        bool injected = platform::PoolAllocationCount() - before >= n;
        platform::ClearAllocationFaults();
        if (NT_SUCCESS(status)) {
            ASSERT_NE(pdo.device()->AttachedDevice, nullptr) << "allocation " << n;
            RemoveAllFilters();
        } else {
            EXPECT_EQ(driver()->DeviceObject, nullptr) << "allocation " << n;
            EXPECT_EQ(pdo.device()->AttachedDevice, nullptr) << "allocation " << n;
        }
        if (!injected)
            break;
        ASSERT_LT(n, 50u);
    }
}

// ---------------------------------------------------------------------------
// Unload

TEST_F(Spine, UnloadWithNoDeviceLeftPasses)
{
    AddFilter(NewPdo());
    RemoveAllFilters();
    platform::ClearDebugOutput();
    EXPECT_TRUE(module().Unload());
    EXPECT_TRUE(HasTrace("filter", "FilterUnload\n")) << DescribeTraces();
    EXPECT_TRUE(TakeAssertions().empty());
}

TEST_F(Spine, UnloadWithADeviceLeftAsserts)
{
    PDEVICE_OBJECT filter = AddFilter(NewPdo());
    ASSERT_NE(filter, nullptr);
    driver()->DriverUnload(driver());
    auto assertions = TakeAssertions();
    ASSERT_EQ(assertions.size(), 1u);
    EXPECT_EQ(assertions[0].expression, "DriverObject->DeviceObject == NULL");
    EXPECT_NE(assertions[0].file.find("filter.cpp"), std::string::npos);
}

TEST_F(Spine, UnloadAboveApcLevelReportsPageableCode)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    driver()->DriverUnload(driver());
    KeLowerIrql(old);
    EXPECT_TRUE(HasUngated("EX: Pageable code called at IRQL 2\n")) << DescribeTraces();
    auto assertions = TakeAssertions();
    ASSERT_EQ(assertions.size(), 1u);
    EXPECT_EQ(assertions[0].expression, "FALSE");
}

}  // namespace
}  // namespace norva_test
