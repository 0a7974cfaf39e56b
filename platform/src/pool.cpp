// pool.cpp - paged and non-paged pool with per-tag accounting, the checks
// Driver Verifier's special pool makes (double free, IRQL, zero-byte
// requests), fault injection (fail the n-th allocation, or allocations with
// a tag), and a guarded mode in which every driver block ends where an
// inaccessible page begins, so that a write past its end faults at once.
#include "image.hpp"
#include "kernel.hpp"
#include "pointer_map.hpp"

#include <platform/sanitizers.hpp>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <dlfcn.h>
#include <execinfo.h>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <vector>
#include <unordered_set>

namespace {

// A guarded block's pages: [base, base + span), the last page inaccessible.
struct GuardedSpan {
    uint8_t *base = nullptr;
    size_t span = 0;
};

struct Block {
    enum Flags : uint8_t {
        kKernel = 1,   // the I/O manager's own (IRPs, MDLs, file objects)
        kGuarded = 2,  // a block of the guarded mode: its pages are in Pool::guarded
        kKept = 4,     // freed, and kept for the next allocation of its class
    };
    size_t size;
    ULONG tag;
    uint16_t type;  // the POOL_TYPE
    uint8_t flags;
};

// Blocks of up to kSpareMaxBytes are allocated at the size of their class
// (a multiple of kSpareClassBytes) and, when freed, up to kSpareBytesPerClass
// of each class (at most kSparePerClass blocks) are kept for the next
// allocation of that class instead of going back to the C heap: a driver
// that allocates and frees a record, or a buffer, per transfer then costs no
// malloc and free; its record stays in the block map, marked kept, so
// that neither the free nor the next allocation moves records about.  The
// I/O manager's own blocks (requests, MDLs) share them.  The blocks' accounting, checks and fill patterns are the same
// either way.  Under AddressSanitizer every freed block goes back to the
// heap, so that a driver's use of a block it freed is found there.
constexpr size_t kSpareClassBytes = 16;
constexpr size_t kSpareMaxBytes = 8192;
constexpr size_t kSpareClasses = kSpareMaxBytes / kSpareClassBytes;
constexpr size_t kSparePerClass = 32;
constexpr size_t kSpareBytesPerClass = 32 * 1024;
constexpr size_t kNoSpareClass = ~size_t(0);

// The class of a block of `bytes` (kNoSpareClass for one that is never kept).
size_t SpareClass(size_t bytes)
{
    if (platform::kAddressSanitizer || bytes > kSpareMaxBytes)
        return kNoSpareClass;
    return bytes == 0 ? 0 : (bytes - 1) / kSpareClassBytes;
}

size_t SpareClassBytes(size_t spareClass) { return (spareClass + 1) * kSpareClassBytes; }

// The freed blocks kept for one class, each already filled as a freed block is.
struct SpareList {
    void *blocks[kSparePerClass];
    uint32_t count = 0;
    uint32_t limit = 0;  // how many are kept

    void *Take() { return count ? blocks[--count] : nullptr; }
    bool Keep(void *p)
    {
        if (count == limit)
            return false;
        blocks[count++] = p;
        return true;
    }
};

struct Pool {
    Pool()
    {
        for (size_t c = 0; c < kSpareClasses; ++c)
            spare[c].limit =
                uint32_t(std::min(kSparePerClass, std::max<size_t>(2, kSpareBytesPerClass / SpareClassBytes(c))));
    }

    // Counts an allocation of a caller's for PoolAllocationsByModule.  A
    // driver allocates from a few places, so the counts of the last few
    // callers are kept at hand.
    void CountCaller(const void *caller)
    {
        for (RecentCaller &recent : recentCallers) {
            if (recent.caller == caller) {
                ++*recent.count;
                return;
            }
        }
        CountNewCaller(caller);
    }

