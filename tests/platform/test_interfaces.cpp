// Device interfaces: registration, link names, enable state, injected faults.
#include "fixture.hpp"

#include <cctype>

namespace {

// {82CCC361-C550-11D4-961C-006067728FA8}
constexpr GUID kVxdClass = {0x82CCC361, 0xC550, 0x11D4, {0x96, 0x1C, 0x00, 0x60, 0x67, 0x72, 0x8F, 0xA8}};
// {FEE29501-E702-11D4-80D2-00402641283F}
constexpr GUID kCvtClass = {0xFEE29501, 0xE702, 0x11D4, {0x80, 0xD2, 0x00, 0x40, 0x26, 0x41, 0x28, 0x3F}};

constexpr const char *kLink = "\\??\\USB#VID_0B8C&PID_0001#5&2a3b&0&1#{82ccc361-c550-11d4-961c-006067728fa8}";

class DeviceInterfaces : public testing_support::KernelTest {
protected:
    DeviceInterfaces() { platform::CreateDeviceNode(&pdo_, u"USB\\VID_0B8C&PID_0001\\5&2a3b&0&1"); }
    ~DeviceInterfaces() override
    {
        if (platform::DeviceInstancePath(&pdo_).size())
            platform::DeleteDeviceNode(&pdo_);
    }

    // Registers and returns the link's text; frees the caller's copy as a
    // driver would.
    std::string Register(const GUID &guid, const WCHAR *reference = nullptr, NTSTATUS expected = STATUS_SUCCESS)
    {
        UNICODE_STRING ref, link{};
        if (reference)
            RtlInitUnicodeString(&ref, reference);
        NTSTATUS status = IoRegisterDeviceInterface(&pdo_, &guid, reference ? &ref : nullptr, &link);
        EXPECT_EQ(status, expected);
        if (!NT_SUCCESS(status))
            return {};
        std::string text = platform::ToUtf8(link);
        EXPECT_EQ(link.MaximumLength, link.Length + sizeof(WCHAR));
        EXPECT_EQ(link.Buffer[link.Length / sizeof(WCHAR)], 0);
        RtlFreeUnicodeString(&link);
        return text;
    }

    NTSTATUS SetState(const std::string &link, bool enable)
    {
        std::u16string text = platform::ToU16(link);
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, platform::W(text));
        return IoSetDeviceInterfaceState(&name, enable);
    }

    DEVICE_OBJECT pdo_{};
};

TEST_F(DeviceInterfaces, LinkNameIsBuiltFromTheInstancePathAndLowerCaseGuid)
{
    EXPECT_EQ(Register(kVxdClass), kLink);
    EXPECT_EQ(Register(kVxdClass, L"port1"), std::string(kLink) + "\\port1");
    auto listed = platform::Interfaces();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].pdo, &pdo_);
    EXPECT_EQ(platform::ToUtf8(platform::W(listed[0].link)), kLink);
    EXPECT_FALSE(listed[0].enabled) << "a new interface starts disabled";
}

TEST_F(DeviceInterfaces, LinkIsAPagedPoolBlockTheCallerFrees)
{
    UNICODE_STRING link{};
    ASSERT_EQ(IoRegisterDeviceInterface(&pdo_, &kVxdClass, nullptr, &link), STATUS_SUCCESS);
    POOL_TYPE type;
    ASSERT_TRUE(platform::IsPoolBlock(link.Buffer, &type));
    EXPECT_EQ(type, PagedPool);
    EXPECT_EQ(platform::PoolBlocksOutstanding(), 1u);
    RtlFreeUnicodeString(&link);
    EXPECT_EQ(platform::PoolBlocksOutstanding(), 0u);
}

TEST_F(DeviceInterfaces, RegisteringAgainNamesTheSameInterface)
{
    std::string first = Register(kVxdClass);
    EXPECT_EQ(Register(kVxdClass), first);
    EXPECT_NE(Register(kCvtClass), first);
    EXPECT_EQ(platform::Interfaces().size(), 2u);
    EXPECT_EQ(platform::Interfaces(kVxdClass).size(), 1u);
    EXPECT_EQ(platform::Interfaces(kCvtClass).size(), 1u);
}

