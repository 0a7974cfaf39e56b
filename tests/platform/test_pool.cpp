// Pool accounting, the leak report and fault injection.
#include "fixture.hpp"

using testing_support::KernelTest;

namespace {
class Pool : public KernelTest {};
constexpr ULONG kTag = platform::MakeTag("Test");
constexpr ULONG kOther = platform::MakeTag("Othr");
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

TEST_F(Pool, DoubleFreeIsCaught)
{
    platform::ViolationTrap trap;
    PVOID a = ExAllocatePoolWithTag(NonPagedPool, 4, kTag);
    ExFreePool(a);
    ExFreePool(a);
    auto violations = TakeViolations();
    ASSERT_EQ(1u, violations.size());
    EXPECT_EQ("BAD_POOL_CALLER", violations[0].rule);
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