    [[gnu::noinline]] void CountNewCaller(const void *caller)
    {
        uint64_t *&count = callers[caller];
        if (!count)
            count = &callerCounts.emplace_back(0);
        ++*count;
        for (unsigned i = kRecentCallers - 1; i > 0; --i)  // the newest first
            recentCallers[i] = recentCallers[i - 1];
        recentCallers[0] = RecentCaller{caller, count};
    }

    // Whether any fault injection is armed (AdmitLocked's short way out).
    void Rearm() { faultsArmed = failAt != 0 || failTagCount != 0 || randomPerMille != 0; }

    platform::ShortLock lock;
    platform::detail::PointerMap<Block> blocks;
    uint64_t attempts = 0;  // counted allocations (pool, IRPs, MDLs)
    bool faultsArmed = false;
    uint64_t failAt = 0;    // attempts value that fails; 0 = none
    ULONG failTag = 0;
    int failTagCount = 0;   // -1 = every allocation with failTag
    uint64_t randomSeed = 0;
    unsigned randomPerMille = 0;  // 0 = no random failures
    uint64_t randomFailures = 0;
    // Pool blocks handed out, by the caller's address: each count stays
    // where it was first placed in callerCounts.
    platform::detail::PointerMap<uint64_t *> callers;
    std::deque<uint64_t> callerCounts;
    struct RecentCaller {
        const void *caller = nullptr;
        uint64_t *count = nullptr;
    };
    static constexpr unsigned kRecentCallers = 4;
    RecentCaller recentCallers[kRecentCallers];
    // The pages of each guarded block handed out.
    platform::detail::PointerMap<GuardedSpan> guarded;
    // Freed guarded blocks stay inaccessible for a while (a later access
    // faults) before their pages go back.
    std::deque<GuardedSpan> retired;
    SpareList spare[kSpareClasses];
};

// The random failure of attempt n depends only on the seed and n, so that a
// run that allocates in the same order fails the same allocations again.
bool RandomFailure(uint64_t seed, uint64_t attempt, unsigned perMille)
{
    uint64_t x = seed + attempt * 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    x ^= x >> 31;
    return x % 1000 < perMille;
}

std::atomic<Pool *> gPool{nullptr};

[[gnu::noinline]] Pool &MakePool()
{
    static Pool *pool = new Pool;  // outlives every static destructor
    gPool.store(pool, std::memory_order_release);
    return *pool;
}

inline Pool &ThePool()
{
    Pool *pool = gPool.load(std::memory_order_acquire);
    return pool ? *pool : MakePool();
}

// Driver images whose allocations the low-resources simulation counts
// when it is limited to drivers.
struct DriverImages {
    platform::ShortLock lock;
    std::unordered_set<const void *> bases;
};

// Whether the low-resources simulation is limited to drivers' allocations.
constinit std::atomic<bool> gOnlyDrivers{false};

DriverImages &Images()
{
    static DriverImages *images = new DriverImages;
    return *images;
}

// Whether a driver image is on the calling thread's stack: the allocation is
// the driver's own, or one the kernel makes for it inside a call.
bool CalledFromDriver()
{
    void *frames[32];
    int n = backtrace(frames, 32);
    DriverImages &images = Images();
    std::lock_guard guard(images.lock);
    for (int i = 1; i < n; ++i) {
        Dl_info info;
        if (dladdr(frames[i], &info) ? images.bases.count(info.dli_fbase) != 0
                                     : images.bases.count(reinterpret_cast<const void *>(platform::detail::ImageBaseAt(frames[i]))) != 0)
            return true;
    }
    return false;
}

bool IsPaged(POOL_TYPE type) { return type == PagedPool || type == PagedPoolCacheAligned; }

// New blocks are filled with a pattern, as special pool does, so that a
// driver relying on zeroed memory it never zeroed is caught.
constexpr unsigned char kFreshFill = 0xCD;
constexpr unsigned char kFreedFill = 0xDD;
// The bytes between a guarded block's end and its alignment boundary.
constexpr unsigned char kSlackFill = 0xA5;
constexpr size_t kRetiredSpansKept = 1024;

// Pool blocks are aligned as Windows aligns them: 8 bytes on x86, 16 on x64.
constexpr size_t kPoolAlignment = 2 * sizeof(void *);

// The guarded mode: off unless VCP_GUARD_POOL is set (to anything but 0)
// or a test turns it on.
int GuardedFromEnvironment()
{
    const char *env = std::getenv("VCP_GUARD_POOL");
    return env && *env && std::strcmp(env, "0") != 0 ? 1 : 0;
}

std::atomic<int> gGuardedMode{GuardedFromEnvironment()};

std::atomic<int> &GuardedMode() { return gGuardedMode; }

size_t PageSize()
{
    static const size_t page = size_t(sysconf(_SC_PAGESIZE));
    return page;
}

// A block whose end (rounded up to the pool alignment) touches an
// inaccessible page.  Null when the pages cannot be had.
void *AllocateGuarded(size_t bytes, GuardedSpan *span)
{
    size_t page = PageSize();
    size_t rounded = (std::max<size_t>(bytes, 1) + kPoolAlignment - 1) & ~(kPoolAlignment - 1);
    size_t usable = (rounded + page - 1) & ~(page - 1);
    size_t total = usable + page;
    void *base = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED)
        return nullptr;
    auto *bytesBase = static_cast<uint8_t *>(base);
    if (mprotect(bytesBase + usable, page, PROT_NONE) != 0) {
        munmap(base, total);
        return nullptr;
    }
    uint8_t *p = bytesBase + usable - rounded;
    std::memset(p + bytes, kSlackFill, rounded - bytes);
    *span = GuardedSpan{bytesBase, total};
    return p;
}

