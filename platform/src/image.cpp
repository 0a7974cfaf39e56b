// image.cpp - the loader of driver images: the target build's .sys files
// (PE32, x86) mapped into this process and bound to this kernel, as the
// Windows loader maps a driver.
//
// Load reads the file, maps SizeOfImage bytes, copies the headers and each
// section, applies the base relocations (the image never lands at its
// preferred base here), binds every import by name to the kernel's table
// (image_exports.cpp) and gives each section its protection.  The COFF
// symbol table the target build leaves in the image names routines in
// findings, as a debugger's symbols would.
//
// After DriverEntry the INIT section is discarded (made inaccessible); the
// PAGE section is trimmed whenever a thread raises its IRQL to
// DISPATCH_LEVEL and paged back in by a fault at a lower IRQL.  A fault
// handler tells the cases apart; faults elsewhere go to whatever handler was
// there before.
#include "image.hpp"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <fstream>
#include <iterator>
#include <signal.h>
#include <stdexcept>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

using namespace platform::detail;

namespace {

// ---------------------------------------------------------------------------
// Reading the file

constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kOptionalMagicPe32 = 0x010B;
constexpr uint16_t kSubsystemNative = 1;
constexpr uint16_t kRelocationAbsolute = 0;
constexpr uint16_t kRelocationHighLow = 3;
constexpr uint32_t kScnExecute = 0x20000000;
constexpr uint32_t kScnRead = 0x40000000;
constexpr uint32_t kScnWrite = 0x80000000;
constexpr uint32_t kDirectoryExport = 0;
constexpr uint32_t kDirectoryImport = 1;
constexpr uint32_t kDirectoryRelocation = 5;
constexpr size_t kPage = 4096;

struct LoadError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Section {
    std::string name;
    uint32_t rva = 0;
    uint32_t virtualSize = 0;
    uint32_t rawOffset = 0;
    uint32_t rawSize = 0;
    uint32_t characteristics = 0;
};

struct Range {
    uintptr_t begin = 0;
    uintptr_t end = 0;
    bool Holds(uintptr_t a) const { return a >= begin && a < end; }
    size_t size() const { return end - begin; }
};

class Bytes {
public:
    explicit Bytes(const std::vector<uint8_t> &data) : data_(data) {}
    template <class T> T At(size_t offset) const
    {
        if (offset > data_.size() || data_.size() - offset < sizeof(T))
            throw LoadError("truncated image (reading past the end of the file)");
        T value;
        std::memcpy(&value, data_.data() + offset, sizeof(T));
        return value;
    }
    size_t size() const { return data_.size(); }
    const uint8_t *data() const { return data_.data(); }

private:
    const std::vector<uint8_t> &data_;
};

std::string BaseName(const std::string &path) { return path.substr(path.rfind('/') + 1); }

std::string Lower(std::string_view s)
{
    std::string out(s);
    for (char &c : out)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// "IoFreeIrp" for "_IoFreeIrp@4", "@IofCallDriver@8" or "IoFreeIrp";
// *bytes is the decoration's argument bytes (-1 without one).
std::string Undecorate(std::string_view name, char *prefix, long *bytes)
{
    *prefix = 0;
    *bytes = -1;
    size_t at = name.rfind('@');
    if (at != std::string_view::npos && at > 0 && at + 1 < name.size() &&
        std::all_of(name.begin() + at + 1, name.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
        (name[0] == '_' || name[0] == '@')) {
        *prefix = name[0];
        *bytes = std::strtol(std::string(name.substr(at + 1)).c_str(), nullptr, 10);
        return std::string(name.substr(1, at - 1));
    }
    return std::string(name);
}

// A symbol of the COFF table as a routine name: C++ names demangled to the
// bare routine, stdcall and cdecl decorations removed.
std::string RoutineName(const std::string &symbol)
{
    std::string name = symbol;
    if (name.rfind("__Z", 0) == 0) {
        size_t at = name.rfind('@');  // a stdcall member of C++ linkage: __Z...@8
        if (at != std::string::npos)
            name.resize(at);
        int status = 0;
        char *demangled = abi::__cxa_demangle(name.c_str() + 1, nullptr, nullptr, &status);
        if (status == 0 && demangled) {
            name = demangled;
            std::free(demangled);
            size_t paren = name.find('(');
            if (paren != std::string::npos)
                name.resize(paren);
            return name;
        }
    }
    char prefix;
    long bytes;
    name = Undecorate(name, &prefix, &bytes);
    if (prefix == 0 && !name.empty() && name[0] == '_')
        name.erase(0, 1);
    return name;
}

int Protection(uint32_t characteristics)
{
    int prot = 0;
    if (characteristics & kScnRead)
        prot |= PROT_READ;
    if (characteristics & kScnWrite)
        prot |= PROT_WRITE;
    if (characteristics & kScnExecute)
        prot |= PROT_EXEC | PROT_READ;
    return prot;
}

// ---------------------------------------------------------------------------
// The images loaded now (for the fault handler, the IRQL hook and pool
// attribution) and those loaded before (attribution of older addresses).

struct LoadedRecord {
    platform::DriverImage::Impl *impl = nullptr;
    Range image, init, page;
    std::string name;
    bool initDiscarded = false;
    bool pageResident = false;
};

struct Registry {
    std::mutex lock;  // taken by the fault handler too: faults are synchronous
    std::vector<LoadedRecord> loaded;
    std::vector<std::pair<Range, std::string>> history;  // every image ever mapped, newest last
    struct sigaction previous {};
    bool handlerInstalled = false;
};

Registry &Images()
{
    static Registry *registry = new Registry;  // outlives static destructors
    return *registry;
}

// Under qemu-i386 pageable code is never trimmed: qemu's user mode keeps one
// descriptor table for the whole process and reloads a thread's TLS segment
// from it when a signal handler returns, so a thread that paged code back in
// would come back with the thread pointer of the thread created last.
#if defined(VCP_UNDER_EMULATOR)
constexpr bool kTrimsPageableCode = false;
#else
constexpr bool kTrimsPageableCode = true;
#endif

void SetPageProtection(const LoadedRecord &record, int prot)
{
    if (record.page.size())
        mprotect(reinterpret_cast<void *>(record.page.begin), record.page.size(), prot);
}

void Describe(const LoadedRecord &record, uintptr_t address, char *out, size_t size);

[[noreturn]] void DiscardedInitRan(const LoadedRecord &record, uintptr_t address, uintptr_t caller)
{
    char where[256], from[256];
    Describe(record, address, where, sizeof where);
    from[0] = 0;
    std::string callerName = platform::DescribeImageAddress(reinterpret_cast<const void *>(caller));
    std::snprintf(from, sizeof from, "%s", callerName.empty() ? "outside the images" : callerName.c_str());
    std::fprintf(stderr,
                 "\n*** DRIVER VERIFIER: rule CODE_IN_DISCARDED_INIT broken: %s ran after DriverEntry returned "
                 "and the loader discarded %s's INIT section (called from %s)\n",
                 where, record.name.c_str(), from);
    std::fflush(stderr);
    std::abort();
}

void OnFault(int signal, siginfo_t *info, void *context)
{
    uintptr_t address = reinterpret_cast<uintptr_t>(info->si_addr);
    uintptr_t ip = 0, sp = 0;
#if defined(__i386__)
    auto *uc = static_cast<ucontext_t *>(context);
    ip = uc->uc_mcontext.gregs[REG_EIP];
    sp = uc->uc_mcontext.gregs[REG_ESP];
#endif
    Registry &images = Images();
    {
        std::unique_lock<std::mutex> guard(images.lock);
        for (LoadedRecord &record : images.loaded) {
            if (record.initDiscarded && record.init.Holds(address)) {
                uintptr_t caller = 0;
                if (sp)
                    std::memcpy(&caller, reinterpret_cast<void *>(sp), sizeof caller);
                guard.unlock();
                DiscardedInitRan(record, address, caller);
            }
            if (!record.page.Holds(address))
                continue;
            // Pageable code: page it back in.  Running it (not merely reading
            // it, as an unwinder does) at DISPATCH_LEVEL or above is the
            // finding.
            KIRQL irql = ThreadIrql();
            bool running = record.page.Holds(ip);
            SetPageProtection(record, Protection(kScnExecute | kScnRead));
            record.pageResident = true;
            gPageableResident.store(true);
            if (running && irql > APC_LEVEL) {
                char where[256];
                Describe(record, ip, where, sizeof where);
                guard.unlock();
                ViolateF("PAGEABLE_CODE_AT_DISPATCH_LEVEL", "pageable routine %s ran at IRQL %u", where, irql);
            }
            return;
        }
    }
    // Not ours: whatever handled the signal before.
    const struct sigaction &previous = images.previous;
    if (previous.sa_flags & SA_SIGINFO) {
        if (previous.sa_sigaction)
            return previous.sa_sigaction(signal, info, context);
    } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
        return previous.sa_handler(signal);
    }
    ::signal(signal, SIG_DFL);  // the fault happens again and ends the process
}

void InstallFaultHandler()  // caller holds Images().lock
{
    Registry &images = Images();
    if (images.handlerInstalled)
        return;
    struct sigaction action {};
    action.sa_sigaction = OnFault;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, &images.previous);
    images.handlerInstalled = true;
}

}  // namespace

