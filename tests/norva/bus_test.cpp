// bus_test.cpp - the filter device as bus driver: the child PDO reported in
// bus relations, and the child's identity, resources, capabilities, removal
// and power.
#include "norva_test.hpp"

#include <cstring>

namespace norva_test {
namespace {

const GUID kBusTypeNorva = {0x35a906d6, 0xdf35, 0x4465, {0xb7, 0x4f, 0x8e, 0x6f, 0x21, 0x84, 0x7b, 0x9e}};

struct RemoveLog {
    std::vector<PVOID> calls;
    static ULONG NTAPI Callback(PVOID context)
    {
        auto *self = *static_cast<RemoveLog **>(context);
        self->calls.push_back(context);
        return 0;
    }
};

class Bus : public NorvaTest {
protected:
    PDEVICE_OBJECT Prepare(ULONG flags = DO_DIRECT_IO | DO_POWER_PAGABLE)
    {
        pdo_ = &NewPdo(flags);
        filter_ = AddFilter(*pdo_);
        ext_ = filter_ ? Ext(filter_) : nullptr;
        return filter_;
    }

    // The child, created by a first bus-relations query.
    PDEVICE_OBJECT Child()
    {
        QueryBusRelations(filter_);
        return ext_->norva_pdo;
    }

    static PdoExtension *ChildExt(PDEVICE_OBJECT child) { return static_cast<PdoExtension *>(child->DeviceExtension); }

    // Registers a remove callback directly in the child's extension (the
    // export that does so comes with the lookup exports).
    void RegisterRemove(PDEVICE_OBJECT child, PVOID context)
    {
        ChildExt(child)->removeContext = context;
        ChildExt(child)->removeCallback = &RemoveLog::Callback;
    }

    world::PnpResult QueryId(PDEVICE_OBJECT child, BUS_QUERY_ID_TYPE type)
    {
        return Pnp(child, IRP_MN_QUERY_ID, [type](PIO_STACK_LOCATION sp) { sp->Parameters.QueryId.IdType = type; });
    }

    static std::u16string TakeString(ULONG_PTR information, size_t *bytes = nullptr)
    {
        auto *text = reinterpret_cast<const char16_t *>(information);
        size_t size = 0;
        POOL_TYPE type;
        EXPECT_TRUE(platform::IsPoolBlock(reinterpret_cast<void *>(information), &type, nullptr, &size));
        EXPECT_EQ(type, PagedPool);
        if (bytes)
            *bytes = size;
        std::u16string s(text);
        ExFreePool(reinterpret_cast<void *>(information));
        return s;
    }