// Whether the slack after a guarded block's end still holds its pattern.
bool SlackIntact(const uint8_t *p, size_t bytes)
{
    size_t rounded = (std::max<size_t>(bytes, 1) + kPoolAlignment - 1) & ~(kPoolAlignment - 1);
    for (size_t i = bytes; i < rounded; ++i)
        if (p[i] != kSlackFill)
            return false;
    return true;
}

// Makes a freed guarded block inaccessible; the oldest retired pages go back.
void RetireGuarded(Pool &pool, const GuardedSpan &span)  // caller holds pool.lock
{
    mprotect(span.base, span.span, PROT_NONE);
    pool.retired.push_back(span);
    if (pool.retired.size() > kRetiredSpansKept) {
        munmap(pool.retired.front().base, pool.retired.front().span);
        pool.retired.pop_front();
    }
}

}  // namespace

namespace {

// Whether an allocation is counted for fault injection: all of them, or only
// those made for a driver when the simulation is limited to drivers.
bool Counted() { return !gOnlyDrivers.load(std::memory_order_relaxed) || CalledFromDriver(); }

// Fault injection when some is armed: whether attempt pool.attempts fails.
bool AdmitArmed(Pool &pool, ULONG tag)  // caller holds pool.lock
{
    bool admit = true;
    if (pool.failAt != 0 && pool.attempts == pool.failAt) {
        pool.failAt = 0;
        admit = false;
    } else if (tag != 0 && pool.failTagCount != 0 && tag == pool.failTag) {
        if (pool.failTagCount > 0)
            --pool.failTagCount;
        admit = false;
    } else if (pool.randomPerMille != 0 && RandomFailure(pool.randomSeed, pool.attempts, pool.randomPerMille)) {
        ++pool.randomFailures;
        admit = false;
    }
    pool.Rearm();
    return admit;
}

// Counts an allocation and says whether it may succeed.
inline bool AdmitLocked(Pool &pool, ULONG tag)  // caller holds pool.lock
{
    ++pool.attempts;
    return !pool.faultsArmed || AdmitArmed(pool, tag);
}

// Fills a block with a pattern (or zeroes).  Every allocation and free
// fills its whole block, so the fill is written as 16-byte stores: glibc's
// memset does a few KiB and more with rep stosb, which costs the hardware
// about as much, but which callgrind counts as one instruction a byte and
// so would swamp the stack's own work in the per-byte counts.
inline void Fill(void *block, unsigned char value, size_t bytes)
{
#if defined(__SSE2__)
    auto *p = static_cast<unsigned char *>(block);
    auto store = [v = _mm_set1_epi8(char(value))](unsigned char *at) {
        _mm_storeu_si128(reinterpret_cast<__m128i *>(at), v);
    };
    if (bytes >= 128) {
        // 128 bytes a round, then the last 128 bytes (overlapping the
        // last round) from the end.
        unsigned char *const last = p + bytes - 128;
        for (; p < last; p += 128) {
            for (int i = 0; i < 128; i += 16)
                store(p + i);
            asm("" : "+r"(p));  // a loop of stores, not a call to memset
        }
        for (int i = 0; i < 128; i += 16)
            store(last + i);
        return;
    }
    // Under 128 bytes: the widest run of stores that fits, once from the
    // start and once up to the end, overlapping in the middle.
    unsigned char *const end = p + bytes;
    if (bytes >= 64) {
        store(p), store(p + 16), store(p + 32), store(p + 48);
        store(end - 64), store(end - 48), store(end - 32), store(end - 16);
        return;
    }
    if (bytes >= 32) {
        store(p), store(p + 16), store(end - 32), store(end - 16);
        return;
    }
    if (bytes >= 16) {
        store(p), store(end - 16);
        return;
    }
    const uint64_t word = 0x0101010101010101ull * value;
    if (bytes >= 8) {
        std::memcpy(p, &word, 8);
        std::memcpy(end - 8, &word, 8);
    } else if (bytes >= 4) {
        std::memcpy(p, &word, 4);
        std::memcpy(end - 4, &word, 4);
    } else if (bytes >= 2) {
        std::memcpy(p, &word, 2);
        std::memcpy(end - 2, &word, 2);
    } else if (bytes == 1) {
        *p = value;
    }
#else
    std::memset(block, value, bytes);
#endif
}

// A kept block handed out again: its record, kept in the map, takes the new
// allocation's details.
inline void Reuse(Pool &pool, void *p, const Block &block)  // caller holds pool.lock
{
    if (Block *record = pool.blocks.Find(p)) [[likely]]
        *record = block;
    else
        pool.blocks[p] = block;
}

// A freed block (already filled): kept for the next allocation of its class
// if there is room, its record marked kept; otherwise its record goes, and
// the caller gives the block back to the heap (false).
inline bool KeepOrErase(Pool &pool, void *p, Block *record)  // caller holds pool.lock
{
    const size_t spareClass = SpareClass(record->size);
    if (spareClass != kNoSpareClass && pool.spare[spareClass].Keep(p)) {
        record->flags |= Block::kKept;
        return true;
    }
    pool.blocks.Erase(record);
    return false;
}

}  // namespace