// ---------------------------------------------------------------------------
// DriverImage

struct platform::DriverImage::Impl {
    ImageInfo info;
    uint8_t *base = nullptr;
    size_t mapped = 0;
    std::vector<Section> sections;
    uint32_t entryRva = 0;
    uint32_t exportRva = 0, exportSize = 0;
    std::vector<std::pair<uint32_t, std::string>> symbols;  // routines by RVA, ascending
    Range init, page;

    ~Impl()
    {
        if (base)
            munmap(base, mapped);
    }

    uint8_t *At(uint32_t rva, uint32_t size) const
    {
        if (rva > info.size || info.size - rva < size)
            throw LoadError("an RVA points outside the image");
        return base + rva;
    }
    std::string TextAt(uint32_t rva) const
    {
        const uint8_t *p = At(rva, 1);
        const uint8_t *end = base + info.size;
        const uint8_t *nul = std::find(p, end, uint8_t(0));
        if (nul == end)
            throw LoadError("an unterminated name in the image");
        return std::string(reinterpret_cast<const char *>(p), size_t(nul - p));
    }

    void Parse(const std::vector<uint8_t> &file);
    void Map(const std::vector<uint8_t> &file);
    void Relocate(uint32_t preferredBase);
    std::vector<std::string> Bind();
    void ReadSymbols(const std::vector<uint8_t> &file, uint32_t symbolTable, uint32_t symbols);
    void Protect();
    std::string RoutineAt(uintptr_t address) const;

