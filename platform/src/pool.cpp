// pool.cpp - paged and non-paged pool with per-tag accounting, the checks
// Driver Verifier's special pool makes (double free, IRQL), and fault
// injection (fail the n-th allocation, or allocations with a tag).
#include "kernel.hpp"

#include <cstdlib>
#include <cstring>
#include <unordered_map>

namespace {

struct Block {
    POOL_TYPE type;
    ULONG tag;
    size_t size;
    bool kernel;  // the I/O manager's own (IRPs, MDLs, file objects)
};

struct Pool {
    std::mutex lock;
    std::unordered_map<void *, Block> blocks;
    uint64_t attempts = 0;  // counted allocations (pool, IRPs, MDLs)
    uint64_t failAt = 0;    // attempts value that fails; 0 = none
    ULONG failTag = 0;
    int failTagCount = 0;   // -1 = every allocation with failTag
};

Pool &ThePool()
{
    static Pool *pool = new Pool;  // outlives every static destructor
    return *pool;
}

bool IsPaged(POOL_TYPE type) { return type == PagedPool || type == PagedPoolCacheAligned; }

// New blocks are filled with a pattern, as special pool does, so that a
// driver relying on zeroed memory it never zeroed is caught.
constexpr unsigned char kFreshFill = 0xCD;
constexpr unsigned char kFreedFill = 0xDD;

}  // namespace

bool platform::detail::AdmitAllocation(ULONG tag)
{
    Pool &pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    ++pool.attempts;
    if (pool.failAt != 0 && pool.attempts == pool.failAt) {
        pool.failAt = 0;
        return false;
    }
    if (tag != 0 && pool.failTagCount != 0 && tag == pool.failTag) {
        if (pool.failTagCount > 0)
            --pool.failTagCount;
        return false;
    }
    return true;
}

void *platform::detail::KernelAlloc(size_t size)
{
    void *p = std::calloc(1, size ? size : 1);
    Pool &pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    pool.blocks[p] = Block{NonPagedPool, 0, size, true};
    return p;
}

void platform::detail::KernelFree(void *p)
{
    if (!p)
        return;
    Pool &pool = ThePool();
    {
        std::lock_guard<std::mutex> guard(pool.lock);
        auto it = pool.blocks.find(p);
        if (it == pool.blocks.end() || !it->second.kernel) {
            ViolateF("BAD_POOL_CALLER", "kernel object %p freed twice or never allocated", p);
            return;
        }
        std::memset(p, kFreedFill, it->second.size);
        pool.blocks.erase(it);
    }
    std::free(p);
}

using namespace platform::detail;

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T bytes, ULONG tag)
{
    KIRQL irql = ThreadIrql();
    if (IsPaged(type) ? irql > APC_LEVEL : irql > DISPATCH_LEVEL) {
        ViolateF("IRQL_NOT_LESS_OR_EQUAL", "%s pool allocation of %zu bytes (tag '%s') at IRQL %u",
                 IsPaged(type) ? "paged" : "non-paged", (size_t)bytes, platform::TagName(tag).c_str(), irql);
        return nullptr;
    }
    if (!AdmitAllocation(tag))
        return nullptr;
    void *p = std::malloc(bytes ? bytes : 1);
    if (!p)
        return nullptr;
    std::memset(p, kFreshFill, bytes);
    Pool &pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    pool.blocks[p] = Block{type, tag, bytes, false};
    return p;
}

PVOID NTAPI ExAllocatePool(POOL_TYPE type, SIZE_T bytes)
{
    return ExAllocatePoolWithTag(type, bytes, platform::MakeTag("None"));
}

void NTAPI ExFreePoolWithTag(PVOID p, ULONG tag)
{
    if (!p) {
        ViolateF("BAD_POOL_CALLER", "ExFreePool(NULL)");
        return;
    }
    Pool &pool = ThePool();
    {
        std::lock_guard<std::mutex> guard(pool.lock);
        auto it = pool.blocks.find(p);
        if (it == pool.blocks.end() || it->second.kernel) {
            ViolateF("BAD_POOL_CALLER", "ExFreePool(%p): not a pool block, or freed twice", p);
            return;
        }
        KIRQL irql = ThreadIrql();
        if (IsPaged(it->second.type) ? irql > APC_LEVEL : irql > DISPATCH_LEVEL) {
            ViolateF("IRQL_NOT_LESS_OR_EQUAL", "ExFreePool(%p) of %s pool at IRQL %u", p,
                     IsPaged(it->second.type) ? "paged" : "non-paged", irql);
        }
        if (tag != 0 && tag != it->second.tag) {
            ViolateF("BAD_POOL_CALLER", "ExFreePoolWithTag(%p, '%s') of a block tagged '%s'", p,
                     platform::TagName(tag).c_str(), platform::TagName(it->second.tag).c_str());
        }
        std::memset(p, kFreedFill, it->second.size);
        pool.blocks.erase(it);
    }
    std::free(p);
}

void NTAPI ExFreePool(PVOID p) { ExFreePoolWithTag(p, 0); }

}  // extern "C"

namespace platform {

std::string TagName(ULONG tag)
{
    std::string name;
    for (int i = 0; i < 4; ++i) {
        char c = char((tag >> (8 * i)) & 0xFF);
        name += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return name;
}

uint64_t PoolBlocksOutstanding()
{
    Pool &pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    uint64_t n = 0;
    for (auto &[p, block] : pool.blocks)
        n += block.kernel ? 0 : 1;
    return n;
}

std::map<std::string, PoolTagUse> PoolByTag()
{
    Pool &pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    std::map<std::string, PoolTagUse> use;
    for (auto &[p, block] : pool.blocks) {
        if (block.kernel)
            continue;
        auto &u = use[TagName(block.tag)];
        ++u.blocks;
        u.bytes += block.size;
    }
    return use;
}

std::string PoolLeakReport()
{
    std::string report;
    for (auto &[tag, use] : PoolByTag())
        report += "pool tag '" + tag + "': " + std::to_string(use.blocks) + " block(s), " +
                  std::to_string(use.bytes) + " byte(s) not freed\n";
    return report;
}

uint64_t PoolAllocationCount()
{
    Pool &pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    return pool.attempts;
}

bool IsPoolBlock(const void *p, POOL_TYPE *type, ULONG *tag, size_t *size)
{
    Pool &pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    auto it = pool.blocks.find(const_cast<void *>(p));
    if (it == pool.blocks.end() || it->second.kernel)
        return false;
    if (type)
        *type = it->second.type;
    if (tag)
        *tag = it->second.tag;
    if (size)
        *size = it->second.size;
    return true;
}

void FailAllocationNumber(uint64_t n)
{
    Pool &pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    pool.failAt = n ? pool.attempts + n : 0;
}

void FailAllocationsWithTag(ULONG tag, int count)
{
    Pool &pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    pool.failTag = tag;
    pool.failTagCount = count;
}

void ClearAllocationFaults()
{
    Pool &pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    pool.failAt = 0;
    pool.failTag = 0;
    pool.failTagCount = 0;
}

}  // namespace platform