bool platform::detail::AdmitAllocation(ULONG tag)
{
    if (!Counted())
        return true;  // the world's own allocations neither count nor fail
    Pool &pool = ThePool();
    std::lock_guard guard(pool.lock);
    return AdmitLocked(pool, tag);
}

void *platform::detail::KernelAlloc(size_t size)
{
    const size_t spareClass = SpareClass(size);
    Pool &pool = ThePool();
    void *p = nullptr;
    {
        std::lock_guard guard(pool.lock);
        if (spareClass != kNoSpareClass && (p = pool.spare[spareClass].Take()) != nullptr)
            Reuse(pool, p, Block{size, 0, NonPagedPool, Block::kKernel});
    }
    if (p) {
        Fill(p, 0, size);
        return p;
    }
    p = std::calloc(1, spareClass != kNoSpareClass ? SpareClassBytes(spareClass) : size ? size : 1);
    std::lock_guard guard(pool.lock);
    pool.blocks[p] = Block{size, 0, NonPagedPool, Block::kKernel};
    return p;
}

void platform::detail::KernelFree(void *p)
{
    if (!p)
        return;
    Pool &pool = ThePool();
    {
        std::lock_guard guard(pool.lock);
        Block *block = pool.blocks.Find(p);
        if (!block || (block->flags & (Block::kKernel | Block::kKept)) != Block::kKernel) {
            ViolateF("BAD_POOL_CALLER", "kernel object %p freed twice or never allocated", p);
            return;
        }
        // Filled before another thread can have it from the kept blocks.
        Fill(p, kFreedFill, block->size);
        if (KeepOrErase(pool, p, block))
            return;
    }
    std::free(p);
}