    uint32_t preferredBase = 0;
    uint32_t directories[16][2] = {};
    uint32_t headerSize = 0;
    uint32_t symbolTable = 0, symbolCount = 0;
};

void platform::DriverImage::Impl::Parse(const std::vector<uint8_t> &file)
{
    Bytes b(file);
    if (b.size() < 0x40 || b.At<uint16_t>(0) != 0x5A4D)
        throw LoadError("not an MZ image");
    uint32_t pe = b.At<uint32_t>(0x3C);
    if (b.At<uint32_t>(pe) != 0x00004550)
        throw LoadError("no PE signature");
    uint16_t machine = b.At<uint16_t>(pe + 4);
    if (machine != kMachineI386)
        throw LoadError("not an x86 image (machine 0x" + std::to_string(machine) + ")");
    uint16_t sectionCount = b.At<uint16_t>(pe + 6);
    info.timestamp = b.At<uint32_t>(pe + 8);
    symbolTable = b.At<uint32_t>(pe + 12);
    symbolCount = b.At<uint32_t>(pe + 16);
    uint16_t optionalSize = b.At<uint16_t>(pe + 20);
    size_t optional = pe + 24;
    if (b.At<uint16_t>(optional) != kOptionalMagicPe32)
        throw LoadError("not a PE32 image");
    entryRva = b.At<uint32_t>(optional + 16);
    preferredBase = b.At<uint32_t>(optional + 28);
    uint32_t sectionAlignment = b.At<uint32_t>(optional + 32);
    info.size = b.At<uint32_t>(optional + 56);
    headerSize = b.At<uint32_t>(optional + 60);
    uint16_t subsystem = b.At<uint16_t>(optional + 68);
    uint32_t directoryCount = b.At<uint32_t>(optional + 92);
    if (subsystem != kSubsystemNative)
        throw LoadError("not a kernel-mode driver (subsystem " + std::to_string(subsystem) + ", native is 1)");
    if (sectionAlignment == 0 || sectionAlignment % kPage != 0)
        throw LoadError("sections are not page-aligned (SectionAlignment " + std::to_string(sectionAlignment) + ")");
    if (info.size == 0 || info.size > (256u << 20) || headerSize > info.size)
        throw LoadError("implausible SizeOfImage " + std::to_string(info.size));
    for (uint32_t i = 0; i < std::min<uint32_t>(directoryCount, 16); ++i) {
        directories[i][0] = b.At<uint32_t>(optional + 96 + 8 * i);
        directories[i][1] = b.At<uint32_t>(optional + 100 + 8 * i);
    }
    size_t table = optional + optionalSize;
    for (uint16_t i = 0; i < sectionCount; ++i) {
        size_t h = table + 40 * i;
        Section s;
        char name[9] = {};
        for (int k = 0; k < 8; ++k)
            name[k] = char(b.At<uint8_t>(h + k));
        s.name = name;
        s.virtualSize = b.At<uint32_t>(h + 8);
        s.rva = b.At<uint32_t>(h + 12);
        s.rawSize = b.At<uint32_t>(h + 16);
        s.rawOffset = b.At<uint32_t>(h + 20);
        s.characteristics = b.At<uint32_t>(h + 36);
        uint32_t span = std::max(s.virtualSize, s.rawSize);
        if (s.rva < headerSize || s.rva > info.size || info.size - s.rva < span)
            throw LoadError("section " + s.name + " lies outside SizeOfImage");
        if (s.rawSize && (s.rawOffset > file.size() || file.size() - s.rawOffset < s.rawSize))
            throw LoadError("section " + s.name + " runs past the end of the file");
        sections.push_back(s);
    }
    if (entryRva == 0 || entryRva >= info.size)
        throw LoadError("no entry point");
}

