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

// The harness is only worth its fuzzing if a sound device gets data all the
// way to the reader.  Which pipe asks first depends on thread timing, so the
// device answers every pipe the same way: each entry is eight bytes of data,
// far more entries than the plan before the read can use up.
TEST_F(FuzzCorpus, AWellFormedConverterCarriesDataThroughTheWholePlan)
{
    fuzzing::Input in = fuzzing::Parse(Read(std::filesystem::path(SOURCE_DIR) / "fuzz/corpus/converter/variant1"));
    in.script.clear();
    for (int entry = 0; entry < 256; ++entry) {
        const uint8_t data[] = {uint8_t(fuzzing::Op::Data), 8, 'a', 'b', 'c', 'd', 'e', 'f', 'g', uint8_t('0' + entry % 10)};
        in.script.insert(in.script.end(), std::begin(data), std::end(data));
    }
    fuzzing::RunReport report = fuzzing::RunConverterScript(fuzzing::Serialize(in), std::chrono::seconds(5));
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