using namespace platform::detail;

namespace {

[[gnu::cold]] void ReportAllocationIrql(POOL_TYPE type, SIZE_T bytes, ULONG tag, KIRQL irql)
{
    ViolateF("IRQL_NOT_LESS_OR_EQUAL", "%s pool allocation of %zu bytes (tag '%s') at IRQL %u",
             IsPaged(type) ? "paged" : "non-paged", (size_t)bytes, platform::TagName(tag).c_str(), irql);
}

[[gnu::cold]] void ReportZeroBytes(POOL_TYPE type, ULONG tag)
{
    ViolateF("ZERO_BYTE_POOL_ALLOCATION", "%s pool allocation of 0 bytes (tag '%s')",
             IsPaged(type) ? "paged" : "non-paged", platform::TagName(tag).c_str());
}

// A block from the C heap or the guarded pages, for an allocation that
// found no kept block of its class (already admitted and counted).
PVOID AllocateNew(Pool &pool, POOL_TYPE type, SIZE_T bytes, ULONG tag, const void *caller, size_t spareClass,
                  bool guarded)
{
    GuardedSpan span{};
    void *p;
    if (guarded)
        p = AllocateGuarded(bytes, &span);
    else
        p = std::malloc(spareClass != kNoSpareClass ? SpareClassBytes(spareClass) : bytes ? bytes : 1);
    if (!p)
        return nullptr;
    Fill(p, kFreshFill, bytes);
    std::lock_guard guard(pool.lock);
    pool.blocks[p] = Block{bytes, tag, uint16_t(type), uint8_t(guarded ? Block::kGuarded : 0)};
    if (guarded)
        pool.guarded[p] = span;
    pool.CountCaller(caller);
    return p;
}

PVOID AllocatePool(POOL_TYPE type, SIZE_T bytes, ULONG tag, const void *caller)
{
    KIRQL irql = ThreadIrql();
    if (IsPaged(type) ? irql > APC_LEVEL : irql > DISPATCH_LEVEL) [[unlikely]] {
        ReportAllocationIrql(type, bytes, tag, irql);
        return nullptr;
    }
    if (bytes == 0) [[unlikely]]
        ReportZeroBytes(type, tag);
    const bool counted = Counted();
    const bool guarded = GuardedMode().load(std::memory_order_relaxed) != 0;
    const size_t spareClass = guarded ? kNoSpareClass : SpareClass(bytes);
    Pool &pool = ThePool();
    void *p = nullptr;
    {
        std::lock_guard guard(pool.lock);
        if (counted && !AdmitLocked(pool, tag))
            return nullptr;
        if (spareClass != kNoSpareClass && (p = pool.spare[spareClass].Take()) != nullptr) {
            Reuse(pool, p, Block{bytes, tag, uint16_t(type), 0});
            pool.CountCaller(caller);
        }
    }
    if (!p)
        return AllocateNew(pool, type, bytes, tag, caller, spareClass, guarded);
    Fill(p, kFreshFill, bytes);
    return p;
}

// The checks of a free that found its block (the caller holds pool.lock).
[[gnu::cold]] void ReportFreeIrql(PVOID p, POOL_TYPE type, KIRQL irql)
{
    ViolateF("IRQL_NOT_LESS_OR_EQUAL", "ExFreePool(%p) of %s pool at IRQL %u", p, IsPaged(type) ? "paged" : "non-paged",
             irql);
}

[[gnu::cold]] void ReportFreeTag(PVOID p, ULONG tag, ULONG blockTag)
{
    ViolateF("BAD_POOL_CALLER", "ExFreePoolWithTag(%p, '%s') of a block tagged '%s'", p, platform::TagName(tag).c_str(),
             platform::TagName(blockTag).c_str());
}

// Frees a guarded block: its slack checked, its pages made inaccessible.
void FreeGuarded(Pool &pool, PVOID p, Block *found)  // caller holds pool.lock
{
    const size_t size = found->size;
    const ULONG tag = found->tag;
    pool.blocks.Erase(found);
    GuardedSpan *span = pool.guarded.Find(p);
    if (!SlackIntact(static_cast<const uint8_t *>(p), size))
        ViolateF("POOL_BLOCK_OVERRUN",
                 "pool block %p of %zu bytes (tag '%s') was written past its end, within its alignment", p, size,
                 platform::TagName(tag).c_str());
    if (span) {
        GuardedSpan pages = *span;
        pool.guarded.Erase(span);
        RetireGuarded(pool, pages);
    }
}

inline void FreePool(PVOID p, ULONG tag)
{
    if (!p) {
        ViolateF("BAD_POOL_CALLER", "ExFreePool(NULL)");
        return;
    }
    const KIRQL irql = ThreadIrql();
    Pool &pool = ThePool();
    {
        std::lock_guard guard(pool.lock);
        Block *found = pool.blocks.Find(p);
        if (!found || (found->flags & (Block::kKernel | Block::kKept))) [[unlikely]] {
            ViolateF("BAD_POOL_CALLER", "ExFreePool(%p): not a pool block, or freed twice", p);
            return;
        }
        const POOL_TYPE type = POOL_TYPE(found->type);
        if (IsPaged(type) ? irql > APC_LEVEL : irql > DISPATCH_LEVEL) [[unlikely]]
            ReportFreeIrql(p, type, irql);
        if (tag != 0 && tag != found->tag) [[unlikely]]
            ReportFreeTag(p, tag, found->tag);
        // Filled before another thread can have it from the kept blocks.
        Fill(p, kFreedFill, found->size);
        if (found->flags & Block::kGuarded) [[unlikely]] {
            FreeGuarded(pool, p, found);
            return;
        }
        if (KeepOrErase(pool, p, found))
            return;
    }
    std::free(p);
}

}  // namespace

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T bytes, ULONG tag)
{
    return AllocatePool(type, bytes, tag, __builtin_return_address(0));
}