void platform::DriverImage::Impl::Map(const std::vector<uint8_t> &file)
{
    mapped = (info.size + kPage - 1) & ~(kPage - 1);
    void *p = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        throw LoadError("cannot map " + std::to_string(mapped) + " bytes");
    base = static_cast<uint8_t *>(p);
    std::memcpy(base, file.data(), std::min<size_t>(headerSize, file.size()));
    for (const Section &s : sections) {
        uint32_t copied = std::min(s.rawSize, s.virtualSize ? s.virtualSize : s.rawSize);
        if (copied)
            std::memcpy(base + s.rva, file.data() + s.rawOffset, copied);
    }
    info.base = reinterpret_cast<uintptr_t>(base);
}

void platform::DriverImage::Impl::Relocate(uint32_t preferred)
{
    uint32_t delta = uint32_t(info.base) - preferred;
    uint32_t rva = directories[kDirectoryRelocation][0];
    uint32_t size = directories[kDirectoryRelocation][1];
    if (delta != 0 && (rva == 0 || size == 0))
        throw LoadError("the image carries no base relocations and cannot be moved");
    uint32_t offset = 0;
    while (offset + 8 <= size) {
        uint32_t page, blockSize;
        std::memcpy(&page, At(rva + offset, 4), 4);
        std::memcpy(&blockSize, At(rva + offset + 4, 4), 4);
        if (blockSize < 8 || blockSize > size - offset)
            throw LoadError("a malformed base relocation block");
        for (uint32_t e = 8; e + 2 <= blockSize; e += 2) {
            uint16_t entry;
            std::memcpy(&entry, At(rva + offset + e, 2), 2);
            uint16_t type = entry >> 12;
            if (type == kRelocationAbsolute)
                continue;
            if (type != kRelocationHighLow)
                throw LoadError("a base relocation of type " + std::to_string(type) + " (only HIGHLOW is x86's)");
            uint8_t *target = At(page + (entry & 0x0FFF), 4);
            uint32_t value;
            std::memcpy(&value, target, 4);
            value += delta;
            std::memcpy(target, &value, 4);
            ++info.relocations;
        }
        offset += blockSize;
    }
}