    ScriptedDevice *pdo_ = nullptr;
    PDEVICE_OBJECT filter_ = nullptr;
    FilterExtension *ext_ = nullptr;
};

// ---------------------------------------------------------------------------
// Enumeration

TEST_F(Bus, FirstBusQueryCreatesTheChildAndReportsItAlone)
{
    ASSERT_NE(Prepare(), nullptr);
    world::PnpResult result;
    auto reported = QueryBusRelations(filter_, &result);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    ASSERT_EQ(reported.size(), 1u);
    PDEVICE_OBJECT child = reported[0];
    EXPECT_EQ(child, ext_->norva_pdo);
    EXPECT_EQ(child->DriverObject, driver());
    EXPECT_EQ(child->DeviceType, ULONG(FILE_DEVICE_UNKNOWN));
    EXPECT_FALSE(child->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_FALSE(child->Flags & DO_EXCLUSIVE);
    EXPECT_TRUE(child->Flags & DO_POWER_PAGABLE);
    EXPECT_TRUE(child->Flags & DO_DIRECT_IO);
    EXPECT_EQ(child->StackSize, filter_->StackSize + 1);

    PdoExtension *c = ChildExt(child);
    EXPECT_EQ(c->self, child);
    EXPECT_FALSE(c->isFdo);
    EXPECT_EQ(c->ownerFdo, filter_);
    EXPECT_FALSE(c->removed);
    EXPECT_EQ(c->removeContext, nullptr);
    EXPECT_EQ(c->removeCallback, nullptr);
    // The query went on down to the converter.
    auto below = pdo_->Requests(IRP_MJ_PNP);
    ASSERT_EQ(below.size(), 1u);
    EXPECT_EQ(below[0].minor, IRP_MN_QUERY_DEVICE_RELATIONS);
}

TEST_F(Bus, EveryReportHandsOverOneReference)
{
    ASSERT_NE(Prepare(), nullptr);
    PDEVICE_OBJECT child = Child();
    ASSERT_NE(child, nullptr);
    LONG refs = platform::ObjectReferenceCount(child);
    auto again = QueryBusRelations(filter_);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0], child);  // no second child
    EXPECT_EQ(platform::ObjectReferenceCount(child), refs + 1);
}

TEST_F(Bus, ListFromAboveIsExtendedWithTheChildLast)
{
    ASSERT_NE(Prepare(), nullptr);
    ScriptedDevice &a = NewPdo();
    ScriptedDevice &b = NewPdo();
    auto *above = static_cast<PDEVICE_RELATIONS>(
        ExAllocatePoolWithTag(PagedPool, FIELD_OFFSET(DEVICE_RELATIONS, Objects) + 2 * sizeof(PDEVICE_OBJECT),
                              platform::MakeTag("Test")));
    above->Count = 2;
    above->Objects[0] = a.device();
    above->Objects[1] = b.device();
    auto reported = QueryBusRelations(filter_, nullptr, above);  // the old list is freed by norva
    ASSERT_EQ(reported.size(), 3u);
    EXPECT_EQ(reported[0], a.device());
    EXPECT_EQ(reported[1], b.device());
    EXPECT_EQ(reported[2], ext_->norva_pdo);
    EXPECT_EQ(platform::PoolByTag()["Test"].blocks, 0u);
}

TEST_F(Bus, OtherRelationsPassUntouchedAndCreateNoChild)
{
    ASSERT_NE(Prepare(), nullptr);
    world::PnpResult r = Pnp(filter_, IRP_MN_QUERY_DEVICE_RELATIONS,
                             [](PIO_STACK_LOCATION sp) { sp->Parameters.QueryDeviceRelations.Type = RemovalRelations; },
                             0x1234);
    EXPECT_EQ(r.information, 0x1234u);
    EXPECT_EQ(ext_->norva_pdo, nullptr);
    ASSERT_EQ(pdo_->Requests(IRP_MJ_PNP).size(), 1u);
}

TEST_F(Bus, FailedChildCreationPassesTheQueryDownUnchanged)
{
    ASSERT_NE(Prepare(), nullptr);
    bool reached = false;
    for (uint64_t n = 1; n < 6 && !reached; ++n) {
        platform::ClearDebugOutput();
        platform::FailAllocationNumber(n);
        world::PnpResult r = Pnp(
            filter_, IRP_MN_QUERY_DEVICE_RELATIONS,
            [](PIO_STACK_LOCATION sp) { sp->Parameters.QueryDeviceRelations.Type = BusRelations; });
        platform::ClearAllocationFaults();
        reached = HasTrace("bus", "failed to create PDO\n");
        if (reached) {
            EXPECT_EQ(ext_->norva_pdo, nullptr);
            auto below = pdo_->Requests(IRP_MJ_PNP);
            ASSERT_FALSE(below.empty());
            EXPECT_EQ(r.information, 0u);
        } else if (r.information) {
            ReleaseReported();
        }
    }
    EXPECT_TRUE(reached);
    // The next query tries again.
    EXPECT_EQ(QueryBusRelations(filter_).size(), 1u);
}

TEST_F(Bus, UnallocatedRelationsKeepTheListFromAbove)
{
    ASSERT_NE(Prepare(), nullptr);
    ASSERT_NE(Child(), nullptr);
    ReleaseReported();
    ScriptedDevice &a = NewPdo();
    auto *above = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), 0));
    above->Count = 1;
    above->Objects[0] = a.device();
    LONG refs = platform::ObjectReferenceCount(ext_->norva_pdo);
    platform::FailAllocationsWithTag(platform::MakeTag("Wdm "), 1);
    world::PnpResult r = Pnp(
        filter_, IRP_MN_QUERY_DEVICE_RELATIONS,
        [](PIO_STACK_LOCATION sp) { sp->Parameters.QueryDeviceRelations.Type = BusRelations; }, ULONG_PTR(above));
    platform::ClearAllocationFaults();
    EXPECT_EQ(r.information, ULONG_PTR(above));
    EXPECT_EQ(above->Count, 1u);
    EXPECT_EQ(platform::ObjectReferenceCount(ext_->norva_pdo), refs);
    EXPECT_FALSE(pdo_->Requests(IRP_MJ_PNP).empty());
    ExFreePool(above);
}