PVOID NTAPI ExAllocatePool(POOL_TYPE type, SIZE_T bytes)
{
    return AllocatePool(type, bytes, platform::MakeTag("None"), __builtin_return_address(0));
}

void NTAPI ExFreePoolWithTag(PVOID p, ULONG tag) { FreePool(p, tag); }

void NTAPI ExFreePool(PVOID p) { FreePool(p, 0); }

}  // extern "C"

namespace platform {

void GuardPoolBlocks(bool on) { GuardedMode().store(on ? 1 : 0); }
bool PoolBlocksGuarded() { return GuardedMode().load() != 0; }

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
    std::lock_guard guard(pool.lock);
    uint64_t n = 0;
    pool.blocks.ForEach(
        [&](const void *, const Block &block) { n += block.flags & (Block::kKernel | Block::kKept) ? 0 : 1; });
    return n;
}

std::map<std::string, PoolTagUse> PoolByTag()
{
    Pool &pool = ThePool();
    std::lock_guard guard(pool.lock);
    std::map<std::string, PoolTagUse> use;
    pool.blocks.ForEach([&](const void *, const Block &block) {
        if (block.flags & (Block::kKernel | Block::kKept))
            return;
        auto &u = use[TagName(block.tag)];
        ++u.blocks;
        u.bytes += block.size;
    });
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
    std::lock_guard guard(pool.lock);
    return pool.attempts;
}