std::vector<std::string> platform::DriverImage::Impl::Bind()
{
    std::vector<std::string> problems;
    uint32_t rva = directories[kDirectoryImport][0];
    if (rva == 0)
        return problems;
    const auto &exports = KernelExports();
    for (uint32_t d = rva;; d += 20) {
        uint32_t lookup, name, thunks;
        std::memcpy(&lookup, At(d, 4), 4);
        std::memcpy(&name, At(d + 12, 4), 4);
        std::memcpy(&thunks, At(d + 16, 4), 4);
        if (lookup == 0 && name == 0 && thunks == 0)
            break;
        std::string module = TextAt(name);
        for (uint32_t i = 0;; ++i) {
            uint32_t entry;
            std::memcpy(&entry, At((lookup ? lookup : thunks) + 4 * i, 4), 4);
            if (entry == 0)
                break;
            if (entry & 0x80000000u) {
                problems.push_back(info.name + " imports ordinal " + std::to_string(entry & 0xFFFF) + " of " + module +
                                   ": this kernel binds imports by name only");
                continue;
            }
            std::string imported = TextAt(entry + 2);
            char prefix;
            long bytes;
            std::string routine = Undecorate(imported, &prefix, &bytes);
            const KernelExport *found = nullptr;
            for (const KernelExport &k : exports) {
                if (routine == k.routine && Lower(module) == Lower(k.module))
                    found = &k;
            }
            if (!found) {
                problems.push_back(info.name + " imports " + imported + " from " + module +
                                   ", which this kernel does not provide");
                continue;
            }
            if (bytes >= 0 && ((prefix == '_' && !found->stdcall) || (prefix == '@' && !found->fastcall) ||
                               unsigned(bytes) != found->argumentBytes)) {
                problems.push_back(info.name + " imports " + imported + " from " + module + ", but this kernel's " +
                                   routine + " is " + (found->fastcall ? "fastcall" : found->stdcall ? "stdcall" : "cdecl") +
                                   " with " + std::to_string(found->argumentBytes) + " bytes of arguments");
                continue;
            }
            uint32_t address = uint32_t(reinterpret_cast<uintptr_t>(found->address));
            std::memcpy(At(thunks + 4 * i, 4), &address, 4);
            ++info.importsBound;
        }
    }
    return problems;
}

void platform::DriverImage::Impl::ReadSymbols(const std::vector<uint8_t> &file, uint32_t table, uint32_t count)
{
    if (table == 0 || count == 0)
        return;
    Bytes b(file);
    size_t strings = size_t(table) + size_t(count) * 18;
    try {
        for (uint32_t i = 0; i < count; ++i) {
            size_t e = size_t(table) + size_t(i) * 18;
            uint32_t value = b.At<uint32_t>(e + 8);
            int16_t section = b.At<int16_t>(e + 12);
            uint16_t type = b.At<uint16_t>(e + 14);
            uint8_t aux = b.At<uint8_t>(e + 17);
            if (section > 0 && size_t(section) <= sections.size() && (type & 0x30) == 0x20) {
                std::string name;
                if (b.At<uint32_t>(e) == 0) {
                    size_t at = strings + b.At<uint32_t>(e + 4);
                    while (at < b.size() && file[at])
                        name += char(file[at++]);
                } else {
                    for (int k = 0; k < 8 && b.At<uint8_t>(e + k); ++k)
                        name += char(b.At<uint8_t>(e + k));
                }
                symbols.emplace_back(sections[section - 1].rva + value, RoutineName(name));
            }
            i += aux;
        }
    } catch (const LoadError &) {
        // A damaged symbol table costs only the names in findings.
    }
    std::sort(symbols.begin(), symbols.end());
}

void platform::DriverImage::Impl::Protect()
{
    mprotect(base, (headerSize + kPage - 1) & ~(kPage - 1), PROT_READ);
    for (const Section &s : sections) {
        uint32_t span = (std::max(s.virtualSize, s.rawSize) + kPage - 1) & ~uint32_t(kPage - 1);
        if (span)
            mprotect(base + s.rva, span, Protection(s.characteristics));
        Range r{info.base + s.rva, info.base + s.rva + span};
        if (s.name == "INIT")
            init = r;
        else if (s.name == "PAGE")
            page = r;
    }
}

