// Device nodes, IoOpenDeviceRegistryKey, ZwQueryValueKey and ZwClose.
#include "fixture.hpp"

#include <array>
#include <cstring>

namespace {

static_assert(FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, TitleIndex) == 0);
static_assert(FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Type) == 4);
static_assert(FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, DataOffset) == 8);
static_assert(FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, DataLength) == 12);
static_assert(FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, NameLength) == 16);
static_assert(FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name) == 20);
static_assert(FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) == 12);

constexpr UCHAR kFill = 0xCC;

ULONG Word(const std::vector<UCHAR> &b, size_t offset)
{
    ULONG v;
    std::memcpy(&v, b.data() + offset, sizeof v);
    return v;
}

class Registry : public testing_support::KernelTest {
protected:
    Registry() { platform::CreateDeviceNode(&pdo_, u"USB\\VID_0B8C&PID_0001\\5&2A3B&0&1"); }
    ~Registry() override { platform::DeleteDeviceNode(&pdo_); }

    HANDLE OpenDriverKey(ACCESS_MASK access = KEY_ALL_ACCESS)
    {
        HANDLE key = nullptr;
        EXPECT_EQ(IoOpenDeviceRegistryKey(&pdo_, PLUGPLAY_REGKEY_DRIVER, access, &key), STATUS_SUCCESS);
        return key;
    }

    // Queries into a buffer of `length` bytes filled with a pattern.
    NTSTATUS Query(HANDLE key, const WCHAR *name, KEY_VALUE_INFORMATION_CLASS infoClass, ULONG length)
    {
        UNICODE_STRING valueName;
        RtlInitUnicodeString(&valueName, name);
        buffer_.assign(length + 16, kFill);  // a guard area after the buffer
        result_ = 0xDEAD;
        NTSTATUS status = ZwQueryValueKey(key, &valueName, infoClass, buffer_.data(), length, &result_);
        for (size_t i = length; i < buffer_.size(); ++i)
            EXPECT_EQ(buffer_[i], kFill) << "byte " << i << " written past the buffer";
        buffer_.resize(length);
        return status;
    }

    std::string NameAt(size_t offset, size_t bytes)
    {
        return platform::ToUtf8(reinterpret_cast<const WCHAR *>(buffer_.data() + offset), bytes / sizeof(WCHAR));
    }

    DEVICE_OBJECT pdo_{};
    std::vector<UCHAR> buffer_;
    ULONG result_ = 0;
};

