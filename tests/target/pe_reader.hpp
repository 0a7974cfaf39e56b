// pe_reader.hpp - reading the target build's driver images.
//
// The images are read the way a developer would read them: through
// i686-w64-mingw32-objdump (-p private headers, imports and exports; -h
// sections; -t -C symbols).  Only what objdump does not print for a PE image
// (section characteristics, the checksum over the file) is taken from the
// file itself.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace target {

// build/target/<driver>.sys
std::string ImagePath(std::string_view driver);

struct ToolRun {
    int status = -1;  // exit status, -1 when the tool could not be run
    std::string output;
};
ToolRun RunObjdump(const std::vector<std::string> &args);

struct Section {
    std::string name;
    uint32_t vma = 0;
    uint32_t size = 0;
    uint32_t characteristics = 0;  // IMAGE_SCN_* from the section table
};

struct Symbol {
    std::string demangled;  // as objdump -C prints it
    std::string routine;    // the bare routine name (RoutineName)
    int section = 0;        // 1-based section number; 0 undefined, -1 absolute, -2 debug
    uint32_t value = 0;     // offset into the section
    bool function = false;
};

struct Import {
    std::string dll;
    std::vector<std::string> functions;
};

struct ExportEntry {
    uint32_t ordinal = 0;
    std::string name;
    friend bool operator==(const ExportEntry &, const ExportEntry &) = default;
};

struct Export {
    uint32_t ordinal = 0;
    std::string name;
    std::optional<uint32_t> rva;  // what the export address table holds for it
};

struct ExportTable {
    std::string module;
    uint32_t ordinalBase = 0;
    uint32_t addressCount = 0;  // slots in the export address table
    std::vector<Export> entries;  // named exports, in name-table order
};

struct PrivateHeaders {
    std::optional<uint16_t> magic;
    std::optional<uint16_t> subsystem;
    std::optional<uint32_t> imageBase;
    std::optional<uint32_t> entryPoint;  // RVA
    std::optional<uint32_t> checkSum;
    std::optional<uint32_t> characteristics;  // IMAGE_FILE_*
    uint32_t relocationSize = 0;  // base relocation directory
    std::vector<Import> imports;
    std::optional<ExportTable> exports;
};

PrivateHeaders ParsePrivateHeaders(std::string_view objdumpP);
std::vector<Section> ParseSectionHeaders(std::string_view objdumpH);
std::vector<Symbol> ParseSymbols(std::string_view objdumpTC);

// "FilterPass(_DEVICE_OBJECT*, _IRP*)@8" -> "FilterPass"; also strips
// qualifiers, stdcall suffixes and GCC clone suffixes.
std::string RoutineName(std::string_view demangled);

// A module definition file: LIBRARY name and the EXPORTS lines
// ("Name=Name@N @ordinal", "Name @ordinal").
struct DefFile {
    std::string library;
    std::vector<ExportEntry> exports;
};
DefFile ParseDefFile(std::string_view text);

// The PE checksum of an image: the 16-bit one's-complement style sum the
// loader and the linker compute, with the checksum field itself as zero.
uint32_t PeChecksum(const std::vector<uint8_t> &image);

// One driver image, read once.  Error() is empty when everything was read.
class DriverImage {
public:
    static DriverImage Read(std::string_view driver);

    const std::string &Error() const { return error_; }
    const std::string &Path() const { return path_; }
    const std::string &FileFormat() const { return format_; }
    const PrivateHeaders &Headers() const { return headers_; }
    const std::vector<Section> &Sections() const { return sections_; }
    const std::vector<Symbol> &Symbols() const { return symbols_; }
    const std::vector<uint8_t> &Bytes() const { return bytes_; }

    const Section *FindSection(std::string_view name) const;
    const Section *SectionOf(const Symbol &symbol) const;
    const Symbol *FindSymbol(std::string_view demangled) const;
    // Every function symbol of that routine (a routine and its clones).
    std::vector<const Symbol *> Routines(std::string_view routine) const;
    // Relative virtual address of a symbol.
    std::optional<uint32_t> Rva(const Symbol &symbol) const;

private:
    std::string path_;
    std::string error_;
    std::string format_;
    PrivateHeaders headers_;
    std::vector<Section> sections_;
    std::vector<Symbol> symbols_;
    std::vector<uint8_t> bytes_;
};

constexpr uint32_t kScnCntCode = 0x00000020;
constexpr uint32_t kScnMemDiscardable = 0x02000000;
constexpr uint32_t kScnMemExecute = 0x20000000;
constexpr uint32_t kScnMemWrite = 0x80000000;
constexpr uint32_t kFileRelocsStripped = 0x0001;
constexpr uint32_t kFile32BitMachine = 0x0100;

}  // namespace target