std::string platform::DriverImage::Impl::RoutineAt(uintptr_t address) const
{
    if (address < info.base || address >= info.base + info.size)
        return {};
    uint32_t rva = uint32_t(address - info.base);
    auto it = std::upper_bound(symbols.begin(), symbols.end(), rva,
                               [](uint32_t r, const auto &symbol) { return r < symbol.first; });
    if (it == symbols.begin())
        return {};
    --it;
    char offset[16];
    std::snprintf(offset, sizeof offset, "+0x%x", unsigned(rva - it->first));
    return it->second + offset;
}

namespace {

void Describe(const LoadedRecord &record, uintptr_t address, char *out, size_t size)
{
    std::string routine = record.impl ? record.impl->RoutineAt(address) : std::string();
    if (routine.empty())
        std::snprintf(out, size, "%s+0x%x", record.name.c_str(), unsigned(address - record.image.begin));
    else
        std::snprintf(out, size, "%s!%s", record.name.c_str(), routine.c_str());
}

}  // namespace

platform::DriverImage::DriverImage(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::unique_ptr<platform::DriverImage> platform::DriverImage::Load(const std::string &path, std::string *error)
{
    auto impl = std::make_unique<Impl>();
    impl->info.path = path;
    impl->info.name = BaseName(path);
    try {
#if !defined(__i386__)
        throw LoadError("PE32 driver images run only in the 32-bit build (build/host32)");
#endif
        std::ifstream in(path, std::ios::binary);
        if (!in)
            throw LoadError("cannot open the file");
        std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        impl->info.fileSize = file.size();
        impl->Parse(file);
        impl->Map(file);
        impl->Relocate(impl->preferredBase);
        std::vector<std::string> problems = impl->Bind();
        if (!problems.empty()) {
            std::string all;
            for (const std::string &p : problems)
                all += (all.empty() ? "" : "\n") + p;
            if (error)
                *error = all;
            return nullptr;
        }
        impl->exportRva = impl->directories[kDirectoryExport][0];
        impl->exportSize = impl->directories[kDirectoryExport][1];
        impl->ReadSymbols(file, impl->symbolTable, impl->symbolCount);
        impl->Protect();
    } catch (const LoadError &e) {
        if (error)
            *error = impl->info.name + ": " + e.what();
        return nullptr;
    }
    Registry &images = Images();
    {
        std::lock_guard<std::mutex> guard(images.lock);
        InstallFaultHandler();
        LoadedRecord record;
        record.impl = impl.get();
        record.image = {impl->info.base, impl->info.base + impl->info.size};
        record.init = impl->init;
        record.page = impl->page;
        record.name = impl->info.name;
        record.pageResident = record.page.size() != 0;
        images.loaded.push_back(record);
        images.history.emplace_back(record.image, record.name);
        if (record.pageResident)
            gPageableResident.store(true);
    }
    return std::unique_ptr<DriverImage>(new DriverImage(std::move(impl)));
}

platform::DriverImage::~DriverImage()
{
    Registry &images = Images();
    std::lock_guard<std::mutex> guard(images.lock);
    images.loaded.erase(std::remove_if(images.loaded.begin(), images.loaded.end(),
                                       [&](const LoadedRecord &r) { return r.impl == impl_.get(); }),
                        images.loaded.end());
    impl_.reset();  // unmaps while no fault or trim can look at the image
}

const platform::ImageInfo &platform::DriverImage::info() const { return impl_->info; }

PDRIVER_INITIALIZE platform::DriverImage::entryPoint() const
{
    return reinterpret_cast<PDRIVER_INITIALIZE>(impl_->base + impl_->entryRva);
}

NTSTATUS platform::DriverImage::CallEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    NTSTATUS status = entryPoint()(driver, registryPath);
    Registry &images = Images();
    std::lock_guard<std::mutex> guard(images.lock);
    for (LoadedRecord &record : images.loaded) {
        if (record.impl == impl_.get() && record.init.size()) {
            mprotect(reinterpret_cast<void *>(record.init.begin), record.init.size(), PROT_NONE);
            record.initDiscarded = true;
        }
    }
    return status;
}

