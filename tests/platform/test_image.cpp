// The kernel's loader of driver images: the target build's norva.sys and
// tembris.sys mapped, relocated and bound; images it cannot run refused with
// the reason; the Windows x86 return of structures; INIT discarded after
// DriverEntry; pageable code trimmed when a thread raises its IRQL.
#include "fixture.hpp"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

using testing_support::KernelTest;

namespace {

const std::string kNorva = std::string(TARGET_BUILD_DIR) + "/norva.sys";
const std::string kTembris = std::string(TARGET_BUILD_DIR) + "/tembris.sys";

std::vector<char> ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A copy of an image with one name of its import table (routine or module)
// replaced by another no longer than it, written next to the test's files.
std::string Planted(const std::string &image, const std::string &old, const std::string &planted)
{
    std::vector<char> bytes = ReadFile(image);
    std::string needle = old + '\0';
    auto at = std::search(bytes.begin(), bytes.end(), needle.begin(), needle.end());
    EXPECT_NE(at, bytes.end()) << old << " is not imported";
    EXPECT_LE(planted.size(), old.size());
    if (at != bytes.end()) {
        std::fill(at, at + old.size(), '\0');
        std::copy(planted.begin(), planted.end(), at);
    }
    std::string path = ::testing::TempDir() + "planted-" + std::filesystem::path(image).filename().string();
    std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
    return path;
}

class DriverImages : public KernelTest {
protected:
    void SetUp() override
    {
        if (sizeof(void *) != 4)
            GTEST_SKIP() << "driver images run in the 32-bit build";
    }
};

// Enters an image as the I/O manager does and deletes its driver object at
// the end.
struct Entered {
    explicit Entered(platform::DriverImage &image, std::u16string_view name = u"\\Driver\\probe")
        : driver(platform::CreateDriverObject(name))
    {
        status = image.CallEntry(driver, &driver->DriverExtension->ServiceKeyName);
    }
    ~Entered() { platform::DeleteDriverObject(driver); }
    PDRIVER_OBJECT driver;
    NTSTATUS status;
};

}  // namespace

TEST_F(DriverImages, BothShippedImagesAreMappedRelocatedAndBound)
{
    std::string error;
    auto norva = platform::DriverImage::Load(kNorva, &error);
    ASSERT_TRUE(norva) << error;
    auto tembris = platform::DriverImage::Load(kTembris, &error);
    ASSERT_TRUE(tembris) << error;
    for (const auto *image : {norva.get(), tembris.get()}) {
        const platform::ImageInfo &info = image->info();
        EXPECT_EQ(info.fileSize, std::filesystem::file_size(info.path));
        EXPECT_EQ(info.base % 4096, 0u);
        EXPECT_GT(info.relocations, 100u) << info.name << ": never at its preferred base here, so every one applies";
        EXPECT_GT(info.importsBound, 30u) << info.name;
        EXPECT_EQ(platform::ImageNameAt(reinterpret_cast<void *>(info.base + 0x1000)), info.name);
    }
    ASSERT_EQ(platform::LoadedImages().size(), 2u);
    EXPECT_EQ(platform::LoadedImages()[0].name, "norva.sys");

    // norva's export directory has the twelve routines the port VxD binds,
    // and nothing else; its symbols name them.
    void *kick = norva->Export("KickTx");
    ASSERT_NE(kick, nullptr);
    EXPECT_EQ(norva->RoutineAt(kick), "KickTx+0x0");
    EXPECT_EQ(platform::DescribeImageAddress(kick), "norva.sys!KickTx+0x0");
    EXPECT_NE(norva->Export("VendorRequest"), nullptr);
    EXPECT_EQ(norva->Export("DriverEntry"), nullptr);
    EXPECT_EQ(norva->Export("FilterPass"), nullptr);
    EXPECT_EQ(tembris->Export("KickTx"), nullptr);
    EXPECT_EQ(norva->RoutineAt(reinterpret_cast<void *>(norva->entryPoint())), "DriverEntry+0x0");

    uintptr_t base = norva->info().base;
    norva.reset();
    EXPECT_EQ(platform::LoadedImages().size(), 1u);
    EXPECT_EQ(platform::DescribeImageAddress(reinterpret_cast<void *>(base + 0x1000)), "");
    // What it allocated is still told apart from the world's afterwards.
    EXPECT_EQ(platform::ImageNameAt(reinterpret_cast<void *>(base + 0x1000)), "norva.sys");
}