TEST_F(Registry, FullInformationHasTheKernelsLayout)
{
    platform::SetDriverDword(&pdo_, u"EndPointCaps", 2);
    HANDLE key = OpenDriverKey();
    // What a driver allocates: the name's maximum length plus 28 bytes.
    ULONG length = sizeof(L"EndPointCaps") + 28;
    ASSERT_EQ(Query(key, L"EndPointCaps", KeyValueFullInformation, length), STATUS_SUCCESS);
    EXPECT_EQ(Word(buffer_, 0), 0u);          // TitleIndex
    EXPECT_EQ(Word(buffer_, 4), ULONG(REG_DWORD));
    EXPECT_EQ(Word(buffer_, 8), 44u);         // DataOffset: 20 + 24 name bytes
    EXPECT_EQ(Word(buffer_, 12), 4u);         // DataLength
    EXPECT_EQ(Word(buffer_, 16), 24u);        // NameLength
    EXPECT_EQ(NameAt(20, 24), "EndPointCaps");
    EXPECT_EQ(Word(buffer_, 44), 2u);
    EXPECT_EQ(result_, 48u);
    EXPECT_EQ(buffer_[48], kFill) << "nothing beyond the record is written";
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(Registry, DataOffsetIsAlignedToFourBytesAfterTheName)
{
    const UCHAR data[] = {1, 2, 3, 4, 5};
    platform::SetDriverValue(&pdo_, u"Abc", REG_BINARY, data, sizeof data);
    HANDLE key = OpenDriverKey();
    ASSERT_EQ(Query(key, L"Abc", KeyValueFullInformation, 64), STATUS_SUCCESS);
    EXPECT_EQ(Word(buffer_, 16), 6u);
    EXPECT_EQ(Word(buffer_, 8), 28u) << "20 + 6 rounded up to a multiple of 4";
    EXPECT_EQ(result_, 28u + 5u);
    EXPECT_EQ(std::memcmp(buffer_.data() + 28, data, sizeof data), 0);
    ZwClose(key);
}

TEST_F(Registry, EmptyValueHasNoDataOffset)
{
    platform::SetDriverValue(&pdo_, u"Empty", REG_BINARY, nullptr, 0);
    HANDLE key = OpenDriverKey();
    ASSERT_EQ(Query(key, L"Empty", KeyValueFullInformation, 64), STATUS_SUCCESS);
    EXPECT_EQ(Word(buffer_, 8), 0xFFFFFFFFu);
    EXPECT_EQ(Word(buffer_, 12), 0u);
    EXPECT_EQ(result_, 20u + 10u);
    ZwClose(key);
}

TEST_F(Registry, PartialInformationHasTheKernelsLayout)
{
    platform::SetDriverDword(&pdo_, u"DebugLevel", 0x7F);
    HANDLE key = OpenDriverKey();
    ASSERT_EQ(Query(key, L"DebugLevel", KeyValuePartialInformation, 32), STATUS_SUCCESS);
    EXPECT_EQ(Word(buffer_, 0), 0u);
    EXPECT_EQ(Word(buffer_, 4), ULONG(REG_DWORD));
    EXPECT_EQ(Word(buffer_, 8), 4u);
    EXPECT_EQ(Word(buffer_, 12), 0x7Fu);
    EXPECT_EQ(result_, 16u);
    ZwClose(key);
}

TEST_F(Registry, BufferShorterThanTheFixedPartGetsNothing)
{
    platform::SetDriverDword(&pdo_, u"EndPointCaps", 2);
    HANDLE key = OpenDriverKey();
    for (ULONG length : {0u, 4u, 19u}) {
        EXPECT_EQ(Query(key, L"EndPointCaps", KeyValueFullInformation, length), STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(result_, 48u) << "the size needed is reported";
        for (UCHAR b : buffer_)
            EXPECT_EQ(b, kFill);
    }
    EXPECT_EQ(Query(key, L"EndPointCaps", KeyValuePartialInformation, 11), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result_, 16u);
    ZwClose(key);
}

TEST_F(Registry, BufferThatHoldsTheFixedPartGetsWhatFitsAndOverflow)
{
    platform::SetDriverDword(&pdo_, u"EndPointCaps", 0x01020304);
    HANDLE key = OpenDriverKey();

    ASSERT_EQ(Query(key, L"EndPointCaps", KeyValueFullInformation, 20), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result_, 48u);
    EXPECT_EQ(Word(buffer_, 4), ULONG(REG_DWORD));
    EXPECT_EQ(Word(buffer_, 8), 44u);
    EXPECT_EQ(Word(buffer_, 12), 4u);
    EXPECT_EQ(Word(buffer_, 16), 24u);

    ASSERT_EQ(Query(key, L"EndPointCaps", KeyValueFullInformation, 30), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(NameAt(20, 10), "EndPo") << "as much of the name as fits";

    ASSERT_EQ(Query(key, L"EndPointCaps", KeyValueFullInformation, 46), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(NameAt(20, 24), "EndPointCaps");
    EXPECT_EQ(buffer_[44], 0x04);
    EXPECT_EQ(buffer_[45], 0x03);

    ASSERT_EQ(Query(key, L"EndPointCaps", KeyValuePartialInformation, 14), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(Word(buffer_, 8), 4u);
    EXPECT_EQ(result_, 16u);

    EXPECT_EQ(Query(key, L"EndPointCaps", KeyValueFullInformation, 48), STATUS_SUCCESS);
    ZwClose(key);
}

TEST_F(Registry, ValueNamesAreCaseInsensitiveAndValuesFollowTheWorld)
{
    HANDLE key = OpenDriverKey();
    EXPECT_EQ(Query(key, L"DebugLevel", KeyValuePartialInformation, 32), STATUS_OBJECT_NAME_NOT_FOUND);
    platform::SetDriverDword(&pdo_, u"DebugLevel", 1);
    ASSERT_EQ(Query(key, L"DEBUGLEVEL", KeyValuePartialInformation, 32), STATUS_SUCCESS);
    EXPECT_EQ(Word(buffer_, 12), 1u);
    platform::SetDriverDword(&pdo_, u"debuglevel", 3);
    ASSERT_EQ(Query(key, L"DebugLevel", KeyValueFullInformation, 64), STATUS_SUCCESS);
    EXPECT_EQ(NameAt(20, 20), "DebugLevel") << "the value keeps the name it was created with";
    EXPECT_EQ(Word(buffer_, 40), 3u);
    platform::DeleteDriverValue(&pdo_, u"DEBUGlevel");
    EXPECT_EQ(Query(key, L"DebugLevel", KeyValuePartialInformation, 32), STATUS_OBJECT_NAME_NOT_FOUND);
    ZwClose(key);
}

TEST_F(Registry, BasicInformationAndUnsupportedClasses)
{
    platform::SetDriverDword(&pdo_, u"Caps", 1);
    HANDLE key = OpenDriverKey();
    ASSERT_EQ(Query(key, L"Caps", KeyValueBasicInformation, 32), STATUS_SUCCESS);
    EXPECT_EQ(Word(buffer_, 4), ULONG(REG_DWORD));
    EXPECT_EQ(Word(buffer_, 8), 8u);
    EXPECT_EQ(NameAt(12, 8), "Caps");
    EXPECT_EQ(result_, 20u);
    EXPECT_EQ(Query(key, L"Caps", KeyValueFullInformationAlign64, 64), STATUS_INVALID_PARAMETER);
    ZwClose(key);
}

TEST_F(Registry, HandlesAreCountedUntilClosed)
{
    HANDLE a = OpenDriverKey();
    HANDLE b = OpenDriverKey();
    EXPECT_NE(a, b);
    EXPECT_EQ(platform::RegistryHandlesOpen(), 2u);
    EXPECT_NE(platform::LeakReport().find("2 registry handle(s) not closed"), std::string::npos);
    EXPECT_EQ(ZwClose(a), STATUS_SUCCESS);
    EXPECT_EQ(platform::RegistryHandlesOpen(), 1u);
    EXPECT_EQ(ZwClose(b), STATUS_SUCCESS);
    EXPECT_EQ(platform::RegistryHandlesOpen(), 0u);
}

TEST_F(Registry, ClosedOrUnknownHandlesAreRefused)
{
    platform::SetDriverDword(&pdo_, u"Caps", 1);
    HANDLE key = OpenDriverKey();
    ASSERT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_EQ(Query(key, L"Caps", KeyValuePartialInformation, 32), STATUS_INVALID_HANDLE);
    EXPECT_EQ(Query(reinterpret_cast<HANDLE>(uintptr_t(0x1234)), L"Caps", KeyValuePartialInformation, 32),
              STATUS_INVALID_HANDLE);

    platform::ViolationTrap trap;
    EXPECT_EQ(ZwClose(key), STATUS_INVALID_HANDLE);
    EXPECT_EQ(ZwClose(nullptr), STATUS_INVALID_HANDLE);
    auto found = TakeViolations();
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].rule, "INVALID_HANDLE_CLOSE");
    EXPECT_EQ(found[1].rule, "INVALID_HANDLE_CLOSE");
}

TEST_F(Registry, QueryNeedsQueryAccess)
{
    platform::SetDriverDword(&pdo_, u"Caps", 1);
    HANDLE writeOnly = OpenDriverKey(KEY_SET_VALUE);
    EXPECT_EQ(Query(writeOnly, L"Caps", KeyValuePartialInformation, 32), STATUS_ACCESS_DENIED);
    ZwClose(writeOnly);
    HANDLE reader = OpenDriverKey(KEY_READ);
    EXPECT_EQ(Query(reader, L"Caps", KeyValuePartialInformation, 32), STATUS_SUCCESS);
    ZwClose(reader);
}

TEST_F(Registry, OpenRefusesDevicesWithoutANodeAndBadKeyTypes)
{
    DEVICE_OBJECT fdo{};
    HANDLE key = reinterpret_cast<HANDLE>(uintptr_t(0x5555));
    EXPECT_EQ(IoOpenDeviceRegistryKey(&fdo, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &key),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(IoOpenDeviceRegistryKey(&pdo_, 0, KEY_ALL_ACCESS, &key), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(IoOpenDeviceRegistryKey(&pdo_, PLUGPLAY_REGKEY_DRIVER | PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(key, reinterpret_cast<HANDLE>(uintptr_t(0x5555)));
    EXPECT_EQ(platform::RegistryHandlesOpen(), 0u);
}

TEST_F(Registry, DeviceKeyIsSeparateFromTheDriverKey)
{
    platform::SetDriverDword(&pdo_, u"EndPointCaps", 1);
    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(&pdo_, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_SUCCESS);
    EXPECT_EQ(Query(key, L"EndPointCaps", KeyValuePartialInformation, 32), STATUS_OBJECT_NAME_NOT_FOUND);
    ZwClose(key);
}

TEST_F(Registry, InjectedOpenFailureHitsOnlyTheNextOpen)
{
    platform::FailNextRegistryOpen(STATUS_INSUFFICIENT_RESOURCES);
    HANDLE key = nullptr;
    EXPECT_EQ(IoOpenDeviceRegistryKey(&pdo_, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &key),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(platform::RegistryHandlesOpen(), 0u);
    key = OpenDriverKey();
    EXPECT_NE(key, nullptr);
    ZwClose(key);
}

TEST_F(Registry, CallsAbovePassiveLevelAreViolations)
{
    platform::SetDriverDword(&pdo_, u"Caps", 1);
    HANDLE key = OpenDriverKey();
    platform::ViolationTrap trap;
    platform::AtDispatchLevel([&] {
        HANDLE other = nullptr;
        EXPECT_NE(IoOpenDeviceRegistryKey(&pdo_, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &other), STATUS_SUCCESS);
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, L"Caps");
        UCHAR info[32];
        ULONG result = 0;
        EXPECT_NE(ZwQueryValueKey(key, &name, KeyValuePartialInformation, info, sizeof info, &result),
                  STATUS_SUCCESS);
    });
    auto found = TakeViolations();
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].rule, "IRQL_NOT_LESS_OR_EQUAL");
    EXPECT_EQ(found[1].rule, "IRQL_NOT_LESS_OR_EQUAL");
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(Registry, WorldMistakesAreReported)
{
    platform::ViolationTrap trap;
    DEVICE_OBJECT stranger{};
    platform::SetDriverDword(&stranger, u"Caps", 1);
    platform::CreateDeviceNode(&pdo_, u"USB\\AGAIN");
    platform::DeleteDeviceNode(&stranger);
    auto found = TakeViolations();
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[0].rule, "NO_DEVICE_NODE");
    EXPECT_EQ(found[1].rule, "DEVICE_NODE_EXISTS");
    EXPECT_EQ(found[2].rule, "NO_DEVICE_NODE");
    EXPECT_EQ(platform::DeviceInstancePath(&pdo_), u"USB\\VID_0B8C&PID_0001\\5&2A3B&0&1");
}

}  // namespace