std::map<std::string, uint64_t> PoolAllocationsByModule()
{
    std::vector<std::pair<const void *, uint64_t>> callers;
    {
        Pool &pool = ThePool();
        std::lock_guard guard(pool.lock);
        callers.reserve(pool.callers.size());
        pool.callers.ForEach(
            [&](const void *address, const uint64_t *count) { callers.emplace_back(address, *count); });
    }
    std::map<std::string, uint64_t> byModule;
    for (const auto &[address, count] : callers) {
        std::string name = ModuleNameAt(address);
        byModule[name.empty() ? "?" : name] += count;
    }
    return byModule;
}

std::string ModuleNameAt(const void *address)
{
    std::string name = ImageNameAt(address);  // a driver image (.sys)
    Dl_info info{};
    if (name.empty() && address && dladdr(address, &info) && info.dli_fname) {
        name = info.dli_fname;
        name = name.substr(name.rfind('/') + 1);
    }
    return name;
}

uint64_t PoolAllocationsOfDriver(std::string_view driver)
{
    uint64_t n = 0;
    for (const auto &[module, count] : PoolAllocationsByModule()) {
        if (module == std::string(driver) + ".so" || module == std::string(driver) + ".sys")
            n += count;
    }
    return n;
}

bool IsPoolBlock(const void *p, POOL_TYPE *type, ULONG *tag, size_t *size)
{
    Pool &pool = ThePool();
    std::lock_guard guard(pool.lock);
    const Block *block = pool.blocks.Find(p);
    if (!block || (block->flags & (Block::kKernel | Block::kKept)))
        return false;
    if (type)
        *type = POOL_TYPE(block->type);
    if (tag)
        *tag = block->tag;
    if (size)
        *size = block->size;
    return true;
}

void FailAllocationNumber(uint64_t n)
{
    Pool &pool = ThePool();
    std::lock_guard guard(pool.lock);
    pool.failAt = n ? pool.attempts + n : 0;
    pool.Rearm();
}

void FailAllocationsWithTag(ULONG tag, int count)
{
    Pool &pool = ThePool();
    std::lock_guard guard(pool.lock);
    pool.failTag = tag;
    pool.failTagCount = count;
    pool.Rearm();
}

void RegisterDriverImage(const void *address)
{
    const void *base = reinterpret_cast<const void *>(ImageBaseAt(address));
    Dl_info info;
    if (!base && dladdr(address, &info))
        base = info.dli_fbase;
    if (!base)
        return;
    std::lock_guard guard(Images().lock);
    Images().bases.insert(base);
}

void LimitAllocationFaultsToDrivers(bool on) { gOnlyDrivers.store(on); }

void FailAllocationsRandomly(uint64_t seed, unsigned perMille)
{
    Pool &pool = ThePool();
    std::lock_guard guard(pool.lock);
    pool.randomSeed = seed;
    pool.randomPerMille = perMille;
    pool.randomFailures = 0;
    pool.Rearm();
}

uint64_t RandomAllocationFailures()
{
    Pool &pool = ThePool();
    std::lock_guard guard(pool.lock);
    return pool.randomFailures;
}

void ClearAllocationFaults()
{
    Pool &pool = ThePool();
    std::lock_guard guard(pool.lock);
    pool.failAt = 0;
    pool.failTag = 0;
    pool.failTagCount = 0;
    pool.randomPerMille = 0;
    pool.Rearm();
}

}  // namespace platform
