// Pool accounting, the leak report and fault injection.
#include "fixture.hpp"

#include <cstdio>
#include <cstdlib>
#include <vector>

using testing_support::KernelTest;

namespace {
class Pool : public KernelTest {};
constexpr ULONG kTag = platform::MakeTag("Test");
constexpr ULONG kOther = platform::MakeTag("Othr");

// An address in the calling code.
[[gnu::noinline]] const void *Here() { return __builtin_return_address(0); }
}  // namespace

TEST_F(Pool, BlocksAreAccountedPerTagAndReportedWhenLeft)
{
    PVOID a = ExAllocatePoolWithTag(NonPagedPool, 100, kTag);
    PVOID b = ExAllocatePoolWithTag(PagedPool, 28, kTag);
    PVOID c = ExAllocatePoolWithTag(NonPagedPool, 8, kOther);
    auto use = platform::PoolByTag();
    EXPECT_EQ(2u, use["Test"].blocks);
    EXPECT_EQ(128u, use["Test"].bytes);
    EXPECT_EQ(1u, use["Othr"].blocks);
    POOL_TYPE type;
    ULONG tag;
    size_t size;
    ASSERT_TRUE(platform::IsPoolBlock(b, &type, &tag, &size));
    EXPECT_EQ(PagedPool, type);
    EXPECT_EQ(kTag, tag);
    EXPECT_EQ(28u, size);
    ExFreePool(a);
    ExFreePool(c);
    EXPECT_EQ("pool tag 'Test': 1 block(s), 28 byte(s) not freed\n", platform::PoolLeakReport());
    ExFreePool(b);
    EXPECT_EQ("", platform::PoolLeakReport());
}

TEST_F(Pool, DoubleFreeAndZeroByteRequestsAreCaught)
{
    platform::ViolationTrap trap;
    PVOID a = ExAllocatePoolWithTag(NonPagedPool, 4, kTag);
    ExFreePool(a);
    ExFreePool(a);
    PVOID empty = ExAllocatePoolWithTag(PagedPool, 0, kOther);
    EXPECT_NE(nullptr, empty) << "a block all the same, as Windows gives one";
    ExFreePool(empty);
    auto violations = TakeViolations();
    ASSERT_EQ(2u, violations.size());
    EXPECT_EQ("BAD_POOL_CALLER", violations[0].rule);
    EXPECT_EQ("ZERO_BYTE_POOL_ALLOCATION", violations[1].rule);
    EXPECT_NE(std::string::npos, violations[1].detail.find("'Othr'")) << violations[1].detail;
}

// Every byte of a new block holds the fresh pattern, whatever its size and
// whether it is new from the heap or a kept block that the free filled with
// the freed pattern.
TEST_F(Pool, EveryByteOfANewBlockIsFilledAtEverySize)
{
    std::vector<size_t> sizes;
    for (size_t n = 1; n <= 200; ++n)
        sizes.push_back(n);
    for (size_t n : {255u, 1023u, 1024u, 4095u, 4096u, 4097u, 8192u, 8193u, 20000u})
        sizes.push_back(n);
    for (int round = 0; round < 2; ++round) {  // the second takes the blocks the first freed
        for (size_t n : sizes) {
            auto *p = static_cast<const UCHAR *>(ExAllocatePoolWithTag(NonPagedPool, n, kTag));
            ASSERT_NE(nullptr, p);
            size_t filled = 0;
            while (filled < n && p[filled] == 0xCD)
                ++filled;
            EXPECT_EQ(n, filled) << "block of " << n << " bytes, round " << round;
            ExFreePool(const_cast<UCHAR *>(p));
        }
    }
}

// Each allocation is counted for the module that asked for it, from any
// number of places in it.
TEST_F(Pool, AllocationsAreCountedForTheModuleThatMadeThem)
{
    const std::string test = platform::ModuleNameAt(Here());
    ASSERT_FALSE(test.empty());
    const uint64_t before = platform::PoolAllocationsByModule()[test];
    std::vector<PVOID> blocks;
    for (int i = 0; i < 3; ++i) {  // seven places, taken in turn
        blocks.push_back(ExAllocatePoolWithTag(NonPagedPool, 8, kTag));
        blocks.push_back(ExAllocatePoolWithTag(NonPagedPool, 16, kTag));
        blocks.push_back(ExAllocatePoolWithTag(PagedPool, 24, kTag));
        blocks.push_back(ExAllocatePoolWithTag(PagedPool, 32, kOther));
        blocks.push_back(ExAllocatePool(NonPagedPool, 40));
        blocks.push_back(ExAllocatePoolWithTag(NonPagedPool, 48, kOther));
        blocks.push_back(ExAllocatePoolWithTag(NonPagedPool, 56, kTag));
    }
    EXPECT_EQ(before + 21, platform::PoolAllocationsByModule()[test]);
    for (PVOID p : blocks)
        ExFreePool(p);
}

