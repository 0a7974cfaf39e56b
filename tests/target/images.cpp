// images.cpp - norva.sys and tembris.sys are loadable Windows kernel drivers.
#include "pe_reader.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>

namespace {

using target::DriverImage;

class DriverImageTest : public ::testing::TestWithParam<const char *> {
protected:
    void SetUp() override {
        image_ = DriverImage::Read(GetParam());
        ASSERT_EQ(image_.Error(), "");
    }

    DriverImage image_;
};

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

TEST_P(DriverImageTest, Is32BitPeForTheNativeSubsystem) {
    const auto &headers = image_.Headers();
    EXPECT_EQ(image_.FileFormat(), "pei-i386");
    ASSERT_TRUE(headers.magic.has_value()) << "objdump -p printed no Magic";
    EXPECT_EQ(*headers.magic, 0x010b) << "not PE32";
    ASSERT_TRUE(headers.subsystem.has_value()) << "objdump -p printed no Subsystem";
    EXPECT_EQ(*headers.subsystem, 1) << "subsystem is not NT native";
    ASSERT_TRUE(headers.characteristics.has_value());
    EXPECT_NE(*headers.characteristics & target::kFile32BitMachine, 0u);
}

TEST_P(DriverImageTest, ImportsOnlyFromKernelHalAndUsbd) {
    const auto &imports = image_.Headers().imports;
    bool kernel = false;
    for (const auto &dll : imports) {
        std::string name = Lower(dll.dll);
        kernel |= name == "ntoskrnl.exe";
        std::string functions;
        for (const auto &f : dll.functions)
            functions += " " + f;
        EXPECT_TRUE(name == "ntoskrnl.exe" || name == "hal.dll" || name == "usbd.sys")
            << GetParam() << ".sys imports from " << dll.dll << ":" << functions;
    }
    EXPECT_TRUE(kernel) << GetParam() << ".sys imports nothing from ntoskrnl.exe";
}

TEST_P(DriverImageTest, StartsAtDriverEntry) {
    const auto *entry = image_.FindSymbol("DriverEntry@8");
    ASSERT_NE(entry, nullptr) << GetParam() << ".sys has no extern \"C\" stdcall DriverEntry";
    ASSERT_TRUE(image_.Headers().entryPoint.has_value());
    EXPECT_EQ(image_.Rva(*entry), image_.Headers().entryPoint);
}

TEST_P(DriverImageTest, CarriesBaseRelocations) {
    // The loader places a driver wherever it finds room.
    ASSERT_TRUE(image_.Headers().characteristics.has_value());
    EXPECT_EQ(*image_.Headers().characteristics & target::kFileRelocsStripped, 0u);
    EXPECT_GT(image_.Headers().relocationSize, 0u);
    EXPECT_NE(image_.FindSection(".reloc"), nullptr);
}

TEST_P(DriverImageTest, ChecksumMatchesTheImage) {
    ASSERT_TRUE(image_.Headers().checkSum.has_value());
    EXPECT_EQ(*image_.Headers().checkSum, target::PeChecksum(image_.Bytes()))
        << "the image was changed after the link without rewriting its checksum";
}

TEST_P(DriverImageTest, NeedsNoRuntimeStartup) {
    // Nothing runs before DriverEntry: no static constructors (they would
    // never be called) and no thread-local storage.
    for (const auto &symbol : image_.Symbols()) {
        EXPECT_EQ(symbol.demangled.rfind("_GLOBAL__sub_", 0), std::string::npos)
            << "static initialiser " << symbol.demangled;
    }
    const auto *ctors = image_.FindSymbol("__CTOR_LIST__");
    const auto *dtors = image_.FindSymbol("__DTOR_LIST__");
    if (ctors && dtors && ctors->section == dtors->section) {
        // An empty list is its two sentinels.
        EXPECT_EQ(dtors->value - ctors->value, 8u) << "the constructor list is not empty";
    }
    EXPECT_EQ(image_.FindSection(".tls"), nullptr);
}

TEST_P(DriverImageTest, InitIsDiscardableCodeAndPageIsKept) {
    for (const auto &section : image_.Sections()) {
        uint32_t flags = section.characteristics;
        if (section.name == "INIT") {
            EXPECT_NE(flags & target::kScnCntCode, 0u) << "INIT is not code";
            EXPECT_NE(flags & target::kScnMemExecute, 0u) << "INIT is not executable";
            EXPECT_NE(flags & target::kScnMemDiscardable, 0u) << "INIT is not discardable";
        } else if (section.name == "PAGE") {
            EXPECT_NE(flags & target::kScnCntCode, 0u) << "PAGE is not code";
            EXPECT_NE(flags & target::kScnMemExecute, 0u) << "PAGE is not executable";
            EXPECT_EQ(flags & target::kScnMemDiscardable, 0u) << "PAGE is discardable";
        } else if (section.name != ".reloc") {
            EXPECT_EQ(flags & target::kScnMemDiscardable, 0u) << section.name << " is discardable";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Target, DriverImageTest, ::testing::Values("norva", "tembris"),
                         [](const auto &info) { return std::string(info.param); });

}  // namespace