TEST_F(Bus, ChildTakesBufferedIoFromTheFilter)
{
    ASSERT_NE(Prepare(DO_BUFFERED_IO | DO_DIRECT_IO), nullptr);
    PDEVICE_OBJECT child = Child();
    EXPECT_TRUE(child->Flags & DO_BUFFERED_IO);
    EXPECT_FALSE(child->Flags & DO_DIRECT_IO);
}

// ---------------------------------------------------------------------------
// The child's identity and resources

TEST_F(Bus, DeviceAndInstanceIdsArePoolCopies)
{
    ASSERT_NE(Prepare(), nullptr);
    PDEVICE_OBJECT child = Child();
    world::PnpResult r = QueryId(child, BusQueryDeviceID);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    size_t bytes = 0;
    EXPECT_EQ(TakeString(r.information, &bytes), u"VOZ_BUS\\VOZ_0001");
    EXPECT_EQ(bytes, 34u);
    r = QueryId(child, BusQueryInstanceID);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(TakeString(r.information, &bytes), u"0000");
    EXPECT_EQ(bytes, 10u);
}

TEST_F(Bus, HardwareAndCompatibleIdsAnswerNothing)
{
    ASSERT_NE(Prepare(), nullptr);
    PDEVICE_OBJECT child = Child();
    for (BUS_QUERY_ID_TYPE type : {BusQueryHardwareIDs, BusQueryCompatibleIDs, BusQueryDeviceSerialNumber}) {
        world::PnpResult r = QueryId(child, type);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.information, 0u);
    }
}

TEST_F(Bus, DescriptionForEveryLocaleAndNoLocationText)
{
    ASSERT_NE(Prepare(), nullptr);
    PDEVICE_OBJECT child = Child();
    for (ULONG locale : {0x409u, 0x411u}) {
        world::PnpResult r = Pnp(child, IRP_MN_QUERY_DEVICE_TEXT, [locale](PIO_STACK_LOCATION sp) {
            sp->Parameters.QueryDeviceText.DeviceTextType = DeviceTextDescription;
            sp->Parameters.QueryDeviceText.LocaleId = locale;
        });
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(TakeString(r.information), u"USB\u4EEE\u60F3COM\u30DD\u30FC\u30C8");
    }
    world::PnpResult r = Pnp(child, IRP_MN_QUERY_DEVICE_TEXT, [](PIO_STACK_LOCATION sp) {
        sp->Parameters.QueryDeviceText.DeviceTextType = DeviceTextLocationInformation;
    });
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 0u);
}

