// exports.cpp - the export directories: norva's is its .def file, tembris has none.
#include "pe_reader.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

namespace {

using target::DriverImage;

target::DefFile NorvaDef() {
    std::ifstream in(std::string(SOURCE_DIR) + "/norva/norva.def");
    std::stringstream text;
    text << in.rdbuf();
    return target::ParseDefFile(text.str());
}

class NorvaExports : public ::testing::Test {
protected:
    void SetUp() override {
        image_ = DriverImage::Read("norva");
        ASSERT_EQ(image_.Error(), "");
        ASSERT_TRUE(image_.Headers().exports.has_value()) << "norva.sys has no export directory";
    }

    const target::ExportTable &Exports() const { return *image_.Headers().exports; }

    DriverImage image_;
};

TEST_F(NorvaExports, NameTheModuleNorvaDll) {
    EXPECT_EQ(Exports().module, "norva.dll");
    EXPECT_EQ(NorvaDef().library, "norva.dll");
}

TEST_F(NorvaExports, ListExactlyWhatTheDefFileNames) {
    auto def = NorvaDef();
    std::vector<target::ExportEntry> exported;
    for (const auto &e : Exports().entries)
        exported.push_back({e.ordinal, e.name});
    EXPECT_EQ(exported.size(), def.exports.size());
    for (const auto &want : def.exports) {
        EXPECT_NE(std::find(exported.begin(), exported.end(), want), exported.end())
            << "norva.sys does not export " << want.name << " at ordinal " << want.ordinal;
    }
    for (const auto &have : exported) {
        EXPECT_NE(std::find(def.exports.begin(), def.exports.end(), have), def.exports.end())
            << "norva.sys exports " << have.name << " at ordinal " << have.ordinal
            << ", which norva.def does not list";
    }
    // No ordinal slot without a name.
    EXPECT_EQ(Exports().addressCount, Exports().entries.size());
}

TEST_F(NorvaExports, AreUndecoratedNamesOfTheirRoutines) {
    for (const auto &e : Exports().entries) {
        EXPECT_EQ(e.name.find('@'), std::string::npos) << e.name << " carries a stdcall suffix";
        EXPECT_NE(e.name.front(), '_') << e.name << " carries a prefix";
        auto routines = image_.Routines(e.name);
        ASSERT_EQ(routines.size(), 1u) << e.name << ": no single routine of that name";
        EXPECT_EQ(image_.Rva(*routines.front()), e.rva) << e.name << " points elsewhere";
    }
}

TEST(TembrisExports, NameNothing) {
    auto image = DriverImage::Read("tembris");
    ASSERT_EQ(image.Error(), "");
    if (!image.Headers().exports)
        return;
    EXPECT_EQ(image.Headers().exports->addressCount, 0u);
    for (const auto &e : image.Headers().exports->entries)
        ADD_FAILURE() << "tembris.sys exports " << e.name;
}

}  // namespace