TEST_F(DeviceInterfaces, EnableAndDisableFollowTheKernelsAnswers)
{
    std::string link = Register(kVxdClass);
    EXPECT_EQ(SetState(link, true), STATUS_SUCCESS);
    EXPECT_TRUE(platform::Interfaces(kVxdClass)[0].enabled);

    NTSTATUS again = SetState(link, true);
    EXPECT_EQ(again, NTSTATUS(0x40000000)) << "STATUS_OBJECT_NAME_EXISTS";
    EXPECT_TRUE(NT_SUCCESS(again));

    EXPECT_EQ(SetState(link, false), STATUS_SUCCESS);
    EXPECT_FALSE(platform::Interfaces(kVxdClass)[0].enabled);
    EXPECT_EQ(SetState(link, false), STATUS_OBJECT_NAME_NOT_FOUND) << "disabling what is not enabled";
}

TEST_F(DeviceInterfaces, LinkNamesMatchWithoutCaseAndWithTheUserModePrefix)
{
    std::string link = Register(kVxdClass);
    std::string upper = link;
    for (char &c : upper)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(SetState(upper, true), STATUS_SUCCESS);
    std::string user = link;
    user[1] = '\\';
    EXPECT_EQ(SetState(user, false), STATUS_SUCCESS);
}

TEST_F(DeviceInterfaces, UnknownLinksAreNotFound)
{
    Register(kVxdClass);
    EXPECT_EQ(SetState("\\??\\USB#nothing#{82ccc361-c550-11d4-961c-006067728fa8}", true),
              STATUS_OBJECT_NAME_NOT_FOUND);
    UNICODE_STRING empty{0, 0, nullptr};
    EXPECT_FALSE(NT_SUCCESS(IoSetDeviceInterfaceState(&empty, TRUE)));
}

TEST_F(DeviceInterfaces, OnlyPdosWithANodeRegisterAndReferencesAreOneComponent)
{
    DEVICE_OBJECT fdo{};
    UNICODE_STRING link{};
    EXPECT_EQ(IoRegisterDeviceInterface(&fdo, &kVxdClass, nullptr, &link), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(link.Buffer, nullptr);
    Register(kVxdClass, L"a\\b", STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(platform::Interfaces().empty());
}

TEST_F(DeviceInterfaces, InjectedFailuresHitOnlyTheNextCall)
{
    platform::FailNextInterfaceRegistration(STATUS_INSUFFICIENT_RESOURCES);
    Register(kVxdClass, nullptr, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(platform::Interfaces().empty());
    std::string link = Register(kVxdClass);

    platform::FailNextInterfaceStateChange(STATUS_ACCESS_DENIED);
    EXPECT_EQ(SetState(link, true), STATUS_ACCESS_DENIED);
    EXPECT_FALSE(platform::Interfaces()[0].enabled);
    EXPECT_EQ(SetState(link, true), STATUS_SUCCESS);
}

TEST_F(DeviceInterfaces, FailedLinkAllocationReportsInsufficientResources)
{
    platform::FailAllocationNumber(1);
    Register(kVxdClass, nullptr, STATUS_INSUFFICIENT_RESOURCES);
}

TEST_F(DeviceInterfaces, DeletingTheNodeRemovesItsInterfaces)
{
    DEVICE_OBJECT other{};
    platform::CreateDeviceNode(&other, u"USB\\VID_0B8C&PID_0001\\9");
    UNICODE_STRING link{};
    ASSERT_EQ(IoRegisterDeviceInterface(&other, &kCvtClass, nullptr, &link), STATUS_SUCCESS);
    Register(kVxdClass);
    EXPECT_EQ(platform::Interfaces().size(), 2u);

    platform::DeleteDeviceNode(&other);
    auto left = platform::Interfaces();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].pdo, &pdo_);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
    RtlFreeUnicodeString(&link);
}

TEST_F(DeviceInterfaces, CallsAbovePassiveLevelAreViolations)
{
    std::string link = Register(kVxdClass);
    platform::ViolationTrap trap;
    platform::AtDispatchLevel([&] {
        UNICODE_STRING out{};
        EXPECT_FALSE(NT_SUCCESS(IoRegisterDeviceInterface(&pdo_, &kVxdClass, nullptr, &out)));
        EXPECT_FALSE(NT_SUCCESS(SetState(link, true)));
    });
    auto found = TakeViolations();
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].rule, "IRQL_NOT_LESS_OR_EQUAL");
    EXPECT_FALSE(platform::Interfaces()[0].enabled);
}

}  // namespace