void *platform::DriverImage::Export(std::string_view name) const
{
    const Impl &m = *impl_;
    if (m.exportRva == 0)
        return nullptr;
    try {
        uint32_t functions, names, nameRvas, ordinals;
        std::memcpy(&functions, m.At(m.exportRva + 20, 4), 4);
        std::memcpy(&names, m.At(m.exportRva + 24, 4), 4);
        std::memcpy(&nameRvas, m.At(m.exportRva + 32, 4), 4);
        std::memcpy(&ordinals, m.At(m.exportRva + 36, 4), 4);
        uint32_t table;
        std::memcpy(&table, m.At(m.exportRva + 28, 4), 4);
        for (uint32_t i = 0; i < names; ++i) {
            uint32_t nameRva;
            std::memcpy(&nameRva, m.At(nameRvas + 4 * i, 4), 4);
            if (m.TextAt(nameRva) != name)
                continue;
            uint16_t index;
            std::memcpy(&index, m.At(ordinals + 2 * i, 2), 2);
            if (index >= functions)
                return nullptr;
            uint32_t rva;
            std::memcpy(&rva, m.At(table + 4 * index, 4), 4);
            if (rva >= m.exportRva && rva < m.exportRva + m.exportSize)
                return nullptr;  // forwarded to another module: none here
            return m.At(rva, 1);
        }
    } catch (const LoadError &) {
    }
    return nullptr;
}

std::string platform::DriverImage::RoutineAt(const void *address) const
{
    return impl_->RoutineAt(reinterpret_cast<uintptr_t>(address));
}

// ---------------------------------------------------------------------------
// The registry's readers

std::vector<platform::ImageInfo> platform::LoadedImages()
{
    Registry &images = Images();
    std::lock_guard<std::mutex> guard(images.lock);
    std::vector<ImageInfo> infos;
    for (const LoadedRecord &record : images.loaded)
        infos.push_back(record.impl->info);
    return infos;
}

std::string platform::DescribeImageAddress(const void *address)
{
    uintptr_t a = reinterpret_cast<uintptr_t>(address);
    Registry &images = Images();
    std::lock_guard<std::mutex> guard(images.lock);
    for (const LoadedRecord &record : images.loaded) {
        if (record.image.Holds(a)) {
            char text[256];
            Describe(record, a, text, sizeof text);
            return text;
        }
    }
    return {};
}

std::string platform::ImageNameAt(const void *address)
{
    uintptr_t a = reinterpret_cast<uintptr_t>(address);
    Registry &images = Images();
    std::lock_guard<std::mutex> guard(images.lock);
    for (auto it = images.history.rbegin(); it != images.history.rend(); ++it) {
        if (it->first.Holds(a))
            return it->second;
    }
    return {};
}

bool platform::TrimsPageableCode() { return kTrimsPageableCode && sizeof(void *) == 4; }

void *platform::KernelRoutine(std::string_view module, std::string_view routine)
{
    for (const detail::KernelExport &k : detail::KernelExports()) {
        if (routine == k.routine && Lower(module) == Lower(k.module))
            return k.address;
    }
    return nullptr;
}

std::string platform::detail::CalledFrom(const void *returnAddress)
{
    std::string where = platform::DescribeImageAddress(returnAddress);
    return where.empty() ? where : " (called from " + where + ")";
}

uintptr_t platform::detail::ImageBaseAt(const void *address)
{
    uintptr_t a = reinterpret_cast<uintptr_t>(address);
    Registry &images = Images();
    std::lock_guard<std::mutex> guard(images.lock);
    for (const LoadedRecord &record : images.loaded) {
        if (record.image.Holds(a))
            return record.image.begin;
    }
    return 0;
}

std::atomic<bool> platform::detail::gPageableResident{false};

void platform::detail::TrimResidentPageableCode()
{
    if (!kTrimsPageableCode || !gPageableResident.load(std::memory_order_relaxed))
        return;
    Registry &images = Images();
    std::lock_guard<std::mutex> guard(images.lock);
    gPageableResident.store(false);
    for (LoadedRecord &record : images.loaded) {
        if (record.pageResident) {
            SetPageProtection(record, PROT_NONE);
            record.pageResident = false;
        }
    }
}