TEST_F(DriverImages, AnImportThisKernelLacksRefusesTheImageNamingTheRoutine)
{
    std::string error;
    EXPECT_FALSE(platform::DriverImage::Load(Planted(kNorva, "IoGetAttachedDeviceReference", "IoAllocateWorkItem"), &error));
    EXPECT_EQ(error, "planted-norva.sys imports IoAllocateWorkItem from ntoskrnl.exe, which this kernel does not provide");

    // Windows 98's kernel exports no C runtime to drivers, and neither does
    // this one: an image must carry its own memcpy.
    EXPECT_FALSE(platform::DriverImage::Load(Planted(kNorva, "IoGetAttachedDeviceReference", "memcpy"), &error));
    EXPECT_EQ(error, "planted-norva.sys imports memcpy from ntoskrnl.exe, which this kernel does not provide");

    // A routine is found in the module that exports it on Windows x86 only.
    EXPECT_FALSE(platform::DriverImage::Load(Planted(kNorva, "ntoskrnl.exe", "USBD.SYS"), &error));
    EXPECT_NE(error.find("imports IoAllocateIrp from USBD.SYS, which this kernel does not provide"), std::string::npos)
        << error;

    // A decorated name must say what the routine takes.
    EXPECT_FALSE(platform::DriverImage::Load(
        Planted(kTembris, "_USBD_ParseConfigurationDescriptorEx@28", "_USBD_ParseConfigurationDescriptorEx@24"), &error));
    EXPECT_EQ(error, "planted-tembris.sys imports _USBD_ParseConfigurationDescriptorEx@24 from USBD.SYS, but this "
                     "kernel's USBD_ParseConfigurationDescriptorEx is stdcall with 28 bytes of arguments");
    EXPECT_TRUE(platform::LoadedImages().empty());
}

