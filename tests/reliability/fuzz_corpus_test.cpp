// fuzz_corpus_test.cpp - the malicious converter's seed corpus and every
// input a fuzzer found a fault with, run through the whole world in the
// ordinary build: each one ends with both drivers unloaded, no rule broken,
// no assertion and nothing left.
#include "reliability.hpp"

#include <device_script.hpp>

#include <filesystem>
#include <fstream>

namespace reliability {
namespace {

std::vector<std::filesystem::path> Inputs(const char *folder)
{
    std::vector<std::filesystem::path> files;
    for (const auto &entry : std::filesystem::directory_iterator(std::filesystem::path(SOURCE_DIR) / folder))
        if (entry.is_regular_file())
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<uint8_t> Read(const std::filesystem::path &file)
{
    std::ifstream in(file, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void RunAll(const char *folder, size_t atLeast)
{
    auto files = Inputs(folder);
    EXPECT_GE(files.size(), atLeast) << folder;
    for (const auto &file : files) {
        Watchdog dog(60s, file.filename().string());
        platform::ViolationTrap trap;  // findings go into the report below
        fuzzing::RunReport report = fuzzing::RunConverterScript(Read(file));
        EXPECT_EQ("", report.leaks) << file.filename().string() << ":\n" << platform::DebugText();
        platform::ResetRecords();
    }
}

class FuzzCorpus : public testing_support::KernelTest {};

TEST_F(FuzzCorpus, EverySeedConverterRunsClean) { RunAll("fuzz/corpus/converter", 30); }

TEST_F(FuzzCorpus, EveryFoundFaultStaysFixed) { RunAll("fuzz/regressions/converter", 1); }

TEST_F(FuzzCorpus, AWellFormedConverterCarriesDataThroughTheWholePlan)
{
    fuzzing::RunReport report = fuzzing::RunConverterScript(Read(std::filesystem::path(SOURCE_DIR) /
                                                                "fuzz/corpus/converter/variant1"),
                                                           std::chrono::seconds(5));
    EXPECT_TRUE(report.started);
    EXPECT_TRUE(report.opened);
    EXPECT_GT(report.opsUsed, 5u);
    EXPECT_GT(report.bytesRead, 0u);
    EXPECT_EQ("", report.leaks);
}

TEST_F(FuzzCorpus, AnInputSurvivesItsOwnLayout)
{
    fuzzing::Input in;
    in.endPointCaps = 3;
    in.win98Unplug = true;
    in.unplugAfter = 4;
    in.deviceDescriptor = {1, 2, 3};
    in.configurationDescriptor = {4, 5};
    in.script = {6, 7, 8};
    fuzzing::Input back = fuzzing::Parse(fuzzing::Serialize(in));
    EXPECT_EQ(3u, back.endPointCaps);
    EXPECT_TRUE(back.win98Unplug);
    EXPECT_FALSE(back.closeFirst);
    EXPECT_EQ(4u, back.unplugAfter);
    EXPECT_EQ(in.deviceDescriptor, back.deviceDescriptor);
    EXPECT_EQ(in.configurationDescriptor, back.configurationDescriptor);
    EXPECT_EQ(in.script, back.script);
}

}  // namespace
}  // namespace reliability