TEST_F(Bus, NoMemoryForAnIdOrTextFailsAndLeavesTheInformation)
{
    ASSERT_NE(Prepare(), nullptr);
    PDEVICE_OBJECT child = Child();
    platform::FailAllocationsWithTag(platform::MakeTag("Wdm "), 2);
    world::PnpResult id = QueryId(child, BusQueryDeviceID);
    world::PnpResult text = Pnp(child, IRP_MN_QUERY_DEVICE_TEXT, [](PIO_STACK_LOCATION sp) {
        sp->Parameters.QueryDeviceText.DeviceTextType = DeviceTextDescription;
    });
    platform::ClearAllocationFaults();
    EXPECT_EQ(id.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(text.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(id.information, 0u);
    EXPECT_EQ(CountTrace("bus", "failed ExAllocatePool\n"), 2u) << DescribeTraces();
}

TEST_F(Bus, ResourceRequirementsOfferFiveSerialPortRanges)
{
    ASSERT_NE(Prepare(), nullptr);
    PDEVICE_OBJECT child = Child();
    world::PnpResult r = Pnp(child, IRP_MN_QUERY_RESOURCE_REQUIREMENTS);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    auto *list = reinterpret_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(r.information);
    ASSERT_NE(list, nullptr);
    size_t expectedSize = sizeof(IO_RESOURCE_REQUIREMENTS_LIST) + 4 * sizeof(IO_RESOURCE_LIST);
    EXPECT_EQ(list->ListSize, expectedSize);
    EXPECT_EQ(list->InterfaceType, Internal);
    EXPECT_EQ(list->BusNumber, 0u);
    EXPECT_EQ(list->SlotNumber, 0u);
    ASSERT_EQ(list->AlternativeLists, 5u);
    const ULONGLONG ranges[5][2] = {{0x3F8, 0x3FF}, {0x2F8, 0x2FF}, {0x3E8, 0x3EF}, {0x2E8, 0x2EF}, {0x200, 0xFFF}};
    PIO_RESOURCE_LIST alt = list->List;
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(alt->Version, 1);
        EXPECT_EQ(alt->Revision, 1);
        ASSERT_EQ(alt->Count, 1u);
        const IO_RESOURCE_DESCRIPTOR &d = alt->Descriptors[0];
        EXPECT_EQ(d.Option, IO_RESOURCE_PREFERRED);
        EXPECT_EQ(d.Type, CmResourceTypePort);
        EXPECT_EQ(d.ShareDisposition, CmResourceShareDeviceExclusive);
        EXPECT_EQ(d.Flags, CM_RESOURCE_PORT_IO);
        EXPECT_EQ(d.u.Port.Length, 8u);
        EXPECT_EQ(d.u.Port.Alignment, 1u);
        EXPECT_EQ(ULONGLONG(d.u.Port.MinimumAddress.QuadPart), ranges[i][0]) << "alternative " << i + 1;
        EXPECT_EQ(ULONGLONG(d.u.Port.MaximumAddress.QuadPart), ranges[i][1]) << "alternative " << i + 1;
        alt = reinterpret_cast<PIO_RESOURCE_LIST>(&alt->Descriptors[alt->Count]);
    }
    EXPECT_EQ(reinterpret_cast<uint8_t *>(alt) - reinterpret_cast<uint8_t *>(list), ptrdiff_t(expectedSize));
    ExFreePool(list);
}

TEST_F(Bus, NoMemoryForResourcesOrBusInformationClearsTheInformation)
{
    ASSERT_NE(Prepare(), nullptr);
    PDEVICE_OBJECT child = Child();
    platform::FailAllocationsWithTag(platform::MakeTag("Wdm "), 2);
    world::PnpResult resources = Pnp(child, IRP_MN_QUERY_RESOURCE_REQUIREMENTS, {}, 0x77);
    world::PnpResult bus = Pnp(child, IRP_MN_QUERY_BUS_INFORMATION, {}, 0x77);
    platform::ClearAllocationFaults();
    EXPECT_EQ(resources.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(resources.information, 0u);
    EXPECT_EQ(bus.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(bus.information, 0u);
    EXPECT_EQ(CountTrace("bus", "failed ExAllocatePool\n"), 1u) << DescribeTraces();
}

TEST_F(Bus, BusInformationNamesTheNorvaBus)
{
    ASSERT_NE(Prepare(), nullptr);
    PDEVICE_OBJECT child = Child();
    world::PnpResult r = Pnp(child, IRP_MN_QUERY_BUS_INFORMATION);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    auto *info = reinterpret_cast<PPNP_BUS_INFORMATION>(r.information);
    EXPECT_EQ(platform::GuidToString(info->BusTypeGuid), platform::GuidToString(kBusTypeNorva));
    EXPECT_EQ(info->LegacyBusType, PNPBus);
    EXPECT_EQ(info->BusNumber, 0u);
    ExFreePool(info);
}

TEST_F(Bus, CapabilitiesComeFromTheFilterCopy)
{
    ASSERT_NE(Prepare(), nullptr);
    PDEVICE_OBJECT child = Child();
    ext_->deviceCapabilities.SurpriseRemovalOK = TRUE;
    ext_->deviceCapabilities.Removable = TRUE;
    DEVICE_CAPABILITIES caps{};
    caps.Size = 12;
    caps.UniqueID = TRUE;
    caps.D1Latency = caps.D2Latency = caps.D3Latency = 99;
    caps.DeviceState[PowerSystemWorking] = PowerDeviceD0;
    caps.Address = 7;
    world::PnpResult r = Pnp(child, IRP_MN_QUERY_CAPABILITIES,
                             [&](PIO_STACK_LOCATION sp) { sp->Parameters.DeviceCapabilities.Capabilities = &caps; });
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(caps.Size, 64);
    EXPECT_EQ(caps.Version, 1);
    EXPECT_TRUE(caps.SurpriseRemovalOK);
    EXPECT_TRUE(caps.Removable);
    EXPECT_FALSE(caps.UniqueID);
    EXPECT_EQ(caps.D1Latency, 0u);
    EXPECT_EQ(caps.D3Latency, 0u);
    EXPECT_EQ(caps.Address, 7u);  // the rest as the caller filled it
    EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
}

TEST_F(Bus, StateRequestsSucceedAndOthersKeepTheirStatus)
{
    ASSERT_NE(Prepare(), nullptr);
    PDEVICE_OBJECT child = Child();
    for (UCHAR minor : {IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE,
                        IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE})
        EXPECT_EQ(Pnp(child, minor).status, STATUS_SUCCESS) << int(minor);
    for (UCHAR minor : {IRP_MN_STOP_DEVICE, IRP_MN_QUERY_INTERFACE, IRP_MN_QUERY_RESOURCES,
                        IRP_MN_QUERY_PNP_DEVICE_STATE, IRP_MN_EJECT}) {
        world::PnpResult r = Pnp(child, minor, {}, 0x99);
        EXPECT_EQ(r.status, STATUS_NOT_SUPPORTED) << int(minor);
        EXPECT_EQ(r.information, 0x99u);
    }
    world::PnpResult r = Pnp(child, IRP_MN_QUERY_DEVICE_RELATIONS,
                             [](PIO_STACK_LOCATION sp) { sp->Parameters.QueryDeviceRelations.Type = BusRelations; });
    EXPECT_EQ(r.status, STATUS_NOT_SUPPORTED);
}

TEST_F(Bus, MinorFunctionNames)
{
    ASSERT_NE(Prepare(), nullptr);
    ScriptedDevice &first = NewPdo();
    platform::SetDriverDword(first.device(), u"DebugLevel", 0x04);
    AddFilter(first);
    PDEVICE_OBJECT child = Child();
    platform::ClearDebugOutput();
    Pnp(child, 14);
    Pnp(child, 0x18);
    Pnp(child, IRP_MN_SET_LOCK);
    EXPECT_EQ(CountTrace("bus", "\tIRP_MN_?????\n"), 2u) << DescribeTraces();
    EXPECT_TRUE(HasTrace("bus", "\tIRP_MN_SET_LOCK\n"));
}

// ---------------------------------------------------------------------------
// Removal

TEST_F(Bus, SurpriseRemovalTellsThePortOnceAndRemovalDeletesTheChild)
{
    ASSERT_NE(Prepare(), nullptr);
    PDEVICE_OBJECT child = Child();
    RemoveLog log;
    RemoveLog *self = &log;
    RegisterRemove(child, &self);

    EXPECT_EQ(Pnp(child, IRP_MN_SURPRISE_REMOVAL).status, STATUS_SUCCESS);
    EXPECT_TRUE(ChildExt(child)->removed);
    EXPECT_EQ(log.calls.size(), 1u);
    EXPECT_EQ(log.calls[0], &self);
    EXPECT_NE(ext_->norva_pdo, nullptr);

    // Anything but removal is refused now, without reaching the child.
    platform::ClearDebugOutput();
    EXPECT_EQ(Pnp(child, IRP_MN_QUERY_CAPABILITIES).status, STATUS_NO_SUCH_DEVICE);
    EXPECT_TRUE(HasTrace("filter", "removed\r\n")) << DescribeTraces();

    ReleaseReported();
    ObReferenceObject(child);
    EXPECT_EQ(Pnp(child, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(log.calls.size(), 1u);
    EXPECT_EQ(ext_->norva_pdo, nullptr);
    EXPECT_TRUE(platform::IsDeviceDeleted(child));
    ObDereferenceObject(child);
}

TEST_F(Bus, RemovalWithoutSurpriseTellsThePortAndDeletesTheChild)
{
    ASSERT_NE(Prepare(), nullptr);
    PDEVICE_OBJECT child = Child();
    RemoveLog log;
    RemoveLog *self = &log;
    RegisterRemove(child, &self);
    ReleaseReported();
    EXPECT_EQ(Pnp(child, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(log.calls.size(), 1u);
    EXPECT_EQ(ext_->norva_pdo, nullptr);
    // The next bus query creates a new child.
    EXPECT_EQ(QueryBusRelations(filter_).size(), 1u);
    EXPECT_NE(ext_->norva_pdo, nullptr);
}

TEST_F(Bus, RemovalWithoutARegistrationOnlyMarksTheChild)
{
    ASSERT_NE(Prepare(), nullptr);
    PDEVICE_OBJECT child = Child();
    RemoveLog log;
    RemoveLog *self = &log;
    RegisterRemove(child, &self);
    ChildExt(child)->removeContext = nullptr;  // a null context switches the notice off
    EXPECT_EQ(Pnp(child, IRP_MN_SURPRISE_REMOVAL).status, STATUS_SUCCESS);
    EXPECT_TRUE(ChildExt(child)->removed);
    EXPECT_TRUE(log.calls.empty());
}

// ---------------------------------------------------------------------------
// Power

TEST_F(Bus, DevicePowerIsRecordedAndSystemPowerGranted)
{
    ASSERT_NE(Prepare(), nullptr);
    PDEVICE_OBJECT child = Child();
    platform::ClearPowerStateCalls();
    world::PnpResult r = Send(child, IRP_MJ_POWER, IRP_MN_SET_POWER, [](PIO_STACK_LOCATION sp) {
        sp->Parameters.Power.Type = DevicePowerState;
        sp->Parameters.Power.State.DeviceState = PowerDeviceD3;
    });
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    auto calls = platform::PowerStateCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].device, child);
    EXPECT_EQ(calls[0].type, DevicePowerState);
    EXPECT_EQ(calls[0].state, ULONG(PowerDeviceD3));

    r = Send(child, IRP_MJ_POWER, IRP_MN_SET_POWER, [](PIO_STACK_LOCATION sp) {
        sp->Parameters.Power.Type = SystemPowerState;
        sp->Parameters.Power.State.SystemState = PowerSystemSleeping3;
    });
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(platform::PowerStateCalls().size(), 1u);
    EXPECT_EQ(Send(child, IRP_MJ_POWER, IRP_MN_QUERY_POWER).status, STATUS_SUCCESS);
}

TEST_F(Bus, WaitWakeKeepsItsStatusAndSaysNotSupported)
{
    ASSERT_NE(Prepare(), nullptr);
    PDEVICE_OBJECT child = Child();
    EXPECT_EQ(Send(child, IRP_MJ_POWER, IRP_MN_WAIT_WAKE).status, STATUS_NOT_SUPPORTED);
    EXPECT_TRUE(HasTrace("bus", "\tnot support\n")) << DescribeTraces();
}

TEST_F(Bus, FilterPassesPowerDown)
{
    ASSERT_NE(Prepare(), nullptr);
    pdo_->Queue(IRP_MJ_POWER, Answer::Complete(STATUS_SUCCESS));
    EXPECT_EQ(Send(filter_, IRP_MJ_POWER, IRP_MN_QUERY_POWER).status, STATUS_SUCCESS);
    auto below = pdo_->Requests(IRP_MJ_POWER);
    ASSERT_EQ(below.size(), 1u);
    EXPECT_EQ(below[0].minor, IRP_MN_QUERY_POWER);
}

// ---------------------------------------------------------------------------
// Requests other than PnP and power on the child

TEST_F(Bus, ChildRefusesOrdinaryRequests)
{
    ASSERT_NE(Prepare(), nullptr);
    PDEVICE_OBJECT child = Child();
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(platform::OpenDevice(child, u"", &file), STATUS_INVALID_DEVICE_REQUEST);
    std::vector<uint8_t> buffer(4);
    EXPECT_EQ(Read(child, buffer, 0, nullptr), STATUS_INVALID_DEVICE_REQUEST);
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_VCP_SET_RTS, child, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(platform::CallAndWait(child, irp, &event, &iosb), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(pdo_->Requests(IRP_MJ_READ).empty());
    EXPECT_TRUE(pdo_->Requests(IRP_MJ_CREATE).empty());
}

}  // namespace
}  // namespace norva_test