TEST_F(DriverImages, WhatIsNotANativeX86DriverIsRefused)
{
    std::string error;
    EXPECT_FALSE(platform::DriverImage::Load(::testing::TempDir() + "no-such.sys", &error));
    EXPECT_EQ(error, "no-such.sys: cannot open the file");
    EXPECT_FALSE(platform::DriverImage::Load("/proc/self/exe", &error));
    EXPECT_EQ(error, "exe: not an MZ image");

    std::vector<char> bytes = ReadFile(kNorva);
    std::string truncated = ::testing::TempDir() + "truncated.sys";
    std::ofstream(truncated, std::ios::binary).write(bytes.data(), 600);
    EXPECT_FALSE(platform::DriverImage::Load(truncated, &error));
    EXPECT_NE(error.find("truncated.sys: section .text runs past the end of the file"), std::string::npos) << error;

    uint32_t pe;
    std::memcpy(&pe, bytes.data() + 0x3C, 4);
    bytes[pe + 24 + 68] = 3;  // the Windows console subsystem: a program, not a driver
    std::string program = ::testing::TempDir() + "program.sys";
    std::ofstream(program, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
    EXPECT_FALSE(platform::DriverImage::Load(program, &error));
    EXPECT_EQ(error, "program.sys: not a kernel-mode driver (subsystem 3, native is 1)");
}

TEST_F(DriverImages, StructureResultsComeBackInEdxEaxAsOnWindows)
{
    // Bound as an image's import is bound, called as Windows x86 code calls.
    auto multiply = reinterpret_cast<ULONGLONG(NTAPI *)(LARGE_INTEGER, LONG)>(
        platform::KernelRoutine("ntoskrnl.exe", "RtlExtendedIntegerMultiply"));
    auto divide = reinterpret_cast<ULONGLONG(NTAPI *)(LARGE_INTEGER, ULONG, PULONG)>(
        platform::KernelRoutine("NTOSKRNL.EXE", "RtlExtendedLargeIntegerDivide"));
    auto counter = reinterpret_cast<ULONGLONG(NTAPI *)(PLARGE_INTEGER)>(
        platform::KernelRoutine("hal.dll", "KeQueryPerformanceCounter"));
    auto setPower = reinterpret_cast<ULONG(NTAPI *)(PDEVICE_OBJECT, POWER_STATE_TYPE, POWER_STATE)>(
        platform::KernelRoutine("ntoskrnl.exe", "PoSetPowerState"));
    ASSERT_TRUE(multiply && divide && counter && setPower);

    LARGE_INTEGER big;
    big.QuadPart = 0x123456789LL;
    EXPECT_EQ(multiply(big, -3), ULONGLONG(-0x369d0369bLL));
    ULONG remainder = 0;
    big.QuadPart = 10000000007LL;
    EXPECT_EQ(divide(big, 10, &remainder), 1000000000ull);
    EXPECT_EQ(remainder, 7u);
    LARGE_INTEGER frequency{};
    ULONGLONG first = counter(&frequency), second = counter(nullptr);
    EXPECT_GT(frequency.QuadPart, 0);
    EXPECT_GE(second, first);

    PDRIVER_OBJECT driver = platform::CreateDriverObject(u"\\Driver\\power");
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    POWER_STATE d2, d3;
    d2.DeviceState = PowerDeviceD2;
    d3.DeviceState = PowerDeviceD3;
    EXPECT_EQ(setPower(device, DevicePowerState, d2), ULONG(PowerDeviceD0));  // the previous state
    EXPECT_EQ(setPower(device, DevicePowerState, d3), ULONG(PowerDeviceD2));
    IoDeleteDevice(device);
    platform::DeleteDriverObject(driver);
    platform::ClearPowerStateCalls();

    EXPECT_EQ(platform::KernelRoutine("ntoskrnl.exe", "memcpy"), nullptr);
    EXPECT_EQ(platform::KernelRoutine("HAL.dll", "IofCallDriver"), nullptr);
}

TEST_F(DriverImages, PageableCodeIsTrimmedWhenIrqlRisesAndNamedWhenItRunsThere)
{
    if (!platform::TrimsPageableCode())
        GTEST_SKIP() << "pageable code is not trimmed under qemu-i386";
    auto norva = platform::DriverImage::Load(kNorva);
    ASSERT_TRUE(norva);
    Entered entered(*norva, u"\\Driver\\norva");
    ASSERT_EQ(entered.status, STATUS_SUCCESS);
    PDRIVER_UNLOAD unload = entered.driver->DriverUnload;  // FilterUnload, in PAGE
    ASSERT_EQ(norva->RoutineAt(reinterpret_cast<void *>(unload)), "FilterUnload+0x0");

    // Raising the IRQL trims PAGE; a thread at PASSIVE_LEVEL pages it back
    // in without a finding.
    platform::AtDispatchLevel([] {});
    unload(entered.driver);
    EXPECT_TRUE(platform::Violations().empty());

    platform::ViolationTrap trap;
    platform::AtDispatchLevel([&] { unload(entered.driver); });
    auto violations = TakeViolations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_EQ(violations[0].rule, "PAGEABLE_CODE_AT_DISPATCH_LEVEL");
    EXPECT_EQ(violations[0].detail, "pageable routine norva.sys!FilterUnload+0x0 ran at IRQL 2");
    // norva's own check says the same, as its debug build does on Windows.
    EXPECT_TRUE(testing_support::DebugContains("EX: Pageable code called at IRQL 2"));
    ASSERT_EQ(TakeAssertions().size(), 1u);
    platform::ClearDebugOutput();
}

using DriverImagesDeathTest = DriverImages;

TEST_F(DriverImagesDeathTest, CodeRunInTheDiscardedInitSectionStopsNamingTheRoutine)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto tembris = platform::DriverImage::Load(kTembris);
    ASSERT_TRUE(tembris);
    Entered entered(*tembris, u"\\Driver\\tembris");
    ASSERT_EQ(entered.status, STATUS_SUCCESS);
    PDRIVER_INITIALIZE entry = tembris->entryPoint();
    EXPECT_DEATH(entry(entered.driver, &entered.driver->DriverExtension->ServiceKeyName),
                 "rule CODE_IN_DISCARDED_INIT broken: tembris.sys!DriverEntry\\+0x0 ran after DriverEntry returned "
                 "and the loader discarded tembris.sys's INIT section");
}

TEST(DriverImagesHost, ImagesAreRefusedOutsideThe32BitBuild)
{
    if (sizeof(void *) == 4)
        GTEST_SKIP() << "this is the 32-bit build";
    std::string error;
    EXPECT_FALSE(platform::DriverImage::Load(kNorva, &error));
    EXPECT_EQ(error, "norva.sys: PE32 driver images run only in the 32-bit build (build/host32)");
}