// Thousands of blocks at once, freed in a scattered order: every block
// still outstanding is known with its own size after each free, and a freed
// one is not (the block map keeps its records in one table and closes the
// gaps a free leaves).
TEST_F(Pool, ManyBlocksFreedInAnyOrderStayKnownUntilFreed)
{
    constexpr size_t kBlocks = 3000;
    std::vector<PVOID> blocks;
    for (size_t i = 0; i < kBlocks; ++i)
        blocks.push_back(ExAllocatePoolWithTag(NonPagedPool, 1 + i % 97, kTag));
    std::vector<size_t> order(kBlocks);
    for (size_t i = 0; i < kBlocks; ++i)
        order[i] = (i * 1237) % kBlocks;  // 1237 is prime to 3000: each index once
    for (size_t n = 0; n < kBlocks; ++n) {
        size_t i = order[n];
        ExFreePool(blocks[i]);
        blocks[i] = nullptr;
        if (n % 250 != 0 && n + 1 != kBlocks)
            continue;
        size_t known = 0;
        for (size_t j = 0; j < kBlocks; ++j) {
            size_t size = 0;
            if (!blocks[j])
                continue;
            ASSERT_TRUE(platform::IsPoolBlock(blocks[j], nullptr, nullptr, &size)) << "block " << j << " after " << n;
            ASSERT_EQ(1 + j % 97, size);
            ++known;
        }
        EXPECT_EQ(kBlocks - n - 1, known);
        EXPECT_EQ(kBlocks - n - 1, platform::PoolByTag()["Test"].blocks);
    }
    EXPECT_EQ(0u, platform::PoolBlocksOutstanding());
}

// The guarded pool, without any sanitizer: the byte after a block is an
// inaccessible page, so an overrun faults where it happens.
class GuardedPool : public KernelTest {
protected:
    GuardedPool() { platform::GuardPoolBlocks(true); }
    ~GuardedPool() override { platform::GuardPoolBlocks(false); }
};

TEST_F(GuardedPool, BlocksEndAtAnInaccessiblePageAndAreAccountedAsEver)
{
    auto *p = static_cast<UCHAR *>(ExAllocatePoolWithTag(NonPagedPool, 48, kTag));
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(p) % (2 * sizeof(void *)));
    EXPECT_EQ(0xCD, p[0]) << "filled as special pool fills";
    p[47] = 1;  // its last byte is its own
    EXPECT_EQ(1u, platform::PoolByTag()["Test"].blocks);
    EXPECT_EQ(48u, platform::PoolByTag()["Test"].bytes);
    ExFreePool(p);
    EXPECT_EQ("", platform::PoolLeakReport());
}

TEST_F(GuardedPool, AWritePastTheEndFaultsAtOnce)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            auto *p = static_cast<UCHAR *>(ExAllocatePoolWithTag(NonPagedPool, 64, kTag));
            if (!p)
                std::exit(0);
            p[64] = 0x55;  // one byte past the end
            std::fprintf(stderr, "the overrun did not fault\n");
            std::exit(0);
        },
        "");
    EXPECT_DEATH(
        {
            auto *p = static_cast<volatile UCHAR *>(ExAllocatePoolWithTag(PagedPool, 16, kTag));
            if (!p)
                std::exit(0);
            ExFreePool(const_cast<UCHAR *>(p));
            p[0] = 1;  // after the free
            std::exit(0);
        },
        "");
}

TEST_F(GuardedPool, AWriteIntoTheAlignmentSlackIsNamedAtTheFree)
{
    platform::ViolationTrap trap;
    auto *p = static_cast<UCHAR *>(ExAllocatePoolWithTag(NonPagedPool, 5, kTag));
    p[5] = 0;  // inside the block's rounding, before the inaccessible page
    ExFreePool(p);
    auto violations = TakeViolations();
    ASSERT_EQ(1u, violations.size());
    EXPECT_EQ("POOL_BLOCK_OVERRUN", violations[0].rule);
}

TEST_F(Pool, TheNthAllocationFailsOnceAndCountsIrpsAndMdls)
{
    platform::FailAllocationNumber(3);
    PVOID a = ExAllocatePoolWithTag(NonPagedPool, 4, kTag);  // 1
    PIRP irp = IoAllocateIrp(1, FALSE);                      // 2
    PMDL mdl = IoAllocateMdl(a, 4, FALSE, FALSE, nullptr);   // 3: fails
    EXPECT_NE(nullptr, a);
    EXPECT_NE(nullptr, irp);
    EXPECT_EQ(nullptr, mdl);
    mdl = IoAllocateMdl(a, 4, FALSE, FALSE, nullptr);
    EXPECT_NE(nullptr, mdl);
    IoFreeMdl(mdl);
    IoFreeIrp(irp);
    ExFreePool(a);
}

TEST_F(Pool, AllocationsWithATagFailAsOftenAsAsked)
{
    platform::FailAllocationsWithTag(kTag, 2);
    EXPECT_EQ(nullptr, ExAllocatePoolWithTag(NonPagedPool, 4, kTag));
    PVOID other = ExAllocatePoolWithTag(NonPagedPool, 4, kOther);
    EXPECT_NE(nullptr, other);
    EXPECT_EQ(nullptr, ExAllocatePoolWithTag(NonPagedPool, 4, kTag));
    PVOID third = ExAllocatePoolWithTag(NonPagedPool, 4, kTag);
    EXPECT_NE(nullptr, third);
    ExFreePool(other);
    ExFreePool(third);
}
